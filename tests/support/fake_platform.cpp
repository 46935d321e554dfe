#include "support/fake_platform.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <functional>

#include "main/program.h"
#include "text/cp1252.h"

namespace nivra::test {

struct FakePlatform::Node {
  explicit Node(EntryKind k) : kind(k) {}
  EntryKind kind;
  std::string content;  ///< of a file
  unsigned mode = 0644;
  std::string target;   ///< of a symbolic link
  std::vector<std::pair<std::string, NodePtr>> entries;  ///< of a folder, in listing order
  bool locked = false;  ///< open for reading, by this run or another
  std::thread::id holder;  ///< the thread of this run that locked it, if one did
  std::int64_t version = 0;  ///< counts changes of the content
  std::uint64_t owner = 0;   ///< the user who owns it; the running user is 0
};

namespace {

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

template <class Entries>
auto entry_named(Entries& entries, const std::string& name) {
  return std::find_if(entries.begin(), entries.end(),
                      [&](const auto& e) { return e.first == name; });
}

constexpr Status BAD_HANDLE{Fault::other, EBADF};

/// Whether `path` is `pattern`, in which one '*' stands for any run of characters.
bool matches(const std::string& pattern, const std::string& path) {
  const std::size_t star = pattern.find('*');
  if (star == std::string::npos) return pattern == path;
  const std::string_view head(pattern.data(), star), tail(pattern.data() + star + 1);
  return path.size() >= head.size() + tail.size() && path.starts_with(head) &&
         path.ends_with(tail);
}

}  // namespace

std::string_view call_name(Call call) {
  static constexpr std::string_view NAMES[CALL_KINDS] = {
      "open_root", "open_dir", "list_dir", "open_read", "stat",   "read",      "create",
      "write",     "close",    "link",     "rename",    "remove", "attributes"};
  return NAMES[int(call)];
}

FakePlatform::FakePlatform(std::string root)
    : root_path_(std::move(root)), root_(std::make_shared<Node>(EntryKind::directory)) {}

FakePlatform::NodePtr FakePlatform::make_path(const std::string& path, EntryKind kind) {
  NodePtr dir = root_;
  std::size_t from = 0;
  for (;;) {
    const std::size_t slash = path.find('/', from);
    const std::string name = path.substr(from, slash - from);
    auto it = entry_named(dir->entries, name);
    if (slash == std::string::npos) {
      if (it != dir->entries.end()) return it->second;
      dir->entries.emplace_back(name, std::make_shared<Node>(kind));
      return dir->entries.back().second;
    }
    if (it == dir->entries.end()) {
      dir->entries.emplace_back(name, std::make_shared<Node>(EntryKind::directory));
      it = std::prev(dir->entries.end());
    }
    dir = it->second;
    from = slash + 1;
  }
}

FakePlatform::NodePtr FakePlatform::find(const std::string& path) const {
  NodePtr node = root_;
  for (std::size_t from = 0; node && !path.empty(); from = path.find('/', from) + 1) {
    auto it = entry_named(node->entries, path.substr(from, path.find('/', from) - from));
    node = it == node->entries.end() ? nullptr : it->second;
    if (path.find('/', from) == std::string::npos) break;
  }
  return node;
}

void FakePlatform::add_file(const std::string& path, std::string_view content, unsigned mode) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  NodePtr node = make_path(path, EntryKind::regular);
  node->content = content;
  node->mode = mode;
}

void FakePlatform::add_symlink(const std::string& path, const std::string& target) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  make_path(path, EntryKind::symlink)->target = target;
}

void FakePlatform::add_other(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  make_path(path, EntryKind::other);
}

void FakePlatform::own(const std::string& path, std::uint64_t owner) {
  if (NodePtr node = find(path)) node->owner = owner;
}

void FakePlatform::lock(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (NodePtr node = find(path)) node->locked = true;
}

int FakePlatform::inject(Injection injection) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  injections_.emplace_back().injection = std::move(injection);
  return int(injections_.size()) - 1;
}

const std::vector<std::string>& FakePlatform::faulted_paths(int index) const {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  static const std::vector<std::string> none;
  return std::size_t(index) < injections_.size() ? injections_[std::size_t(index)].met : none;
}

