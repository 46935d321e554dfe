// UTF-16 sources longer than one conversion group.

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace nivra::test {
namespace {

// The text is converted in groups of whole lines; in UTF-16 a group must end after the
// two bytes of a line feed, never between them.
TEST(Utf16Groups, LargeFilesAreSignedWhole) {
  for (const bool big_endian : {false, true}) {
    TempDir tree;
    std::string content = big_endian ? "\xFE\xFF" : "\xFF\xFE", expected = "\xEF\xBB\xBF";
    for (int i = 0; i < 60000; ++i) {
      // "e\u00E9\n" as UTF-16, then as UTF-8.
      content += big_endian ? std::string("\0e\0\xE9\0\n", 6) : std::string("e\0\xE9\0\n\0", 6);
      expected += "e\xC3\xA9\n";
    }
    write_file(tree / "wide.c", content);
    const ProgramResult r = run(install_program(tree.path(), Direction::sign));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(tree / "wide.c") == expected) << (big_endian ? "BE" : "LE");
  }
}

}  // namespace
}  // namespace nivra::test
