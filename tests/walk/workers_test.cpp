// Files converted side by side by the workers, finishing in chosen orders on an in-memory
// platform: what the run prints and leaves stays what one file at a time gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "support/fake_platform.h"
#include "text/cp1252.h"
#include "walk/walk.h"

namespace nivra::test {
namespace {

std::size_t split_count(std::string_view text) {
  return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// Memory that runs out on a thread of a file's own (here the one that writes its new
// content behind) fails the file there; it is converted again alone, in its turn.
TEST(WalkFailures, MemoryThatRunsOutOnAFilesOwnThreadSendsItAgainAlone) {
  FakePlatform fs;
  std::string big;
  for (int i = 0; i < 5 << 20 >> 2; ++i) big += "caf\xE9";
  fs.add_file("big.c", big);
  fs.meanwhile(Call::write, 1, [] { throw std::bad_alloc(); });
  RecordingReporter r;

  EXPECT_EQ(run_program(fs, Direction::sign, r, "/t/nivra-sign", 4), 0) << r.err;

  EXPECT_EQ(r.out, "");
  EXPECT_EQ(fs.snapshot().at("big.c.OLD"), "0644 " + big);
  EXPECT_EQ(fs.snapshot().size(), 2u);
  EXPECT_EQ(fs.open_handles(), 0);
}

// Files converted side by side, finishing in a chosen order: what the run prints, in
// which order, what it leaves on disk and its status are those of one file at a time.
struct SideBySide {
  int status;
  std::string out, err;
  std::map<std::string, std::string> tree;
  std::vector<std::string> finished;
};

/// Five files of every outcome, with a folder that cannot be listed and an entry that is
/// no file among them; `files` more in nested folders.
void outcome_tree(FakePlatform& fs, int files = 0) {
  fs.add_file("a.c", "caf\xE9");
  fs.add_file("b.h", "\xEF\xBB\xBF" "signed");
  fs.add_file("held.c", "x");
  fs.lock("held.c");
  fs.add_file("sub/c.cpp", "\xE0 write fails");
  fs.inject(fail_on(Call::write, "sub/.nivra-*", os_error(EIO)));
  fs.add_file("locked/x.c", "x");
  fs.inject(fail_on(Call::list_dir, "locked", os_error(EACCES)));
  fs.add_other("fifo.c");
  fs.add_file("sub/deep/d.c", "d\xE9");
  for (int i = 0; i < files; ++i)
    fs.add_file("many/" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".c",
                i % 3 ? "caf\xE9" : "\xEF\xBB\xBF");
  fs.add_file("z.c", "z\xE9");
}

SideBySide run_side_by_side(FakePlatform& fs, unsigned workers) {
  RecordingReporter r;
  const int status = run_program(fs, Direction::sign, r, "/t/nivra-sign", workers);
  EXPECT_EQ(fs.open_handles(), 0);
  return SideBySide{status, r.out, r.err, fs.snapshot(), fs.finished()};
}

void expect_same(const SideBySide& one, const SideBySide& many) {
  EXPECT_EQ(many.status, one.status);
  EXPECT_EQ(many.out, one.out);
  EXPECT_EQ(many.err, one.err);
  EXPECT_EQ(many.tree, one.tree);
}

TEST(SideBySide, EveryFinishingOrderOfASmallTreePrintsAndLeavesWhatOneAtATimeDoes) {
  FakePlatform alone;
  outcome_tree(alone);
  const SideBySide one = run_side_by_side(alone, 1);
  ASSERT_EQ(one.status, 1);
  ASSERT_EQ(split_count(one.out), 5u) << one.out;  // b.h, held.c, sub/c.cpp, locked, fifo.c
  std::vector<std::string> order = {"a.c", "b.h", "sub/c.cpp", "sub/deep/d.c", "z.c"};
  std::sort(order.begin(), order.end());
  int runs = 0;
  do {
    SCOPED_TRACE(::testing::PrintToString(order));
    FakePlatform fs;
    outcome_tree(fs);
    // As many workers as files: each finishing order can be forced exactly.
    fs.finish_in(order, std::chrono::seconds(30));
    const SideBySide many = run_side_by_side(fs, unsigned(order.size()));
    EXPECT_EQ(many.finished, order);
    expect_same(one, many);
    ++runs;
    if (HasFailure()) return;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(runs, 120);
}

TEST(SideBySide, RandomFinishingOrdersOfALargeTreePrintAndLeaveWhatOneAtATimeDoes) {
  FakePlatform alone;
  outcome_tree(alone, 60);
  const SideBySide one = run_side_by_side(alone, 1);
  const std::vector<std::string> walked = alone.opened();
  std::mt19937 rng(20261208);
  int shuffled = 0;
  for (const unsigned workers : {2u, 3u, 8u}) {
    for (int round = 0; round < 3; ++round) {
      std::vector<std::string> order = walked;
      std::shuffle(order.begin(), order.end(), rng);
      SCOPED_TRACE(std::to_string(workers) + " workers, round " + std::to_string(round));
      FakePlatform fs;
      outcome_tree(fs, 60);
      // Fewer workers than files: the order is followed as far as they allow.
      fs.finish_in(order, std::chrono::milliseconds(5));
      const SideBySide many = run_side_by_side(fs, workers);
      std::vector<std::string> finished = many.finished;
      shuffled += finished != walked;
      std::sort(finished.begin(), finished.end());
      std::vector<std::string> all = walked;
      std::sort(all.begin(), all.end());
      EXPECT_EQ(finished, all) << "each file is converted once";
      expect_same(one, many);
      if (HasFailure()) return;
    }
  }
  EXPECT_GE(shuffled, 8) << "the files mostly finished in the order the walk met them";
}

// Files open at once run short beside other workers' files, never alone: the file that
// ran short is converted again once the others are done, and the rest one at a time.
TEST(SideBySide, AFileThatRunsShortBesideOthersIsConvertedAgainAlone) {
  FakePlatform alone;
  outcome_tree(alone);
  alone.limit_open_files(2);
  const SideBySide one = run_side_by_side(alone, 1);
  const std::vector<std::string> walked = alone.opened();
  std::vector<std::string> reversed(walked.rbegin(), walked.rend());
  std::vector<std::string> rotated = walked;
  std::rotate(rotated.begin(), rotated.begin() + 2, rotated.end());
  for (const auto& order : {reversed, rotated, walked}) {
    SCOPED_TRACE(::testing::PrintToString(order));
    FakePlatform fs;
    outcome_tree(fs);
    fs.limit_open_files(2);
    // The first file waits for the others to finish: at least three are open at once.
    fs.finish_in(order, std::chrono::milliseconds(5));
    const SideBySide many = run_side_by_side(fs, 5);
    expect_same(one, many);
    if (order == reversed) {
      EXPECT_GT(fs.calls(Call::open_read), alone.calls(Call::open_read)) << "none ran short";
    }
  }
}

// Sixteen workers, each held to the end of its file: no more than eight large files are
// converted at once, so that memory stays bounded whatever the number of workers.
TEST(SideBySide, AtMostEightLargeFilesAtOnce) {
  FakePlatform fs;
  std::vector<std::string> order;
  for (char i = 'a'; i < 'a' + 16; ++i) {
    order.push_back(std::string(1, i) + ".c");
    fs.add_file(order.back(), std::string(FakePlatform::LARGE + 1, 'x'));
  }
  std::reverse(order.begin(), order.end());
  fs.finish_in(order, std::chrono::milliseconds(50));
  RecordingReporter r;
  Cp1252CodePage acp;
  Walk walk(fs, fs, acp, Direction::sign, r, 16);
  Dir root;
  ASSERT_TRUE(fs.open_root("/t", root).ok());
  walk.walk_directory(root, "/t/");
  fs.close_dir(root);
  EXPECT_FALSE(walk.failed()) << r.err;
  EXPECT_EQ(fs.most_large_read(), 8);
}

// A large file waits for its turn with its lock given up: a file converted beside it, which
// holds a turn, may meet another name of it and wait for that lock.
TEST(SideBySide, ALargeFileWaitsForItsTurnWithoutHoldingItsLock) {
  FakePlatform fs;
  fs.add_file("a.c", std::string(FakePlatform::LARGE + 1, 'x'));
  Dir root;
  ASSERT_TRUE(fs.open_root("/t", root).ok());
  Cp1252CodePage acp;
  Budget budget;
  for (int i = 0; i < Budget::LARGE_FILES; ++i) ASSERT_TRUE(budget.try_large());
  Converter converter(fs, fs, acp, Direction::sign, budget);
  Outcome outcome;
  std::thread converting([&] { outcome = converter.convert_file(root, "a.c", "/t/a.c"); });
  // Opened, and closed again to wait.
  for (int i = 0; i < 10000 && (fs.calls(Call::close) == 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  File file;
  const Status s = fs.open_read(root, "a.c", file);
  EXPECT_TRUE(s.ok()) << "locked while it waits";
  if (s.ok()) fs.close(file);
  budget.give_large();
  converting.join();
  fs.close_dir(root);
  EXPECT_EQ(outcome.kind, Outcome::converted) << outcome.reason;
  EXPECT_EQ(fs.open_handles(), 0);
}

// The walk's folders leave the descriptors that the most workers' files need, however many
// this run has: under a limit of 170 open files the tenth folder below the tree is opened
// and the eleventh refused, as an open past the limit is; a folder let go makes room again.
TEST(SideBySide, TheWalksFoldersLeaveTheDescriptorsOfTheMostWorkersFiles) {
  const Status past{Fault::exhausted, EMFILE};
  const struct {
    std::uint64_t limit;
    int folders;
  } cases[] = {{170, 10}, {161, 1}, {160, 0}, {20, 0}};
  for (const auto& c : cases) {
    for (const unsigned workers : {1u, Budget::MOST_WORKERS}) {
      SCOPED_TRACE(std::to_string(c.limit) + " open files, " + std::to_string(workers) + " workers");
      Budget budget(workers, OpenFiles{c.limit, past});
      for (int i = 0; i < c.folders; ++i) ASSERT_TRUE(budget.take_folder().ok()) << i;
      const Status refused = budget.take_folder();
      EXPECT_EQ(refused.fault, past.fault);
      EXPECT_EQ(refused.code, past.code);
      if (c.folders == 0) continue;
      budget.give_folder();
      EXPECT_TRUE(budget.take_folder().ok());
      EXPECT_FALSE(budget.take_folder().ok());
    }
  }
  Budget unlimited;
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(unlimited.take_folder().ok()) << i;
}

// On a share the first file is converted alone: the others wait for it, whatever order
// they would finish in, and the run still prints and leaves what one at a time does.
TEST(SideBySide, OnAShareTheFirstFileIsConvertedBeforeAnyOther) {
  FakePlatform alone;
  alone.as_share();
  outcome_tree(alone, 20);
  const SideBySide one = run_side_by_side(alone, 1);
  const std::vector<std::string> walked = alone.opened();
  FakePlatform fs;
  fs.as_share();
  outcome_tree(fs, 20);
  fs.finish_in(std::vector<std::string>(walked.rbegin(), walked.rend()),
               std::chrono::milliseconds(5));
  const SideBySide many = run_side_by_side(fs, 4);
  ASSERT_FALSE(many.finished.empty());
  EXPECT_EQ(many.finished.front(), walked.front());
  EXPECT_NE(many.finished, walked) << "the files after the first were not converted at once";
  expect_same(one, many);
}

TEST(SideBySide, WorkersAreTheProcessorsUpToEightAndSixteenOnAShare) {
  const struct {
    unsigned processors;
    bool shared;
    unsigned workers;
  } cases[] = {{1, false, 1}, {1, true, 1}, {2, false, 2}, {8, false, 8},
               {64, false, 8}, {2, true, 16}, {64, true, 16}};
  for (const auto& c : cases)
    EXPECT_EQ(worker_count(c.processors, c.shared), c.workers)
        << c.processors << " processors" << (c.shared ? " on a share" : "");
}

}  // namespace
}  // namespace nivra::test
