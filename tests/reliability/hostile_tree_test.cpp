// Trees and files that break programs which walk by path strings or convert a line at a
// time: deeper than PATH_MAX, links swapped in while the run goes on, names of any bytes,
// and files without line feeds.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

const std::string ANSI = "caf\xE9\n";
const std::string SIGNED = std::string(UTF8_SIGNATURE) + "caf\xC3\xA9\n";

/// Cuts the chain of folders named `level` below `root` into pieces moved up into `root`,
/// each short enough to be removed by path.
void cut_chain(const std::string& root, const std::string& level) {
  const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  int fd = dup(top), pieces = 0;
  for (std::size_t bytes = 0;; bytes += level.size() + 1) {
    const int sub = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (sub < 0) break;
    if (bytes > 2000) {
      renameat(fd, level.c_str(), top, ("piece" + std::to_string(pieces++)).c_str());
      bytes = 0;
    }
    close(fd);
    fd = sub;
  }
  close(fd);
  close(top);
}

// Long names make few levels and one-byte names many (and the walk holds a descriptor
// for each level, up to the hard limit). Some 24,000 levels go past any usual limit: the
// walk, which keeps its own stack, reports the level it cannot open and goes on.
TEST(HostileTree, ATreeDeeperThanPathMaxIsConvertedToItsLastFile) {
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  // Folders are made and removed many times faster in memory than on most disks.
  struct statvfs shm;
  const bool in_memory =
      statvfs("/dev/shm", &shm) == 0 && shm.f_bavail * shm.f_frsize > (std::uint64_t(256) << 20);
  const struct {
    std::size_t width, depth;
  } shapes[] = {{200, PATH_MAX / 201 + 1}, {1, PATH_MAX / 2 + 1}, {1, 24000}};
  for (const auto& [width, depth] : shapes) {
    const bool too_deep = files.rlim_max < depth + 64;
    if (too_deep && depth < 24000) {
      std::printf("[ skipped  ] %zu-byte names: the descriptor limit (%lu) is below the depth\n",
                  width, static_cast<unsigned long>(files.rlim_max));
      continue;
    }
    TempDir tree(in_memory ? "/dev/shm" : "");
    const std::string program = install_program(tree.path(), Direction::sign);
    const std::string level(width, 'd');
    int fd = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (std::size_t at = 0; at < depth; ++at) {
      ASSERT_EQ(mkdirat(fd, level.c_str(), 0755), 0);
      const int sub = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = sub;
    }
    const int file = openat(fd, "last.c", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_EQ(write(file, ANSI.data(), ANSI.size()), ssize_t(ANSI.size()));
    close(file);
    auto read_at = [&](const char* name) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd) + "/" + name;
      return exists(path) ? read_file(path) : "<missing>";
    };

    const ProgramResult r = run(program);

    SCOPED_TRACE(std::to_string(depth) + " levels of " + std::to_string(width) + "-byte names");
    if (too_deep) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, MSG_DIR_FAILED);
      EXPECT_TRUE(r.err.ends_with(": " + std::string(std::strerror(EMFILE)) + "\n"))
          << r.err.substr(r.err.size() - std::min<std::size_t>(r.err.size(), 200));
      EXPECT_EQ(read_at("last.c"), ANSI);
    } else {
      EXPECT_EQ(r.status, 0) << r.err.substr(0, 200);
      EXPECT_EQ(read_at("last.c"), SIGNED);
      EXPECT_EQ(read_at("last.c.OLD"), ANSI);
    }
    close(fd);
    cut_chain(tree.path(), level);
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NIVRA_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(NIVRA_ADDRESS_SANITIZER)
#define NIVRA_ADDRESS_SANITIZER 1
#endif
#ifndef NIVRA_ADDRESS_SANITIZER
#define NIVRA_ADDRESS_SANITIZER 0
#endif
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NIVRA_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(NIVRA_THREAD_SANITIZER)
#define NIVRA_THREAD_SANITIZER 1
#endif
#ifndef NIVRA_THREAD_SANITIZER
#define NIVRA_THREAD_SANITIZER 0
#endif
/// Why a sanitizer's runtime cannot run the programs the way a test starts them; "" if none.
constexpr const char* SANITIZER_IN_THE_WAY =
    NIVRA_ADDRESS_SANITIZER || NIVRA_THREAD_SANITIZER
        ? "a sanitizer's runtime reads /proc and maps its shadow memory where the program "
          "would be"
        : "";

