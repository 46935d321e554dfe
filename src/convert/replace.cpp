#include "convert/replace.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "convert/reasons.h"
#include "convert/swap.h"
#include "platform/io.h"
#include "convert/transcode_lines.h"

namespace nivra {

namespace {

std::string backup_path(const Target& target) {
  return target.path + std::string(BACKUP_SUFFIX);
}

}  // namespace

Outcome failure(std::string_view message, std::string path, FileSystem& fs, const Status& status) {
  Outcome out = failure(message, std::move(path), reason(fs, status));
  out.short_of_resources = short_of_resources(status);
  return out;
}

std::string backup_of(std::string_view name) {
  return name.size() > BACKUP_SUFFIX.size() && name.ends_with(BACKUP_SUFFIX)
             ? std::string(name.substr(0, name.size() - BACKUP_SUFFIX.size()))
             : std::string();
}

TemporaryName::~TemporaryName() {
  if (kept_ || !holds_written()) return;
  const Status s = remove_or_left(fs_, dir_, name_);
  if (!s.ok() && left_) left_->push_back(LeftName{name_, "could not be removed: " + reason(fs_, s)});
}

/// Why a copy of an original that a run could not show to be held elsewhere stays.
constexpr std::string_view ONLY_COPY = "the only copy of its original, kept under this name";
/// Why another program's file that a swap moved aside stays.
constexpr std::string_view NOT_ORIGINAL =
    "kept: another program's file, moved aside from the name, which was taken again";
/// Why the record of a name that a swap left empty stays.
constexpr std::string_view KEPT_RECORD =
    "kept: it names the file whose original the next run puts back";

Replacer::Replacer(FileSystem& fs, Host& host)
    : fs_(fs), tag_(host.run_tag()), run_(tag_.format()), recovery_(fs, host, tag_) {}

/// The name only ever changes by one step that puts a complete file in its place. A
/// temporary is removed on the way out unless it took a name.
Outcome Replacer::replace(const Target& target, const WriteContent& write, bool backup_exists) {
  left_.clear();
  const Outcome out = [&] {
    // 1. The new content, complete, beside the file.
    TemporaryName fresh(fs_, target.dir, temporary(target, TempName::Kind::fresh), &left_);
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
  for (const auto& [name, s] : swapped_) {
    const std::optional<TempName> kept = s.ok() ? TempName::parse(name) : std::nullopt;
    left_.push_back(LeftName{
        name, s.fault == Fault::modified ? std::string(NOT_ORIGINAL)
              : !s.ok()                  ? "could not be removed: " + reason(fs_, s)
              : kept && kept->holds_original() ? std::string(ONLY_COPY)
                                               : std::string(KEPT_RECORD)});
  }
  swapped_.clear();
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
    return Swap(fs_, target.dir, fresh.name(), target.name, target.original, read, swapped_)
        .put(backup_name);
  };
  // Where no lock keeps other machines out, a NAME.OLD that holds just what was read may
  // be another run's claim on the file: it converts the file. Only where that run's
  // temporaries are beside it: a copy its user made, or a run that ended left, is an
  // ordinary earlier backup. (One that the listing did not show may be older than a
  // listing a client kept.)
  const bool others_may_claim = read.digested && !recovery_.ended_run();
  Status s{Fault::exists};
  if (!backup_exists) s = swap(backup);
  if (s.fault == Fault::exists) {
    if (others_may_claim && holds_content(target.dir, backup, read) &&
        another_run_beside(target))
      return failure(MSG_OPEN_FAILED, path, fs_, Status{Fault::busy});
    aside.emplace(fs_, target.dir, temporary(target, TempName::Kind::held), &left_);
    s = swap(aside->name());
  }
  if (s.fault == Fault::cannot_link) {
    if (!aside) aside.emplace(fs_, target.dir, temporary(target, TempName::Kind::held), &left_);
    s = copy_backup(target, aside->name());
    if (!s.ok()) return failure(MSG_BACKUP_FAILED, backup_path(target), fs_, s);
    s = swap("");
    // A share may report a failed rename after it removed the name.
    if (!s.ok() && read.digested) keep_only_copy(target, *aside);
  }
  if (changed_meanwhile(s)) {
    // Where the name was taken while the original was aside, the original stays: as
    // NAME.OLD where that is free, else under the aside name for a later run, named.
    // What was moved aside but was no original (`modified`: another program's file,
    // whose name was taken again before it could go back) stays under the aside name,
    // named: it is no backup.
    const std::string moved = aside_name(fresh.name());
    FileStat left, old;
    if (fs_.stat_at(target.dir, moved, left).ok()) {
      if (s.fault == Fault::modified)
        left_.push_back(LeftName{moved, std::string(NOT_ORIGINAL)});
      else if (fs_.stat_at(target.dir, backup, old).ok() && old.same_file(left))
        fs_.remove(target.dir, moved);  // a second name of NAME.OLD
      else if (!rename_to_free(fs_, target.dir, moved, backup).ok())
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
  TemporaryName copy(fs_, target.dir, temporary(target, TempName::Kind::copy), &left_);
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
    s = read_fully(fs_, target.original, offset, buf, n);  // `modified` where it is shorter
    if (s.ok()) {
      writer.append(std::string_view(buf, n));
      digest.add(buf, n);
    }
    offset += n;
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
      rename_to_free(fs_, target.dir, aside.name(), target.name).ok())
    return;
  left_.push_back(LeftName{aside.name(), std::string(ONLY_COPY)});
}

bool Replacer::another_run_beside(const Target& target) {
  std::vector<Entry> entries;
  if (!fs_.list_dir(target.dir, entries).ok()) return true;  // which cannot be told
  const std::string prefix = TempName::prefix(target.name);
  return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
    if (!e.name.starts_with(prefix)) return false;
    // A run of another machine or boot may have ended or not: it may be going on.
    const std::optional<TempName> temp = TempName::parse(e.name);
    if (!temp) return true;
    const RunState state = recovery_.state_of(*temp);
    return state != RunState::this_run && state != RunState::ended;
  });
}

/// Whether the file `name` of `dir` holds the content that `read` has the digest of.
bool Replacer::holds_content(Dir dir, const std::string& name, const FileStat& read) {
  return name_holds_digest(fs_, dir, name, read.size, read.digest).ok();
}

}  // namespace nivra
