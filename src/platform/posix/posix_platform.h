#pragma once

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/threads.h"

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
  bool shared(Dir dir) override;

  Status open_read(Dir dir, const std::string& name, File& out) override;
  bool needs_digest(File file) override;
  Status state(File file, FileState& out) override;
  Status state_of(Dir dir, const std::string& name, FileState& out) override;
  Status read(File file, std::uint64_t offset, char* buf, std::size_t n,
              std::size_t& got) override;
  Status create(Dir dir, const std::string& name, File& out) override;
  Status write(File file, const char* buf, std::size_t n, std::size_t& put) override;
  Status copy_attributes(File from, File to) override;
  Status close(File file) override;
  Status replace(Dir dir, const std::string& temp, const std::string& name,
                 const std::string& backup, File original, const FileState& read) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;

  std::string run_tag() override;
  bool run_has_ended(std::string_view tag) override;

  std::string describe(const Status& status) override;

 private:
  /// What open_read() learnt of a file it holds.
  struct Held {
    bool open = false;    ///< the descriptor is one open_read() gave and close() did not end
    bool shared = false;  ///< on a network or user-space file system
    struct stat st {};    ///< as it was opened
  };
  /// What open_read() learnt of `file`; false for another descriptor.
  bool held(File file, Held& out);
  /// Whether another thread of this run holds the file `st` describes.
  bool held_here(const struct stat& st);
  /// Whether the file system of device `dev`, on which `fd` is open, is shared.
  bool shared_device(dev_t dev, int fd);

  /// Whether `name` of `dir` holds what `read` says, by its digest where it has one.
  Status check_name(Dir dir, const std::string& name, const FileState& read, int code);
  /// Ends the hold on `file` while keeping its descriptor number taken until close().
  void let_go(File file);

  Mutex mutex_;  ///< over the two tables, which every thread of the run uses
  std::vector<Held> held_;  ///< by descriptor
  std::vector<std::pair<dev_t, bool>> devices_;  ///< which devices are shared
};

}  // namespace nivra
