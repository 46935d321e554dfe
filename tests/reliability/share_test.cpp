// nivra-sign on a network share: one folder served over sshfs from 127.0.0.1 and mounted
// twice, as two machines see one share. One run, two runs at once and kills, each checked
// on the server's side as the local reliability tests check a tree.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <latch>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr unsigned SEED = 20261208;
constexpr int FILES = 200;

/// One folder shared twice (tests/reliability/share.sh), set up once for the suite.
class Share : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    state_ = new TempDir;
    const ProgramResult up = share_script("up");
    if (up.status == 77) skip_ = up.out;
    if (up.status != 0 && up.status != 77) error_ = "share.sh up: " + up.out + up.err;
  }
  static void TearDownTestSuite() {
    share_script("down");
    delete state_;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_EQ(error_, "");
  }

  static ProgramResult share_script(const char* command) {
    RunOptions options;
    options.extra_args = {NIVRA_SHARE_SCRIPT, command, *state_ / "share"};
    return run("/bin/sh", options);
  }
  /// Runs the program of `tree` through `mount`, killed after `kill_us` microseconds
  /// when that is not negative.
  static ProgramResult run_in(const std::string& mount, const std::string& tree,
                              long long kill_us = -1) {
    RunOptions options;
    options.kill_after_us = kill_us;
    return run(at(mount, tree) + "/nivra-sign", options);
  }
  /// Folder `tree` of the share seen through `mount`: "a", "b", or "export" for the server.
  static std::string at(const std::string& mount, const std::string& tree) {
    return *state_ / ("share/" + mount + "/" + tree);
  }

  /// Writes `files` into `tree` through mount a, with the program beside them.
  static void make_tree(const std::string& tree, const std::map<std::string, std::string>& files) {
    write_files(at("a", tree), files);
    install_program(at("a", tree), Direction::sign);
  }

  /// Runs nivra-sign over `tree` through mount a and through mount b at once, each killed
  /// after its delay in microseconds when that is not negative.
  static std::array<ProgramResult, 2> run_both(const std::string& tree, long long kill_a,
                                               long long kill_b) {
    std::array<ProgramResult, 2> results;
    std::latch start(2);
    std::thread other([&] {
      start.arrive_and_wait();
      results[1] = run_in("b", tree, kill_b);
    });
    start.arrive_and_wait();
    results[0] = run_in("a", tree, kill_a);
    other.join();
    return results;
  }

  /// What the server holds of `tree`, once the mounts have let go of the closed files
  /// they kept under ".fuse_hidden" names (they do so a moment after the close).
  static TreeReport settled(const std::string& tree,
                            const std::map<std::string, std::string>& before,
                            const std::map<std::string, std::string>& after) {
    TreeReport report;
    for (int tries = 0; tries < 30; ++tries) {
      report = check_tree(tree_of(at("export", tree)), before, after);
      if (report.hidden == 0) break;
      usleep(100000);
    }
    return report;
  }

  /// The names under `root`, relative to it.
  static std::set<std::string> names_in(const std::string& root) {
    std::set<std::string> names;
    std::error_code e;
    for (auto it = std::filesystem::recursive_directory_iterator(root, e);
         !e && it != std::filesystem::recursive_directory_iterator(); it.increment(e))
      names.insert(it->path().lexically_relative(root).string());
    return names;
  }
  /// Waits, at most 30 s, until mount `mount` lists the names of `tree` that the server
  /// holds: sshfs answers listings from a cache of its own for up to 20 s. Whether it has
  /// caught up is not asserted: a run over a stale listing must report what it cannot do.
  static void await_listing(const std::string& mount, const std::string& tree) {
    for (int tries = 0; tries < 150 && names_in(at(mount, tree)) != names_in(at("export", tree));
         ++tries)
      usleep(200000);
  }

  static inline TempDir* state_ = nullptr;
  static inline std::string skip_, error_;
};

