#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "convert/replace.h"
#include "text/code_page_tables.h"
#include "text/unicode.h"
#include "platform/posix/posix_host.h"

namespace nivra::test {

namespace {

constexpr uid_t UNPRIVILEGED_ID = 65534;  // "nobody" and "nogroup" on Debian

/// The names in folder `path` but "." and ".."; none when it cannot be listed.
std::vector<std::string> names_in(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

}  // namespace

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // Folders a test made unreadable or read-only are opened up again first.
    chmod(path.c_str(), 0700);
    for (const auto& n : names_in(path)) remove_tree(path + "/" + n);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

namespace {

void snapshot_into(const std::string& root, const std::string& rel,
                   std::map<std::string, std::string>& out) {
  for (const auto& n : names_in(rel.empty() ? root : root + "/" + rel)) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    const std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      out[r] = "<dir>";
      snapshot_into(root, r, out);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t len = readlink(full.c_str(), target, sizeof target);
      out[r] = "-> " + std::string(target, len > 0 ? std::size_t(len) : 0);
    } else if (S_ISREG(st.st_mode)) {
      out[r] = read_file(full);
    } else {
      out[r] = "<other>";
    }
  }
}

}  // namespace

TempDir::TempDir(const std::string& base) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = (!base.empty() ? base : tmpdir && *tmpdir ? tmpdir : "/tmp") +
                        std::string("/nivra-test-XXXXXX");
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

void make_dirs(const std::string& path, mode_t mode) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), mode);
  }
}

void write_file(const std::string& path, std::string_view bytes, mode_t mode) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())) << path;
  fchmod(fd, mode);
  ::close(fd);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return mode_t(-1);
  return st.st_mode & 07777;
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  snapshot_into(root, "", out);
  return out;
}

std::map<std::string, std::string> tree_of(const std::string& root) {
  std::map<std::string, std::string> out = snapshot(root);
  for (const char* program : {"nivra-sign", "nivra-unsign", "nivra-sign.exe", "nivra-unsign.exe"})
    out.erase(program);
  return out;
}

std::string differences(const std::map<std::string, std::string>& a,
                        const std::map<std::string, std::string>& b) {
  std::string names;
  for (const auto& [name, entry] : a)
    if (!b.contains(name) || b.at(name) != entry) names += name + " ";
  for (const auto& [name, entry] : b)
    if (!a.contains(name)) names += name + " ";
  return names;
}

bool is_temporary_path(std::string_view rel) {
  const std::size_t slash = rel.rfind('/');
  return is_temporary_name(rel.substr(slash == std::string_view::npos ? 0 : slash + 1));
}

std::string built_program(Direction direction) {
  return direction == Direction::sign ? NIVRA_SIGN_PATH : NIVRA_UNSIGN_PATH;
}

std::string install_program(const std::string& dir, Direction direction) {
  const std::string target = dir + (direction == Direction::sign ? "/nivra-sign" : "/nivra-unsign");
  write_file(target, read_file(built_program(direction)), 0755);
  return target;
}

bool running_as_root() { return geteuid() == 0; }

bool can_stop_runs() { return command_succeeds("strace -V"); }

bool can_run_unprivileged() { return running_as_root() && getpwuid(UNPRIVILEGED_ID) != nullptr; }

void give_to_unprivileged(const std::string& path) {
  if (!running_as_root()) return;
  lchown(path.c_str(), UNPRIVILEGED_ID, UNPRIVILEGED_ID);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  for (const auto& n : names_in(path)) give_to_unprivileged(path + "/" + n);
}

