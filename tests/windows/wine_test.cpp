// The Windows programs, run under Wine over temporary trees, and compared with the Linux
// programs over copies of the same tree.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <regex>

#include "convert/convert_file.h"
#include "convert/messages.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

const std::string BOM = "\xEF\xBB\xBF";
const std::string PROGRAMS = NIVRA_WINDOWS_PROGRAMS;

/// How `args` run under Wine from folder `cwd`, with `locale` as LC_ALL when it is given.
RunOptions under_wine(std::vector<std::string> args, const std::string& cwd,
                      const char* locale = nullptr) {
  RunOptions o;
  o.cwd = cwd;
  o.extra_args = {"120", "wine"};
  o.extra_args.insert(o.extra_args.end(), args.begin(), args.end());
  if (locale) o.env = {"LC_ALL=" + std::string(locale)};
  return o;
}

ProgramResult wine(std::vector<std::string> args, const std::string& cwd,
                   const char* locale = nullptr) {
  return run("timeout", under_wine(std::move(args), cwd, locale));
}

/// The active ANSI code page of a Windows program started with `locale`.
std::string active_code_page(const char* locale = nullptr) {
  const ProgramResult r = wine({PROGRAMS + "/helper.exe", "acp"}, "/", locale);
  return r.out.substr(0, r.out.find_first_of("\r\n"));
}

/// What a Windows program wrote, with its line ends (each of which must be CR LF) as LF.
ProgramResult from_crlf(ProgramResult r) {
  for (std::string* text : {&r.out, &r.err}) {
    std::string lf;
    for (std::string& line : split_lines(*text)) {
      EXPECT_TRUE(line.ends_with("\r\n")) << "no CR LF: " << line;
      if (line.ends_with("\r\n")) line.erase(line.size() - 2, 1);
      lf += line;
    }
    *text = lf;
  }
  return r;
}

/// The name under which the Windows programs see `path`: Wine's drive Z: is the root.
std::string windows_path(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

/// Copies the Windows program of `direction` into folder `dir`; returns its name.
std::string install_windows_program(const std::string& dir, Direction direction) {
  const std::string exe = std::string(traits(direction).program) + ".exe";
  write_file(dir + "/" + exe, read_file(PROGRAMS + "/" + exe), 0755);
  return exe;
}

class Wine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("WINEPREFIX", NIVRA_WINEPREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
  }

  /// Why the Windows programs cannot be run here, or "".
  static std::string missing() {
    if (!exists(PROGRAMS + "/nivra-sign.exe") || !exists(PROGRAMS + "/helper.exe"))
      return "the Windows programs were not built (no mingw-w64?)";
    if (std::system("command -v wine >/dev/null 2>&1") != 0 ||
        !exists(NIVRA_WINEPREFIX "/system.reg"))
      return "no wine, or no Wine prefix";
    // The bytes these tests expect are those of Windows-1252.
    const std::string acp = active_code_page();
    return acp == "1252" ? "" : "Wine's ANSI code page is not 1252 but '" + acp + "'";
  }

  void SetUp() override {
    static const std::string why = missing();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  /// Runs the Windows program of `direction` from the root of the tree at `dir`.
  ProgramResult windows(Direction direction, const std::string& dir,
                        const char* locale = nullptr) {
    return from_crlf(wine({dir + "/" + install_windows_program(dir, direction)}, dir, locale));
  }
  ProgramResult windows(Direction direction) { return windows(direction, root.path()); }

  std::string at(const std::string& rel) { return read_file(root / rel); }
  bool has(const std::string& rel) { return exists(root / rel); }
  void put(const std::string& rel, std::string_view bytes) { write_file(root / rel, bytes); }
  /// True when no temporary file of the replace sequence is left anywhere in the tree.
  bool clean() {
    const auto tree = snapshot(root.path());
    return std::none_of(tree.begin(), tree.end(),
                        [](const auto& entry) { return is_temporary_path(entry.first); });
  }

  TempDir root;
};

TEST_F(Wine, SignConvertsTheSourcesAndKeepsBackups) {
  put("a.c", "caf\xE9\r\nx\n");
  put("sub/B.H", BOM + "signed\n");
  put("sub/empty.cpp", "");
  put("dir.cpp/in.c", "\xFC");
  put(".git/hidden.c", "\xE9");
  put(".h", "\xE9");
  put("lib.hpp", "\xE9");
  const ProgramResult r = windows(Direction::sign);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, MSG_ALREADY_SIGNED);
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
  put("a.c", "\xE9t\xE9\n");
  put("plain.h", "ascii\n");
  ASSERT_EQ(windows(Direction::sign).status, 0);
  const ProgramResult again = windows(Direction::sign);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, repeat(MSG_ALREADY_SIGNED, 2));
  EXPECT_EQ(at("a.c.OLD"), "\xE9t\xE9\n");

  put("unsigned.c", "\xE9");
  const ProgramResult back = windows(Direction::unsign);
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.out, MSG_NOT_SIGNED);
  EXPECT_EQ(at("a.c"), "\xE9t\xE9\n");
  EXPECT_EQ(at("a.c.OLD"), BOM + "\xC3\xA9t\xC3\xA9\n");
  EXPECT_EQ(at("plain.h"), "ascii\n");
  EXPECT_EQ(at("unsigned.c"), "\xE9");
  EXPECT_TRUE(clean());
}

