#include "install/install_support.h"

#include <gtest/gtest.h>

namespace nivra::test {

std::string sh_quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

ProgramResult shell(const std::string& command, const std::string& cwd) {
  RunOptions options;
  options.cwd = cwd;
  options.extra_args = {"-c", command};
  return run("/bin/sh", options);
}

bool have_tool(const std::string& name) {
  return shell("command -v " + sh_quoted(name) + " >/dev/null || exit 1").status == 0;
}

std::string built_page(Direction direction) {
  return std::string(NIVRA_MAN_PAGE_DIR) + "/" + std::string(traits(direction).program) + ".1";
}

void expect_programs_convert(const std::string& sign, const std::string& unsign) {
  TempDir tree;
  const std::string ansi = "caf\xE9\r\n";
  const std::string utf8 = "\xEF\xBB\xBF" "caf\xC3\xA9\r\n";
  write_file(tree / "src/a.c", ansi);
  const ProgramResult copied =
      shell("cp " + sh_quoted(sign) + " " + sh_quoted(unsign) + " " + sh_quoted(tree.path()));
  ASSERT_EQ(copied.status, 0) << copied.err;

  const ProgramResult signed_run = run(tree / "nivra-sign");
  EXPECT_EQ(signed_run.status, 0) << signed_run.err;
  EXPECT_EQ(signed_run.out, "");
  EXPECT_EQ(read_file(tree / "src/a.c"), utf8);
  EXPECT_EQ(read_file(tree / "src/a.c.OLD"), ansi);

  const ProgramResult unsigned_run = run(tree / "nivra-unsign");
  EXPECT_EQ(unsigned_run.status, 0) << unsigned_run.err;
  EXPECT_EQ(unsigned_run.out, "");
  EXPECT_EQ(read_file(tree / "src/a.c"), ansi);
  EXPECT_EQ(read_file(tree / "src/a.c.OLD"), utf8);
}

}  // namespace nivra::test