Process::Process(const std::string& program, const RunOptions& options) : program_(program) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  // Everything the child needs is made here: after fork() it may only make system calls,
  // for another thread of the tests may hold the allocator's lock.
  std::vector<std::string> args{options.argv0.empty() ? program : options.argv0};
  std::string to_run = program;
  if (!options.signal_after.call.empty()) {
    const auto& a = options.signal_after;
    to_run = "strace";
    static int traced = 0;
    trace_log_ = "/tmp/nivra-trace." + std::to_string(getpid()) + "." + std::to_string(++traced);
    args.insert(args.begin(), {"strace", "-f", "-qq", "-o", trace_log_, "-e", "trace=" + a.call,
                               "-e", "inject=" + a.call + ":signal=" + std::to_string(a.signal) +
                                         ":when=" + std::to_string(a.nth), "--"});
    args[10] = program;  // strace starts it by its path, as argument 0
  } else if (!options.logged.calls.empty()) {
    to_run = "strace";
    args.insert(args.begin(), {"strace", "-ff", "-ttt", "--seccomp-bpf", "-qq", "-o",
                               options.logged.prefix, "-e", "trace=" + options.logged.calls,
                               "--"});
    args[10] = program;
  }
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> settings = options.env;
  // The programs take their code page from the locale: Windows-1252, named by a language
  // so that the run has no guess to tell of, unless a test says.
  const bool locale_given = std::any_of(settings.begin(), settings.end(), [](const auto& e) {
    return e.starts_with("LC_ALL=") || e.starts_with("LC_CTYPE=") || e.starts_with("LANG=");
  });
  // By LANG, with the two before it empty: a shell warns of an LC_ALL not installed here.
  if (!locale_given) settings.insert(settings.end(), {"LC_ALL=", "LC_CTYPE=", "LANG=en_US.UTF-8"});
  // LeakSanitizer cannot look at a traced process: in a sanitizer build it would abort the
  // program at its exit.
  if (!options.signal_after.call.empty() || !options.logged.calls.empty()) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    settings.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
  }
  std::vector<char*> envp;
  for (auto& e : settings) envp.push_back(e.data());
  // A name set here is not passed on as well: which of two settings a program takes
  // differs (getenv() the first, a shell the last).
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(settings.begin(), settings.end(),
                     [&](const std::string& set) { return set.starts_with(name); }))
      envp.push_back(*e);
  }
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (options.unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(UNPRIVILEGED_ID) != 0 ||
          setuid(UNPRIVILEGED_ID) != 0)
        _exit(126);
    }
    if (chdir(options.cwd.c_str()) != 0) _exit(126);
    execvpe(to_run.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
  if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

Process::~Process() {
  if (pid_ > 0) wait();
  if (!trace_log_.empty()) unlink(trace_log_.c_str());
}

bool Process::await_output(std::string_view text) {
  while (result_.out.find(text) == std::string::npos) {
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    result_.out.append(buf, std::size_t(n));
  }
  return true;
}

void Process::send(std::string_view text) {
  while (in_ >= 0 && !text.empty()) {
    const ssize_t n = ::write(in_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(std::size_t(n));
  }
}

void Process::kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool Process::await_stop() {
  // Waits on what strace reports, not on time: it writes a line when the program stops.
  for (;;) {
    int status;
    if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_) {
      if (pid_ > 0) result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return false;
    }
    std::ifstream log(trace_log_);
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (text.find("--- stopped by") != std::string::npos) {
      // The traced program is strace's child.
      std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                             "/children");
      return bool(children >> traced_);
    }
    std::this_thread::yield();
  }
}

void Process::resume() {
  if (traced_ > 0) ::kill(traced_, SIGCONT);
}

