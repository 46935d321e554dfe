#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace nivra {

/// Collects output in `buffer` and writes it to `file` in large blocks, repeating
/// interrupted and short writes. The first failure sticks: later calls do nothing.
class BlockWriter {
 public:
  static constexpr std::size_t BLOCK_BYTES = std::size_t(1) << 20;

  BlockWriter(Platform& platform, File file, std::string& buffer);

  /// The buffer to append output to; call flush_if_full() after appending.
  std::string& buffer() { return buffer_; }
  void append(std::string_view bytes);
  void flush_if_full();
  /// Writes what is left; returns the first failure of this writer.
  Status finish();

 private:
  void write_out(std::string_view bytes);

  Platform& platform_;
  File file_;
  std::string& buffer_;
  Status status_;
};

/// Writes the text of `content` from byte `start` on, converted from `source` to `target`
/// a group of whole lines at a time, to `out`. Line ends and NUL bytes pass through.
void transcode_lines(Platform& platform, std::string_view content, std::size_t start,
                     CodePage source, CodePage target, BlockWriter& out);

}  // namespace nivra
