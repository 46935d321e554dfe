// The programs on network shares: for each kind of share in MOUNTS, one folder served from
// 127.0.0.1 and mounted twice (tests/reliability/share.sh), as two machines see one share.
// One run then the other program, two runs at once over several rounds, and kills, each
// checked on the server's side as the local reliability tests check a tree.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

constexpr unsigned SEED = 20261208;
using Files = std::map<std::string, std::string>;

/// One kind of share, and how much of each test it takes within the time of the suite.
struct Mount {
  const char* kind;  ///< as share.sh names it
  int files;         ///< files of each tree
  int rounds;        ///< rounds of two clients at once
  int kills;         ///< kills wanted
  int settle_s;      ///< longest wait for the server to hold what a client wrote
  /// Each client keeps sizes and listings of its own for seconds, which the other's writes
  /// do not refresh: after a run killed through one mount, a clean run through the other
  /// may report a file its listing still shows as it was.
  bool own_caches = false;
  /// How long after a close the client sends what was written (rclone: 5 s), and keeps
  /// its listing (rclone) or what it learnt of a name (s3fs), 3 s (see share.sh): how long
  /// to wait before the server, or another run, sees what a run did.
  int write_back_s = 0;
  /// The client keeps listings for seconds (sshfs: 20 s): a name emptied or a NAME.OLD
  /// removed through the other client still shows through this one.
  bool cached_listings = false;
  /// The client answers reads from its own copy of a file for a second after it last
  /// asked, and a rename carries that copy along, shown under the new name long after
  /// (davfs2): a run's checks cannot see the other client's file there, so that both runs
  /// may convert a file, with its right bytes. Only that is not held against them.
  bool stale_copies = false;
  /// A rename is a copy, then a removal (s3fs): a run that leaves a file to another run puts
  /// the original back after at most 2 s, which may replace that run's new file. The file
  /// is then reported by one run and counted converted by the other. Only that is not held
  /// against it; a file converted twice is.
  bool late_put_backs = false;
};

// Fewer files on the slow mounts, so that the whole suite stays within some ten minutes on
// a machine of two cores: smbnetfs fails its first listing of attributes after seconds, and
// every call for seconds after that, once in each run.
constexpr Mount MOUNTS[] = {
    {"sshfs", 100, 2, 12, 3, false, 0, true},
    {"smbnetfs", 12, 2, 2, 8},
    {"rclone-sftp-writes", 20, 1, 3, 15, true, 6},
    {"rclone-sftp-full", 20, 1, 3, 15, true, 6},
    {"rclone-smb-writes", 20, 1, 3, 15, true, 6},
    {"davfs2", 16, 1, 3, 20, true, 2, false, true},
    {"s3fs", 16, 1, 3, 20, false, 4, false, false, true},
};

void PrintTo(const Mount& m, std::ostream* os) { *os << m.kind; }

/// What the files of `before` hold once the program of `direction` has run on them.
Files after_run(const Files& before, Direction direction) {
  const Files all = converted(before, direction);
  Files out;
  for (const auto& [rel, content] : before) out[rel] = all.at(rel);
  return out;
}

/// The files of a tree, without folders, backups, and temporaries (which a client with
/// caches of its own may keep showing after two runs at once).
Files sources(Files tree) {
  std::erase_if(tree, [](const auto& entry) {
    return entry.second == "<dir>" || entry.first.ends_with(".OLD") ||
           is_temporary_path(entry.first) || entry.first.find(".fuse_hidden") != entry.first.npos;
  });
  return tree;
}

/// A share of one kind, up for the rest of the suite once a test asked for it.
struct Up {
  std::unique_ptr<TempDir> state;
  std::string server, a, b;  ///< the served folder, and the two clients' views of it
  std::string skip, error;
  int restarts = 0;          ///< mounts that died and were mounted again
};

std::string script_output(const ProgramResult& r) { return r.out + r.err; }

ProgramResult share_script(const char* command, const std::string& kind, const std::string& state) {
  RunOptions options;
  options.extra_args = {NIVRA_SHARE_SCRIPT, command, kind, state};
  return run("/bin/bash", options);
}

/// Reads every file under `root` as a client lists a tree before working in it: names,
/// sizes and content end up in whatever that client caches. Errors are no concern here.
int browse(const std::string& root) {
  int files = 0;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code e;
    if (!it->is_regular_file(e)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    ++files;
  }
  return files;
}

