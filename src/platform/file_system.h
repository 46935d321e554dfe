#pragma once

// The seam between the core (walk and conversion) and the system's files. The core never
// touches them directly; each platform implements this interface once (and Host, for what
// the system says of the running program), and tests put a double in its place.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/temp_name.h"

namespace nivra {

/// What went wrong, in the terms the core acts on.
enum class Fault {
  none,
  interrupted,  ///< a transient interruption: the call may simply be repeated
  not_found,    ///< the name does not exist
  exists,       ///< the name is taken already
  not_regular,  ///< the name is not a regular file (a FIFO, socket, device, ...)
  symlink,      ///< a symbolic link (or junction) met where a file or folder was listed
  busy,         ///< another process has the file locked
  too_large,    ///< not enough memory for what the file needs
  stalled,      ///< a write stored nothing and reported no error
  replaced,     ///< the name holds another file than the one that was read
  modified,     ///< the file's content is no longer as it was read
  cannot_link,  ///< the file system cannot give the file a second name
  /// the machine ran short of something a run shares among files: room or inodes, quota,
  /// open files, memory
  exhausted,
  unsupported,  ///< the file system does not offer the call: the caller goes another way
  /// the call failed, and whether it took effect cannot be told: a share's client may show
  /// a name gone that its server keeps
  unconfirmed,
  other,        ///< anything else; see the code
};

/// Which step of a replace a failure comes from.
enum class Step {
  none,    ///< not a step of a replace
  backup,  ///< putting the file that the name held under the backup name
  swap,    ///< putting the new file under the name
};

/// Outcome of a platform call. `code` is the system's own error number, for describe().
struct Status {
  Fault fault = Fault::none;
  int code = 0;
  Step step = Step::none;

  bool ok() const { return fault == Fault::none; }
  /// The same failure, as one of `failed`.
  Status at(Step failed) const { return Status{fault, code, failed}; }
};

/// Whether `status` says the machine ran short of something a run shares among its files,
/// so that the files beside this one may have taken what it needed.
inline bool short_of_resources(const Status& status) {
  return status.fault == Fault::exhausted || status.fault == Fault::too_large;
}

/// What a file system can do, as FileSystem::caps() tells it of a folder.
struct Capabilities {
  /// A network or user-space file system, whose calls wait on a server.
  bool shared = false;
  /// A file's stat tells which file a name stands for, and whether its content changed.
  /// Where it does not (other machines may change a share's files without their stat
  /// showing it), the content read is identified by its digest.
  bool identity = true;
  /// exchange() may swap two names; where it turns out not to, it fails as `unsupported`.
  bool exchange = true;
  /// link() may give a file a second name; false where the file system is known to keep
  /// none.
  bool links = true;
  /// replace_file() puts a new file under a name, and the old one under a backup name.
  bool replace_file = false;
  /// How long a user-space file system may take to learn of the close of a file, before a
  /// name of it may be removed.
  long close_moment_ns = 0;
  /// How long another client's rename may take to show under the name it gives, or
  /// another machine's run keep a name empty between two steps of its own.
  long rename_shows_ns = 0;
  /// The pause between two looks for it.
  long rename_look_ns = 0;
};

/// Opaque handles; their meaning belongs to the platform that issued them.
struct Dir {
  std::intptr_t id = -1;
};
struct File {
  std::intptr_t id = -1;
};

enum class EntryKind { directory, regular, symlink, other };

/// One entry of a directory listing. Names are the system's bytes (UTF-8 on Windows).
struct Entry {
  std::string name;
  EntryKind kind;
};

/// Which file a name or an open file stands for, and the state of its content.
struct FileStat {
  std::uint64_t volume = 0;  ///< the device or volume it is on
  std::uint64_t inode = 0;   ///< its number there
  std::uint64_t size = 0;
  std::int64_t modified = 0;  ///< the last change of its content, in the system's own unit
  std::uint64_t owner = 0;    ///< the user who owns it, in the system's own terms
  bool regular = true;        ///< a regular file (not a folder, link or device)

  /// A digest of the content where it was taken (see Digest), for file systems on which
  /// which file a name stands for cannot be told otherwise.
  std::uint64_t digest = 0;
  bool digested = false;

