// Putting a new file under a name: replace(), renames and removals, and the checks that
// the name still holds the file read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/io.h"
#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_platform.h"

namespace nivra {

using namespace posix;

Status PosixPlatform::check_name(Dir dir, const std::string& name, const FileStat& read,
                                 Fault differs) {
  FileStat now;
  Status s = stat_at(dir, name, now);
  if (!s.ok()) return s.fault == Fault::not_found ? Status{Fault::replaced} : s;
  if (!read.digested) return now.unchanged(read) ? Status{} : Status{differs};
  // Which file a name stands for cannot be told here: its content must be the one read.
  // A name that cannot be opened or read is not shown to hold another file: the failure is
  // this run's own.
  const int fd = sys_.openat(fd_of(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return errno == ENOENT ? Status{Fault::replaced} : last_error();
  read_around_cache(sys_, fd);
  Digest digest;
  std::uint64_t size = 0;
  s = digest_file(*this, File{fd}, digest, size);
  sys_.close(fd);
  if (!s.ok() && !changed_name(s)) return s;
  return s.ok() && size == read.size && digest.value == read.digest ? Status{} : Status{differs};
}

void PosixPlatform::drop_descriptor(File file) {
  // Replaced by /dev/null, the descriptor's number stays taken until the core closes it.
  const int null = sys_.openat(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC, 0);
  if (null < 0) return;
  sys_.dup3(null, fd_of(file), O_CLOEXEC);
  sys_.close(null);
}

Status PosixPlatform::replace(Dir dir, const std::string& temp, const std::string& name,
                              const std::string& backup, File original,
                              const FileStat& read) {
  Opened o;
  const bool known = opened(original, o);
  const bool shared = !known || o.shared;
  if (!backup.empty()) {
    // Where the file system keeps no second name of a file, a link may fail with the words
    // that elsewhere mean a name is taken: there the backup is a copy.
    if (known && !keeps_links(fd_of(dir), temp, o.st.st_dev))
      return Status{Fault::cannot_link, EOPNOTSUPP, Step::backup};
    const Status s = link_backup(dir, temp, backup, original, read, shared);
    if (!s.ok()) return s;
  }
  // Where a name replaced while a descriptor is open would disappear for a moment
  // (a user-space file system), the descriptor is dropped first.
  if (shared) drop_descriptor(original);
  bool settled = false;
  const Status s = swap_in(dir, temp, name, read, shared, settled);
  if (settled) return s;
  // On a share, a NAME.OLD that another client's run may have made its backup meanwhile
  // (it holds the original all the same) stays where the name changed; a name of this
  // run's own goes.
  const bool own_backup = same_run_and_file(temp, backup);
  if (!backup.empty() && (own_backup || !read.digested || !changed_name(s)))
    remove_own(dir, backup);
  return s.at(Step::swap);
}

Status PosixPlatform::link_backup(Dir dir, const std::string& temp, const std::string& backup,
                                  File original, const FileStat& read, bool shared) {
  const int d = fd_of(dir);
  // Linking the descriptor, not the name, gives the backup exactly the file read:
  // straight from it where the process may, else through /proc. A share's client may
  // link by the name it last knew the file by, which another client may have given
  // another file meanwhile: there the link goes under a name of the run's own, is shown
  // to be the file read, and only then takes the backup name, by a step that fails where
  // that is taken. So no name but the run's own is removed for a link that went wrong:
  // another client's run may put its backup under the backup name at any moment.
  const bool own = same_run_and_file(temp, backup);
  const std::string linked =
      shared && !own ? TempName::with_kind(temp, TempName::Kind::linked) : backup;
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_of(original));
  if (sys_.linkat(fd_of(original), "", d, linked.c_str(), AT_EMPTY_PATH) != 0 &&
      sys_.linkat(AT_FDCWD, proc, d, linked.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    const int e = errno;
    if (e == ENOENT) return Status{Fault::replaced};  // the file read has no name left
    // A file system that keeps links may answer EPERM, or on a share EIO, for a name
    // another client just made: a claim where the name now exists. On a share any other
    // such failure is one of the backup: links work there, and the name is free.
    struct stat taken;
    if (e == EEXIST || ((e == EPERM || (shared && e == EIO)) &&
                        sys_.fstatat(d, linked.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0))
      return Status{Fault::exists, EEXIST, Step::backup};
    if (shared && (e == EPERM || e == EIO)) return from_errno(e).at(Step::backup);
    if (e == EPERM || e == EXDEV || e == EMLINK || e == EOPNOTSUPP || e == ENOSYS)
      return Status{Fault::cannot_link, e, Step::backup};
    return from_errno(e).at(Step::backup);
  }
  // Some file systems link by name, whatever the descriptor: there the backup must be
  // shown to be the file that was read.
  Status s = read.digested || linked != backup ? check_name(dir, linked, read, Fault::replaced)
                                               : Status{};
  if (!s.ok()) {
    // Another client's run may have put its backup of the same original there since:
    // that stays.
    if (linked != backup || own || !check_name(dir, backup, read, Fault::replaced).ok())
      remove_own(dir, linked);
    return changed_name(s) ? s : s.at(Step::backup);
  }
  if (linked != backup) {
    s = rename_new(dir, linked, backup);
    if (!s.ok()) {
      remove_own(dir, linked);
      return s.at(Step::backup);
    }
  }
  return Status{};
}

Status PosixPlatform::swap_in(Dir dir, const std::string& temp, const std::string& name,
                              const FileStat& read, bool shared, bool& settled) {
  const int d = fd_of(dir);
  // The new file and the name swap places in one step; then what came out must be the
  // file as it was read, else they swap back, provided the name still holds the new file:
  // another program may have saved over it meanwhile, and its file stays.
  FileStat fresh;
  Status s = stat_at(dir, temp, fresh);
  if (!s.ok()) return s;
  if (sys_.renameat2(d, temp.c_str(), d, name.c_str(), RENAME_EXCHANGE) == 0) {
    FileStat out, now;
    s = stat_at(dir, temp, out);
    if (s.ok() && !out.unchanged(read))
      s = Status{out.same_file(read) ? Fault::modified : Fault::replaced};
    if (s.ok()) {
      remove_own(dir, temp);
      settled = true;
      return s;
    }
    if (!stat_at(dir, name, now).ok() || now.same_file(fresh))
      sys_.renameat2(d, temp.c_str(), d, name.c_str(), RENAME_EXCHANGE);
    return s;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return last_error();
  s = replace_by_moves(dir, temp, name, read, shared);
  // Taken by another program while it was free: the original stays aside, and the
  // backup, another name of it, stays too.
  settled = s.ok() || (s.fault == Fault::replaced && stat_at(dir, aside_name(temp), fresh).ok());
  return settled && !s.ok() ? s.at(Step::swap) : s;
}

Status PosixPlatform::replace_by_moves(Dir dir, const std::string& temp,
                                       const std::string& name, const FileStat& read,
                                       bool shared) {
  // The name is never replaced, for what was checked may change before the step that
  // replaces it. The original is moved aside under a name of this run (which nobody else
  // takes), shown to be the file read, and the new file then takes the free name. The
  // name is empty between the two moves.
  // A run killed while the name is empty leaves the name in a record for the next run,
  // which puts the original back under it; the record goes once the name holds a file.
  const Status recorded = write_name_record(*this, dir, temp, name);
  if (!recorded.ok()) return recorded;
  const Status s = move_in(dir, temp, name, read, shared);
  // Kept only while the name is empty and the original aside, for the next run.
  struct stat st;
  const int d = fd_of(dir);
  if (sys_.fstatat(d, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
      sys_.fstatat(d, aside_name(temp).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    remove_own(dir, name_record(temp));
  return s;
}

Status PosixPlatform::move_in(Dir dir, const std::string& temp, const std::string& name,
                              const FileStat& read, bool shared) {
  const int d = fd_of(dir);
  const std::string aside = aside_name(temp);
  // A share's client may rename by a copy and a removal (S3 has no rename), so that two
  // runs both move one original aside, and both put a new file under the name. Each looks
  // for another run's aside name that came while it moved the original: of two such runs,
  // at least one sees the other's, for each moves before it looks, and that one backs off.
  std::vector<std::string> before, after;
  const bool looks = shared && asides_of_others(dir, temp, before);
  if (rename_at(d, name, aside) != 0)
    return errno == ENOENT ? Status{Fault::replaced} : last_error();
  // What was moved aside goes back under the name, unless that was taken again; where
  // the step that never replaces fails otherwise, by a rename once the name is free.
  const auto put_back = [&] {
    const Status back = rename_new(dir, aside, name);
    if (!back.ok() && back.fault != Fault::exists && !present(d, name)) rename_at(d, aside, name);
  };
  Status s = check_name(dir, aside, read, Fault::modified);
  if (!s.ok()) {
    put_back();  // another program's file
    return s;
  }
  if (looks && asides_of_others(dir, temp, after) &&
      std::any_of(after.begin(), after.end(), [&](const std::string& other) {
        return std::find(before.begin(), before.end(), other) == before.end();
      })) {
    // The other run may be putting its new file under the name: that is awaited, for a
    // while, so that the original put back does not take the name from it. Where the other
    // run's new file took the name, the original stays aside; where the other run put its
    // copy of the original back first, this one goes.
    for (long waited = 0; waited < Waits::ASIDE_LIMIT_NS && !present(d, name);
         waited += Waits::ASIDE_STEP_NS)
      pause(sys_, Waits::ASIDE_STEP_NS);
    put_back();
    if (!present(d, aside)) return Status{Fault::busy};
    if (!check_name(dir, name, read, Fault::replaced).ok()) return Status{Fault::replaced};
    remove_own(dir, aside);
    return Status{Fault::busy};
  }
  s = rename_new(dir, temp, name);
  if (s.fault == Fault::exists) return Status{Fault::replaced};
  if (!s.ok()) {
    put_back();
    return s;
  }
  // A user-space file system learns of the close of the original only after the close
  // returns; a name removed while it still counts the file open would stay as a hidden
  // name for a moment.
  if (shared) pause(sys_, Waits::CLOSE_MOMENT_NS);
  remove_own(dir, aside);
  return Status{};
}

bool PosixPlatform::asides_of_others(Dir dir, const std::string& temp,
                                     std::vector<std::string>& out) {
  const std::optional<TempName> mine = TempName::parse(temp);
  const std::string own = aside_name(temp);
  std::vector<Entry> entries;
  if (!mine || !list_dir(dir, entries).ok()) return false;
  out.clear();
  for (const Entry& e : entries) {
    const std::optional<TempName> other = TempName::parse(e.name);
    if (other && other->digest == mine->digest && other->kind == TempName::Kind::aside &&
        e.name != own)
      out.push_back(e.name);
  }
  return true;
}

Status PosixPlatform::rename(Dir dir, const std::string& from, const std::string& to) {
  if (rename_at(fd_of(dir), from, to) != 0) return last_error();
  return Status{};
}

Status PosixPlatform::rename_new_once(int d, const std::string& from, const std::string& to) {
  if (sys_.renameat2(d, from.c_str(), d, to.c_str(), RENAME_NOREPLACE) == 0) return Status{};
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return name_error(sys_, d, to);
  // A file system without the flag: a second name, which fails where one is taken, and
  // then the first one goes. Where the file system is known to keep no second name (some
  // answer a link with EIO), none is asked for.
  struct stat st;
  const bool known = sys_.fstat(d, &st) == 0;
  if (!known || !without_links(st.st_dev)) {
    if (sys_.linkat(d, from.c_str(), d, to.c_str(), 0) == 0) {
      remove_own(Dir{d}, from);  // a second name of the file, which is named
      return Status{};
    }
    const int e = errno;
    const Status s = name_error(sys_, d, to);
    if (s.fault == Fault::exists) return s;
    // A share's client may answer EIO where it keeps no links, before any probe of it (a
    // name put back by a later run).
    const bool refused = e == EPERM || e == EOPNOTSUPP || e == ENOSYS || e == EMLINK ||
                         (e == EIO && known && shared_device(st.st_dev, d));
    if (!refused) return s;
  }
  // Nor links: the name is asked for just before a rename, which another program may
  // outrun; there is no step that fails on a taken name.
  if (present(d, to)) return Status{Fault::exists, EEXIST};
  if (rename_at(d, from, to) != 0) return last_error();
  return Status{};
}

void PosixPlatform::remove_own(Dir dir, const std::string& name) {
  const Status s = remove(dir, name);
  if (s.ok() || s.fault == Fault::not_found) return;
  Lock lock(mutex_);
  left_.push_back(LeftBehind{std::this_thread::get_id(), name, s});
}

std::vector<std::pair<std::string, Status>> PosixPlatform::take_left() {
  // Each thread converts one file at a time: what its calls left is that file's.
  std::vector<std::pair<std::string, Status>> mine;
  const std::thread::id self = std::this_thread::get_id();
  Lock lock(mutex_);
  std::erase_if(left_, [&](LeftBehind& left) {
    if (left.thread != self) return false;
    mine.emplace_back(std::move(left.name), left.status);
    return true;
  });
  return mine;
}

Status PosixPlatform::remove(Dir dir, const std::string& name) {
  // Whether a name that a failure leaves unseen was there before, on a share (below).
  struct stat st;
  const bool shown = sys_.fstat(fd_of(dir), &st) == 0 && shared_device(st.st_dev, fd_of(dir)) &&
                     sys_.fstatat(fd_of(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  bool io_error = false;
  for (int attempt = 0;; ++attempt) {
    if (sys_.unlinkat(fd_of(dir), name.c_str(), 0) == 0) return Status{};
    const int e = errno;
    // A share's client may forget a name whose removal the server refused (rclone's SMB
    // remote, while it still holds the file open): gone from the client's view after a
    // failure, it may well stay on the server, and is reported as left.
    if (e == ENOENT && io_error && shown) {
      Lock lock(mutex_);
      left_.push_back(LeftBehind{std::this_thread::get_id(), name, from_errno(EIO)});
      return from_errno(e);
    }
    io_error = io_error || e == EIO;
    if ((e != EIO && e != EINTR) || attempt == Waits::REMOVE_ATTEMPTS) return from_errno(e);
    if (e == EIO) pause(sys_, Waits::RETRY_PAUSE_NS);
  }
}

}  // namespace nivra
