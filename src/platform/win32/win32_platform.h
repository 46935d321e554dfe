#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/host.h"
#include "platform/threads.h"

namespace nivra {

namespace win32 {

/// UTF-16 as UTF-8. A lone surrogate, which a name may hold, gets the three bytes of its
/// value, so that every name comes back to the system unchanged.
std::string narrow(const wchar_t* w, std::size_t n);
/// The reverse of narrow(); a byte that is no part of a character becomes U+FFFD.
std::wstring widen(std::string_view s);

}  // namespace win32

/// The platform on Windows. Names cross the seam as UTF-8 and are UTF-16 towards the
/// system; handles are indices into tables of full paths, all in the \\?\ form.
///
/// A file that open_read() locks is open sharing nothing, and Windows renames or removes no
/// name of such a file: rename() and remove() release a lock they would meet and reopen
/// the file after, and replace() releases it just before ReplaceFileW, which opens the
/// file itself. All of this, opening to lock, and listing a folder pass one at a time
/// through a mutex of the session, so that no other run opens the file in between, nor
/// lists its folder while ReplaceFileW has the name empty. The threads of one run take that
/// mutex in turn too, for these short steps only; a mutex of the process guards the tables.
class Win32Platform final : public FileSystem {
 public:
  Win32Platform();
  ~Win32Platform() override;

  Status open_root(const std::string& path, Dir& out) override;
  Status open_dir(Dir parent, const std::string& name, Dir& out) override;
  Status list_dir(Dir dir, std::vector<Entry>& out) override;
  void close_dir(Dir dir) override;
  bool shared(Dir dir) override;

  Status open_read(Dir dir, const std::string& name, File& out) override;
  bool on_shared_file_system(File) override { return false; }
  Status stat(File file, FileStat& out) override;
  Status stat_at(Dir dir, const std::string& name, FileStat& out) override;
  Status read(File file, std::uint64_t offset, char* buf, std::size_t n,
              std::size_t& got) override;
  Status create(Dir dir, const std::string& name, File& out) override;
  Status write(File file, const char* buf, std::size_t n, std::size_t& put) override;
  Status copy_attributes(File from, File to) override;
  Status close(File file) override;
  Status replace(Dir dir, const std::string& temp, const std::string& name,
                 const std::string& backup, File original, const FileStat& read) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;

  std::string describe(const Status& status) override;

 private:
  struct OpenFile {
    void* handle = nullptr;  ///< null once closed or its lock released
    std::wstring path;       ///< the full path it was opened by; "" for a free slot
    bool locked = false;     ///< opened by open_read(), sharing nothing
    FileStat id;             ///< of a locked file: which file it is
    unsigned long thread = 0;  ///< of a locked file: the thread that converts it
  };

  struct OpenDir {
    void* handle = nullptr;  ///< null for a free slot
    std::wstring path;       ///< full, without a trailing backslash
  };

  Status add_dir(std::wstring full, Dir& out);
  std::wstring dir_path(Dir dir);
  std::wstring path_in(Dir dir, const std::string& name);
  OpenFile* file_at(File file);  ///< with table_ locked
  void* handle_of(File file);
  /// Takes the handle out of `file`'s entry, which stays; null if it has none.
  void* take_handle(File file);
  File add_file(OpenFile entry);
  /// Whether another thread of this run has locked the file `path` names.
  bool locked_here(const std::wstring& path);
  /// Releases this thread's locks on the file that `path` names by closing them; returns
  /// them, for reopen_locks().
  std::vector<std::size_t> release_locks(const std::wstring& path);
  /// Opens the files of release_locks() again, each only if its path still names it.
  void reopen_locks(const std::vector<std::size_t>& files);
  /// One attempt of replace(); `transient` tells whether another may succeed.
  Status replace_once(const std::wstring& target, const std::wstring& fresh,
                      const std::wstring& saved, const FileStat& read, bool& transient);

  /// A mutex of the session that every run owns while it opens a file to lock it, and
  /// while it releases a lock and renames over the file; null where it could not be made.
  void* mutex_ = nullptr;
  Mutex table_;  ///< over dirs_ and files_
  std::vector<OpenDir> dirs_;
  std::vector<OpenFile> files_;
};

/// What Windows says of the running program.
class Win32Host final : public Host {
 public:
  char separator() const override { return '\\'; }
  Status executable_path(std::string& out) override;
  RunTag run_tag() override;
  bool process_has_ended(std::uint32_t process) override;
};

}  // namespace nivra
