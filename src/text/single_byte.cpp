#include "text/single_byte.h"

#include <algorithm>

#include "text/unicode.h"

namespace nivra {

SingleByteCodePage::SingleByteCodePage(const SingleByteTable& table) : table_(table) {
  for (unsigned i = 0; i < 128; ++i)
    if (table.high[i] != NO_CHARACTER)
      reverse_.emplace_back(table.high[i], static_cast<unsigned char>(0x80 + i));
  std::sort(reverse_.begin(), reverse_.end());
}

int SingleByteCodePage::byte_of(char32_t cp) const {
  if (cp < 0x80) return int(cp);
  const auto it = std::lower_bound(reverse_.begin(), reverse_.end(),
                                   std::pair<char32_t, unsigned char>(cp, 0));
  return it != reverse_.end() && it->first == cp ? it->second : -1;
}

Converted SingleByteCodePage::to_utf8(std::string_view text, bool, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (p[i] < 0x80) {
      out.push_back(char(p[i]));
      continue;
    }
    const char32_t cp = table_.high[p[i] - 0x80];
    if (cp == NO_CHARACTER) return Converted{i, i, false};
    utf8_append(cp, out);
  }
  return Converted{text.size(), std::string_view::npos, false};
}

Converted SingleByteCodePage::from_utf8(std::string_view text, bool last, std::string& out) {
  const std::size_t size = last ? text.size() : utf8_whole_length(text);
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* p = begin;
  const auto* end = begin + size;
  while (p < end) {
    char32_t cp;
    const std::size_t len = utf8_decode(p, end, cp);
    const int b = len ? byte_of(cp) : -1;
    if (b < 0) return Converted{std::size_t(p - begin), std::size_t(p - begin), false};
    out.push_back(char(b));
    p += len;
  }
  return Converted{size, std::string_view::npos, false};
}

}  // namespace nivra
