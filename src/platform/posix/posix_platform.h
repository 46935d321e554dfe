#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix/system_calls.h"
#include "platform/threads.h"

namespace nivra {

/// The platform on Linux and other POSIX systems. Handles are file descriptors, and
/// every name is looked up relative to an open directory, never through a symbolic link.
/// Every call that touches a file goes through the table `calls`.
class PosixPlatform final : public FileSystem {
 public:
  explicit PosixPlatform(const posix::SystemCalls& calls = posix::libc_calls()) : sys_(calls) {}

  Status open_root(const std::string& path, Dir& out) override;
  Status open_dir(Dir parent, const std::string& name, Dir& out) override;
  Status list_dir(Dir dir, std::vector<Entry>& out) override;
  void close_dir(Dir dir) override;
  /// Learns, once for each shared file system, whether its client fails the listing of
  /// attributes, which is outlasted then.
  Capabilities caps(Dir dir) override;

  Status open_read(Dir dir, const std::string& name, File& out) override;
  Status stat(File file, FileStat& out) override;
  Status stat_at(Dir dir, const std::string& name, FileStat& out) override;
  Status read(File file, std::uint64_t offset, char* buf, std::size_t n,
              std::size_t& got) override;
  Status create(Dir dir, const std::string& name, File& out) override;
  Status write(File file, const char* buf, std::size_t n, std::size_t& put) override;
  Status copy_attributes(File from, File to) override;
  Status close(File file) override;
  /// The first link on a file system learns whether it keeps second names.
  Status link(File file, Dir dir, const std::string& name) override;
  Status exchange(Dir dir, const std::string& a, const std::string& b) override;
  /// Drops the descriptor, which ends its lock, while keeping its number taken until close().
  void release(File file) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status rename_noreplace(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;
  void pause(long ns) override;

  std::string describe(const Status& status) override;

 private:
  /// What open_read() learnt of a file it opened and locked.
  struct Opened {
    bool open = false;    ///< the descriptor is one open_read() gave and close() did not end
    bool shared = false;  ///< on a network or user-space file system
    struct stat st {};    ///< as it was opened
    std::thread::id holder;  ///< the thread that opened it
  };
  /// Takes the state of `fd`, open for reading, and locks it: fails with `busy` where
  /// another run holds it, or another thread of this one holds it too long.
  Status lock_file(int fd, struct stat& opened);
  /// Notes `fd`, opened and locked, for stat() and copy_attributes(); on a
  /// share, with the size that the server holds.
  Status note_opened(int fd, struct stat& opened);
  /// What open_read() learnt of `file`; false for another descriptor.
  bool opened(File file, Opened& out);
  /// Which thread of this run holds the file `st` describes, if one does.
  std::optional<std::thread::id> locked_here(const struct stat& st);
  /// Whether the file system of device `dev`, on which `fd` is open, is shared.
  bool shared_device(dev_t dev, int fd);

  /// Adds to `size` what `fd` holds past it: a client's cached size may be short of the
  /// server's.
  Status size_past(int fd, std::uint64_t& size);
  /// Whether the first link on the file system of `dev` was made, or failed as one that
  /// keeps no second name.
  bool links_learnt(dev_t dev);
  /// Notes whether the file system of `dev` keeps a second name of a file.
  void learn_links(dev_t dev, bool keeps);
  /// The failure of a link of a file to `name` of directory `d`, on the file system of
  /// `dev` where that is known.
  Status link_error(int d, const std::string& name, std::optional<dev_t> dev, bool shared);
  /// Whether a link learnt that the file system of `dev` keeps no second name.
  bool without_links(dev_t dev);
  /// Whether the file system of `dev` was found to fail the listing of attributes (EIO).
  bool unlisted(dev_t dev);
  /// Notes that the file system of `dev` failed the listing of attributes with EIO, and
  /// waits, for a bounded time, until `fd`, open on it, answers again.
  void outlast_listing(dev_t dev, int fd);

  /// One try of rename_noreplace() in directory `d`.
  Status rename_noreplace_once(int d, const std::string& from, const std::string& to);
  /// renameat() of two names of `d`, tried again where a share's client failed it with EIO.
  int rename_at(int d, const std::string& from, const std::string& to);
  /// Whether `name` of directory `d` is there, asked of the file system itself where a
  /// lookup may be answered from a cache: a name that cannot be asked about counts as there.
  bool present(int d, const std::string& name);

  posix::SystemCalls sys_;
  Mutex mutex_;  ///< over the tables below, which every thread of the run uses
  std::vector<Opened> opened_;  ///< by descriptor
  std::vector<std::pair<dev_t, bool>> devices_;  ///< which devices are shared
  std::vector<std::pair<dev_t, bool>> links_;    ///< which devices keep a second name
  std::vector<dev_t> unlisted_;                  ///< devices whose attributes cannot be listed
  std::vector<dev_t> probed_;                    ///< devices that caps() asked to list them
};

}  // namespace nivra
