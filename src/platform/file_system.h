#pragma once

// The seam between the core (walk and conversion) and the system's files. The core never
// touches them directly; each platform implements this interface once, and tests put a
// double in its place.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nivra {

/// What went wrong, in the terms the core acts on.
enum class Fault {
  none,
  interrupted,  ///< a transient interruption: the call may simply be repeated
  not_found,    ///< the name does not exist
  exists,       ///< the name is taken already
  not_regular,  ///< the name is not a regular file (a FIFO, socket, device, ...)
  busy,         ///< another process holds the file
  too_large,    ///< the file does not fit in memory
  stalled,      ///< a write stored nothing and reported no error
  other,        ///< anything else; see the code
};

/// Outcome of a platform call. `code` is the system's own error number, for describe().
struct Status {
  Fault fault = Fault::none;
  int code = 0;

  bool ok() const { return fault == Fault::none; }
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

/// The words for the faults that the core itself detects, whatever the system; null for
/// the others, which only the platform can describe.
inline const char* describe_own_fault(const Status& status) {
  switch (status.fault) {
    case Fault::none: return "no error";
    case Fault::too_large: return "too large to be held in memory";
    case Fault::stalled: return "the system stored nothing and gave no reason";
    default: return nullptr;
  }
}

/// Where a file's bytes are written to.
class Output {
 public:
  virtual ~Output() = default;
  /// Writes at most `n` bytes; `put` says how many. May write fewer or be `interrupted`.
  virtual Status write(const char* buf, std::size_t n, std::size_t& put) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// The path separator of argument 0 and of the paths the core builds.
  virtual char separator() const = 0;
  /// Full path of the running program, as the system reports it.
  virtual Status executable_path(std::string& out) = 0;

  /// Opens the directory at `path`; "" names the root of the file system.
  virtual Status open_root(const std::string& path, Dir& out) = 0;
  /// Opens subdirectory `name` of `parent`, never through a symbolic link.
  virtual Status open_dir(Dir parent, const std::string& name, Dir& out) = 0;
  /// Lists the entries of `dir` other than "." and "..", in the order the system yields them.
  virtual Status list_dir(Dir dir, std::vector<Entry>& out) = 0;
  virtual void close_dir(Dir dir) = 0;

  /// Opens regular file `name` of `dir` for reading, never through a symbolic link, and
  /// holds it against other runs until it is closed. Fails with `busy` when another holds it.
  virtual Status open_read(Dir dir, const std::string& name, File& out) = 0;
  /// The size of an open file, in bytes.
  virtual Status file_size(File file, std::uint64_t& out) = 0;
  /// Reads at most `n` bytes; `got` is 0 at the end. May read fewer or be `interrupted`.
  virtual Status read(File file, char* buf, std::size_t n, std::size_t& got) = 0;

  /// Creates `name` in `dir` for writing; it must not exist. It gets the permission bits
  /// of `model`, and its owner and group where the process may set them.
  virtual Status create(Dir dir, const std::string& name, File model, File& out) = 0;
  /// Writes at most `n` bytes; `put` says how many. May write fewer or be `interrupted`.
  virtual Status write(File file, const char* buf, std::size_t n, std::size_t& put) = 0;
  /// Closes an open file; for a written one, fails when what was written could not be kept.
  virtual Status close(File file) = 0;

  /// Whether link() can give an open file a further name; where it cannot, a backup is a copy.
  virtual bool links_open_files() const = 0;
  /// Gives the open `file` the further name `name` in `dir`, which must not exist.
  virtual Status link(File file, Dir dir, const std::string& name) = 0;
  /// Renames `from` to `to` in `dir`, replacing a file named `to` in one step.
  virtual Status rename(Dir dir, const std::string& from, const std::string& to) = 0;
  /// Removes the file `name` from `dir`.
  virtual Status remove(Dir dir, const std::string& name) = 0;

  /// The system's words for what went wrong.
  virtual std::string describe(const Status& status) = 0;
};

}  // namespace nivra
