#include "platform/posix/posix_host.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/posix/posix_internal.h"

namespace nivra {

namespace {

/// The device, inode and path of the file mapped at `address`, as the process's map of its
/// memory names them; false where there is no such map.
bool mapped_file(const void* address, FileStat& out, std::string& path) {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return false;
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  char* line = nullptr;
  std::size_t size = 0;
  bool found = false;
  while (!found && getline(&line, &size, maps) > 0) {
    std::uintptr_t start = 0, end = 0;
    unsigned major = 0, minor = 0;
    std::uint64_t inode = 0;
    int name = 0;
    if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %*s %x:%x %" SCNu64 " %n", &start, &end,
                    &major, &minor, &inode, &name) < 5 ||
        at < start || at >= end || inode == 0)
      continue;
    out = FileStat{};
    out.volume = std::uint64_t(makedev(major, minor));
    out.inode = inode;
    path = line + name;
    if (!path.empty() && path.back() == '\n') path.pop_back();
    found = true;
  }
  std::free(line);
  std::fclose(maps);
  return found;
}

}  // namespace

Status PosixHost::executable_path(std::string& out) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return Status{errno == ENOENT ? Fault::not_found : Fault::other, errno};
    if (std::size_t(n) < buf.size()) {
      buf.resize(std::size_t(n));
      out = buf;
      return Status{};
    }
    buf.resize(buf.size() * 2);
  }
}

bool PosixHost::executable_stat(FileStat& out) {
  // The program is the file that holds this code. The link names the file the system
  // started, wherever its names have gone since: the loader, where a user started the
  // program through it.
  FileStat code;
  std::string code_path, started;
  struct stat st;
  if (!mapped_file(reinterpret_cast<const void*>(&mapped_file), code, code_path) ||
      ::stat("/proc/self/exe", &st) != 0)
    return false;
  out = FileStat{};
  out.volume = std::uint64_t(st.st_dev);
  out.inode = std::uint64_t(st.st_ino);
  out.size = std::uint64_t(st.st_size);
  out.owner = std::uint64_t(st.st_uid);
  // A stacked file system (overlayfs) may map the file of its lower layer: one path.
  if (out.same_file(code) || (executable_path(started).ok() && started == code_path))
    return true;
  out = code;
  return true;
}

std::uint64_t PosixHost::running_user() { return std::uint64_t(geteuid()); }

OpenFiles PosixHost::open_files() {
  OpenFiles files;
  files.past = posix::from_errno(EMFILE);
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    files.most = std::uint64_t(limit.rlim_cur);
  return files;
}

RunTag PosixHost::run_tag() {
  // The machine is its name and its boot, so that two machines, or two boots of one, are
  // told apart; the nonce, a process of the same number that ended and may have left
  // temporaries. One tag for the whole process.
  static const RunTag tag = [] {
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    std::string seed = host;
    if (FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
      char boot[64] = "";
      if (std::fgets(boot, sizeof boot, f)) seed += boot;
      std::fclose(f);
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return RunTag{RunTag::machine_of(seed), std::uint32_t(getpid()),
                  std::uint16_t(now.tv_nsec / 1000)};
  }();
  return tag;
}

bool PosixHost::process_has_ended(std::uint32_t process) {
  return kill(pid_t(process), 0) != 0 && errno == ESRCH;
}

}  // namespace nivra
