#pragma once

// The system calls of the POSIX platform, in one table. The platform makes every call
// through the table it was given, the C library's unless a test puts one in its place that
// fails chosen calls.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>

namespace nivra::posix {

struct SystemCalls {
  int (*openat)(int dir, const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  int (*fstat)(int fd, struct stat* st);
  int (*fstatat)(int dir, const char* name, struct stat* st, int flags);
  int (*flock)(int fd, int operation);
  ssize_t (*pread)(int fd, void* buf, std::size_t n, off_t offset);
  ssize_t (*write)(int fd, const void* buf, std::size_t n);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*fchmod)(int fd, mode_t mode);
  int (*fsetxattr)(int fd, const char* name, const void* value, std::size_t size, int flags);
  int (*linkat)(int from_dir, const char* from, int to_dir, const char* to, int flags);
  int (*renameat2)(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
  int (*renameat)(int from_dir, const char* from, int to_dir, const char* to);
  int (*unlinkat)(int dir, const char* name, int flags);
  /// The pause between two attempts of a call that a flaky file system failed, or that a
  /// share's client is given to catch up.
  int (*nanosleep)(const timespec* pause, timespec* left);
  /// Which file system holds a descriptor: a share's clients are treated apart.
  int (*fstatfs)(int fd, struct statfs* st);
  /// The names of a file's extended attributes: some share clients fail it, and then
  /// every call for seconds.
  ssize_t (*flistxattr)(int fd, char* names, std::size_t size);
  /// A listing of a folder: a stream over a descriptor, its entries, and its end, which
  /// closes the descriptor.
  DIR* (*fdopendir)(int fd);
  dirent* (*readdir)(DIR* stream);
  int (*closedir)(DIR* stream);
  /// The value of an extended attribute, and its removal.
  ssize_t (*fgetxattr)(int fd, const char* name, void* value, std::size_t size);
  int (*fremovexattr)(int fd, const char* name);
  /// The flags of an open file (F_GETFL, F_SETFL).
  int (*fcntl)(int fd, int command, int arg);
  /// Puts another file behind a descriptor's number.
  int (*dup3)(int from, int to, int flags);
};

/// The C library's calls.
const SystemCalls& libc_calls();

}  // namespace nivra::posix