TEST_F(Wine, UnsignRefusesWhatWindows1252CannotHoldExactly) {
  put("best_fit.c", BOM + "A\xC4\x80\n");  // U+0100, which Windows would write as A
  put("malformed.c", BOM + "\xC3(\n");
  put("fine.c", BOM + "\xC2\x81\xE2\x82\xAC\n");  // U+0081 and the euro sign
  const ProgramResult r = windows(Direction::unsign);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_LOSSY, 2));
  // The offset is that of the first byte of U+0100.
  EXPECT_TRUE(diagnostic_for(r.err, windows_path(root / "best_fit.c")).ends_with("byte 4"))
      << r.err;
  EXPECT_EQ(at("best_fit.c"), BOM + "A\xC4\x80\n");
  EXPECT_EQ(at("malformed.c"), BOM + "\xC3(\n");
  EXPECT_FALSE(has("best_fit.c.OLD") || has("malformed.c.OLD"));
  EXPECT_EQ(at("fine.c"), "\x81\x80\n");
}

TEST_F(Wine, TheAnsiCodePageIsTheSystemsOwn) {
  const char* japanese = "ja_JP.UTF-8";  // Wine takes code page 932 from the locale's name
  ASSERT_EQ(active_code_page(japanese), "932");
  put("sjis.c", "\x93\xFA\x96\x7B\n");  // two kanji in Shift-JIS
  put("cut.c", "\x93\xFA" "ab\x81\n");  // a kanji, then a lead byte without its trail
  put("utf8.c", BOM + "\xE6\x97\xA5 \xC3\xA9\n");  // e with acute: not in 932
  const ProgramResult sign = windows(Direction::sign, root.path(), japanese);
  EXPECT_EQ(sign.status, 1);
  EXPECT_EQ(at("sjis.c"), BOM + "\xE6\x97\xA5\xE6\x9C\xAC\n");
  EXPECT_EQ(at("cut.c"), "\x93\xFA" "ab\x81\n");
  EXPECT_TRUE(diagnostic_for(sign.err, windows_path(root / "cut.c")).ends_with("byte 4"))
      << sign.err;

  const ProgramResult unsign = windows(Direction::unsign, root.path(), japanese);
  EXPECT_EQ(unsign.status, 1);
  EXPECT_EQ(at("sjis.c"), "\x93\xFA\x96\x7B\n");
  EXPECT_EQ(at("utf8.c"), BOM + "\xE6\x97\xA5 \xC3\xA9\n");
  EXPECT_TRUE(diagnostic_for(unsign.err, windows_path(root / "utf8.c")).ends_with("byte 7"))
      << unsign.err;
}

TEST_F(Wine, FileHeldByAnotherProgramIsLeftAlone) {
  put("held.c", "\xE9\n");
  Process holder("timeout", under_wine({PROGRAMS + "/helper.exe", "hold", root / "held.c"}, "/"));
  ASSERT_TRUE(holder.await_output("held"));

  const ProgramResult r = windows(Direction::sign);
  EXPECT_EQ(holder.wait().status, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, MSG_OPEN_FAILED);
  EXPECT_NE(diagnostic_for(r.err, windows_path(root / "held.c")), "") << r.err;
  EXPECT_EQ(at("held.c"), "\xE9\n");
  EXPECT_FALSE(has("held.c.OLD"));
}

TEST_F(Wine, FailedCreateOrBackupLeavesTheFileAsItWas) {
  put("a.c", "\xE9\n");
  make_dirs(root / "a.c.OLD");  // no file can replace a directory
  put("b.c", "\xE9\n");
  make_dirs(root / (temporary_name("b.c", "new", "dead") + "/x"));
  const ProgramResult r = windows(Direction::sign);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(sorted_lines(r.out),
            sorted_lines(std::string(MSG_CREATE_FAILED).append(MSG_BACKUP_FAILED)));
  EXPECT_EQ(at("a.c"), "\xE9\n");
  EXPECT_EQ(at("b.c"), "\xE9\n");
  EXPECT_FALSE(has("b.c.OLD"));
  remove_tree(root / temporary_name("b.c", "new", "dead"));
  EXPECT_TRUE(clean());
}

