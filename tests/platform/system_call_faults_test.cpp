// The POSIX platform on a real folder, with its system calls failed in turn: the Nth call
// of each kind, once and from then on, for every N until a run meets no fault. Whatever
// fails, no file is lost, no descriptor is left open, the run says so, and a clean rerun
// finishes the job. Each run is a process of its own, as a run of the programs is, so that
// the next one finds what it left as the temporaries of a run that has ended.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "main/program.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/system_calls.h"
#include "support/fake_platform.h"
#include "support/fault_checks.h"
#include "support/test_support.h"
#include "text/code_page.h"

namespace nivra::test {
namespace {

using posix::libc_calls;

/// The kinds of system call, in the order of the table.
enum class Sys {
  openat, close, fstat, fstatat, flock, pread, write,
  fchown, fchmod, fsetxattr, linkat, renameat2, renameat, unlinkat,
};
constexpr int SYS_KINDS = 14;
constexpr const char* SYS_NAMES[SYS_KINDS] = {
    "openat", "close",  "fstat",     "fstatat", "flock",     "pread",    "write",
    "fchown", "fchmod", "fsetxattr", "linkat",  "renameat2", "renameat", "unlinkat"};

/// The `nth` call of `kind` fails with `code`, and with `persistent` every later one too;
/// with `nth` 0, none does.
struct SysFault {
  Sys kind = Sys::openat;
  int nth = 0;
  int code = 0;
  bool persistent = false;
};

/// The fault of the run in this process, and what the run met.
struct Injector {
  SysFault fault;
  int calls[SYS_KINDS] = {};
  int met = 0;
  bool closed_written = false;  ///< a failed close was of a file the run wrote
} injector;

/// Counts a call of `kind`; true, with errno set, when it is to fail.
bool fails(Sys kind) {
  const int n = ++injector.calls[int(kind)];
  const SysFault& f = injector.fault;
  if (f.nth == 0 || kind != f.kind || n < f.nth || (n > f.nth && !f.persistent)) return false;
  ++injector.met;
  errno = f.code;
  return true;
}

/// The C library's calls, each counted and failed when its turn has come.
const posix::SystemCalls& faulty_calls() {
  static const posix::SystemCalls calls = {
      [](auto... a) { return fails(Sys::openat) ? -1 : libc_calls().openat(a...); },
      // A failed close ends the descriptor all the same.
      [](int fd) {
        if (!fails(Sys::close)) return libc_calls().close(fd);
        const int e = errno;
        injector.closed_written |= (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY;
        libc_calls().close(fd);
        errno = e;
        return -1;
      },
      [](auto... a) { return fails(Sys::fstat) ? -1 : libc_calls().fstat(a...); },
      [](auto... a) { return fails(Sys::fstatat) ? -1 : libc_calls().fstatat(a...); },
      [](auto... a) { return fails(Sys::flock) ? -1 : libc_calls().flock(a...); },
      [](auto... a) { return fails(Sys::pread) ? -1 : libc_calls().pread(a...); },
      [](auto... a) { return fails(Sys::write) ? -1 : libc_calls().write(a...); },
      [](auto... a) { return fails(Sys::fchown) ? -1 : libc_calls().fchown(a...); },
      [](auto... a) { return fails(Sys::fchmod) ? -1 : libc_calls().fchmod(a...); },
      [](auto... a) { return fails(Sys::fsetxattr) ? -1 : libc_calls().fsetxattr(a...); },
      [](auto... a) { return fails(Sys::linkat) ? -1 : libc_calls().linkat(a...); },
      [](auto... a) { return fails(Sys::renameat2) ? -1 : libc_calls().renameat2(a...); },
      [](auto... a) { return fails(Sys::renameat) ? -1 : libc_calls().renameat(a...); },
      [](auto... a) { return fails(Sys::unlinkat) ? -1 : libc_calls().unlinkat(a...); },
  };
  return calls;
}

/// Runs `work` in a child process; returns what it returned. The programs' run tag is
/// made once a process, so no run may take place in this one.
std::string in_child(const std::function<std::string()>& work) {
  int out[2];
  if (pipe(out) != 0) return "";
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(out[0]);
    const std::string report = work();
    for (std::size_t done = 0; done < report.size();) {
      const ssize_t n = ::write(out[1], report.data() + done, report.size() - done);
      if (n <= 0) _exit(1);
      done += std::size_t(n);
    }
    _exit(0);
  }
  ::close(out[1]);
  std::string report;
  char buf[65536];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) report.append(buf, std::size_t(n));
  ::close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run's process failed";
  return report;
}

/// Descriptors of this process open on something below `root`.
int open_below(const std::string& root) {
  int n = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code e;
    n += std::filesystem::read_symlink(fd.path(), e).string().starts_with(root);
  }
  return n;
}

