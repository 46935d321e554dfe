// nivra-sign run by an ordinary user over a tree where the permission bits stop it in
// places: each place gets its message and its stderr line and stays as it was.

#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

/// The lines of `text`, sorted: the order of a listing is the system's.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at + 1));
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

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
  auto expected = snapshot(tree.path());
  expected.erase("nivra-sign");

  const ProgramResult r =
      run(program, RunOptions{.cwd = "/", .argv0 = {}, .extra_args = {}, .unprivileged = true});

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(sorted_lines(r.out),
            sorted_lines(std::string(MSG_OPEN_FAILED) + std::string(MSG_CREATE_FAILED) +
                         std::string(MSG_DIR_FAILED)));
  EXPECT_EQ(sorted_lines(r.err),
            sorted_lines("nivra-sign: " + tree.path() + "/readonly/in.c: Permission denied\n" +
                         "nivra-sign: " + tree.path() + "/unlisted: Permission denied\n" +
                         "nivra-sign: " + tree.path() + "/unreadable.c: Permission denied\n"));
  // The rest is converted; nothing else changes and nothing appears.
  expected["ok.c"] = expected["sub/ok.h"] = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9\n";
  expected["ok.c.OLD"] = expected["sub/ok.h.OLD"] = ansi;
  auto after = snapshot(tree.path());
  after.erase("nivra-sign");
  EXPECT_EQ(after, expected);
  EXPECT_EQ(mode_of(tree / "unreadable.c"), 0000u);
  EXPECT_EQ(mode_of(tree / "readonly"), 0555u);
  EXPECT_EQ(mode_of(tree / "unlisted"), 0311u);
}

}  // namespace
}  // namespace nivra::test
