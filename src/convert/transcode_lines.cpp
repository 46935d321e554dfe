#include "convert/transcode_lines.h"

#include <cstring>

namespace nivra {

namespace {

// Lines are converted in groups of at least this many bytes, so that the platform's
// conversion is called rarely and a group never splits a character.
constexpr std::size_t GROUP_BYTES = std::size_t(256) << 10;

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
      const void* lf = std::memchr(rest.data() + GROUP_BYTES, '\n', rest.size() - GROUP_BYTES);
      if (lf) cut = std::size_t(static_cast<const char*>(lf) - rest.data()) + 1;
    }
    platform.convert(source, target, rest.substr(0, cut), out.buffer());
    out.flush_if_full();
    rest.remove_prefix(cut);
  }
}

}  // namespace nivra
