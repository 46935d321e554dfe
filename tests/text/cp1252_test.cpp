#include <gtest/gtest.h>

#include <string>

#include "text/cp1252.h"
#include "text/unicode.h"

namespace nivra {
namespace {

constexpr auto npos = std::string_view::npos;

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
