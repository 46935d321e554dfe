// What both programs do alike, each run as a user runs it: copied into a tree and
// started by its path from another folder. Each case runs once per program.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

/// One file that the program converts, before and after, and its skip message.
struct Job {
  Direction direction;
  std::string before, after, skip;
};

const Job SIGN_JOB{Direction::sign, "caf\xE9\r\nint x;\n", "\xEF\xBB\xBF" "caf\xC3\xA9\r\nint x;\n",
                   std::string(MSG_ALREADY_SIGNED)};
const Job UNSIGN_JOB{Direction::unsign, SIGN_JOB.after, SIGN_JOB.before,
                     std::string(MSG_NOT_SIGNED)};

void PrintTo(const Job& job, std::ostream* os) { *os << traits(job.direction).program; }

using Files = std::map<std::string, std::string>;

class EveryProgram : public testing::TestWithParam<Job> {
 protected:
  const Job& job() const { return GetParam(); }
  std::string name() const { return std::string(traits(job().direction).program); }
  std::string install(const std::string& dir) const { return install_program(dir, job().direction); }
  std::string diagnostic(const std::string& path, const std::string& reason) const {
    return diagnostic_line(job().direction, path, reason);
  }
  void converted(Files& f, const std::string& rel) const {
    f[rel] = job().after;
    f[rel + ".OLD"] = job().before;
  }
  /// Permission bits do not hold root back, and there is no other user to become.
  static bool cannot_drop_root() { return running_as_root() && !can_run_unprivileged(); }
};

INSTANTIATE_TEST_SUITE_P(, EveryProgram, testing::Values(SIGN_JOB, UNSIGN_JOB),
                         [](const auto& info) {
                           return info.param.direction == Direction::sign ? "sign" : "unsign";
                         });

TEST_P(EveryProgram, SelectsSourceFilesByNameAndSkipsDotEntries) {
  TempDir tree;
  const std::string program = install(tree.path());
  for (const char* n : {"main.cpp", "UTIL.H", "Main.Cpp", "parser.tab.c", "dir.cpp/inner.c",
                        "lib.hpp", "lib.cc", "lib.cxx", "main.c.bak", "Makefile", "main.",
                        "main.c.", "main.c ", "main.cp", "main.cppp", "c", ".h", ".hidden/x.c",
                        "a.c.OLD"})
    write_file(tree / n, job().before);
  Files expected = tree_of(tree.path());
  for (const char* n : {"main.cpp", "UTIL.H", "Main.Cpp", "parser.tab.c", "dir.cpp/inner.c"})
    converted(expected, n);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_of(tree.path()), expected);
}

// The root is argument 0 up to its last '/', a backslash being part of a name; further
// arguments and the working folder change nothing, and are said to be ignored. A bare
// argument 0 (found through PATH) stands in a folder of programs: refused, nothing changed.
TEST_P(EveryProgram, RootIsTheFolderThatHoldsTheProgram) {
  const std::string ignored =
      name() + ": arguments are ignored: the tree is always the folder that holds the program\n";
  const struct {
    const char* folder;
    const char* file;  ///< the program's file name
    bool bare_argv0;
    std::vector<std::string> args;
  } cases[] = {
      {"p\\q", "nivra", false, {}},
      {"bin", "x\\nivra", false, {}},
      {"bin", "nivra", true, {"--help"}},
      {"bin", "nivra", false, {"/", "--help", ".."}},
  };
  for (const auto& c : cases) {
    TempDir tree, elsewhere;
    const std::string root = tree / c.folder;
    const std::string program = root + "/" + c.file;
    write_file(program, read_file(built_program(job().direction)), 0755);
    write_file(root + "/a\\b.c", job().before);
    write_file(root + "/s\\t/x.h", job().before);
    write_file(tree / "above.c", job().before);
    write_file(elsewhere / "here.c", job().before);
    const Files before = tree_of(tree.path());
    RunOptions o;
    o.cwd = elsewhere.path();
    if (c.bare_argv0) o.argv0 = name();
    o.extra_args = c.args;

    const ProgramResult r = run(program, o);

    const std::string said = c.args.empty() ? "" : ignored;
    if (c.bare_argv0) {
      EXPECT_EQ(r.status, 1) << program;
      EXPECT_EQ(r.out, MSG_DIR_FAILED) << program;
      EXPECT_TRUE(r.err.starts_with(said + name() + ": " + name() + ": found through PATH, "))
          << r.err;
      EXPECT_NE(r.err.find("copy the program into the root of the tree"), std::string::npos);
      EXPECT_EQ(tree_of(tree.path()), before) << program;
    } else {
      EXPECT_EQ(r.status, 0) << program << ": " << r.err;
      EXPECT_EQ(r.out, "") << program;
      EXPECT_EQ(r.err, said) << program;
      EXPECT_EQ(read_file(root + "/a\\b.c"), job().after) << program;
      EXPECT_EQ(read_file(root + "/s\\t/x.h"), job().after) << program;
    }
    EXPECT_EQ(read_file(tree / "above.c"), job().before) << program;
    EXPECT_EQ(read_file(elsewhere / "here.c"), job().before) << program;
  }
}

