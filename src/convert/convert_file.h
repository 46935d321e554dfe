#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "convert/direction.h"
#include "convert/read_buffer.h"
#include "platform/file_system.h"
#include "text/code_page.h"

namespace nivra {

/// What became of one file.
struct Outcome {
  enum Kind { converted, skipped, failed };
  Kind kind = converted;
  std::string_view message;  ///< the fixed message, for a file skipped or failed
  std::string path;          ///< what the diagnostic of a failure names
  std::string reason;        ///< why it failed
};

/// What the listing of a file's directory showed about its neighbours.
struct Neighbours {
  std::unordered_set<std::string> names;  ///< every name in the directory
  std::vector<std::string> temporaries;   ///< the names that is_temporary_name() accepts
};

/// Converts files in one direction, reusing its buffers from file to file.
class Converter {
 public:
  Converter(FileSystem& fs, AnsiCodePage& acp, Direction direction);

  /// Rewrites the source file `name` of `dir` (whose full path is `path`) in the
  /// direction, keeping its former content as NAME.OLD. The file is replaced in one step
  /// once its new content is complete, so on every failure it stays as it was.
  Outcome convert_file(Dir dir, const std::string& name, const std::string& path,
                       const Neighbours& neighbours = {});

  /// The tag of this run's temporary names.
  const std::string& run() const { return run_; }
  /// Lets the new content of a large file be written on a thread of its own while the
  /// rest is converted.
  void write_behind(bool allowed) { write_behind_ = allowed; }

 private:
  struct Plan;
  Outcome convert(Dir dir, const std::string& name, const std::string& path,
                  const Neighbours& neighbours);
  Status read_at(File file, std::uint64_t offset, std::size_t n, std::size_t keep = 0);
  Status choose_plan(File file, const FileState& read, Plan& plan);
  Status write_text(File from, FileState& read, const Plan& plan, File to,
                    Converted& converted);
  Status copy_file(File from, const FileState& read, File to);
  bool holds_content(Dir dir, const std::string& name, const FileState& read);
  Status finish_leftovers(Dir dir, const std::string& name, const FileState& read,
                          const Neighbours& neighbours, std::string& left_name);
  Outcome replace(Dir dir, const std::string& name, const std::string& path, File original,
                  FileState& read, const Plan& plan, bool backup_exists);

  FileSystem& fs_;
  AnsiCodePage& acp_;
  Direction direction_;
  std::string run_;
  ReadBuffer buffer_;             ///< a block of the file being converted
  std::uint64_t held_at_ = 0;     ///< the offset in the file of what buffer_ holds
  std::size_t held_ = 0;          ///< how many bytes of the file buffer_ holds
  std::string block_;             ///< output waiting to be written
  std::string lead_;              ///< the first bytes of the file, before its text
  bool ended_run_ = false;        ///< a run that ended left temporaries of the file
  bool write_behind_ = false;
};

/// True when `name` is one that temporary_name() gives.
bool is_temporary_name(std::string_view name);

/// The names a run tagged `run` writes the new content of `name` under (`kind` "new"),
/// keeps its backup under until it replaces NAME.OLD ("old"), and copies it under where
/// the file system has no links ("cpy"). All begin with a dot, so no walk selects them,
/// and with temporary_prefix(name), whatever the run.
std::string temporary_name(const std::string& name, std::string_view kind, std::string_view run);
std::string temporary_prefix(const std::string& name);

}  // namespace nivra
