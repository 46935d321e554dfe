// transcode_lines over texts larger than one group of lines, written to a real file.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "convert/transcode_lines.h"
#include "platform/posix/posix_platform.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

std::string transcode(std::string_view content, CodePage source) {
  TempDir dir;
  PosixPlatform platform;
  const int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  std::string buffer;
  BlockWriter writer(platform, File{fd}, buffer);
  transcode_lines(platform, content, 0, source, CodePage::utf8, writer);
  EXPECT_TRUE(writer.finish().ok());
  close(fd);
  return read_file(dir / "out");
}

// A line feed byte that is half of another code unit (U+0A41, U+010A) is no line end,
// and a group never ends between the two bytes of a unit or the two units of a pair.
TEST(TranscodeLines, Utf16TextsLongerThanAGroupKeepEveryCharacter) {
  const std::string utf8_line = "\xE0\xA9\x81\xC4\x8A \xF0\x9D\x84\x9E caf\xC3\xA9\n";
  const std::string le_line(
      "\x41\x0A\x0A\x01\x20\x00\x34\xD8\x1E\xDD\x20\x00"
      "c\0a\0f\0\xE9\0\n\0",
      22);
  std::string be_line;
  for (std::size_t i = 0; i < le_line.size(); i += 2) be_line += {le_line[i + 1], le_line[i]};
  // Leads of 0 and 7 units put the first line feed byte after a group's size in the
  // second byte of a unit in one order and in the first in the other.
  for (std::size_t lead : {0, 7}) {
    const std::string le = repeat(std::string("x\0", 2), lead) + repeat(le_line, 30000);
    const std::string be = repeat(std::string("\0x", 2), lead) + repeat(be_line, 30000);
    const std::string want = repeat("x", lead) + repeat(utf8_line, 30000);
    EXPECT_TRUE(transcode(le, CodePage::utf16le) == want) << "little-endian, lead " << lead;
    EXPECT_TRUE(transcode(be, CodePage::utf16be) == want) << "big-endian, lead " << lead;
  }
}

}  // namespace
}  // namespace nivra::test
