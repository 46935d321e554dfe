#include <gtest/gtest.h>

#include <string>

#include "platform/cp1252.h"
#include "platform/unicode.h"

namespace nivra {
namespace {

TEST(Cp1252, EveryByteRoundTripsThroughUtf8) {
  for (unsigned b = 0; b < 256; ++b) {
    const std::string byte(1, char(b));
    std::string utf8, back;
    cp1252_to_utf8(byte, utf8);
    ASSERT_EQ(utf8_first_invalid(utf8), std::string_view::npos) << std::hex << b;
    ASSERT_EQ(utf8_first_not_cp1252(utf8), std::string_view::npos) << std::hex << b;
    utf8_to_cp1252(utf8, back);
    EXPECT_EQ(back, byte) << std::hex << b;
  }
}

TEST(Cp1252, BytesStandForWindowsCharacters) {
  const struct {
    unsigned char byte;
    char32_t cp;
  } cases[] = {
      {0x00, 0x0000}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x8A, 0x0160},
      {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x92, 0x2019}, {0x9D, 0x009D},
      {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xE9, 0x00E9}, {0xFF, 0x00FF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cp1252_char(c.byte), c.cp) << std::hex << unsigned(c.byte);
    EXPECT_EQ(cp1252_byte(c.cp), c.byte) << std::hex << unsigned(c.cp);
  }
  std::string utf8;
  cp1252_to_utf8("caf\xE9 \x80 \x81", utf8);
  EXPECT_EQ(utf8, "caf\xC3\xA9 \xE2\x82\xAC \xC2\x81");
}

TEST(Cp1252, CharactersWithoutAByteAreRefusedAtTheirOffset) {
  const struct {
    std::string utf8;
    std::size_t offset;
  } cases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC", std::string_view::npos},
      {"\xC2\x80", 0},                           // U+0080: byte 0x80 is the euro sign
      {"ab\xC4\x80", 2},                         // U+0100
      {"0123456789ab\xEF\xBB\xBF", 12},          // U+FEFF after a long ASCII run
      {"\xC3\xA9\xF0\x9F\x98\x80", 2},           // U+1F600
      {"\xC3\xA9\xC3", 2},                       // malformed: truncated
  };
  for (const auto& c : cases)
    EXPECT_EQ(utf8_first_not_cp1252(c.utf8), c.offset) << testing::PrintToString(c.utf8);
}

}  // namespace
}  // namespace nivra