TEST_F(Share, OneRunThroughAMountConvertsEveryFile) {
  const auto before = ansi_sources(60, SEED);
  make_tree("one", before);

  const ProgramResult r = run_in("a", "one");

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const TreeReport left = settled("one", before, converted(before, Direction::sign));
  EXPECT_EQ(left.converted, 60);
  EXPECT_EQ(left.faults(), 0) << left.examples;
  EXPECT_EQ(left.temporaries + left.hidden, 0);
}

// Nothing shares a lock between the two mounts: the runs are kept apart by what they
// check, and every file is converted by one of them or named on standard error.
TEST_F(Share, TwoClientsAtOnceConvertEachFileOnceOrReportIt) {
  const auto before = ansi_sources(FILES, SEED);
  const auto after = converted(before, Direction::sign);
  for (int round = 0; round < 3; ++round) {
    const std::string tree = "two" + std::to_string(round);
    make_tree(tree, before);
    // A third client (the server) looks for every name while the runs go on. Where the
    // share cannot swap two names in one step, a name is empty for an instant while a run
    // puts its new file in place; by the end every name must hold its whole file again.
    std::atomic<bool> done = false;
    std::set<std::string> missing_seen;
    std::thread watcher([&] {
      while (!done)
        for (const auto& [rel, content] : before)
          if (!exists(at("export", tree) + "/" + rel)) missing_seen.insert(rel);
    });
    const auto results = run_both(tree, -1, -1);
    done = true;
    watcher.join();

    const TreeReport left = settled(tree, before, after);
    int conversions = 0, unreported = 0;
    for (const ProgramResult& r : results)
      conversions += FILES - int(std::count(r.out.begin(), r.out.end(), '\n'));
    // A file left as it was is named on some run's standard error.
    for (const auto& file : before) {
      const std::string path = at("export", tree) + "/" + file.first;
      const auto names = [&](const ProgramResult& r) {
        return r.err.find(file.first + ": ") != r.err.npos;
      };
      unreported += exists(path) && read_file(path) == file.second &&
                    std::none_of(results.begin(), results.end(), names);
    }
    std::printf("[ share    ] round %d: %d converted, %d left and reported, %d left unreported, "
                "%d missing, %d damaged, %d bad backups, %d temporaries, %d .fuse_hidden; "
                "the runs counted %d conversions; %zu names went missing for a while\n",
                round, left.converted, left.unconverted - unreported, unreported, left.missing,
                left.damaged, left.bad_backups, left.temporaries, left.hidden, conversions,
                missing_seen.size());
    EXPECT_EQ(left.faults(), 0) << "round " << round << "\n" << left.examples;
    EXPECT_EQ(unreported, 0) << "round " << round;
    // A run that lists the folder while a name is empty neither converts nor names that
    // file (the other run converts it): the runs then count one conversion too many for it.
    // A file converted twice would show as a bad backup or a line on standard output.
    EXPECT_GE(conversions, left.converted) << "a file passed over silently, round " << round;
    EXPECT_LE(conversions - left.converted, int(missing_seen.size()))
        << "more conversions counted than names went missing, round " << round;
    EXPECT_EQ(left.temporaries + left.hidden, 0) << "round " << round;
    EXPECT_EQ(left.missing, 0) << "names missing after round " << round;
  }
}

// A run through mount b killed while a name is empty, and at once a run through mount a,
// whose cache still holds the name: the original goes back under it and is converted.
TEST_F(Share, ANameEmptiedThroughOneMountIsPutBackThroughTheOther) {
  if (!can_stop_runs()) GTEST_SKIP() << "needs strace (.ci/install-share-tools.sh)";
  const std::map<std::string, std::string> before = {{"a.c", "caf\xE9\n"}};
  make_tree("emptied", before);
  ASSERT_TRUE(exists(at("a", "emptied") + "/a.c"));  // mount a now caches the name
  RunOptions killed;
  // The new file's step that fails on a taken name, after the original went aside.
  killed.signal_after = {"renameat2", 2, SIGKILL};
  const ProgramResult r = run(at("b", "emptied") + "/nivra-sign", killed);
  ASSERT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;
  ASSERT_FALSE(exists(at("export", "emptied") + "/a.c")) << "the kill missed the empty name";

  const ProgramResult clean = run_in("a", "emptied");

  EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
  const TreeReport left = settled("emptied", before, converted(before, Direction::sign));
  EXPECT_EQ(left.converted, 1) << left.examples;
  EXPECT_EQ(left.faults(), 0) << left.examples;
  EXPECT_EQ(left.temporaries + left.hidden, 0);
}

