// The calls that change names: links, exchanges, renames and removals.

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

void PosixPlatform::release(File file) {
  // Replaced by /dev/null, the descriptor's number stays taken until the core closes it.
  const int null = sys_.openat(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC, 0);
  if (null < 0) return;
  sys_.dup3(null, fd_of(file), O_CLOEXEC);
  sys_.close(null);
}

Status PosixPlatform::link(File file, Dir dir, const std::string& name) {
  const int d = fd_of(dir);
  struct stat st;
  const bool known = sys_.fstat(d, &st) == 0;
  if (known && without_links(st.st_dev)) return Status{Fault::cannot_link, EOPNOTSUPP};
  const bool shared = !known || shared_device(st.st_dev, d);
  // Linking the descriptor, not the name, gives the name exactly the file read: straight
  // from it where the process may, else through /proc.
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_of(file));
  if (sys_.linkat(fd_of(file), "", d, name.c_str(), AT_EMPTY_PATH) != 0 &&
      sys_.linkat(AT_FDCWD, proc, d, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return link_error(d, name, known ? std::optional<dev_t>(st.st_dev) : std::nullopt, shared);
  if (!known || links_learnt(st.st_dev)) return Status{};
  // The first link on a file system: both names must hold the file. (A client's cached
  // attributes may not show that they are one file: a link that copies gives an exact
  // backup all the same.)
  struct stat opened, linked;
  const bool keeps = sys_.fstat(fd_of(file), &opened) == 0 &&
                     sys_.fstatat(d, name.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
                     linked.st_size == opened.st_size;
  learn_links(st.st_dev, keeps);
  if (keeps) return Status{};
  sys_.unlinkat(d, name.c_str(), 0);
  return Status{Fault::cannot_link, EOPNOTSUPP};
}

Status PosixPlatform::link_error(int d, const std::string& name, std::optional<dev_t> dev,
                                 bool shared) {
  const int e = errno;
  if (e == ENOENT) return from_errno(e);  // the file read has no name left
  // A file system that keeps links may answer EPERM, or on a share EIO, for a name
  // another client just made: a claim where the name now exists. (One that keeps none may
  // answer with the words that elsewhere mean a name is taken.)
  struct stat taken;
  const bool claim_words = e == EEXIST || e == EPERM || (shared && e == EIO);
  if (claim_words && sys_.fstatat(d, name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
    return Status{Fault::exists, EEXIST};
  const bool without = e == EPERM || e == EXDEV || e == EMLINK || e == EOPNOTSUPP || e == ENOSYS;
  // Another thread's link may have learnt meanwhile that the file system keeps none.
  if (dev && without_links(*dev)) return Status{Fault::cannot_link, e};
  if (dev && !links_learnt(*dev)) {
    // Until a link was made on it, a file system that refuses one gets a copy this time;
    // a share's client, or words that say so, show it to keep no second name at all. (A
    // local EPERM is of the file: another user's, where links are protected.)
    if (shared || e == EXDEV || e == EOPNOTSUPP || e == ENOSYS) learn_links(*dev, false);
    return Status{Fault::cannot_link, e};
  }
  // On a share links work, and the name is free: the link itself failed.
  if (shared && (e == EPERM || e == EIO)) return from_errno(e);
  if (without) return Status{Fault::cannot_link, e};
  return from_errno(e);
}

void PosixPlatform::pause(long ns) { posix::pause(sys_, ns); }

Status PosixPlatform::exchange(Dir dir, const std::string& a, const std::string& b) {
  const int d = fd_of(dir);
  if (sys_.renameat2(d, a.c_str(), d, b.c_str(), RENAME_EXCHANGE) == 0) return Status{};
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
    return Status{Fault::unsupported, errno};
  return last_error();
}

Status PosixPlatform::rename(Dir dir, const std::string& from, const std::string& to) {
  if (rename_at(fd_of(dir), from, to) != 0) return last_error();
  return Status{};
}

Status PosixPlatform::rename_noreplace_once(int d, const std::string& from, const std::string& to) {
  if (sys_.renameat2(d, from.c_str(), d, to.c_str(), RENAME_NOREPLACE) == 0) return Status{};
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return name_error(sys_, d, to);
  // A file system without the flag: a second name, which fails where one is taken (the
  // caller removes the first). Where the file system is known to keep no second name (some
  // answer a link with EIO), none is asked for.
  struct stat st;
  const bool known = sys_.fstat(d, &st) == 0;
  if (!known || !without_links(st.st_dev)) {
    if (sys_.linkat(d, from.c_str(), d, to.c_str(), 0) == 0) return Status{};
    const int e = errno;
    const Status s = name_error(sys_, d, to);
    if (s.fault == Fault::exists) return s;
    // Until a link was made on it, a file system that refuses one is taken for one that
    // keeps no second name. A share's client may answer EIO where it keeps none.
    const bool first = known && !links_learnt(st.st_dev) && e != EINTR;
    if (first) learn_links(st.st_dev, false);
    const bool refused = first || e == EPERM || e == EOPNOTSUPP || e == ENOSYS || e == EMLINK ||
                         (e == EIO && known && shared_device(st.st_dev, d));
    if (!refused) return s;
  }
  // Nor links: the name is asked for just before a rename, which another program may
  // outrun; there is no step that fails on a taken name.
  if (present(d, to)) return Status{Fault::exists, EEXIST};
  if (rename_at(d, from, to) != 0) return last_error();
  return Status{};
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
    if (e == ENOENT && io_error && shown) return Status{Fault::unconfirmed, EIO};
    io_error = io_error || e == EIO;
    if ((e != EIO && e != EINTR) || attempt == Waits::REMOVE_ATTEMPTS) return from_errno(e);
    if (e == EIO) posix::pause(sys_, Waits::RETRY_PAUSE_NS);
  }
}

}  // namespace nivra
