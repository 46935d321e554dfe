#pragma once

#include "platform/file_system.h"

namespace nivra {

/// The platform on Linux and other POSIX systems. Handles are file descriptors, and
/// every name is looked up relative to an open directory, never through a symbolic link.
class PosixPlatform final : public FileSystem {
 public:
  char separator() const override { return '/'; }
  Status executable_path(std::string& out) override;

  Status open_root(const std::string& path, Dir& out) override;
  Status open_dir(Dir parent, const std::string& name, Dir& out) override;
  Status list_dir(Dir dir, std::vector<Entry>& out) override;
  void close_dir(Dir dir) override;

  Status open_read(Dir dir, const std::string& name, File& out) override;
  Status file_size(File file, std::uint64_t& out) override;
  Status read(File file, char* buf, std::size_t n, std::size_t& got) override;
  Status create(Dir dir, const std::string& name, File model, File& out) override;
  Status write(File file, const char* buf, std::size_t n, std::size_t& put) override;
  Status close(File file) override;
  bool links_open_files() const override { return true; }
  Status link(File file, Dir dir, const std::string& name) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;

  std::string describe(const Status& status) override;
};

}  // namespace nivra
