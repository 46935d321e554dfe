#pragma once

// Helpers for tests that work on real trees: temporary folders, files, and the built
// programs started as a user would start them.

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/direction.h"
#include "text/code_page.h"

namespace nivra::test {

/// A fresh folder under $TMPDIR (or /tmp), removed with all it holds when destroyed.
class TempDir {
 public:
  /// In folder `base`; "" for $TMPDIR, or /tmp without it.
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// The path of `relative` inside the folder.
  std::string operator/(std::string_view relative) const;

 private:
  std::string path_;
};

/// Writes `bytes` to `path` with permission bits `mode`, creating missing folders.
void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0644);
/// The whole content of a file; fails the test when it cannot be read.
std::string read_file(const std::string& path);
/// True when anything (even a dangling link) has that name.
bool exists(const std::string& path);
/// Creates folder `path` and any missing parents.
void make_dirs(const std::string& path, mode_t mode = 0755);
/// Removes `path` and all below it, opening up folders a test locked.
void remove_tree(const std::string& path);
/// Permission bits of `path` (without following a link).
mode_t mode_of(const std::string& path);

/// Every name under `root`, by relative path: a file's content, "<dir>" for a folder,
/// "-> TARGET" for a symbolic link, "<other>" for anything else.
std::map<std::string, std::string> snapshot(const std::string& root);
/// snapshot() without the programs installed at the top of the tree, Linux or Windows.
std::map<std::string, std::string> tree_of(const std::string& root);
/// The names whose entries differ between two snapshots, or that only one holds; "" if none.
std::string differences(const std::map<std::string, std::string>& a,
                        const std::map<std::string, std::string>& b);
/// True when the last name of relative path `rel` is a temporary of the replace sequence.
bool is_temporary_path(std::string_view rel);

/// Copies the built program of `direction` into folder `dir`; returns its path there.
std::string install_program(const std::string& dir, Direction direction);
/// The path of the built program itself.
std::string built_program(Direction direction);

struct RunOptions {
  std::string cwd = "/";                 ///< where the program is started from
  std::string argv0;                     ///< argument 0; the program's path when empty
  std::vector<std::string> extra_args;   ///< further arguments
  std::vector<std::string> env;          ///< NAME=VALUE settings added to the environment
  bool unprivileged = false;             ///< run as an ordinary user when the tests are root
  long long kill_after_us = -1;          ///< SIGKILL this many microseconds after the start
  /// Runs the program under strace, which sends it `signal` at its `nth` call of `call` (a
  /// system call's name): SIGKILL ends it before the call takes effect, SIGSTOP stops it
  /// right after. Empty: not traced. See can_stop_runs().
  struct {
    std::string call;
    int nth = 1;
    int signal = 0;
  } signal_after;
  /// Runs the program under strace, which writes each of these system calls (names, commas
  /// between) that any of its threads made, with the outcome, to PREFIX.PID: one file a
  /// thread. Not with signal_after.
  struct {
    std::string calls, prefix;
  } logged;
};

struct ProgramResult {
  std::string out;  ///< standard output, byte for byte
  std::string err;  ///< standard error
  int status = -1;  ///< exit status, or 128 + signal number when killed
};

/// A started program, with pipes to its standard input, output and error. `program` is
/// looked up on PATH when it holds no '/'.
class Process {
 public:
  explicit Process(const std::string& program, const RunOptions& options = {});
  /// Waits for the program unless wait() did.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  /// Reads standard output until it holds `text`; false when the output ends first.
  bool await_output(std::string_view text);
  /// Writes `text` to the program's standard input.
  void send(std::string_view text);
  void kill(int signal);
  /// Waits until the program (the one strace traces, with RunOptions::signal_after) is
  /// stopped; false when it ended first.
  bool await_stop();
  /// Lets the stopped program go on.
  void resume();
  /// Closes the program's standard input and takes all it writes until it ends. Fails the
  /// test when it could not be started.
  ProgramResult wait();

 private:
  std::string program_;
  pid_t pid_ = -1;
  pid_t traced_ = -1;  ///< the program strace traces, once await_stop() found it
  std::string trace_log_;  ///< where strace writes what it saw
  int in_ = -1, out_ = -1, err_ = -1;
  ProgramResult result_;
};

/// Starts `program` and waits for it.
ProgramResult run(const std::string& program, const RunOptions& options = {});

/// Whether strace is there to send a run a signal after a chosen system call.
bool can_stop_runs();

/// The user that `RunOptions::unprivileged` runs as, when the tests run as root.
bool can_run_unprivileged();
/// Hands `path` and all below it to that user, so that it may convert it.
void give_to_unprivileged(const std::string& path);
/// True when permission bits hold the process back (not root, or run unprivileged).
bool running_as_root();

/// A file of a tree: its name, its content before a run, and its content expected after
/// it. A file whose `after` equals `before` is to be left alone.
struct FileCase {
  std::string name;
  std::string before;
  std::string after;
  int offset = -1;  ///< for a file refused as lossy, the byte its diagnostic names
  std::string place{};  ///< and the line and column it names before that byte, unless ""
};

