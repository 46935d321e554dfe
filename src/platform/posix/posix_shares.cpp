// Which file systems are shared (network and user-space ones), and what their clients do
// that the platform must outlast or avoid: calls failed with EIO for a moment, and names
// answered from a cache.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_platform.h"

namespace nivra {

using namespace posix;

namespace {

/// Network and user-space file systems: another machine may change what they hold where
/// a lock or a file's number does not show it.
bool is_shared(const struct statfs& fs) {
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x65735546:  // FUSE
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x00C36400:  // Ceph
    case 0x01021997:  // 9P
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
    case 0x7461636F:  // OCFS2
    case 0x01161970:  // GFS2
      return true;
    default:
      return false;
  }
}

}  // namespace

Capabilities PosixPlatform::caps(Dir dir) {
  Capabilities caps;
  struct stat st;
  // A folder that cannot be asked about: its files are told apart by their content.
  if (sys_.fstat(fd_of(dir), &st) != 0) {
    caps.identity = false;
    return caps;
  }
  caps.links = !without_links(st.st_dev);
  if (!shared_device(st.st_dev, fd_of(dir))) return caps;
  caps.shared = true;
  caps.identity = false;
  caps.close_moment_ns = Waits::CLOSE_MOMENT_NS;
  caps.rename_shows_ns = Waits::ASIDE_LIMIT_NS;
  caps.rename_look_ns = Waits::ASIDE_STEP_NS;
  {
    Lock lock(mutex_);
    if (std::find(probed_.begin(), probed_.end(), st.st_dev) != probed_.end()) return caps;
    probed_.push_back(st.st_dev);
  }
  // Asked before any file is converted, while nothing else goes on: a client that fails
  // the listing of attributes fails every call for seconds afterwards (smbnetfs), which
  // would fail the files that other threads convert meanwhile.
  std::vector<char> names(1024);
  if (!unlisted(st.st_dev) && list_attributes(sys_, fd_of(dir), names) < 0 && errno == EIO)
    outlast_listing(st.st_dev, fd_of(dir));
  return caps;
}

void PosixPlatform::outlast_listing(dev_t dev, int fd) {
  {
    Lock lock(mutex_);
    unlisted_.push_back(dev);
  }
  struct stat st;
  for (int attempt = 0;
       attempt < Waits::LISTING_ATTEMPTS && sys_.fstat(fd, &st) != 0 && errno == EIO; ++attempt)
    posix::pause(sys_, Waits::RETRY_PAUSE_NS);
}

bool PosixPlatform::unlisted(dev_t dev) {
  Lock lock(mutex_);
  return std::find(unlisted_.begin(), unlisted_.end(), dev) != unlisted_.end();
}

bool PosixPlatform::without_links(dev_t dev) {
  Lock lock(mutex_);
  for (const auto& [known, keeps] : links_)
    if (known == dev) return !keeps;
  return false;
}

bool PosixPlatform::links_learnt(dev_t dev) {
  Lock lock(mutex_);
  for (const auto& [known, keeps] : links_)
    if (known == dev) return true;
  return false;
}

void PosixPlatform::learn_links(dev_t dev, bool keeps) {
  // Another thread may learn of the same file system meanwhile: the first answer stays.
  Lock lock(mutex_);
  for (const auto& [known, first] : links_)
    if (known == dev) return;
  links_.emplace_back(dev, keeps);
}

bool PosixPlatform::shared_device(dev_t dev, int fd) {
  {
    Lock lock(mutex_);
    for (const auto& [known, shared] : devices_)
      if (known == dev) return shared;
  }
  struct statfs fs;
  const bool shared = sys_.fstatfs(fd, &fs) != 0 || is_shared(fs);
  Lock lock(mutex_);
  devices_.emplace_back(dev, shared);
  return shared;
}

int PosixPlatform::rename_at(int d, const std::string& from, const std::string& to) {
  for (int attempt = 0;; ++attempt) {
    if (sys_.renameat(d, from.c_str(), d, to.c_str()) == 0) return 0;
    // Tried again only where it did not happen: `from` is still there. (A client may
    // report EIO for a rename that the server did.)
    struct stat st;
    const int e = errno;
    if (e != EIO || attempt == Waits::RENAME_ATTEMPTS || sys_.fstat(d, &st) != 0 ||
        !shared_device(st.st_dev, d) ||
        sys_.fstatat(d, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      errno = e;
      return -1;
    }
    posix::pause(sys_, Waits::RETRY_PAUSE_NS);
  }
}

Status PosixPlatform::rename_noreplace(Dir dir, const std::string& from, const std::string& to) {
  const int d = fd_of(dir);
  Status s = rename_noreplace_once(d, from, to);
  // A network or user-space file system may answer from a cache that still holds a name
  // another client removed a moment ago (sshfs keeps one for 20 s). Opening the name asks
  // the server itself and drops the cached entry there; while it says the name is not
  // there, the rename is tried again, for a bounded time.
  for (long waited = 0; s.fault == Fault::exists && waited < Waits::CACHE_LIMIT_NS;
       waited += Waits::CACHE_STEP_NS) {
    struct stat st;
    if (sys_.fstat(d, &st) != 0 || !shared_device(st.st_dev, d) || present(d, to)) break;
    s = rename_noreplace_once(d, from, to);
    if (s.fault != Fault::exists) break;
    posix::pause(sys_, Waits::CACHE_STEP_NS);
  }
  return s;
}

bool PosixPlatform::present(int d, const std::string& name) {
  struct stat st;
  if (sys_.fstatat(d, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  // Only a regular file is opened to ask: opening a device or a pipe may have effects.
  if (!S_ISREG(st.st_mode)) return true;
  const int fd =
      sys_.openat(d, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return errno != ENOENT;
  sys_.close(fd);
  return true;
}

}  // namespace nivra
