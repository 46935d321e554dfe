// The walk over an in-memory tree: the order it meets entries in, and the folders it
// cannot enter, which a real disk does not produce on demand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "convert/messages.h"
#include "support/fake_platform.h"
#include "walk/walk.h"

namespace nivra::test {
namespace {

using Paths = std::vector<std::string>;

Paths walk_order(FakePlatform& fs) {
  RecordingReporter r;
  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 0) << r.err;
  EXPECT_EQ(fs.open_handles(), 0);
  return fs.opened();
}

TEST(WalkOrder, FollowsTheListingAndFinishesEachFolderBeforeTheNextEntry) {
  FakePlatform fs;
  fs.add_file("z.c", "z");
  fs.add_file("sub/x.c", "x");
  fs.add_file("sub/deeper/y.h", "y");
  fs.add_file("sub/w.cpp", "w");
  fs.add_symlink("loop", ".");
  fs.add_symlink("alias.c", "a.c");
  fs.add_file("a.c", "a");
  EXPECT_EQ(walk_order(fs), (Paths{"z.c", "sub/x.c", "sub/deeper/y.h", "sub/w.cpp", "a.c"}));

  FakePlatform files_first;
  files_first.add_file("a.c", "a");
  files_first.add_file("z.c", "z");
  files_first.add_file("sub/x.c", "x");
  EXPECT_EQ(walk_order(files_first), (Paths{"a.c", "z.c", "sub/x.c"}));
}

// A code page chosen by no language is named once, on standard error, before the outcome
// of the first file whose text beyond ASCII meets it, whatever the workers; files in
// ASCII, in UTF-16 or UTF-8 already, or signed, do not meet it.
TEST(WalkOrder, CodePageNoticeComesOnceBeforeTheFirstFileThatMeetsIt) {
  using namespace std::string_literals;
  const std::string sig = "\xEF\xBB\xBF";
  const CodePageChoice guessed{1252, "LANG", "C.UTF-8", false};
  const auto notice = [](std::string program) {
    return program + ": code page 1252, since LANG=C.UTF-8 names no language; for Shift_JIS "
                     "sources run LANG=ja_JP.UTF-8 ./" + program + "\n";
  };
  for (const unsigned processors : {1u, 4u}) {
    SCOPED_TRACE(processors);
    for (const bool ansi : {true, false}) {
      FakePlatform fs;
      fs.add_file("a.c", "int a;\n");
      fs.add_file("b.c", sig + "caf\xC3\xA9");
      fs.add_file("c.c", "\xFF\xFE\xE9\0"s);
      fs.add_file("d.c", "caf\xC3\xA9\n");
      if (ansi) fs.add_file("e.c", "caf\xE9\n");
      fs.add_file("f.c", sig + "x");
      if (ansi) fs.add_file("g.c", "\xE9");
      RecordingReporter r;
      EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign", processors, guessed), 0);
      const auto skipped = [](std::string name) {
        return std::string(MSG_ALREADY_SIGNED) + "nivra-sign: /t/" + name + ": already signed\n";
      };
      EXPECT_EQ(r.both, skipped("b.c") + (ansi ? notice("nivra-sign") : "") + skipped("f.c"));
    }
    FakePlatform fs;
    fs.add_file("a.c", sig + "int a;\n");
    fs.add_file("x.c", sig + "ok\n\xC4\x80");
    fs.add_file("y.c", sig + "\xC3\xA9");
    RecordingReporter r;
    EXPECT_EQ(run_program(fs, Direction::unsign, r, "/t/nivra-unsign", processors, guessed), 1);
    EXPECT_EQ(r.both, notice("nivra-unsign") + std::string(MSG_LOSSY) +
                          "nivra-unsign: /t/x.c: cannot be converted to code page 1252 without "
                          "loss: line 2, column 1 (byte 6)\n");
  }
}

TEST(WalkFailures, FolderThatCannotBeListedOrOpenedIsReportedAndTheWalkGoesOn) {
  FakePlatform fs;
  fs.add_file("a/one.c", "1");
  fs.add_file("locked/two.c", "2");
  fs.add_file("sealed/three.c", "3");
  fs.add_file("z.c", "4");
  fs.inject(fail_on(Call::list_dir, "locked", os_error(EACCES)));
  fs.inject(fail_on(Call::open_dir, "sealed", os_error(EIO)));
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, std::string(MSG_DIR_FAILED) + std::string(MSG_DIR_FAILED));
  EXPECT_EQ(r.err, "nivra-sign: /t/locked: " + std::string(std::strerror(EACCES)) +
                       "\nnivra-sign: /t/sealed: " + std::strerror(EIO) + "\n");
  EXPECT_EQ(fs.opened(), (Paths{"a/one.c", "z.c"}));
  const auto tree = fs.snapshot();
  EXPECT_EQ(tree.at("a/one.c"), "0644 \xEF\xBB\xBF" "1");
  EXPECT_EQ(tree.at("locked/two.c"), "0644 2");
  EXPECT_FALSE(fs.exists("locked/two.c.OLD"));
  EXPECT_EQ(fs.open_handles(), 0);
}