/// A file to be left alone and reported as lossy from byte `offset` on, at `place`
/// ("line 2, column 5") when given.
inline FileCase refused(std::string name, std::string content, int offset,
                        std::string place = "") {
  return FileCase{std::move(name), content, content, offset, std::move(place)};
}

/// Writes every case into `tree`, installs the program of `direction` there and runs it
/// once from "/" with the settings `env`. Then checks each file: a converted one holds
/// `after` and has `before` as NAME.OLD; one left alone is unchanged and has no backup; a
/// refused one has its diagnostic.
ProgramResult run_cases(const TempDir& tree, Direction direction,
                        const std::vector<FileCase>& cases,
                        const std::vector<std::string>& env = {});

/// The line the program of `direction` writes to standard error for a fault on `path`.
std::string diagnostic_line(Direction direction, const std::string& path,
                            const std::string& reason);
/// The line of `err` that names `path`, as in "PROGRAM: PATH: REASON", without its line
/// end; "" when there is none.
std::string diagnostic_for(const std::string& err, const std::string& path);

/// The lines of `text`, each with its "\n" (the last one may lack it).
std::vector<std::string> split_lines(std::string_view text);
/// split_lines() in sorted order, for output whose order is the system's listing order.
std::vector<std::string> sorted_lines(std::string_view text);

/// `files` ANSI sources in nested folders, of up to some 12 KB each, by relative path.
std::map<std::string, std::string> ansi_sources(int files, unsigned seed);
/// Writes every file of `files` under `root`.
void write_files(const std::string& root, const std::map<std::string, std::string>& files);
/// The snapshot a clean run of `direction` leaves of a tree of `files`, without the program.
std::map<std::string, std::string> converted(const std::map<std::string, std::string>& files,
                                             Direction direction);

/// What runs over a tree left, name by name, against its files `before` and the snapshot
/// `after` of a clean run (see converted()).
struct TreeReport {
  int converted = 0;     ///< names with their new content and their original as NAME.OLD
  int unconverted = 0;   ///< names with their old content
  int temporaries = 0;   ///< names of the programs' own temporaries
  std::vector<std::string> temporary_names;  ///< and those names
  int hidden = 0;        ///< ".fuse_hidden" names a FUSE file system keeps for open files
  int missing = 0;       ///< names of `before` that are gone
  int kept_beside = 0;   ///< of those and of the files converted without a backup, those
                         ///< whose original NAME.OLD or a temporary holds
  int damaged = 0;       ///< names with neither their old nor their new content
  int bad_backups = 0;   ///< NAME.OLD other than the original, or none beside a new content
  int strays = 0;        ///< any other name
  std::string examples;  ///< the first faults, one a line
  int faults() const { return missing + damaged + bad_backups + strays; }
};
TreeReport check_tree(std::map<std::string, std::string> left,
                      const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after);
/// The tag of a run of the programs on this machine that has ended: what its temporaries
/// are named with.
std::string ended_run_tag();

/// A locale, and the ANSI code page Windows gives its language.
struct LocaleCodePage {
  const char* locale;
  unsigned id;
  bool duplicates;  ///< two byte sequences of the code page stand for one character
};

/// One locale for each code page the programs know.
inline constexpr LocaleCodePage LOCALE_CODE_PAGES[] = {
    {"ja_JP.UTF-8", 932, true},   {"zh_CN.UTF-8", 936, false}, {"zh_TW.UTF-8", 950, true},
    {"ko_KR.UTF-8", 949, false},  {"th_TH.UTF-8", 874, false}, {"pl_PL.UTF-8", 1250, false},
    {"ru_RU.UTF-8", 1251, false}, {"el_GR.UTF-8", 1253, false}, {"tr_TR.UTF-8", 1254, false},
    {"he_IL.UTF-8", 1255, false}, {"ar_SA.UTF-8", 1256, false}, {"lt_LT.UTF-8", 1257, false},
    {"vi_VN.UTF-8", 1258, false}, {"hi_IN.UTF-8", 65001, false}, {"de_DE.UTF-8", 1252, false},
};

/// Text in one code page, found by asking the code page itself.
struct CodePageSample {
  /// Every lead byte with a few of its trail bytes, pairs first, then every pair that is
  /// written back in another form, then every byte the code page defines alone.
  std::string text;
  std::string pair;            ///< the first pair of `text`; "" for a single-byte code page
  std::string undefined;       ///< a byte that stands for nothing; "" if none
  std::string undefined_pair;  ///< a lead byte and a trail byte that stand for nothing
  std::string unholdable;      ///< UTF-8 that the code page has no bytes for
  /// UTF-8 of a character Windows writes as bytes it refuses to read; "" if none.
  std::string unread;
};
CodePageSample code_page_sample(AnsiCodePage& page);

/// Every extended attribute of `path` (access lists included) by name, its raw bytes.
std::map<std::string, std::string> attributes_of(const std::string& path);
/// Runs `command` with /bin/sh, its output dropped; true when it exits with status 0.
bool command_succeeds(const std::string& command);

/// `s` repeated `n` times.
std::string repeat(std::string_view s, std::size_t n);

}  // namespace nivra::test