/// The resident memory of this process now, in KB.
long resident_kb() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Lines are cut anywhere: files of 64 MB with CR-only line ends or with none convert
// within a few blocks of memory, not twice their size. (Memory is measured here, not time.)
TEST(HostileTree, FilesWithoutLineFeedsConvertInBoundedMemory) {
  // Under AddressSanitizer freed memory waits in a quarantine and counts in the peak: the
  // bound is then the programs' own, 64 MiB, still far below a file held whole.
  constexpr long LIMIT_KB = (NIVRA_ADDRESS_SANITIZER ? 64 : 32) * 1024;
  rusage children;
  getrusage(RUSAGE_CHILDREN, &children);
  // A child counts what it shared with this process before its exec.
  if (children.ru_maxrss > LIMIT_KB / 2 || resident_kb() > LIMIT_KB / 2)
    GTEST_SKIP() << "this process (" << resident_kb() << " KB) or an earlier child ("
                 << children.ru_maxrss << " KB) is too large to measure a child against";
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  constexpr std::size_t MB = std::size_t(1) << 20;
  const std::string cr_block = repeat("int caf\xE9 = 100;\r", MB / 16);  // 16 bytes a line
  const std::string none_block(MB, '\xE9');
  for (const auto& [name, block] : {std::pair{"cr.c", &cr_block}, std::pair{"none.c", &none_block}}) {
    const int out = open((tree / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(write(out, block->data(), MB), ssize_t(MB));
    close(out);
  }

  const ProgramResult r = run(program);

  getrusage(RUSAGE_CHILDREN, &children);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LT(children.ru_maxrss, LIMIT_KB) << "KB at the peak";
  struct stat cr, none;
  ASSERT_EQ(stat((tree / "cr.c").c_str(), &cr), 0);
  ASSERT_EQ(stat((tree / "none.c").c_str(), &none), 0);
  EXPECT_EQ(cr.st_size, off_t(3 + 64 * MB + 64 * MB / 16));
  EXPECT_EQ(none.st_size, off_t(3 + 128 * MB));
  EXPECT_TRUE(exists(tree / "cr.c.OLD") && exists(tree / "none.c.OLD"));
  std::printf("[ memory   ] two 64 MB files without line feeds converted with a peak of %ld KB\n",
              children.ru_maxrss);
}

// Under a low limit of open files, the walk holds at most the limit less 160 folders below
// the tree's own, whatever descriptors the workers hold meanwhile: a shallow folder beside
// many files is walked, and the one level too deep is reported alone.
TEST(HostileTree, TheDeepestLevelIsTheLimitOfOpenFilesLess160) {
  if (!exists("/usr/bin/prlimit")) GTEST_SKIP() << "no /usr/bin/prlimit (util-linux)";
  for (const int limit : {165, 167, 169}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE("a limit of " + std::to_string(limit) + " open files");
      TempDir tree;
      const std::string program = install_program(tree.path(), Direction::sign);
      std::vector<std::string> files;
      for (int i = 0; i < 30; ++i) files.push_back(std::to_string(i) + ".c");
      for (int i = 0; i < 30; ++i)
        files.push_back("s" + std::to_string(i % 6).append("/") + std::to_string(i) + ".h");
      std::string level;
      for (int depth = 1; depth <= limit - 160; ++depth) {
        level += "d/";
        files.push_back(level + "f.c");
      }
      for (const std::string& f : files) write_file(tree / f, ANSI);
      const std::string too_deep = tree / level + "d";
      write_file(too_deep + "/f.c", ANSI);
      RunOptions o;
      o.extra_args = {"--nofile=" + std::to_string(limit), program};

      const ProgramResult r = run("/usr/bin/prlimit", o);

      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, MSG_DIR_FAILED);
      EXPECT_EQ(r.err, diagnostic_line(Direction::sign, too_deep, std::strerror(EMFILE)));
      for (const std::string& f : files) EXPECT_EQ(read_file(tree / f), SIGNED) << f;
      EXPECT_EQ(read_file(too_deep + "/f.c"), ANSI);
    }
  }
}

