// Several runs of nivra-sign over one tree at the same time: each file is converted once,
// and every backup holds the original, never the signed form. Another program that saves
// over a file or adds to it while it is converted keeps what it did.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <cstdio>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "convert/replace.h"
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
      // Each message, a skip's too, has its line that names the file.
      EXPECT_EQ(split_lines(r.err).size(), split_lines(r.out).size()) << r.err;
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

// Two names of one file, met one after the other: however many files a run converts at
// once, each name is converted in its turn, and none is reported as held by another run.
TEST(Concurrent, TwoNamesOfOneFileAreEachConvertedInTheirTurn) {
  TempDir expected_tree, tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  for (int i = 0; i < FILES; ++i) {
    const std::string a = "d/a" + std::to_string(i) + ".c", b = "d/b" + std::to_string(i) + ".c";
    write_file(expected_tree / a, original(i));
    write_file(expected_tree / b, original(i));
    write_file(tree / a, original(i));
    ASSERT_EQ(link((tree / a).c_str(), (tree / b).c_str()), 0);
  }
  ASSERT_EQ(run(install_program(expected_tree.path(), Direction::sign)).status, 0);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(differences(snapshot(tree.path()), snapshot(expected_tree.path())), "");
}

/// Holds the open of the first file of folder `dir` whose name `pause_on` accepts until
/// `action` has run (a fanotify permission event): another program acts at a certain
/// moment of a run. `action` must open nothing in `dir`, which would wait for itself.
class OpenGate {
 public:
  OpenGate(const std::string& dir, std::function<bool(std::string_view)> pause_on,
           std::function<void()> action)
      : fan_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE)),
        stop_(eventfd(0, EFD_CLOEXEC)) {
    error_ = fan_ < 0 ? errno : 0;
    if (fan_ >= 0 && fanotify_mark(fan_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD,
                                   AT_FDCWD, dir.c_str()) != 0)
      error_ = errno;
    if (error_ == 0)
      thread_ = std::thread([this, pause_on, action] { answer(pause_on, action); });
  }
  ~OpenGate() {
    stop();
    close(stop_);
  }
  /// Stops holding opens back: after it, what the action used may be let go.
  void stop() {
    const std::uint64_t one = 1;
    if (thread_.joinable() && write(stop_, &one, sizeof one) == sizeof one) thread_.join();
    if (fan_ >= 0) close(fan_);  // lets whatever still waits through
    fan_ = -1;
  }
  int error() const { return error_; }
  bool acted() const { return acted_; }

 private:
  void answer(const std::function<bool(std::string_view)>& pause_on,
              const std::function<void()>& action) {
    pollfd fds[2] = {{fan_, POLLIN, 0}, {stop_, POLLIN, 0}};
    alignas(fanotify_event_metadata) char buf[4096];
    while (poll(fds, 2, -1) >= 0 && !(fds[1].revents & POLLIN)) {
      const ssize_t n = read(fan_, buf, sizeof buf);
      auto* e = reinterpret_cast<fanotify_event_metadata*>(buf);
      for (ssize_t left = n; FAN_EVENT_OK(e, left); e = FAN_EVENT_NEXT(e, left)) {
        char path[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(e->fd);
        const ssize_t size = readlink(link.c_str(), path, sizeof path);
        const std::string_view opened(path, size > 0 ? std::size_t(size) : 0);
        if (!acted_ && e->pid != getpid() && pause_on(opened.substr(opened.rfind('/') + 1))) {
          action();
          acted_ = true;
        }
        const fanotify_response allow{e->fd, FAN_ALLOW};
        [[maybe_unused]] const ssize_t answered = write(fan_, &allow, sizeof allow);
        close(e->fd);
      }
    }
  }

  int fan_, stop_, error_ = 0;
  bool acted_ = false;
  std::thread thread_;
};

