#pragma once

// How a file's name comes to hold its new content. What this sequence promises:
//
// - One step. The new content is written whole beside the file under a temporary name;
//   then one step puts it under the name (Swap), provided the
//   name still holds the file exactly as it was read. At every moment the name holds its
//   complete old or complete new content.
// - What the new file keeps. Once its content is complete it gets what the original
//   carries besides its content (FileSystem::copy_attributes), or it never takes the name.
// - Backups. NAME.OLD is the original file itself, given a second name in that same step;
//   where the file system cannot do that, a copy of it made beforehand from what was read.
//   An earlier NAME.OLD is replaced only once the new content is in place, so a run that
//   fails leaves the earlier backup as it was.
// - Another program meanwhile. A file that another program replaced or changed since it
//   was read is left as that program left it, and reported.
// - Failures. On a failure the name keeps, or gets back, the original, and no temporary
//   stays: each is removed on the way out unless it took a name. Only where even putting
//   the original back fails does it stay under its temporary name, the only copy of it.
//   Temporaries carry the tag of their run; a run that was killed may leave some, and the
//   next run on the machine finishes them (a backup that is the only copy of an original
//   becomes NAME.OLD) or removes them. What a run that may still be going on, or another
//   machine's run, left stays. Recovery (convert/recovery.h) does that part.
// - Two runs. The file is open and locked from its read to its replace, so two runs on one
//   machine never convert it twice. On a shared file system, where locks and a file's
//   number tell nothing, the content read identifies the file: it is digested, and
//   NAME.OLD and the name are compared with it.
// - Power. Nothing is forced to the disk: these promises hold for a run that fails or is
//   killed, not for a machine that loses power in the middle of one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "convert/messages.h"
#include "convert/recovery.h"
#include "convert/temp_name.h"
#include "platform/file_system.h"
#include "platform/host.h"

namespace nivra {

inline constexpr std::string_view BACKUP_SUFFIX = ".OLD";

/// A name that a run left behind, and why.
struct LeftName {
  std::string name;
  std::string reason;
};

/// What became of one file.
struct Outcome {
  enum Kind { converted, skipped, failed };
  Outcome(Kind kind = converted, std::string_view message = {}, std::string path = {},
          std::string reason = {})
      : kind(kind), message(message), path(std::move(path)), reason(std::move(reason)) {}
  Kind kind;
  std::string_view message;  ///< the fixed message, for a file skipped or failed
  std::string path;          ///< what the diagnostic of a skip or failure names
  std::string reason;        ///< why it was skipped or failed
  /// It failed for want of something the machine shares among files (room, memory, ...),
  /// before anything changed: alone, it might not have.
  bool short_of_resources = false;
  /// Text beyond ASCII was read or written in the ANSI code page, or could have been.
  bool met_code_page = false;
  /// The path of a leftover beside the file that a run of another machine or boot left on
  /// a shared file system, where whether that run ended cannot be known; "" when none.
  std::string undecided;
  /// The names this run left beside the file, with why: each is reported on its own.
  std::vector<LeftName> left;
};

inline Outcome failure(std::string_view message, std::string path, std::string reason) {
  return Outcome{Outcome::failed, message, std::move(path), std::move(reason)};
}

/// The failure of a call that returned `status`, in the system's words, made before the
/// file or its names changed.
Outcome failure(std::string_view message, std::string path, FileSystem& fs, const Status& status);

/// Whether another program replaced or changed the file since it was read.
inline bool changed_meanwhile(const Status& s) {
  return s.fault == Fault::replaced || s.fault == Fault::modified;
}

/// What the listing of a file's directory showed about its neighbours.
struct Neighbours {
  std::unordered_set<std::string> names;  ///< every name in the directory
  std::vector<std::string> temporaries;   ///< the names that is_temporary_name() accepts
};

/// The name of the file whose backup `name` would be ("" when it is no backup's name).
std::string backup_of(std::string_view name);

/// Closes an open file on every way out of a scope, unless close() did.
class Closer {
 public:
  explicit Closer(FileSystem& fs, File file = File{}) : fs_(fs), file_(file) {}
  ~Closer() {
    if (file_.id != File{}.id) fs_.close(file_);
  }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;
  File& file() { return file_; }
  /// Closes the file now; whether what was written to it is kept.
  Status close() {
    const Status s = fs_.close(file_);
    file_ = File{};
    return s;
  }

