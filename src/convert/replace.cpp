#include "convert/replace.h"

#include "convert/reasons.h"
#include "convert/transcode_lines.h"

namespace nivra {

namespace {

inline constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";

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

bool is_temporary_name(std::string_view name) { return name.starts_with(TEMPORARY_PREFIX); }

Replacer::Replacer(FileSystem& fs, Host& host)
    : fs_(fs), host_(host), tag_(host.run_tag()), run_(tag_.format()) {}

Outcome Replacer::finish_leftovers(const Target& target, const Neighbours& neighbours) {
  ended_run_ = false;
  if (neighbours.temporaries.empty()) return Outcome{};
  const std::string prefix = temporary_prefix(target.name);
  for (const std::string& left : neighbours.temporaries) {
    if (!left.starts_with(prefix)) continue;
    const std::size_t dot = left.rfind('.');
    const std::string_view tag = std::string_view(left).substr(prefix.size(), dot - prefix.size());
    if (!run_has_ended(host_, tag_, tag)) continue;
    ended_run_ = true;
    FileStat stat;
    if (left.ends_with(".old") && fs_.stat_at(target.dir, left, stat).ok() &&
        !stat.same_file(target.read) &&
        fs_.rename(target.dir, left, target.name + std::string(BACKUP_SUFFIX)).ok()) {
      // Where NAME.OLD was a second name of the same file, the rename leaves both.
      fs_.remove(target.dir, left);
      continue;
    }
    const Status s = fs_.remove(target.dir, left);
    if (!s.ok() && s.fault != Fault::not_found) {
      const std::size_t base = target.path.size() - target.name.size();
      return failure(MSG_WRITE_FAILED, target.path.substr(0, base) + left, reason(fs_, s));
    }
  }
  return Outcome{};
}

/// The name only ever changes by one step that puts a complete file in its place. A
/// temporary is removed on the way out unless it took a name.
Outcome Replacer::replace(const Target& target, const WriteContent& write, bool backup_exists) {
  // 1. The new content, complete, beside the file.
  TemporaryName fresh(fs_, target.dir, temporary_name(target.name, "new", run_));
  Outcome out = write_beside(target, write, fresh);
  if (out.kind == Outcome::failed) return out;

  // 2. It takes the name, and the file the name held goes under a backup name.
  std::optional<TemporaryName> aside;
  out = swap_in(target, fresh, backup_exists, aside);
  if (out.kind == Outcome::failed) return out;
  fresh.keep();

  // 3. The backup, where it went under a temporary name, replaces the earlier NAME.OLD.
  return aside ? settle_backup(target, *aside) : Outcome{};
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
    return failure(MSG_CREATE_FAILED, path, reason(fs_, s));
  }
  Outcome refused;
  s = write(file.file(), refused);
  const bool written = s.ok() && refused.kind != Outcome::failed;
  const Status attributes = written ? fs_.copy_attributes(target.original, file.file()) : Status{};
  const Status closed = file.close();
  if (refused.kind == Outcome::failed) return refused;
  if (changed_meanwhile(s)) return failure(MSG_CHANGED, path, reason(fs_, s));
  if (s.fault == Fault::too_large) return failure(MSG_READ_FAILED, path, reason(fs_, s));
  if (!s.ok() || !(s = closed).ok()) return failure(MSG_WRITE_FAILED, path, reason(fs_, s));
  if (!attributes.ok()) return failure(MSG_CREATE_FAILED, path, reason(fs_, attributes));
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
  // Where no lock keeps other machines out, a NAME.OLD that appeared since the listing, or
  // one that holds just what was read, is another run's claim on the file: it converts the
  // file. Unless a run that ended while converting the file made it.
  const bool others_may_claim = read.digested && !ended_run_;
  Status s{Fault::exists};
  if (!backup_exists) {
    s = swap(backup);
    if (s.fault == Fault::exists && others_may_claim)
      return failure(MSG_OPEN_FAILED, path, reason(fs_, Status{Fault::busy}));
  }
  if (s.fault == Fault::exists) {
    if (others_may_claim && holds_content(target.dir, backup, read))
      return failure(MSG_OPEN_FAILED, path, reason(fs_, Status{Fault::busy}));
    aside.emplace(fs_, target.dir, temporary_name(target.name, "old", run_));
    s = swap(aside->name());
  }
  if (s.fault == Fault::cannot_link) {
    if (!aside) aside.emplace(fs_, target.dir, temporary_name(target.name, "old", run_));
    s = copy_backup(target, aside->name());
    if (!s.ok()) return failure(MSG_BACKUP_FAILED, backup_path(target), reason(fs_, s));
    s = swap("");
  }
  if (changed_meanwhile(s)) return failure(MSG_CHANGED, path, reason(fs_, s));
  if (s.step == Step::backup)
    return failure(MSG_BACKUP_FAILED, backup_path(target), reason(fs_, s));
  if (!s.ok()) return failure(MSG_WRITE_FAILED, path, reason(fs_, s));
  return Outcome{};
}

/// Renames `aside` to NAME.OLD. Should that fail, the original goes back under its name;
/// should that fail too, it stays under its temporary name, the only copy of the
/// original, for the next run to finish.
Outcome Replacer::settle_backup(const Target& target, TemporaryName& aside) {
  const Status s = fs_.rename(target.dir, aside.name(), target.name + std::string(BACKUP_SUFFIX));
  if (!s.ok()) {
    if (!fs_.rename(target.dir, aside.name(), target.name).ok()) aside.keep();
    return failure(MSG_BACKUP_FAILED, backup_path(target), reason(fs_, s));
  }
  // `aside` is removed after the rename too: when NAME.OLD already was a name of the very
  // file (a run stopped before its replace), the rename leaves both names.
  return Outcome{};
}

/// Makes `aside` a copy of the original as it was read, its bytes and its attributes.
/// The copy is written under a temporary name of its own and renamed once complete.
Status Replacer::copy_backup(const Target& target, const std::string& aside) {
  TemporaryName copy(fs_, target.dir, temporary_name(target.name, "cpy", run_));
  Closer out(fs_);
  Status s = fs_.create(target.dir, copy.name(), out.file());
  if (!s.ok()) return s;
  FileOutput output(fs_, out.file());
  BlockWriter writer(output, block_);
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
    if (s.ok()) writer.append(std::string_view(buf, got));
    offset += got;
  }
  const Status written = writer.finish();
  if (s.ok()) s = written;
  if (s.ok()) s = fs_.copy_attributes(target.original, out.file());
  const Status closed = out.close();
  if (s.ok()) s = closed;
  if (s.ok()) s = fs_.rename(target.dir, copy.name(), aside);
  if (s.ok()) copy.keep();
  return s;
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
