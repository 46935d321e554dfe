// The Windows programs, run under Wine over temporary trees, and compared with the Linux
// programs over copies of the same tree.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <regex>
#include <optional>
#include <set>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>

#include "convert/replace.h"
#include "convert/messages.h"
#include "text/code_pages.h"
#include "text/vector.h"
#include "support/test_support.h"

namespace nivra::test {
namespace {

const std::string BOM = "\xEF\xBB\xBF";
const std::string PROGRAMS = NIVRA_WINDOWS_PROGRAMS;

/// How `args` run under Wine from folder `cwd`, with `locale` as LC_ALL when it is given,
/// else C.UTF-8: Wine reads Linux names in the locale's charset, and only a locale that is
/// installed has one (Windows-1252 either way).
RunOptions under_wine(std::vector<std::string> args, const std::string& cwd,
                      const char* locale = nullptr) {
  RunOptions o;
  o.cwd = cwd;
  o.extra_args = {"120", "wine"};
  o.extra_args.insert(o.extra_args.end(), args.begin(), args.end());
  o.env = {"LC_ALL=" + std::string(locale ? locale : "C.UTF-8")};
  return o;
}

ProgramResult wine(std::vector<std::string> args, const std::string& cwd,
                   const char* locale = nullptr) {
  ProgramResult r = run("timeout", under_wine(args, cwd, locale));
  // A Wine client that reaches its server just as the server exits (its last client gone)
  // fails before the program starts: that is Wine's, and the program is started again.
  if (r.status != 0 && (r.out + r.err).find("wine client error") != std::string::npos)
    r = run("timeout", under_wine(std::move(args), cwd, locale));
  return r;
}

/// Makes Wine prefix `prefix`, which stands for a second machine, where it is not made yet.
bool make_prefix(const std::string& prefix) {
  const std::string make = "WINEPREFIX='" + prefix + "' WINEDLLOVERRIDES='mscoree,mshtml=' sh -c "
                           "'[ -f \"$WINEPREFIX/system.reg\" ] || timeout 300 wineboot -i; "
                           "timeout 60 wineserver -w' >/dev/null 2>&1";
  return std::system(make.c_str()) == 0;
}

/// File `i` of the trees that two machines convert at once, in four folders.
std::string two_machines_name(int i) {
  return "t/d" + std::to_string(i % 4) + "/f" + std::to_string(i) + ".c";
}

/// Its text: ANSI, but for every `utf16_every`-th file, which holds the same in UTF-16.
std::string two_machines_text(int i, int utf16_every) {
  const std::string ansi = "int f" + std::to_string(i) + "; // caf\xE9\r\n";
  if (i % utf16_every) return ansi;
  std::string utf16 = "\xFF\xFE";
  for (const char c : ansi) utf16.append({c, '\0'});
  return utf16;
}

/// The active ANSI code page of a Windows program started with `locale`.
std::string active_code_page(const char* locale = nullptr) {
  const ProgramResult r = wine({PROGRAMS + "/helper.exe", "acp"}, "/", locale);
  return r.out.substr(0, r.out.find_first_of("\r\n"));
}

/// The tag of a Windows run on this machine that has ended.
std::string ended_tag() {
  const ProgramResult r = wine({PROGRAMS + "/helper.exe", "tag"}, "/");
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
    // A Wine start that fails on a busy machine prints nothing: asked once more.
    std::string acp = active_code_page();
    if (acp.empty()) acp = active_code_page();
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

  /// Writes `files` into folders "linux" and "windows" of `dir`, runs the programs of
  /// `runs` there in turn, with `locale` as LC_ALL when it is given, and expects the two
  /// systems' programs to print the same lines and leave the same bytes.
  void expect_agreement(const std::string& dir, const std::map<std::string, std::string>& files,
                        std::initializer_list<Direction> runs, const char* locale = nullptr) {
    const std::string linux_tree = dir + "/linux", windows_tree = dir + "/windows";
    for (const auto& [name, bytes] : files) {
      write_file(linux_tree + "/" + name, bytes);
      write_file(windows_tree + "/" + name, bytes);
    }
    RunOptions on_linux;
    if (locale) on_linux.env = {"LC_ALL=" + std::string(locale)};
    for (const Direction d : runs) {
      const ProgramResult l = run(install_program(linux_tree, d), on_linux);
      const ProgramResult w = windows(d, windows_tree, locale);
      // The two systems list a directory in their own orders.
      EXPECT_EQ(sorted_lines(l.out), sorted_lines(w.out)) << traits(d).program;
      EXPECT_NE(l.out, "");
      EXPECT_EQ(l.status, w.status) << traits(d).program;
      // Each line on standard output has its file named on standard error, on both.
      EXPECT_EQ(split_lines(w.err).size(), split_lines(l.err).size()) << l.err << w.err;
      EXPECT_EQ(differences(tree_of(linux_tree), tree_of(windows_tree)), "") << traits(d).program;
    }
  }

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

TEST_F(Wine, UnsignRefusesWhatWindows1252CannotHoldExactly) {
  put("best_fit.c", BOM + "A\xC4\x80\n");  // U+0100, which Windows would write as A
  put("malformed.c", BOM + "\xC3(\n");
  put("fine.c", BOM + "\xC2\x81\xE2\x82\xAC\n");  // U+0081 and the euro sign
  const ProgramResult r = windows(Direction::unsign);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_LOSSY, 2));
  // The offset is that of the first byte of U+0100.
  EXPECT_TRUE(diagnostic_for(r.err, windows_path(root / "best_fit.c"))
                  .ends_with(": cannot be converted to code page 1252 without loss: line 1, "
                             "column 2 (byte 4)"))
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
  EXPECT_TRUE(diagnostic_for(sign.err, windows_path(root / "cut.c"))
                  .ends_with("from code page 932 without loss: line 1, column 4 (byte 4)"))
      << sign.err;

