// The POSIX platform on a real folder, with its system calls failed in turn: the Nth call
// of each kind, once and from then on, where it is the first of its kind on its call path
// or on its file, and for a sample beyond (every N with NIVRA_FAULTS_ALL=1), until a run
// meets no fault. Whatever fails, no file is lost, no descriptor is left open, the run says
// so, and a clean rerun finishes the job.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <vector>

#include "convert/replace.h"
#include "main/program.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_platform.h"
#include "support/fake_platform.h"
#include "support/fault_checks.h"
#include "text/cp1252.h"
#include "support/test_support.h"
#include "text/code_page.h"

namespace nivra::test {
namespace {

using namespace std::literals;
using posix::libc_calls;

/// The kinds of system call, in the order of the table.
enum class Sys {
  openat, close, fstat, fstatat, flock, pread, write,
  fchown, fchmod, fsetxattr, linkat, renameat2, renameat, unlinkat,
  nanosleep, fdopendir, readdir, closedir, fgetxattr, fremovexattr, fcntl, dup3,
};
constexpr int SYS_KINDS = 22;

/// Each kind's name, and the errors it fails with: a fault of the device and, where the
/// platform has an answer of its own, what a system without the feature says.
const struct {
  const char* name;
  std::vector<int> codes;
} KINDS[SYS_KINDS] = {
    {"openat", {EACCES, EMFILE}}, {"close", {EIO}}, {"fstat", {EIO}}, {"fstatat", {EIO, ENOENT}},
    {"flock", {EWOULDBLOCK, ENOLCK}},  // held by another run; no locks at all
    {"pread", {EIO}}, {"write", {ENOSPC, EIO}}, {"fchown", {EPERM}},
    {"fchmod", {EIO}},  // refused (EPERM), a file keeps what it was given
    {"fsetxattr", {EOPNOTSUPP, EIO}},
    {"linkat", {EPERM, EIO}},      // no hard links, or none for this process
    {"renameat2", {EINVAL, EIO}},  // no exchange of two names
    {"renameat", {EACCES, EIO}}, {"unlinkat", {EACCES, EIO}},
    {"nanosleep", {EINTR}}, {"fdopendir", {ENOMEM}}, {"readdir", {EIO}}, {"closedir", {EIO}},
    {"fgetxattr", {EIO}}, {"fremovexattr", {EIO}}, {"fcntl", {EINVAL}}, {"dup3", {EBUSY}},
};

constexpr int SITE_FRAMES = 8;
constexpr int KEPT = 4096;  ///< calls of a kind whose place on their file is kept

/// What a run in a process of its own shares with the test: its fault (the `nth` call of
/// `kind` fails with `code`, and with `persistent` every later one; with `nth` 0, none),
/// and what it met and printed.
struct Shared {
  Sys kind;
  int nth, code;
  bool persistent;
  int calls[SYS_KINDS];
  int met, left_open, status;
  int silent;    ///< calls that the client still fails after a failed listing
  int listings;  ///< listings of attributes asked for
  int written;   ///< writes made before the first listing
  bool closed_written;  ///< a failed close was of a file the run wrote
  std::size_t out_size, err_size;
  char out[16384], err[16384];
  /// Of the Nth call of each kind, which call of its kind on its file it was (1: the
  /// first), or 0 where it was the first of its kind on its call path
  std::uint8_t on_its_file[SYS_KINDS][KEPT];
  /// Where the first failed call was made: return addresses, as offsets in their object
  std::uintptr_t site[SITE_FRAMES];
};

Shared& shared() {
  static void* const memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return *static_cast<Shared*>(memory);
}

/// Whether renameat2() refuses every flag, before a fault of its own.
bool without_rename_flags = false;
/// Whether fstatfs() says a user-space file system, a share's client, holds the tree.
bool on_a_share = false;
/// Whether a removal that fails makes the name vanish all the same, as a share's client
/// that forgets a name whose removal its server refused: the file stays as NAME~.
bool forgets_failed_removal = false;

/// Whether every move of a file aside meets another client's run moving the same file
/// aside, as a client can whose rename copies (s3fs): that run's aside name appears too.
bool another_run_moves_too = false;
/// The tag of that run, a run of another machine.
constexpr std::string_view OTHER_RUN = "0123456789abcdef0123";
/// Whether that run then puts its new file under the name, while this run waits.
bool other_run_converts = false;
constexpr std::string_view OTHER_FILE = "/* the other run's */";
std::string moved_by_both;  ///< the path of the name that the other run is to fill
std::mutex moved_by_both_mutex;  ///< workers side by side call the hooks that use it

/// Whether a listing of attributes fails with EIO, and the calls after it for a while, as
/// a share's client does that asks its server for what it cannot give (smbnetfs).
bool listing_fails = false;

/// The file or folder each descriptor of the run was opened by, and how many calls of each
/// kind each of them met.
std::mutex files_mutex;
std::string opened_as[1024];
std::map<std::string, std::array<int, SYS_KINDS>> calls_on;
/// The call paths, kind first, where the run made a call.
std::set<std::vector<std::uintptr_t>> paths;

/// The file a call is about: the name its descriptor was opened by, followed by the name
/// the call gives beside it, if any (a name in that folder, or an attribute of that file).
/// A file's backup is the file; its temporaries, whatever their run and kind, one more.
/// A call about no file (a pause, a limit, a listing's stream) counts as one file's.
std::string file_of() { return {}; }
std::string file_of(int fd) {
  return fd >= 0 && fd < int(std::size(opened_as)) ? opened_as[fd] : std::string();
}
template <typename Name, typename... Rest>
std::string file_of(int fd, Name name, Rest...) {
  if constexpr (!std::is_same_v<Name, const char*>) {
    return file_of(fd);
  } else {
    std::string_view file(name);
    if (file.starts_with(".nivra-")) file = file.substr(0, file.find('-', 7));
    if (file.ends_with(".OLD")) file.remove_suffix(4);
    return file_of(fd) + "/" + std::string(file);
  }
}

/// Where fails() was called from: the return addresses from its caller on, as offsets in
/// their objects.
[[gnu::noinline]] void call_path(std::uintptr_t (&path)[SITE_FRAMES]) {
  void* frames[SITE_FRAMES + 2];  // this function's and fails()'s first
  const int n = backtrace(frames, int(std::size(frames)));
  for (int i = 2; i < SITE_FRAMES + 2; ++i) {
    Dl_info info;
    const auto base = i < n && dladdr(frames[i], &info) ? std::uintptr_t(info.dli_fbase) : 0;
    path[i - 2] = i < n ? std::uintptr_t(frames[i]) - base : 0;
  }
}

/// Counts a call of `kind` made with `args`; true, with errno set, when it is to fail. The
/// run's threads may call at once.
template <typename... Args>
bool fails(Sys kind, Args... args) {
  Shared& s = shared();
  const int n = std::atomic_ref<int>(s.calls[int(kind)]).fetch_add(1) + 1;
  if (n <= KEPT && s.nth == 0) {
    std::uintptr_t path[SITE_FRAMES];
    call_path(path);
    const std::lock_guard<std::mutex> lock(files_mutex);
    const int nth_on_file = ++calls_on[file_of(args...)][int(kind)];
    std::vector<std::uintptr_t> kind_path{std::uintptr_t(kind)};
    kind_path.insert(kind_path.end(), std::begin(path), std::end(path));
    const bool new_path = paths.insert(std::move(kind_path)).second;
    s.on_its_file[int(kind)][n - 1] = new_path ? 0 : std::uint8_t(std::min(nth_on_file, 255));
  }
  std::atomic_ref<int> silent(s.silent);
  for (int left = silent.load(); left > 0;)
    if (silent.compare_exchange_weak(left, left - 1)) {
      errno = EIO;
      return true;
    }
  if (s.nth == 0 || kind != s.kind || n < s.nth || (n > s.nth && !s.persistent)) return false;
  if (std::atomic_ref<int>(s.met).fetch_add(1) == 0) call_path(s.site);
  errno = s.code;
  return true;
}

/// The C library's calls, each counted and failed when its turn has come.
const posix::SystemCalls& faulty_calls() {
  static const posix::SystemCalls calls = {
      [](int dir, const char* name, int flags, mode_t mode) {
        if (fails(Sys::openat, dir, name)) return -1;
        const int fd = libc_calls().openat(dir, name, flags, mode);
        const std::lock_guard<std::mutex> lock(files_mutex);
        if (fd >= 0 && fd < int(std::size(opened_as))) opened_as[fd] = file_of(dir, name);
        return fd;
      },
      // A failed close ends the descriptor all the same.
      [](int fd) {
        if (!fails(Sys::close, fd)) return libc_calls().close(fd);
        if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY)
          std::atomic_ref<bool>(shared().closed_written).store(true);
        const int e = errno;
        libc_calls().close(fd);
        errno = e;
        return -1;
      },
      [](auto... a) { return fails(Sys::fstat, a...) ? -1 : libc_calls().fstat(a...); },
      [](auto... a) { return fails(Sys::fstatat, a...) ? -1 : libc_calls().fstatat(a...); },
      [](auto... a) { return fails(Sys::flock, a...) ? -1 : libc_calls().flock(a...); },
      [](auto... a) { return fails(Sys::pread, a...) ? -1 : libc_calls().pread(a...); },
      [](auto... a) { return fails(Sys::write, a...) ? -1 : libc_calls().write(a...); },
      [](auto... a) { return fails(Sys::fchown, a...) ? -1 : libc_calls().fchown(a...); },
      [](auto... a) { return fails(Sys::fchmod, a...) ? -1 : libc_calls().fchmod(a...); },
      [](auto... a) { return fails(Sys::fsetxattr, a...) ? -1 : libc_calls().fsetxattr(a...); },
      [](auto... a) { return fails(Sys::linkat, a...) ? -1 : libc_calls().linkat(a...); },
      [](int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
        // A file system that can neither swap two names nor refuse to replace one, as a
        // user-space one.
        if (flags != 0 && without_rename_flags) {
          errno = EINVAL;
          return -1;
        }
        return fails(Sys::renameat2, from_dir, from) ? -1
                                     : libc_calls().renameat2(from_dir, from, to_dir, to, flags);
      },
      [](int from_dir, const char* from, int to_dir, const char* to) {
        const std::string_view into(to);
        if (another_run_moves_too && into.ends_with(".was")) {
          const std::lock_guard<std::mutex> lock(moved_by_both_mutex);
          const std::size_t tag = into.find('-', into.find('-') + 1) + 1;
          const std::string other = std::string(into.substr(0, tag)).append(OTHER_RUN) + ".was";
          moved_by_both = "/proc/self/fd/" + std::to_string(from_dir) + "/" + from;
          std::filesystem::copy_file(moved_by_both,
                                     "/proc/self/fd/" + std::to_string(to_dir) + "/" + other);
        }
        return fails(Sys::renameat, from_dir, from) ? -1 : libc_calls().renameat(from_dir, from, to_dir, to);
      },
      [](int dir, const char* name, int flags) {
        if (!fails(Sys::unlinkat, dir, name)) return libc_calls().unlinkat(dir, name, flags);
        const int e = errno;
        if (forgets_failed_removal)
          libc_calls().renameat(dir, name, dir, (std::string(name) + "~").c_str());
        errno = e;
        return -1;
      },
      [](const timespec*, timespec*) {  // a failed call is tried again at once
        {
          const std::lock_guard<std::mutex> lock(moved_by_both_mutex);
          if (other_run_converts && !moved_by_both.empty()) write_file(moved_by_both, OTHER_FILE);
          moved_by_both.clear();
        }
        return fails(Sys::nanosleep) ? -1 : 0;
      },
      [](int fd, struct statfs* st) {
        const int r = libc_calls().fstatfs(fd, st);
        if (r == 0 && on_a_share) st->f_type = 0x65735546;  // FUSE
        return r;
      },
      [](int fd, char* names, std::size_t size) -> ssize_t {
        Shared& s = shared();
        if (std::atomic_ref<int>(s.listings).fetch_add(1) == 0)
          s.written = std::atomic_ref<int>(s.calls[int(Sys::write)]).load();
        if (!listing_fails) return libc_calls().flistxattr(fd, names, size);
        std::atomic_ref<int>(s.silent).store(5);
        errno = EIO;
        return -1;
      },
      [](int fd) { return fails(Sys::fdopendir, fd) ? nullptr : libc_calls().fdopendir(fd); },
      [](DIR* stream) { return fails(Sys::readdir) ? nullptr : libc_calls().readdir(stream); },
      [](DIR* stream) {  // a failed close of a listing ends it all the same
        const bool failed = fails(Sys::closedir);
        const int e = errno;
        libc_calls().closedir(stream);
        errno = e;
        return failed ? -1 : 0;
      },
      [](auto... a) { return fails(Sys::fgetxattr, a...) ? -1 : libc_calls().fgetxattr(a...); },
      [](auto... a) { return fails(Sys::fremovexattr, a...) ? -1 : libc_calls().fremovexattr(a...); },
      [](auto... a) { return fails(Sys::fcntl, a...) ? -1 : libc_calls().fcntl(a...); },
      [](auto... a) { return fails(Sys::dup3, a...) ? -1 : libc_calls().dup3(a...); },
  };
  return calls;
}

/// Runs `work` in a process of its own, as a run of the programs is: the run tag is made
/// once a process, and the next run must find this one's temporaries as an ended run's.
void in_child(const std::function<void()>& work) {
  shared();  // mapped before the fork, for both processes
  const pid_t pid = fork();
  if (pid == 0) {
    work();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run's process failed";
}

/// Every name below `root` as snapshot() gives it, with each file's permission bits before
/// its content, as the fake's snapshot has them.
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

/// The system's host, but for the running program, which is this test and not a program in
/// the tree: the run takes the tree as argument 0 names it.
class TreeHost final : public Host {
 public:
  char separator() const override { return real_.separator(); }
  Status executable_path(std::string& out) override { return real_.executable_path(out); }
  RunTag run_tag() override { return real_.run_tag(); }
  bool process_has_ended(std::uint32_t process) override {
    return real_.process_has_ended(process);
  }
  std::uint64_t running_user() override { return real_.running_user(); }

 private:
  PosixHost real_;
};

/// One run of `direction` over `root` with the `nth` call of `kind` failing with `code`.
RunResult run(const std::string& root, Direction direction, Sys kind = {}, int nth = 0,
              int code = 0, bool persistent = false, unsigned processors = 1) {
  Shared& s = shared();
  s = Shared{kind, nth, code, persistent, {}, 0, 0, 0, 0, 0, 0, false, 0, 0, {}, {}, {}, {}};
  in_child([&] {
    calls_on.clear();
    paths.clear();
    RecordingReporter r;
    {
      PosixPlatform fs(faulty_calls());
      TreeHost host;
      Cp1252CodePage acp;
      s.status = nivra::run_program(fs, host, acp, direction, r, root + "/nivra", processors);
    }
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code e;
      s.left_open += std::filesystem::read_symlink(fd.path(), e).string().starts_with(root);
    }
    s.out_size = r.out.copy(s.out, sizeof s.out);
    s.err_size = r.err.copy(s.err, sizeof s.err);
  });
  return RunResult{s.status, std::string(s.out, s.out_size), std::string(s.err, s.err_size),
                   tree_at(root)};
}

/// Writes the fault tests' tree into `root`, readied for a run of `direction` (for
/// unsign, as an unfaulted sign run leaves it), with the temporaries of a run that ended
/// while converting READ.C.
void prepare(const std::string& root, Direction direction) {
  for (const TreeEntry& entry : fault_tree()) {
    const std::string path = root + "/" + entry.path;
    make_dirs(path.substr(0, path.rfind('/')));
    if (entry.target.empty()) {
      write_file(path, entry.content, mode_t(entry.mode));
    } else {
      EXPECT_EQ(symlink(entry.target.c_str(), path.c_str()), 0) << path;
    }
  }
  // A file of another owner gets its owner back, and one with an attribute and an access
  // list (its owner may read and write, user 1 read) gets them back, where the system
  // keeps them.
  if (running_as_root()) chown((root + "/src/parser/lexer.h").c_str(), 1, 1);
  const std::string util = root + "/util.h";
  setxattr(util.c_str(), "user.origin", "tests", 5, 0);
  const std::string_view acl = "\x02\0\0\0" "\x01\0\x06\0\xff\xff\xff\xff"
                               "\x02\0\x04\0\x01\0\0\0" "\x04\0\0\0\xff\xff\xff\xff"
                               "\x10\0\x04\0\xff\xff\xff\xff" "\x20\0\0\0\xff\xff\xff\xff"sv;
  setxattr(util.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
  // A folder whose access list every new file gets: a file made there must not keep one
  // its original lacks.
  setxattr((root + "/src/io").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0);
  if (direction == Direction::unsign) {
    EXPECT_EQ(run(root, Direction::sign).status, 0);
  }
  static const std::string ended = [] {
    in_child([] { shared().out_size = ended_run_tag().copy(shared().out, 64); });
    return std::string(shared().out, shared().out_size);
  }();
  EXPECT_FALSE(ended.empty());
  write_file(root + "/src/io/" + temporary_name("READ.C", "new", ended), "\xEF\xBB\xBF/* \xC3");
  write_file(root + "/src/io/" + temporary_name("READ.C", "cpy", ended), "/* \xE0 la");
}

/// Which Nth calls of a kind are failed: every one with NIVRA_FAULTS_ALL=1 in the
/// environment; else, in every way, each that was the first of its kind on its call path
/// in the unfaulted run, so that every path to a failure that the full run takes is taken;
/// in one way each, the ways taken in turn, each that was the first of its kind on its
/// file; then one in every STRIDE of the others, and always the first past the unfaulted
/// run's count, which must meet no fault. The seed (NIVRA_FAULTS_SEED, printed) picks
/// where a kind's sample starts; each way of failing it (error, once or on) starts one
/// further, so that with two errors every Nth call fails one way or another.
struct FaultSample {
  static constexpr int STRIDE = 4;
  bool all = false;
  std::uint64_t seed = 0;

  static FaultSample from_environment() {
    FaultSample sample;
    const char* all = std::getenv("NIVRA_FAULTS_ALL");
    sample.all = all != nullptr && std::string_view(all) == "1";
    const char* seed = std::getenv("NIVRA_FAULTS_SEED");
    if (seed != nullptr) sample.seed = std::strtoull(seed, nullptr, 10);
    return sample;
  }

  /// `on_its_file`: which call of its kind on its file the Nth was in the unfaulted run,
  /// 0 where it was the first on its call path. `way`: the error's place in its kind's
  /// list, twice, plus one where the fault stays on; of `ways`.
  bool tries(int n, int unfaulted_calls, int on_its_file, int kind, int way, int ways) const {
    if (all || n > unfaulted_calls || on_its_file == 0) return true;
    std::uint64_t z = seed + 0x9E3779B97F4A7C15u * std::uint64_t(kind + 1);  // splitmix64
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    const int of = on_its_file == 1 ? ways : STRIDE;
    return (std::uint64_t(n) + z) % std::uint64_t(of) == std::uint64_t(way) % std::uint64_t(of);
  }
};

/// Adds to the file NIVRA_FAULTS_SITES names, if set, a line for each call path where a
/// call of `kind` was failed: the test, the kind, and the path's return addresses as
/// offsets in their objects, the same in every process of one build.
void write_sites(const char* kind, const std::set<std::vector<std::uintptr_t>>& sites) {
  const char* file = std::getenv("NIVRA_FAULTS_SITES");
  if (file == nullptr) return;
  std::FILE* out = std::fopen(file, "a");
  ASSERT_NE(out, nullptr) << file;
  const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (const std::vector<std::uintptr_t>& site : sites) {
    std::fprintf(out, "%s %s", test, kind);
    for (const std::uintptr_t frame : site) std::fprintf(out, " %zx", std::size_t(frame));
    std::fprintf(out, "\n");
  }
  std::fclose(out);
}

void every_fault(Direction direction, bool without_flags = false, bool share = false) {
  const FaultSample sample = FaultSample::from_environment();
  std::printf("[ faults   ] %s; NIVRA_FAULTS_SEED=%llu picks the same sample%s\n",
              sample.all ? "every call failed in turn"
                         : "the first calls of each kind and a sample",
              static_cast<unsigned long long>(sample.seed),
              sample.all ? "" : ", NIVRA_FAULTS_ALL=1 fails every call");
  without_rename_flags = without_flags;
  on_a_share = share;
  // In memory where it can: over a disk, every rename over a name waits for the device.
  TempDir base(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  const std::string root = base / "tree";
  prepare(root, direction);
  const Tree before = tree_at(root);
  const Unfaulted unfaulted{before, run(root, direction)};
  ASSERT_EQ(unfaulted.after.status, 0) << unfaulted.after.err;
  int calls[SYS_KINDS];
  std::copy(std::begin(shared().calls), std::end(shared().calls), calls);
  const std::vector<std::uint8_t> nth_on_file(&shared().on_its_file[0][0],
                                              &shared().on_its_file[0][0] + sizeof shared().on_its_file);
  const auto on_its_file = [&](int k, int n) { return n > KEPT ? 0 : nth_on_file[k * KEPT + n - 1]; };
  for (int k = 0; k < SYS_KINDS; ++k) {
    int runs = 0, harmless = 0;
    std::set<std::vector<std::uintptr_t>> sites;
    for (std::size_t c = 0; c < KINDS[k].codes.size(); ++c) {
      const int code = KINDS[k].codes[c];
      for (const bool persistent : {false, true}) {
        for (int n = 1; n < 10000; ++n) {
          if (!sample.tries(n, calls[k], n > calls[k] ? 0 : on_its_file(k, n), k,
                            int(c) * 2 + persistent, int(KINDS[k].codes.size()) * 2))
            continue;
          SCOPED_TRACE(std::string(KINDS[k].name) + " #" + std::to_string(n) + " " +
                       std::strerror(code) + (persistent ? ", on" : ", once") +
                       ", NIVRA_FAULTS_SEED=" + std::to_string(sample.seed));
          remove_tree(root);
          prepare(root, direction);
          const RunResult r = run(root, direction, Sys(k), n, code, persistent);
          EXPECT_EQ(shared().left_open, 0) << "descriptors left open";
          if (shared().met == 0) {
            EXPECT_EQ(n, calls[k] + 1) << "the counts of the unfaulted run differ";
            EXPECT_EQ(r.tree, unfaulted.after.tree);
            break;
          }
          ++runs;
          harmless += r.status == 0;
          sites.emplace(std::begin(shared().site), std::end(shared().site));
          if (shared().closed_written) {
            EXPECT_EQ(r.status, 1) << "a failed close of a written file went unreported";
          }
          check_faulted(unfaulted, r, direction, root, Sys(k) == Sys::unlinkat);
          if (Sys(k) == Sys::linkat && persistent && n == 1) {
            // Every link refused from the first on, the probe's: a file system without
            // links, where every file converts all the same, by copies and renames.
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.tree, unfaulted.after.tree) << differences(r.tree, unfaulted.after.tree);
          }
          if (Sys(k) == Sys::unlinkat || (share && Sys(k) == Sys::renameat)) {
            // A removal, and on a share a rename, is tried again: an error of the device
            // once does no harm. What cannot be removed is named, so a run that reports
            // nothing left nothing.
            if (code == EIO && !persistent) {
              EXPECT_EQ(r.status, 0) << r.err;
            }
            if (r.status == 0) {
              EXPECT_EQ(r.tree, unfaulted.after.tree)
                  << "left unreported: " << differences(r.tree, unfaulted.after.tree);
            }
          }
          RunResult again = run(root, direction);
          // On a share, a NAME.OLD that is a second name of the file, which a run that
          // failed after making it may leave, is another client's claim for all a later run
          // can tell: the file stays, named, with its backup.
          Tree expected = unfaulted.after.tree;
          for (const std::string& line : split_lines(again.err)) {
            const std::string held = ": held by another run\n", start = "nivra-unsign: " + root + "/";
            if (!share || !line.ends_with(held) || !line.starts_with(start)) continue;
            const std::string name = line.substr(start.size(), line.size() - start.size() - held.size());
            EXPECT_EQ(at(again.tree, name + ".OLD"), at(again.tree, name)) << line;
            for (const std::string& n : {name, name + ".OLD"}) expected[n] = again.tree[n];
            again.status = again.status == 1 ? 0 : again.status;
          }
          EXPECT_EQ(again.status, 0) << again.out << again.err;
          EXPECT_EQ(again.tree, expected)
              << "the clean rerun differs: " << differences(again.tree, expected);
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
    write_sites(KINDS[k].name, sites);
    std::printf("[ faults   ] %-12s %-9s %4d faulted runs, %3d harmless, %3zu call paths%s%s\n",
                traits(direction).program.data(), KINDS[k].name, runs, harmless, sites.size(),
                share ? " (a share without rename flags)" : without_flags ? " (no rename flags)" : "",
                calls[k] == 0 ? " (never called on this file system)" : "");
  }
}

TEST(SystemCallFaults, SignLosesNothingWhicheverCallFails) { every_fault(Direction::sign); }

TEST(SystemCallFaults, UnsignLosesNothingWhicheverCallFails) { every_fault(Direction::unsign); }

// Where the original is moved aside and the new file takes the free name, a fault may
// leave the name empty: the run says so, and the rerun puts the original back.
TEST(SystemCallFaults, WithoutAnExchangeOfNamesSignLosesNothingWhicheverCallFails) {
  every_fault(Direction::sign, true);
}

// A share's client that fails a removal with EIO (its server still holds the file open) and
// forgets the name all the same: the run cannot show the name gone, and names it.
TEST(SystemCallFaults, OnAShareARemovalThatFailedIsNamedWhereTheClientForgetsTheName) {
  on_a_share = without_rename_flags = forgets_failed_removal = true;
  TempDir base(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  const std::string root = base / "tree";
  int forgotten = 0;
  for (int n = 1; n < 1000; ++n) {
    remove_tree(root);
    prepare(root, Direction::sign);
    const RunResult r = run(root, Direction::sign, Sys::unlinkat, n, EIO);
    if (shared().met == 0) break;
    for (const auto& [path, content] : r.tree) {
      if (!path.ends_with("~")) continue;
      ++forgotten;
      const std::string name = path.substr(0, path.size() - 1);
      EXPECT_EQ(r.status, 1) << "#" << n;
      EXPECT_NE(r.err.find(root + "/" + name + ": could not be removed: " + std::strerror(EIO)),
                std::string::npos)
          << "#" << n << " " << name << " is not named:\n" << r.err;
    }
  }
  on_a_share = without_rename_flags = forgets_failed_removal = false;
  EXPECT_GT(forgotten, 0);
}

// A share's client that fails the listing of attributes, and every call for a while after
// it: the run asks it of the tree's folder before any file is converted, and never again,
// so that no conversion meets the silence. Files are converted side by side.
TEST(SystemCallFaults, OnAShareWhoseClientFailsAListingOfAttributesEveryFileConverts) {
  on_a_share = without_rename_flags = true;
  TempDir base(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  const std::string root = base / "tree";
  prepare(root, Direction::sign);
  const RunResult unfaulted = run(root, Direction::sign, {}, 0, 0, false, 2);
  ASSERT_EQ(unfaulted.status, 0) << unfaulted.err;
  remove_tree(root);
  prepare(root, Direction::sign);
  listing_fails = true;
  const RunResult r = run(root, Direction::sign, {}, 0, 0, false, 2);
  on_a_share = without_rename_flags = listing_fails = false;
  EXPECT_EQ(shared().listings, 1);
  EXPECT_EQ(shared().written, 0) << "the client fell silent while files were converted";
  EXPECT_EQ(shared().silent, 0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.tree, unfaulted.tree) << differences(r.tree, unfaulted.tree);
}

// A share's client whose rename copies the file and then removes it lets another client's
// run move the same original aside at the same time: the run sees that run's aside name
// appear and leaves the file to it, saying so. It puts the original back, unless the other
// run's new file takes the name while it waits: then the original is the backup.
TEST(SystemCallFaults, OnAShareARunThatMovedAnOriginalAsideWithAnotherLeavesItToThatRun) {
  for (const bool converts : {false, true}) {
    SCOPED_TRACE(converts ? "the other run converts the file" : "the other run backs off");
    on_a_share = without_rename_flags = another_run_moves_too = true;
    other_run_converts = converts;
    TempDir base(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    const std::string root = base / "tree";
    prepare(root, Direction::sign);
    const Tree before = tree_at(root);
    const RunResult r = run(root, Direction::sign);
    on_a_share = without_rename_flags = another_run_moves_too = other_run_converts = false;
    EXPECT_EQ(r.status, 1);
    // The original of a name the other run took is NAME.OLD where that was free, else
    // it stays under this run's aside name, which the run names.
    int others = 0, taken = 0;
    for (const auto& [name, entry] : r.tree) {
      others += name.ends_with(std::string(OTHER_RUN) + ".was");
      if (converts && entry.ends_with(OTHER_FILE)) {
        ++taken;
        const std::string& original = before.at(name);
        const bool kept = before.contains(name + ".OLD") &&
                          std::any_of(r.tree.begin(), r.tree.end(), [&](const auto& left) {
                            return left.second == original &&
                                   r.err.find(left.first + ": the only copy") != r.err.npos;
                          });
        EXPECT_TRUE(kept || at(r.tree, name + ".OLD") == original) << name;
      } else if (before.contains(name) && !(converts && r.tree.contains(backup_of(name)))) {
        EXPECT_EQ(entry, before.at(name)) << name;
      }
    }
    EXPECT_GT(others, 0);
    EXPECT_EQ(taken, converts ? others : 0);
    EXPECT_EQ(r.tree.size(), before.size() + others + taken) << differences(r.tree, before);
    const std::vector<std::string> out = split_lines(r.out);
    EXPECT_EQ(std::count(out.begin(), out.end(), converts ? MSG_CHANGED : MSG_OPEN_FAILED),
              others) << r.out << r.err;
  }
}

// A share's client, as FUSE gives it: files are identified by their content, and where a
// link fails, backups are copies.
TEST(SystemCallFaults, OnAShareUnsignLosesNothingWhicheverCallFails) {
  every_fault(Direction::unsign, true, true);
}

}  // namespace
}  // namespace nivra::test