TEST_P(EveryProgram, SymbolicLinksAreNeitherFollowedNorConverted) {
  TempDir tree, outside;
  const std::string program = install(tree.path());
  write_file(outside / "far.c", job().before);
  write_file(outside / "dir/y.h", job().before);
  write_file(tree / "real.c", job().before);
  write_file(tree / "sub/z.h", job().before);
  const std::pair<std::string, std::string> links[] = {
      {"real.c", "near.c"}, {outside / "far.c", "far.c"}, {outside / "dir", "out"},
      {"sub", "in.cpp"},    {".", "loop"},                {"missing.c", "dangling.c"}};
  for (const auto& [target, link] : links) ASSERT_EQ(symlink(target.c_str(), (tree / link).c_str()), 0);
  const Files outside_before = snapshot(outside.path());
  Files expected = tree_of(tree.path());
  converted(expected, "real.c");
  converted(expected, "sub/z.h");

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_of(tree.path()), expected);
  EXPECT_EQ(snapshot(outside.path()), outside_before);
}

TEST_P(EveryProgram, FifosAndSocketsAreNeverOpened) {
  TempDir tree;
  const std::string program = install(tree.path());
  ASSERT_EQ(mkfifo((tree / "pipe.c").c_str(), 0644), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (tree / "sock.h").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
  write_file(tree / "ok.c", job().before);

  const ProgramResult r = run(program);
  close(sock);

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_OPEN_FAILED, 2));
  EXPECT_NE(r.err.find(diagnostic(tree / "pipe.c", "not a regular file")), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(diagnostic(tree / "sock.h", "not a regular file")), std::string::npos) << r.err;
  EXPECT_EQ(read_file(tree / "ok.c"), job().after);
}

// A folder that cannot be listed (opened, or searched only) is reported and the walk goes
// on; a file that cannot be read, or that is in a read-only folder, stays as it was, its
// mode too; then the start folder itself is made unlistable.
TEST_P(EveryProgram, FoldersThatCannotBeListedOrWrittenAreReported) {
  if (cannot_drop_root()) GTEST_SKIP() << "running as root without an unprivileged user to run as";
  TempDir tree;
  const std::string bin = tree / "bin";
  const std::string program = install(bin);
  const char* const locked[] = {"locked1", "locked2", "unlisted"};
  for (const char* d : locked) write_file(bin + "/" + d + "/x.c", job().before);
  write_file(bin + "/ro/y.c", job().before);
  write_file(bin + "/ok.c", job().before);
  write_file(bin + "/unreadable.c", job().before, 0000);
  Files expected = tree_of(bin);
  converted(expected, "ok.c");
  give_to_unprivileged(tree.path());
  for (const char* d : locked) ASSERT_EQ(chmod((bin + "/" + d).c_str(), 0), 0);
  ASSERT_EQ(chmod((bin + "/unlisted").c_str(), 0311), 0);
  ASSERT_EQ(chmod((bin + "/ro").c_str(), 0555), 0);
  RunOptions o;
  o.unprivileged = true;

  ProgramResult r = run(program, o);

  // Each of the five failures prints its message, in the order the folder is listed.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(sorted_lines(r.out), sorted_lines(repeat(MSG_DIR_FAILED, 3).append(MSG_CREATE_FAILED)
                                                  .append(MSG_OPEN_FAILED)));
  for (const char* p : {"locked1", "locked2", "unlisted", "ro/y.c", "unreadable.c"})
    EXPECT_NE(r.err.find(diagnostic(bin + "/" + p, std::strerror(EACCES))), std::string::npos)
        << r.err;
  EXPECT_EQ(split_lines(r.err).size(), 5u) << r.err;
  EXPECT_EQ(mode_of(bin + "/unreadable.c"), 0000u);
  EXPECT_EQ(mode_of(bin + "/ro"), 0555u);
  EXPECT_EQ(mode_of(bin + "/unlisted"), 0311u);

  ASSERT_EQ(chmod(bin.c_str(), 0111), 0);
  r = run(program, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, MSG_DIR_FAILED);
  EXPECT_EQ(r.err, diagnostic(bin, std::strerror(EACCES)));
  chmod(bin.c_str(), 0755);
  for (const char* d : {"locked1", "locked2", "unlisted", "ro"}) chmod((bin + "/" + d).c_str(), 0755);
  EXPECT_EQ(tree_of(bin), expected);
}