void FakePlatform::clear_faults() {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  injections_.clear();
  std::fill(std::begin(counts_), std::end(counts_), 0);
  opened_.clear();
  total_calls_ = 0;
  die_after_ = -1;
  dead_ = false;
}

void FakePlatform::meanwhile(Call call, int nth, std::function<void()> action) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  meanwhile_.push_back(Meanwhile{call, nth + counts_[int(call)], std::move(action)});
}

void FakePlatform::when_paused(std::function<void()> action) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  paused_ = std::move(action);
}

void FakePlatform::pause(long ns) {
  std::function<void()> action;
  {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    action.swap(paused_);
  }
  if (action) action();
  std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

void FakePlatform::change(const std::string& path, std::string_view content) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  NodePtr node = find(path);
  node->content = content;
  ++node->version;
}

void FakePlatform::put(const std::string& path, std::string_view content) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::size_t slash = path.rfind('/');
  NodePtr dir = slash == std::string::npos ? root_ : find(path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto node = std::make_shared<Node>(EntryKind::regular);
  node->content = content;
  auto it = entry_named(dir->entries, name);
  if (it != dir->entries.end())
    it->second = node;
  else
    dir->entries.emplace_back(name, node);
}

void FakePlatform::move(const std::string& from, const std::string& to) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::size_t slash = from.rfind('/');
  NodePtr dir = slash == std::string::npos ? root_ : find(from.substr(0, slash));
  const auto name = [&](const std::string& path) { return path.substr(slash + 1); };
  auto source = entry_named(dir->entries, name(from));
  NodePtr node = source->second;
  dir->entries.erase(source);
  auto target = entry_named(dir->entries, name(to));
  if (target != dir->entries.end())
    target->second = node;
  else
    dir->entries.emplace_back(name(to), node);
}

const Injection* FakePlatform::meet(Call call, const std::string& path) {
  ++counts_[int(call)];
  static const Injection KILLED = fail(Call::open_root, 1, os_error(EIO));
  dead_ = dead_ || (die_after_ >= 0 && ++total_calls_ > die_after_);
  if (dead_) return &KILLED;
  for (Meanwhile& m : meanwhile_) {
    if (m.call == call && m.nth == counts_[int(call)] && m.action) {
      auto action = std::move(m.action);
      m.action = nullptr;
      action();
    }
  }
  for (Injected& i : injections_) {
    const Injection& f = i.injection;
    if (f.call != call || (!f.path.empty() && !matches(f.path, path))) continue;
    ++i.seen;
    if (i.seen == f.nth || (f.persistent && i.seen > f.nth)) {
      i.met.push_back(path);
      return &f;
    }
  }
  return nullptr;
}

bool FakePlatform::exists(const std::string& path) const {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  return find(path) != nullptr;
}

std::map<std::string, std::string> FakePlatform::snapshot() const {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::map<std::string, std::string> out;
  std::function<void(const Node&, const std::string&)> visit = [&](const Node& dir,
                                                                    const std::string& at) {
    for (const auto& [name, node] : dir.entries) {
      const std::string path = join(at, name);
      switch (node->kind) {
        case EntryKind::directory:
          out[path] = "<dir>";
          visit(*node, path);
          break;
        case EntryKind::regular: {
          char mode[16];
          std::snprintf(mode, sizeof mode, "%04o ", node->mode);
          out[path] = mode + node->content;
          break;
        }
        case EntryKind::symlink: out[path] = "-> " + node->target; break;
        case EntryKind::other: out[path] = "<other>"; break;
      }
    }
  };
  visit(*root_, "");
  return out;
}

FakePlatform::OpenDir* FakePlatform::dir_of(Dir dir) {
  auto it = dirs_.find(dir.id);
  return it == dirs_.end() ? nullptr : &it->second;
}

FakePlatform::OpenFile* FakePlatform::file_of(File file) {
  auto it = files_.find(file.id);
  return it == files_.end() ? nullptr : &it->second;
}

Status FakePlatform::executable_path(std::string& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  out = root_path_ + "/nivra";
  return Status{};
}