TEST(WalkFailures, RootThatCannotBeOpenedOrListedIsReported) {
  for (const Call call : {Call::open_root, Call::list_dir}) {
    FakePlatform fs;
    fs.add_file("a.c", "a");
    fs.inject(fail(call, 1, os_error(EACCES)));
    RecordingReporter r;
    EXPECT_EQ(run_program(fs, Direction::unsign, r, "/t/nivra-unsign"), 1);
    EXPECT_EQ(r.out, MSG_DIR_FAILED);
    EXPECT_EQ(r.err, "nivra-unsign: /t: " + std::string(std::strerror(EACCES)) + "\n");
    EXPECT_EQ(fs.snapshot().at("a.c"), "0644 a");
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// The root must hold the running program under the name argument 0 gives it; else the
// folder of the running program (here "/t/nivra") is taken, where it must hold it under
// that name too; and where the system cannot tell which file the program is, the run stops.
TEST(WalkFailures, ARootThatDoesNotHoldTheRunningProgramIsNeverWalked) {
  constexpr std::string_view OTHER = "does not hold the running program under its name";
  const struct {
    const char* program;  ///< where the running program is
    int status;
    std::string_view out, reason;
  } cases[] = {{"nivra-sign", 0, "", ""},
               {"nivra", 1, MSG_DIR_FAILED, OTHER},
               {"sub/nivra", 1, MSG_DIR_FAILED, OTHER},
               {"gone", 1, MSG_DIR_FAILED, "the system cannot tell which file the program is"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    FakePlatform fs;
    fs.add_file("nivra-sign", "a copy");
    fs.add_file("nivra", "the program");
    fs.add_file("sub/nivra", "another");
    fs.add_file("a.c", "\xE9");
    fs.program(c.program);
    RecordingReporter r;

    EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), c.status) << r.err;

    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(fs.exists("a.c.OLD"), c.status == 0);
    EXPECT_EQ(r.err, c.status == 0 ? "" : "nivra-sign: /t: " + std::string(c.reason) + "\n");
    EXPECT_EQ(fs.open_handles(), 0);
  }
}

// Memory that runs out for one folder's listing or one file's conversion fails that one:
// the walk goes on, and nothing is left behind.
TEST(WalkFailures, MemoryThatRunsOutFailsOneFolderOrFileAndTheWalkGoesOn) {
  FakePlatform fs;
  fs.add_file("big/one.c", "1");
  fs.add_file("a.c", "\xE9");
  fs.add_file("z.c", "\xE9");
  fs.meanwhile(Call::list_dir, 2, [] { throw std::bad_alloc(); });  // big/
  fs.meanwhile(Call::write, 1, [] { throw std::bad_alloc(); });     // a.c's new content
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign"), 1);

  EXPECT_EQ(r.out, std::string(MSG_DIR_FAILED) + std::string(MSG_READ_FAILED));
  EXPECT_EQ(r.err, "nivra-sign: /t/big: not enough memory\nnivra-sign: /t/a.c: not enough memory\n");
  const std::map<std::string, std::string> expected{
      {"big", "<dir>"},          {"big/one.c", "0644 1"},
      {"a.c", "0644 \xE9"},      {"z.c", "0644 \xEF\xBB\xBF\xC3\xA9"},
      {"z.c.OLD", "0644 \xE9"}};
  EXPECT_EQ(fs.snapshot(), expected);
  EXPECT_EQ(fs.open_handles(), 0);
}

}  // namespace
}  // namespace nivra::test