TEST_P(EveryProgram, AFailedWriteLeavesTheFileWholeAndNoTemporary) {
  TempDir tree;
  const std::string program = install(tree.path());
  const std::string big = job().direction == Direction::sign
                              ? std::string(6000, '\xE9')
                              : "\xEF\xBB\xBF" + std::string(6000, 'a');
  write_file(tree / "big.c", big);
  write_file(tree / "small.c", job().before);
  Files expected = tree_of(tree.path());
  converted(expected, "small.c");
  // Through prlimit, as a user would: the program itself must not die by SIGXFSZ.
  if (!exists("/usr/bin/prlimit")) GTEST_SKIP() << "no /usr/bin/prlimit (util-linux)";
  RunOptions o;
  o.extra_args = {"--fsize=4096", program};

  const ProgramResult r = run("/usr/bin/prlimit", o);

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, MSG_WRITE_FAILED);
  EXPECT_EQ(r.err, diagnostic(tree / "big.c", std::strerror(EFBIG)));
  EXPECT_EQ(tree_of(tree.path()), expected);
}

TEST_P(EveryProgram, NoConversionWithoutABackup) {
  TempDir tree;
  const std::string program = install(tree.path());
  write_file(tree / "held.c", job().before);
  write_file(tree / "held.c.OLD/keep", "a folder in the way");
  const std::string long_name = std::string(253, 'n') + ".c";  // the longest name there is
  write_file(tree / long_name, job().before);
  const Files expected = tree_of(tree.path());

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_BACKUP_FAILED, 2));
  EXPECT_NE(r.err.find(diagnostic(tree / "held.c.OLD", std::strerror(EISDIR))), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(diagnostic(tree / (long_name + ".OLD"), std::strerror(ENAMETOOLONG))),
            std::string::npos)
      << r.err;
  EXPECT_EQ(tree_of(tree.path()), expected);
}

TEST_P(EveryProgram, PermissionBitsAndOwnerAreKept) {
  TempDir tree;
  const std::string program = install(tree.path());
  write_file(tree / "private.c", job().before, 0600);
  write_file(tree / "script.h", job().before, 0755);
  write_file(tree / "theirs.cpp", job().before, 0640);
  // A new file takes the group of a set-group-ID folder, not the original's.
  write_file(tree / "shared/root.c", job().before, 0640);
  const uid_t other = 65534;
  if (running_as_root()) {
    ASSERT_EQ(chown((tree / "theirs.cpp").c_str(), other, other), 0);
    ASSERT_EQ(chown((tree / "shared").c_str(), 0, 5678), 0);
  }
  ASSERT_EQ(chmod((tree / "shared").c_str(), 02775), 0);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tree / "private.c"), job().after);
  EXPECT_EQ(mode_of(tree / "private.c"), 0600u);
  EXPECT_EQ(mode_of(tree / "script.h"), 0755u);
  EXPECT_EQ(mode_of(tree / "theirs.cpp"), 0640u);
  struct stat st;
  ASSERT_EQ(stat((tree / "theirs.cpp").c_str(), &st), 0);
  if (running_as_root()) {
    EXPECT_EQ(st.st_uid, other);
    EXPECT_EQ(st.st_gid, other);
  }
  struct stat original;
  ASSERT_EQ(stat((tree / "shared/root.c").c_str(), &st), 0);
  ASSERT_EQ(stat((tree / "shared/root.c.OLD").c_str(), &original), 0);
  EXPECT_EQ(read_file(tree / "shared/root.c"), job().after);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, original.st_uid);
  EXPECT_EQ(st.st_gid, original.st_gid);
}