Status FakePlatform::open_root(const std::string& path, Dir& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (const Injection* f = meet(Call::open_root, "")) return f->status;
  if (path != root_path_) return os_error(ENOENT);
  out.id = next_handle_++;
  dirs_[out.id] = OpenDir{root_, ""};
  return Status{};
}

Status FakePlatform::open_dir(Dir parent, const std::string& name, Dir& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(parent);
  if (!d) return BAD_HANDLE;
  const std::string path = join(d->path, name);
  if (const Injection* f = meet(Call::open_dir, path)) return f->status;
  auto it = entry_named(d->node->entries, name);
  if (it == d->node->entries.end()) return os_error(ENOENT);
  if (it->second->kind == EntryKind::symlink) return Status{Fault::symlink, ELOOP};
  if (it->second->kind != EntryKind::directory) return os_error(ENOTDIR);
  out.id = next_handle_++;
  dirs_[out.id] = OpenDir{it->second, path};
  return Status{};
}

Status FakePlatform::list_dir(Dir dir, std::vector<Entry>& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  out.clear();
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  if (const Injection* f = meet(Call::list_dir, d->path)) return f->status;
  for (const auto& [name, node] : d->node->entries) out.push_back(Entry{name, node->kind});
  return Status{};
}

Capabilities FakePlatform::caps(Dir) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  Capabilities caps;
  caps.shared = !exclusive_;
  caps.identity = exclusive_;
  // Another client's rename is awaited a little, as on a share.
  caps.rename_shows_ns = exclusive_ ? 0 : 20000000;
  caps.rename_look_ns = exclusive_ ? 0 : 1000000;
  caps.exchange = !moves_aside_;
  caps.links = links_;
  return caps;
}

void FakePlatform::finish_in(std::vector<std::string> paths, std::chrono::milliseconds patience) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  order_ = std::move(paths);
  patience_ = patience;
  finished_.clear();
}

void FakePlatform::await_turn(std::unique_lock<std::recursive_mutex>& lock,
                              const std::string& path) {
  const auto at = std::find(order_.begin(), order_.end(), path);
  if (at == order_.end()) return;
  const auto done = [&](const std::string& p) {
    return std::find(finished_.begin(), finished_.end(), p) != finished_.end();
  };
  if (done(path)) return;
  waiting_.insert(path);
  for (;;) {
    // Its turn: every path before it has finished.
    if (std::all_of(order_.begin(), at, done)) break;
    if (turn_.wait_for(lock, patience_) == std::cv_status::timeout) {
      // Fewer workers than the order needs: the first of those waiting goes.
      const auto first = std::find_if(order_.begin(), order_.end(),
                                      [&](const std::string& p) { return waiting_.contains(p); });
      if (first == at) break;
    }
  }
  waiting_.erase(path);
  finished_.push_back(path);
  turn_.notify_all();
}

void FakePlatform::close_dir(Dir dir) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  dirs_.erase(dir.id);
}

Status FakePlatform::open_read(Dir dir, const std::string& name, File& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  const std::string path = join(d->path, name);
  if (const Injection* f = meet(Call::open_read, path)) return f->status;
  auto it = entry_named(d->node->entries, name);
  if (it == d->node->entries.end()) return os_error(ENOENT);
  const NodePtr& node = it->second;
  if (node->kind == EntryKind::symlink) return Status{Fault::symlink, ELOOP};
  if (node->kind != EntryKind::regular) return Status{Fault::not_regular, 0};
  // Another name of the file that this thread converts is read without a lock of its own.
  const bool own = node->locked && node->holder == std::this_thread::get_id();
  if (node->locked && !own) return Status{Fault::busy, EWOULDBLOCK};
  if (std::count_if(files_.begin(), files_.end(), [](const auto& f) { return !f.second.writing; }) >=
      open_limit_)
    return os_error(EMFILE);
  node->locked = true;
  if (!own) node->holder = std::this_thread::get_id();
  out.id = next_handle_++;
  files_[out.id] = OpenFile{node, path};
  files_[out.id].locks = !own;
  files_[out.id].second = own;
  opened_.push_back(path);
  return Status{};
}

