#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "convert/direction.h"
#include "convert/output.h"
#include "platform/file_system.h"
#include "text/code_page.h"

namespace nivra {

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
/// transcode_lines() into `out` as it is, without writing it anywhere.
Converted transcode_lines(const Transcoder& transcoder, std::string_view text, bool last,
                          std::string& out);

}  // namespace nivra
