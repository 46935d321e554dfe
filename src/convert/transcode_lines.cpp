#include "convert/transcode_lines.h"

#include <cstring>

namespace nivra {

namespace {

// Lines are converted in groups of at least this many bytes, so that the platform's
// conversion is called rarely and a group never splits a character.
constexpr std::size_t GROUP_BYTES = std::size_t(256) << 10;

/// Where the group of lines that begins `rest` ends: after the first line feed at or
/// beyond GROUP_BYTES. In UTF-16 a line feed is a whole unit 0x000A at an even offset;
/// a 0x0A byte elsewhere is half of another unit.
std::size_t group_end(std::string_view rest, CodePage source) {
  const bool le = source == CodePage::utf16le, be = source == CodePage::utf16be;
  for (std::size_t at = GROUP_BYTES; at < rest.size();) {
    const void* lf = std::memchr(rest.data() + at, '\n', rest.size() - at);
    if (!lf) break;
    const std::size_t p = std::size_t(static_cast<const char*>(lf) - rest.data());
    if (le ? p % 2 == 0 && p + 1 < rest.size() && rest[p + 1] == 0
           : !be || (p % 2 == 1 && rest[p - 1] == 0))
      return le ? p + 2 : p + 1;
    at = p + 1;
  }
  return rest.size();
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
    const std::size_t cut = group_end(rest, source);
    platform.convert(source, target, rest.substr(0, cut), out.buffer());
    out.flush_if_full();
    rest.remove_prefix(cut);
  }
}

}  // namespace nivra
