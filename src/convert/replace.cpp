#include "convert/replace.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "convert/reasons.h"
#include "convert/transcode_lines.h"

namespace nivra {

namespace {

inline constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";

/// The tag of the run that left `left`, one of temporary_name()'s names.
std::string_view tag_of(std::string_view left) {
  const std::size_t from = TEMPORARY_PREFIX.size() + 17, dot = left.rfind('.');
  return dot == left.npos || dot < from ? std::string_view() : left.substr(from, dot - from);
}

std::string backup_path(const Target& target) {
  return target.path + std::string(BACKUP_SUFFIX);
}

}  // namespace

std::string temporary_prefix(const std::string& name) {
  // The digest of the name: every run's temporaries of a file begin alike, whatever its name.
  Digest digest;
  digest.add(name);
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out(TEMPORARY_PREFIX);
  for (int shift = 60; shift >= 0; shift -= 4) out.push_back(DIGITS[digest.value >> shift & 0xF]);
  out.push_back('-');
  return out;
}

std::string temporary_name(const std::string& name, std::string_view kind, std::string_view run) {
  std::string out = temporary_prefix(name);
  out.append(run).append(".").append(kind);
  return out;
}

Outcome failure(std::string_view message, std::string path, FileSystem& fs, const Status& status) {
  Outcome out = failure(message, std::move(path), reason(fs, status));
  out.short_of_resources = short_of_resources(status);
  return out;
}

bool is_temporary_name(std::string_view name) { return name.starts_with(TEMPORARY_PREFIX); }

std::string backup_of(std::string_view name) {
  return name.size() > BACKUP_SUFFIX.size() && name.ends_with(BACKUP_SUFFIX)
             ? std::string(name.substr(0, name.size() - BACKUP_SUFFIX.size()))
             : std::string();
}

TemporaryName::~TemporaryName() {
  if (kept_ || !holds_written()) return;
  const Status s = fs_.remove(dir_, name_);
  FileStat there;  // a removal that failed of a name that is gone leaves nothing
  if (!s.ok() && s.fault != Fault::not_found && left_ && fs_.stat_at(dir_, name_, there).ok())
    left_->push_back(LeftName{name_, "could not be removed: " + reason(fs_, s)});
}

/// Why a copy of an original that a run could not show to be held elsewhere stays.
constexpr std::string_view ONLY_COPY = "the only copy of its original, kept under this name";

Replacer::Replacer(FileSystem& fs, Host& host)
    : fs_(fs), host_(host), tag_(host.run_tag()), run_(tag_.format()) {}

Outcome Replacer::finish_leftovers(const Target& target, const Neighbours& neighbours) {
  ended_run_ = false;
  undecided_.clear();
  stale_.clear();
  if (neighbours.temporaries.empty()) return Outcome{};
  const std::string prefix = temporary_prefix(target.name);
  const std::size_t base = target.path.size() - target.name.size();
  const bool shared = !fs_.caps(target.dir).identity;
  stale_dir_ = target.dir;
  stale_folder_ = target.path.substr(0, base);
  // A leftover is judged by the owner of the file that was replaced as well: a run of
  // another user leaves the original, of its owner, beside a new file of its own. NAME.OLD
  // as it was before this run is the file some run replaced.
  const std::string backup = target.name + std::string(BACKUP_SUFFIX);
  FileStat earlier;
  const bool has_earlier = neighbours.names.contains(backup) &&
                           fs_.stat_at(target.dir, backup, earlier).ok() && earlier.regular;
  const auto is_backup = [](const std::string& left) {
    return left.ends_with(".old") || left.ends_with(".was");
  };
  // Backups first: what NAME.OLD holds once they are finished tells which of the others
  // hold nothing that is not kept.
  std::vector<std::string> lefts;
  for (const std::string& left : neighbours.temporaries)
    if (left.starts_with(prefix)) lefts.push_back(left);
  std::stable_partition(lefts.begin(), lefts.end(), is_backup);
  for (const std::string& left : lefts) {
    const std::string_view tag = tag_of(left);
    if (!run_has_ended(host_, tag_, tag)) {
      const std::optional<RunTag> run = RunTag::parse(tag);
      if (!run || run->machine == tag_.machine) continue;
      // A run of another machine, or of an earlier boot of this one: it has certainly
      // ended where the file system is this machine's alone, and the run is of a boot.
      if (!fs_.caps(target.dir).identity ||
          !host_.other_machines_may_be_earlier_boots()) {
        if (undecided_.empty()) undecided_ = target.path.substr(0, base) + left;
        continue;
      }
    }
    FileStat stat;
    const Status known = fs_.stat_at(target.dir, left, stat);
    if (!known.ok() && known.fault != Fault::not_found)
      return failure(MSG_WRITE_FAILED, target.path.substr(0, base) + left, reason(fs_, known));
    const bool backup = is_backup(left);
    // Another user's leftover that is no backup is removed only where NAME.OLD holds its
    // bytes: then nothing is lost whoever made it.
    if (known.ok() ? !owned(stat, target.read) &&
                         !(has_earlier && owned(stat, earlier)) &&
                         (backup || !stat.regular || !held_as_backup(target, left))
                   : backup)
      continue;
    ended_run_ = true;
    // A backup that holds what the name holds was made before a replace that never
    // happened: it is no original.
    Status compared;
    if (known.ok() && backup && !stat.same_file(target.read) &&
        !same_content(target.dir, left, target.original, target.read, compared)) {
      // One whose content cannot be read (held, a client's error) may hold what the name
      // holds: taken for an original, it would replace the NAME.OLD that holds the real one.
      // It stays for a later run, and so does the file.
      if (compared.fault == Fault::not_found) continue;
      if (!compared.ok())
        return failure(MSG_BACKUP_FAILED, target.path.substr(0, base) + left,
                       reason(fs_, compared));
      // It may be the only copy of an original: where it cannot become NAME.OLD, it stays
      // for a later run, and the file waits for it. It goes under a name of this run's own
      // first, by a step that fails where another run took it meanwhile: a share's client
      // may remove the target of a rename whose source another client moved (rclone), and
      // NAME.OLD would then hold that original.
      const std::string own = temporary_name(target.name, "old", run_);
      Status moved = fs_.rename_new(target.dir, left, own);
      if (moved.fault == Fault::not_found) continue;
      std::string held = left;
      if (moved.ok()) {
        moved = fs_.rename(target.dir, own, target.name + std::string(BACKUP_SUFFIX));
        // Where it cannot, it goes back under the name it was found under.
        if (!moved.ok() && !fs_.rename_new(target.dir, own, left).ok()) held = own;
      }
      if (!moved.ok())
        return failure(MSG_BACKUP_FAILED, target.path.substr(0, base) + held, reason(fs_, moved));
      // Where NAME.OLD was a second name of the same file, the rename leaves both.
      fs_.remove(target.dir, own);
      continue;
    }
    // On a share, where a NAME.OLD that holds what the name holds is taken for another
    // client's claim, the ended run's leftovers are what shows the claim to be a dead
    // run's: they go once this run's own temporaries have stood in for them.
    if (shared) {
      stale_.push_back(left);
      continue;
    }
    const Status s = fs_.remove(target.dir, left);
    if (!s.ok() && s.fault != Fault::not_found)
      return failure(MSG_WRITE_FAILED, target.path.substr(0, base) + left, reason(fs_, s));
  }
  return Outcome{};
}

void Replacer::remove_stale(bool done) {
  if (!done) stale_.clear();
  for (const std::string& left : stale_) {
    const Status s = fs_.remove(stale_dir_, left);
    if (!s.ok() && s.fault != Fault::not_found)
      left_.push_back(LeftName{stale_folder_ + left, "could not be removed: " + reason(fs_, s)});
  }
  for (const auto& [name, s] : fs_.take_left())
    left_.push_back(LeftName{stale_folder_ + name, "could not be removed: " + reason(fs_, s)});
  stale_.clear();
}

bool Replacer::owned(const FileStat& left, const FileStat& file) const {
  return left.regular && (left.owner == file.owner || left.owner == host_.running_user());
}

std::string Replacer::recorded_name(Dir dir, const std::string& record, bool& live) {
  live = false;
  if (!record.ends_with(".nam")) return {};
  if (!run_has_ended(host_, tag_, tag_of(record))) {
    const std::optional<RunTag> run = RunTag::parse(tag_of(record));
    if (!run || run->machine != tag_.machine || *run == tag_) return {};
    live = true;
  }
  File file;
  if (!fs_.open_read(dir, record, file).ok()) return {};
  Closer closer(fs_, file);
  FileStat stat;
  if (!fs_.stat(file, stat).ok() || !stat.regular || stat.size == 0 ||
      stat.size > NAME_RECORD_MAX)
    return {};
  std::string name(std::size_t(stat.size), '\0');
  for (std::size_t at = 0, got = 0; at < name.size(); at += got) {
    got = 0;
    const Status s = fs_.read(file, at, name.data() + at, name.size() - at, got);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok() || got == 0) return {};
  }
  // A plain name of this folder, whose digest the record's own name carries: a record
  // that names another file than its run's temporaries do is nobody's.
  if (name.find_first_of(std::string_view("/\\\0", 3)) != name.npos || name == "." ||
      name == ".." || !record.starts_with(temporary_prefix(name)))
    return {};
  return name;
}

