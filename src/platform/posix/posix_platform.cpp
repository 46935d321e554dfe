#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/posix/posix_host.h"
#include "text/code_pages.h"

namespace nivra {

namespace {

Status from_errno(int e) {
  switch (e) {
    case 0: return Status{};
    case EINTR: return Status{Fault::interrupted, e};
    case ENOENT: return Status{Fault::not_found, e};
    case EEXIST: return Status{Fault::exists, e};
    // O_NOFOLLOW met a symbolic link where a file or directory was listed.
    case ELOOP: return Status{Fault::symlink, e};
    default: return Status{Fault::other, e};
  }
}

Status last_error() { return from_errno(errno); }

/// Whether `s` says the name no longer holds the file as it was read.
bool changed_name(const Status& s) { return s.fault == Fault::replaced || s.fault == Fault::modified; }

/// How many times a removal that failed with EIO is tried again, a quarter of a second
/// apart: some network clients fail every call for a few seconds after one failed.
constexpr int REMOVE_ATTEMPTS = 24;
/// The same for a rename on a share, which fails with EIO where the server still counts
/// the file open by the client for a moment after its close.
constexpr int RENAME_ATTEMPTS = 8;

int fd_of(Dir d) { return int(d.id); }
int fd_of(File f) { return int(f.id); }

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

/// The failure of a call that makes `name` in `dir`. Some network file systems answer
/// EPERM for a name that is taken: then the name is asked for.
Status name_error(const posix::SystemCalls& sys, int dir, const std::string& name) {
  const int e = errno;
  struct stat st;
  if (e == EPERM && sys.fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    return Status{Fault::exists, EEXIST};
  return from_errno(e);
}

/// Asks that the reads of `fd` go to the server rather than to the client's cache, where
/// the file system has a way to. A hint: where it has none, nothing changes.
void read_around_cache(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_DIRECT);
}

/// The names of the extended attributes that limit access to a file.
constexpr const char* ACCESS_LISTS[] = {"system.posix_acl_access", "system.nfs4_acl"};

bool limits_access(const char* name) {
  for (const char* list : ACCESS_LISTS)
    if (std::strcmp(name, list) == 0) return true;
  return false;
}

/// The value of attribute `name` of `fd`; false when it has none (or it cannot be read).
bool attribute(int fd, const char* name, std::vector<char>& value) {
  value.resize(256);
  ssize_t size;
  while ((size = fgetxattr(fd, name, value.data(), value.size())) < 0 && errno == ERANGE)
    value.resize(value.size() * 4);
  if (size < 0) return false;
  value.resize(std::size_t(size));
  return true;
}

/// Lists the names of `fd`'s extended attributes into `names`, growing it as needed;
/// returns their length, or -1 with errno.
ssize_t list_attributes(const posix::SystemCalls& sys, int fd, std::vector<char>& names) {
  ssize_t n;
  while ((n = sys.flistxattr(fd, names.data(), names.size())) < 0 && errno == ERANGE)
    names.resize(names.size() * 4);
  return n;
}

/// The part of a run's temporary name `temp` that every temporary of its file shares.
std::string run_prefix_of(const std::string& temp) { return temp.substr(0, temp.rfind('.') + 1); }

/// Whether `fd` lists its attributes, and no access list among them.
bool lists_no_access_list(const posix::SystemCalls& sys, int fd) {
  std::vector<char> names(256);
  const ssize_t n = list_attributes(sys, fd, names);
  if (n < 0) return false;
  for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1)
    if (limits_access(name)) return false;
  return true;
}

/// Copies every extended attribute of `from` that the process can read onto `to`. One
/// that limits access (an access list) must arrive, and `to` keeps none that `from` lacks
/// (a folder's default list gives one to every file made in it); the others the system
/// may refuse (a security label it sets by itself).
/// Where `list` is false, the file system is known to fail the listing: only the access
/// lists are asked for, by name. `io_error` tells whether the listing failed with EIO;
/// `no_lists` whether both files were shown to carry no access list.
Status copy_xattrs(const posix::SystemCalls& sys, int from, int to, bool list, bool& io_error,
                   bool& no_lists) {
  std::vector<char> names(1024), value;
  ssize_t n = list ? list_attributes(sys, from, names) : 0;
  io_error = n < 0 && errno == EIO;
  const bool listed_none = list && n == 0;
  if (n < 0) n = 0;  // none, or none that the file system keeps
  for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
    const bool read = attribute(from, name, value);
    if ((!read || sys.fsetxattr(to, name, value.data(), value.size(), 0) != 0) &&
        limits_access(name))
      return Status{Fault::other, errno};
  }
  if (!list)
    for (const char* name : ACCESS_LISTS)
      if (attribute(from, name, value) &&
          sys.fsetxattr(to, name, value.data(), value.size(), 0) != 0)
        return Status{Fault::other, errno};
  // A file that lists no attribute at all has no access list: `to` need only list none
  // either, which one listing shows.
  no_lists = listed_none && lists_no_access_list(sys, to);
  if (no_lists) return Status{};
  for (const char* list : ACCESS_LISTS) {
    if (attribute(from, list, value) || !attribute(to, list, value)) continue;
    if (fremovexattr(to, list) != 0) return Status{Fault::other, errno};
  }
  return Status{};
}