/// The first lines of a run's output, enough to tell what went wrong.
std::string head(const std::string& text, int lines = 6) {
  std::size_t end = 0;
  for (int i = 0; i < lines && end != std::string::npos; ++i) end = text.find('\n', end + 1);
  return end == std::string::npos ? text : text.substr(0, end + 1) + "...\n";
}

/// Whether the client behind a view is alive: a FUSE client that died leaves its mount
/// point answering "Transport endpoint is not connected". (Other errors may be the
/// client's way of being busy, and pass.)
bool answers(const std::string& view) {
  struct stat st;
  return stat(view.c_str(), &st) == 0 || errno != ENOTCONN;
}

class Share : public ::testing::TestWithParam<Mount> {
 protected:
  /// Takes down every share that is up. Each kind's servers listen on ports of their own,
  /// so that every kind stays up, its servers started once, until the suite ends.
  static void TearDownTestSuite() {
    for (auto& [name, up] : ups_) {
      if (!up.state) continue;
      share_script("down", name, *up.state / "share");
      up.state.reset();
      if (up.restarts)
        std::printf("[ %-8.8s ] %d mounts died and were mounted again\n", name.c_str(),
                    up.restarts);
      up.restarts = 0;
    }
  }
  void SetUp() override {
    const Mount& m = GetParam();
    Up& up = ups_[m.kind];
    if (!up.state && up.skip.empty()) {
      up.state = std::make_unique<TempDir>();
      const ProgramResult r = share_script("up", m.kind, *up.state / "share");
      if (r.status == 77) up.skip = r.out;
      if (r.status != 0 && r.status != 77) up.error = "share.sh up: " + script_output(r);
      if (r.status == 0) std::istringstream(r.out) >> up.server >> up.a >> up.b;
    }
    if (!up.skip.empty()) GTEST_SKIP() << up.skip;
    ASSERT_EQ(up.error, "");
    up_ = &up;
    transcript_.clear();
  }
  /// With NIVRA_SHARE_KEEP set to a folder, a failed test leaves there what the server
  /// holds and what every run traced and printed, to be read after the suite.
  void TearDown() override {
    const char* keep = std::getenv("NIVRA_SHARE_KEEP");
    if (!keep || !up_ || !HasFailure()) return;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string to = std::string(keep) + "/" + name + "-" + std::to_string(time(nullptr));
    std::error_code ec;
    std::filesystem::create_directories(to, ec);
    std::filesystem::copy(up_->server, to + "/server", std::filesystem::copy_options::recursive, ec);
    write_file(to + "/runs.txt", transcript_);
    for (const auto& entry : std::filesystem::directory_iterator(traces(), ec))
      std::filesystem::rename(entry.path(), to + "/" + entry.path().filename().string(), ec);
    std::printf("[ %-8.8s ] kept in %s\n", mount().kind, to.c_str());
  }
  /// Where runs are traced for NIVRA_SHARE_KEEP.
  static std::string traces() {
    static const std::string dir = [] {
      const std::string d = (std::filesystem::temp_directory_path() /
                             ("nivra-traces." + std::to_string(getpid())))
                                .string();
      std::filesystem::create_directories(d);
      return d;
    }();
    return dir;
  }

  const Mount& mount() const { return GetParam(); }
  /// Folder `tree` of the share through "a", "b", or "server".
  std::string at(const std::string& view, const std::string& tree) const {
    const std::string& root = view == "a" ? up_->a : view == "b" ? up_->b : up_->server;
    return root + "/" + tree;
  }

  /// Mounts again a client that died. Its crash is the client's, not the program's: the
  /// caller does the step again.
  bool revived() {
    if (answers(up_->a) && answers(up_->b)) return false;
    ++up_->restarts;
    const ProgramResult r = share_script("remount", mount().kind, *up_->state / "share");
    EXPECT_EQ(r.status, 0) << script_output(r);
    return true;
  }

  /// Runs the program of `direction` in `tree` through `view`, killed after `kill_us`
  /// microseconds when that is not negative; with `log`, strace writes the run's renames
  /// and links there (see renamed_onto()).
  ProgramResult run_in(const std::string& view, const std::string& tree, Direction direction,
                       long long kill_us = -1, const std::string& log = "") {
    RunOptions options;
    options.kill_after_us = kill_us;
    if (!log.empty()) options.logged = {"rename,renameat,renameat2,link,linkat", log};
    const int number = ++traced_;
    // Traced for NIVRA_SHARE_KEEP, unless it is to be killed: a kill would end strace.
    if (std::getenv("NIVRA_SHARE_KEEP") && kill_us < 0 && can_stop_runs())
      options.logged = {"openat,renameat,renameat2,rename,linkat,link,unlinkat,flock,newfstatat,pread64,pwrite64,write,close",
                        log.empty() ? traces() + "/" + view + "-" + std::to_string(number) : log};
    const ProgramResult r = run(
        at(view, tree) + (direction == Direction::sign ? "/nivra-sign" : "/nivra-unsign"), options);
    std::lock_guard lock(transcribing_);
    transcript_ += "=== run " + std::to_string(number) + " through " + view + " in " + tree +
                   ", status " + std::to_string(r.status) + "\n" + r.out + r.err;
    return r;
  }