// Under a limit of address space, files converted side by side (pieces, workers, writing
// behind) meet memory they cannot get: a file that cannot get it fails alone, reported,
// and the run goes on; nothing is lost, nothing is left behind, nothing aborts.
TEST(HostileTree, AMemoryLimitFailsFilesAloneAndTheRunGoesOn) {
  if (*SANITIZER_IN_THE_WAY) GTEST_SKIP() << SANITIZER_IN_THE_WAY;
  if (!exists("/usr/bin/prlimit")) GTEST_SKIP() << "no /usr/bin/prlimit (util-linux)";
  constexpr std::size_t MB = std::size_t(1) << 20;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 40; ++i) files[std::to_string(i).append(".c")] = ANSI;
  files["big1.c"] = repeat("int caf\xE9 = 1;\n", 6 * MB / 16);
  files["big2.c"] = repeat("\xE9\xE8 x\n", 9 * MB / 5);
  for (const long long limit_mb : {55, 60, 65, 70, 80, 120, 200}) {
    SCOPED_TRACE(std::to_string(limit_mb) + " MB of address space");
    TempDir tree;
    const std::string program = install_program(tree.path(), Direction::sign);
    for (const auto& [name, content] : files) write_file(tree / name, content);
    RunOptions o;
    o.extra_args = {"--as=" + std::to_string(limit_mb * 1000000), program};

    const ProgramResult r = run("/usr/bin/prlimit", o);

    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << ": " << r.err;
    int failed = 0;
    for (const auto& [name, content] : files) {
      if (exists(tree / name + ".OLD")) {
        EXPECT_EQ(read_file(tree / name + ".OLD"), content) << name;
        continue;
      }
      ++failed;
      EXPECT_EQ(read_file(tree / name), content) << name;
      EXPECT_EQ(diagnostic_for(r.err, tree / name) + "\n",
                diagnostic_line(Direction::sign, tree / name, "not enough memory"));
    }
    EXPECT_EQ(r.out, repeat(MSG_READ_FAILED, failed));
    EXPECT_EQ(r.status, failed ? 1 : 0);
    for (const auto& [rel, entry] : snapshot(tree.path()))
      EXPECT_FALSE(is_temporary_path(rel)) << rel;
  }
}

/// Status of `path` that a read or a write of it would change.
std::string stamp(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "<missing>";
  char out[160];
  std::snprintf(out, sizeof out, "%ld.%ld %ld.%ld %ld.%ld %lu", st.st_atim.tv_sec,
                st.st_atim.tv_nsec, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                st.st_ctim.tv_nsec, static_cast<unsigned long>(st.st_nlink));
  return out;
}