// The moment is the creation of the run's temporary: the file has been read, and the
// replace is still to come.
TEST(Concurrent, ASaveOverOrLinesAddedToAFileWhileItIsConvertedAreKept) {
  const std::string signed_text = std::string(UTF8_SIGNATURE) + repeat("caf\xC3\xA9 \r", 800000);
  const std::string ansi_text = repeat("caf\xE9 \r", 800000);  // 4 MB and more
  const std::string small_signed = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9", small_ansi = "caf\xE9";
  const std::string theirs = "their save\n";
  for (const Direction direction : {Direction::sign, Direction::unsign}) {
    const bool sign = direction == Direction::sign;
    const std::string program_name(traits(direction).program);
    const std::string& before = sign ? ansi_text : signed_text;
    for (const bool save : {true, false}) {
      SCOPED_TRACE(program_name + (save ? ", saved over" : ", added to"));
      TempDir tree, elsewhere;
      const std::string program = install_program(tree.path(), direction);
      write_file(tree / "big.c", before);
      write_file(tree / "small/other.c", sign ? small_ansi : small_signed);
      write_file(elsewhere / "big.c", theirs);
      const int append = open((tree / "big.c").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      ASSERT_GE(append, 0);
      OpenGate gate(
          tree.path(), [](std::string_view name) { return name.ends_with(".new"); },
          [&] {
            if (save)
              EXPECT_EQ(rename((elsewhere / "big.c").c_str(), (tree / "big.c").c_str()), 0);
            else
              EXPECT_EQ(write(append, theirs.data(), theirs.size()), ssize_t(theirs.size()));
          });
      if (gate.error() != 0)
        GTEST_SKIP() << "fanotify permission events are refused here ("
                     << std::strerror(gate.error()) << "); they need CAP_SYS_ADMIN";

      const ProgramResult r = run(program);

      gate.stop();
      close(append);
      EXPECT_TRUE(gate.acted()) << "the run never created its temporary";
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, MSG_CHANGED);
      EXPECT_EQ(r.err, program_name + ": " + (tree / "big.c") + ": " +
                           (save ? "another file was put under its name while it was converted"
                                 : "its content changed while it was converted") +
                           "\n");
      EXPECT_TRUE(read_file(tree / "big.c") == (save ? theirs : before + theirs))
          << "big.c holds " << read_file(tree / "big.c").size() << " bytes";
      EXPECT_EQ(read_file(tree / "small/other.c"), sign ? small_signed : small_ansi);
      std::vector<std::string> names = {program_name, "big.c", "small", "small/other.c",
                                        "small/other.c.OLD"};
      std::sort(names.begin(), names.end());
      std::vector<std::string> left;
      for (const auto& entry : snapshot(tree.path())) left.push_back(entry.first);
      EXPECT_EQ(left, names);  // no big.c.OLD, no temporary
    }
  }
}

const std::string SAVE = "saved by an editor\n";

/// Saves SAVE over `path` as an editor does: a new file renamed over the name.
void save_over(const std::string& path) {
  const std::string spare = path.substr(0, path.rfind('/')) + "/.editor-save";
  write_file(spare, SAVE);
  ASSERT_EQ(rename(spare.c_str(), path.c_str()), 0);
}

// The run is stopped right after it swapped the new file in; meanwhile an editor saves over
// the name. Where the run then finds the original changed (more lines came through a
// descriptor held open), or NAME.OLD cannot take the original (a folder of that name), it
// used to swap back or put the original back over the save and remove what came out: the
// save stays, and the file is reported.
TEST(Concurrent, ASaveBetweenTheSwapAndItsUndoIsKept) {
  if (!can_stop_runs()) GTEST_SKIP() << "needs strace to stop the run after its swap";
  for (const bool appended : {true, false}) {
    SCOPED_TRACE(appended ? "swapped back" : "put back");
    TempDir tree;
    const std::string program = install_program(tree.path(), Direction::sign);
    write_file(tree / "a.c", "caf\xE9\n");
    if (!appended) make_dirs(tree / "a.c.OLD/inside");
    const int writer = open((tree / "a.c").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    RunOptions o;
    o.signal_after = {"renameat2", 1, SIGSTOP};
    Process process(program, o);
    ASSERT_TRUE(process.await_stop());
    if (appended) {
      ASSERT_EQ(write(writer, "int x;\n", 7), 7);
    }
    close(writer);
    save_over(tree / "a.c");
    process.resume();

    const ProgramResult r = process.wait();

    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, MSG_CHANGED);
    EXPECT_EQ(read_file(tree / "a.c"), SAVE);
  }
}

/// Folder "real" of `base` mounted through bindfs at "mount" (`at`, empty where it could not
/// be), unmounted when it goes.
struct BindMount {
  std::string at;
  explicit BindMount(const TempDir& base) {
    make_dirs(base / "real");
    make_dirs(base / "mount");
    if (command_succeeds("bindfs '" + base / "real" + "' '" + base / "mount" + "'"))
      at = base / "mount";
  }
  ~BindMount() {
    if (!at.empty()) command_succeeds("fusermount -u '" + at + "' || umount -l '" + at + "'");
  }
};

