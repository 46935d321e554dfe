// Several runs of nivra-sign over one tree at the same time: each file is converted once,
// and every backup holds the original, never the signed form.

#include <algorithm>
#include <cstdio>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr int FILES = 200;
constexpr int RUNS = 3;
constexpr int ROUNDS = 5;

std::string original(int i) {
  std::string text = repeat("\xE0", std::size_t(i) * 7);
  return text.append(" caf\xE9 ").append(std::to_string(i));
}
std::string name(int i) {
  char out[32];
  std::snprintf(out, sizeof out, "d%d/f%d.c", i % 5, i);
  return out;
}

TEST(Concurrent, RunsOverOneTreeConvertEachFileOnce) {
  TempDir expected_tree;
  for (int i = 0; i < FILES; ++i) write_file(expected_tree / name(i), original(i));
  ASSERT_EQ(run(install_program(expected_tree.path(), Direction::sign)).status, 0);
  const auto want = snapshot(expected_tree.path());
  int busy = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    TempDir tree;
    const std::string program = install_program(tree.path(), Direction::sign);
    for (int i = 0; i < FILES; ++i) write_file(tree / name(i), original(i));

    std::vector<ProgramResult> results(RUNS);
    std::latch start(RUNS);
    std::vector<std::thread> runs;
    for (auto& result : results)
      runs.emplace_back([&] {
        start.arrive_and_wait();
        result = run(program);
      });
    for (auto& t : runs) t.join();

    int messages = 0;
    for (const ProgramResult& r : results) {
      int held = 0;
      for (const std::string& line : split_lines(r.out)) {
        ++messages;
        held += line == MSG_OPEN_FAILED;
        EXPECT_TRUE(line == MSG_OPEN_FAILED || line == MSG_ALREADY_SIGNED) << line;
      }
      EXPECT_EQ(r.status, held ? 1 : 0) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), held) << r.err;
      busy += held;
    }
    // A run prints a message for each file it leaves to another: all runs together
    // converted every file exactly once.
    EXPECT_EQ(RUNS * FILES - messages, FILES) << "round " << round;
    EXPECT_EQ(differences(snapshot(tree.path()), want), "") << "round " << round;
    if (HasFailure()) return;
  }
  std::printf("[ races    ] %d rounds of %d runs over %d files; %d files found held\n", ROUNDS,
              RUNS, FILES, busy);
}

}  // namespace
}  // namespace nivra::test
