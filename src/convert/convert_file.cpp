#include "convert/convert_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/io.h"
#include "convert/reasons.h"
#include "convert/transcode_lines.h"
#include "text/unicode.h"

namespace nivra {

/// Files are read this many bytes at a time, whatever their size.
inline constexpr std::size_t READ_BLOCK = std::size_t(1) << 20;
/// The most bytes of a character cut at the end of a block, carried into the next.
inline constexpr std::size_t MAX_CARRY = 4;

/// How the content of one file becomes its new content.
struct Converter::Plan {
  std::string_view head;  ///< written first
  std::size_t start;      ///< where the text begins
  Encoding source;
  Encoding target;
  /// Valid UTF-8 that reads as well in a code page that pairs bytes, without the evidence
  /// that it is UTF-8: it is left alone.
  bool ambiguous = false;
};

namespace {

/// Files above this size take buffers of up to a few MiB each; only a few of them are
/// converted at once (see Budget), whatever the number of workers, so that memory stays
/// bounded.
constexpr std::uint64_t LARGE_FILE = 256 * 1024;

/// In a code page that pairs bytes, valid UTF-8 text that also reads in the code page is
/// taken for UTF-8 when it holds at least this many characters of three or four bytes.
/// Text of a few characters of such a code page never forms that many by chance; text in
/// Chinese, Japanese or Korean in UTF-8 has them in every short sentence.
constexpr std::size_t WIDE_EVIDENCE = 4;

/// The name of an encoding in a reason; "" for the ANSI code page.
std::string_view encoding_name(Encoding e) {
  switch (e) {
    case Encoding::utf8: return "UTF-8";
    case Encoding::utf16le:
    case Encoding::utf16be: return "UTF-16";
    case Encoding::utf32le:
    case Encoding::utf32be: return "UTF-32";
    case Encoding::ansi: break;
  }
  return "";
}

/// Whether the text of a plan from `source` to `target` goes through the code page.
bool through_code_page(Encoding source, Encoding target) {
  return source == Encoding::ansi || target == Encoding::ansi;
}

}  // namespace

/// Why a file was refused at `offset`, where the text is, with its line and column: the
/// text before it is read again and counted in characters.
std::string Converter::loss_reason(File file, const Plan& plan, std::uint64_t offset) {
  std::string reason;
  if (plan.source == Encoding::ansi)
    reason = "cannot be converted from code page " + std::to_string(acp_.id()) + " without loss";
  else if (plan.target == Encoding::ansi)
    reason = "cannot be converted to code page " + std::to_string(acp_.id()) + " without loss";
  else
    reason = "is not valid " + std::string(encoding_name(plan.source));
  const Transcoder read_as_utf8{acp_, plan.source, Encoding::utf8};
  std::uint64_t lines = 0, column = 0;
  std::string block, utf8;
  std::size_t carry = 0;
  bool whole = true;
  for (std::uint64_t at = plan.start; at < offset && whole;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, offset - at));
    block.resize(carry + n);
    whole = read_fully(fs_, file, at, block.data() + carry, n).ok();
    if (!whole) break;
    at += n;
    utf8.clear();
    const Converted c = read_as_utf8(block, at == offset, utf8);
    whole = c.lossless();
    for (const char ch : utf8) {
      if (ch == '\n') {
        ++lines;
        column = 0;
      } else if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) {
        ++column;
      }
    }
    carry = block.size() - c.used;
    block.erase(0, c.used);
  }
  if (whole) {
    reason += ": line " + std::to_string(lines + 1) + ", column " + std::to_string(column + 1) +
              " (byte " + std::to_string(offset) + ")";
  } else {
    reason += ": byte " + std::to_string(offset);  // the text before it cannot be read again
  }
  return reason;
}

Converter::Converter(FileSystem& fs, Host& host, AnsiCodePage& acp, Direction direction,
                     Budget& budget)
    : fs_(fs), acp_(acp), direction_(direction), budget_(budget), replacer_(fs, host) {}