  /// Runs the program through both views at once, each killed after its delay in
  /// microseconds when that is not negative; with `logs`, each traced into its own.
  std::array<ProgramResult, 2> run_both(const std::string& tree, Direction direction,
                                        long long kill_a = -1, long long kill_b = -1,
                                        const std::array<std::string, 2>& logs = {}) {
    std::array<ProgramResult, 2> results;
    std::latch start(2);
    std::thread other([&] {
      start.arrive_and_wait();
      results[1] = run_in("b", tree, direction, kill_b, logs[1]);
    });
    start.arrive_and_wait();
    results[0] = run_in("a", tree, direction, kill_a, logs[0]);
    other.join();
    return results;
  }

  /// How many times each file got a run's new file under its name, by what strace wrote
  /// to the files `prefix`.* (a rename or a link of a `.new` temporary onto the name that
  /// succeeded); the files are removed.
  static std::map<std::string, int> renamed_onto(const std::string& prefix) {
    static const std::regex step(
        R"re((?:renameat2?|linkat)\(-?\d+, "[^"]*\.new", -?\d+, "([^"/]+)"(?:, \w+)?\) = 0)re");
    std::map<std::string, int> out;
    const std::filesystem::path p(prefix);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), ec)) {
      const std::string name = entry.path().filename().string();
      if (!name.starts_with(p.filename().string() + ".")) continue;
      if (std::getenv("NIVRA_SHARE_KEEP"))
        std::filesystem::copy_file(entry.path(), traces() + "/" + name + "-" +
                                       std::to_string(time(nullptr)), ec);
      std::istringstream lines(read_file(entry.path().string()));
      std::smatch m;
      for (std::string line; std::getline(lines, line);)
        if (std::regex_search(line, m, step) && !is_temporary_path(m[1].str())) ++out[m[1]];
      std::filesystem::remove(entry.path(), ec);
    }
    return out;
  }

  /// Writes `files` into `tree` through view a, with both programs beside them, and waits
  /// until the server holds them.
  void make_tree(const std::string& tree, const Files& files) {
    std::error_code ec;
    std::filesystem::remove_all(at("a", tree), ec);
    write_files(at("a", tree), files);
    install_program(at("a", tree), Direction::sign);
    install_program(at("a", tree), Direction::unsign);
    // The programs too, whole, through both clients: a program started while its client
    // still sends it (davfs2) is no program, and a shell takes it for a script.
    const auto whole = [&](const std::string& view) {
      for (const Direction d : {Direction::sign, Direction::unsign}) {
        const std::string program =
            at(view, tree) + (d == Direction::sign ? "/nivra-sign" : "/nivra-unsign");
        std::ifstream in(program, std::ios::binary);
        std::ostringstream bytes;
        if (!in || !(bytes << in.rdbuf()) || bytes.str() != read_file(built_program(d)))
          return false;
      }
      return true;
    };
    for (int tries = 0; tries < mount().settle_s * 20; ++tries) {
      if (sources(tree_of(at("server", tree))) == files && whole("server") && whole("a") &&
          whole("b"))
        return;
      usleep(100000);
    }
    ADD_FAILURE() << "the server does not hold the tree written through a";
  }

  /// Waits, as long as the server may take to hold a client's writes, until `view` shows
  /// `files`; whether it does.
  bool shows(const std::string& view, const Files& files) {
    // sshfs keeps attributes 20 s.
    for (int tries = 0; tries < std::max(mount().settle_s, 25) * 5; ++tries) {
      if (tries) usleep(200000);
      bool all = true;
      for (const auto& [rel, content] : files)
        if (!(all = exists(view + "/" + rel) && read_file(view + "/" + rel) == content)) break;
      if (all) return true;
    }
    return false;
  }

  /// What the server holds of `tree` once the clients are done with it: clients may send
  /// what they wrote some seconds after the close, and FUSE keeps closed files a moment
  /// under ".fuse_hidden" names. With `all`, the wait ends once every file is converted.
  /// Otherwise it ends once the client has had its time to send what it wrote, and the
  /// tree is clean or has held still for 2 s: what a killed run left, or a temporary a run
  /// named, stays until the next run.
  TreeReport settled(const std::string& tree, const Files& before, const Files& after,
                     bool all = false) {
    using Clock = std::chrono::steady_clock;
    TreeReport report;
    const auto start = Clock::now();
    // Where all must be done, a client that sends what it wrote late (rclone, after a
    // busy moment) is given longer: a tree that was harmed never settles.
    const auto deadline = start + std::chrono::seconds(mount().settle_s * (all ? 3 : 1));
    const auto sent = start + std::chrono::seconds(mount().write_back_s + 1);
    Files held;
    auto still_since = start;
    do {
      Files now_held = tree_of(at("server", tree));
      const auto now = Clock::now();
      if (now_held != held) {
        held = std::move(now_held);
        still_since = now;
      }
      report = check_tree(held, before, after);
      const bool clean = report.faults() + report.hidden + report.temporaries == 0;
      if (all ? clean && report.converted == int(before.size())
              : now >= sent && (clean || (report.hidden == 0 &&
                                          now - still_since >= std::chrono::seconds(2))))
        break;
      usleep(200000);
    } while (Clock::now() < deadline);
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
  /// Waits, at most 30 s, until `view` lists the names of `tree` that the server holds:
  /// a client may answer listings from a cache of its own (sshfs: for up to 20 s). Whether
  /// it has caught up is not asserted: a run over a stale listing must report what it
  /// cannot do.
  void await_listing(const std::string& view, const std::string& tree) {
    for (int tries = 0; tries < 150 && names_in(at(view, tree)) != names_in(at("server", tree));
         ++tries)
      usleep(200000);
  }

  /// Whether `r` names on standard error a folder of `tree` that holds `rel`, one it could
  /// not open: that stands for the files in it.
  static bool in_named_folder(const ProgramResult& r, const std::string& tree,
                              const std::string& rel) {
    for (std::size_t cut = 0; cut != rel.npos; cut = rel.find('/', cut + 1)) {
      const std::string folder = "/" + tree + (cut ? "/" + rel.substr(0, cut) : "") + ": ";
      if (r.err.find(folder) != r.err.npos) return true;
    }
    return false;
  }

  /// How many files of `before` the runs say they converted: each prints one line for
  /// every other file, and one for a folder it could not open.
  static int conversions(const std::array<ProgramResult, 2>& results, const std::string& tree,
                         const Files& before) {
    int n = 0;
    for (const ProgramResult& r : results) {
      if (r.status < 0) continue;
      n += int(before.size());
      for (const std::string& line : split_lines(r.out)) n -= line != MSG_DIR_FAILED;
      for (const auto& [rel, content] : before) n -= in_named_folder(r, tree, rel);
    }
    return n;
  }

  /// Files that were to change, still as they were, and named on no run's standard error,
  /// where a failed backup is named as NAME.OLD.
  int unreported(const std::string& tree, const std::array<ProgramResult, 2>& results,
                 const Files& before, const Files& after) {
    int n = 0;
    for (const auto& [rel, content] : before) {
      if (after.at(rel) == content) continue;
      const std::string path = at("server", tree) + "/" + rel;
      const auto names = [&, &rel = rel](const ProgramResult& r) {
        return in_named_folder(r, tree, rel) || r.err.find(rel + ": ") != r.err.npos ||
               r.err.find(rel + ".OLD: ") != r.err.npos;
      };
      n += exists(path) && read_file(path) == content &&
           std::none_of(results.begin(), results.end(), names);
    }
    return n;
  }

  static inline std::map<std::string, Up> ups_;
  Up* up_ = nullptr;
  std::string transcript_;  ///< what every run printed, for NIVRA_SHARE_KEEP
  std::atomic<int> traced_ = 0;
  std::mutex transcribing_;
};