/// Every name below `root`, as snapshot() gives them, with each file's permission bits
/// before its content, as the fake's snapshot has them.
Tree tree_at(const std::string& root) {
  Tree tree = snapshot(root);
  for (auto& [name, entry] : tree) {
    struct stat st;
    if (lstat((root + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o ", unsigned(st.st_mode & 07777));
    entry.insert(0, mode);
  }
  return tree;
}

/// One run of `direction` over `root` in a process of its own, with `fault`.
struct Run {
  RunResult result;
  int met = 0;
  int calls[SYS_KINDS] = {};
  int left_open = 0;
  bool closed_written = false;
};

Run run(const std::string& root, Direction direction, const SysFault& fault = {}) {
  const std::string report = in_child([&] {
    injector = Injector{fault};
    RecordingReporter r;
    int status;
    {
      PosixPlatform fs(faulty_calls());
      PosixHost host;
      Cp1252CodePage acp;
      status = nivra::run_program(fs, host, acp, direction, r, root + "/nivra");
    }
    std::ostringstream o;
    o << status << ' ' << injector.met << ' ' << injector.closed_written << ' '
      << open_below(root) << ' ';
    for (const int n : injector.calls) o << n << ' ';
    o << r.out.size() << ' ' << r.err.size() << '\n' << r.out << r.err;
    return o.str();
  });
  Run out;
  std::istringstream in(report);
  std::size_t out_size = 0, err_size = 0;
  in >> out.result.status >> out.met >> out.closed_written >> out.left_open;
  for (int& n : out.calls) in >> n;
  in >> out_size >> err_size;
  in.get();
  out.result.out.resize(out_size);
  out.result.err.resize(err_size);
  in.read(out.result.out.data(), std::streamsize(out_size));
  in.read(out.result.err.data(), std::streamsize(err_size));
  EXPECT_TRUE(in) << "the run's report is cut short";
  out.result.tree = tree_at(root);
  return out;
}

/// The tag of a run that has ended, for the temporaries it left.
const std::string& ended_tag() {
  static const std::string tag = in_child([] { return ended_run_tag(); });
  return tag;
}

/// Writes the fault tests' tree into `root`, readied for a run of `direction` (for
/// unsign, as an unfaulted sign run leaves it), with the temporaries of a run that ended
/// while converting READ.C.
void prepare(const std::string& root, Direction direction) {
  for (const TreeEntry& entry : fault_tree()) {
    const std::string path = root + "/" + entry.path;
    if (entry.target.empty()) {
      write_file(path, entry.content, mode_t(entry.mode));
      continue;
    }
    make_dirs(path.substr(0, path.rfind('/')));
    EXPECT_EQ(symlink(entry.target.c_str(), path.c_str()), 0) << path;
  }
  // A file of another owner gets its owner back; one with an access list and an
  // attribute of its own gets them back too, where the system keeps them.
  if (running_as_root()) {
    EXPECT_EQ(chown((root + "/src/parser/lexer.h").c_str(), 1, 1), 0);
  }
  const std::string util = root + "/util.h";
  setxattr(util.c_str(), "user.origin", "tests", 5, 0);
  // The owner may read and write, user 1 read; nobody else anything.
  const std::uint32_t UNDEFINED = 0xFFFFFFFF;
  struct AclEntry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  const std::uint32_t version = 2;
  const AclEntry acl[] = {
      {0x01, 6, UNDEFINED}, {0x02, 4, 1}, {0x04, 0, UNDEFINED}, {0x10, 4, UNDEFINED},
      {0x20, 0, UNDEFINED}};
  std::string value(reinterpret_cast<const char*>(&version), sizeof version);
  value.append(reinterpret_cast<const char*>(acl), sizeof acl);
  setxattr(util.c_str(), "system.posix_acl_access", value.data(), value.size(), 0);
  if (direction == Direction::unsign) {
    const Run signed_tree = run(root, Direction::sign);
    EXPECT_EQ(signed_tree.result.status, 0) << signed_tree.result.err;
  }
  write_file(root + "/src/io/" + temporary_name("READ.C", "new", ended_tag()),
             "\xEF\xBB\xBF/* \xC3");
  write_file(root + "/src/io/" + temporary_name("READ.C", "cpy", ended_tag()), "/* \xE0 la");
}

/// The error numbers each kind of call fails with: a fault of the device, and what the
/// platform answers in its own way.
std::vector<int> codes_for(Sys kind) {
  switch (kind) {
    case Sys::openat: return {EACCES, EMFILE};
    case Sys::fstatat: return {EIO, ENOENT};
    case Sys::flock: return {EWOULDBLOCK, ENOLCK};  // held by another run; no locks
    case Sys::write: return {ENOSPC, EIO};
    case Sys::fchown: return {EPERM};
    case Sys::fchmod: return {EIO};  // refused (EPERM), the file would keep its own
    case Sys::fsetxattr: return {EOPNOTSUPP, EIO};
    case Sys::linkat: return {EPERM, EIO};     // no hard links, or none for this process
    case Sys::renameat2: return {EINVAL, EIO};  // no exchange of two names
    case Sys::renameat:
    case Sys::unlinkat: return {EACCES, EIO};
    default: return {EIO};
  }
}

/// A folder in memory where there is one: a thousand runs over a disk's file system would
/// wait for the device at every rename over a name.
std::string memory_folder() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

void every_fault(Direction direction) {
  TempDir base(memory_folder());
  const std::string root = base / "tree";
  prepare(root, direction);
  const Tree before = tree_at(root);
  const Run unfaulted = run(root, direction);
  ASSERT_EQ(unfaulted.result.status, 0) << unfaulted.result.err;
  const Unfaulted baseline{before, unfaulted.result};
  for (int k = 0; k < SYS_KINDS; ++k) {
    const Sys kind = Sys(k);
    if (unfaulted.calls[k] == 0) {
      std::printf("[ faults   ] %-12s %-9s never called on this file system\n",
                  traits(direction).program.data(), SYS_NAMES[k]);
      continue;
    }
    int runs = 0, harmless = 0;
    for (const int code : codes_for(kind)) {
      for (const bool persistent : {false, true}) {
        for (int n = 1; n < 10000; ++n) {
          SCOPED_TRACE(std::string(SYS_NAMES[k]) + " #" + std::to_string(n) + " " +
                       std::strerror(code) + (persistent ? ", on" : ", once"));
          remove_tree(root);
          prepare(root, direction);
          const Run r = run(root, direction, SysFault{kind, n, code, persistent});
          EXPECT_EQ(r.left_open, 0) << "descriptors left open";
          if (r.met == 0) {
            EXPECT_EQ(n, unfaulted.calls[k] + 1) << "the counts of the unfaulted run differ";
            EXPECT_EQ(r.result.tree, unfaulted.result.tree);
            break;
          }
          ++runs;
          harmless += r.result.status == 0;
          if (r.closed_written) {
            EXPECT_EQ(r.result.status, 1) << "a failed close of a written file went unreported";
          }
          check_faulted(baseline, r.result, direction, root, kind == Sys::unlinkat);
          const Run again = run(root, direction);
          EXPECT_EQ(again.result.status, 0) << again.result.out << again.result.err;
          EXPECT_EQ(again.result.tree, unfaulted.result.tree)
              << "the clean rerun differs: " << differences(again.result.tree,
                                                            unfaulted.result.tree);
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
    std::printf("[ faults   ] %-12s %-9s %4d faulted runs, %3d harmless\n",
                traits(direction).program.data(), SYS_NAMES[k], runs, harmless);
  }
}

TEST(SystemCallFaults, SignLosesNothingWhicheverCallFails) { every_fault(Direction::sign); }

TEST(SystemCallFaults, UnsignLosesNothingWhicheverCallFails) { every_fault(Direction::unsign); }

}  // namespace
}  // namespace nivra::test