/// Whether `to` carries exactly the access lists of `from`.
bool same_access_lists(int from, int to) {
  std::vector<char> a, b;
  for (const char* list : ACCESS_LISTS) {
    const bool has = attribute(from, list, a);
    if (has != attribute(to, list, b) || (has && a != b)) return false;
  }
  return true;
}

}  // namespace

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

bool PosixPlatform::shared(Dir dir) {
  struct stat st;
  if (sys_.fstat(fd_of(dir), &st) != 0 || !shared_device(st.st_dev, fd_of(dir))) return false;
  // Asked before any file is converted, while nothing else goes on: a client that fails
  // the listing of attributes fails every call for seconds afterwards (smbnetfs), which
  // would fail the files that other threads convert meanwhile.
  std::vector<char> names(1024);
  if (!unlisted(st.st_dev) && list_attributes(sys_, fd_of(dir), names) < 0 && errno == EIO)
    outlast_listing(st.st_dev, fd_of(dir));
  return true;
}

void PosixPlatform::outlast_listing(dev_t dev, int fd) {
  {
    Lock lock(mutex_);
    unlisted_.push_back(dev);
  }
  const timespec pause{0, 250000000};
  struct stat st;
  for (int attempt = 0; attempt < REMOVE_ATTEMPTS && sys_.fstat(fd, &st) != 0 && errno == EIO;
       ++attempt)
    sys_.nanosleep(&pause, nullptr);
}

