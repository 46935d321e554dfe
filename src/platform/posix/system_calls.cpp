#include "platform/posix/system_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>

namespace nivra::posix {

const SystemCalls& libc_calls() {
  static const SystemCalls calls = {
      // openat() takes its mode as a variable argument.
      [](int dir, const char* name, int flags, mode_t mode) {
        return ::openat(dir, name, flags, mode);
      },
      ::close,
      ::fstat,
      ::fstatat,
      ::flock,
      ::pread,
      ::write,
      ::fchown,
      ::fchmod,
      ::fsetxattr,
      ::linkat,
      ::renameat2,
      ::renameat,
      ::unlinkat,
      ::nanosleep,
      ::fstatfs,
      ::flistxattr,
      ::fdopendir,
      ::readdir,
      ::closedir,
      ::fgetxattr,
      ::fremovexattr,
      // fcntl() takes its argument as a variable one.
      [](int fd, int command, int arg) { return ::fcntl(fd, command, arg); },
      ::dup3,
  };
  return calls;
}

}  // namespace nivra::posix
