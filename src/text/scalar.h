#pragma once

// The steps the portable code is made of: one UTF-8 character, or eight bytes, at a time.
// Inline, and with no source of its own, so that every part of the text code may use them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nivra {

/// Decodes the sequence at `p` (before `end`) into `cp`. Returns its length in bytes,
/// or 0 when the bytes there are not a well-formed UTF-8 sequence.
inline std::size_t utf8_decode(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  const unsigned char c = p[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  // The second byte's range depends on the lead byte; this is what rules out
  // overlong forms, surrogates and values above U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  std::size_t len;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (std::size_t(end - p) < len || p[1] < lo || p[1] > hi) return 0;
  char32_t value = c & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  cp = value;
  return len;
}

/// The high bit of each of eight bytes, as loaded from memory into one word.
inline constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

/// Index, in memory order, of the first of eight bytes whose high bit is set, given
/// the word they were loaded into masked with HIGH_BITS (not 0).
inline std::size_t first_high_byte(std::uint64_t high) {
  const int bit =
      std::endian::native == std::endian::little ? std::countr_zero(high) : std::countl_zero(high);
  return std::size_t(bit / 8);
}

/// Length of the run of bytes below 0x80 at the start of `p` (before `end`). Goes over
/// the text eight bytes at a time.
inline std::size_t ascii_run(const unsigned char* p, const unsigned char* end) {
  const unsigned char* q = p;
  while (end - q >= 8) {
    std::uint64_t word;
    std::memcpy(&word, q, 8);
    word &= HIGH_BITS;
    if (word != 0) return std::size_t(q - p) + first_high_byte(word);
    q += 8;
  }
  while (q < end && *q < 0x80) ++q;
  return std::size_t(q - p);
}

/// Copies the ASCII at the start of [p, end) to `dst` eight bytes at a time, up to the first
/// byte above 0x7F or the last whole word; `dst` must have room for eight bytes more.
inline void copy_ascii_words(const unsigned char*& p, const unsigned char* end, char*& dst) {
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    std::memcpy(dst, &word, 8);
    const std::uint64_t high = word & HIGH_BITS;
    if (high != 0) {
      const std::size_t n = first_high_byte(high);
      p += n;
      dst += n;
      return;
    }
    p += 8;
    dst += 8;
  }
}

}  // namespace nivra
