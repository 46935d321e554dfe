#include <gtest/gtest.h>

#include <string>

#include "text/cp1252.h"
#include "text/unicode.h"

namespace nivra {
namespace {

constexpr auto npos = std::string_view::npos;

// Bytes 0x80 to 0x9F as Windows' own table has them; every other byte is its own value.
TEST(Cp1252, EveryByteStandsForItsWindowsCharacter) {
  const char32_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  for (unsigned b = 0; b < 256; ++b) {
    const char32_t cp = b >= 0x80 && b < 0xA0 ? high[b - 0x80] : b;
    EXPECT_EQ(cp1252_char(static_cast<unsigned char>(b)), cp) << std::hex << b;
  }
}

TEST(Cp1252, CharactersWithoutAByteAreRefusedAtTheirOffset) {
  const struct {
    std::string utf8;
    std::size_t offset;
  } cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC", npos},
      {"\xC2\x80", 0},                           // U+0080: byte 0x80 is the euro sign
      {"ab\xC4\x80", 2},                         // U+0100
      {"0123456789ab\xEF\xBB\xBF", 12},          // U+FEFF after a long ASCII run
      {"\xC3\xA9\xF0\x9F\x98\x80", 2},           // U+1F600
      {"\xC3\xA9\xC3", 2},                       // malformed: truncated
  };
  for (const auto& c : cases) {
    Cp1252CodePage page;
    std::string out;
    EXPECT_EQ(page.from_utf8(c.utf8, true, out).loss, c.offset) << testing::PrintToString(c.utf8);
  }
}

}  // namespace
}  // namespace nivra
