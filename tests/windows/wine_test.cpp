// The Windows programs, run under Wine over temporary trees, and compared with the Linux
// programs over copies of the same tree.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "convert/messages.h"

namespace fs = std::filesystem;

namespace {

const std::string BOM = "\xEF\xBB\xBF";
const fs::path PROGRAMS = NIVRA_WINDOWS_PROGRAMS;

std::string line_of(std::string_view message) {
  return std::string(message.substr(0, message.size() - 1));
}

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

/// A program started by start(), whose standard output and error go to files of their own.
struct Started {
  pid_t pid;
  std::string out, err;
};

/// Starts `argv` in `cwd` with `locale` as LC_ALL when it is given.
Started start(const std::vector<std::string>& argv, const fs::path& cwd,
              const char* locale = nullptr) {
  static int runs = 0;
  const std::string base =
      std::string(NIVRA_TREES) + "/run-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
  const std::string out = base + ".out", err = base + ".err";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (locale) setenv("LC_ALL", locale, 1);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return Started{pid, out, err};
}

/// Waits for a started program and takes what it wrote.
Result finish(const Started& started) {
  int status = 0;
  waitpid(started.pid, &status, 0);
  Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(started.out), slurp(started.err)};
  fs::remove(started.out);
  fs::remove(started.err);
  return r;
}

Result run(const std::vector<std::string>& argv, const fs::path& cwd,
           const char* locale = nullptr) {
  return finish(start(argv, cwd, locale));
}

Result wine(const std::string& exe, const fs::path& cwd, const char* locale = nullptr) {
  return run({"timeout", "120", "wine", exe}, cwd, locale);
}

/// The active ANSI code page of a Windows program started with `locale`.
std::string active_code_page(const char* locale = nullptr) {
  const Result r = run({"timeout", "120", "wine", (PROGRAMS / "helper.exe").string(), "acp"},
                       NIVRA_TREES, locale);
  return r.out.substr(0, r.out.find_first_of("\r\n"));
}

/// The tag of a Windows run on this machine that has ended.
std::string ended_tag() {
  const Result r = run({"timeout", "120", "wine", (PROGRAMS / "helper.exe").string(), "tag"},
                       NIVRA_TREES);
  return r.out.substr(0, r.out.find_first_of("\r\n"));
}

/// The name under which the Windows programs see `path`: Wine's drive Z: is the root.
std::string windows_path(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

/// The lines of Windows output, each of which must end in CR LF.
std::vector<std::string> crlf_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(line.ends_with('\r')) << "no CR LF: " << line;
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

/// Every file under `root` but the programs, by relative path.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file() && e.path().extension() != ".exe" &&
        e.path().filename() != "nivra-sign" && e.path().filename() != "nivra-unsign")
      files[fs::relative(e.path(), root).string()] = slurp(e.path());
  return files;
}

/// The names whose bytes differ between `a` and `b`, or that only one holds.
std::string differing(const std::map<std::string, std::string>& a,
                      const std::map<std::string, std::string>& b) {
  std::string names;
  for (const auto& [name, bytes] : a)
    if (!b.contains(name) || b.at(name) != bytes) names += name + " ";
  for (const auto& [name, bytes] : b)
    if (!a.contains(name)) names += name + " ";
  return names;
}

