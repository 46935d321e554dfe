// nivra-unsign started as a user starts it: copied into a tree, run by its full path
// from another folder, judged by the bytes it leaves on disk and what it prints.

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

using namespace std::string_literals;

const std::string SIG = "\xEF\xBB\xBF";

TEST(UnsignProgram, SignedFilesBecomeAnsiWithoutTheSignature) {
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::unsign, {
      {"text.c", SIG + "caf\xC3\xA9 \xE2\x82\xAC\r\nint x;\n", "caf\xE9 \x80\r\nint x;\n"},
      {"controls.h", SIG + "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D", "\x81\x8D\x8F\x90\x9D"},
      {"bare.c", SIG, ""},
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(UnsignProgram, FilesWithoutTheSignatureAreSkipped) {
  std::vector<FileCase> cases;
  for (const std::string& content :
       {""s, "a"s, "\xEF\xBB"s, "\xEF\xBB\xBE"s, "caf\xC3\xA9\n"s, "caf\xE9\n"s,
        "\xFF\xFE" "a\0"s, "\xFE\xFF\0a"s})
    cases.push_back({std::to_string(cases.size()) + ".c", content, content});
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::unsign, cases);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, repeat(MSG_NOT_SIGNED, cases.size()));
}

// Windows-1252 cannot hold it, or it is not well-formed UTF-8: the file stays as it is,
// and the line, the column in characters and the offset of the first such byte, signature
// included, go to standard error.
TEST(UnsignProgram, WhatWindows1252CannotHoldIsRefusedWithItsOffset) {
  const struct {
    const char* name;
    std::string text;
    int offset;
    std::string place;
  } cases[] = {
      {"no_byte.c", "x\xC4\x80", 4, "line 1, column 2"},  // U+0100
      {"c1_without_byte.c", "\xC2\x80", 3, "line 1, column 1"},  // 0x80 is the euro sign
      {"emoji.c", "ok \xF0\x9F\x98\x80", 6, "line 1, column 4"},
      {"second_signature.c", SIG + "int x;", 3, "line 1, column 1"},
      {"overlong.c", "ab\xC0\xAF", 5, "line 1, column 3"},
      {"overlong3.c", "\xE0\x80\xAF", 3, "line 1, column 1"},
      {"surrogate.c", "\xED\xA0\x80", 3, "line 1, column 1"},
      {"above_max.c", "\xF4\x90\x80\x80", 3, "line 1, column 1"},
      {"lead_f5.c", "\xF5\x80\x80\x80", 3, "line 1, column 1"},
      {"lead_ff.c", "a\xFF", 4, "line 1, column 2"},
      {"lone_continuation.c", "\x80", 3, "line 1, column 1"},
      {"bad_continuation.c", "\xC3" "a", 3, "line 1, column 1"},
      {"truncated.c", "abc\xE2\x82", 6, "line 1, column 4"},
      {"late.c", "\xC3\xA9 fine\n" + std::string(5000, 'x') + "\xC4\x80", 5011,
       "line 2, column 5001"},
  };
  std::vector<FileCase> files;
  for (const auto& c : cases) files.push_back(refused(c.name, SIG + c.text, c.offset, c.place));
  TempDir tree;
  const ProgramResult r = run_cases(tree, Direction::unsign, files);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_LOSSY, std::size(cases)));
}

}  // namespace
}  // namespace nivra::test
