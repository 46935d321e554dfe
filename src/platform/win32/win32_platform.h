#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace nivra {

/// The platform on Windows. Names cross the seam as UTF-8 and are UTF-16 towards the
/// system; handles are indices into tables of full paths, and every path is looked up
/// whole, in the \\?\ form when it is longer than the classic limit.
///
/// Windows cannot rename or remove a file, under any of its names, while a handle that
/// shares nothing is open on it. A file held by open_read() is therefore let go when
/// rename() or remove() touches one of its names, and close() then only forgets it. So
/// that this is the rename of the new file over it, open files get no second name: the
/// backup is written as a copy. Opening to hold, and letting go with the rename that
/// follows, pass one at a time through a mutex of the session, so that no other run opens
/// the old file in between. Only a link that an interrupted run left ends a hold early.
class Win32Platform final : public FileSystem {
 public:
  Win32Platform();
  ~Win32Platform() override;

  char separator() const override { return '\\'; }
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
  bool links_open_files() const override { return false; }
  Status link(File file, Dir dir, const std::string& name) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;

  std::string describe(const Status& status) override;

 private:
  /// Which file a name stands for: the volume and the file's index on it.
  struct FileId {
    unsigned long volume = 0, high = 0, low = 0;
    bool operator==(const FileId&) const = default;
  };
  struct OpenFile {
    void* handle = nullptr;  ///< null once closed or let go
    std::wstring path;       ///< the full path it was opened by; "" for a free slot
    bool held = false;       ///< opened by open_read()
    FileId id;               ///< of a held file
  };

  struct OpenDir {
    void* handle = nullptr;  ///< null for a free slot
    std::wstring path;       ///< full, without a trailing backslash
  };

  Status add_dir(std::wstring full, Dir& out);
  std::wstring path_in(Dir dir, const std::string& name) const;
  OpenFile* file_at(File file);
  void* handle_of(File file);
  File add_file(OpenFile entry);
  void let_go_of(const std::wstring& path);

  /// A mutex of the session that every run owns while it opens a file to hold it, and
  /// while it lets go of a file and renames over it; null where it could not be made.
  void* gate_ = nullptr;
  std::vector<OpenDir> dirs_;
  std::vector<OpenFile> files_;
};

}  // namespace nivra
