#include "platform/posix/posix_host.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace nivra {

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
  // The link names the file the process runs, wherever its names have gone since.
  struct stat st;
  if (::stat("/proc/self/exe", &st) != 0) return false;
  out = FileStat{};
  out.volume = std::uint64_t(st.st_dev);
  out.inode = std::uint64_t(st.st_ino);
  out.size = std::uint64_t(st.st_size);
  out.owner = std::uint64_t(st.st_uid);
  return true;
}

std::uint64_t PosixHost::running_user() { return std::uint64_t(geteuid()); }

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