std::vector<Replacer::Missing> Replacer::missing_names(Dir dir, const Neighbours& neighbours) {
  std::vector<Missing> out;
  if (neighbours.temporaries.empty()) return out;  // no run was killed here
  const auto add = [&](std::string name, const std::string& record, bool live) {
    if (name.empty() || neighbours.names.contains(name)) return;
    Missing* m = nullptr;
    for (Missing& each : out) m = each.name == name ? &each : m;
    if (!m) m = &out.emplace_back(Missing{std::move(name), {}, {}});
    if (record.empty()) return;
    if (!live) m->records.push_back(record);
    else if (m->live_record.empty()) m->live_record = record;
  };
  for (const std::string& left : neighbours.temporaries) {
    bool live = false;
    if (left.ends_with(".nam")) {
      std::string name = recorded_name(dir, left, live);
      add(std::move(name), left, live);
    }
  }
  for (const std::string& listed : neighbours.names) add(backup_of(listed), "", false);
  std::sort(out.begin(), out.end(),
            [](const Missing& a, const Missing& b) { return a.name < b.name; });
  return out;
}

Replacer::Restore Replacer::restore_name(Dir dir, const Missing& missing, const std::string& path,
                                         const Neighbours& neighbours, Outcome& failed) {
  // Of several recorded runs, one that moved the original aside or held it goes before
  // one whose new file only says NAME.OLD holds it: that may be an earlier backup.
  const std::string backup = missing.name + std::string(BACKUP_SUFFIX);
  std::string from, old;
  for (const std::string& record :
       missing.records.empty() ? std::vector<std::string>{""} : missing.records) {
    std::string left = original_left(dir, missing.name, record, neighbours);
    if (left == backup) old = std::move(left);
    else if (!left.empty()) from = std::move(left);
    if (!from.empty()) break;
  }
  if (from.empty()) from = old;
  if (from.empty() && !missing.live_record.empty()) {
    failed = failure(MSG_OPEN_FAILED, path,
                     "missing: the run that recorded it in " + missing.live_record +
                         " may still be going on");
    return Restore::failed;
  }
  if (from.empty()) return Restore::nothing;
  const Status s = fs_.rename_new(dir, from, missing.name);
  // A name `from` that stays is a leftover beside the file, which its conversion finishes
  // or reports.
  fs_.take_left();
  // A name that holds a file after all (a client's listing that missed it, or another run
  // that put it back meanwhile) is converted like any other.
  if (s.ok() || s.fault == Fault::exists) return Restore::put_back;
  failed = failure(MSG_OPEN_FAILED, path, reason(fs_, s));
  return Restore::failed;
}