// On a user-space file system (bindfs here; sshfs and the like alike), which cannot swap
// two names, the run is stopped after each step of its replace while an editor saves over
// the name: whatever the step, the save stays, and the original is kept as NAME.OLD.
TEST(Concurrent, WithoutAnExchangeOfNamesASaveAtAnyStepIsKept) {
  if (!can_stop_runs() || !running_as_root() || !command_succeeds("bindfs --version"))
    GTEST_SKIP() << "needs strace, bindfs (.ci/install-share-tools.sh) and root to mount";
  TempDir base;
  BindMount bound(base);
  if (bound.at.empty()) GTEST_SKIP() << "bindfs could not mount (no /dev/fuse?)";
  const std::string& mount = bound.at;
  const std::pair<const char*, int> stops[] = {
      {"renameat2", 1}, {"renameat", 1}, {"renameat2", 2}, {"linkat", 2}, {"clock_nanosleep", 1}};
  int stopped = 0;
  for (const auto& [call, nth] : stops) {
    SCOPED_TRACE(std::string(call) + " " + std::to_string(nth));
    const std::string tree = mount + "/" + call + std::to_string(nth);
    const std::string program = install_program(tree, Direction::sign);
    write_file(tree + "/a.c", "caf\xE9\n");
    RunOptions o;
    o.signal_after = {call, nth, SIGSTOP};
    Process process(program, o);
    const bool stop = process.await_stop();
    stopped += stop;
    save_over(tree + "/a.c");
    if (stop) process.resume();

    const ProgramResult r = process.wait();

    EXPECT_EQ(read_file(tree + "/a.c"), SAVE) << r.out << r.err;
    if (exists(tree + "/a.c.OLD")) {
      EXPECT_EQ(read_file(tree + "/a.c.OLD"), "caf\xE9\n");
    }
  }
  EXPECT_GE(stopped, 2) << "the run was stopped at too few steps";
}

// On a user-space file system a NAME.OLD that holds the file's very bytes (a user's copy,
// or a restore from it) is an earlier backup like any other, run after run; one beside a
// temporary of a run that may still be going on is that run's claim, and the file waits.
TEST(Concurrent, OnAUserSpaceFileSystemABackupEqualToItsFileIsNoClaim) {
  if (!running_as_root() || !command_succeeds("bindfs --version"))
    GTEST_SKIP() << "needs bindfs (.ci/install-share-tools.sh) and root to mount";
  TempDir base;
  BindMount bound(base);
  if (bound.at.empty()) GTEST_SKIP() << "bindfs could not mount (no /dev/fuse?)";
  const std::string& mount = bound.at;
  const std::string ansi = "caf\xE9\n", converted = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9\n";
  const std::string tree = mount + "/t";
  const std::string sign = install_program(tree, Direction::sign);
  write_file(tree + "/a.c", ansi);
  write_file(tree + "/a.c.OLD", ansi);
  // Of a live run: this test's own process.
  char pid[16];
  std::snprintf(pid, sizeof pid, "%08x", unsigned(getpid()));
  const std::string theirs =
      tree + "/" + temporary_name("b.c", "new", ended_run_tag().substr(0, 8) + pid + "0000");
  write_file(tree + "/b.c", ansi);
  write_file(tree + "/b.c.OLD", ansi);
  write_file(theirs, "half of it");

  const ProgramResult signed_once = run(sign);

  EXPECT_EQ(signed_once.status, 1) << signed_once.err;
  EXPECT_EQ(signed_once.out, MSG_OPEN_FAILED);
  EXPECT_EQ(signed_once.err, "nivra-sign: " + tree + "/b.c: held by another run\n");
  EXPECT_EQ(read_file(tree + "/a.c"), converted);
  EXPECT_EQ(read_file(tree + "/a.c.OLD"), ansi);
  EXPECT_EQ(read_file(tree + "/b.c"), ansi);
  std::remove(theirs.c_str());
  // The user restores from the backup: the next run converts it again.
  write_file(tree + "/a.c", read_file(tree + "/a.c.OLD"));
  const ProgramResult signed_again = run(sign);
  EXPECT_EQ(signed_again.status, 0) << signed_again.err;
  EXPECT_EQ(signed_again.out, "");
  const std::map<std::string, std::string> expected{
      {"a.c", converted}, {"a.c.OLD", ansi}, {"b.c", converted}, {"b.c.OLD", ansi}};
  EXPECT_EQ(tree_of(tree), expected);
}

}  // namespace
}  // namespace nivra::test