// The user signs through one machine; later the other machine, which had listed the tree
// before, unsigns it. Its view of the sizes is stale, and must not cut a file.
TEST_P(Share, OneRunThenTheOtherProgramThroughTheOtherMount) {
  const Files before = ansi_sources(mount().files, SEED);
  const Files signed_ = after_run(before, Direction::sign);
  for (int attempt = 0; attempt < 3; ++attempt) {
    make_tree("one", before);
    // Client b may show the tree a few seconds after the server holds it.
    int seen = 0;
    for (int tries = 0; tries < mount().settle_s * 5 && seen != mount().files + 2; ++tries) {
      if (tries) usleep(200000);
      seen = browse(at("b", "one"));
    }
    ASSERT_EQ(seen, mount().files + 2);

    const ProgramResult sign = run_in("a", "one", Direction::sign);
    if (revived()) continue;
    EXPECT_EQ(sign.status, 0) << head(sign.err);
    EXPECT_EQ(split_lines(sign.out).size(), 0u) << head(sign.out);
    TreeReport left = settled("one", before, signed_, true);
    const int signed_through_a = left.converted;
    EXPECT_EQ(left.converted, mount().files);
    EXPECT_EQ(left.faults(), 0) << left.examples;
    EXPECT_EQ(left.temporaries + left.hidden, 0);
    // Client b may show what a wrote only once its caches let go of what it listed; a
    // stale view that remains must not cut a file.
    shows(at("b", "one"), signed_);
    // The backups stay; the other program replaces them with its own.
    const ProgramResult unsign = run_in("b", "one", Direction::unsign);
    if (revived()) continue;
    EXPECT_EQ(unsign.status, 0) << head(unsign.err);
    EXPECT_EQ(split_lines(unsign.out).size(), 0u) << head(unsign.out);
    left = settled("one", signed_, before, true);
    std::printf("[ %-8.8s ] one run then the other: %d files signed through a, %d unsigned "
                "through b, %d missing, %d damaged, %d bad backups, %d temporaries\n",
                mount().kind, signed_through_a, left.converted, left.missing, left.damaged,
                left.bad_backups, left.temporaries + left.hidden);
    EXPECT_EQ(left.converted, mount().files);
    EXPECT_EQ(left.faults(), 0) << left.examples;
    EXPECT_EQ(left.temporaries + left.hidden, 0);
    return;
  }
  ADD_FAILURE() << "the mounts died on every attempt";
}

