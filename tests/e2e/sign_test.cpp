// nivra-sign started as a user starts it: copied into a tree, run by its full path
// from another folder, judged by the bytes it leaves on disk and what it prints.

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

using namespace std::string_literals;

const std::string SIG = "\xEF\xBB\xBF";

// Valid UTF-8 with a character beyond ASCII is text already: it only gets the signature.
// Anything that is not well-formed UTF-8 is Windows-1252, however short; line ends stay.
TEST(SignProgram, Utf8TextKeepsItsBytesAndEverythingElseIsAnsi) {
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::sign, {
      {"ansi.c", "/* caf\xE9 */\r\n\x80 \x81\n",
       SIG + "/* caf\xC3\xA9 */\r\n\xE2\x82\xAC \xC2\x81\n"},
      {"empty.c", "", SIG},
      {"one.c", "\xE9", SIG + "\xC3\xA9"},
      {"two.c", "\xEF\xBB", SIG + "\xC3\xAF\xC2\xBB"},
      {"utf8.c", "caf\xC3\xA9 \xE2\x82\xAC\n", SIG + "caf\xC3\xA9 \xE2\x82\xAC\n"},
      {"emoji.h", "\xF0\x9F\x98\x80", SIG + "\xF0\x9F\x98\x80"},
      {"ascii.c", "int x;\r\n", SIG + "int x;\r\n"},
      {"mixed.c", "\xC3\xA9\xE9", SIG + "\xC3\x83\xC2\xA9\xC3\xA9"},
      {"overlong.c", "\xC0\xAF", SIG + "\xC3\x80\xC2\xAF"},
      {"surrogate.c", "\xED\xA0\x80", SIG + "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
      {"truncated.c", "caf\xC3", SIG + "caf\xC3\x83"},
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(SignProgram, SignedFilesAreSkippedWhateverFollows) {
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::sign, {
      {"bare.c", SIG, SIG},
      {"ansi_after.c", SIG + "caf\xE9\xFF", SIG + "caf\xE9\xFF"},
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, repeat(MSG_ALREADY_SIGNED, 2));
}

// The byte-order mark goes; CR LF stays; a surrogate pair becomes one character. A UTF-32
// mark is never taken for UTF-16 followed by a NUL.
TEST(SignProgram, Utf16AndUtf32FilesOfBothByteOrdersBecomeSignedUtf8) {
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::sign, {
      {"le.c", "\xFF\xFE" "a\0\xE9\0\r\0\n\0\x3D\xD8\x00\xDE"s, SIG + "a\xC3\xA9\r\n\xF0\x9F\x98\x80"},
      {"be.h", "\xFE\xFF\0a\0\xE9\0\r\0\n\xD8\x3D\xDE\x00"s, SIG + "a\xC3\xA9\r\n\xF0\x9F\x98\x80"},
      {"bom_only.c", "\xFF\xFE", SIG},
      {"le32.c", "\xFF\xFE\0\0" "a\0\0\0\xE9\0\0\0\r\0\0\0\n\0\0\0\0\xF6\x01\0"s,
       SIG + "a\xC3\xA9\r\n\xF0\x9F\x98\x80"},
      {"be32.h", "\0\0\xFE\xFF" "\0\0\0a\0\0\0\xE9\0\0\0\n\0\x01\xF6\0"s,
       SIG + "a\xC3\xA9\n\xF0\x9F\x98\x80"},
      {"bom32_only.c", "\xFF\xFE\0\0"s, SIG},
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(SignProgram, MalformedUtf16IsLeftAloneAndReported) {
  const std::vector<FileCase> cases = {
      refused("odd.c", "\xFF\xFE" "a\0\n"s, 4),
      refused("unpaired_high.c", "\xFF\xFE\x3D\xD8" "a\0"s, 2),
      refused("high_at_end.h", "\xFF\xFE" "a\0\x3D\xD8"s, 4),
      refused("lone_low.cpp", "\xFE\xFF\0a\xDC\x00"s, 4, "line 1, column 2"),
      refused("short32.c", "\xFF\xFE\0\0" "a\0\0\0\n\0"s, 8),
      refused("surrogate32.c", "\xFF\xFE\0\0" "\n\0\0\0\xE9\0\0\0\x00\xD8\0\0"s, 12, "line 2, column 2"),
      refused("beyond32.h", "\0\0\xFE\xFF" "\0\x11\0\0"s, 4),
  };
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::sign, cases);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_LOSSY, cases.size()));
}

// The text is converted in groups of whole lines; in UTF-32 a group never ends inside a
// unit (UTF-16's groups: TranscodeLines.Utf16GroupsEndOnlyAfterAWholeLineFeedUnit).
TEST(Utf16Groups, LargeFilesAreSignedWhole) {
  const struct {
    std::string mark, unit;  // the byte-order mark, and "e\u00E9\n"
  } cases[] = {
      {"\xFF\xFE\0\0"s, "e\0\0\0\xE9\0\0\0\n\0\0\0"s},
      {"\0\0\xFE\xFF"s, "\0\0\0e\0\0\0\xE9\0\0\0\n"s},
  };
  for (const auto& c : cases) {
    TempDir tree;
    std::string content = c.mark, expected = SIG;
    for (int i = 0; i < 60000; ++i) {
      content += c.unit;
      expected += "e\xC3\xA9\n";
    }
    write_file(tree / "wide.c", content);
    const ProgramResult r = run(install_program(tree.path(), Direction::sign));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(tree / "wide.c") == expected) << c.mark.size() << c.unit[0];
  }
}

}  // namespace
}  // namespace nivra::test
