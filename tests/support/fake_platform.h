#pragma once

// An in-memory platform for tests: a tree of folders, files, symbolic links and other
// entries, listed in the order they were added, that fails chosen calls on purpose. Its
// calls may come from several threads: they take turns.

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "convert/direction.h"
#include "platform/file_system.h"
#include "platform/host.h"
#include "platform/reporter.h"
#include "text/code_page.h"
#include "text/code_pages.h"

namespace nivra::test {

/// The kinds of platform call a fault can be injected into.
enum class Call {
  open_root, open_dir, list_dir, open_read, stat, read,
  create, write, close, link, rename, remove, attributes,
};
inline constexpr int CALL_KINDS = 13;
std::string_view call_name(Call call);

/// A failure with the system's error number `code`, as the POSIX platform reports it.
inline Status os_error(int code) {
  switch (code) {
    case ENOENT: return Status{Fault::not_found, code};
    case EEXIST: return Status{Fault::exists, code};
    case ENOSPC: case EDQUOT: case EMFILE: case ENFILE: case ENOMEM:
      return Status{Fault::exhausted, code};
    default: return Status{Fault::other, code};
  }
}

/// The `nth` call of kind `call` (counted from 1 among the calls on `path` when that is
/// set) fails with `status`, and with `persistent` every later one too. With `short_count`
/// a read or write handles one byte instead of failing.
struct Injection {
  Call call = Call::open_root;
  int nth = 1;
  Status status;
  bool persistent = false;
  std::string path;  ///< relative to the root; "" for the root itself or for any path; a
                     ///< '*' in it stands for any run of characters
  bool short_count = false;
  /// A rename that fails after it removed the name it was to replace, as some share
  /// clients' do.
  bool drops_target = false;
  /// A read that succeeds with zero bytes in place of the file's, as a client's stale
  /// descriptor may give (fusefat, once another file was written).
  bool zeros = false;
  /// Where set, a rename that is done, then this runs (what another program does at that
  /// moment), then the rename fails all the same, as a user-space file system's link that
  /// looks the new name up once it is made. A rename_noreplace() so failed leaves the
  /// first name too, as that link does.
  std::function<void()> done;
};

/// The `nth` call of `call` fails with `status`; with `persistent`, every later one too.
inline Injection fail(Call call, int nth, Status status, bool persistent = false) {
  Injection i;
  i.call = call;
  i.nth = nth;
  i.status = status;
  i.persistent = persistent;
  return i;
}

/// Every call of `call` on `path` fails with `status`.
inline Injection fail_on(Call call, std::string path, Status status) {
  Injection i = fail(call, 1, status, true);
  i.path = std::move(path);
  return i;
}

/// The `nth` rename over `path` (with `persistent` every later one) removes `path`, then
/// fails with `status`.
inline Injection fail_after_removing(std::string path, Status status, int nth = 1,
                                     bool persistent = false) {
  Injection i = fail(Call::rename, nth, status, persistent);
  i.path = std::move(path);
  i.drops_target = true;
  return i;
}

/// The `nth` read of `path` gives zero bytes in place of the file's.
inline Injection read_zeros(std::string path, int nth = 1) {
  Injection i = fail(Call::read, nth, Status{});
  i.path = std::move(path);
  i.zeros = true;
  return i;
}

/// The `nth` read or write (and with `persistent` every later one) handles a single byte.
inline Injection shorten(Call call, int nth, bool persistent = false) {
  Injection i = fail(call, nth, Status{}, persistent);
  i.short_count = true;
  return i;
}

class FakePlatform final : public FileSystem, public Host {
 public:
  /// `root` is the path the tree answers to in open_root().
  explicit FakePlatform(std::string root = "/t");

  // Building the tree. Paths are relative to the root; missing folders are made.
  void add_file(const std::string& path, std::string_view content, unsigned mode = 0644);
  void add_symlink(const std::string& path, const std::string& target);
  void add_other(const std::string& path);
  /// Makes `owner` the owner of the file at `path`; the running user is 0.
  void own(const std::string& path, std::uint64_t owner);
  /// Locks a file as another run would, so that open_read() of it is refused as busy.
  void lock(const std::string& path);

  /// Adds an injection; returns its index for faults_met().
  int inject(Injection injection);
  /// Drops every injection and kill, and starts the call counts again.
  void clear_faults();
  int calls(Call call) const {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return counts_[int(call)];
  }
  /// How many calls injection `index` made fail (or shortened), and on which paths.
  int faults_met(int index = 0) const { return int(faulted_paths(index).size()); }
  const std::vector<std::string>& faulted_paths(int index = 0) const;
  /// Files and folders opened and not yet closed.
  int open_handles() const {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return int(files_.size() + dirs_.size());
  }
  /// Relative paths of the files open_read() opened, in order.
  const std::vector<std::string>& opened() const { return opened_; }