// Run by an ordinary user, a write clears the set-ID bits: they must come after it.
TEST_P(EveryProgram, SetIdBitsAreKeptForAnOrdinaryUser) {
  if (cannot_drop_root()) GTEST_SKIP() << "running as root without an unprivileged user to run as";
  TempDir tree;
  const std::string program = install(tree.path());
  const mode_t modes[] = {04755, 02755, 06755};
  const auto file_of = [&](mode_t mode) {
    std::string name = std::to_string(mode);
    name.insert(0, 1, 'm').append(".c");
    return tree / name;
  };
  for (const mode_t mode : modes) write_file(file_of(mode), job().before);
  give_to_unprivileged(tree.path());
  // After the change of owner, which clears them too.
  for (const mode_t mode : modes) ASSERT_EQ(chmod(file_of(mode).c_str(), mode), 0);
  RunOptions o;
  o.unprivileged = true;

  const ProgramResult r = run(program, o);

  EXPECT_EQ(r.status, 0) << r.err;
  for (const mode_t mode : modes) {
    const std::string file = file_of(mode);
    EXPECT_EQ(read_file(file), job().after) << file;
    EXPECT_EQ(mode_of(file), mode) << file;
  }
}

// With an access list the group bits of the mode are its mask: copying the mode alone
// would give the owning group the mask's rights.
TEST_P(EveryProgram, AccessListsAndExtendedAttributesAreKept) {
  TempDir tree;
  const std::string program = install(tree.path());
  const std::string file = tree / "acl.c";
  write_file(file, job().before, 0640);
  if (!command_succeeds("setfacl -m u:nobody:r--,g::r--,m::rw- '" + file + "'") ||
      !command_succeeds("setfattr -n user.origin -v 0sAP8B '" + file + "'"))
    GTEST_SKIP() << "needs setfacl and setfattr (Debian packages acl and attr) and a file "
                    "system with access lists and user attributes";
  const auto attributes = attributes_of(file);
  ASSERT_TRUE(attributes.contains("system.posix_acl_access"));
  ASSERT_EQ(attributes.at("user.origin"), std::string("\0\xFF\x01", 3));
  const mode_t mode = mode_of(file);

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(file), job().after);
  EXPECT_EQ(attributes_of(file), attributes);
  EXPECT_EQ(mode_of(file), mode);
}

// A folder's default access list gives every file made in it an access list of its own:
// the new file must carry the original's (here none), or another user could read it.
TEST_P(EveryProgram, AnInheritedAccessListNeverWidensAccess) {
  if (cannot_drop_root() || !running_as_root())
    GTEST_SKIP() << "needs root and an unprivileged user whose access is checked";
  TempDir tree;
  const std::string program = install(tree.path());
  const std::string file = tree / "shared/private.c";
  write_file(file, job().before, 0640);
  if (!command_succeeds("setfacl -d -m u:nobody:rw '" + tree / "shared" + "'") ||
      !exists("/usr/bin/setpriv"))
    GTEST_SKIP() << "needs setfacl (acl), setpriv (util-linux) and default access lists";
  const auto attributes = attributes_of(file);
  ASSERT_FALSE(attributes.contains("system.posix_acl_access"));
  const std::string read_as_nobody =
      "setpriv --reuid=65534 --regid=65534 --clear-groups cat '" + file + "'";
  ASSERT_FALSE(command_succeeds(read_as_nobody));

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(file), job().after);
  EXPECT_EQ(attributes_of(file), attributes);
  EXPECT_EQ(mode_of(file), 0640u);
  EXPECT_FALSE(command_succeeds(read_as_nobody)) << "the new file lets another user read it";
}

// Converted by a user who cannot give the new file the original's owner or group, a file
// loses the set-user-ID or set-group-ID bit that would lend that owner's or group's rights.
TEST_P(EveryProgram, SetIdBitsGoWhereTheOwnerCannotBeKept) {
  if (cannot_drop_root() || !running_as_root())
    GTEST_SKIP() << "needs root to own the files and an unprivileged user to convert them";
  TempDir tree;
  const std::string program = install(tree.path());
  give_to_unprivileged(tree.path());
  const std::pair<const char*, mode_t> files[] = {{"suid.c", 04755}, {"sgid.c", 02755}};
  for (const auto& [name, mode] : files) {
    write_file(tree / name, job().before);
    ASSERT_EQ(chmod((tree / name).c_str(), mode), 0);  // owned by root, group root
  }
  RunOptions o;
  o.unprivileged = true;

  const ProgramResult r = run(program, o);

  EXPECT_EQ(r.status, 0) << r.err;
  for (const auto& [name, mode] : files) {
    EXPECT_EQ(read_file(tree / name), job().after) << name;
    EXPECT_EQ(mode_of(tree / name), 0755u) << name;
    // The backup is the original itself where the system let the user link it, else a
    // copy of the user's own, without the bits.
    struct stat backup;
    ASSERT_EQ(stat((tree / name + ".OLD").c_str(), &backup), 0);
    EXPECT_EQ(backup.st_mode & 07777, backup.st_uid == 0 ? mode : 0755u) << name;
  }
}

