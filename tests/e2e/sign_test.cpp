// nivra-sign started as a user starts it: copied into a tree, run by its full path
// from another folder, judged by the bytes it leaves on disk and what it prints.

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

TEST(SignProgram, ConvertsAnsiSourcesAndKeepsBackups) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  write_file(tree / "main.c", "/* caf\xE9 */\r\nint x;\n");
  write_file(tree / "sub/deeper/util.H", "\x80 \x81\n");
  write_file(tree / "lib.hpp", "caf\xE9");
  write_file(tree / ".git/hook.c", "caf\xE9");

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(tree / "main.c"), "\xEF\xBB\xBF/* caf\xC3\xA9 */\r\nint x;\n");
  EXPECT_EQ(read_file(tree / "main.c.OLD"), "/* caf\xE9 */\r\nint x;\n");
  EXPECT_EQ(read_file(tree / "sub/deeper/util.H"), "\xEF\xBB\xBF\xE2\x82\xAC \xC2\x81\n");
  EXPECT_EQ(read_file(tree / "lib.hpp"), "caf\xE9");
  EXPECT_EQ(read_file(tree / ".git/hook.c"), "caf\xE9");
  EXPECT_FALSE(exists(tree / "lib.hpp.OLD"));
}

}  // namespace
}  // namespace nivra::test