/// Reads the `n` bytes of `file` from `offset` on into buffer_, after the first `keep`
/// bytes there. Fewer bytes than the file had when it was opened means it changed.
Status Converter::read_at(File file, std::uint64_t offset, std::size_t n, std::size_t keep) {
  if (keep == 0 && held_at_ == offset && held_ >= n) return Status{};
  held_ = 0;
  try {
    if (buffer_.size() < keep + n) buffer_.resize(keep + n);
  } catch (const std::bad_alloc&) {
    return Status{Fault::too_large, 0};
  }
  const Status s = read_fully(fs_, file, offset, buffer_.data() + keep, n);
  if (!s.ok()) return s;
  if (keep == 0) {
    held_at_ = offset;
    held_ = n;
  }
  return Status{};
}

/// Reads `file` a block at a time into buffer_, each after what the last visit left unused,
/// and hands `visit` that text and whether it ends the file; `visit` returns how much of
/// the text it used, or npos to stop there.
template <typename Visit>
Status Converter::each_block(File file, const FileStat& read, Visit visit) {
  std::size_t carry = 0;
  for (std::uint64_t offset = 0; offset < read.size;) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size - offset));
    const Status s = read_at(file, offset, n, carry);
    if (!s.ok()) return s;
    offset += n;
    const std::string_view text(buffer_.data(), carry + n);
    const std::size_t used = visit(text, offset == read.size);
    if (used == std::string_view::npos) return Status{};
    carry = text.size() - used;
    std::memmove(buffer_.data(), buffer_.data() + used, carry);
  }
  return Status{};
}

/// Decides how the file becomes its new content. Beyond the direction's own values: a
/// UTF-16 or UTF-32 file with its byte-order mark, and UTF-8 text without the signature,
/// are signed as the text they already are. Whether a file is UTF-8 text may need a pass
/// over it, and in a code page that pairs bytes, one more.
Status Converter::choose_plan(File file, const FileStat& read, Plan& plan) {
  const DirectionTraits& t = traits(direction_);
  plan = Plan{t.head, t.start, t.source, t.target};
  if (direction_ != Direction::sign) return Status{};
  const std::string_view first(buffer_.data(), held_);
  using std::string_view_literals::operator""sv;
  if (first.starts_with("\xFF\xFE\0\0"sv) || first.starts_with("\0\0\xFE\xFF"sv)) {
    plan.start = 4;
    plan.source = first[0] == '\xFF' ? Encoding::utf32le : Encoding::utf32be;
    return Status{};
  }
  if (first.starts_with("\xFF\xFE") || first.starts_with("\xFE\xFF")) {
    plan.start = 2;
    plan.source = first[0] == '\xFF' ? Encoding::utf16le : Encoding::utf16be;
    return Status{};
  }
  bool ascii = true, valid = true;
  const bool pairs = acp_.pairs_bytes();
  std::size_t wide = 0;  // characters of three or four bytes
  const Status s = each_block(file, read, [&](std::string_view text, bool last) {
    if (!last) text = text.substr(0, utf8_whole_length(text));
    if (utf8_first_invalid(text) != std::string_view::npos) {
      valid = false;
      return std::string_view::npos;
    }
    ascii = ascii && is_ascii(text);
    if (pairs && !ascii && wide < WIDE_EVIDENCE)
      wide += std::size_t(std::count_if(text.begin(), text.end(),
                                        [](char c) { return static_cast<unsigned char>(c) >= 0xE0; }));
    return text.size();
  });
  if (!s.ok() || !valid || ascii) return s;
  plan.source = Encoding::utf8;
  if (!pairs || wide >= WIDE_EVIDENCE) return Status{};
  return reads_in_code_page(file, read, plan.ambiguous);
}

/// Whether the whole of `file` reads in the code page without loss.
Status Converter::reads_in_code_page(File file, const FileStat& read, bool& reads) {
  reads = true;
  std::string scratch;
  const Status s = each_block(file, read, [&](std::string_view text, bool last) {
    scratch.clear();
    const Converted c = acp_.to_utf8(text, last, scratch);
    if (c.lossless()) return c.used;
    reads = false;
    return std::string_view::npos;
  });
  if (!s.ok()) reads = false;
  return s;
}