ProgramResult Process::wait() {
  if (in_ >= 0) close(in_);
  in_ = -1;
  // Both pipes are read as the program writes, so that neither fills up and stalls it;
  // once it has ended, a pipe still held by a process it started (Wine's server) is let go.
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* sinks[2] = {&result_.out, &result_.err};
  int open_count = (out_ >= 0) + (err_ >= 0), wstatus = 0;
  bool ended = pid_ <= 0;
  while (open_count > 0) {
    const int ready = poll(fds, 2, ended ? 0 : 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready == 0 && ended)) break;
    if (ready == 0) ended = waitpid(pid_, &wstatus, WNOHANG) == pid_;
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, std::size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (const pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  out_ = err_ = -1;
  if (pid_ > 0) {
    while (!ended && waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result_.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    pid_ = -1;
  }
  if (result_.status == 126 || result_.status == 127)
    ADD_FAILURE() << "could not start " << program_ << " (status " << result_.status << ")";
  return result_;
}

ProgramResult run(const std::string& program, const RunOptions& options) {
  Process process(program, options);
  if (options.kill_after_us >= 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(options.kill_after_us));
    process.kill(SIGKILL);
  }
  return process.wait();
}

namespace {

/// Expects `got` to be `expected`. Long texts are told apart by their first difference:
/// gtest's line diff of them takes memory in the square of their line count.
void expect_bytes(const std::string& got, const std::string& expected, const std::string& what) {
  if (got.size() + expected.size() < 8192) {
    EXPECT_EQ(got, expected) << what;
    return;
  }
  const auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  EXPECT_TRUE(got == expected) << what << ": " << got.size() << " bytes, not "
                               << expected.size() << "; first difference at byte "
                               << (at.first - got.begin());
}

}  // namespace

ProgramResult run_cases(const TempDir& tree, Direction direction,
                        const std::vector<FileCase>& cases, const std::vector<std::string>& env) {
  const std::string program = install_program(tree.path(), direction);
  for (const auto& c : cases) write_file(tree / c.name, c.before);
  RunOptions options;
  options.env = env;
  const ProgramResult result = run(program, options);
  for (const auto& c : cases) {
    expect_bytes(read_file(tree / c.name), c.after, c.name);
    if (c.after == c.before) {
      EXPECT_FALSE(exists(tree / (c.name + ".OLD"))) << c.name;
    } else {
      expect_bytes(read_file(tree / (c.name + ".OLD")), c.before, c.name + ".OLD");
    }
    if (c.offset < 0) continue;
    const std::string line = diagnostic_for(result.err, tree / c.name);
    EXPECT_TRUE(line.starts_with(std::string(traits(direction).program) + ": "))
        << c.name << ": " << result.err;
    EXPECT_TRUE(line.ends_with(" (byte " + std::to_string(c.offset) + ")")) << line;
    if (!c.place.empty()) {
      EXPECT_TRUE(line.ends_with(": " + c.place + " (byte " + std::to_string(c.offset) + ")"))
          << line;
    }
  }
  return result;
}

std::string diagnostic_line(Direction direction, const std::string& path,
                            const std::string& reason) {
  return std::string(traits(direction).program) + ": " + path + ": " + reason + "\n";
}

std::string diagnostic_for(const std::string& err, const std::string& path) {
  for (std::string& line : split_lines(err)) {
    if (line.find(": " + path + ": ") == std::string::npos) continue;
    if (line.ends_with('\n')) line.pop_back();
    return line;
  }
  return "";
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
    lines.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

std::vector<std::string> sorted_lines(std::string_view text) {
  std::vector<std::string> lines = split_lines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::map<std::string, std::string> ansi_sources(int files, unsigned seed) {
  std::mt19937 rng(seed);
  std::map<std::string, std::string> out;
  for (int i = 0; i < files; ++i) {
    std::string text;
    const int lines = 1 + int(rng() % 400);
    for (int l = 0; l < lines; ++l)
      text.append("/* l\xEDnea ").append(std::to_string(l)).append(" caf\xE9 \x80 */\r\n");
    char name[64];
    std::snprintf(name, sizeof name, "d%d/e%d/f%d.%s", i % 7, i % 3, i, i % 2 ? "c" : "h");
    out[name] = text;
  }
  return out;
}

void write_files(const std::string& root, const std::map<std::string, std::string>& files) {
  for (const auto& [rel, content] : files) write_file(root + "/" + rel, content);
}

std::map<std::string, std::string> converted(const std::map<std::string, std::string>& files,
                                             Direction direction) {
  TempDir tree;
  write_files(tree.path(), files);
  const ProgramResult r = run(install_program(tree.path(), direction));
  EXPECT_EQ(r.status, 0) << r.err;
  return tree_of(tree.path());
}

TreeReport check_tree(std::map<std::string, std::string> left,
                      const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after) {
  TreeReport report;
  int shown = 0;
  const auto fault = [&](int& count, const std::string& rel, const std::string& what) {
    ++count;
    if (shown++ < 10) report.examples += rel + ": " + what + "\n";
  };
  // What a damaged name holds, for the report: its size, and where else that content is.
  const std::map<std::string, std::string> all = left;
  const auto neither = [&](const std::string& rel, const std::string& held) {
    const std::string& old = before.at(rel);
    std::string what = "neither old nor new: " + std::to_string(held.size()) + " bytes (old " +
                       std::to_string(old.size()) + ", new " +
                       std::to_string(after.at(rel).size()) + ")";
    if (old.starts_with(held) || after.at(rel).starts_with(held)) what += ", a start of either";
    for (const auto& [name, content] : all)
      if (content == held && name != rel) what += ", as " + name + " holds";
    for (const auto& [name, content] : before)
      if (content == held) what += ", the old content of " + name;
    for (const auto& [name, content] : after)
      if (content == held) what += ", the new content of " + name;
    return what;
  };
  // Where a name can be empty for an instant, a run killed then leaves its original beside.
  const auto kept_beside = [&](const std::string& rel, const std::string& content) {
    const std::string dir = rel.substr(0, rel.rfind('/') + 1);
    for (auto it = left.lower_bound(dir); it != left.end() && it->first.starts_with(dir); ++it)
      if (it->first.find('/', dir.size()) == std::string::npos && is_temporary_path(it->first) &&
          it->second == content)
        return true;
    return false;
  };
  for (const auto& [rel, content] : before) {
    bool backup_kept = false;
    if (const auto backup = left.find(rel + ".OLD"); backup != left.end()) {
      if (backup->second != content) fault(report.bad_backups, rel + ".OLD", "not the original");
      backup_kept = backup->second == content;
      left.erase(backup);
    } else if (left.contains(rel) && left.at(rel) != content && left.at(rel) == after.at(rel)) {
      fault(report.bad_backups, rel, "converted without a backup");
      // A run killed after the swap, before its copy of the original became NAME.OLD.
      report.kept_beside += kept_beside(rel, content);
    }
    const auto found = left.find(rel);
    if (found == left.end()) {
      fault(report.missing, rel, "missing");
      report.kept_beside += backup_kept || kept_beside(rel, content);
    } else if (found->second == content) {
      ++report.unconverted;
    } else if (found->second == after.at(rel)) {
      ++report.converted;
    } else {
      fault(report.damaged, rel, found->second.empty() ? "empty" : neither(rel, found->second));
    }
    if (found != left.end()) left.erase(found);
  }
  for (const auto& [rel, content] : left) {
    if (content == "<dir>") continue;
    if (is_temporary_path(rel)) {
      ++report.temporaries;
      report.temporary_names.push_back(rel);
    } else if (rel.substr(rel.rfind('/') + 1).starts_with(".fuse_hidden")) {
      ++report.hidden;
    } else {
      fault(report.strays, rel, "unexpected name");
    }
  }
  return report;
}

CodePageSample code_page_sample(AnsiCodePage& page) {
  const auto read = [&](std::string_view bytes, bool last) {
    std::string out;
    return page.to_utf8(bytes, last, out);
  };
  const auto written_back = [&](const std::string& pair) {
    std::string utf8, back;
    page.to_utf8(pair, true, utf8);
    page.from_utf8(utf8, true, back);
    return back == pair;
  };
  CodePageSample s;
  std::string singles, other_forms;
  int pairs = 0;
  for (unsigned b = 0; b < 0x100; ++b) {
    const std::string byte(1, char(b));
    const Converted alone = read(byte, false);
    if (alone.used == 1) {
      singles += byte;
      continue;
    }
    if (!alone.lossless()) {
      if (s.undefined.empty()) s.undefined = byte;
      continue;
    }
    std::vector<std::string> trails;  // a byte that waits for its trail byte: a lead byte
    for (unsigned t = 0x40; t < 0xFF; ++t) {
      const std::string pair = byte + char(t);
      if (read(pair, true).lossless()) {
        trails.push_back(pair);
        if (!written_back(pair)) other_forms += pair;
      } else if (s.undefined_pair.empty() && t >= 0xA1) {  // a trail byte for every lead byte
        s.undefined_pair = pair;
      }
    }
    if (trails.empty()) continue;
    // The first, middle and last trail bytes, and a backslash, which ASCII tools misread.
    for (const std::string& pair : {trails.front(), trails[trails.size() / 2], trails.back(),
                                    byte + '\\'}) {
      if (pair.back() == '\\' && !read(pair, true).lossless()) continue;
      s.text += pair;
      if (++pairs % 40 == 0) s.text += "\r\n";
    }
  }
  if (!s.text.empty()) s.pair = s.text.substr(0, 2);
  s.text += other_forms + singles;
  // e with acute, A with macron, Cyrillic A, Thai ko kai, an emoji; else a lone surrogate.
  for (const char* utf8 : {"\xC3\xA9", "\xC4\x80", "\xD0\x90", "\xE0\xB8\x81",
                           "\xF0\x9F\x98\x80", "\xED\xA0\x80"}) {
    std::string out;
    if (page.from_utf8(utf8, true, out).lossless()) continue;
    s.unholdable = utf8;
    break;
  }
  for (std::size_t i = 0; i < KNOWN_CODE_PAGE_COUNT; ++i) {
    const CodePageTables& t = KNOWN_CODE_PAGES[i];
    if (t.id == page.id() && t.unread_count > 0) utf8_append(t.unread[0].ch, s.unread);
  }
  return s;
}

std::map<std::string, std::string> attributes_of(const std::string& path) {
  std::map<std::string, std::string> out;
  std::string names(65536, '\0'), value(65536, '\0');
  const ssize_t n = llistxattr(path.c_str(), names.data(), names.size());
  for (std::size_t at = 0; n > 0 && at < std::size_t(n); at = names.find('\0', at) + 1) {
    const std::string name = names.c_str() + at;
    const ssize_t size = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    out[name] = size < 0 ? "<unreadable>" : value.substr(0, std::size_t(size));
  }
  return out;
}

bool command_succeeds(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

std::string ended_run_tag() {
  // A process of this machine that has ended, and whose number no later one can take:
  // the number of one that ended is given again soon where there are few (32,768 by
  // default), and a run would take the leftovers for a live run's. Linux gives none
  // above 4,194,304.
  return RunTag{PosixHost().run_tag().machine, std::uint32_t(4194304 + 1), 0}.format();
}

}  // namespace nivra::test