TEST_F(Wine, LinkLeftByAnInterruptedRunIsNoObstacle) {
  // A run stopped after linking the file to its temporary backup name leaves a second
  // name of the very file that the next run holds.
  put("a.c", "\xE9\n");
  const std::string old = root / temporary_name("a.c", "old", "dead");
  ASSERT_EQ(link((root / "a.c").c_str(), old.c_str()), 0);
  const ProgramResult r = windows(Direction::sign);
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
  std::map<std::string, std::string> expected{{"t", "<dir>"}};
  for (int i = 0; i < FILES; ++i) {
    expected["t/d" + std::to_string(i % 6)] = "<dir>";
    expected[name(i)] = BOM + text(i) + "\xC3\xA9\r\n";
    expected[name(i) + ".OLD"] = text(i) + "\xE9\r\n";
  }
  const std::string exe = install_windows_program(root.path(), Direction::sign);
  for (int round = 0; round < 3; ++round) {
    remove_tree(root / "t");
    for (int i = 0; i < FILES; ++i) put(name(i), text(i) + "\xE9\r\n");
    std::deque<Process> runs;
    for (int r = 0; r < RUNS; ++r) runs.emplace_back("timeout", under_wine({exe}, root.path()));
    int converted = 0;  // each run reports every file it does not convert
    for (Process& started : runs) {
      const ProgramResult r = from_crlf(started.wait());
      const std::vector<std::string> lines = split_lines(r.out);
      for (const std::string& line : lines)
        EXPECT_TRUE(line == MSG_ALREADY_SIGNED || line == MSG_OPEN_FAILED) << r.out << r.err;
      converted += FILES - int(lines.size());
    }
    EXPECT_EQ(converted, FILES) << "round " << round;
    // Names of files left in another state, and of temporaries left behind.
    EXPECT_EQ(differences(tree_of(root.path()), expected), "") << "round " << round;
  }
}

TEST_F(Wine, DiagnosticsOnAConsoleShowNamesBeyondAscii) {
  put("\xC3\xB1.c", "\xE9");
  make_dirs(root / "\xC3\xB1.c.OLD");  // the backup fails: a diagnostic names it
  install_windows_program(root.path(), Direction::sign);
  // Started on a terminal, the program has a console (which speaks UTF-8 to the terminal).
  RunOptions o;
  o.cwd = root.path();
  o.extra_args = {"-qec", "timeout 120 wine nivra-sign.exe", "/dev/null"};
  const ProgramResult r = run("script", o);
  const std::string shown = std::regex_replace(r.out, std::regex("\x1B\\[[?0-9;]*[A-Za-z]"), "");
  EXPECT_NE(shown.find("\\\xC3\xB1.c.OLD: "), std::string::npos) << shown;
}

TEST_F(Wine, RootIsTakenFromArgumentZeroWhateverItsForm) {
  // Beyond the classic path limit of 260 characters.
  std::string deep = root.path();
  for (int i = 0; i < 8; ++i) deep += "/" + std::string(40, char('a' + i));
  write_file(deep + "/deep.c", "\xE9");
  // Started by its bare name (wine itself would pass the full path): the root is where
  // the system says the program is.
  const ProgramResult bare =
      wine({"cmd", "/c", install_windows_program(root.path(), Direction::sign)}, root.path());
  EXPECT_EQ(bare.status, 0) << bare.err;
  EXPECT_EQ(read_file(deep + "/deep.c"), BOM + "\xC3\xA9");

  // A program in a drive's root gets the drive, and the walk starts at its root.
  const std::string drive = NIVRA_WINEPREFIX "/dosdevices/n:";
  unlink(drive.c_str());
  ASSERT_EQ(symlink(root.path().c_str(), drive.c_str()), 0);
  const ProgramResult r =
      wine({"n:\\" + install_windows_program(root.path(), Direction::unsign)}, root.path());
  unlink(drive.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(deep + "/deep.c"), "\xE9");
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
  const std::string linux_tree = root / "linux", windows_tree = root / "windows";
  for (const auto& [name, bytes] : tree) {
    write_file(linux_tree + "/" + name, bytes);
    write_file(windows_tree + "/" + name, bytes);
  }
  // Each program twice: the second run finds the work done.
  const Direction runs[] = {Direction::sign, Direction::sign, Direction::unsign, Direction::unsign};
  for (const Direction d : runs) {
    const ProgramResult l = run(install_program(linux_tree, d));
    const ProgramResult w = windows(d, windows_tree);
    // The two systems list a directory in their own orders.
    EXPECT_EQ(sorted_lines(l.out), sorted_lines(w.out)) << traits(d).program;
    EXPECT_NE(l.out, "");
    EXPECT_EQ(l.status, w.status) << traits(d).program;
    EXPECT_EQ(differences(tree_of(linux_tree), tree_of(windows_tree)), "") << traits(d).program;
  }
}

}  // namespace
}  // namespace nivra::test