std::string Replacer::original_left(Dir dir, const std::string& name,
                                    const std::string& record_name, const Neighbours& neighbours) {
  const std::string prefix = temporary_prefix(name);
  const std::string backup = name + std::string(BACKUP_SUFFIX);
  // The leftovers are judged by NAME.OLD where there is one, else by the record: either
  // way they must be regular files of its owner or of this run's user.
  FileStat old, record;
  const bool has_old = fs_.stat_at(dir, backup, old).ok() && old.regular;
  const bool recorded = !record_name.empty() && fs_.stat_at(dir, record_name, record).ok() &&
                        (has_old ? owned(record, old) : record.regular);
  if (!has_old && !recorded) return {};
  const FileStat& judge = has_old ? old : record;
  // A record that this run's user wrote vouches for its run's leftovers whoever owns them:
  // the original moved aside keeps its owner, who need not be the user of that run.
  const bool vouched = recorded && !has_old && record.owner == host_.running_user();
  // A record names the run that emptied the name: only that run's leftovers are taken.
  const std::string_view recorded_run = recorded ? tag_of(record_name) : std::string_view();
  std::string aside, held;
  bool fresh = false;
  for (const std::string& left : neighbours.temporaries) {
    if (!left.starts_with(prefix)) continue;
    const std::string_view tag = tag_of(left);
    FileStat stat;
    if ((recorded ? tag != recorded_run : !run_has_ended(host_, tag_, tag)) ||
        !fs_.stat_at(dir, left, stat).ok() ||
        !(owned(stat, judge) || (vouched && stat.regular)))
      continue;
    if (left.ends_with(".was")) aside = left;
    if (left.ends_with(".old")) held = left;
    fresh = fresh || left.ends_with(".new");
  }
  // NAME.OLD holds the original only where the run went on to make its new file.
  return !aside.empty() ? aside : !held.empty() ? held : fresh && has_old ? backup : std::string();
}

