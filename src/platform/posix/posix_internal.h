#pragma once

// What the files of the POSIX platform share: the faults that system errors map to, and
// every wait and retry of the platform in one table.

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix/system_calls.h"

namespace nivra::posix {

/// Every wait and retry of the POSIX platform. Each is bounded: a share's client that
/// fails calls for a moment, or answers from a cache that lies for a while, is waited out
/// for a time, and then its failure stands.
struct Waits {
  /// The pause between two attempts of a call that a share's client failed with EIO.
  static constexpr long RETRY_PAUSE_NS = 250000000;
  /// How many times a removal that failed with EIO is tried again: some network clients
  /// fail every call for a few seconds after one failed.
  static constexpr int REMOVE_ATTEMPTS = 24;
  /// The same for a rename on a share, which fails with EIO where the server still counts
  /// the file open by the client for a moment after its close.
  static constexpr int RENAME_ATTEMPTS = 8;
  /// How many times a client that failed the listing of attributes is asked whether it
  /// answers again (smbnetfs fails every call for seconds after such a failure).
  static constexpr int LISTING_ATTEMPTS = 24;
  /// How many times open_read() opens a name again that another run replaced between
  /// the open and the lock.
  static constexpr int OPEN_ATTEMPTS = 8;
  /// The pause before open_read() asks again for a lock that another thread of this run
  /// holds on another name of the same file.
  static constexpr long LOCK_PAUSE_NS = 1000000;
  /// How long open_read() waits at most for that lock; then the file fails as busy.
  static constexpr long LOCK_LIMIT_NS = 300000000000;
  /// How long a lock that no thread of this run is known to hold is asked for again: a
  /// thread holds its lock a moment before it notes it, and after it noted its close.
  static constexpr long UNNOTED_LOCK_NS = 50000000;
  /// The pause between two looks for another run's new file under a name that both runs
  /// moved aside.
  static constexpr long ASIDE_STEP_NS = 100000000;
  /// How long that other run's new file is awaited at most.
  static constexpr long ASIDE_LIMIT_NS = 2000000000;
  /// The pause between two attempts of a rename that a client's cache of a removed name
  /// failed.
  static constexpr long CACHE_STEP_NS = 100000000;
  /// How long such a cache is outlasted at most (sshfs keeps a name for 20 s).
  static constexpr long CACHE_LIMIT_NS = 30000000000;
  /// The moment a user-space file system is given to learn of the close of a file before
  /// a name of it is removed.
  static constexpr long CLOSE_MOMENT_NS = 2000000;
};

/// Sleeps for `ns` nanoseconds through `sys`.
inline void pause(const SystemCalls& sys, long ns) {
  const timespec span{time_t(ns / 1000000000), ns % 1000000000};
  sys.nanosleep(&span, nullptr);
}

/// Whether error `e` says the machine ran short of something a run shares among files.
inline bool exhausts(int e) {
  return e == ENOSPC || e == EDQUOT || e == EMFILE || e == ENFILE || e == ENOMEM;
}

/// A failure that only a shortage of resources tells apart from any other.
inline Status other_error(int e) { return Status{exhausts(e) ? Fault::exhausted : Fault::other, e}; }

inline Status from_errno(int e) {
  switch (e) {
    case 0: return Status{};
    case EINTR: return Status{Fault::interrupted, e};
    case ENOENT: return Status{Fault::not_found, e};
    case EEXIST: return Status{Fault::exists, e};
    // O_NOFOLLOW met a symbolic link where a file or directory was listed.
    case ELOOP: return Status{Fault::symlink, e};
    default: return other_error(e);
  }
}

inline Status last_error() { return from_errno(errno); }

/// Whether `s` says the name no longer holds the file as it was read.
inline bool changed_name(const Status& s) {
  return s.fault == Fault::replaced || s.fault == Fault::modified;
}

inline int fd_of(Dir d) { return int(d.id); }
inline int fd_of(File f) { return int(f.id); }

/// The failure of a call that makes `name` in `dir`. Some network file systems answer
/// EPERM for a name that is taken: then the name is asked for.
Status name_error(const SystemCalls& sys, int dir, const std::string& name);

/// Asks that the reads of `fd` go to the server rather than to the client's cache, where
/// the file system has a way to. A hint: where it has none, nothing changes.
void read_around_cache(const SystemCalls& sys, int fd);

/// Lists the names of `fd`'s extended attributes into `names`, growing it as needed;
/// returns their length, or -1 with errno.
ssize_t list_attributes(const SystemCalls& sys, int fd, std::vector<char>& names);

}  // namespace nivra::posix
