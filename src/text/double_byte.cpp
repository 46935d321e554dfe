#include "text/double_byte.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/unicode.h"

namespace nivra {

namespace {

constexpr std::size_t npos = std::string_view::npos;

/// Writes the UTF-8 form of BMP character `ch` at `dst`, and up to two bytes more; returns
/// its end. Chooses the length without a branch: in mixed text it is a coin toss.
inline char* put_utf8(char16_t ch, char* dst) {
  const bool one = ch < 0x80, two = ch < 0x800;
  dst[0] = char(one ? ch : two ? 0xC0 | ch >> 6 : 0xE0 | ch >> 12);
  dst[1] = char(0x80 | (two ? ch & 0x3F : ch >> 6 & 0x3F));
  dst[2] = char(0x80 | (ch & 0x3F));
  return dst + (one ? 1 : two ? 2 : 3);
}

/// Copies the ASCII at the start of [p, end) to `dst`, eight bytes at a time; the caller
/// leaves room for eight bytes more than the ASCII.
inline void copy_ascii(const unsigned char*& p, const unsigned char* end, char*& dst) {
  copy_ascii_words(p, end, dst);
  while (p < end && *p < 0x80) *dst++ = char(*p++);
}

constexpr std::uint64_t EVEN_BITS = 0x5555555555555555ull;
constexpr std::uint64_t ODD_BITS = ~EVEN_BITS;

/// Which of 64 bytes start a character, bit i for byte i, given which of them can be lead
/// bytes, when the first starts one. After a byte that cannot lead a character starts; in
/// a run of bytes that can, every other one does from the run's first, and the byte after
/// a run of odd length is a trail byte. Adding a run's first bit to the run clears it and
/// sets the bit after it, which sorts the runs by the parity of their start.
inline std::uint64_t char_starts(std::uint64_t leads) {
  const std::uint64_t run_starts = leads & ~(leads << 1);
  const std::uint64_t even_carries = leads + (run_starts & EVEN_BITS);
  const std::uint64_t odd_carries = leads + (run_starts & ODD_BITS);
  const std::uint64_t inside =
      (leads & ~even_carries & ODD_BITS) | (leads & ~odd_carries & EVEN_BITS);
  const std::uint64_t after =
      (even_carries & ~leads & ODD_BITS) | (odd_carries & ~leads & EVEN_BITS);
  return ~(inside | after);
}

/// True when at least a quarter of the 64 bytes at `p` are above 0x7F.
inline bool dense(const unsigned char* p) {
  int high = 0;
  for (int i = 0; i < 64; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    high += int(((word & HIGH_BITS) >> 7) * 0x0101010101010101ull >> 56);
  }
  return high >= 16;
}

}  // namespace

DoubleByteCodePage::DoubleByteCodePage(const DoubleByteTable& table)
    : table_(table), row_start_{}, is_lead_{}, bytes_of_(0x10000, 0) {
  const std::uint16_t* unwritten_end = table.unwritten + table.unwritten_count;
  const auto written = [&](std::uint16_t code) {
    return !std::binary_search(table.unwritten, unwritten_end, code);
  };
  for (unsigned b = 0x80; b < 0x100; ++b) {
    const char16_t ch = table.single[b];
    if (ch != LEAD_BYTE && ch != NO_UNIT && written(std::uint16_t(b)))
      bytes_of_[ch] = std::uint16_t(b);
    is_lead_[b] = ch == LEAD_BYTE;
    const unsigned row = table.row[b - 0x80];
    if (row == 0) continue;
    row_start_[b] = (row - 1) * table.trail_span;
    const char16_t* cells = table.pairs + row_start_[b];
    for (unsigned t = 0; t < table.trail_span; ++t) {
      const std::uint16_t code = std::uint16_t(b << 8 | (table.trail_first + t));
      if (cells[t] != NO_UNIT && written(code)) bytes_of_[cells[t]] = code;
    }
  }
}

/// Converts the characters that start in the 64 bytes at `p` (the last may end one byte
/// past them) into `dst`, and returns how many bytes they take. Stops at the first that
/// has no character: `lost` is its offset from `p`.
unsigned DoubleByteCodePage::to_utf8_64(const unsigned char* p, char*& dst,
                                        unsigned& lost) const {
  std::uint64_t leads = 0;
  for (unsigned i = 0; i < 64; ++i) leads |= std::uint64_t(is_lead_[p[i]]) << i;
  unsigned next = 0;
  for (std::uint64_t starts = char_starts(leads); starts != 0; starts &= starts - 1) {
    const unsigned i = unsigned(std::countr_zero(starts));
    const bool lead = leads >> i & 1;
    // Both lookups are made, each inside its table, and one is taken without a branch.
    const unsigned t = unsigned(p[i + 1]) - table_.trail_first;
    const bool in_row = t < table_.trail_span;
    const char16_t cell = table_.pairs[row_start_[p[i]] + (in_row ? t : 0)];
    const char16_t single = table_.single[p[i]];
    const char16_t ch = lead ? (in_row ? cell : NO_UNIT) : single;
    if (ch == NO_UNIT) {
      lost = i;
      return next;
    }
    dst = put_utf8(ch, dst);
    next = i + 1 + lead;
  }
  return next;
}

Converted DoubleByteCodePage::to_utf8(std::string_view text, bool last, std::string& out) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  std::size_t high = 0;
  for (const auto* q = begin; q < end; ++q) high += *q >> 7;
  // A byte above 0x7F becomes at most three, and a copy of ASCII writes eight at a time.
  const std::size_t old = out.size();
  out.resize(old + text.size() + 2 * high + 8);
  char* dst = out.data() + old;
  const auto* p = begin;
  Converted result{text.size(), npos, false};
  std::size_t singles = 0, pairs = 0;  // characters above 0x7F read one at a time, by length
  while (p < end) {
    copy_ascii(p, end, dst);
    // Where single bytes and pairs have come mixed, sixty-four bytes at a time while many
    // are not ASCII and a trail byte follows them: which bytes start characters comes from
    // bit arithmetic, so that none is guessed wrong. Elsewhere the guesses are right, and
    // one character at a time is quicker.
    while (singles > pairs / 8 && end - p > 64 && dense(p)) {
      unsigned lost = 64;
      const unsigned next = to_utf8_64(p, dst, lost);
      if (lost != 64) {
        result.used = result.loss = std::size_t(p + lost - begin);
        break;
      }
      p += next;
    }
    if (result.loss != npos) break;
    // One character at a time while they are not ASCII.
    while (p < end && *p >= 0x80) {
      char16_t ch = table_.single[*p];
      std::size_t len = 1;
      if (ch == LEAD_BYTE) {
        if (end - p < 2) {
          result.used = std::size_t(p - begin);
          if (last) result.loss = result.used;
          break;
        }
        const unsigned t = unsigned(p[1]) - table_.trail_first;
        ch = t < table_.trail_span ? table_.pairs[row_start_[*p] + t] : NO_UNIT;
        len = 2;
      }
      if (ch == NO_UNIT) {
        result.used = result.loss = std::size_t(p - begin);
        break;
      }
      dst = put_utf8(ch, dst);
      p += len;
      singles += 2 - len;
      pairs += len - 1;
    }
    if (result.used != text.size()) break;
  }
  out.resize(std::size_t(dst - out.data()));
  return result;
}

Converted DoubleByteCodePage::from_utf8(std::string_view text, bool last, std::string& out) {
  const std::size_t size = last ? text.size() : utf8_whole_length(text);
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + size;
  // Never more bytes out than in, and room for the eight-byte copies of ASCII.
  const std::size_t old = out.size();
  out.resize(old + size + 8);
  char* dst = out.data() + old;
  const auto* p = begin;
  Converted result{size, npos, false};
  while (p < end) {
    copy_ascii(p, end, dst);
    while (p < end && *p >= 0x80) {
      char32_t cp;
      const std::size_t len = utf8_decode(p, end, cp);
      const std::uint16_t code = len != 0 && cp < 0x10000 ? bytes_of_[cp] : 0;
      if (code == 0) {
        result.used = result.loss = std::size_t(p - begin);
        break;
      }
      if (code >= 0x100) *dst++ = char(code >> 8);
      *dst++ = char(code);
      p += len;
    }
    if (result.loss != npos) break;
  }
  out.resize(std::size_t(dst - out.data()));
  return result;
}

}  // namespace nivra