Status PosixPlatform::open_read(Dir dir, const std::string& name, File& out) {
  // Another run may replace the file between the open and the lock; then the name is
  // opened again, a few times at most.
  for (int attempt = 0; attempt < 8; ++attempt) {
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
        const timespec moment{0, 1000000};
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
        read_around_cache(fd);
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

bool PosixPlatform::keeps_links(int dir, const std::string& temp, dev_t dev) {
  {
    Lock lock(mutex_);
    for (const auto& [known, keeps] : links_)
      if (known == dev) return keeps;
  }
  // Another thread may probe the same file system meanwhile, each with a name of its own
  // file: the first answer learnt stays.
  const auto learn = [&](bool keeps) {
    Lock lock(mutex_);
    for (const auto& [known, first] : links_)
      if (known == dev) return;
    links_.emplace_back(dev, keeps);
  };
  // Named as the run's temporaries of the file are, so that the next run clears it should
  // this one end before it is removed.
  const std::string probe = run_prefix_of(temp) + "lnk";
  struct stat before, linked, after;
  if (sys_.fstatat(dir, temp.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (sys_.linkat(dir, temp.c_str(), dir, probe.c_str(), 0) != 0) {
    // A name in the way, or an interruption, teaches nothing: a copy this time.
    if (errno != EEXIST && errno != EINTR) learn(false);
    return false;
  }
  // Both names must hold the file. (A client's cached attributes may not show that they
  // are one file: a link that copies gives an exact backup all the same.)
  const bool keeps = sys_.fstatat(dir, probe.c_str(), &linked, AT_SYMLINK_NOFOLLOW) == 0 &&
                     sys_.fstatat(dir, temp.c_str(), &after, AT_SYMLINK_NOFOLLOW) == 0 &&
                     linked.st_size == before.st_size && after.st_size == before.st_size;
  remove_own(Dir{dir}, probe);
  learn(keeps);
  return keeps;
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

bool PosixPlatform::on_shared_file_system(File file) {
  Opened o;
  return !opened(file, o) || o.shared;
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

Status PosixPlatform::copy_attributes(File from, File to) {
  struct stat st, now;
  if (Opened h; opened(from, h))
    st = h.st;
  else if (sys_.fstat(fd_of(from), &st) != 0)
    return last_error();
  if (sys_.fstat(fd_of(to), &now) != 0) return last_error();
  // Owner and group as the original has them, wherever the new file got others (a
  // set-group-ID directory gives its own group) and the process may set them.
  gid_t group = now.st_gid;
  uid_t owner = now.st_uid;
  if (now.st_uid != st.st_uid || now.st_gid != st.st_gid) {
    if (sys_.fchown(fd_of(to), st.st_uid, st.st_gid) == 0) {
      owner = st.st_uid;
      group = st.st_gid;
    } else if (sys_.fchown(fd_of(to), uid_t(-1), st.st_gid) == 0) {
      group = st.st_gid;
    }
  }
  // Some share clients fail every listing of attributes with EIO, after seconds, and then
  // every call for seconds more (smbnetfs): that is learnt once per file system, which is
  // not asked again, and the client is waited for, for a bounded time.
  bool io_error = false, no_lists = false;
  const Status attributes =
      copy_xattrs(sys_, fd_of(from), fd_of(to), !unlisted(st.st_dev), io_error, no_lists);
  if (io_error && shared_device(st.st_dev, fd_of(from))) outlast_listing(st.st_dev, fd_of(to));
  if (!attributes.ok()) return attributes;
  // The permissions last: a write by a process without the privilege clears the
  // set-user-ID and set-group-ID bits, and so does a change of owner. Where the owner or
  // the group could not be kept, its bit goes: it would lend another's rights.
  mode_t mode = st.st_mode & 07777;
  if (owner != st.st_uid) mode &= mode_t(~S_ISUID);
  if (group != st.st_gid) mode &= mode_t(~S_ISGID);
  mode_t given = mode;
  int e = 0;
  // A file system that shows every file with one mode may fail a change to it, even to the
  // mode it shows (some share clients then fail every call for seconds): none is asked for.
  const bool has_mode = owner == now.st_uid && group == now.st_gid && (now.st_mode & 07777) == mode;
  if (!has_mode && sys_.fchmod(fd_of(to), mode) != 0) {
    e = errno;
    // A file system that keeps no permissions refuses them; any other failure (of the
    // device, say) is the run's, and would leave the file with the new file's own.
    if (e != EPERM && e != EACCES && e != EOPNOTSUPP && e != ENOSYS && e != EINVAL)
      return from_errno(e);
    if (sys_.fstat(fd_of(to), &now) != 0) return last_error();
    given = now.st_mode & 07777;
  }
  // Where the file system keeps no permissions or owners of its own, what it gives every
  // file will do, unless that lets anybody do more than the original allowed: its owner,
  // or the members of a group other than the original's, who had only the others' rights.
  // An access list counts as well: the new file must carry the original's, no other.
  const bool gained = (given & 0777 & ~mode) != 0;
  const bool group_gains = group != st.st_gid && (given & 0070 & ~(mode << 3)) != 0;
  if (gained || group_gains) return e != 0 ? from_errno(e) : Status{Fault::other, EPERM};
  if (!no_lists && !same_access_lists(fd_of(from), fd_of(to))) return Status{Fault::other, EPERM};
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
  read_around_cache(fd);
  Digest digest;
  std::uint64_t size = 0;
  s = digest_file(*this, File{fd}, digest, size);
  sys_.close(fd);
  if (!s.ok() && !changed_name(s)) return s;
  return s.ok() && size == read.size && digest.value == read.digest ? Status{} : Status{differs};
}

void PosixPlatform::drop_descriptor(File file) {
  // Replaced by /dev/null, the descriptor's number stays taken until the core closes it.
  static const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) dup3(null, fd_of(file), O_CLOEXEC);
}

Status PosixPlatform::replace(Dir dir, const std::string& temp, const std::string& name,
                              const std::string& backup, File original,
                              const FileStat& read) {
  const int d = fd_of(dir);
  Opened o;
  const bool known = opened(original, o);
  const bool shared = !known || o.shared;
  if (!backup.empty()) {
    // Where the file system keeps no second name of a file, a link may fail with the words
    // that elsewhere mean a name is taken: there the backup is a copy.
    if (known && !keeps_links(d, temp, o.st.st_dev))
      return Status{Fault::cannot_link, EOPNOTSUPP, Step::backup};
    // Linking the descriptor, not the name, gives the backup exactly the file read:
    // straight from it where the process may, else through /proc. A share's client may
    // link by the name it last knew the file by, which another client may have given
    // another file meanwhile: there the link goes under a name of the run's own, is shown
    // to be the file read, and only then takes the backup name, by a step that fails where
    // that is taken. So no name but the run's own is removed for a link that went wrong:
    // another client's run may put its backup under the backup name at any moment.
    const std::string run_prefix = run_prefix_of(temp);
    const bool own = backup.starts_with(run_prefix);
    const std::string linked = shared && !own ? run_prefix + "bak" : backup;
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
  }
  // Where a name replaced while a descriptor is open would disappear for a moment
  // (a user-space file system), the descriptor is dropped first.
  if (on_shared_file_system(original)) drop_descriptor(original);
  // The new file and the name swap places in one step; then what came out must be the
  // file as it was read, else they swap back, provided the name still holds the new file:
  // another program may have saved over it meanwhile, and its file stays.
  FileStat fresh;
  Status s = stat_at(dir, temp, fresh);
  if (!s.ok()) {
  } else if (sys_.renameat2(d, temp.c_str(), d, name.c_str(), RENAME_EXCHANGE) == 0) {
    FileStat out, now;
    s = stat_at(dir, temp, out);
    if (s.ok() && !out.unchanged(read))
      s = Status{out.same_file(read) ? Fault::modified : Fault::replaced};
    if (s.ok()) {
      remove_own(dir, temp);
      return s;
    }
    if (!stat_at(dir, name, now).ok() || now.same_file(fresh))
      sys_.renameat2(d, temp.c_str(), d, name.c_str(), RENAME_EXCHANGE);
  } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
    s = replace_by_moves(dir, temp, name, read, on_shared_file_system(original));
    // Taken by another program while it was free: the original stays aside, and the
    // backup, another name of it, stays too.
    if (s.ok() || (s.fault == Fault::replaced && stat_at(dir, aside_name(temp), fresh).ok()))
      return s.ok() ? s : s.at(Step::swap);
  } else {
    s = last_error();
  }
  // On a share, a NAME.OLD that another client's run may have made its backup meanwhile
  // (it holds the original all the same) stays where the name changed; a name of this
  // run's own goes.
  const bool own_backup = backup.starts_with(run_prefix_of(temp));
  if (!backup.empty() && (own_backup || !read.digested || !changed_name(s)))
    remove_own(dir, backup);
  return s.at(Step::swap);
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
    constexpr long STEP_NS = 100000000, LIMIT_NS = 2000000000;
    for (long waited = 0; waited < LIMIT_NS && !present(d, name); waited += STEP_NS) {
      const timespec step{0, STEP_NS};
      sys_.nanosleep(&step, nullptr);
    }
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
  if (shared) {
    const timespec moment{0, 2000000};
    sys_.nanosleep(&moment, nullptr);
  }
  remove_own(dir, aside);
  return Status{};
}

bool PosixPlatform::asides_of_others(Dir dir, const std::string& temp,
                                     std::vector<std::string>& out) {
  // A temporary's name is its file's prefix, the run's tag, and its kind.
  const std::string prefix = temp.substr(0, temp.find('-', temp.find('-') + 1) + 1);
  const std::string own = aside_name(temp);
  std::vector<Entry> entries;
  if (!list_dir(dir, entries).ok()) return false;
  out.clear();
  for (const Entry& e : entries)
    if (e.name.starts_with(prefix) && e.name.ends_with(".was") && e.name != own)
      out.push_back(e.name);
  return true;
}

Status PosixPlatform::rename(Dir dir, const std::string& from, const std::string& to) {
  if (rename_at(fd_of(dir), from, to) != 0) return last_error();
  return Status{};
}

int PosixPlatform::rename_at(int d, const std::string& from, const std::string& to) {
  for (int attempt = 0;; ++attempt) {
    if (sys_.renameat(d, from.c_str(), d, to.c_str()) == 0) return 0;
    // Tried again only where it did not happen: `from` is still there. (A client may
    // report EIO for a rename that the server did.)
    struct stat st;
    const int e = errno;
    if (e != EIO || attempt == RENAME_ATTEMPTS || sys_.fstat(d, &st) != 0 ||
        !shared_device(st.st_dev, d) ||
        sys_.fstatat(d, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      errno = e;
      return -1;
    }
    const timespec pause{0, 250000000};
    sys_.nanosleep(&pause, nullptr);
  }
}

Status PosixPlatform::rename_new(Dir dir, const std::string& from, const std::string& to) {
  const int d = fd_of(dir);
  Status s = rename_new_once(d, from, to);
  // A network or user-space file system may answer from a cache that still holds a name
  // another client removed a moment ago (sshfs keeps one for 20 s). Opening the name asks
  // the server itself and drops the cached entry there; while it says the name is not
  // there, the rename is tried again, for a bounded time.
  constexpr long STEP_NS = 100000000, LIMIT_NS = 30000000000;
  for (long waited = 0; s.fault == Fault::exists && waited < LIMIT_NS; waited += STEP_NS) {
    struct stat st;
    if (sys_.fstat(d, &st) != 0 || !shared_device(st.st_dev, d) || present(d, to)) break;
    s = rename_new_once(d, from, to);
    if (s.fault != Fault::exists) break;
    const timespec step{0, STEP_NS};
    sys_.nanosleep(&step, nullptr);
  }
  return s;
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
    if ((e != EIO && e != EINTR) || attempt == REMOVE_ATTEMPTS) return from_errno(e);
    const timespec pause{0, 250000000};
    if (e == EIO) sys_.nanosleep(&pause, nullptr);
  }
}

bool PosixPlatform::short_of_resources(const Status& status) {
  if (status.fault == Fault::too_large) return true;
  if (status.fault != Fault::other) return false;
  switch (status.code) {
    case ENOSPC: case EDQUOT: case EMFILE: case ENFILE: case ENOMEM: return true;
    default: return false;
  }
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