/// The name only ever changes by one step that puts a complete file in its place. A
/// temporary is removed on the way out unless it took a name.
Outcome Replacer::replace(const Target& target, const WriteContent& write, bool backup_exists) {
  left_.clear();
  const Outcome out = [&] {
    // 1. The new content, complete, beside the file.
    TemporaryName fresh(fs_, target.dir, temporary_name(target.name, "new", run_), &left_);
    Outcome step = write_beside(target, write, fresh);
    if (step.kind == Outcome::failed) return step;

    // 2. It takes the name, and the file the name held goes under a backup name.
    std::optional<TemporaryName> aside;
    step = swap_in(target, fresh, backup_exists, aside);
    if (step.kind == Outcome::failed) return step;
    fresh.keep();

    // 3. The backup, where it went under a temporary name, replaces the earlier NAME.OLD.
    return aside ? settle_backup(target, fresh, *aside) : Outcome{};
  }();
  for (const auto& [name, s] : fs_.take_left())
    left_.push_back(LeftName{name, "could not be removed: " + reason(fs_, s)});
  // What was left is named by its path.
  const std::string folder = target.path.substr(0, target.path.size() - target.name.size());
  for (LeftName& left : left_) left.name.insert(0, folder);
  return out;
}

/// Creates `fresh`, and has `write` fill it; the file gets the original's attributes once
/// its content is complete.
Outcome Replacer::write_beside(const Target& target, const WriteContent& write,
                               TemporaryName& fresh) {
  const std::string& path = target.path;
  Closer file(fs_);  // closed before the name is removed
  Status s = fs_.create(target.dir, fresh.name(), file.file());
  if (!s.ok()) {
    fresh.keep();  // whatever has the name is not ours
    return failure(MSG_CREATE_FAILED, path, fs_, s);
  }
  Outcome refused;
  s = write(file.file(), refused);
  const bool written = s.ok() && refused.kind != Outcome::failed;
  const Status attributes = written ? fs_.copy_attributes(target.original, file.file()) : Status{};
  FileStat made;
  if (fs_.stat(file.file(), made).ok()) fresh.wrote(made);
  const Status closed = file.close();
  if (refused.kind == Outcome::failed) return refused;
  if (changed_meanwhile(s)) return failure(MSG_CHANGED, path, fs_, s);
  if (s.fault == Fault::too_large) return failure(MSG_READ_FAILED, path, fs_, s);
  if (!s.ok() || !(s = closed).ok()) return failure(MSG_WRITE_FAILED, path, fs_, s);
  if (!attributes.ok()) return failure(MSG_CREATE_FAILED, path, fs_, attributes);
  return Outcome{};
}

