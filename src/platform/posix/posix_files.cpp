// Lock order of the POSIX platform: a file's lock (open_read()), then the core's
// large-file permit, then mutex_. mutex_ is held over the platform's tables only, never
// across a wait or a call that may wait on a server. A lock that another thread of the
// run holds on another name of a file is waited for, holding neither a permit nor
// mutex_, for Waits::LOCK_LIMIT_NS at most.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_platform.h"

namespace nivra {

using namespace posix;

namespace {

EntryKind kind_of(const posix::SystemCalls& sys, int dir_fd, const dirent& e) {
  switch (e.d_type) {
    case DT_DIR: return EntryKind::directory;
    case DT_REG: return EntryKind::regular;
    case DT_LNK: return EntryKind::symlink;
    case DT_UNKNOWN: break;
    default: return EntryKind::other;
  }
  // Some file systems do not say; ask, without following a link.
  struct stat st;
  if (sys.fstatat(dir_fd, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::other;
  if (S_ISDIR(st.st_mode)) return EntryKind::directory;
  if (S_ISREG(st.st_mode)) return EntryKind::regular;
  if (S_ISLNK(st.st_mode)) return EntryKind::symlink;
  return EntryKind::other;
}

FileStat stat_from(const struct stat& st) {
  FileStat out;
  out.volume = std::uint64_t(st.st_dev);
  out.inode = std::uint64_t(st.st_ino);
  out.size = std::uint64_t(st.st_size);
  out.modified = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  out.owner = std::uint64_t(st.st_uid);
  out.regular = S_ISREG(st.st_mode);
  return out;
}

}  // namespace

namespace posix {

Status name_error(const SystemCalls& sys, int dir, const std::string& name) {
  const int e = errno;
  struct stat st;
  if (e == EPERM && sys.fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    return Status{Fault::exists, EEXIST};
  return from_errno(e);
}

void read_around_cache(const SystemCalls& sys, int fd) {
  const int flags = sys.fcntl(fd, F_GETFL, 0);
  if (flags >= 0) sys.fcntl(fd, F_SETFL, flags | O_DIRECT);
}

}  // namespace posix

Status PosixPlatform::open_root(const std::string& path, Dir& out) {
  const int fd = sys_.openat(AT_FDCWD, path.empty() ? "/" : path.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  out.id = fd;
  return Status{};
}

Status PosixPlatform::open_dir(Dir parent, const std::string& name, Dir& out) {
  const int fd = sys_.openat(fd_of(parent), name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  out.id = fd;
  return Status{};
}

Status PosixPlatform::list_dir(Dir dir, std::vector<Entry>& out) {
  out.clear();
  // A descriptor of its own, so that the listing starts at the beginning.
  const int fd = sys_.openat(fd_of(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  DIR* stream = sys_.fdopendir(fd);
  if (!stream) {
    const Status s = last_error();
    sys_.close(fd);
    return s;
  }
  Status s;
  for (;;) {
    errno = 0;
    const dirent* e = sys_.readdir(stream);
    if (!e) {
      s = from_errno(errno);
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.push_back(Entry{e->d_name, kind_of(sys_, fd, *e)});
  }
  sys_.closedir(stream);
  return s;
}

void PosixPlatform::close_dir(Dir dir) { sys_.close(fd_of(dir)); }

Status PosixPlatform::open_read(Dir dir, const std::string& name, File& out) {
  // Another run may replace the file between the open and the lock; then the name is
  // opened again, a few times at most.
  for (int attempt = 0; attempt < Waits::OPEN_ATTEMPTS; ++attempt) {
    // O_NONBLOCK: a FIFO swapped in for the file must not hold the run up.
    const int fd = sys_.openat(fd_of(dir), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return last_error();
    struct stat opened, named;
    Status s = lock_file(fd, opened);
    if (s.ok() && (sys_.fstatat(fd_of(dir), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                   named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)) {
      sys_.close(fd);
      continue;
    }
    if (s.ok()) s = note_opened(fd, opened);
    if (!s.ok()) {
      sys_.close(fd);
      return s;
    }
    out.id = fd;
    return Status{};
  }
  return Status{Fault::busy, 0};
}

Status PosixPlatform::lock_file(int fd, struct stat& opened) {
  if (sys_.fstat(fd, &opened) != 0) return last_error();
  if (!S_ISREG(opened.st_mode)) return Status{Fault::not_regular, 0};
  // POSIX opens have no share mode: an exclusive lock keeps other runs out.
  long waited = 0, unnoted = 0;
  while (sys_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    if (e == EINTR) continue;
    if (e != EWOULDBLOCK) return Status{};  // the file system has no locks: none is taken
    const std::optional<std::thread::id> holder = locked_here(opened);
    // This thread's own lock, on the file it converts, which another name of it (a
    // NAME.OLD) meets: read without a lock of its own, as the lock is this thread's.
    if (holder == std::this_thread::get_id()) break;
    // Another name of a file that another thread of this run converts: its turn comes
    // once that is done, unless that takes longer than a run waits for a lock.
    // Another run's lock, or one that a thread of this run has not noted yet or has
    // noted as ended, is asked for again for a moment.
    if (holder ? waited >= Waits::LOCK_LIMIT_NS : unnoted >= Waits::UNNOTED_LOCK_NS)
      return Status{Fault::busy, e};
    posix::pause(sys_, Waits::LOCK_PAUSE_NS);
    waited += Waits::LOCK_PAUSE_NS;
    if (!holder) unnoted += Waits::LOCK_PAUSE_NS;
  }
  // That conversion may have replaced the file: its state is taken again.
  if (waited > 0 && sys_.fstat(fd, &opened) != 0) return last_error();
  return Status{};
}

Status PosixPlatform::note_opened(int fd, struct stat& opened) {
  const bool shared = shared_device(opened.st_dev, fd);
  if (shared) {
    // A client may hold an earlier content or size of the file: the content comes from
    // the server, and so does the size, as far as a read past it finds more.
    read_around_cache(sys_, fd);
    std::uint64_t size = std::uint64_t(opened.st_size);
    const Status s = size_past(fd, size);
    if (!s.ok()) return s;
    opened.st_size = off_t(size);
  }
  Lock lock(mutex_);
  if (opened_.size() <= std::size_t(fd)) opened_.resize(std::size_t(fd) + 1);
  opened_[std::size_t(fd)] = Opened{true, shared, opened, std::this_thread::get_id()};
  return Status{};
}

Status PosixPlatform::size_past(int fd, std::uint64_t& size) {
  char buf[65536];
  for (;;) {
    const ssize_t n = sys_.pread(fd, buf, sizeof buf, off_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return last_error();
    if (n == 0) return Status{};
    size += std::uint64_t(n);
  }
}

bool PosixPlatform::opened(File file, Opened& out) {
  const std::size_t fd = std::size_t(fd_of(file));
  Lock lock(mutex_);
  if (fd >= opened_.size() || !opened_[fd].open) return false;
  out = opened_[fd];
  return true;
}

std::optional<std::thread::id> PosixPlatform::locked_here(const struct stat& st) {
  Lock lock(mutex_);
  for (const Opened& h : opened_)
    if (h.open && h.st.st_dev == st.st_dev && h.st.st_ino == st.st_ino) return h.holder;
  return std::nullopt;
}

Status PosixPlatform::stat(File file, FileStat& out) {
  if (Opened o; opened(file, o)) {
    out = stat_from(o.st);  // as it was when it was opened and locked
    return Status{};
  }
  struct stat st;
  if (sys_.fstat(fd_of(file), &st) != 0) return last_error();
  out = stat_from(st);
  return Status{};
}

Status PosixPlatform::stat_at(Dir dir, const std::string& name, FileStat& out) {
  struct stat st;
  if (sys_.fstatat(fd_of(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_error();
  out = stat_from(st);
  return Status{};
}

Status PosixPlatform::read(File file, std::uint64_t offset, char* buf, std::size_t n,
                           std::size_t& got) {
  const ssize_t r = sys_.pread(fd_of(file), buf, n, off_t(offset));
  if (r < 0) return last_error();
  got = std::size_t(r);
  return Status{};
}

Status PosixPlatform::create(Dir dir, const std::string& name, File& out) {
  // Only the owner may use it: the original's permissions come last, after its content.
  const int fd = sys_.openat(fd_of(dir), name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return name_error(sys_, fd_of(dir), name);
  out.id = fd;
  return Status{};
}

Status PosixPlatform::write(File file, const char* buf, std::size_t n, std::size_t& put) {
  const ssize_t r = sys_.write(fd_of(file), buf, n);
  if (r < 0) return last_error();
  put = std::size_t(r);
  return Status{};
}

Status PosixPlatform::close(File file) {
  const std::size_t fd = std::size_t(fd_of(file));
  {
    // Before the close: then the number may be another thread's.
    Lock lock(mutex_);
    if (fd < opened_.size()) opened_[fd].open = false;
  }
  if (sys_.close(fd_of(file)) != 0) {
    // Not interrupted in the sense of "try again": the descriptor is gone either way.
    return other_error(errno);
  }
  return Status{};
}

std::string PosixPlatform::describe(const Status& status) {
  switch (status.fault) {
    case Fault::symlink: return "a symbolic link, which is never followed";
    case Fault::not_regular: return "not a regular file";
    case Fault::busy: return "held by another run";
    default: return std::strerror(status.code);
  }
}

}  // namespace nivra
