#include "convert/transcode_lines.h"

#include <algorithm>
#include <functional>

namespace nivra {

Converted Transcoder::operator()(std::string_view text, bool last, std::string& out) const {
  switch (source) {
    case Encoding::ansi: return acp.to_utf8(text, last, out);
    case Encoding::utf16le: return utf16_to_utf8(text, false, last, out);
    case Encoding::utf16be: return utf16_to_utf8(text, true, last, out);
    case Encoding::utf32le: return utf32_to_utf8(text, false, last, out);
    case Encoding::utf32be: return utf32_to_utf8(text, true, last, out);
    case Encoding::utf8: break;
  }
  return target == Encoding::ansi ? acp.from_utf8(text, last, out) : copy_utf8(text, last, out);
}

namespace {

// Text is converted in groups of about this many bytes, so that each call of a
// conversion is large and the output waiting to be written stays small. A group may end
// anywhere: a character cut at its end is carried into the next.
constexpr std::size_t GROUP_BYTES = std::size_t(256) << 10;

/// The loop of both transcode_lines(): output goes to `out`, and `written` is called
/// after each group.
Converted transcode_groups(const Transcoder& transcoder, std::string_view text, bool last,
                           std::string& out, const std::function<void()>& written) {
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t n = std::min(GROUP_BYTES, text.size() - done);
    const bool end = done + n == text.size();
    Converted c = transcoder(text.substr(done, n), last && end, out);
    if (written) written();
    if (!c.lossless()) {
      if (c.loss != std::string_view::npos) c.loss += done;
      c.used += done;
      return c;
    }
    done += c.used;
    if (end) break;
    // A codec that leaves a whole group unused would never come to the end.
    if (c.used == 0) return Converted{done, std::string_view::npos, true};
  }
  return Converted{done, std::string_view::npos, false};
}

}  // namespace

Converted transcode_lines(const Transcoder& transcoder, std::string_view text, bool last,
                          BlockWriter& out) {
  return transcode_groups(transcoder, text, last, out.buffer(), [&out] { out.flush_if_full(); });
}

Converted transcode_lines(const Transcoder& transcoder, std::string_view text, bool last,
                          std::string& out) {
  return transcode_groups(transcoder, text, last, out, {});
}

}  // namespace nivra
