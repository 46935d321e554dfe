#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "convert/convert_file.h"
#include "platform/posix/posix_platform.h"

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

std::string built_program(Direction direction) {
  return direction == Direction::sign ? NIVRA_SIGN_PATH : NIVRA_UNSIGN_PATH;
}

std::string install_program(const std::string& dir, Direction direction) {
  const std::string target = dir + (direction == Direction::sign ? "/nivra-sign" : "/nivra-unsign");
  write_file(target, read_file(built_program(direction)), 0755);
  return target;
}

bool running_as_root() { return geteuid() == 0; }

bool can_run_unprivileged() { return running_as_root() && getpwuid(UNPRIVILEGED_ID) != nullptr; }

void give_to_unprivileged(const std::string& path) {
  if (!running_as_root()) return;
  lchown(path.c_str(), UNPRIVILEGED_ID, UNPRIVILEGED_ID);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  for (const auto& n : names_in(path)) give_to_unprivileged(path + "/" + n);
}

ProgramResult run(const std::string& program, const RunOptions& options) {
  ProgramResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  std::vector<std::string> args{options.argv0.empty() ? program : options.argv0};
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(UNPRIVILEGED_ID) != 0 ||
          setuid(UNPRIVILEGED_ID) != 0)
        _exit(126);
    }
    if (chdir(options.cwd.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  // Both pipes are read as the program writes, so that neither can fill up and stall it.
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::microseconds(options.kill_after_us);
  bool killed = options.kill_after_us < 0;
  while (open_count > 0) {
    int wait_ms = -1;
    if (!killed) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= left.zero()) {
        kill(pid, SIGKILL);
        killed = true;
      } else {
        wait_ms = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      }
    }
    if (poll(fds, 2, wait_ms) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
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
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (result.status == 126 || result.status == 127)
    ADD_FAILURE() << "could not start " << program << " (status " << result.status << ")";
  return result;
}

ProgramResult run_cases(const TempDir& tree, Direction direction,
                        const std::vector<FileCase>& cases) {
  const std::string program = install_program(tree.path(), direction);
  for (const auto& c : cases) write_file(tree / c.name, c.before);
  const ProgramResult result = run(program);
  for (const auto& c : cases) {
    EXPECT_EQ(read_file(tree / c.name), c.after) << c.name;
    if (c.after == c.before) {
      EXPECT_FALSE(exists(tree / (c.name + ".OLD"))) << c.name;
    } else {
      EXPECT_EQ(read_file(tree / (c.name + ".OLD")), c.before) << c.name;
    }
  }
  return result;
}

std::string diagnostic_for(const std::string& err, const std::string& path) {
  const std::string named = ": " + path + ": ";
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(named) != std::string::npos) return line;
  }
  return "";
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
  auto after = snapshot(tree.path());
  after.erase(direction == Direction::sign ? "nivra-sign" : "nivra-unsign");
  return after;
}

TreeReport check_tree(std::map<std::string, std::string> left,
                      const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after) {
  TreeReport report;
  int shown = 0;
  const auto fault = [&](int& count, const std::string& rel, const char* what) {
    ++count;
    if (shown++ < 10) report.examples += rel + ": " + what + "\n";
  };
  for (const auto& [rel, content] : before) {
    if (const auto backup = left.find(rel + ".OLD"); backup != left.end()) {
      if (backup->second != content) fault(report.bad_backups, rel + ".OLD", "not the original");
      left.erase(backup);
    } else if (left.contains(rel) && left.at(rel) != content && left.at(rel) == after.at(rel)) {
      fault(report.bad_backups, rel, "converted without a backup");
    }
    const auto found = left.find(rel);
    if (found == left.end()) {
      fault(report.missing, rel, "missing");
    } else if (found->second == content) {
      ++report.unconverted;
    } else if (found->second == after.at(rel)) {
      ++report.converted;
    } else {
      fault(report.damaged, rel, found->second.empty() ? "empty" : "neither old nor new");
    }
    if (found != left.end()) left.erase(found);
  }
  for (const auto& [rel, content] : left) {
    const std::string base = rel.substr(rel.rfind('/') + 1);
    if (content == "<dir>") continue;
    if (is_temporary_name(base)) {
      ++report.temporaries;
    } else if (base.starts_with(".fuse_hidden")) {
      ++report.hidden;
    } else {
      fault(report.strays, rel, "unexpected name");
    }
  }
  return report;
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
  // A process that has ended, on this machine: its number in a tag like the programs'.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const std::string mine = PosixPlatform().run_tag();
  char pid[16];
  std::snprintf(pid, sizeof pid, "%08x", unsigned(child));
  return mine.substr(0, 8) + pid + "0000";
}

}  // namespace nivra::test
