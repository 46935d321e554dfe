#include "text/code_page.h"

#include "text/unicode.h"

namespace nivra {

namespace {

constexpr std::size_t npos = std::string_view::npos;

/// The piece up to its last whole character, or all of it when it is the last.
std::string_view whole(std::string_view text, bool last) {
  return last ? text : text.substr(0, utf8_whole_length(text));
}

}  // namespace

std::size_t utf8_whole_length(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // A cut character has its lead byte among the last three bytes.
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const unsigned char c = p[n - back];
    if (c < 0x80) return n;
    if (c < 0xC0) continue;  // a continuation byte: look further back
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return len > back ? n - back : n;
  }
  return n;
}

Converted copy_utf8(std::string_view text, bool last, std::string& out) {
  const std::string_view piece = whole(text, last);
  const std::size_t bad = utf8_first_invalid(piece);
  Converted c;
  c.used = bad == npos ? piece.size() : bad;
  c.loss = bad;
  out.append(piece.substr(0, c.used));
  return c;
}

Converted utf16_to_utf8(std::string_view text, bool big_endian, bool last, std::string& out) {
  std::size_t size = text.size();
  if (!last) {
    size &= ~std::size_t(1);
    // A high surrogate at the end waits for its low half.
    if (size >= 2) {
      const auto* u = reinterpret_cast<const unsigned char*>(text.data()) + size - 2;
      const unsigned high = big_endian ? u[0] : u[1];
      if (high >= 0xD8 && high <= 0xDB) size -= 2;
    }
  }
  const std::string_view piece = text.substr(0, size);
  const std::size_t bad = utf16_first_invalid(piece, big_endian);
  Converted c;
  c.used = bad == npos ? piece.size() : bad;
  c.loss = bad;
  utf16_to_utf8(piece.substr(0, c.used), big_endian, out);
  return c;
}

Converted utf32_to_utf8(std::string_view text, bool big_endian, bool last, std::string& out) {
  const std::size_t size = text.size() & ~std::size_t(3);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  Converted c{size, npos, false};
  for (std::size_t i = 0; i < size; i += 4) {
    const char32_t cp = big_endian ? char32_t(p[i]) << 24 | p[i + 1] << 16 | p[i + 2] << 8 | p[i + 3]
                                   : char32_t(p[i + 3]) << 24 | p[i + 2] << 16 | p[i + 1] << 8 | p[i];
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      c.used = c.loss = i;
      return c;
    }
    utf8_append(cp, out);
  }
  if (last && size != text.size()) c.loss = size;
  return c;
}

}  // namespace nivra
