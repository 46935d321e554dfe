// nivra-sign killed at random moments over a tree of a few hundred files: after every
// kill each name holds its whole old or whole new content, and a last run finishes the job.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include <gtest/gtest.h>

#include "convert/messages.h"
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

const std::string ANSI = "caf\xE9\n";
const std::string SIGNED = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9\n";

// In a folder where anybody may write, another user can plant files named like a killed
// run's held backup, with a tag forged from a process that has ended. A root run that
// skips the files must not put them in place of their backups: only a regular file of
// the file's owner or of the running user is a leftover it finishes.
TEST(Kill, LeftoversPlantedByAnotherUserAreLeftAlone) {
  if (!running_as_root() || !can_run_unprivileged())
    GTEST_SKIP() << "needs root and another user to plant the files";
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  const std::string sticky = tree / "tmp";
  make_dirs(sticky, 0755);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  write_file(sticky + "/a.c", SIGNED);
  write_file(sticky + "/a.c.OLD", ANSI);  // the only copy of a's original
  write_file(sticky + "/b.c", SIGNED);
  const std::string file = temporary_name("a.c", "old", ended_run_tag());
  write_file(sticky + "/" + file, "forged by another user");
  ASSERT_EQ(chown((sticky + "/" + file).c_str(), 65534, 65534), 0);
  // A folder of the running user never becomes a backup either.
  make_dirs(sticky + "/" + temporary_name("b.c", "old", ended_run_tag()) + "/x");
  const auto before = tree_of(tree.path());

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, repeat(MSG_ALREADY_SIGNED, 2));
  EXPECT_EQ(differences(tree_of(tree.path()), before), "");
}

// A run that must copy the backup (the system refuses a user a link to another's file)
// killed after the copy took the backup's temporary name but before the replace: the copy
// equals what the name still holds. The next run removes it; it never replaces the
// earlier NAME.OLD, here by a run of the other program, which skips the file.
TEST(Kill, ABackupCopiedBeforeAReplaceThatNeverHappenedIsRemoved) {
  if (!can_stop_runs() || !running_as_root() || !can_run_unprivileged())
    GTEST_SKIP() << "needs strace, root and an unprivileged user";
  if (read_file("/proc/sys/fs/protected_hardlinks") != "1\n")
    GTEST_SKIP() << "the system lets any user link another's file: the backup is no copy";
  TempDir tree;
  const std::string sign = install_program(tree.path(), Direction::sign);
  const std::string unsign = install_program(tree.path(), Direction::unsign);
  give_to_unprivileged(tree.path());
  write_file(tree / "a.c", ANSI);  // root's file, which the user may read
  write_file(tree / "a.c.OLD", "an earlier generation");
  ASSERT_EQ(chown((tree / "a.c.OLD").c_str(), 65534, 65534), 0);
  RunOptions o;
  o.unprivileged = true;
  // Killed as it makes its swap, before the call takes effect (a SIGKILL ends the program
  // at the call's entry).
  o.signal_after = {"renameat2", 1, SIGKILL};

  const ProgramResult killed = run(sign, o);

  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
  ASSERT_EQ(read_file(tree / "a.c"), ANSI);
  int copies = 0;
  for (const auto& [rel, content] : tree_of(tree.path()))
    copies += is_temporary_path(rel) && rel.ends_with(".old") && content == ANSI;
  ASSERT_EQ(copies, 1) << "the kill did not land between the copy and the replace: "
                       << differences(tree_of(tree.path()), {});
  o.signal_after = {};

  const ProgramResult next = run(unsign, o);

  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(next.out, MSG_NOT_SIGNED);
  const std::map<std::string, std::string> expected{{"a.c", ANSI},
                                                    {"a.c.OLD", "an earlier generation"}};
  EXPECT_EQ(tree_of(tree.path()), expected);
}

// In a group's folder (setgid, group-writable) one member converts another's file and is
// killed after the swap, before its temporaries go: the original, of its owner, lies under
// them, and the new file under the name is the runner's. A later run by anybody else
// judges them by the owner of the file that was replaced, and keeps the original as
// NAME.OLD. Each case: whether the file system lets the runner link the other's file.
TEST(Kill, TheOriginalOfAnotherUsersFileIsKeptByTheRunAfterAKill) {
  if (!can_stop_runs() || !running_as_root() || !can_run_unprivileged())
    GTEST_SKIP() << "needs strace, root and an unprivileged user";
  constexpr uid_t OWNER = 4242;  // the file's owner: neither the killed run's user nor root
  for (const bool linkable : {true, false}) {
    SCOPED_TRACE(linkable ? "linked backup" : "copied backup");
    TempDir tree;
    const std::string program = install_program(tree.path(), Direction::sign);
    ASSERT_EQ(chown(tree.path().c_str(), 0, 65534), 0);
    ASSERT_EQ(chmod(tree.path().c_str(), 02775), 0);
    write_file(tree / "b.c", ANSI);
    write_file(tree / "b.c.OLD", "an earlier generation");
    for (const char* name : {"b.c", "b.c.OLD"})
      ASSERT_EQ(chown((tree / name).c_str(), OWNER, 65534), 0);
    // Writable by the group, the file may be linked by its members; read-only, it is copied.
    ASSERT_EQ(chmod((tree / "b.c").c_str(), linkable ? 0664 : 0644), 0);
    RunOptions o;
    o.unprivileged = true;
    // The first removal is of the swapped-out temporary.
    o.signal_after = {"unlinkat", 1, SIGKILL};

    const ProgramResult killed = run(program, o);

    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    ASSERT_EQ(read_file(tree / "b.c"), SIGNED) << "the kill did not land after the swap";
    ASSERT_NE(differences(tree_of(tree.path()), {}).find(".new"), std::string::npos);

    const ProgramResult next = run(program);  // root's: of neither user

    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(next.out, MSG_ALREADY_SIGNED);
    const std::map<std::string, std::string> expected{{"b.c", SIGNED}, {"b.c.OLD", ANSI}};
    EXPECT_EQ(tree_of(tree.path()), expected);
  }
}

// A tag whose machine digits are not this boot's: the run was killed before a reboot. On a
// file system of this machine it has certainly ended, and its held backup, the only copy
// of the original, becomes NAME.OLD.
TEST(Kill, TheHeldBackupOfARunOfAnEarlierBootIsFinished) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  std::string tag = ended_run_tag();
  tag[0] = tag[0] == '0' ? '1' : '0';
  write_file(tree / "a.c", SIGNED);
  write_file(tree / temporary_name("a.c", "old", tag), ANSI);
  write_file(tree / temporary_name("a.c", "new", tag), SIGNED.substr(0, 4));

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, MSG_ALREADY_SIGNED);
  const std::map<std::string, std::string> expected{{"a.c", SIGNED}, {"a.c.OLD", ANSI}};
  EXPECT_EQ(tree_of(tree.path()), expected);
}

}  // namespace
}  // namespace nivra::test