class Wine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("WINEPREFIX", NIVRA_WINEPREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    fs::create_directories(NIVRA_TREES);
  }

  /// Why the Windows programs cannot be run here, or "".
  static std::string missing() {
    if (!fs::exists(PROGRAMS / "nivra-sign.exe") || !fs::exists(PROGRAMS / "helper.exe"))
      return "the Windows programs were not built (no mingw-w64?)";
    if (std::system("command -v wine >/dev/null 2>&1") != 0 ||
        !fs::exists(fs::path(NIVRA_WINEPREFIX) / "system.reg"))
      return "no wine, or no Wine prefix";
    // The bytes these tests expect are those of Windows-1252.
    const std::string acp = active_code_page();
    return acp == "1252" ? "" : "Wine's ANSI code page is not 1252 but '" + acp + "'";
  }

  void SetUp() override {
    static const std::string why = missing();
    if (!why.empty()) GTEST_SKIP() << why;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root = fs::path(NIVRA_TREES) / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(root);
    fs::create_directories(root);
  }

  void TearDown() override {
    if (!HasFailure() && !root.empty()) fs::remove_all(root);
  }

  /// Runs `program` (nivra-sign or nivra-unsign) from the root of the tree at `dir`.
  Result windows(const std::string& program, const fs::path& dir, const char* locale = nullptr) {
    fs::copy_file(PROGRAMS / (program + ".exe"), dir / (program + ".exe"),
                  fs::copy_options::overwrite_existing);
    return wine((dir / (program + ".exe")).string(), dir, locale);
  }
  Result windows(const std::string& program) { return windows(program, root); }

  std::string at(const std::string& rel) { return slurp(root / rel); }
  bool has(const std::string& rel) { return fs::exists(root / rel); }
  /// True when no temporary file of the replace sequence is left anywhere in the tree.
  bool clean() {
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.path().filename().string().starts_with(".nivra-")) return false;
    return true;
  }

  fs::path root;
};

TEST_F(Wine, SignConvertsTheSourcesAndKeepsBackups) {
  put(root / "a.c", "caf\xE9\r\nx\n");
  put(root / "sub" / "B.H", BOM + "signed\n");
  put(root / "sub" / "empty.cpp", "");
  put(root / "dir.cpp" / "in.c", "\xFC");
  put(root / ".git" / "hidden.c", "\xE9");
  put(root / ".h", "\xE9");
  put(root / "lib.hpp", "\xE9");
  const Result r = windows("nivra-sign");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(crlf_lines(r.out), std::vector<std::string>{line_of(nivra::MSG_ALREADY_SIGNED)});
  EXPECT_EQ(at("a.c"), BOM + "caf\xC3\xA9\r\nx\n");
  EXPECT_EQ(at("a.c.OLD"), "caf\xE9\r\nx\n");
  EXPECT_EQ(at("sub/B.H"), BOM + "signed\n");
  EXPECT_FALSE(has("sub/B.H.OLD"));
  EXPECT_EQ(at("sub/empty.cpp"), BOM);
  EXPECT_EQ(at("sub/empty.cpp.OLD"), "");
  EXPECT_EQ(at("dir.cpp/in.c"), BOM + "\xC3\xBC");
  EXPECT_EQ(at(".git/hidden.c"), "\xE9");
  EXPECT_EQ(at(".h"), "\xE9");
  EXPECT_EQ(at("lib.hpp"), "\xE9");
  EXPECT_TRUE(clean());
}

TEST_F(Wine, RunsAgainSkipAndUnsignRestores) {
  put(root / "a.c", "\xE9t\xE9\n");
  put(root / "plain.h", "ascii\n");
  ASSERT_EQ(windows("nivra-sign").status, 0);
  const Result again = windows("nivra-sign");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(crlf_lines(again.out).size(), 2u);
  EXPECT_EQ(at("a.c.OLD"), "\xE9t\xE9\n");

  put(root / "unsigned.c", "\xE9");
  const Result back = windows("nivra-unsign");
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(crlf_lines(back.out), std::vector<std::string>{line_of(nivra::MSG_NOT_SIGNED)});
  EXPECT_EQ(at("a.c"), "\xE9t\xE9\n");
  EXPECT_EQ(at("a.c.OLD"), BOM + "\xC3\xA9t\xC3\xA9\n");
  EXPECT_EQ(at("plain.h"), "ascii\n");
  EXPECT_EQ(at("unsigned.c"), "\xE9");
  EXPECT_TRUE(clean());
}