  const ProgramResult unsign = windows(Direction::unsign, root.path(), japanese);
  EXPECT_EQ(unsign.status, 1);
  EXPECT_EQ(at("sjis.c"), "\x93\xFA\x96\x7B\n");
  EXPECT_EQ(at("utf8.c"), BOM + "\xE6\x97\xA5 \xC3\xA9\n");
  EXPECT_TRUE(diagnostic_for(unsign.err, windows_path(root / "utf8.c")).ends_with("(byte 7)"))
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
  // A file system with room for no more files, mounted in the tree: Wine shows the mount
  // point as a reparse point whose tag cannot be read, which, like a mount point on
  // Windows, is neither entered nor converted.
  put("full/b.c", "\xE9\n");
  const bool mounted = std::system(("mount -t tmpfs -o nr_inodes=2 nivra-full '" +
                                    (root / "full") + "' 2>/dev/null").c_str()) == 0;
  if (mounted) put("full/b.c", "\xE9\n");
  const ProgramResult r = windows(Direction::sign);
  if (mounted) {
    EXPECT_EQ(at("full/b.c"), "\xE9\n");
    EXPECT_FALSE(has("full/b.c.OLD"));
    EXPECT_TRUE(clean());
    EXPECT_EQ(std::system(("umount '" + (root / "full") + "'").c_str()), 0);
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, MSG_BACKUP_FAILED);
  EXPECT_EQ(at("a.c"), "\xE9\n");
  EXPECT_TRUE(clean());
  if (!mounted) GTEST_SKIP() << "no tmpfs mount here: the mount point was not tried";
}

TEST_F(Wine, LinkLeftByAnInterruptedRunIsNoObstacle) {
  // A run stopped after linking the file to its temporary backup name leaves a second
  // name of the very file that the next run holds.
  put("a.c", "\xE9\n");
  const std::string old = root / temporary_name("a.c", "old", ended_tag());
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
  RunOptions o = under_wine({}, root.path());
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
      // Cut into pieces converted at once; the refusal names the first byte all the same.
      {"large.c", repeat("// caf\xE9 \x80\r\nint x;\n", 400000)},
      {"large_lossy.c", BOM + repeat("caf\xC3\xA9\n", 800000) + repeat("\xC4\x80\n", 10)},
      {"utf16le.c", std::string("\xFF\xFE\xE9\x00\n\x00", 6)},
      {"utf16be.c", std::string("\xFE\xFF\x00\xE9\x00\n", 6)},
      {"lossy.c", BOM + "\xC4\x80"},
      {"a/b/c/deep.h", "\xE9\n"},
      {"a/x.cpp/y.c", "\xE9\n"},
      {"a/.svn/z.c", "\xE9\n"},
      {".h", "\xE9"},
      {"lib.hpp", "\xE9"},
      {"sub/B.H", BOM + "signed\n"},
      {"plain.h", "ascii\n"},
      {"d\xC3\xA9j\xC3\xA0/na\xC3\xAFve.c", "\xE9\n"},  // names beyond ASCII,
      {"\xF0\x9F\x98\x80.h", "\xE9\n"},                 // and beyond 16 bits
  };
  // Each program twice: the second run finds the work done.
  expect_agreement(root.path(), tree,
                   {Direction::sign, Direction::sign, Direction::unsign, Direction::unsign});

