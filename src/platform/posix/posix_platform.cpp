#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/entry.h"

namespace nivra {

namespace {

Status from_errno(int e) {
  switch (e) {
    case 0: return Status{};
    case EINTR: return Status{Fault::interrupted, e};
    case ENOENT: return Status{Fault::not_found, e};
    case EEXIST: return Status{Fault::exists, e};
    // O_NOFOLLOW met a symbolic link where a file or directory was listed.
    case ELOOP: return Status{Fault::not_regular, e};
    default: return Status{Fault::other, e};
  }
}

Status last_error() { return from_errno(errno); }

int fd_of(Dir d) { return int(d.id); }
int fd_of(File f) { return int(f.id); }

EntryKind kind_of(int dir_fd, const dirent& e) {
  switch (e.d_type) {
    case DT_DIR: return EntryKind::directory;
    case DT_REG: return EntryKind::regular;
    case DT_LNK: return EntryKind::symlink;
    case DT_UNKNOWN: break;
    default: return EntryKind::other;
  }
  // Some file systems do not say; ask, without following a link.
  struct stat st;
  if (fstatat(dir_fd, e.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::other;
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

}  // namespace

Status PosixPlatform::executable_path(std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return last_error();
    if (std::size_t(n) < buf.size()) {
      buf.resize(std::size_t(n));
      out = buf;
      return Status{};
    }
    buf.resize(buf.size() * 2);
  }
}

Status PosixPlatform::open_root(const std::string& path, Dir& out) {
  const int fd = ::open(path.empty() ? "/" : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_error();
  out.id = fd;
  return Status{};
}

Status PosixPlatform::open_dir(Dir parent, const std::string& name, Dir& out) {
  const int fd =
      openat(fd_of(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return last_error();
  out.id = fd;
  return Status{};
}

Status PosixPlatform::list_dir(Dir dir, std::vector<Entry>& out) {
  out.clear();
  // A descriptor of its own, so that the listing starts at the beginning.
  const int fd = openat(fd_of(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_error();
  DIR* stream = fdopendir(fd);
  if (!stream) {
    const Status s = last_error();
    ::close(fd);
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
    out.push_back(Entry{e->d_name, kind_of(fd, *e)});
  }
  closedir(stream);
  return s;
}

void PosixPlatform::close_dir(Dir dir) { ::close(fd_of(dir)); }

Status PosixPlatform::open_read(Dir dir, const std::string& name, File& out) {
  // Another run may replace the file between the open and the lock; then the name is
  // opened again, a few times at most.
  for (int attempt = 0; attempt < 8; ++attempt) {
    // O_NONBLOCK: a FIFO swapped in for the file must not hold the run up.
    const int fd = openat(fd_of(dir), name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return last_error();
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      const Status s = S_ISREG(opened.st_mode) ? last_error() : Status{Fault::not_regular, 0};
      ::close(fd);
      return s;
    }
    // POSIX opens have no share mode: an exclusive lock keeps other runs out.
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      if (e == EINTR) continue;
      if (e == EWOULDBLOCK) {
        ::close(fd);
        return Status{Fault::busy, e};
      }
      break;  // The file system has no locks: go on without one.
    }
    struct stat named;
    if (fstatat(fd_of(dir), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      out.id = fd;
      return Status{};
    }
    ::close(fd);
  }
  return Status{Fault::busy, 0};
}

Status PosixPlatform::file_size(File file, std::uint64_t& out) {
  struct stat st;
  if (fstat(fd_of(file), &st) != 0) return last_error();
  out = std::uint64_t(st.st_size);
  return Status{};
}

Status PosixPlatform::read(File file, char* buf, std::size_t n, std::size_t& got) {
  populate(buf, n);
  const ssize_t r = ::read(fd_of(file), buf, n);
  if (r < 0) return last_error();
  got = std::size_t(r);
  return Status{};
}

Status PosixPlatform::create(Dir dir, const std::string& name, File model, File& out) {
  struct stat st;
  if (fstat(fd_of(model), &st) != 0) return last_error();
  const int fd = openat(fd_of(dir), name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return last_error();
  // Owner first: changing it clears the set-user-ID and set-group-ID bits.
  // The process never changes its identity: asked once, not for every file.
  static const uid_t euid = geteuid();
  static const gid_t egid = getegid();
  if ((st.st_uid != euid || st.st_gid != egid) &&
      fchown(fd, st.st_uid, st.st_gid) != 0) {
    [[maybe_unused]] const int group_only = fchown(fd, uid_t(-1), st.st_gid);
  }
  if (fchmod(fd, st.st_mode & 07777) != 0) {
    const Status s = last_error();
    ::close(fd);
    unlinkat(fd_of(dir), name.c_str(), 0);
    return s;
  }
  out.id = fd;
  return Status{};
}

Status PosixPlatform::write(File file, const char* buf, std::size_t n, std::size_t& put) {
  const ssize_t r = ::write(fd_of(file), buf, n);
  if (r < 0) return last_error();
  put = std::size_t(r);
  return Status{};
}

Status PosixPlatform::close(File file) {
  if (::close(fd_of(file)) != 0) {
    // Not interrupted in the sense of "try again": the descriptor is gone either way.
    return Status{Fault::other, errno};
  }
  return Status{};
}

Status PosixPlatform::link(File file, Dir dir, const std::string& name) {
  // Linking the open descriptor, not the name, gives the name to exactly the file read.
  // Straight from the descriptor where the process may (it saves a walk through /proc);
  // otherwise, or on any failure, through /proc, whose answer is the one that counts.
  if (linkat(fd_of(file), "", fd_of(dir), name.c_str(), AT_EMPTY_PATH) == 0) return Status{};
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd_of(file));
  if (linkat(AT_FDCWD, proc, fd_of(dir), name.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return last_error();
  return Status{};
}

Status PosixPlatform::rename(Dir dir, const std::string& from, const std::string& to) {
  if (renameat(fd_of(dir), from.c_str(), fd_of(dir), to.c_str()) != 0) return last_error();
  return Status{};
}

Status PosixPlatform::remove(Dir dir, const std::string& name) {
  if (unlinkat(fd_of(dir), name.c_str(), 0) != 0) return last_error();
  return Status{};
}

std::string PosixPlatform::describe(const Status& status) {
  if (const char* own = describe_own_fault(status)) return own;
  switch (status.fault) {
    case Fault::not_regular:
      return status.code == ELOOP ? "a symbolic link, which is never followed"
                                  : "not a regular file";
    case Fault::busy: return "held by another run";
    default: return std::strerror(status.code);
  }
}

System start_system(int argc, char** argv) {
  // A closed standard output must not stop the run in the middle of a file.
  signal(SIGPIPE, SIG_IGN);
  // The walk holds one descriptor per level of depth.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  return System{std::make_unique<PosixPlatform>(), std::make_unique<Cp1252CodePage>(),
                std::make_unique<StdioReporter>(), argc > 0 && argv[0] ? argv[0] : ""};
}

}  // namespace nivra
