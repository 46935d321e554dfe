// nivra-sign run by an ordinary user over a tree where the permission bits stop it in
// places: each place gets its message and its stderr line and stays as it was.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

TEST(Permissions, EachRefusedPlaceGetsItsMessageAndStaysAsItWas) {
  if (running_as_root() && !can_run_unprivileged())
    GTEST_SKIP() << "the tests run as root and there is no unprivileged user to run as";
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  const std::string ansi = "caf\xE9\n";
  write_file(tree / "ok.c", ansi);
  write_file(tree / "unreadable.c", ansi, 0000);
  write_file(tree / "readonly/in.c", ansi);
  write_file(tree / "unlisted/in.c", ansi);
  write_file(tree / "sub/ok.h", ansi);
  give_to_unprivileged(tree.path());
  chmod((tree / "readonly").c_str(), 0555);
  chmod((tree / "unlisted").c_str(), 0311);
  auto expected = tree_of(tree.path());
  RunOptions o;
  o.unprivileged = true;

  const ProgramResult r = run(program, o);

  EXPECT_EQ(r.status, 1);
  const std::string denied = "Permission denied";
  EXPECT_EQ(sorted_lines(r.out),
            sorted_lines(std::string(MSG_OPEN_FAILED) + std::string(MSG_CREATE_FAILED) +
                         std::string(MSG_DIR_FAILED)));
  EXPECT_EQ(sorted_lines(r.err),
            sorted_lines(diagnostic_line(Direction::sign, tree / "readonly/in.c", denied) +
                         diagnostic_line(Direction::sign, tree / "unlisted", denied) +
                         diagnostic_line(Direction::sign, tree / "unreadable.c", denied)));
  // The rest is converted; nothing else changes and nothing appears.
  expected["ok.c"] = expected["sub/ok.h"] = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9\n";
  expected["ok.c.OLD"] = expected["sub/ok.h.OLD"] = ansi;
  EXPECT_EQ(tree_of(tree.path()), expected);
  EXPECT_EQ(mode_of(tree / "unreadable.c"), 0000u);
  EXPECT_EQ(mode_of(tree / "readonly"), 0555u);
  EXPECT_EQ(mode_of(tree / "unlisted"), 0311u);
}

}  // namespace
}  // namespace nivra::test