// Nothing shares a lock between the two mounts: the runs are kept apart by what they
// check, and every file is converted by one of them or named on standard error. Each round
// signs a tree through both at once, then unsigns it through both at once; before each,
// client b reads the whole tree, so that its view is of the tree before the other changes it.
TEST_P(Share, TwoClientsAtOnceConvertEachFileOnceOrReportIt) {
  const Files ansi = ansi_sources(mount().files, SEED);
  int crashes = 0;
  for (int round = 0; round < mount().rounds && crashes < 3; ++round) {
    const std::string tree = "two" + std::to_string(round);
    make_tree(tree, ansi);
    Files before = ansi;
    for (const Direction direction : {Direction::sign, Direction::unsign}) {
      const Files after = after_run(before, direction);
      browse(at("b", tree));
      // A third client (the server) looks for every name while the runs go on.
      std::atomic<bool> done = false;
      std::set<std::string> missing_seen;
      std::thread watcher([&] {
        while (!done)
          for (const auto& [rel, content] : before)
            if (!exists(at("server", tree) + "/" + rel)) missing_seen.insert(rel);
      });
      // Where strace is there, what each run renamed onto which name is counted too.
      std::array<std::string, 2> logs;
      if (can_stop_runs())
        for (int i = 0; i < 2; ++i)
          logs[i] = (std::filesystem::temp_directory_path() /
                     ("nivra-renames." + std::to_string(getpid()) + "." + "ab"[i]))
                        .string();
      const auto results = run_both(tree, direction, -1, -1, logs);
      done = true;
      watcher.join();
      std::map<std::string, int> onto;
      for (const std::string& log : logs)
        if (!log.empty())
          for (const auto& [name, n] : renamed_onto(log)) onto[name] += n;
      if (revived()) {
        ++crashes;
        --round;
        break;
      }
      const TreeReport left = settled(tree, before, after);
      const int unsaid = unreported(tree, results, before, after);
      const int counted = conversions(results, tree, before);
      const char* what = direction == Direction::sign ? "sign" : "unsign";
      std::printf("[ %-8.8s ] round %d, %s: %d converted, %d left and reported, %d left "
                  "unreported, %d missing, %d damaged, %d bad backups, %d temporaries; the runs "
                  "counted %d conversions; %zu names went missing for a while\n",
                  mount().kind, round, what, left.converted, left.unconverted - unsaid, unsaid,
                  left.missing, left.damaged, left.bad_backups, left.temporaries + left.hidden,
                  counted, missing_seen.size());
      EXPECT_EQ(left.faults(), 0) << what << " round " << round << "\n" << left.examples
                                  << "client a:\n" << head(results[0].err, 20)
                                  << "client b:\n" << head(results[1].err, 20);
      const std::string both = "client a:\n" + head(results[0].out + results[0].err, 20) +
                               "client b:\n" + head(results[1].out + results[1].err, 20);
      EXPECT_EQ(unsaid, 0) << what << " round " << round;
      // Where the share cannot swap two names in one step, a name is empty for an instant
      // while a run puts its new file in place: a run that lists the folder then neither
      // converts nor names that file (the other run converts it), and the runs count one
      // conversion too many for it.
      EXPECT_GE(counted, left.converted) << "a file passed over silently: " << what
                                         << " round " << round << "\n" << both;
      // Each file gets a new file under its name once: a second time, the other run took
      // the first new file for the original and converted the file again, saying nothing.
      std::string twice;
      int twice_count = 0;
      for (const auto& [name, n] : onto)
        if (n > 1) {
          twice += name + " ";
          ++twice_count;
        }
      if (!logs[0].empty())
        std::printf("[ %-8.8s ] round %d, %s: %zu files renamed onto by the runs, %d of them "
                    "twice or more\n",
                    mount().kind, round, what, onto.size(), twice_count);
      if (!mount().stale_copies) {
        if (!mount().late_put_backs) {
          EXPECT_LE(counted - left.converted, int(missing_seen.size()))
              << "more conversions counted than names went missing: " << what << " round "
              << round;
        }
        EXPECT_EQ(twice, "") << "converted twice: " << what << " round " << round << "\n"
                             << both;
      }
      // A temporary that the client would not let go of, or a copy of an original that
      // the client could not show to be held elsewhere, is named by its run; no other
      // may stay.
      std::string unnamed;
      for (const std::string& temporary : left.temporary_names) {
        const std::string name = temporary.substr(temporary.rfind('/') + 1);
        if (std::none_of(results.begin(), results.end(), [&](const ProgramResult& r) {
              return r.err.find("/" + name + ": ") != r.err.npos;
            }))
          unnamed += temporary + "\n";
      }
      EXPECT_EQ(unnamed, "") << what << " round " << round << "\nclient a:\n"
                             << head(results[0].err, 20) << "client b:\n"
                             << head(results[1].err, 20);
      EXPECT_EQ(left.hidden, 0) << what << " round " << round;
      if (HasFailure()) return;
      // The next program starts from what this one left, without its backups, nor the
      // temporaries it named: a copy of an original that it kept would become the NAME.OLD
      // of a file the next program leaves as it is, which is right, and not its original.
      before = sources(tree_of(at("server", tree)));
      for (const auto& [rel, content] : before)
        if (exists(at("a", tree) + "/" + rel + ".OLD"))
          std::filesystem::remove(at("a", tree) + "/" + rel + ".OLD");
      std::error_code ec;
      for (const std::string& temporary : left.temporary_names)
        std::filesystem::remove(at("a", tree) + "/" + temporary, ec);
    }
  }
}