namespace {

FileStat stat_of_node(const void* node, const std::string& content, std::int64_t version) {
  FileStat out;
  out.volume = 1;
  out.inode = reinterpret_cast<std::uintptr_t>(node);
  out.size = content.size();
  out.modified = version;
  return out;
}

}  // namespace

bool FakePlatform::executable_stat(FileStat& out) {
  if (program_.empty()) return false;
  const NodePtr node = find(program_);
  if (!node) return false;
  out = stat_of_node(node.get(), node->content, node->version);
  out.owner = node->owner;
  return true;
}

Status FakePlatform::stat(File file, FileStat& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenFile* f = file_of(file);
  if (!f) return BAD_HANDLE;
  if (const Injection* i = meet(Call::stat, f->path)) return i->status;
  out = stat_of_node(f->node.get(), f->node->content, f->node->version);
  out.owner = f->node->owner;
  return Status{};
}

Status FakePlatform::stat_at(Dir dir, const std::string& name, FileStat& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  auto it = entry_named(d->node->entries, name);
  if (dead_) return os_error(EIO);
  if (it == d->node->entries.end()) return os_error(ENOENT);
  out = stat_of_node(it->second.get(), it->second->content, it->second->version);
  out.regular = it->second->kind == EntryKind::regular;
  out.owner = it->second->owner;
  return Status{};
}

Status FakePlatform::read(File file, std::uint64_t offset, char* buf, std::size_t n,
                          std::size_t& got) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  OpenFile* f = file_of(file);
  if (!f || f->writing) return BAD_HANDLE;
  const Injection* i = meet(Call::read, f->path);
  if (i && !i->short_count && !i->zeros) return i->status;
  const std::string& content = f->node->content;
  if (!f->large_read && content.size() > LARGE && !f->path.ends_with(".OLD") &&
      f->path.find(".nivra-") == std::string::npos) {
    f->large_read = true;
    most_large_read_ = std::max(most_large_read_, ++large_read_);
  }
  const std::size_t at = std::min<std::size_t>(std::size_t(offset), content.size());
  got = std::min(n, content.size() - at);
  if (i && i->short_count) got = std::min<std::size_t>(got, 1);
  std::memcpy(buf, content.data() + at, got);
  if (i && i->zeros) std::memset(buf, 0, got);
  return Status{};
}

Status FakePlatform::create(Dir dir, const std::string& name, File& out) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  const std::string path = join(d->path, name);
  if (const Injection* f = meet(Call::create, path)) return f->status;
  if (entry_named(d->node->entries, name) != d->node->entries.end()) return os_error(EEXIST);
  auto node = std::make_shared<Node>(EntryKind::regular);
  node->mode = 0600;
  d->node->entries.emplace_back(name, node);
  out.id = next_handle_++;
  files_[out.id] = OpenFile{node, path, true};
  return Status{};
}

Status FakePlatform::write(File file, const char* buf, std::size_t n, std::size_t& put) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  OpenFile* f = file_of(file);
  if (!f || !f->writing) return BAD_HANDLE;
  const Injection* i = meet(Call::write, f->path);
  if (i && !i->short_count) return i->status;
  put = i ? std::min<std::size_t>(n, 1) : n;
  f->node->content.append(buf, put);
  ++f->node->version;
  return Status{};
}

Status FakePlatform::copy_attributes(File from, File to) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenFile* source = file_of(from);
  const OpenFile* target = file_of(to);
  if (!source || !target) return BAD_HANDLE;
  if (const Injection* i = meet(Call::attributes, target->path)) return i->status;
  target->node->mode = source->node->mode;
  return Status{};
}

Status FakePlatform::close(File file) {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  auto it = files_.find(file.id);
  if (it == files_.end()) return BAD_HANDLE;
  if (!it->second.writing && !it->second.second) await_turn(lock, it->second.path);
  it = files_.find(file.id);
  // The handle is gone and the bytes written stay, whatever the call reports.
  const OpenFile f = it->second;
  files_.erase(it);
  large_read_ -= f.large_read;
  if (f.locks) f.node->locked = false;
  if (const Injection* i = meet(Call::close, f.path)) return i->status;
  return Status{};
}

