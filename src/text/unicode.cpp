#include "text/unicode.h"

#include <cstdint>
#include <cstring>

#include "text/vector.h"

namespace nivra {

namespace {

char16_t unit_at(const unsigned char* p, bool big_endian) {
  return big_endian ? char16_t(p[0] << 8 | p[1]) : char16_t(p[1] << 8 | p[0]);
}

}  // namespace

void utf8_append(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | cp >> 6));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | cp >> 12));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | cp >> 18));
    out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

std::size_t utf8_first_invalid(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const auto* p = begin;
  p += text_kernels().utf8_valid_prefix(begin, text.size());
  while (p < end) {
    p += ascii_run(p, end);
    if (p == end) break;
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    if (len == 0) return std::size_t(p - begin);
    p += len;
  }
  return std::string_view::npos;
}

bool is_ascii(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return text_kernels().ascii_prefix(p, text.size()) == text.size();
}

std::size_t utf16_first_invalid(std::string_view text, bool big_endian) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t units = text.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit_at(p + 2 * i, big_endian);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == units) return 2 * i;
      const char16_t next = unit_at(p + 2 * (i + 1), big_endian);
      if (next < 0xDC00 || next > 0xDFFF) return 2 * i;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return 2 * i;
    }
  }
  if (text.size() % 2 != 0) return text.size() - 1;
  return std::string_view::npos;
}

void utf16_to_utf8(std::string_view text, bool big_endian, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t units = text.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    char32_t cp = unit_at(p + 2 * i, big_endian);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit_at(p + 2 * (i + 1), big_endian);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    utf8_append(cp, out);
  }
}

}  // namespace nivra