TEST_F(Share, KillsThroughBothMountsLeaveWholeFilesAndACleanRunFinishes) {
  const auto before = ansi_sources(FILES, SEED);
  const auto after = converted(before, Direction::sign);
  make_tree("timed", before);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run_in("a", "timed").status, 0);
  const auto took = std::chrono::steady_clock::now() - started;
  long long bound = std::chrono::duration_cast<std::chrono::microseconds>(took).count() / 2 + 1;

  std::mt19937 rng(SEED);
  int kills = 0, attempts = 0, temporaries = 0;
  for (int trees = 0; kills < 24 && attempts < 80; ++trees) {
    // Each tree takes a few kills, alone through either mount or both at once, then a
    // clean run.
    const std::string tree = "kill" + std::to_string(trees);
    make_tree(tree, before);
    for (int k = 0; k < 6 && kills < 24; ++k, ++attempts) {
      const long long first = rng() % bound, second = attempts % 3 == 2 ? rng() % bound : -2;
      std::array<ProgramResult, 2> runs;
      if (second == -2)
        runs[0] = run_in(attempts % 2 ? "b" : "a", tree, first);
      else
        runs = run_both(tree, first, second);
      if (runs[0].status != 128 + SIGKILL && runs[1].status != 128 + SIGKILL) {
        bound = std::max(bound * 2 / 3, 1000LL);
        break;
      }
      ++kills;
      const TreeReport report = check_tree(tree_of(at("export", tree)), before, after);
      temporaries += report.temporaries;
      // A run killed while a name was empty leaves it so, its original beside, for the
      // next run to put back.
      EXPECT_EQ(report.faults() - report.kept_beside, 0)
          << "after kill " << kills << "\n" << report.examples;
    }
    // A run killed through mount b may have left a name empty that mount a still lists
    // from its cache: the clean run would then find the file gone and report it, and not
    // see what b's run left beside it. It starts once mount a lists what the server holds.
    await_listing("a", tree);
    ProgramResult clean = run_in("a", tree);
    // sshfs answers listings from a cache for some seconds, which may not show a killed
    // run's names yet: a file it left with NAME.OLD linked then looks claimed by a live run.
    // The next run sees them and finishes it.
    const auto only_held = [](const ProgramResult& r) {
      for (const std::string& line : split_lines(r.err))
        if (!line.ends_with(": held by another run\n")) return false;
      return r.status == 1 && r.out == repeat(MSG_OPEN_FAILED, split_lines(r.err).size());
    };
    if (only_held(clean)) clean = run_in("a", tree);
    EXPECT_EQ(clean.status, 0) << clean.err;
    const TreeReport left = settled(tree, before, after);
    EXPECT_EQ(left.converted, FILES) << "after the clean run of tree " << trees;
    EXPECT_EQ(left.faults(), 0) << "after the clean run of tree " << trees << "\n" << left.examples;
    EXPECT_EQ(left.temporaries + left.hidden, 0) << "after the clean run of tree " << trees;
    if (HasFailure()) break;
  }
  if (!HasFailure()) {
    EXPECT_GE(kills, 16) << "too few kills met the program running";
  }
  std::printf("[ kills    ] %d of %d met the program running; %d temporaries found after them\n",
              kills, attempts, temporaries);
}

}  // namespace
}  // namespace nivra::test