// A racing thread swaps, over and over, a folder and a file of the tree with symbolic
// links to a folder and a file outside it, while both programs run in turn.
TEST(HostileTree, LinksSwappedInDuringRunsAreNeverFollowed) {
  TempDir tree, outside;
  const std::string sign = install_program(tree.path(), Direction::sign);
  const std::string unsign = install_program(tree.path(), Direction::unsign);
  write_file(tree / "f.c", ANSI);
  for (const char* n : {"sub/a.c", "sub/b.h", "sub/deeper/c.cpp"}) write_file(tree / n, ANSI);
  write_file(outside / "x.c", ANSI);
  write_file(outside / "y.h", SIGNED);
  write_file(outside / "deeper/c.cpp", ANSI);
  // Old access times: with relatime any read would renew them.
  const timespec old_times[2] = {{time(nullptr) - 3 * 86400, 0}, {0, UTIME_OMIT}};
  const auto outside_before = snapshot(outside.path());
  std::map<std::string, std::string> stamps_before;
  for (const auto& [rel, content] : outside_before) {
    utimensat(AT_FDCWD, (outside / rel).c_str(), old_times, AT_SYMLINK_NOFOLLOW);
    stamps_before[rel] = stamp(outside / rel);
  }
  stamps_before["."] = stamp(outside.path());

  std::atomic<bool> stop{false};
  long swaps = 0;
  std::thread racer([&] {
    std::mt19937 rng(7);
    const std::pair<std::string, std::string> targets[] = {{"sub", outside.path()},
                                                           {"f.c", outside / "x.c"}};
    const std::string spare = tree / ".swap";
    while (!stop) {
      for (const auto& [name, target] : targets) {
        const std::string real = tree / name;
        if (symlink(target.c_str(), spare.c_str()) != 0) continue;
        renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
        renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
        // A run may have replaced the link with the file it converted: that one stays.
        struct stat st;
        if (lstat(spare.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
          rename(spare.c_str(), real.c_str());
        else
          unlink(spare.c_str());
        ++swaps;
      }
    }
  });
  int runs = 0, refused = 0;
  for (; runs < 200; ++runs) {
    const ProgramResult r = run(runs % 2 ? unsign : sign);
    for (const std::string& line : split_lines(r.out)) {
      EXPECT_TRUE(line == MSG_OPEN_FAILED || line == MSG_DIR_FAILED || line == MSG_ALREADY_SIGNED ||
                  line == MSG_NOT_SIGNED || line == MSG_CHANGED)
          << line << r.err;
      refused += line == MSG_OPEN_FAILED || line == MSG_DIR_FAILED || line == MSG_CHANGED;
    }
  }
  stop = true;
  racer.join();

  for (const auto& [rel, before] : stamps_before)
    EXPECT_EQ(stamp(outside / rel), before) << rel << " outside the tree was touched";
  EXPECT_EQ(snapshot(outside.path()), outside_before);  // reads them: after the stamps
  for (const char* n : {"f.c", "sub/a.c", "sub/b.h", "sub/deeper/c.cpp"}) {
    const std::string now = read_file(tree / n);
    EXPECT_TRUE(now == ANSI || now == SIGNED) << n;
  }
  std::printf("[ races    ] %d runs while %ld links were swapped in; %d met a link\n", runs, swaps,
              refused);
}

// A root run started by a path through a folder that another user owns: the run is stopped
// right after it started (at its first call for the limit of open files), and that user swaps the folder of the program for a link to a
// folder only root may enter. The run works on the folder that holds the running program,
// never on the one behind the link, even when that holds a file of the program's name.
TEST(HostileTree, TheRootIsTheFolderThatHoldsTheRunningProgram) {
  if (!can_stop_runs() || !running_as_root() || !can_run_unprivileged() ||
      !exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs strace, root, setpriv (util-linux) and an unprivileged user";
  for (const bool decoy : {false, true}) {
    SCOPED_TRACE(decoy ? "a file of the program's name behind the link" : "no such file");
    TempDir tree;
    ASSERT_EQ(chmod(tree.path().c_str(), 0755), 0);
    make_dirs(tree / "home/proj");
    const std::string program = install_program(tree / "home/proj", Direction::sign);
    write_file(tree / "home/proj/mine.c", ANSI);
    give_to_unprivileged(tree / "home");
    write_file(tree / "secret/secret.c", ANSI, 0600);
    if (decoy) install_program(tree / "secret", Direction::sign);
    ASSERT_EQ(chmod((tree / "secret").c_str(), 0700), 0);
    const auto secret = snapshot(tree / "secret");
    RunOptions o;
    o.signal_after = {"prlimit64", 1, SIGSTOP};  // at its start, before it opens a folder
    Process process(program, o);
    ASSERT_TRUE(process.await_stop());
    ASSERT_TRUE(command_succeeds("cd '" + tree / "home" + "' && setpriv --reuid=65534 "
                                 "--regid=65534 --clear-groups sh -c 'mv proj real && ln -s " +
                                 tree / "secret" + " proj'"));
    process.resume();

    const ProgramResult r = process.wait();

    EXPECT_EQ(snapshot(tree / "secret"), secret) << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(tree / "home/real/mine.c"), SIGNED);
  }
}

// Started through the dynamic loader, the system names the loader as the running program:
// a run walks the tree that holds the program's code, never the loader's folder, and where
// argument 0 names another folder, stops (the loader's folder does not hold the program).
TEST(HostileTree, AStartThroughTheLoaderWalksTheProgramsTree) {
  if (NIVRA_THREAD_SANITIZER) GTEST_SKIP() << SANITIZER_IN_THE_WAY;
  std::string loader;
  for (const char* l : {"/lib64/ld-linux-x86-64.so.2", "/lib/ld-linux-aarch64.so.1",
                        "/lib/ld-linux.so.2"})
    if (loader.empty() && exists(l)) loader = l;
  if (loader.empty() || !command_succeeds("'" + loader + "' --help >/dev/null"))
    GTEST_SKIP() << "no dynamic loader of glibc that runs a program named to it";
  const struct {
    bool argv0_elsewhere;
    int status;
  } cases[] = {{false, 0}, {true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv0_elsewhere ? "argument 0 names another folder" : "as a user starts it");
    TempDir t;
    const std::string copy = t / "loader/ld.so";
    write_file(copy, read_file(loader), 0755);
    write_file(t / "loader/victim.h", ANSI);
    write_file(t / "other/o.h", ANSI);
    const std::string program = install_program(t / "tree", Direction::sign);
    write_file(t / "tree/a.h", ANSI);
    RunOptions o;
    if (c.argv0_elsewhere) o.extra_args = {"--argv0", t / "other/nivra-sign"};
    o.extra_args.push_back(program);

    const ProgramResult r = run(copy, o);

    EXPECT_EQ(r.status, c.status) << r.err;
    for (const char* f : {"loader/victim.h", "other/o.h"}) {
      EXPECT_EQ(read_file(t / f), ANSI) << f;
      EXPECT_FALSE(exists(t / f + ".OLD")) << f;
    }
    EXPECT_EQ(read_file(t / "tree/a.h"), c.status == 0 ? SIGNED : ANSI);
    EXPECT_EQ(r.out, c.status == 0 ? "" : MSG_DIR_FAILED);
  }
}

// Without /proc the system cannot tell which file the program is: the run walks nothing,
// not even the folder that holds the program.
TEST(HostileTree, WithoutProcTheRunWalksNoFolder) {
  if (*SANITIZER_IN_THE_WAY) GTEST_SKIP() << SANITIZER_IN_THE_WAY;
  if (!command_succeeds(std::string("unshare ") + (running_as_root() ? "-m" : "-rm") +
                        " sh -c 'mount -t tmpfs none /proc && ! test -e /proc/self' 2>/dev/null"))
    GTEST_SKIP() << "needs unshare (util-linux) and the right to mount in a namespace of its own";
  TempDir t;
  const std::string program = install_program(t / "tree", Direction::sign);
  write_file(t / "tree/a.h", ANSI);
  const auto before = snapshot(t.path());
  RunOptions o;
  o.extra_args = {running_as_root() ? "-m" : "-rm", "sh", "-c",
                  "mount -t tmpfs none /proc && exec \"$0\"", program};

  const ProgramResult r = run("/usr/bin/unshare", o);

  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, MSG_DIR_FAILED);
  EXPECT_EQ(r.err, diagnostic_line(Direction::sign, t / "tree",
                                   "the system cannot tell which file the program is"));
  EXPECT_EQ(snapshot(t.path()), before);
}

// The longest name whose NAME.OLD fits is there too; one longer still is in
// EveryProgram.NoConversionWithoutABackup.
TEST(HostileTree, NamesOfAnyBytesWork) {
  TempDir tree;
  const std::string program = install_program(tree.path(), Direction::sign);
  const std::string names[] = {"new\nline.c",  "back\\slash.c", "bad\xFF\xFE utf8.h",
                               "-leading.c",    std::string(247, 'n') + ".cpp",
                               "odd\n\\\xFF dir/in.c"};
  for (const auto& n : names) write_file(tree / n, ANSI);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  std::map<std::string, std::string> expected{{"odd\n\\\xFF dir", "<dir>"}};
  for (const auto& n : names) {
    expected[n] = SIGNED;
    expected[n + ".OLD"] = ANSI;
  }
  EXPECT_EQ(tree_of(tree.path()), expected);
}

}  // namespace
}  // namespace nivra::test
