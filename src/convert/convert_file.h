#pragma once

#include <string>
#include <string_view>
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

/// Converts files in one direction, reusing its buffers from file to file.
class Converter {
 public:
  Converter(FileSystem& fs, AnsiCodePage& acp, Direction direction)
      : fs_(fs), acp_(acp), direction_(direction) {}

  /// Rewrites the source file `name` of `dir` (whose full path is `path`) in the
  /// direction, keeping its former content as NAME.OLD. The file is replaced in one step
  /// once its new content is complete, so on every failure it stays as it was.
  /// `leftovers` are the temporary names found in `dir`: those of this file are removed.
  Outcome convert_file(Dir dir, const std::string& name, const std::string& path,
                       const std::vector<std::string>& leftovers = {});

 private:
  struct Plan;
  Status read_whole(File file, std::size_t& size);
  Status create_fresh(Dir dir, const std::string& name, File model, File& out);
  Status write_content(File file, std::string_view head, std::string_view text,
                       const Plan* plan, Converted& converted);
  Outcome replace(Dir dir, const std::string& name, const std::string& path, File original,
                  std::string_view content, const Plan& plan);

  FileSystem& fs_;
  AnsiCodePage& acp_;
  Direction direction_;
  ReadBuffer content_;  ///< the file being converted
  std::string block_;   ///< output waiting to be written
};

/// True when `name` is one that temporary_name() gives.
bool is_temporary_name(std::string_view name);

/// The name the new content of `name` is written under until it replaces the file, and
/// (with `backup`) the name its backup is made under. Both begin with a dot, so no walk
/// selects them, and are short whatever the file's name.
std::string temporary_name(const std::string& name, bool backup);

}  // namespace nivra
