#pragma once

#include "platform/host.h"

namespace nivra {

/// What a POSIX system says of the running program.
class PosixHost final : public Host {
 public:
  char separator() const override { return '/'; }
  Status executable_path(std::string& out) override;
  RunTag run_tag() override;
  bool process_has_ended(std::uint32_t process) override;
  bool executable_stat(FileStat& out) override;
  bool identifies_program() const override { return true; }
  std::uint64_t running_user() override;
  /// The process's limit of descriptors (RLIMIT_NOFILE), as start_system() raised it.
  OpenFiles open_files() override;
};

}  // namespace nivra