  // In each language's locale, a small tree. Not kk_KZ, sr_RS, bs_BA, uz_UZ or az_AZ, to
  // which Wine gives another code page than Windows does.
  for (const LocaleCodePage& row : LOCALE_CODE_PAGES) {
    SCOPED_TRACE(row.locale);
    ASSERT_EQ(active_code_page(row.locale), std::to_string(row.id));
    const CodePageSample s = code_page_sample(*make_code_page(row.id));
    std::map<std::string, std::string> files = {
        {"sample.c", s.text},
        {"undefined.c", "ab" + s.undefined + "\n"},
        {"undefined_pair.c", "ab" + s.undefined_pair + "\n"},
        {"cut.h", "ab" + s.pair + s.pair.substr(0, 1)},
        {"unholdable.cpp", BOM + "ab" + s.unholdable + "\n"},
        {"unread.cpp", BOM + "ab" + s.unread + "\n"},
        // Valid UTF-8 that reads in 936 too, without the evidence of UTF-8 prose; and prose.
        {"ambiguous.c", "/* \xD7\xB4\xCC\xAC */\n"},
        {"prose.c", "/* \xE5\x88\x9D\xE5\xA7\x8B\xE5\x8C\x96\xE7\x8A\xB6\xE6\x80\x81 */\n"},
        {"utf8.cpp", "\xC3\xA9t\xC3\xA9\n"},
        {"signed.h", BOM + "x\n"},
    };
    // Past one and two blocks, with no line end: after 0, 1 or 2 bytes of ASCII, a pair
    // (and, signed, its three bytes) straddles each cut at every alignment.
    if (!s.pair.empty()) {
      for (int ascii = 0; ascii < 3; ++ascii) {
        files["one_block_" + std::to_string(ascii) + ".c"] =
            std::string(std::size_t(ascii), 'x') + repeat(s.pair, 600000);
        files["two_blocks_" + std::to_string(ascii) + ".c"] =
            std::string(std::size_t(ascii), 'x') + repeat(s.pair, 1100000);
      }
      files["pieces.c"] = repeat(s.pair + s.pair + "\r\n", 1100000);
      files["pieces_lossy.c"] = repeat(s.pair + "\n", 1500000) + s.undefined_pair + "\n" +
                                repeat(s.undefined_pair + "\n", 9);
    }
    expect_agreement(root / row.locale, files, {Direction::sign, Direction::unsign}, row.locale);
  }
}

}  // namespace
TEST_F(Wine, EveryNameIsTheFileItNamesWhateverWin32WouldMakeOfIt) {
  // Argument 0 ends in a slash-separated part: the tree is the folder it names. (Wine
  // starts no program from a folder "tree.", which Win32 would trim to "tree".)
  put("outside.c", "\xE9");
  put("tree/lib/a.c", "\xE9");
  put("tree/lib./a.c", "\xE8");  // trimmed, it would be lib again
  put("tree/aux.c", "\xE9");     // AUX and CON are devices to Win32
  put("tree/con.c", "\xE9");
  install_windows_program(root / "tree", Direction::sign);
  const ProgramResult r = wine({windows_path(root.path()) + "\\tree/nivra-sign.exe"}, root.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("outside.c"), "\xE9");
  EXPECT_EQ(at("tree/lib/a.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("tree/lib./a.c"), BOM + "\xC3\xA8");
  EXPECT_EQ(at("tree/aux.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("tree/con.c.OLD"), "\xE9");
}

TEST_F(Wine, FromADrivesRootTheSystemsOwnFoldersAreLeftAlone) {
  put("$RECYCLE.BIN/$I1.c", "\xE9");
  put("hidden/h.c", "\xE9");
  put("system/s.c", "\xE9");
  // Not n:, which another test maps at the same time.
  const std::string drive = NIVRA_WINEPREFIX "/dosdevices/m:";
  unlink(drive.c_str());
  ASSERT_EQ(symlink(root.path().c_str(), drive.c_str()), 0);
  for (const char* folder : {"+h m:\\$RECYCLE.BIN", "+s m:\\$RECYCLE.BIN", "+h m:\\hidden",
                             "+s m:\\system"}) {
    // Wine's cmd now and then fails to start attrib on a busy machine: asked once more.
    ProgramResult set;
    for (int tries = 0; tries < 2 && (tries == 0 || set.status != 0); ++tries)
      set = wine({"cmd", "/c", std::string("attrib ") + folder}, root.path());
    ASSERT_EQ(set.status, 0) << set.out << set.err;
  }
  install_windows_program(root.path(), Direction::sign);
  const ProgramResult r = wine({"m:\\nivra-sign.exe"}, root.path());
  unlink(drive.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("$RECYCLE.BIN/$I1.c"), "\xE9");
  EXPECT_EQ(at("hidden/h.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("system/s.c"), BOM + "\xC3\xA9");
}

TEST_F(Wine, TheNewFileKeepsItsProtectionAndTheBackupIsTheOriginal) {
  put("read_only.c", "\xE9");
  put("private.h", "\xE9");
  chmod((root / "read_only.c").c_str(), 0444);
  chmod((root / "private.h").c_str(), 0600);
  const timespec old_time[2] = {{time(nullptr) - 48 * 3600, 0}, {time(nullptr) - 48 * 3600, 0}};
  utimensat(AT_FDCWD, (root / "private.h").c_str(), old_time, 0);
  const auto stat_of = [&](const std::string& name) {
    struct stat st {};
    EXPECT_EQ(stat((root / name).c_str(), &st), 0) << name;
    return st;
  };
  const auto mode = [&](const std::string& name) { return stat_of(name).st_mode & 0777; };
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
  // The modes Wine gives a converted file, as the notes for Windows tell them.
  const std::map<mode_t, mode_t> under_wine = {
      {0600, 0770}, {0640, 0770}, {0644, 0775}, {0664, 0775}, {0755, 0775}};
  // Built by appending: g++ 12 warns falsely (-Wrestrict) on "m" + std::to_string(...).
  const auto mode_file = [](mode_t m) {
    return std::string("m").append(std::to_string(m)).append(".c");
  };
  for (const auto& [before, after] : under_wine) {
    put(mode_file(before), "\xE9");
    chmod((root / mode_file(before)).c_str(), before);
  }
  ASSERT_EQ(windows(Direction::sign).status, 0);
  check("first run");
  for (const auto& [before, after] : under_wine) {
    const std::string name = mode_file(before);
    EXPECT_EQ(mode(name), after) << std::oct << before;
    EXPECT_EQ(mode(name + ".OLD"), before) << std::oct << before;
  }
  // The backup is the original itself: its mode and time, as it was.
  EXPECT_EQ(mode("read_only.c.OLD"), 0444u);
  EXPECT_EQ(mode("private.h.OLD"), 0600u);
  EXPECT_EQ(stat_of("private.h.OLD").st_mtime, old_time[1].tv_sec);
  EXPECT_NE(stat_of("private.h").st_mtime, old_time[1].tv_sec);
  // Again, now with an earlier NAME.OLD to replace.
  const ProgramResult back = windows(Direction::unsign);
  EXPECT_EQ(back.status, 0) << back.err;
  ASSERT_EQ(windows(Direction::sign).status, 0);
  check("third run");
}

TEST_F(Wine, WithUtf8AsTheAnsiCodePageTextKeepsItsBytes) {
  const char* hindi = "hi_IN.UTF-8";  // a locale without an ANSI code page of its own
  ASSERT_EQ(active_code_page(hindi), "65001");
  put("utf8.c", "\xE0\xA4\x95 \xC3\xA9\n");
  put("latin1.c", "caf\xE9\n");
  const ProgramResult sign = windows(Direction::sign, root.path(), hindi);
  EXPECT_EQ(sign.status, 1);
  EXPECT_EQ(sign.out, MSG_LOSSY);
  EXPECT_EQ(at("utf8.c"), BOM + "\xE0\xA4\x95 \xC3\xA9\n");
  EXPECT_EQ(at("latin1.c"), "caf\xE9\n");
  EXPECT_NE(diagnostic_for(sign.err, windows_path(root / "latin1.c")), "") << sign.err;
  const ProgramResult unsign = windows(Direction::unsign, root.path(), hindi);
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
  const ProgramResult r = windows(Direction::sign);
  EXPECT_EQ(r.status, 0) << r.err;
  const auto size_of = [&](const std::string& name) {
    struct stat st {};
    stat((root / name).c_str(), &st);
    return std::size_t(st.st_size);
  };
  EXPECT_EQ(size_of("big.c"), 3 + 2 * size);
  EXPECT_EQ(size_of("big.c.OLD"), size);
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
  put("a.c", text);
  install_windows_program(root.path(), Direction::sign);
  Process grab("timeout", under_wine({PROGRAMS + "/helper.exe", "grab",
                                      windows_path(root / "a.c"), "300",
                                      windows_path(root / ".nivra-*")},
                                     root.path()));
  ASSERT_TRUE(grab.await_output("waiting"));
  const ProgramResult r = from_crlf(wine({"nivra-sign.exe"}, root.path()));
  const ProgramResult grabbed = from_crlf(grab.wait());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // It held the original, which the run met in its replace and waited for; or, where the
  // helper came too late for the moment between the run's hold and its replace, the new
  // file. Either way the run converts the file.
  EXPECT_TRUE(grabbed.out == "waiting\n" + std::to_string(text.size()) + "\n" ||
              grabbed.out == "waiting\n" + std::to_string(text.size() + 4) + "\n")
      << grabbed.out;
  EXPECT_TRUE(at("a.c.OLD") == text);
  EXPECT_EQ(at("a.c").size(), text.size() + 4);
  EXPECT_TRUE(clean());
}

TEST_F(Wine, ARunWithNothingToSayNeedsNoStandardOutput) {
  put("a.c", "\xE9");
  install_windows_program(root.path(), Direction::sign);
  RunOptions o;
  o.cwd = root.path();
  o.extra_args = {"-c", "timeout 120 wine nivra-sign.exe >&-"};
  const ProgramResult r = run("sh", o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("a.c"), BOM + "\xC3\xA9");
}

// The Windows programs choose the AVX2 kernels where the processor has them and the system
// saves their registers, SSE2 where it has that, and the portable code elsewhere, unless
// the environment names others. Inside a Windows process every table the processor runs
// gives what the portable one gives.
TEST_F(Wine, TheKernelsAreTheProcessorsBestOrTheOnesNamed) {
  // The processor is the host's, and so is the system's answer about the YMM registers.
  const std::vector<const TextKernels*> runnable = runnable_text_kernels();
  for (const char* name : {"", "portable"}) {
    RunOptions o = under_wine({PROGRAMS + "/helper.exe", "kernels"}, "/");
    o.env.push_back("NIVRA_TEXT_KERNELS=" + std::string(name));
    const ProgramResult r = from_crlf(run("timeout", o));
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1 + runnable.size()) << r.out;
    EXPECT_EQ(lines[0], std::string(*name ? name : best_text_kernels().name) + "\n");
    for (std::size_t i = 0; i < runnable.size(); ++i)
      EXPECT_EQ(lines[1 + i], std::string(runnable[i]->name) + " agrees\n");
  }
}

// Forced to each kernel table the processor runs (AVX2, SSE2, the portable code), the
// programs give the same bytes and messages as they do by their own choice.
TEST_F(Wine, TheVectorAndThePortableTextCodeAgree) {
  std::string text;
  for (int i = 0; i < 20000; ++i)
    text += i % 7 ? "int x; /* caf\xE9 \x80 \x93q\x94 */\r\n" : "plain ascii line of code;\n";
  std::vector<std::string> forced;
  for (const TextKernels* k : runnable_text_kernels()) forced.push_back(k->name);
  std::vector<std::string> dirs = forced;
  dirs.push_back("chosen");
  for (const std::string& dir : dirs) {
    put(dir + "/a.c", text);
    put(dir + "/b.h", BOM + "caf\xC3\xA9 \xE2\x82\xAC\n");
    put(dir + "/lossy.h", BOM + "\xC4\x80\n");
    put(dir + "/bad.h", BOM + "caf\xC3\xA9 \xE2\x82\n");
  }
  for (const Direction direction : {Direction::sign, Direction::unsign}) {
    const ProgramResult chosen = windows(direction, root / "chosen");
    for (const std::string& name : forced) {
      RunOptions o = under_wine({root / name + "/" + install_windows_program(root / name, direction)},
                                root / name);
      o.env.push_back("NIVRA_TEXT_KERNELS=" + name);
      const ProgramResult r = from_crlf(run("timeout", o));
      EXPECT_EQ(chosen.status, r.status) << name;
      EXPECT_EQ(chosen.out, r.out) << name;
      EXPECT_EQ(differences(tree_of(root / "chosen"), tree_of(root / name)), "") << name;
    }
  }
  EXPECT_EQ(at("chosen/a.c"), text);  // signed and unsigned back
}

}  // namespace nivra::test

namespace nivra::test {
namespace {

/// Every file's content in the tree at `dir`, temporaries and backups included, each as
/// often as it is there.
std::multiset<std::string> contents_of(const std::string& dir) {
  std::multiset<std::string> out;
  for (const auto& [name, bytes] : snapshot(dir))
    if (bytes != "<dir>" && !name.ends_with(".exe")) out.insert(bytes);
  return out;
}

TEST_F(Wine, LinksThatWineShowsAsReparsePointsAreNeverFollowed) {
  put("tree/a.c", "\xE9");
  put("outside/b.c", "\xE9");
  ASSERT_EQ(symlink((root / "outside").c_str(), (root / "tree/out").c_str()), 0);
  ASSERT_EQ(symlink("..", (root / "tree/up").c_str()), 0);
  const ProgramResult r = windows(Direction::sign, root / "tree");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("tree/a.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("outside/b.c"), "\xE9");
  EXPECT_FALSE(has("outside/b.c.OLD"));
}

TEST_F(Wine, TheTreeIsTheFolderThatHoldsTheRunningProgram) {
  // To start it, Win32 trims "t.\nivra-sign.exe" to the program in "t"; the folder "t."
  // beside it is another tree.
  put("t/a.c", "\xE9");
  put("t./b.c", "\xE9");
  install_windows_program(root / "t", Direction::sign);
  const ProgramResult r = wine({windows_path(root / "t.") + "\\nivra-sign.exe"}, root.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(at("t/a.c"), BOM + "\xC3\xA9");
  EXPECT_EQ(at("t./b.c"), "\xE9");
}

TEST_F(Wine, ARunStoppedWhileItOwnsTheTreesMutexStopsNoOtherRun) {
  put("stuck/a.c", "\xE9");
  put("stuck/b.h", "\xE9");
  put("free/a.c", "\xE9");
  Process gate("timeout", under_wine({PROGRAMS + "/helper.exe", "gate",
                                      windows_path(root / "stuck")}, root.path()));
  ASSERT_TRUE(gate.await_output("held"));
  // A run on another tree does not wait for it at all.
  const ProgramResult other = windows(Direction::sign, root / "free");
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(at("free/a.c"), BOM + "\xC3\xA9");
  // One on the same tree waits a while, then reports each file as held.
  const ProgramResult r = windows(Direction::sign, root / "stuck");
  gate.wait();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, repeat(MSG_OPEN_FAILED, 2)) << r.err;
  EXPECT_EQ(at("stuck/a.c"), "\xE9");
  EXPECT_EQ(at("stuck/b.h"), "\xE9");
  EXPECT_TRUE(clean());
}

TEST_F(Wine, TheNewFileIsPrivateWhileItIsWritten) {
  put("private.c", std::string(64 << 20, 'x') + "\xE9");
  chmod((root / "private.c").c_str(), 0600);
  install_windows_program(root.path(), Direction::sign);
  // The run is stopped as soon as its new file is there.
  Process stop("timeout", under_wine({PROGRAMS + "/helper.exe", "stop",
                                      windows_path(root / ".nivra-*.new")}, root.path()));
  Process run("timeout", under_wine({"nivra-sign.exe"}, root.path()));
  ASSERT_TRUE(stop.await_output("stopped"));
  std::string temporary;
  for (const auto& [name, bytes] : snapshot(root.path()))
    if (name.ends_with(".new")) temporary = name;
  struct stat st {};
  ASSERT_EQ(stat((root / temporary).c_str(), &st), 0) << temporary;
  // Wine shows the owner's entry in the owner's and the group's bits: others' are exact.
  EXPECT_EQ(st.st_mode & 0007, 0u) << std::oct << st.st_mode;
  stop.send("go\n");
  stop.wait();
  const ProgramResult r = from_crlf(run.wait());
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(stat((root / "private.c").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0007, 0u);
  EXPECT_TRUE(clean());
}

/// Wine, where a run can be killed in its replace.
class WineKill : public Wine {
 protected:
  /// Kills a run of nivra-sign in the replace of "a.c", which holds `text`, where it
  /// leaves the name missing; `record` is the name of the record it left.
  void kill_in_the_replace(const std::string& text, std::string& record) {
  // ReplaceFileW moves the original aside under the run's own name, then the new file
  // under the name: a run killed between the two leaves the name missing. Made certain:
  // the run is stopped while it writes its new file, another run's hold of the tree keeps
  // it waiting just before its ReplaceFileW, it is stopped there, the files are put as
  // ReplaceFileW's first step leaves them, and the run is killed.
  put("a.c", text);
  install_windows_program(root.path(), Direction::sign);
  Process writing("timeout", under_wine({PROGRAMS + "/helper.exe", "stop",
                                         windows_path(root / ".nivra-*.new")}, root.path()));
  Process run("timeout", under_wine({"nivra-sign.exe"}, root.path()));
  ASSERT_TRUE(writing.await_output("stopped"));
  Process gate("timeout", under_wine({PROGRAMS + "/helper.exe", "gate",
                                      windows_path(root.path())}, root.path()));
  ASSERT_TRUE(gate.await_output("held"));
  writing.send("go\n");
  writing.wait();
  // The name is recorded before the replace, which then waits for the tree's mutex.
  for (int tries = 0; record.empty() && tries < 2000; ++tries) {
    for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".nam") && at(name) == "a.c") record = name;
    }
    if (record.empty()) usleep(5000);
  }
  ASSERT_FALSE(record.empty());
  Process stop("timeout", under_wine({PROGRAMS + "/helper.exe", "stop",
                                      windows_path(root / record)}, root.path()));
  ASSERT_TRUE(stop.await_output("stopped"));
  ASSERT_EQ(at("a.c"), text);  // stopped before its replace
  const std::string own = record.substr(0, record.size() - 4) + ".old";
  ASSERT_EQ(::rename((root / "a.c").c_str(), (root / own).c_str()), 0);
  stop.send("kill\n");
  stop.wait();
  run.wait();
  gate.wait();
  ASSERT_FALSE(has("a.c"));
  }
};

TEST_F(WineKill, ANameThatAKillInTheReplaceLeftMissingIsPutBack) {
  const std::string text = std::string(64 << 20, 'x') + "\xE9";
  std::string record;
  kill_in_the_replace(text, record);
  if (HasFatalFailure()) return;
  // The next run puts the original back under its name and converts it; the one after
  // finds it converted.
  for (int again = 0; again < 2; ++again) {
    const ProgramResult r = windows(Direction::sign);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, again ? MSG_ALREADY_SIGNED : "") << again;
    ASSERT_TRUE(has("a.c")) << again;
  }
  EXPECT_EQ(at("a.c.OLD"), text);
  EXPECT_EQ(at("a.c").size(), text.size() + 4);
  EXPECT_TRUE(clean());
}

TEST_F(WineKill, ANameLeftMissingByARunWhoseNumberALaterProcessHasIsPutBack) {
  // In a session of the Wine server of its own, which hands out again the numbers that
  // processes and threads gave back, oldest first, once it holds 256 of them: a few
  // hundred short processes later, one gets the killed run's.
  ASSERT_EQ(std::system("timeout 60 wineserver -w"), 0);
  const std::string text = std::string(64 << 20, 'x') + "\xE9";
  std::string record;
  kill_in_the_replace(text, record);
  if (HasFatalFailure()) return;
  // A process of the session takes the killed run's number (the tag's second part).
  const std::string process = record.substr(record.find('-', 7) + 9, 8);
  // Those few hundred Wine processes take minutes on a loaded machine: 303 s in CI, at the
  // lowest priority beside the network shares' tests.
  RunOptions squatting = under_wine({PROGRAMS + "/helper.exe", "squat", process}, "/");
  squatting.extra_args[0] = "720";
  // The helper is started again once where it ended without the number: its Wine client
  // may meet the session's server as that exits, before the helper runs.
  std::optional<Process> squat;
  for (int attempt = 0; attempt < 2; ++attempt) {
    squat.emplace("timeout", squatting);
    if (squat->await_output("squatting")) break;
    const ProgramResult ended = squat->wait();
    ASSERT_EQ(attempt, 0) << "status " << ended.status << ": " << ended.out << ended.err;
  }
  const ProgramResult r = windows(Direction::sign);
  squat->wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_TRUE(has("a.c"));
  EXPECT_EQ(at("a.c.OLD"), text);
  EXPECT_TRUE(clean());
}

TEST_F(Wine, ANameLeftMissingByARunThatMayStillGoOnIsSaidEveryRun) {
  // The record of a run of this machine that runs (the helper, as long as it sleeps).
  Process live("timeout", under_wine({PROGRAMS + "/helper.exe", "live",
                                      windows_path(root / "tag.txt")}, "/"));
  ASSERT_TRUE(live.await_output("live"));
  const std::string tag = at("tag.txt");
  ASSERT_EQ(tag.size(), 28u) << tag;
  put(temporary_name("a.c", "old", tag), "\xE9");
  put(temporary_name("a.c", "nam", tag), "a.c");
  for (int run = 0; run < 2; ++run) {
    const ProgramResult r = windows(Direction::sign);
    EXPECT_EQ(r.status, 1) << run;
    EXPECT_EQ(r.out, MSG_OPEN_FAILED) << run;
    EXPECT_NE(r.err.find("a.c: missing: "), std::string::npos) << r.err;
    EXPECT_EQ(at(temporary_name("a.c", "old", tag)), "\xE9");
  }
}

TEST_F(Wine, NamesTheSystemTakesForOneNeverCostAnOriginal) {
  // Two names that differ only in case, and a user's file named as the backup but for
  // its case: every original stays somewhere, and the user's file as it was.
  put("x.c", "lower \xE9\n");
  put("X.c", "upper \xE8\n");
  put("m/main.c", "\xE9\n");
  put("m/main.c.old", "the user's own\n");
  for (int run = 0; run < 2; ++run) {
    const ProgramResult r = windows(Direction::sign);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::multiset<std::string> kept = contents_of(root.path());
    EXPECT_EQ(kept.count("lower \xE9\n"), 1u) << run;
    EXPECT_EQ(kept.count("upper \xE8\n"), 1u) << run;
    EXPECT_EQ(at("m/main.c"), "\xE9\n");
    EXPECT_EQ(at("m/main.c.old"), "the user's own\n");
  }
}

TEST_F(Wine, NamesThatDifferOnlyInCaseAreLeftAsTheyAreAndSaidEveryRun) {
  // In a case-sensitive folder a step on one name may reach the other: neither is touched.
  const std::map<std::string, std::string> files = {
      {"a.c", "lower \xE9\n"}, {"A.c", "upper \xE8\n"}, {"Case.H", "\xE9"}, {"case.h", "\xE8"}};
  for (const auto& [name, bytes] : files) put(name, bytes);
  put("b.c", "\xE9");
  for (int run = 0; run < 3; ++run) {
    const ProgramResult r = windows(Direction::sign);
    EXPECT_EQ(r.status, 1) << run;
    EXPECT_EQ(sorted_lines(r.out),
              sorted_lines(repeat(MSG_OPEN_FAILED, 4) + repeat(MSG_ALREADY_SIGNED, run ? 1 : 0)))
        << run;
    for (const auto& [name, bytes] : files) {
      EXPECT_NE(r.err.find(name + ": "), std::string::npos) << name << "\n" << r.err;
      EXPECT_EQ(at(name), bytes) << name;
      EXPECT_FALSE(has(name + ".OLD")) << name;
    }
    EXPECT_EQ(at("b.c"), BOM + "\xC3\xA9");
    EXPECT_TRUE(clean()) << run;
  }
}

TEST_F(Wine, ALinkThatWineShowsAsAFileNeverMovesTheFileItLeadsTo) {
  // Wine lists a Unix symbolic link to a file as the file, and a rename of it moves the
  // file it leads to: out of the tree, or a file of the tree met later.
  put("out/target.c", "\xE9");
  put("t/z.c", "\xE8");
  ASSERT_EQ(symlink((root / "out/target.c").c_str(), (root / "t/linkfile.c").c_str()), 0);
  ASSERT_EQ(symlink("z.c", (root / "t/a.c").c_str()), 0);
  for (int run = 0; run < 2; ++run) {
    const ProgramResult r = windows(Direction::sign, root / "t");
    EXPECT_EQ(r.status, 1) << run << r.err;
    EXPECT_EQ(sorted_lines(r.out),
              sorted_lines(repeat(MSG_OPEN_FAILED, 2) + repeat(MSG_ALREADY_SIGNED, run ? 1 : 0)));
    EXPECT_EQ(at("out/target.c"), "\xE9");
    EXPECT_FALSE(has("out/target.c.OLD"));
    EXPECT_FALSE(has("t/linkfile.c.OLD"));
    EXPECT_FALSE(has("t/a.c.OLD"));
    EXPECT_EQ(std::filesystem::read_symlink(root / "t/a.c"), "z.c");
    EXPECT_TRUE(std::filesystem::is_symlink(root / "t/linkfile.c"));
    EXPECT_EQ(at("t/z.c"), BOM + "\xC3\xA8");
    EXPECT_EQ(at("t/z.c.OLD"), "\xE8");
  }
}

TEST_F(Wine, NamesThatWineCannotShowAsTheyAreAreLeftAsTheyAre) {
  // Names not in UTF-8 are listed with U+FFFD: two of them alike, and a name that, given
  // back, would make another file.
  const std::map<std::string, std::string> files = {
      {"x\xFF.c", "one \xE9\n"}, {"x\xFE.c", "two \xE8\n"}, {"y\xFF.c", "three \xE9\n"}};
  for (const auto& [name, bytes] : files) put(name, bytes);
  for (int run = 0; run < 2; ++run) {
    const ProgramResult r = windows(Direction::sign);
    EXPECT_EQ(r.status, 1) << run;
    EXPECT_EQ(r.out, repeat(MSG_OPEN_FAILED, 3)) << run << r.err;
    const auto tree = snapshot(root.path());
    EXPECT_EQ(tree.size(), files.size() + 1) << run;  // and the program
    for (const auto& [name, bytes] : files) EXPECT_EQ(at(name), bytes) << run;
  }
}

TEST_F(Wine, RunsOfTwoMachinesNeverLoseABackupNorEachOthersFiles) {
  // Two Wine prefixes stand for two machines on one share: neither's holds nor process
  // ids mean anything to the other.
  const std::string second = NIVRA_WINEPREFIX "-second";
  ASSERT_TRUE(make_prefix(second)) << second;
  constexpr int FILES = 200;
  const auto name = two_machines_name;
  const auto text = [](int i) { return two_machines_text(i, 3); };
  const std::string exe = install_windows_program(root.path(), Direction::sign);
  for (int round = 0; round < 2; ++round) {
    remove_tree(root / "t");
    for (int i = 0; i < FILES; ++i) put(name(i), text(i));
    RunOptions there = under_wine({exe}, root.path());
    there.env.push_back("WINEPREFIX=" + second);
    Process one("timeout", under_wine({exe}, root.path()));
    Process two("timeout", there);
    for (Process* p : {&one, &two}) {
      const ProgramResult r = from_crlf(p->wait());
      for (const std::string& line : split_lines(r.out))
        EXPECT_TRUE(line == MSG_ALREADY_SIGNED || line == MSG_OPEN_FAILED || line == MSG_CHANGED)
            << line << r.err;
    }
    // A third run on each machine converts what both left (an original one kept under its
    // own name, which only it finishes); then every file is converted and its original is
    // its NAME.OLD.
    const ProgramResult last = windows(Direction::sign);
    from_crlf(run("timeout", there));
    int lost = 0;
    for (int i = 0; i < FILES; ++i) lost += !has(name(i) + ".OLD") || at(name(i) + ".OLD") != text(i);
    EXPECT_EQ(lost, 0) << "round " << round << "\n" << last.out << last.err;
    EXPECT_TRUE(clean()) << "round " << round;
  }
  const std::string stop = "WINEPREFIX='" + second + "' wineserver -k 2>/dev/null";
  std::system(stop.c_str());
}

TEST_F(Wine, WhatARunOfAnotherMachineLeftIsNeverTaken) {
  // A run of the second Wine prefix, which may still be going on, between its replace and
  // its backup's rename: its new file written, the original under its own name.
  const std::string second = NIVRA_WINEPREFIX "-second";
  ASSERT_TRUE(make_prefix(second)) << second;
  RunOptions there = under_wine({PROGRAMS + "/helper.exe", "live", windows_path(root / "tag")}, "/");
  there.env.push_back("WINEPREFIX=" + second);
  Process live("timeout", there);
  ASSERT_TRUE(live.await_output("live"));
  const std::string tag = at("tag");
  ASSERT_EQ(tag.size(), 28u) << tag;
  std::filesystem::remove(root / "tag");
  put("a.c", "caf\xE9\n");
  put("a.c.OLD", "earlier\n");
  put(temporary_name("a.c", "old", tag), "caf\xE8\n");
  put(temporary_name("a.c", "new", tag), "half");
  // The file is converted beside them; they are named, and left as they are.
  const ProgramResult r = windows(Direction::sign);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(temporary_name("a.c", "", tag)), std::string::npos) << r.err;
  EXPECT_EQ(at("a.c"), BOM + "caf\xC3\xA9\n");
  EXPECT_EQ(at("a.c.OLD"), "caf\xE9\n");
  EXPECT_EQ(at(temporary_name("a.c", "old", tag)), "caf\xE8\n");
  EXPECT_EQ(at(temporary_name("a.c", "new", tag)), "half");
  live.wait();
}

TEST_F(Wine, RunsOfTwoMachinesThatEndLeaveNoTemporaryAndNeverTakeEachOthers) {
  const std::string second = NIVRA_WINEPREFIX "-second";
  ASSERT_TRUE(make_prefix(second)) << second;
  constexpr int FILES = 800;
  const auto name = two_machines_name;
  const auto text = [](int i) { return two_machines_text(i, 2); };
  const std::string large = std::string(40 << 20, 'x') + "\xE9";
  for (int i = 0; i < FILES; ++i) put(name(i), text(i));
  put("t/d0/large.c", large);
  const std::string exe = install_windows_program(root.path(), Direction::sign);
  RunOptions there = under_wine({exe}, root.path());
  there.env.push_back("WINEPREFIX=" + second);
  Process one("timeout", under_wine({exe}, root.path()));
  Process two("timeout", there);
  std::string said;  // what both runs said, for a failure below
  for (Process* p : {&one, &two}) {
    const ProgramResult r = from_crlf(p->wait());
    said += r.out + r.err;
    for (const std::string& line : split_lines(r.out))
      EXPECT_TRUE(line == MSG_ALREADY_SIGNED || line == MSG_OPEN_FAILED || line == MSG_CHANGED)
          << line << r.err;
  }
  // What the runs said of the file whose temporary is at `path`, for a failure.
  const auto said_of = [&](const std::string& path) {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    const std::string temp = path.substr(folder.size());
    std::string file, out;
    for (int i = 0; i < FILES && file.empty(); ++i) {
      const std::string base = name(i).substr(name(i).rfind('/') + 1);
      if (name(i).starts_with(folder) && temp.starts_with(temporary_prefix(base))) file = base;
    }
    for (const std::string& line : split_lines(said))
      if (line.find(temp) != line.npos || (!file.empty() && line.find("\\" + file + ":") != line.npos))
        out += "\n" + line;
    return out;
  };
  // What a run left is an original it could not put back (another machine's file took its
  // name between the two steps of its replace), for its machine's next run: nothing else.
  std::set<std::string> texts = {large};
  for (int i = 0; i < FILES; ++i) texts.insert(text(i));
  std::multiset<std::string> waiting;
  for (const auto& [path, bytes] : snapshot(root.path())) {
    if (!is_temporary_path(path)) continue;
    EXPECT_TRUE(path.ends_with(".old") && texts.contains(bytes)) << path << said_of(path);
    waiting.insert(bytes);
  }
  const auto converted = [](int i) {
    return BOM + "int f" + std::to_string(i) + "; // caf\xC3\xA9\r\n";
  };
  // Every file is as it was, or converted with its original as NAME.OLD, or converted with
  // its original waiting under such a name; once each machine has run again, the second.
  for (const bool again : {false, true}) {
    int wrong = 0;
    for (int i = 0; i < FILES; ++i) {
      const bool backed_up = has(name(i) + ".OLD");
      if (backed_up ? at(name(i) + ".OLD") == text(i) && at(name(i)) == converted(i)
                    : at(name(i)) == text(i) || (!again && at(name(i)) == converted(i) &&
                                                 waiting.contains(text(i))))
        continue;
      ++wrong;
      ADD_FAILURE() << name(i) << (backed_up ? ".OLD is not the original" : " is not the original")
                    << "; the name holds " << at(name(i)).size() << " bytes";
    }
    EXPECT_EQ(wrong, 0) << said;
    EXPECT_EQ(has("t/d0/large.c.OLD") ? at("t/d0/large.c.OLD") : at("t/d0/large.c"), large);
    if (again) break;
    run("timeout", under_wine({exe}, root.path()));
    run("timeout", there);
    for (const auto& [path, bytes] : snapshot(root.path()))
      EXPECT_FALSE(is_temporary_path(path)) << path << " after each machine ran again";
  }
  const std::string stop = "WINEPREFIX='" + second + "' wineserver -k 2>/dev/null";
  std::system(stop.c_str());
}

}  // namespace
}  // namespace nivra::test
