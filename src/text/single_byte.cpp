#include "text/single_byte.h"

#include <algorithm>

#include "text/unicode.h"
#include "text/vector.h"

namespace nivra {

namespace {

constexpr std::size_t npos = std::string_view::npos;

/// The forms of one byte: UTF-8 in memory order, the length in the top byte; 0 where the
/// kernels leave the byte to their caller (no character, or outside the BMP).
std::uint32_t form_of(char32_t cp) {
  if (cp < 0x80) return 0x01000000u | cp;
  if (cp < 0x800) return 0x02000000u | (0x80 | (cp & 0x3F)) << 8 | (0xC0 | cp >> 6);
  if (cp > 0xFFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return 0x03000000u | (0x80 | (cp & 0x3F)) << 16 | (0x80 | (cp >> 6 & 0x3F)) << 8 |
         (0xE0 | cp >> 12);
}

}  // namespace

SingleByteCodePage::SingleByteCodePage(const SingleByteTable& table) : table_(table) {
  for (unsigned i = 0; i < 128; ++i)
    if (table.high[i] != NO_CHARACTER)
      reverse_.emplace_back(table.high[i], static_cast<unsigned char>(0x80 + i));
  std::sort(reverse_.begin(), reverse_.end());

  auto forms = std::make_shared<ByteForms>();
  ByteForms& f = *forms;
  for (unsigned b = 0; b < 256; ++b) f.form[b] = form_of(b < 0x80 ? b : table.high[b - 0x80]);
  // By character, so that a character of two bytes keeps the lower, as byte_of() does.
  for (unsigned c = 0; c < 0x80; ++c) f.byte[c] = std::uint16_t(0x100 | c);
  for (auto it = reverse_.rbegin(); it != reverse_.rend(); ++it)
    if (it->first >= 0x80 && form_of(it->first) != 0) f.byte[it->first] = std::uint16_t(0x100 | it->second);
  choose_byte_rows(f);
  forms_ = std::move(forms);
}

int SingleByteCodePage::byte_of(char32_t cp) const {
  if (cp < 0x80) return int(cp);
  const auto it = std::lower_bound(reverse_.begin(), reverse_.end(),
                                   std::pair<char32_t, unsigned char>(cp, 0));
  return it != reverse_.end() && it->first == cp ? it->second : -1;
}

Converted SingleByteCodePage::to_utf8(std::string_view text, bool, std::string& out) {
  const TextKernels& k = text_kernels();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0, size = out.size();
  // A character takes at most three bytes; one round, unless a byte is left over.
  const std::size_t most = n + 2 * k.count_high(p, n) + 256;
  while (i < n) {
    const std::size_t room = i == 0 ? most : 3 * (n - i) + 256;
    out.resize(size + room);
    std::size_t written;
    i += k.bytes_to_utf8(*forms_, p + i, n - i, out.data() + size, room, &written);
    size += written;
    if (i == n || forms_->form[p[i]] != 0) continue;
    out.resize(size);
    const char32_t cp = table_.high[p[i] - 0x80];
    if (cp == NO_CHARACTER) return Converted{i, i, false};
    utf8_append(cp, out);
    size = out.size();
    ++i;
  }
  out.resize(size);
  return Converted{n, npos, false};
}

Converted SingleByteCodePage::from_utf8(std::string_view text, bool last, std::string& out) {
  const std::string_view piece = last ? text : text.substr(0, utf8_whole_length(text));
  const TextKernels& k = text_kernels();
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  const auto* end = p + piece.size();
  const std::size_t n = piece.size();
  std::size_t i = 0, size = out.size();
  while (i < n) {
    out.resize(size + (n - i) + 64);
    std::size_t written;
    i += k.utf8_to_bytes(*forms_, p + i, n - i, out.data() + size, &written);
    size += written;
    if (i == n) break;
    // What the kernels leave: a loss, or a character outside the BMP.
    char32_t cp;
    const std::size_t len = utf8_decode(p + i, end, cp);
    const int b = len ? byte_of(cp) : -1;
    if (b < 0) {
      out.resize(size);
      return Converted{i, i, false};
    }
    out[size++] = char(b);
    i += len;
  }
  out.resize(size);
  return Converted{n, npos, false};
}

}  // namespace nivra