/// Puts `fresh` under the name in one step that checks the name still holds the file as
/// it was read, and gives that file a backup name: NAME.OLD itself when there is none yet,
/// else `aside`, a temporary name. Where the file system cannot give the file a second
/// name, `aside` is a copy of it, made first.
Outcome Replacer::swap_in(const Target& target, const TemporaryName& fresh, bool backup_exists,
                          std::optional<TemporaryName>& aside) {
  const std::string& path = target.path;
  const FileStat& read = target.read;
  const std::string backup = target.name + std::string(BACKUP_SUFFIX);
  const auto swap = [&](const std::string& backup_name) {
    return fs_.replace(target.dir, fresh.name(), target.name, backup_name, target.original, read);
  };
  // Where no lock keeps other machines out, a NAME.OLD that holds just what was read may
  // be another run's claim on the file: it converts the file. Only where that run's
  // temporaries are beside it: a copy its user made, or a run that ended left, is an
  // ordinary earlier backup. (One that the listing did not show may be older than a
  // listing a client kept.)
  const bool others_may_claim = read.digested && !ended_run_;
  Status s{Fault::exists};
  if (!backup_exists) s = swap(backup);
  if (s.fault == Fault::exists) {
    if (others_may_claim && holds_content(target.dir, backup, read) &&
        another_run_beside(target))
      return failure(MSG_OPEN_FAILED, path, fs_, Status{Fault::busy});
    aside.emplace(fs_, target.dir, temporary_name(target.name, "old", run_), &left_);
    s = swap(aside->name());
  }
  if (s.fault == Fault::cannot_link) {
    if (!aside) aside.emplace(fs_, target.dir, temporary_name(target.name, "old", run_), &left_);
    s = copy_backup(target, aside->name());
    if (!s.ok()) return failure(MSG_BACKUP_FAILED, backup_path(target), fs_, s);
    s = swap("");
    // A share may report a failed rename after it removed the name.
    if (!s.ok() && read.digested) keep_only_copy(target, *aside);
  }
  if (changed_meanwhile(s)) {
    // Where the name was taken while the original was aside, the original stays: as
    // NAME.OLD where that is free, else under the aside name for a later run, named.
    const std::string moved = aside_name(fresh.name());
    FileStat left, old;
    if (fs_.stat_at(target.dir, moved, left).ok()) {
      if (fs_.stat_at(target.dir, backup, old).ok() && old.same_file(left))
        fs_.remove(target.dir, moved);  // a second name of NAME.OLD
      else if (!fs_.rename_new(target.dir, moved, backup).ok())
        left_.push_back(LeftName{moved, std::string(ONLY_COPY)});
    }
    return failure(MSG_CHANGED, path, fs_, s);
  }
  // Another run holds the file, or has claimed its backup name meanwhile.
  if (s.fault == Fault::busy) return failure(MSG_OPEN_FAILED, path, fs_, s);
  if (s.step == Step::backup)
    return failure(MSG_BACKUP_FAILED, backup_path(target), fs_, s);
  if (!s.ok()) return failure(MSG_WRITE_FAILED, path, fs_, s);
  return Outcome{};
}

/// Renames `aside` to NAME.OLD. Should that fail, the original goes back under its name,
/// provided the name still holds `fresh`, the new file (another program may have saved
/// over it meanwhile: then its file stays, and the file is reported as changed);
/// otherwise, or should that fail too, it stays under its temporary name, the only copy
/// of the original, for the next run to finish.
Outcome Replacer::settle_backup(const Target& target, const TemporaryName& fresh,
                                TemporaryName& aside) {
  const Status s = fs_.rename(target.dir, aside.name(), target.name + std::string(BACKUP_SUFFIX));
  if (!s.ok()) {
    FileStat now;
    if (fresh.written() && fs_.stat_at(target.dir, target.name, now).ok() &&
        !now.same_file(*fresh.written())) {
      aside.keep();
      return failure(MSG_CHANGED, target.path, reason(fs_, Status{Fault::replaced}));
    }
    if (!fs_.rename(target.dir, aside.name(), target.name).ok()) aside.keep();
    // Never tried again: the name may hold the new file, and its original a temporary name.
    return failure(MSG_BACKUP_FAILED, backup_path(target), reason(fs_, s));
  }
  // `aside` is removed after the rename too: when NAME.OLD already was a name of the very
  // file (a run stopped before its replace), the rename leaves both names.
  return Outcome{};
}

