// The attributes of a file besides its content: owner, group, extended attributes and
// access lists, and last the permissions.

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "platform/posix/posix_platform.h"

namespace nivra {

using namespace posix;

namespace {

/// The names of the extended attributes that limit access to a file.
constexpr const char* ACCESS_LISTS[] = {"system.posix_acl_access", "system.nfs4_acl"};

bool limits_access(const char* name) {
  for (const char* list : ACCESS_LISTS)
    if (std::strcmp(name, list) == 0) return true;
  return false;
}

/// The value of attribute `name` of `fd`; false when it has none (or it cannot be read).
bool attribute(const SystemCalls& sys, int fd, const char* name, std::vector<char>& value) {
  value.resize(256);
  ssize_t size;
  while ((size = sys.fgetxattr(fd, name, value.data(), value.size())) < 0 && errno == ERANGE)
    value.resize(value.size() * 4);
  if (size < 0) return false;
  value.resize(std::size_t(size));
  return true;
}

/// Whether `fd` lists its attributes, and no access list among them.
bool lists_no_access_list(const SystemCalls& sys, int fd) {
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
Status copy_xattrs(const SystemCalls& sys, int from, int to, bool list, bool& io_error,
                   bool& no_lists) {
  std::vector<char> names(1024), value;
  ssize_t n = list ? list_attributes(sys, from, names) : 0;
  io_error = n < 0 && errno == EIO;
  const bool listed_none = list && n == 0;
  if (n < 0) n = 0;  // none, or none that the file system keeps
  for (const char* name = names.data(); name < names.data() + n; name += std::strlen(name) + 1) {
    const bool read = attribute(sys, from, name, value);
    if ((!read || sys.fsetxattr(to, name, value.data(), value.size(), 0) != 0) &&
        limits_access(name))
      return other_error(errno);
  }
  if (!list)
    for (const char* name : ACCESS_LISTS)
      if (attribute(sys, from, name, value) &&
          sys.fsetxattr(to, name, value.data(), value.size(), 0) != 0)
        return other_error(errno);
  // A file that lists no attribute at all has no access list: `to` need only list none
  // either, which one listing shows.
  no_lists = listed_none && lists_no_access_list(sys, to);
  if (no_lists) return Status{};
  for (const char* list : ACCESS_LISTS) {
    if (attribute(sys, from, list, value) || !attribute(sys, to, list, value)) continue;
    if (sys.fremovexattr(to, list) != 0) return other_error(errno);
  }
  return Status{};
}

/// Whether `to` carries exactly the access lists of `from`.
bool same_access_lists(const SystemCalls& sys, int from, int to) {
  std::vector<char> a, b;
  for (const char* list : ACCESS_LISTS) {
    const bool has = attribute(sys, from, list, a);
    if (has != attribute(sys, to, list, b) || (has && a != b)) return false;
  }
  return true;
}

}  // namespace

namespace posix {

ssize_t list_attributes(const SystemCalls& sys, int fd, std::vector<char>& names) {
  ssize_t n;
  while ((n = sys.flistxattr(fd, names.data(), names.size())) < 0 && errno == ERANGE)
    names.resize(names.size() * 4);
  return n;
}

}  // namespace posix

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
  if (!no_lists && !same_access_lists(sys_, fd_of(from), fd_of(to))) return Status{Fault::other, EPERM};
  return Status{};
}

}  // namespace nivra