 private:
  FileSystem& fs_;
  File file_;
};

/// Removes a temporary name on the way out of a scope, unless it was kept, or it no longer
/// holds the file this run wrote there (another program's file came under it). A name that
/// cannot be removed goes on `left`, where there is one.
class TemporaryName {
 public:
  TemporaryName(FileSystem& fs, Dir dir, std::string name, std::vector<LeftName>* left = nullptr)
      : fs_(fs), dir_(dir), name_(std::move(name)), left_(left) {}
  ~TemporaryName();
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const std::string& name() const { return name_; }
  void keep() { kept_ = true; }
  /// Which file this run wrote under the name.
  void wrote(const FileStat& written) { written_ = written; }
  const std::optional<FileStat>& written() const { return written_; }
  /// Whether the name still holds the file this run wrote there, or may (which file it
  /// holds cannot be known).
  bool holds_written() const {
    FileStat now;
    if (!written_) return true;
    const Status s = fs_.stat_at(dir_, name_, now);
    return !s.ok() || now.same_file(*written_);
  }

 private:
  FileSystem& fs_;
  Dir dir_;
  std::string name_;
  std::optional<FileStat> written_;
  std::vector<LeftName>* left_;
  bool kept_ = false;
};

/// The file a replace is for: `name` of `dir`, whose full path is `path`, open and locked
/// as `original`, as `read` found it.
struct Target {
  Dir dir;
  const std::string& name;
  const std::string& path;
  File original;
  FileStat& read;
};

/// Writes the new content into `to`. The status says whether it was read and written; a
/// content that cannot be made sets `refused` to its failure.
using WriteContent = std::function<Status(File to, Outcome& refused)>;

/// The replace of the files of one run, under its run's tag: what earlier runs left beside
/// a file is finished first (recovery()), then the file is replaced.
class Replacer {
 public:
  Replacer(FileSystem& fs, Host& host);

  /// The tag of this run's temporary names.
  const std::string& run() const { return run_; }
  /// What earlier runs left, and this run's recovery of it.
  Recovery& recovery() { return recovery_; }

  /// Finishes what runs left beside the target (Recovery::finish_leftovers()). Comes
  /// before replace() of the same file. On a shared file system the removals wait for
  /// remove_stale().
  Outcome finish_leftovers(const Target& target, const Neighbours& neighbours) {
    return recovery_.finish_leftovers(target, neighbours);
  }
  /// Removes the leftovers that finish_leftovers() kept for after the target's replace,
  /// where `done` says the target was converted or left alone; one that cannot be removed
  /// goes to left(). After a failure they stay for a later run: the content they were found
  /// to share with the name may have been a client's stale view of it, and a copy of an
  /// original among them the only one.
  void remove_stale(bool done) { recovery_.remove_stale(done, left_); }

  /// The path of a leftover beside the target last finished that a run of another machine
  /// or boot left on a shared file system, where whether that run ended cannot be known;
  /// "" when there is none.
  const std::string& undecided() const { return recovery_.undecided(); }
  /// The paths this run left beside the target last replaced, with why: temporaries that
  /// could not be removed, and copies of an original kept because neither the name nor
  /// NAME.OLD was shown to hold it.
  const std::vector<LeftName>& left() const { return left_; }
  /// Forgets undecided() and left(), before the next file.
  void forget_last() {
    recovery_.forget_last();
    left_.clear();
  }

  /// Puts the content that `write` makes under the target's name, keeping the original
  /// as NAME.OLD (`backup_exists` when the listing had one): writes it beside, swaps it
  /// in, and settles the backup. On every failure the name keeps the original.
  Outcome replace(const Target& target, const WriteContent& write, bool backup_exists);

 private:
  Outcome write_beside(const Target& target, const WriteContent& write, TemporaryName& fresh);
  Outcome swap_in(const Target& target, const TemporaryName& fresh, bool backup_exists,
                  std::optional<TemporaryName>& aside);
  Outcome settle_backup(const Target& target, const TemporaryName& fresh, TemporaryName& aside);
  Status copy_backup(const Target& target, const std::string& aside);
  /// After a failed step that may have removed the name, keeps the copy `aside` of the
  /// original unless the name or NAME.OLD holds the original; puts it back under a name
  /// left empty.
  void keep_only_copy(const Target& target, TemporaryName& aside);
  /// This run's temporary of kind `kind` beside the target.
  std::string temporary(const Target& target, TempName::Kind kind) const {
    return TempName::of(target.name, tag_, kind).format();
  }
  bool holds_content(Dir dir, const std::string& name, const FileStat& read);
  /// Whether a temporary of the target of a run that may still be going on, other than
  /// this one, is beside it now (true where the folder cannot be listed).
  bool another_run_beside(const Target& target);

  FileSystem& fs_;
  RunTag tag_;
  std::string run_;             ///< tag_, formatted
  Recovery recovery_;
  std::string block_;           ///< output of a copy waiting to be written
  std::vector<LeftName> left_;  ///< see left(); by name until replace() ends
  std::vector<std::pair<std::string, Status>> swapped_;  ///< names the swap left
};

}  // namespace nivra