/// Writes the head and the converted text of `from` into `to`, a block at a time.
/// `converted` tells whether the text converted; the status, whether it was written, and
/// `read_fault` whether reading failed. Where `read` asks for one, its digest is taken on
/// the way.
Status Converter::write_text(File from, FileStat& read, const Plan& plan, File to,
                             Converted& converted, Status& read_fault) {
  Digest digest;
  if (read.digested) digest.add(lead_.data(), plan.start);
  FileOutput output(fs_, to);
  const Transcoder transcoder{acp_, plan.source, plan.target};
  std::optional<Pieces> pieces;
  if (pieces_ > 1 && read.size >= pieces_from_) {
    pieces.emplace(transcoder, pieces_, budget_);
    if (pieces->count() < 2) pieces.reset();
  }
  std::optional<WriteBehind> behind;
  if (write_behind_ && read.size >= WriteBehind::FROM_BYTES) behind.emplace(output, budget_);
  BlockWriter writer(output, block_, behind && behind->running() ? &*behind : nullptr);
  writer.append(plan.head);
  Status s;
  std::uint64_t offset = plan.start;
  if (pieces) s = write_pieces(from, read, plan, *pieces, digest, writer, offset, converted);
  if (!s.ok() || !converted.lossless()) offset = read.size;
  std::size_t carry = 0;
  while (offset < read.size) {
    std::size_t n = std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size - offset));
    std::size_t skip = 0;
    if (carry == 0 && held_at_ <= offset && offset < held_at_ + held_) {
      // In memory already, from the first read: what is left of it, past the signature.
      skip = std::size_t(offset - held_at_);
      n = std::min(n, held_ - skip);
    } else {
      s = read_at(from, offset, n, carry);
      if (!s.ok()) break;
    }
    held_ = 0;
    const char* begin = buffer_.data() + skip;
    const std::string_view text(begin, carry + n);
    if (read.digested) digest.add(text.data() + carry, n);
    if (!met_code_page_ && through_code_page(plan.source, plan.target))
      met_code_page_ = !is_ascii(text.substr(carry));
    const std::uint64_t text_at = offset - carry;
    offset += n;
    converted = transcode_lines(transcoder, text, offset == read.size, writer);
    if (!converted.lossless()) {
      if (converted.loss != std::string_view::npos) converted.loss += std::size_t(text_at);
      break;
    }
    carry = text.size() - converted.used;
    std::memmove(buffer_.data(), text.data() + converted.used, carry);
  }
  if (read.digested) read.digest = digest.value;
  const Status written = writer.finish();
  read_fault = s;
  return s.ok() ? written : s;
}

/// Takes the slot's piece back once converted and writes it out; false when it did not
/// convert, which ends the text there: `converted` says why, or `ended` where memory ran
/// short.
bool Converter::collect(Pieces& pieces, Pieces::Slot& slot, BlockWriter& writer,
                        Converted& converted, Status& ended) {
  if (!slot.busy) return true;
  pieces.take(slot);
  if (slot.short_of_memory) {
    ended = Status{Fault::too_large, 0};
    return false;
  }
  if (!slot.converted.lossless()) {
    converted = slot.converted;
    if (converted.loss != std::string_view::npos) converted.loss += std::size_t(slot.at);
    return false;
  }
  writer.hand_over(slot.output);
  return true;
}