  /// Every name below the root by relative path: "<dir>", "-> TARGET", "<other>", or for a
  /// file its permission bits in octal, a space, and its content.
  std::map<std::string, std::string> snapshot() const;
  /// Whether anything has that relative path.
  bool exists(const std::string& path) const;

  char separator() const override { return '/'; }
  Status executable_path(std::string& out) override;
  /// The file at relative path program() named, if any.
  bool executable_stat(FileStat& out) override;
  /// Makes the file at relative path `path` the running program; one that names no file
  /// is a program the system cannot identify. Without it a folder is as named.
  void program(std::string path) { program_ = std::move(path); }
  bool identifies_program() const override { return !program_.empty(); }
  Status open_root(const std::string& path, Dir& out) override;
  Status open_dir(Dir parent, const std::string& name, Dir& out) override;
  Status list_dir(Dir dir, std::vector<Entry>& out) override;
  void close_dir(Dir dir) override;
  /// A share after as_share(), whose files are told apart by their content.
  Capabilities caps(Dir dir) override;
  Status open_read(Dir dir, const std::string& name, File& out) override;
  Status stat(File file, FileStat& out) override;
  Status stat_at(Dir dir, const std::string& name, FileStat& out) override;
  Status read(File file, std::uint64_t offset, char* buf, std::size_t n,
              std::size_t& got) override;
  Status create(Dir dir, const std::string& name, File& out) override;
  Status write(File file, const char* buf, std::size_t n, std::size_t& put) override;
  Status copy_attributes(File from, File to) override;
  Status close(File file) override;
  /// Counted as "link" calls on `name`.
  Status link(File file, Dir dir, const std::string& name) override;
  /// Counted as "rename" calls on `b`, the name the new file takes.
  Status exchange(Dir dir, const std::string& a, const std::string& b) override;
  void release(File file) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status rename_noreplace(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;
  /// Runs what when_paused() asked for first.
  void pause(long ns) override;
  std::string describe(const Status& status) override;
  /// A new process for every run; every run but the last and those running() made has ended.
  RunTag run_tag() override { return RunTag{MACHINE, std::uint32_t(++runs_), 0}; }
  bool process_has_ended(std::uint32_t process) override {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return !live_.contains(process);
  }
  std::uint32_t process_start(std::uint32_t process) override {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return live_.contains(process) ? live_.at(process) : 0;
  }
  /// The tag of a run on this machine that has ended.
  static std::string ended_run() { return RunTag{MACHINE, 999999, 0}.format(); }
  /// The tag of a run on this machine that ended before ended_run()'s, and lists first.
  static std::string earlier_run() { return RunTag{MACHINE, 999998, 0}.format(); }
  /// Whether another machine's number may be an earlier boot's (see Host).
  bool other_machines_may_be_earlier_boots() override { return boots_; }
  /// Makes this machine's number the same from boot to boot, as on Windows.
  void one_number_for_all_boots() { boots_ = false; }
  /// The tag of a run on this machine that may still be going on.
  std::string running() {
    const std::uint32_t process = 1000000 + std::uint32_t(live_.size());
    live_[process] = 1;
    return RunTag{MACHINE, process, 0}.format();
  }
  /// The tag, with its start, of a run on this machine that has ended, whose number a
  /// process that runs now has taken; or, `same_start`, of that process itself.
  std::string reused(bool same_start = false) {
    const std::uint32_t process = 1000000 + std::uint32_t(live_.size());
    live_[process] = 2;
    return RunTag{MACHINE, process, 0, same_start ? 2u : 1u}.format();
  }
  /// The tag of a run of another machine, or of an earlier boot of this one.
  static std::string elsewhere_run() { return RunTag{MACHINE ^ 1, 999999, 0}.format(); }
  /// Kills the run after `calls` calls of any kind: every later call does nothing and
  /// fails, but for closing, which the system does for a dead process.
  void die_after(int calls) { die_after_ = calls; }
  /// Whether the run met its kill (see die_after()).
  bool died() const {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return dead_;
  }

  /// Holds back the close of each file read whose path is in `paths` (the last call of its
  /// conversion) until every path before it has closed, so that conversions finish in
  /// that order; one that waits `patience` while it is the first of `paths` waiting goes
  /// anyway (fewer workers than the order needs).
  void finish_in(std::vector<std::string> paths,
                 std::chrono::milliseconds patience = std::chrono::milliseconds(20));
  /// The paths of finish_in() in the order their files were closed.
  std::vector<std::string> finished() const {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return finished_;
  }

  /// The most source files (not backups nor temporaries) of more than `LARGE` bytes that
  /// were read from and open at once.
  static constexpr std::size_t LARGE = 256 * 1024;
  int most_large_read() const {
    const std::lock_guard<std::recursive_mutex> lock(mutex_);
    return most_large_read_;
  }

  /// Lets at most `files` files be open for reading at once; open_read() fails with EMFILE
  /// beyond.
  void limit_open_files(int files) { open_limit_ = files; }
  /// Makes the platform one that cannot give a file a second name.
  void without_links() { links_ = false; }
  /// Makes the platform one that cannot swap two names: a replace moves the original aside
  /// and then gives the new file the free name.
  void moves_aside() { moves_aside_ = true; }
  /// Makes the platform a network share: a file's number does not tell which it is, and a
  /// link links whatever the file's name holds by then.
  void as_share() { exclusive_ = false; }
  /// Calls `action` once, when the `nth` call of `call` is made, before it does anything:
  /// what another program does meanwhile.
  void meanwhile(Call call, int nth, std::function<void()> action);
  /// Calls `action` once, at the next pause the run takes: what another program does
  /// while the run waits.
  void when_paused(std::function<void()> action);
  /// Gives `path` new content in place, as another program would.
  void change(const std::string& path, std::string_view content);
  /// Puts a new file with `content` under `path`, as another program's save would.
  void put(const std::string& path, std::string_view content);
  /// Gives the file `from` the name `to` of the same folder, replacing what `to` held, as
  /// another program's rename would.
  void move(const std::string& from, const std::string& to);

 private:
  struct Node;
  using NodePtr = std::shared_ptr<Node>;
  struct OpenDir {
    NodePtr node;
    std::string path;
  };
  struct OpenFile {
    NodePtr node;
    std::string path;
    bool writing = false;
    std::size_t pos = 0;
    bool large_read = false;  ///< a source file of more than LARGE bytes, read from
    bool locks = false;       ///< it holds the file's lock
    bool second = false;      ///< another name of a file this thread holds locked
  };

  /// rename() and rename_noreplace().
  Status move_entry(Dir dir, const std::string& from, const std::string& to, bool replacing);
  NodePtr make_path(const std::string& path, EntryKind kind);
  NodePtr find(const std::string& path) const;
  OpenDir* dir_of(Dir dir);
  OpenFile* file_of(File file);
  /// Counts a call of `call` on `path`; the injection it meets, or null.
  const Injection* meet(Call call, const std::string& path);
  /// Waits, in close(), for the turn of `path` in the order of finish_in().
  void await_turn(std::unique_lock<std::recursive_mutex>& lock, const std::string& path);

  mutable std::recursive_mutex mutex_;
  std::condition_variable_any turn_;
  std::vector<std::string> order_;
  std::vector<std::string> finished_;
  std::set<std::string> waiting_;
  std::chrono::milliseconds patience_{20};

  std::string root_path_;
  std::string program_;  ///< relative path of the running program; "" when not known
  NodePtr root_;
  std::map<std::intptr_t, OpenDir> dirs_;
  std::map<std::intptr_t, OpenFile> files_;
  std::intptr_t next_handle_ = 3;
  struct Injected {
    Injection injection;
    int seen = 0;                ///< calls it applies to so far
    std::vector<std::string> met;  ///< the paths of the calls it failed
  };
  std::vector<Injected> injections_;
  int counts_[CALL_KINDS] = {};
  std::vector<std::string> opened_;
  bool links_ = true;
  bool moves_aside_ = false;
  static constexpr std::uint32_t MACHINE = 0xfa4e;
  int runs_ = 0;
  bool boots_ = true;
  std::map<std::uint32_t, std::uint32_t> live_;  ///< the start of each live process
  int total_calls_ = 0;
  int die_after_ = -1;
  int large_read_ = 0, most_large_read_ = 0;
  bool dead_ = false;
  bool exclusive_ = true;
  int open_limit_ = 1 << 30;  ///< files open for reading at once
  struct Meanwhile {
    Call call;
    int nth;
    std::function<void()> action;
  };
  std::vector<Meanwhile> meanwhile_;
  std::function<void()> paused_;
};

/// Keeps what a run printed: its messages and its diagnostics.
class RecordingReporter final : public Reporter {
 public:
  void message(std::string_view text) override {
    out.append(text);
    both.append(text);
  }
  void diagnostic(std::string_view line) override {
    err.append(line);
    both.append(line);
  }
  std::string out;
  std::string err;
  std::string both;  ///< both, in the order they came
};

/// One run of the program of `direction` over `fs`, with Windows-1252 as the ANSI code
/// page chosen as `choice` says, on a machine of `processors`.
int run_program(FakePlatform& fs, Direction direction, Reporter& reporter,
                std::string_view argv0, unsigned processors = 1,
                const CodePageChoice& choice = {});

}  // namespace nivra::test