  bool same_file(const FileStat& o) const { return volume == o.volume && inode == o.inode; }
  /// The same file, of the same size and modification time.
  bool unchanged(const FileStat& o) const {
    return same_file(o) && size == o.size && modified == o.modified;
  }
};

/// Where a file's bytes are written to.
class Output {
 public:
  virtual ~Output() = default;
  /// Writes at most `n` bytes; `put` says how many. May write fewer or be `interrupted`.
  virtual Status write(const char* buf, std::size_t n, std::size_t& put) = 0;
};

/// Every call may come from several threads at once, each on files of its own.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Opens the directory at `path`; "" names the root of the file system.
  virtual Status open_root(const std::string& path, Dir& out) = 0;
  /// Opens subdirectory `name` of `parent`, never through a symbolic link.
  virtual Status open_dir(Dir parent, const std::string& name, Dir& out) = 0;
  /// Lists the entries of `dir` other than "." and "..", in the order the system yields them.
  virtual Status list_dir(Dir dir, std::vector<Entry>& out) = 0;
  virtual void close_dir(Dir dir) = 0;
  /// What the file system that holds `dir` can do. Asked of the tree's folder before
  /// anything else: the platform may learn there, while nothing else goes on, what a
  /// share's client does.
  virtual Capabilities caps(Dir dir) = 0;

  /// Opens regular file `name` of `dir` for reading, never through a symbolic link, and
  /// locks it against other runs until it is closed. Fails with `busy` when another has it
  /// locked.
  virtual Status open_read(Dir dir, const std::string& name, File& out) = 0;
  /// Which file `file` is, and the state of its content.
  virtual Status stat(File file, FileStat& out) = 0;
  /// Which file `name` of `dir` is, without following a symbolic link.
  virtual Status stat_at(Dir dir, const std::string& name, FileStat& out) = 0;
  /// Reads at most `n` bytes from `offset` on; `got` is 0 at the end. May read fewer or be
  /// `interrupted`.
  virtual Status read(File file, std::uint64_t offset, char* buf, std::size_t n,
                      std::size_t& got) = 0;

  /// Creates `name` in `dir` for writing; it must not exist. Only its owner may use it
  /// until copy_attributes() gives it those of the original.
  virtual Status create(Dir dir, const std::string& name, File& out) = 0;
  /// Writes at most `n` bytes; `put` says how many. May write fewer or be `interrupted`.
  virtual Status write(File file, const char* buf, std::size_t n, std::size_t& put) = 0;
  /// Gives the written file `to` what `from` carries besides its content (owner, group,
  /// extended attributes and access lists where the system keeps them, and last its
  /// permissions). Fails when `to` would give anybody access that `from` does not.
  virtual Status copy_attributes(File from, File to) = 0;
  /// Closes an open file; for a written one, fails when what was written could not be kept.
  virtual Status close(File file) = 0;

  /// Gives the file read as `file` the name `name` in `dir` too: the very file read, not
  /// what a name of it holds by now, where the system can tell them apart (a share's
  /// client may not). Fails with `exists` where the name is taken, `not_found` where the
  /// file has no name left, and `cannot_link` where the file system keeps no second name
  /// (then caps() says so from then on).
  virtual Status link(File file, Dir dir, const std::string& name) = 0;
  /// Swaps the files that `a` and `b` of `dir` hold, in one step; `unsupported` where the
  /// file system cannot.
  virtual Status exchange(Dir dir, const std::string& a, const std::string& b) = 0;
  /// Ends the lock on `file`, open for reading, and lets go of it, so that a name of it
  /// may be replaced or removed as though it were closed; only close() follows.
  virtual void release(File file) = 0;
  /// Puts the file `temp` under `name` in one step, provided `name` still is `original`
  /// as `read` found it, and that file under `backup` ("" for none); `original` is
  /// released. Fails with `replaced` or `modified` where the name changed, `busy` where
  /// another run has taken a name the step needs; `unsupported` where the system has no
  /// such call.
  virtual Status replace_file(Dir dir, const std::string& temp, const std::string& name,
                              const std::string& backup, File original, const FileStat& read) {
    (void)dir, (void)temp, (void)name, (void)backup, (void)original, (void)read;
    return Status{Fault::unsupported, 0};
  }
  /// Renames `from` to `to` in `dir`, replacing a file named `to` in one step.
  virtual Status rename(Dir dir, const std::string& from, const std::string& to) = 0;
  /// Renames `from` to `to` in `dir`, failing with `exists` where `to` is taken. Where the
  /// system has no such rename, `from` may stay as a second name of the file.
  virtual Status rename_noreplace(Dir dir, const std::string& from, const std::string& to) = 0;
  /// Removes the file `name` from `dir`.
  virtual Status remove(Dir dir, const std::string& name) = 0;

  /// Waits `ns` nanoseconds, for what other programs and a share's other clients do.
  virtual void pause(long ns) = 0;

  /// The system's words for what went wrong; the core has its own for the faults it
  /// detects itself.
  virtual std::string describe(const Status& status) = 0;
};

}  // namespace nivra