// A file that cannot be replaced (immutable) fails alone, and its earlier backup stays.
TEST_P(EveryProgram, AFileThatCannotBeReplacedKeepsItsEarlierBackup) {
  TempDir tree;
  const std::string program = install(tree.path());
  const std::string fixed = tree / "fixed.c";
  write_file(fixed, job().before);
  write_file(tree / "fixed.c.OLD", "an earlier generation");
  write_file(tree / "free.c", job().before);
  Files expected = tree_of(tree.path());
  converted(expected, "free.c");
  if (!command_succeeds("chattr +i '" + fixed + "'"))
    GTEST_SKIP() << "chattr +i refused: no chattr (e2fsprogs), no CAP_LINUX_IMMUTABLE, or a "
                    "file system without the attribute";
  struct Mutable {
    std::string path;
    ~Mutable() { command_succeeds("chattr -i '" + path + "'"); }
  } mutable_again{fixed};

  const ProgramResult r = run(program);

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, MSG_WRITE_FAILED);
  EXPECT_EQ(r.err, diagnostic(fixed, std::strerror(EPERM)));
  EXPECT_EQ(tree_of(tree.path()), expected);
}

// `> log 2>&1`: each message is followed by its own diagnostic, so a log pairs them.
TEST_P(EveryProgram, EachMessageIsFollowedByItsDiagnosticInOneLog) {
  TempDir tree, elsewhere;
  const std::string program = install(tree.path());
  for (const std::string d : {"d1", "d2", "d3", "d4"}) {
    write_file(tree / (d + "/x.c"), job().before);
    make_dirs(tree / (d + "/x.c.OLD"));
    write_file(tree / (d + "/y.c"), job().before);
  }
  const std::string log = elsewhere / "log";
  RunOptions o;
  o.extra_args = {"-c", "exec \"$0\" >\"$1\" 2>&1", program, log};

  const ProgramResult r = run("/bin/sh", o);

  EXPECT_EQ(r.status, 1);
  std::istringstream lines(read_file(log));
  std::set<std::string> named;
  for (std::string message, diagnostic; std::getline(lines, message);) {
    EXPECT_EQ(message + "\n", MSG_BACKUP_FAILED);
    ASSERT_TRUE(std::getline(lines, diagnostic)) << "no diagnostic after the last message";
    EXPECT_TRUE(diagnostic.starts_with(name() + ": " + tree.path() + "/d")) << diagnostic;
    EXPECT_TRUE(diagnostic.ends_with("/x.c.OLD: " + std::string(std::strerror(EISDIR))))
        << diagnostic;
    named.insert(diagnostic);
  }
  EXPECT_EQ(named.size(), 4u);
}

TEST_P(EveryProgram, ASecondRunSkipsAndOnlyTheLatestBackupIsKept) {
  TempDir tree;
  const std::string program = install(tree.path());
  write_file(tree / "a.c", job().before);
  write_file(tree / "a.c.OLD", "an older generation");
  write_file(tree / "sub/b.h", job().before);
  Files expected = tree_of(tree.path());
  converted(expected, "a.c");
  converted(expected, "sub/b.h");

  ProgramResult r = run(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_of(tree.path()), expected);

  r = run(program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, repeat(job().skip, 2));
  // Each skip names its file on standard error.
  const std::string why = job().direction == Direction::sign ? "already signed" : "not signed";
  EXPECT_EQ(sorted_lines(r.err),
            sorted_lines(diagnostic(tree / "a.c", why) + diagnostic(tree / "sub/b.h", why)));
  EXPECT_EQ(tree_of(tree.path()), expected);
}

}  // namespace
}  // namespace nivra::test