// A run through mount b killed while a name is empty, and at once a run through mount a,
// whose cache still holds the name: the original goes back under it and is converted.
TEST_P(Share, ANameEmptiedThroughOneMountIsPutBackThroughTheOther) {
  if (!can_stop_runs()) GTEST_SKIP() << "needs strace (.ci/install-share-tools.sh)";
  if (!mount().cached_listings) GTEST_SKIP() << mount().kind << " keeps no listing for long";
  const Files before = {{"a.c", "caf\xE9\n"}};
  make_tree("emptied", before);
  ASSERT_TRUE(exists(at("a", "emptied") + "/a.c"));  // mount a now caches the name
  RunOptions killed;
  // The new file's step that fails on a taken name, after the original went aside.
  killed.signal_after = {"renameat2", 3, SIGKILL};
  const ProgramResult r = run(at("b", "emptied") + "/nivra-sign", killed);
  ASSERT_EQ(r.status, 128 + SIGKILL) << r.out << r.err;
  ASSERT_FALSE(exists(at("server", "emptied") + "/a.c")) << "the kill missed the empty name";

  const ProgramResult clean = run_in("a", "emptied", Direction::sign);

  EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
  const TreeReport left = settled("emptied", before, converted(before, Direction::sign));
  EXPECT_EQ(left.converted, 1) << left.examples;
  EXPECT_EQ(left.faults(), 0) << left.examples;
  EXPECT_EQ(left.temporaries + left.hidden, 0);
}

