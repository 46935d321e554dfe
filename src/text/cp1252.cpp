#include "text/cp1252.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "text/single_byte.h"
#include "text/unicode.h"
#include "text/vector.h"

namespace nivra {

namespace {

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

// The byte of each character above U+00FF that Windows-1252 holds, found by the low
// nine bits of the code point, which differ for all of them; 0 where there is none.
constexpr unsigned REVERSE_MASK = 0x1FF;

constexpr std::array<unsigned char, REVERSE_MASK + 1> make_reverse() {
  std::array<unsigned char, REVERSE_MASK + 1> reverse{};
  for (unsigned i = 0; i < 32; ++i) {
    const char32_t cp = HIGH_CONTROLS[i];
    if (cp <= 0xFF) continue;
    unsigned char& slot = reverse[cp & REVERSE_MASK];
    if (slot != 0) throw "two characters share a slot";  // stops the compilation
    slot = static_cast<unsigned char>(0x80 + i);
  }
  return reverse;
}

constexpr std::array<unsigned char, REVERSE_MASK + 1> REVERSE = make_reverse();

// How many bytes of `text` are above 0x7F, counted eight at a time.
std::size_t count_high(const unsigned char* p, const unsigned char* end) {
  constexpr std::uint64_t LOW_BITS = 0x0101010101010101ull;
  constexpr std::uint64_t EVEN_BYTES = 0x00FF00FF00FF00FFull;
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

// Decodes the UTF-8 character at `p` (before `end`) into its Windows-1252 byte `b`.
// Returns its length, or 0 when the bytes there are malformed or stand for a character
// that Windows-1252 cannot hold. The letters of U+0080 to U+00FF take a short way.
inline std::size_t decode_to_cp1252(const unsigned char* p, const unsigned char* end,
                                    unsigned char& b) {
  if ((p[0] == 0xC2 || p[0] == 0xC3) && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
    const unsigned cp = (p[0] & 0x03u) << 6 | (p[1] & 0x3Fu);
    if (cp < 0xA0 && HIGH_CONTROLS[cp - 0x80] != cp) return 0;
    b = static_cast<unsigned char>(cp);
    return 2;
  }
  char32_t cp;
  const std::size_t len = utf8_decode(p, end, cp);
  if (len == 0) return 0;
  const int byte = cp1252_byte(cp);
  if (byte < 0) return 0;
  b = static_cast<unsigned char>(byte);
  return len;
}

}  // namespace

char32_t cp1252_char(unsigned char b) {
  return (b >= 0x80 && b < 0xA0) ? HIGH_CONTROLS[b - 0x80] : b;
}

int cp1252_byte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return int(cp);
  if (cp < 0xA0) return HIGH_CONTROLS[cp - 0x80] == cp ? int(cp) : -1;
  const unsigned char b = REVERSE[cp & REVERSE_MASK];
  return b != 0 && HIGH_CONTROLS[b - 0x80] == cp ? int(b) : -1;
}

static void portable_cp1252_to_utf8(std::string_view text, std::string& out) {
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = src + text.size();
  const std::size_t old = out.size();
  // Room for every byte above 0x7F to take three, and two to spare: a character's form
  // is copied three bytes at a time.
  out.resize(old + text.size() + 2 * count_high(src, end) + 2);
  char* dst = out.data() + old;
  while (src < end) {
    // Eight bytes at a time, copied before they are looked at: the output has room,
    // since it is never shorter than the input that is left.
    copy_ascii_words(src, end, dst);
    // One byte at a time while they are not ASCII, and to the end.
    do {
      if (src == end) break;
      const Utf8Form& f = FORMS[*src++];
      std::memcpy(dst, f.bytes, 3);
      dst += f.len;
    } while (end - src < 8 || *src >= 0x80);
  }
  out.resize(std::size_t(dst - out.data()));
}

static std::size_t portable_first_not_cp1252(std::string_view text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  const auto* p = begin;
  for (;;) {
    p += ascii_run(p, end);
    // The characters that follow one another without ASCII between them.
    while (p < end && *p >= 0x80) {
      unsigned char b;
      const std::size_t len = decode_to_cp1252(p, end, b);
      if (len == 0) return std::size_t(p - begin);
      p += len;
    }
    if (p == end) return std::string_view::npos;
  }
}

static void portable_utf8_to_cp1252(std::string_view text, std::string& out) {
  const std::size_t old = out.size();
  out.resize(old + text.size());
  char* dst = out.data() + old;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // As above: the output is never longer than the input that is left.
    copy_ascii_words(p, end, dst);
    do {
      if (p == end) break;
      if (*p < 0x80) {
        *dst++ = char(*p++);
        continue;
      }
      unsigned char b;
      std::size_t len = decode_to_cp1252(p, end, b);
      if (len == 0) {
        // The caller has checked the text; a malformed byte that slips through is kept
        // as it is, and a character without a byte becomes 0xFF.
        char32_t cp;
        len = utf8_decode(p, end, cp);
        b = len == 0 ? *p : 0xFF;
        if (len == 0) len = 1;
      }
      *dst++ = char(b);
      p += len;
    } while (end - p < 8 || *p >= 0x80);
  }
  out.resize(std::size_t(dst - out.data()));
}

void cp1252_to_utf8(std::string_view text, std::string& out) {
  if (text_kernels() == nullptr) return portable_cp1252_to_utf8(text, out);
  cp1252_code_page().to_utf8(text, true, out);
}

std::size_t utf8_first_not_cp1252(std::string_view text) {
  if (text_kernels() == nullptr) return portable_first_not_cp1252(text);
  // Converted a piece at a time into a buffer that stays small.
  constexpr std::size_t PIECE = 64 * 1024;
  std::string scratch;
  for (std::size_t i = 0;;) {
    const std::string_view piece = text.substr(i, PIECE);
    const bool last = i + piece.size() == text.size();
    scratch.clear();
    const Converted c = cp1252_code_page().from_utf8(piece, last, scratch);
    if (!c.lossless()) return i + c.loss;
    i += c.used;
    if (last) return std::string_view::npos;
  }
}

void utf8_to_cp1252(std::string_view text, std::string& out) {
  if (text_kernels() == nullptr) return portable_utf8_to_cp1252(text, out);
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    i += cp1252_code_page().from_utf8(text.substr(i), true, out).used;
    if (i == text.size()) break;
    // As the portable code does with what it cannot convert.
    char32_t cp;
    const std::size_t len = utf8_decode(begin + i, begin + text.size(), cp);
    out.push_back(len == 0 ? char(begin[i]) : '\xFF');
    i += len == 0 ? 1 : len;
  }
}

}  // namespace nivra
