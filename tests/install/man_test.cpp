// The manual pages: they render cleanly, name every line the program prints, and the
// undo command they give does undo a run.

#include <gtest/gtest.h>

#include <regex>

#include "install/install_support.h"

namespace nivra::test {
namespace {

/// Every fixed text of the message table, as its header spells it, without the "\n".
std::vector<std::string> message_table() {
  const std::string header = read_file(NIVRA_MESSAGES_HEADER);
  const std::regex literal("\"([^\"\\\\]*)\\\\n\"");
  std::vector<std::string> texts;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), literal);
       it != std::sregex_iterator(); ++it)
    texts.push_back((*it)[1]);
  return texts;
}

/// The page without its troff comments, which hold the other program's lines.
std::string page_text(Direction direction) {
  std::string text;
  for (const std::string& line : split_lines(read_file(built_page(direction))))
    if (!line.starts_with(".\\\"")) text += line;
  return text;
}

Direction other(Direction d) { return d == Direction::sign ? Direction::unsign : Direction::sign; }

class ManPage : public testing::TestWithParam<Direction> {
 protected:
  void needs_groff() {
    if (!have_tool("groff")) GTEST_SKIP() << "no groff: .ci/install-packaging-tools.sh installs it";
  }
};

TEST_P(ManPage, RendersWithoutWarnings) {
  needs_groff();
  if (IsSkipped()) return;
  const ProgramResult r = shell("groff -man -Tutf8 -ww -z " + sh_quoted(built_page(GetParam())));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

TEST_P(ManPage, NamesEveryMessageItsProgramPrintsAndNoOther) {
  const std::vector<std::string> table = message_table();
  // The parse found the table, not nothing.
  ASSERT_NE(std::find(table.begin(), table.end(), MSG_OPEN_FAILED.substr(0, MSG_OPEN_FAILED.size() - 1)),
            table.end());
  const std::string page = page_text(GetParam());
  const std::string_view foreign = traits(other(GetParam())).skip_message;
  for (const std::string& text : table) {
    if (text + "\n" == foreign)
      EXPECT_EQ(page.find(text), std::string::npos) << "the other program's skip: " << text;
    else
      EXPECT_NE(page.find(".B " + text + "\n"), std::string::npos) << "missing: " << text;
  }
  const std::string diagnostic = std::string(traits(GetParam()).program) + ": PATH: REASON";
  EXPECT_NE(page.find(diagnostic), std::string::npos);
}

/// The commands that begin with "find . " in `text`, each with the lines that a trailing
/// "|" continues it on.
std::vector<std::string> find_commands(const std::string& text) {
  std::vector<std::string> commands;
  bool going_on = false;
  for (const std::string& line : split_lines(text)) {
    std::string l = line.substr(0, line.find_last_not_of(" \n") + 1);
    if (going_on) {
      commands.back() += "\n" + l;
    } else if (const auto at = l.find("find . "); at != std::string::npos) {
      commands.push_back(l.substr(at));
    } else {
      continue;
    }
    going_on = l.ends_with("|");
  }
  return commands;
}

/// Undoes a run with the first of `commands`, then deletes the backups of a second run
/// with the second, in a tree of every selected spelling beside files both leave alone.
void expect_undo_and_delete(Direction direction, const std::vector<std::string>& commands) {
  ASSERT_GE(commands.size(), 2u);
  const bool sign = direction == Direction::sign;
  const std::string text = sign ? "caf\xE9\n" : "\xEF\xBB\xBF" "caf\xC3\xA9\n";
  TempDir tree;
  write_file(tree / "a.c", text);
  write_file(tree / "b.H", text);
  write_file(tree / "sub/deep/c.Cpp", text);
  write_file(tree / "sub/d.h", text);
  write_file(tree / "notes.txt.OLD", "mine\n");
  write_file(tree / ".hidden/e.c.OLD", "mine too\n");
  write_file(tree / "it's here.c", text);
  install_program(tree.path(), direction);
  const auto before = snapshot(tree.path());
  const std::string program = tree / std::string(traits(direction).program);

  ProgramResult converted = run(program);
  ASSERT_EQ(converted.status, 0) << converted.err;
  ASSERT_TRUE(exists(tree / "sub/deep/c.Cpp.OLD"));
  ASSERT_NE(snapshot(tree.path()), before);

  const ProgramResult undone = shell(commands[0], tree.path());
  EXPECT_EQ(undone.status, 0) << commands[0] << "\n" << undone.err;
  EXPECT_EQ(snapshot(tree.path()), before) << commands[0];

  converted = run(program);
  ASSERT_EQ(converted.status, 0) << converted.err;
  auto kept = snapshot(tree.path());
  for (const char* n : {"a.c", "b.H", "sub/deep/c.Cpp", "sub/d.h", "it's here.c"})
    ASSERT_EQ(kept.erase(std::string(n) + ".OLD"), 1u) << n;
  const ProgramResult deleted = shell(commands[1], tree.path());
  EXPECT_EQ(deleted.status, 0) << commands[1] << "\n" << deleted.err;
  EXPECT_EQ(snapshot(tree.path()), kept) << commands[1];
}

TEST_P(ManPage, UndoAndDeleteCommandsDoWhatTheySay) {
  needs_groff();
  if (IsSkipped()) return;
  // The commands as a reader copies them from the rendered page.
  const ProgramResult rendered = shell("groff -man -Tutf8 -P-cbou " + sh_quoted(built_page(GetParam())));
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  expect_undo_and_delete(GetParam(), find_commands(rendered.out));
}

TEST_P(ManPage, ReadmeUndoAndDeleteCommandsDoWhatTheySay) {
  expect_undo_and_delete(GetParam(), find_commands(read_file(NIVRA_README)));
}

// A newcomer finds the same things in the same order in the README and on the page, the
// safety first: commit, the code page, install, use, messages, undo, the promises.
TEST_P(ManPage, FollowsTheReadmesOrder) {
  const struct {
    const char* readme;
    const char* page;
  } order[] = {
      {"**Commit or copy your tree first.**", ".B Commit or copy your tree first."},
      {"LANG=ja_JP.UTF-8 ./nivra-sign", "LANG=ja_JP.UTF\\-8 ./"},
      {"## Install", ".SH EXAMPLES"},
      {"## Use", ".SH THE TREE"},
      {"### What they print", ".SH MESSAGES"},
      {"## Undo, and delete the backups", ".SH HOW TO UNDO A RUN"},
      {"## Safety", ".SH SAFETY"},
  };
  const std::string readme = read_file(NIVRA_README);
  const std::string page = read_file(built_page(GetParam()));
  std::size_t in_readme = 0, in_page = 0;
  for (const auto& o : order) {
    const std::size_t r = readme.find(o.readme, in_readme), p = page.find(o.page, in_page);
    EXPECT_NE(r, std::string::npos) << "README: " << o.readme << " missing or out of order";
    EXPECT_NE(p, std::string::npos) << "page: " << o.page << " missing or out of order";
    if (r != std::string::npos) in_readme = r;
    if (p != std::string::npos) in_page = p;
  }
  EXPECT_LT(std::count(readme.begin(), readme.end(), '\n'), 250) << "the README outgrew five minutes";
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, ManPage,
                         testing::Values(Direction::sign, Direction::unsign),
                         [](const auto& info) {
                           return info.param == Direction::sign ? "sign" : "unsign";
                         });

}  // namespace
}  // namespace nivra::test