TEST_F(Wine, UnsignRefusesWhatWindows1252CannotHoldExactly) {
  put(root / "best_fit.c", BOM + "A\xC4\x80\n");  // U+0100, which Windows would write as A
  put(root / "malformed.c", BOM + "\xC3(\n");
  put(root / "fine.c", BOM + "\xC2\x81\xE2\x82\xAC\n");  // U+0081 and the euro sign
  const Result r = windows("nivra-unsign");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(crlf_lines(r.out), std::vector<std::string>(2, line_of(nivra::MSG_LOSSY)));
  // The offset is that of the first byte of U+0100.
  const std::size_t at_name = r.err.find("best_fit.c: ");
  ASSERT_NE(at_name, std::string::npos) << r.err;
  EXPECT_TRUE(r.err.substr(at_name, r.err.find('\n', at_name) - at_name).ends_with("byte 4\r"))
      << r.err;
  EXPECT_EQ(at("best_fit.c"), BOM + "A\xC4\x80\n");
  EXPECT_EQ(at("malformed.c"), BOM + "\xC3(\n");
  EXPECT_FALSE(has("best_fit.c.OLD") || has("malformed.c.OLD"));
  EXPECT_EQ(at("fine.c"), "\x81\x80\n");
}

TEST_F(Wine, TheAnsiCodePageIsTheSystemsOwn) {
  const char* japanese = "ja_JP.UTF-8";  // Wine takes code page 932 from the locale's name
  ASSERT_EQ(active_code_page(japanese), "932");
  put(root / "sjis.c", "\x93\xFA\x96\x7B\n");  // two kanji in Shift-JIS
  put(root / "cut.c",
      "\x93\xFA"
      "ab\x81\n");  // a kanji, then a lead byte without its trail
  put(root / "utf8.c", BOM + "\xE6\x97\xA5 \xC3\xA9\n");  // e with acute: not in 932
  const Result sign = windows("nivra-sign", root, japanese);
  EXPECT_EQ(sign.status, 1);
  EXPECT_EQ(at("sjis.c"), BOM + "\xE6\x97\xA5\xE6\x9C\xAC\n");
  EXPECT_EQ(at("cut.c"),
            "\x93\xFA"
            "ab\x81\n");
  EXPECT_NE(sign.err.find("cut.c: "), std::string::npos) << sign.err;
  EXPECT_NE(sign.err.find("byte 4"), std::string::npos) << sign.err;

  const Result unsign = windows("nivra-unsign", root, japanese);
  EXPECT_EQ(unsign.status, 1);
  EXPECT_EQ(at("sjis.c"), "\x93\xFA\x96\x7B\n");
  EXPECT_EQ(at("utf8.c"), BOM + "\xE6\x97\xA5 \xC3\xA9\n");
  EXPECT_NE(unsign.err.find("utf8.c: "), std::string::npos) << unsign.err;
  EXPECT_NE(unsign.err.find("byte 7"), std::string::npos) << unsign.err;
}

TEST_F(Wine, FileHeldByAnotherProgramIsLeftAlone) {
  put(root / "held.c", "\xE9\n");
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    execlp("timeout", "timeout", "120", "wine", (PROGRAMS / "helper.exe").c_str(), "hold",
           (root / "held.c").c_str(), nullptr);
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  char said[5] = {};
  ASSERT_EQ(read(from_child[0], said, 4), 4);
  ASSERT_STREQ(said, "held");

  const Result r = windows("nivra-sign");
  close(to_child[1]);
  int status = 0;
  waitpid(holder, &status, 0);
  close(from_child[0]);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(crlf_lines(r.out), std::vector<std::string>{line_of(nivra::MSG_OPEN_FAILED)});
  EXPECT_NE(r.err.find("held.c: "), std::string::npos);
  EXPECT_EQ(at("held.c"), "\xE9\n");
  EXPECT_FALSE(has("held.c.OLD"));
}