// Kills alone through either mount or through both at once leave every file whole, and a
// clean run finishes the tree and leaves no temporary.
TEST_P(Share, KillsThroughBothMountsLeaveWholeFilesAndACleanRunFinishes) {
  const int files = mount().files, wanted = mount().kills;
  const Files before = ansi_sources(files, SEED);
  const Files after = after_run(before, Direction::sign);
  make_tree("timed", before);
  const auto started = std::chrono::steady_clock::now();
  const ProgramResult timed = run_in("a", "timed", Direction::sign);
  ASSERT_EQ(timed.status, 0) << head(timed.err);
  const auto took = std::chrono::steady_clock::now() - started;
  long long bound = std::chrono::duration_cast<std::chrono::microseconds>(took).count() / 2 + 1;

  std::mt19937 rng(SEED);
  int kills = 0, attempts = 0, temporaries = 0, cleans = 0, crashes = 0;
  for (int trees = 0; kills < wanted && attempts < wanted * 3 && crashes < 3; ++trees) {
    // Each tree takes a few kills, alone through either mount or both at once, then a
    // clean run.
    const std::string tree = "kill" + std::to_string(trees);
    make_tree(tree, before);
    for (int k = 0; k < 6 && kills < wanted; ++k, ++attempts) {
      const long long first = rng() % bound, second = attempts % 3 == 2 ? rng() % bound : -2;
      std::array<ProgramResult, 2> runs;
      if (second == -2)
        runs[0] = run_in(attempts % 2 ? "b" : "a", tree, Direction::sign, first);
      else
        runs = run_both(tree, Direction::sign, first, second);
      if (revived()) {
        ++crashes;
        continue;
      }
      if (runs[0].status != 128 + SIGKILL && runs[1].status != 128 + SIGKILL) {
        bound = std::max(bound * 2 / 3, 1000LL);
        break;
      }
      ++kills;
      const TreeReport report = settled(tree, before, after);
      temporaries += report.temporaries;
      // A run killed while a name was empty leaves it so, its original beside, for the
      // next run to put back.
      EXPECT_EQ(report.faults() - report.kept_beside, 0)
          << "after kill " << kills << "\n" << report.examples;
    }
    // The clean run must see the names the killed runs left: a run killed through mount b
    // may have left a name empty that mount a still lists from its cache, and the clean run
    // would then find the file gone and report it, not seeing what b's run left beside it.
    sleep(unsigned(mount().write_back_s));
    await_listing("a", tree);
    ProgramResult clean = run_in("a", tree, Direction::sign);
    ++cleans;
    // A listing cache may not show a killed run's names yet: a file it left with NAME.OLD
    // linked then looks claimed by a live run. The next run sees them and finishes it.
    const auto only_held = [](const ProgramResult& r) {
      for (const std::string& line : split_lines(r.err))
        if (!line.ends_with(": held by another run\n")) return false;
      return r.status == 1 && r.out == repeat(MSG_OPEN_FAILED, split_lines(r.err).size());
    };
    // A client whose caches are its own may show a name that a run killed through the
    // other mount changed: the clean run reports that file, and the next one finishes it.
    if (only_held(clean) || (mount().own_caches && clean.status == 1)) {
      if (!only_held(clean)) std::printf("[ %-8.8s ] clean run again after: %s", mount().kind,
                                         head(clean.err, 3).c_str());
      sleep(unsigned(mount().write_back_s));
      await_listing("a", tree);
      clean = run_in("a", tree, Direction::sign);
    }
    if (revived()) {
      ++crashes;
      continue;
    }
    // rclone's full cache may go on showing, after a kill, a killed run's aside name that
    // the server does not hold, locked as the file under the name is: the run leaves that
    // file's leftovers and reports the name. What it left of that file is not held against
    // it; the file itself still must be whole.
    std::vector<std::string> phantoms;
    if (mount().own_caches && clean.status == 1) {
      for (const std::string& line : split_lines(clean.err)) {
        const std::string root = at("a", tree) + "/";
        const std::size_t from = line.find(root), colon = line.find(": held by another run");
        if (from == line.npos || colon == line.npos || colon < from + root.size()) break;
        const std::string rel = line.substr(from + root.size(), colon - from - root.size());
        const std::string name = rel.substr(rel.rfind('/') + 1);
        if (!is_temporary_path(rel) || exists(at("server", tree) + "/" + rel)) break;
        // What the run left of that file: its names start alike.
        phantoms.push_back(rel.substr(0, rel.size() - name.size()) +
                           name.substr(0, name.find('-', 7) + 1));
      }
      if (phantoms.size() == split_lines(clean.err).size()) {
        std::printf("[ %-8.8s ] the client showed %zu names the server does not hold\n",
                    mount().kind, phantoms.size());
        clean.status = 0;
      }
    }
    EXPECT_EQ(clean.status, 0) << head(clean.err);
    TreeReport left = settled(tree, before, after, true);
    std::erase_if(left.temporary_names, [&](const std::string& name) {
      return std::any_of(phantoms.begin(), phantoms.end(),
                         [&](const std::string& p) { return name.starts_with(p); });
    });
    EXPECT_EQ(left.converted, files) << "after the clean run of tree " << trees;
    EXPECT_EQ(left.faults(), 0) << "after the clean run of tree " << trees << "\n" << left.examples
                                << "the clean run said:\n" << head(clean.out + clean.err, 20);
    EXPECT_EQ(int(left.temporary_names.size()) + left.hidden, 0)
        << "after the clean run of tree " << trees;
    if (HasFailure()) break;
  }
  if (!HasFailure()) {
    EXPECT_GE(kills, wanted * 2 / 3) << "too few kills met the program running";
  }
  std::printf("[ %-8.8s ] %d of %d kills met the program running; %d temporaries found after "
              "them; %d clean runs; %d files a tree\n",
              mount().kind, kills, attempts, temporaries, cleans, files);
}

