// The kernels in plain C++, a character or eight bytes at a time: what a processor without
// a vector unit runs, and what the vector kernels are held against.

#include <cstring>

#include "text/scalar.h"
#include "text/vector.h"

namespace nivra {

namespace {

using uchar = unsigned char;

std::size_t ascii_prefix(const uchar* p, std::size_t n) { return ascii_run(p, p + n); }

std::size_t count_high(const uchar* p, std::size_t n) {
  constexpr std::uint64_t LOW_BITS = 0x0101010101010101ull;
  constexpr std::uint64_t EVEN_BYTES = 0x00FF00FF00FF00FFull;
  const uchar* const end = p + n;
  std::size_t count = 0;
  while (end - p >= 8) {
    // Eight counters of one byte each, summed before any can pass 255.
    std::uint64_t counters = 0;
    for (int i = 0; i < 255 && end - p >= 8; ++i, p += 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      counters += word >> 7 & LOW_BITS;
    }
    const std::uint64_t pairs = (counters & EVEN_BYTES) + (counters >> 8 & EVEN_BYTES);
    count += std::size_t((pairs * 0x0001000100010001ull) >> 48);
  }
  for (; p < end; ++p) count += *p >> 7;
  return count;
}

std::size_t utf8_valid_prefix(const uchar* begin, std::size_t n) {
  const uchar* const end = begin + n;
  const uchar* p = begin;
  while (p < end) {
    p += ascii_run(p, end);
    if (p == end) break;
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    if (len == 0) break;
    p += len;
  }
  return std::size_t(p - begin);
}

std::size_t bytes_to_utf8(const ByteForms& f, const uchar* src, std::size_t n, char* dst,
                          std::size_t room, std::size_t* written) {
  const uchar* p = src;
  const uchar* const end = src + n;
  char* d = dst;
  char* const dend = dst + room;
  while (p < end && dend - d >= 3) {
    if (*p < 0x80) {
      // ASCII is as long out as in, and the copy writes eight bytes past it.
      if (std::size_t(dend - d) >= std::size_t(end - p) + 8) copy_ascii_words(p, end, d);
      while (p < end && *p < 0x80 && d < dend) *d++ = char(*p++);
      continue;
    }
    const std::uint32_t form = f.form[*p];
    if ((form >> 24) == 0) break;
    d[0] = char(form);
    d[1] = char(form >> 8);
    d[2] = char(form >> 16);
    d += form >> 24;
    ++p;
  }
  *written = std::size_t(d - dst);
  return std::size_t(p - src);
}

std::size_t utf8_to_bytes(const ByteForms& f, const uchar* src, std::size_t n, char* dst,
                          std::size_t* written) {
  const uchar* p = src;
  const uchar* const end = src + n;
  char* d = dst;
  // Never more bytes out than in, and room for the eight-byte copies of ASCII.
  while (p < end) {
    copy_ascii_words(p, end, d);
    if (p == end) break;
    if (*p < 0x80) {
      *d++ = char(*p++);
      continue;
    }
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    const unsigned b = len != 0 && cp < 0x10000 ? f.byte[cp] : 0;
    if (b == 0) break;
    *d++ = char(b);
    p += len;
  }
  *written = std::size_t(d - dst);
  return std::size_t(p - src);
}

}  // namespace

const TextKernels& portable_text_kernels() {
  static const TextKernels k = {"portable",    ascii_prefix,  count_high,
                                utf8_valid_prefix, bytes_to_utf8, utf8_to_bytes};
  return k;
}

}  // namespace nivra