Status FakePlatform::link(File file, Dir dir, const std::string& name) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenFile* f = file_of(file);
  const OpenDir* d = dir_of(dir);
  if (!f || !d) return BAD_HANDLE;
  if (!links_) return Status{Fault::cannot_link, EOPNOTSUPP};
  if (const Injection* i = meet(Call::link, join(d->path, name))) {
    const int code = i->status.code;
    return code == EPERM || code == EXDEV ? Status{Fault::cannot_link, code} : i->status;
  }
  auto& entries = d->node->entries;
  if (entry_named(entries, name) != entries.end()) return os_error(EEXIST);
  NodePtr node = f->node;
  // A share's client links by the name it knows the file by, whatever that holds now.
  if (!exclusive_) {
    const auto named = entry_named(entries, f->path.substr(f->path.rfind('/') + 1));
    if (named == entries.end()) return os_error(ENOENT);
    node = named->second;
  }
  entries.emplace_back(name, node);
  return Status{};
}

Status FakePlatform::exchange(Dir dir, const std::string& a, const std::string& b) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  if (moves_aside_) return Status{Fault::unsupported, EINVAL};
  auto& entries = d->node->entries;
  if (const Injection* i = meet(Call::rename, join(d->path, b))) {
    if (i->drops_target && entry_named(entries, b) != entries.end())
      entries.erase(entry_named(entries, b));
    return i->status;
  }
  const auto first = entry_named(entries, a), second = entry_named(entries, b);
  if (first == entries.end() || second == entries.end()) return os_error(ENOENT);
  std::swap(first->second, second->second);
  return Status{};
}

void FakePlatform::release(File file) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  OpenFile* f = file_of(file);
  if (!f || !f->locks) return;
  f->node->locked = false;
  f->locks = false;
}

Status FakePlatform::rename(Dir dir, const std::string& from, const std::string& to) {
  return move_entry(dir, from, to, true);
}

Status FakePlatform::rename_noreplace(Dir dir, const std::string& from, const std::string& to) {
  return move_entry(dir, from, to, false);
}

Status FakePlatform::move_entry(Dir dir, const std::string& from, const std::string& to,
                                bool replacing) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  auto& entries = d->node->entries;
  const Injection* i = meet(Call::rename, join(d->path, to));
  if (i && !i->done) {
    if (i->drops_target && entry_named(entries, to) != entries.end())
      entries.erase(entry_named(entries, to));
    return i->status;
  }
  auto source = entry_named(entries, from);
  if (source == entries.end()) return os_error(ENOENT);
  if (from == to) return Status{};
  NodePtr node = source->second;
  auto target = entry_named(entries, to);
  if (target != entries.end() && !replacing) return os_error(EEXIST);
  if (target != entries.end()) {
    if (target->second->kind == EntryKind::directory) return os_error(EISDIR);
    target->second = node;  // the name is replaced in one step
  } else {
    entries.emplace_back(to, node);
  }
  // A step that fails once done is a link: the first name stays too.
  if (!i || replacing) entries.erase(entry_named(entries, from));
  if (!i) return Status{};
  const Status failed = i->status;
  const std::function<void()> then = i->done;
  then();
  return failed;
}

Status FakePlatform::remove(Dir dir, const std::string& name) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const OpenDir* d = dir_of(dir);
  if (!d) return BAD_HANDLE;
  if (const Injection* i = meet(Call::remove, join(d->path, name))) return i->status;
  auto& entries = d->node->entries;
  auto it = entry_named(entries, name);
  if (it == entries.end()) return os_error(ENOENT);
  if (it->second->kind == EntryKind::directory) return os_error(EISDIR);
  entries.erase(it);
  return Status{};
}

std::string FakePlatform::describe(const Status& status) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (status.fault == Fault::busy) return "held by another run";
  if (status.fault == Fault::symlink) return "a symbolic link, which is never followed";
  return std::strerror(status.code);
}

int run_program(FakePlatform& fs, Direction direction, Reporter& reporter,
                std::string_view argv0, unsigned processors, const CodePageChoice& choice) {
  Cp1252CodePage acp;
  return nivra::run_program(fs, fs, acp, direction, reporter, argv0, processors, choice);
}

}  // namespace nivra::test
