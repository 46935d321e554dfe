#include <gtest/gtest.h>

#include <string>

#include "text/unicode.h"

namespace nivra {
namespace {

constexpr std::size_t NONE = std::string_view::npos;

TEST(Utf8, FirstInvalidRejectsEveryMalformedForm) {
  const struct {
    std::string text;
    std::size_t offset;
  } cases[] = {
      {"", NONE},
      {"plain ascii text", NONE},
      {"\xC2\x80\xDF\xBF", NONE},                 // first and last two-byte forms
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", NONE},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", NONE},  // U+10000 and U+10FFFF
      {"\xC0\x80", 0}, {"\xC1\xBF", 0},            // overlong two-byte
      {"\xE0\x80\x80", 0}, {"\xE0\x9F\xBF", 0},    // overlong three-byte
      {"\xF0\x80\x80\x80", 0}, {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte
      {"\xED\xA0\x80", 0}, {"\xED\xBF\xBF", 0},    // encoded surrogates
      {"\xF4\x90\x80\x80", 0}, {"\xF5\x80\x80\x80", 0},  // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", 0}, {"\xFE", 0}, {"\xFF", 0},
      {"\x80", 0}, {"\xBF", 0},                    // continuation without a lead
      {"ab\xC3", 2}, {"\xE2\x82", 0}, {"x\xF0\x9F\x98", 1},  // truncated at the end
      {"\xC3" "a", 0}, {"\xE2\x82" "a", 0}, {"\xF0\x9F\x98" "a", 0},
      {"0123456789\xC3\xA9\xE9", 12},              // after a long ASCII run
  };
  for (const auto& c : cases)
    EXPECT_EQ(utf8_first_invalid(c.text), c.offset) << testing::PrintToString(c.text);
}

TEST(Utf8, EveryLeadByteHasItsSequenceLength) {
  for (unsigned lead = 0; lead < 256; ++lead) {
    // The smallest second byte that the lead byte allows, then plain continuations.
    const unsigned char second = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char bytes[4] = {static_cast<unsigned char>(lead), second, 0x80, 0x80};
    std::size_t expected = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2
                         : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    char32_t cp = 0;
    EXPECT_EQ(utf8_decode(bytes, bytes + 4, cp), expected) << std::hex << lead;
    if (expected > 1) {  // one byte short is a truncated sequence
      EXPECT_EQ(utf8_decode(bytes, bytes + expected - 1, cp), 0u) << std::hex << lead;
    }
  }
}

TEST(Utf8, EveryScalarValueRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string s;
    utf8_append(cp, s);
    char32_t back = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    ASSERT_EQ(utf8_decode(p, p + s.size(), back), s.size()) << std::hex << unsigned(cp);
    ASSERT_EQ(back, cp);
  }
}

}  // namespace
}  // namespace nivra