TEST_F(Wine, FailedCreateOrBackupLeavesTheFileAsItWas) {
  put(root / "a.c", "\xE9\n");
  fs::create_directories(root / "a.c.OLD");  // no file can replace a directory
  // Temporaries have names of their own in every run, so none can be put in the way: the
  // create fails in a folder of a file system that has room for no more files.
  put(root / "full" / "b.c", "\xE9\n");
  const bool mounted =
      std::system(("mount -t tmpfs -o nr_inodes=2 nivra-full '" + (root / "full").string() +
                   "' 2>/dev/null").c_str()) == 0;
  if (mounted) put(root / "full" / "b.c", "\xE9\n");
  const Result r = windows("nivra-sign");
  if (mounted) {
    EXPECT_EQ(at("full/b.c"), "\xE9\n");
    EXPECT_FALSE(has("full/b.c.OLD"));
    EXPECT_TRUE(clean());
    EXPECT_EQ(std::system(("umount '" + (root / "full").string() + "'").c_str()), 0);
  }
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines = crlf_lines(r.out);
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected{line_of(nivra::MSG_BACKUP_FAILED)};
  if (mounted) expected.insert(expected.begin(), line_of(nivra::MSG_CREATE_FAILED));
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(at("a.c"), "\xE9\n");
  EXPECT_TRUE(clean());
  if (!mounted) GTEST_SKIP() << "no tmpfs mount here: the failed create was not tried";
}

TEST_F(Wine, LinkLeftByAnInterruptedRunIsNoObstacle) {
  // A run stopped after linking the file to its temporary backup name leaves a second
  // name of the very file that the next run holds.
  put(root / "a.c", "\xE9\n");
  fs::create_hard_link(root / "a.c", root / nivra::temporary_name("a.c", "old", ended_tag()));
  const Result r = windows("nivra-sign");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("a.c"), BOM + "\xC3\xA9\n");
  EXPECT_EQ(at("a.c.OLD"), "\xE9\n");
  EXPECT_TRUE(clean());
}

TEST_F(Wine, RunsStartedTogetherConvertEachFileOnce) {
  // Runs meeting over a file: one converts it, the others find it held or already signed.
  constexpr int FILES = 300, RUNS = 3;
  const auto name = [](int i) {
    return "t/d" + std::to_string(i % 6) + "/f" + std::to_string(i) + ".c";
  };
  const auto text = [](int i) { return "int f" + std::to_string(i) + "; // caf"; };
  std::map<std::string, std::string> expected;
  for (int i = 0; i < FILES; ++i) {
    expected[name(i)] = BOM + text(i) + "\xC3\xA9\r\n";
    expected[name(i) + ".OLD"] = text(i) + "\xE9\r\n";
  }
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  for (int round = 0; round < 3; ++round) {
    fs::remove_all(root / "t");
    for (int i = 0; i < FILES; ++i) put(root / name(i), text(i) + "\xE9\r\n");
    std::vector<Started> runs;
    for (int r = 0; r < RUNS; ++r)
      runs.push_back(start({"timeout", "120", "wine", "nivra-sign.exe"}, root));
    int converted = 0;  // each run reports every file it does not convert
    for (const Started& started : runs) {
      const Result r = finish(started);
      const std::vector<std::string> lines = crlf_lines(r.out);
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const std::string& line) {
                                return line != line_of(nivra::MSG_ALREADY_SIGNED) &&
                                       line != line_of(nivra::MSG_OPEN_FAILED);
                              }),
                0)
          << r.out << r.err;
      converted += FILES - int(lines.size());
    }
    EXPECT_EQ(converted, FILES) << "round " << round;
    // Names of files left in another state, and of temporaries left behind.
    EXPECT_EQ(differing(snapshot(root), expected), "") << "round " << round;
  }
}

TEST_F(Wine, DiagnosticsOnAConsoleShowNamesBeyondAscii) {
  put(root / "\xC3\xB1.c", "\xE9");
  fs::create_directories(root / "\xC3\xB1.c.OLD");  // the backup fails: a diagnostic names it
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  // Started on a terminal, the program has a console (which speaks UTF-8 to the terminal).
  const Result r = run({"script", "-qec", "timeout 120 wine nivra-sign.exe", "/dev/null"}, root);
  const std::string shown = std::regex_replace(r.out, std::regex("\x1B\\[[?0-9;]*[A-Za-z]"), "");
  EXPECT_NE(shown.find("\\\xC3\xB1.c.OLD: "), std::string::npos) << shown;
}

