#include "convert/transcode_lines.h"

#include "convert/write_behind.h"

namespace nivra {

namespace {

// Text is converted in groups of about this many bytes, so that each call of a
// conversion is large and the output waiting to be written stays small. A group may end
// anywhere: a character cut at its end is carried into the next.
constexpr std::size_t GROUP_BYTES = std::size_t(256) << 10;

}  // namespace

BlockWriter::BlockWriter(Output& out, std::string& buffer, WriteBehind* behind)
    : out_(out), buffer_(buffer), behind_(behind) {
  buffer_.clear();
}

void BlockWriter::append(std::string_view bytes) {
  // Large pieces go out as they are, without a copy.
  if (bytes.size() >= BLOCK_BYTES) return put(bytes);
  buffer_.append(bytes);
  flush_if_full();
}

void BlockWriter::put(std::string_view bytes) {
  if (behind_)
    catch_up();
  else
    write_out(buffer_);
  buffer_.clear();
  write_out(bytes);
}

void BlockWriter::hand_over(std::string& bytes) {
  if (!behind_ || !status_.ok()) return put(bytes);
  if (!buffer_.empty()) behind_->hand(buffer_);
  behind_->hand(bytes);
}

void BlockWriter::flush_if_full() {
  if (buffer_.size() < BLOCK_BYTES) return;
  if (behind_ && status_.ok()) return behind_->hand(buffer_);
  write_out(buffer_);
  buffer_.clear();
}

Status BlockWriter::finish() {
  if (behind_)
    catch_up();
  else
    write_out(buffer_);
  buffer_.clear();
  return status_;
}

void BlockWriter::catch_up() {
  if (!buffer_.empty() && status_.ok()) behind_->hand(buffer_);
  const Status s = behind_->wait();
  if (status_.ok()) status_ = s;
}

void BlockWriter::write_out(std::string_view bytes) {
  if (status_.ok()) status_ = write_all(out_, bytes);
}

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

Converted transcode_lines(const Transcoder& transcoder, std::string_view text, bool last,
                          BlockWriter& out) {
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t n = std::min(GROUP_BYTES, text.size() - done);
    const bool end = done + n == text.size();
    Converted c = transcoder(text.substr(done, n), last && end, out.buffer());
    out.flush_if_full();
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

}  // namespace nivra
