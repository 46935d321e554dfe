// Lock order of the POSIX platform. A thread takes a file's lock (open_read()) before the
// large-file permit (the core's), and mutex_ last: mutex_ is held over its tables only,
// never across a wait, a lock of a file or a call that may wait on a server.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
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

// Memory that a large read is about to fill is mapped in one call, once for each range:
// left to the read, a 200 MB file costs some 49,000 page faults. (Huge pages would cost
// fewer still, but the system may stall to compact memory for them.) A hint only; its
// failure, on systems without it, changes nothing.
void populate(char* buf, std::size_t n) {
#ifdef MADV_POPULATE_WRITE
  constexpr std::uintptr_t LARGE = std::uintptr_t(4) << 20;
  constexpr std::uintptr_t PAGE = 4096;
  if (n < LARGE) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(buf) + PAGE - 1) & ~(PAGE - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(buf) + n) & ~(PAGE - 1);
  static std::uintptr_t done_begin = 0, done_end = 0;
  if (begin >= done_begin && end <= done_end) return;
  if (madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0) {
    done_begin = begin;
    done_end = end;
  }
#else
  (void)buf;
  (void)n;
#endif
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

void read_around_cache(const SystemCalls&, int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_DIRECT);
}

}  // namespace posix

Status PosixPlatform::open_root(const std::string& path, Dir& out) {
  const int fd = sys_.openat(AT_FDCWD, path.empty() ? "/" : path.c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  ++open_dirs_;
  out.id = fd;
  return Status{};
}

Status PosixPlatform::open_dir(Dir parent, const std::string& name, Dir& out) {
  // The walk holds a folder per level. Whatever numbers they took, KEPT_BACK descriptors
  // are left for the rest: the standard streams, a listing, and the files and copies the
  // workers convert at once.
  static const long most_open = [] {
    struct rlimit limit;
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
               ? long(limit.rlim_cur) - KEPT_BACK + 1  // and the tree's own folder
               : long(1) << 30;
  }();
  if (open_dirs_.load() >= most_open) return from_errno(EMFILE);
  const int fd = sys_.openat(fd_of(parent), name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  ++open_dirs_;
  out.id = fd;
  return Status{};
}

Status PosixPlatform::list_dir(Dir dir, std::vector<Entry>& out) {
  out.clear();
  // A descriptor of its own, so that the listing starts at the beginning.
  const int fd = sys_.openat(fd_of(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return last_error();
  DIR* stream = fdopendir(fd);
  if (!stream) {
    const Status s = last_error();
    sys_.close(fd);
    return s;
  }
  Status s;
  for (;;) {
    errno = 0;
    const dirent* e = readdir(stream);
    if (!e) {
      s = from_errno(errno);
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.push_back(Entry{e->d_name, kind_of(sys_, fd, *e)});
  }
  closedir(stream);
  return s;
}

void PosixPlatform::close_dir(Dir dir) {
  --open_dirs_;
  sys_.close(fd_of(dir));
}

Status PosixPlatform::open_read(Dir dir, const std::string& name, File& out) {
  // Another run may replace the file between the open and the lock; then the name is
  // opened again, a few times at most.
  for (int attempt = 0; attempt < Waits::OPEN_ATTEMPTS; ++attempt) {
    // O_NONBLOCK: a FIFO swapped in for the file must not hold the run up.
    const int fd = sys_.openat(fd_of(dir), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return last_error();
    struct stat opened;
    if (sys_.fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      const Status s = S_ISREG(opened.st_mode) ? last_error() : Status{Fault::not_regular, 0};
      sys_.close(fd);
      return s;
    }
    // POSIX opens have no share mode: an exclusive lock keeps other runs out.
    bool waited = false;
    while (sys_.flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      if (e == EINTR) continue;
      const std::optional<std::thread::id> holder =
          e == EWOULDBLOCK ? locked_here(opened) : std::nullopt;
      // This thread's own lock, on the file it converts, which another name of it (a
      // NAME.OLD) meets: read without a lock of its own, as the lock is this thread's.
      if (holder == std::this_thread::get_id()) break;
      if (holder) {
        // Another name of a file this run converts: its turn comes once that is done.
        const timespec moment{0, Waits::LOCK_PAUSE_NS};
        nanosleep(&moment, nullptr);
        waited = true;
        continue;
      }
      if (e == EWOULDBLOCK) {
        sys_.close(fd);
        return Status{Fault::busy, e};
      }
      break;  // The file system has no locks: go on without one.
    }
    if (waited) {
      // That conversion may have replaced the file: its state is taken again.
      if (sys_.fstat(fd, &opened) != 0) {
        const Status s = last_error();
        sys_.close(fd);
        return s;
      }
    }
    struct stat named;
    if (sys_.fstatat(fd_of(dir), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      const bool shared = shared_device(opened.st_dev, fd);
      if (shared) {
        // A client may hold an earlier content or size of the file: the content comes
        // from the server, and so does the size, as far as a read past it finds more.
        read_around_cache(sys_, fd);
        std::uint64_t size = std::uint64_t(opened.st_size);
        const Status s = size_past(fd, size);
        if (!s.ok()) {
          sys_.close(fd);
          return s;
        }
        opened.st_size = off_t(size);
      }
      Lock lock(mutex_);
      if (opened_.size() <= std::size_t(fd)) opened_.resize(std::size_t(fd) + 1);
      opened_[std::size_t(fd)] = Opened{true, shared, opened, std::this_thread::get_id()};
      out.id = fd;
      return Status{};
    }
    sys_.close(fd);
  }
  return Status{Fault::busy, 0};
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
  populate(buf, n);
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
    return Status{Fault::other, errno};
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