TEST_F(Wine, RootIsTakenFromArgumentZeroWhateverItsForm) {
  // Beyond the classic path limit of 260 characters.
  fs::path deep = root;
  for (int i = 0; i < 8; ++i) deep /= std::string(40, char('a' + i));
  put(deep / "deep.c", "\xE9");
  // Started by its bare name (wine itself would pass the full path): the root is where
  // the system says the program is.
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  const Result bare = run({"timeout", "120", "wine", "cmd", "/c", "nivra-sign.exe"}, root);
  EXPECT_EQ(bare.status, 0) << bare.err;
  EXPECT_EQ(slurp(deep / "deep.c"), BOM + "\xC3\xA9");

  // A program in a drive's root gets the drive, and the walk starts at its root.
  const fs::path drive = fs::path(NIVRA_WINEPREFIX) / "dosdevices" / "n:";
  fs::remove(drive);
  fs::create_symlink(root, drive);
  fs::copy_file(PROGRAMS / "nivra-unsign.exe", root / "nivra-unsign.exe");
  const Result r = wine("n:\\nivra-unsign.exe", root);
  fs::remove(drive);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(deep / "deep.c"), "\xE9");
}

TEST_F(Wine, LinuxAndWindowsProgramsAgree) {
  const std::map<std::string, std::string> tree = {
      {"ansi.c", "// caf\xE9 \x80 \x81\r\nint x;\n"},
      {"signed.h", BOM + "\xC3\xA9\n"},
      {"utf8.cpp", "\xC3\xA9t\xC3\xA9\n"},
      {"empty.c", ""},
      {"one.c", "\xE9"},
      {"zero.cpp", std::string("a\0b\xE9\n\0", 6)},
      {"long.c", std::string(3 << 20, '\xE9') + "\n" + std::string(300000, 'x') + "\n\xE9"},
      {"utf16le.c", std::string("\xFF\xFE\xE9\x00\n\x00", 6)},
      {"utf16be.c", std::string("\xFE\xFF\x00\xE9\x00\n", 6)},
      {"lossy.c", BOM + "\xC4\x80"},
      {"a/b/c/deep.h", "\xE9\n"},
      {"a/x.cpp/y.c", "\xE9\n"},
      {"a/.svn/z.c", "\xE9\n"},
      {"d\xC3\xA9j\xC3\xA0/na\xC3\xAFve.c", "\xE9\n"},  // names beyond ASCII,
      {"\xF0\x9F\x98\x80.h", "\xE9\n"},                 // and beyond 16 bits
  };
  const fs::path linux_tree = root / "linux", windows_tree = root / "windows";
  for (const auto& [name, bytes] : tree) {
    put(linux_tree / name, bytes);
    put(windows_tree / name, bytes);
  }
  for (const std::string program : {"nivra-sign", "nivra-sign", "nivra-unsign", "nivra-unsign"}) {
    const fs::path linux_exe = linux_tree / program;
    fs::copy_file(program == "nivra-sign" ? NIVRA_LINUX_SIGN : NIVRA_LINUX_UNSIGN, linux_exe,
                  fs::copy_options::overwrite_existing);
    const Result l = run({linux_exe.string()}, linux_tree);
    const Result w = windows(program, windows_tree);
    std::vector<std::string> linux_lines, windows_lines = crlf_lines(w.out);
    std::istringstream in(l.out);
    for (std::string line; std::getline(in, line);) linux_lines.push_back(line);
    // The two systems list a directory in their own orders.
    std::sort(linux_lines.begin(), linux_lines.end());
    std::sort(windows_lines.begin(), windows_lines.end());
    EXPECT_EQ(linux_lines, windows_lines) << program;
    EXPECT_FALSE(linux_lines.empty());
    EXPECT_EQ(l.status, w.status) << program;
    EXPECT_EQ(differing(snapshot(linux_tree), snapshot(windows_tree)), "") << program;
  }
}

