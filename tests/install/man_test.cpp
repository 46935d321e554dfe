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

TEST_P(ManPage, UndoCommandRestoresTheTreeAsItWas) {
  needs_groff();
  if (IsSkipped()) return;
  // The command as a reader copies it from the rendered page.
  const ProgramResult rendered = shell("groff -man -Tutf8 -P-cbou " + sh_quoted(built_page(GetParam())));
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  std::string undo;
  for (const std::string& line : split_lines(rendered.out))
    if (const auto at = line.find("find . "); at != std::string::npos) undo = line.substr(at);
  ASSERT_FALSE(undo.empty()) << rendered.out;

  // Sources of every selected spelling that the program converts, beside files that the
  // undo must leave alone: a backup-like name of another extension, and a dot folder.
  const bool sign = GetParam() == Direction::sign;
  const std::string text = sign ? "caf\xE9\n" : "\xEF\xBB\xBF" "caf\xC3\xA9\n";
  TempDir tree;
  write_file(tree / "a.c", text);
  write_file(tree / "b.H", text);
  write_file(tree / "sub/deep/c.Cpp", text);
  write_file(tree / "sub/d.h", text);
  write_file(tree / "notes.txt.OLD", "mine\n");
  write_file(tree / ".hidden/e.c.OLD", "mine too\n");
  install_program(tree.path(), GetParam());
  const auto before = snapshot(tree.path());

  const ProgramResult converted = run(tree / std::string(traits(GetParam()).program));
  ASSERT_EQ(converted.status, 0) << converted.err;
  ASSERT_TRUE(exists(tree / "sub/deep/c.Cpp.OLD"));
  ASSERT_NE(snapshot(tree.path()), before);

  const ProgramResult undone = shell(undo, tree.path());
  EXPECT_EQ(undone.status, 0) << undo << "\n" << undone.err;
  EXPECT_EQ(snapshot(tree.path()), before) << undo;
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, ManPage,
                         testing::Values(Direction::sign, Direction::unsign),
                         [](const auto& info) {
                           return info.param == Direction::sign ? "sign" : "unsign";
                         });

}  // namespace
}  // namespace nivra::test
