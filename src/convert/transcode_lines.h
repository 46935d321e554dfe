#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "convert/direction.h"
#include "platform/file_system.h"
#include "text/code_page.h"

namespace nivra {

class WriteBehind;

/// Collects output in `buffer` and writes it to `out` in large blocks, repeating
/// interrupted and short writes. The first failure sticks: later calls do nothing.
class BlockWriter {
 public:
  static constexpr std::size_t BLOCK_BYTES = std::size_t(1) << 20;

  /// With `behind`, the blocks are written on its thread, in the same pieces.
  BlockWriter(Output& out, std::string& buffer, WriteBehind* behind = nullptr);

  /// The buffer to append output to; call flush_if_full() after appending.
  std::string& buffer() { return buffer_; }
  void append(std::string_view bytes);
  /// Writes what waits, then `bytes` as they are, without a copy.
  void put(std::string_view bytes);
  /// put(), but written behind where a thread writes: `bytes` is handed over and comes
  /// back empty.
  void hand_over(std::string& bytes);
  void flush_if_full();
  /// Writes what is left; returns the first failure of this writer.
  Status finish();

 private:
  void write_out(std::string_view bytes);

  /// Hands buffer_ to behind_ and waits for it; its first failure becomes status_.
  void catch_up();

  Output& out_;
  std::string& buffer_;
  WriteBehind* behind_;
  Status status_;
};

/// An open file of a FileSystem as an Output.
class FileOutput final : public Output {
 public:
  FileOutput(FileSystem& fs, File file) : fs_(fs), file_(file) {}
  Status write(const char* buf, std::size_t n, std::size_t& put) override {
    return fs_.write(file_, buf, n, put);
  }

 private:
  FileSystem& fs_;
  File file_;
};

/// One file's conversion: from `source` to `target`, through the ANSI code page where
/// either is ANSI.
struct Transcoder {
  AnsiCodePage& acp;
  Encoding source;
  Encoding target;

  /// Converts one piece of the text, as AnsiCodePage's conversions do.
  Converted operator()(std::string_view text, bool last, std::string& out) const;
};

/// Writes `text` converted by `transcoder` to `out`, a group of bytes at a time; line ends
/// and NUL bytes pass through. Unless `last`, a character cut at the end is left unused.
/// Stops at the first byte that cannot be converted exactly: the result's `loss` is its
/// offset in `text`, and what was written before it is partial.
Converted transcode_lines(const Transcoder& transcoder, std::string_view text, bool last,
                          BlockWriter& out);

}  // namespace nivra