TEST_F(Wine, EveryNameIsTheFileItNamesWhateverWin32WouldMakeOfIt) {
  // Argument 0 ends in a slash-separated part: the tree is the folder it names. (Wine
  // starts no program from a folder "tree.", which Win32 would trim to "tree".)
  put(root / "outside.c", "\xE9");
  put(root / "tree" / "lib" / "a.c", "\xE9");
  put(root / "tree" / "lib." / "a.c", "\xE8");  // trimmed, it would be lib again
  put(root / "tree" / "aux.c", "\xE9");         // AUX and CON are devices to Win32
  put(root / "tree" / "con.c", "\xE9");
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "tree" / "nivra-sign.exe");
  const Result r = wine(windows_path(root.string()) + "\\tree/nivra-sign.exe", root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("outside.c"), "\xE9");
  EXPECT_EQ(at("tree/lib/a.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("tree/lib./a.c"), BOM + "\xC3\xA8");
  EXPECT_EQ(at("tree/aux.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("tree/con.c.OLD"), "\xE9");
}

TEST_F(Wine, FromADrivesRootTheSystemsOwnFoldersAreLeftAlone) {
  put(root / "$RECYCLE.BIN" / "$I1.c", "\xE9");
  put(root / "hidden" / "h.c", "\xE9");
  put(root / "system" / "s.c", "\xE9");
  // Not n:, which another test maps at the same time.
  const fs::path drive = fs::path(NIVRA_WINEPREFIX) / "dosdevices" / "m:";
  fs::remove(drive);
  fs::create_symlink(root, drive);
  for (const char* folder : {"+h m:\\$RECYCLE.BIN", "+s m:\\$RECYCLE.BIN", "+h m:\\hidden",
                             "+s m:\\system"}) {
    const Result set = run({"sh", "-c", std::string("timeout 60 wine cmd /c attrib ") + folder},
                           root);
    ASSERT_EQ(set.status, 0) << set.out << set.err;
  }
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  const Result r = wine("m:\\nivra-sign.exe", root);
  fs::remove(drive);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("$RECYCLE.BIN/$I1.c"), "\xE9");
  EXPECT_EQ(at("hidden/h.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("system/s.c"), BOM + "\xC3\xA9");
}

TEST_F(Wine, TheNewFileKeepsItsProtectionAndTheBackupIsTheOriginal) {
  put(root / "read_only.c", "\xE9");
  put(root / "private.h", "\xE9");
  fs::permissions(root / "read_only.c", fs::perms(0444));
  fs::permissions(root / "private.h", fs::perms(0600));
  const auto old_time = fs::last_write_time(root / "private.h") - std::chrono::hours(48);
  fs::last_write_time(root / "private.h", old_time);
  const auto mode = [&](const std::string& name) {
    return unsigned(fs::status(root / name).permissions()) & 0777;
  };
  // Wine keeps the access list in the mode, and reads the owner's entry as the owner's
  // and the group's bits, with execution beside reading: others' bits are exact.
  const auto check = [&](const std::string& when) {
    for (const std::string name : {"read_only.c", "private.h"}) {
      EXPECT_EQ(at(name), BOM + "\xC3\xA9") << when;
      EXPECT_EQ(at(name + ".OLD"), "\xE9") << when;
    }
    EXPECT_EQ(mode("read_only.c") & 0222, 0u) << when;
    EXPECT_EQ(mode("read_only.c") & 0007, 05u) << when;
    EXPECT_EQ(mode("read_only.c.OLD") & 0222, 0u) << when;
    EXPECT_EQ(mode("private.h") & 0707, 0700u) << when;
    EXPECT_EQ(mode("private.h.OLD") & 0007, 0u) << when;
    EXPECT_TRUE(clean()) << when;
  };
  ASSERT_EQ(windows("nivra-sign").status, 0);
  check("first run");
  // The backup is the original itself: its mode and time, as it was.
  EXPECT_EQ(mode("read_only.c.OLD"), 0444u);
  EXPECT_EQ(mode("private.h.OLD"), 0600u);
  EXPECT_EQ(fs::last_write_time(root / "private.h.OLD"), old_time);
  EXPECT_NE(fs::last_write_time(root / "private.h"), old_time);
  // Again, now with an earlier NAME.OLD to replace.
  const Result back = windows("nivra-unsign");
  EXPECT_EQ(back.status, 0) << back.err;
  ASSERT_EQ(windows("nivra-sign").status, 0);
  check("third run");
}

TEST_F(Wine, WithUtf8AsTheAnsiCodePageTextKeepsItsBytes) {
  const char* hindi = "hi_IN.UTF-8";  // a locale without an ANSI code page of its own
  ASSERT_EQ(active_code_page(hindi), "65001");
  put(root / "utf8.c", "\xE0\xA4\x95 \xC3\xA9\n");
  put(root / "latin1.c", "caf\xE9\n");
  const Result sign = windows("nivra-sign", root, hindi);
  EXPECT_EQ(sign.status, 1);
  EXPECT_EQ(crlf_lines(sign.out), std::vector<std::string>{line_of(nivra::MSG_LOSSY)});
  EXPECT_EQ(at("utf8.c"), BOM + "\xE0\xA4\x95 \xC3\xA9\n");
  EXPECT_EQ(at("latin1.c"), "caf\xE9\n");
  EXPECT_NE(sign.err.find("latin1.c: "), std::string::npos) << sign.err;
  const Result unsign = windows("nivra-unsign", root, hindi);
  EXPECT_EQ(unsign.status, 0) << unsign.err;
  EXPECT_EQ(at("utf8.c"), "\xE0\xA4\x95 \xC3\xA9\n");
}

TEST_F(Wine, AFileOfOneLongLineConvertsInA32BitProcess) {
  const std::size_t size = std::size_t(300) << 20;
  {
    std::ofstream out(root / "big.c", std::ios::binary);
    const std::string block(1 << 20, '\xE9');
    for (std::size_t n = 0; n < size; n += block.size()) out << block;
  }
  const Result r = windows("nivra-sign");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::file_size(root / "big.c"), 3 + 2 * size);
  EXPECT_EQ(fs::file_size(root / "big.c.OLD"), size);
  std::ifstream in(root / "big.c", std::ios::binary);
  in.seekg(std::streamoff(3 + 2 * size - 4));
  std::string tail(4, '\0');
  in.read(tail.data(), 4);
  EXPECT_EQ(tail, "\xC3\xA9\xC3\xA9");
}

TEST_F(Wine, AFileHeldForAMomentDuringTheReplaceIsConverted) {
  // The helper waits for the run's temporary, then for the file, which the run holds
  // until it lets go just before the replace: the helper has it then, for 300 ms.
  const std::string text = std::string(40 << 20, 'x') + "\xE9";
  put(root / "a.c", text);
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  const Started grab =
      start({"timeout", "120", "wine", (PROGRAMS / "helper.exe").string(), "grab",
             windows_path((root / "a.c").string()), "300",
             windows_path((root / ".nivra-*").string())},
            root);
  while (slurp(grab.out).empty()) usleep(1000);
  const Result r = run({"timeout", "120", "wine", "nivra-sign.exe"}, root);
  const Result grabbed = finish(grab);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // It held the original: the run met it in its replace, and waited.
  EXPECT_EQ(crlf_lines(grabbed.out),
            (std::vector<std::string>{"waiting", std::to_string(text.size())}));
  EXPECT_TRUE(at("a.c.OLD") == text);
  EXPECT_EQ(fs::file_size(root / "a.c"), text.size() + 4);
  EXPECT_TRUE(clean());
}

TEST_F(Wine, ARunWithNothingToSayNeedsNoStandardOutput) {
  put(root / "a.c", "\xE9");
  fs::copy_file(PROGRAMS / "nivra-sign.exe", root / "nivra-sign.exe");
  const Result r = run({"sh", "-c", "timeout 120 wine nivra-sign.exe >&-"}, root);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("a.c"), BOM + "\xC3\xA9");
}

}  // namespace