INSTANTIATE_TEST_SUITE_P(Mounts, Share, ::testing::ValuesIn(MOUNTS),
                         [](const ::testing::TestParamInfo<Mount>& info) {
                           std::string name = info.param.kind;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// davfs2 as a user mounts it, with its WebDAV locks and uploads 10 s after a close: it keeps
// every file it was given locked, and every rename of it failing, until it has sent it,
// and sends one file in about 10 s. A run cannot wait for that; each file it cannot
// convert is named, and none is harmed. The tree is the server's own, as a user's is.
class ShareDefaults : public Share {};

TEST_P(ShareDefaults, WhatAClientThatHoldsNewFilesLetsARunDoIsDoneAndTheRestNamed) {
  const Files before = ansi_sources(mount().files, SEED);
  const Files signed_ = after_run(before, Direction::sign);
  write_files(at("server", "defaults"), before);
  install_program(at("server", "defaults"), Direction::sign);
  await_listing("a", "defaults");

  const ProgramResult r = run_in("a", "defaults", Direction::sign);

  const TreeReport left = settled("defaults", before, signed_);
  std::printf("[ %-8.8s ] %d of %d files signed, %d named, %d missing, %d damaged, "
              "%d bad backups, %d temporaries\n",
              mount().kind, left.converted, mount().files, int(split_lines(r.out).size()),
              left.missing, left.damaged, left.bad_backups, left.temporaries + left.hidden);
  EXPECT_EQ(r.status, left.converted == mount().files ? 0 : 1) << head(r.err);
  EXPECT_EQ(left.faults(), 0) << left.examples;
  EXPECT_EQ(left.temporaries + left.hidden, 0);
  // Each file is converted, or named itself or by its backup.
  for (const auto& [rel, content] : before) {
    const std::string path = at("server", "defaults") + "/" + rel;
    if (read_file(path) != content) continue;
    EXPECT_TRUE(r.err.find("/defaults/" + rel + ": ") != r.err.npos ||
                r.err.find("/defaults/" + rel + ".OLD: ") != r.err.npos)
        << rel << " is neither converted nor named\n" << head(r.err);
  }
}

constexpr Mount DEFAULT_MOUNTS[] = {{"davfs2-defaults", 6, 1, 0, 30}};

INSTANTIATE_TEST_SUITE_P(Mounts, ShareDefaults, ::testing::ValuesIn(DEFAULT_MOUNTS),
                         [](const ::testing::TestParamInfo<Mount>& info) {
                           std::string name = info.param.kind;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

/// The suite runs for minutes and its output is long: every failure is told again at the
/// end, shortened, where a log cut in the middle still shows it.
class FailuresAgainAtTheEnd : public ::testing::EmptyTestEventListener {
  // The test's name is kept from its start: asking the suite for it while a failure is
  // reported would wait on the lock the suite holds.
  void OnTestStart(const ::testing::TestInfo& test) override { test_ = test.name(); }
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::string message = result.message();
    if (message.size() > 1500) message = message.substr(0, 1500) + "...";
    told_ += test_ + " at line " +
             std::to_string(result.line_number()) + ":\n" + message + "\n";
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    if (!told_.empty()) std::printf("\nThe failures again:\n%s", told_.c_str());
    std::fflush(stdout);
  }
  std::string test_, told_;
};

[[maybe_unused]] const bool told_again = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FailuresAgainAtTheEnd);
  return true;
}();

}  // namespace
}  // namespace nivra::test
