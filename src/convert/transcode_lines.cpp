#include "convert/transcode_lines.h"

#include <cstring>

namespace nivra {

namespace {

// Lines are converted in groups of at least this many bytes, so that the platform's
// conversion is called rarely and a group never splits a character.
constexpr std::size_t GROUP_BYTES = std::size_t(256) << 10;

/// The offset just after the first line feed of `text` at or after `from`, or npos. In
/// UTF-16 that is a whole code unit, so that a group never splits one.
std::size_t line_end(std::string_view text, std::size_t from, CodePage source) {
  if (source == CodePage::utf16le || source == CodePage::utf16be) {
    const char lf[2] = {source == CodePage::utf16le ? '\n' : '\0',
                        source == CodePage::utf16le ? '\0' : '\n'};
    for (std::size_t i = from & ~std::size_t(1); i + 1 < text.size(); i += 2)
      if (text[i] == lf[0] && text[i + 1] == lf[1]) return i + 2;
    return std::string_view::npos;
  }
  const void* lf = std::memchr(text.data() + from, '\n', text.size() - from);
  return lf ? std::size_t(static_cast<const char*>(lf) - text.data()) + 1 : std::string_view::npos;
}

}  // namespace

BlockWriter::BlockWriter(Platform& platform, File file, std::string& buffer)
    : platform_(platform), file_(file), buffer_(buffer) {
  buffer_.clear();
}

void BlockWriter::append(std::string_view bytes) {
  if (bytes.size() >= BLOCK_BYTES) {
    // Large pieces go out as they are, without a copy.
    write_out(buffer_);
    buffer_.clear();
    write_out(bytes);
    return;
  }
  buffer_.append(bytes);
  flush_if_full();
}

void BlockWriter::flush_if_full() {
  if (buffer_.size() < BLOCK_BYTES) return;
  write_out(buffer_);
  buffer_.clear();
}

Status BlockWriter::finish() {
  write_out(buffer_);
  buffer_.clear();
  return status_;
}

void BlockWriter::write_out(std::string_view bytes) {
  while (status_.ok() && !bytes.empty()) {
    std::size_t put = 0;
    const Status s = platform_.write(file_, bytes.data(), bytes.size(), put);
    if (s.fault == Fault::interrupted) continue;
    if (!s.ok()) {
      status_ = s;
      return;
    }
    if (put == 0) {
      // A write that stores nothing and reports no error would repeat for ever.
      status_ = Status{Fault::stalled, 0};
      return;
    }
    bytes.remove_prefix(put);
  }
}

void transcode_lines(Platform& platform, std::string_view content, std::size_t start,
                     CodePage source, CodePage target, BlockWriter& out) {
  if (start >= content.size()) return;
  std::string_view rest = content.substr(start);
  if (source == target) {
    out.append(rest);
    return;
  }
  while (!rest.empty()) {
    std::size_t cut = rest.size();
    if (rest.size() > GROUP_BYTES) {
      const std::size_t end = line_end(rest, GROUP_BYTES, source);
      if (end != std::string_view::npos) cut = end;
    }
    platform.convert(source, target, rest.substr(0, cut), out.buffer());
    out.flush_if_full();
    rest.remove_prefix(cut);
  }
}

}  // namespace nivra
