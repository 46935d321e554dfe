// nivra-sign killed at random moments over a tree of a few hundred files: after every
// kill each name holds its whole old or whole new content, and a last run finishes the job.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "convert/replace.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr unsigned SEED = 20261208;
constexpr int FILES = 250;

/// Runs `program`, killed after `delay`. True when the kill met it still running.
bool kill_after(const std::string& program, std::chrono::microseconds delay) {
  RunOptions options;
  options.kill_after_us = delay.count();
  return run(program, options).status == 128 + SIGKILL;
}

TEST(Kill, EveryKillLeavesWholeFilesAndTheNextRunFinishes) {
  TempDir reference;
  const std::string ref_program = install_program(reference.path(), Direction::sign);
  const auto before = ansi_sources(FILES, SEED);
  write_files(reference.path(), before);
  const auto started = std::chrono::steady_clock::now();
  const ProgramResult clean = run(ref_program);
  const auto full = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(clean.status, 0) << clean.err;
  const auto after = tree_of(reference.path());
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(full).count() + 1;

  std::mt19937 rng(SEED);
  // Kills land before `bound`, which starts at half a whole run and shrinks whenever a
  // run finishes first (the machine may be faster or slower than at the reference run).
  auto bound = span / 2;
  int kills = 0, attempts = 0, leftovers = 0;
  while (kills < 40 && attempts < 100) {
    // A fresh tree every few kills, or once a run finished: kills keep meeting
    // unconverted files, and each killed run starts where the last one stopped.
    TempDir tree;
    const std::string program = install_program(tree.path(), Direction::sign);
    write_files(tree.path(), before);
    for (int k = 0; k < 8 && kills < 40; ++k) {
      ++attempts;
      if (!kill_after(program, std::chrono::microseconds(rng() % bound))) {
        bound = std::max<decltype(bound)>(bound * 2 / 3, 1000);
        break;
      }
      ++kills;
      const TreeReport report = check_tree(tree_of(tree.path()), before, after);
      leftovers += report.temporaries;
      EXPECT_EQ(report.faults(), 0) << "after kill " << kills << "\n" << report.examples;
      if (HasFailure()) return;
    }
    const ProgramResult last = run(program);
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(differences(tree_of(tree.path()), after), "");
  }
  EXPECT_GE(kills, 30) << "too few kills met the program running";
  std::printf("[ kills    ] %d of %d met the program running; %d temporaries left, all removed\n",
              kills, attempts, leftovers);
}

// What a kill between the backup and the replace leaves: NAME.OLD is a second name of
// the file itself, and the new content lies under its temporary name.
TEST(Kill, TheRunAfterAKillBetweenBackupAndReplaceLeavesNoTemporary) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  write_file(tree / "a.c", "caf\xE9");
  ASSERT_EQ(link((tree / "a.c").c_str(), (tree / "a.c.OLD").c_str()), 0);
  write_file(tree / temporary_name("a.c", "new", ended_run_tag()), std::string(UTF8_SIGNATURE) + "caf");

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  const std::map<std::string, std::string> expected{
      {"a.c", std::string(UTF8_SIGNATURE) + "caf\xC3\xA9"}, {"a.c.OLD", "caf\xE9"}};
  EXPECT_EQ(tree_of(tree.path()), expected);
}

// Temporaries of a run that may still be going on (this test's own process, by its tag)
// are that run's: they stay, and the file is converted beside them.
TEST(Kill, TemporariesOfARunStillGoingOnAreLeftAlone) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  write_file(tree / "a.c", "caf\xE9");
  char pid[16];
  std::snprintf(pid, sizeof pid, "%08x", unsigned(getpid()));
  const std::string live = ended_run_tag().substr(0, 8) + pid + "0000";
  const std::map<std::string, std::string> theirs{
      {temporary_name("a.c", "new", live), "half of a"}, {temporary_name("a.c", "old", live), "caf"}};
  write_files(tree.path(), theirs);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  auto expected = theirs;
  expected["a.c"] = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9";
  expected["a.c.OLD"] = "caf\xE9";
  EXPECT_EQ(tree_of(tree.path()), expected);
}

}  // namespace
}  // namespace nivra::test