/// Converts the text of `from` from `offset` on in pieces converted at once, and appends
/// them to `writer` in their order. Stops at the end of the text, at the first piece that
/// does not convert, or where no cut is found within reach: then `offset` is where the
/// rest of the text begins, to be converted in turn.
Status Converter::write_pieces(File from, const FileStat& read, const Plan& plan,
                               Pieces& pieces, Digest& digest, BlockWriter& writer,
                               std::uint64_t& offset, Converted& converted) {
  held_ = 0;  // buffer_ holds what was read past the last cut
  const CutRule rule = cut_rule(plan.source, acp_.id());
  std::uint64_t read_to = offset;  ///< where the next read starts
  std::size_t carry = 0;
  Status ended;  ///< why the pieces ended short of the text's end, where it was a fault
  // Every piece handed over before slot `i`'s, in order.
  const auto collect_after = [&](std::size_t i) {
    for (std::size_t j = 1; j < pieces.count(); ++j)
      if (!collect(pieces, pieces.slot(i + j), writer, converted, ended)) return false;
    return true;
  };
  for (std::size_t i = 0;; ++i) {
    Pieces::Slot& slot = pieces.slot(i);
    if (!collect(pieces, slot, writer, converted, ended)) return ended;
    if (read_to == read.size) {
      // Everything is handed over: what is left is taken back in order.
      if (!collect_after(i)) return ended;
      offset = read.size;
      return Status{};
    }
    const std::size_t n = std::size_t(std::min<std::uint64_t>(piece_bytes_, read.size - read_to));
    const Status s = read_piece(from, read_to, n, carry, slot);
    if (!s.ok()) {
      // A piece before it that does not convert is what converting in turn would meet
      // first; memory that ran short is reported as such.
      const bool before = collect_after(i);
      return before || s.fault == Fault::too_large ? s : ended;
    }
    read_to += n;
    const std::size_t length = carry + n;
    const std::string_view text(slot.input.data(), length);
    std::size_t cut = length;
    if (read_to < read.size) {
      const std::size_t from_at = std::max<std::size_t>(
          {carry, 1, length > Pieces::MOST_CARRIED ? length - Pieces::MOST_CARRIED : 0});
      cut = last_cut(text, from_at, rule);
      if (cut == std::string_view::npos) {
        // Nowhere to cut near the end: the rest is converted in turn, from this text on.
        if (collect_after(i)) offset = read_to - length;
        return ended;
      }
    }
    if (read.digested) digest.add(text.data(), cut);
    if (!met_code_page_ && through_code_page(plan.source, plan.target))
      met_code_page_ = !is_ascii(text.substr(0, cut));
    slot.size = cut;
    slot.at = read_to - length;
    carry = length - cut;
    std::memcpy(buffer_.data(), text.data() + cut, carry);
    pieces.hand(slot);
  }
}

/// Reads `n` bytes of `from` at `offset` into the slot's input, after the `carry` bytes
/// that buffer_ holds from the piece before.
Status Converter::read_piece(File from, std::uint64_t offset, std::size_t n, std::size_t carry,
                             Pieces::Slot& slot) {
  try {
    if (slot.input.size() < carry + n) slot.input.resize(carry + n);
    if (buffer_.size() < carry + n) buffer_.resize(carry + n);  // the carry, at most
  } catch (const std::bad_alloc&) {
    return Status{Fault::too_large, 0};
  }
  std::memcpy(slot.input.data(), buffer_.data(), carry);
  return read_fully(fs_, from, offset, slot.input.data() + carry, n);
}

Outcome Converter::convert_file(Dir dir, const std::string& name, const std::string& path,
                                const Neighbours& neighbours) {
  try {
    replacer_.forget_last();
    met_code_page_ = false;
    Outcome outcome = convert(dir, name, path, neighbours);
    outcome.met_code_page = met_code_page_;
    replacer_.remove_stale(outcome.kind != Outcome::failed);
    outcome.undecided = replacer_.undecided();
    outcome.left = replacer_.left();
    return outcome;
  } catch (const std::bad_alloc&) {
    // Whatever this file needed, the next one may have: the walk goes on.
    // Never tried again: it may have come after the new file took the name.
    return failure(MSG_READ_FAILED, path, describe_own_fault(Status{Fault::too_large}));
  }
}

/// A large file's permit, and the memory its buffers took: both given back once the file
/// is closed.
struct Converter::Large {
  Converter* self = nullptr;
  ~Large() {
    if (!self) return;
    ReadBuffer().swap(self->buffer_);
    std::string().swap(self->block_);
    self->budget_.give_large();
  }
};

