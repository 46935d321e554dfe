#include "platform/cp1252.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "platform/unicode.h"

namespace nivra {

namespace {

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ull;

// The characters of bytes 0x80 to 0x9F; every other byte stands for the code point
// of its own value.
constexpr char32_t HIGH_CONTROLS[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The UTF-8 form of every byte: its length, then up to three bytes.
struct Utf8Form {
  unsigned char len;
  char bytes[3];
};

constexpr std::array<Utf8Form, 256> make_forms() {
  std::array<Utf8Form, 256> forms{};
  for (unsigned b = 0; b < 256; ++b) {
    const char32_t cp = (b >= 0x80 && b < 0xA0) ? HIGH_CONTROLS[b - 0x80] : b;
    Utf8Form& f = forms[b];
    if (cp < 0x80) {
      f = {1, {char(cp), 0, 0}};
    } else if (cp < 0x800) {
      f = {2, {char(0xC0 | cp >> 6), char(0x80 | (cp & 0x3F)), 0}};
    } else {
      f = {3, {char(0xE0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3F)), char(0x80 | (cp & 0x3F))}};
    }
  }
  return forms;
}

constexpr std::array<Utf8Form, 256> FORMS = make_forms();

}  // namespace

char32_t cp1252_char(unsigned char b) {
  return (b >= 0x80 && b < 0xA0) ? HIGH_CONTROLS[b - 0x80] : b;
}

int cp1252_byte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return int(cp);
  for (int i = 0; i < 32; ++i) {
    if (HIGH_CONTROLS[i] == cp) return 0x80 + i;
  }
  return -1;
}

void cp1252_to_utf8(std::string_view text, std::string& out) {
  const std::size_t old = out.size();
  out.resize(old + 3 * text.size());
  char* dst = out.data() + old;
  const char* src = text.data();
  const char* end = src + text.size();
  while (src < end) {
    // Runs of ASCII are copied eight bytes at a time.
    while (end - src >= 8) {
      std::uint64_t word;
      std::memcpy(&word, src, 8);
      if (word & HIGH_BITS) break;
      std::memcpy(dst, src, 8);
      src += 8;
      dst += 8;
    }
    if (src == end) break;
    const Utf8Form& f = FORMS[static_cast<unsigned char>(*src++)];
    std::memcpy(dst, f.bytes, 3);
    dst += f.len;
  }
  out.resize(std::size_t(dst - out.data()));
}

std::size_t utf8_first_not_cp1252(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const auto* p = begin;
  while (p < end) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & HIGH_BITS) break;
      p += 8;
    }
    if (p == end) break;
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    if (len == 0 || cp1252_byte(cp) < 0) return std::size_t(p - begin);
    p += len;
  }
  return std::string_view::npos;
}

void utf8_to_cp1252(std::string_view text, std::string& out) {
  const std::size_t old = out.size();
  out.resize(old + text.size());
  char* dst = out.data() + old;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & HIGH_BITS) break;
      std::memcpy(dst, p, 8);
      p += 8;
      dst += 8;
    }
    if (p == end) break;
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    // The caller has checked the text; a byte that slips through is kept as it is.
    if (len == 0) {
      *dst++ = char(*p++);
      continue;
    }
    *dst++ = char(cp1252_byte(cp));
    p += len;
  }
  out.resize(std::size_t(dst - out.data()));
}

}  // namespace nivra