/// Makes `aside` a copy of the original as it was read, its bytes and its attributes.
/// The copy is written under a temporary name of its own and renamed once complete.
Status Replacer::copy_backup(const Target& target, const std::string& aside) {
  TemporaryName copy(fs_, target.dir, temporary_name(target.name, "cpy", run_), &left_);
  Closer out(fs_);
  Status s = fs_.create(target.dir, copy.name(), out.file());
  if (!s.ok()) return s;
  FileOutput output(fs_, out.file());
  BlockWriter writer(output, block_);
  // A client's descriptor may give other bytes than the file holds once another file was
  // written (fusefat gives zeros): where the content read was digested, the copy must
  // have that digest.
  Digest digest;
  for (std::uint64_t offset = 0; offset < target.read.size && s.ok();) {
    char buf[65536];
    const std::uint64_t left = target.read.size - offset;
    const std::size_t n = left < sizeof buf ? std::size_t(left) : sizeof buf;
    std::size_t got = 0;
    s = fs_.read(target.original, offset, buf, n, got);
    if (s.fault == Fault::interrupted) {
      s = Status{};
      continue;
    }
    if (s.ok() && got == 0) s = Status{Fault::modified};  // shorter than it was read
    if (s.ok()) {
      writer.append(std::string_view(buf, got));
      digest.add(buf, got);
    }
    offset += got;
  }
  if (s.ok() && target.read.digested && digest.value != target.read.digest)
    s = Status{Fault::modified};
  const Status written = writer.finish();
  if (s.ok()) s = written;
  if (s.ok()) s = fs_.copy_attributes(target.original, out.file());
  const Status closed = out.close();
  if (s.ok()) s = closed;
  if (s.ok()) s = fs_.rename(target.dir, copy.name(), aside);
  if (s.ok()) copy.keep();
  return s;
}

void Replacer::keep_only_copy(const Target& target, TemporaryName& aside) {
  const std::string backup = target.name + std::string(BACKUP_SUFFIX);
  if (holds_content(target.dir, target.name, target.read) ||
      holds_content(target.dir, backup, target.read))
    return;
  aside.keep();
  FileStat there;
  if (fs_.stat_at(target.dir, target.name, there).fault == Fault::not_found &&
      fs_.rename_new(target.dir, aside.name(), target.name).ok())
    return;
  left_.push_back(LeftName{aside.name(), std::string(ONLY_COPY)});
}

/// Whether the file `name` of `dir` holds the same bytes as `file`, as `read` found it.
bool Replacer::same_content(Dir dir, const std::string& name, File file, const FileStat& read,
                            Status& status) {
  FileStat stat;
  status = fs_.stat_at(dir, name, stat);
  if (!status.ok() || stat.size != read.size) return false;
  File other;
  status = fs_.open_read(dir, name, other);
  if (!status.ok()) return false;
  Closer closer(fs_, other);
  std::vector<char> mine(65536), theirs(65536);
  for (std::uint64_t offset = 0; offset < read.size;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(mine.size(), read.size - offset));
    for (auto [f, buf] : {std::pair{file, &mine}, std::pair{other, &theirs}}) {
      for (std::size_t at = 0, got = 0; at < n; at += got) {
        status = fs_.read(f, offset + at, buf->data() + at, n - at, got);
        if (status.fault == Fault::interrupted) continue;
        if (!status.ok()) return false;
        if (got == 0) {
          // Shorter than its size said: it changed while it was read.
          status = Status{Fault::modified, 0};
          return false;
        }
      }
    }
    if (std::memcmp(mine.data(), theirs.data(), n) != 0) return false;
    offset += n;
  }
  return true;
}

bool Replacer::another_run_beside(const Target& target) {
  std::vector<Entry> entries;
  if (!fs_.list_dir(target.dir, entries).ok()) return true;  // which cannot be told
  const std::string prefix = temporary_prefix(target.name);
  return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
    const std::string_view tag = tag_of(e.name);
    // A run of another machine or boot may have ended or not: it may be going on.
    return e.name.starts_with(prefix) && tag != run_ && !run_has_ended(host_, tag_, tag);
  });
}

bool Replacer::held_as_backup(const Target& target, const std::string& left) {
  File file;
  if (!fs_.open_read(target.dir, left, file).ok()) return false;
  Closer closer(fs_, file);
  FileStat stat;
  Status status;
  return fs_.stat(file, stat).ok() &&
         same_content(target.dir, target.name + std::string(BACKUP_SUFFIX), file, stat, status);
}

/// Whether the file `name` of `dir` holds the content that `read` has the digest of.
bool Replacer::holds_content(Dir dir, const std::string& name, const FileStat& read) {
  File file;
  if (!fs_.open_read(dir, name, file).ok()) return false;
  Closer closer(fs_, file);
  Digest digest;
  std::uint64_t size = 0;
  return digest_file(fs_, file, digest, size).ok() && size == read.size &&
         digest.value == read.digest;
}

}  // namespace nivra