/// Opens `name` of `dir` locked into `closer`, and takes its state into `read`; `opened`
/// says whether it opened. A large file takes a permit into `large`: where none is free,
/// it is waited for with the file closed, as a thread that holds one may be waiting for
/// this file's lock, and the file is opened again.
Status Converter::open_source(Dir dir, const std::string& name, Closer& closer,
                              FileStat& read, Large& large, bool& opened) {
  for (;;) {
    File in;
    opened = false;
    Status s = fs_.open_read(dir, name, in);
    if (!s.ok()) return s;
    opened = true;
    closer.file() = in;
    s = fs_.stat(in, read);
    if (!s.ok() || read.size <= LARGE_FILE || large.self) return s;
    if (budget_.try_large()) {
      large.self = this;
      return s;
    }
    closer.close();
    budget_.wait_large();
    large.self = this;
  }
}

Outcome Converter::convert(Dir dir, const std::string& name, const std::string& path,
                           const Neighbours& neighbours) {
  Large large;  // given back after the file is closed
  // Locked until the new file is in place: no other run converts it meanwhile.
  Closer closer(fs_);
  FileStat read;
  bool opened = false;
  held_ = 0;
  Status s = open_source(dir, name, closer, read, large, opened);
  if (!opened) return failure(MSG_OPEN_FAILED, path, fs_, s);
  const File in = closer.file();
  if (s.ok()) s = read_at(in, 0, std::size_t(std::min<std::uint64_t>(READ_BLOCK, read.size)));
  if (changed_meanwhile(s)) return failure(MSG_CHANGED, path, fs_, s);
  if (!s.ok()) return failure(MSG_READ_FAILED, path, fs_, s);

  // Only after the read: on some systems removing a name of a locked file ends the lock.
  const Target target{dir, name, path, in, read};
  const Outcome left = replacer_.finish_leftovers(target, neighbours);
  if (left.kind == Outcome::failed) return left;

  const DirectionTraits& t = traits(direction_);
  if (is_signed(std::string_view(buffer_.data(), held_)) != t.converts_signed)
    return Outcome{Outcome::skipped, t.skip_message, path, std::string(t.skip_reason)};

  // Which file a name stands for cannot be told on some file systems: there the content
  // read identifies it.
  read.digested = !fs_.caps(dir).identity;
  lead_.assign(buffer_.data(), std::min<std::size_t>(held_, 4));
  return convert_text(target, neighbours);
}

/// Converts the text of the target, once it is known to be converted, and puts the new
/// content in place.
Outcome Converter::convert_text(const Target& target, const Neighbours& neighbours) {
  const std::string& path = target.path;
  Plan plan;
  const Status s = choose_plan(target.original, target.read, plan);
  if (changed_meanwhile(s)) return failure(MSG_CHANGED, path, fs_, s);
  if (!s.ok()) return failure(MSG_READ_FAILED, path, fs_, s);
  met_code_page_ = plan.ambiguous;
  if (plan.ambiguous)
    return failure(MSG_LOSSY, path,
                   "valid both as UTF-8 and as code page " + std::to_string(acp_.id()) +
                       ": left alone; convert it by hand");
  const bool backup_exists =
      neighbours.names.count(target.name + std::string(BACKUP_SUFFIX)) != 0;
  // The new content, written as the file is converted; its digest taken on the way.
  const auto write = [&](File to, Outcome& refused) {
    Converted converted;
    Status read_fault;
    const Status written =
        write_text(target.original, target.read, plan, to, converted, read_fault);
    if (converted.loss != std::string_view::npos)
      refused = failure(MSG_LOSSY, path, loss_reason(target.original, plan, converted.loss));
    else if (converted.failed)
      refused = failure(MSG_WRITE_FAILED, path, "the text could not be converted");
    else if (!read_fault.ok() && !changed_meanwhile(read_fault) &&
             read_fault.fault != Fault::too_large)
      refused = failure(MSG_READ_FAILED, path, fs_, read_fault);  // not a failed write
    return written;
  };
  return replacer_.replace(target, write, backup_exists);
}

}  // namespace nivra
