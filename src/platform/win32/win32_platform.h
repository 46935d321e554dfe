#pragma once

#include <atomic>
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
/// Argument 0 (with backslashes), or the running program's path where the folder that
/// argument 0 names, as open_root() opens it, does not hold the running program: Win32
/// trims "t.\x.exe" to "t\x.exe" to start it, while the \\?\ form keeps the folder "t.".
std::string program_path(std::string argv0);

}  // namespace win32

/// The platform on Windows. Names cross the seam as UTF-8 and are UTF-16 towards the
/// system; handles are indices into tables of full paths, all in the \\?\ form.
///
/// A file that open_read() locks is open sharing nothing, and Windows renames or removes no
/// name of such a file: rename() and remove() release a lock they would meet and reopen
/// the file after, and replace_file() releases it just before ReplaceFileW, which opens the
/// file itself. All of this, opening to lock, and listing a folder pass one at a time
/// through a mutex of the tree's root, so that no other run opens the file in between, nor
/// lists its folder while ReplaceFileW has the name empty. A run waits for it a bounded
/// time. The threads of one run take that mutex in turn too, for these short steps only;
/// mutexes of the process guard the tables.
///
/// Share modes and the mutex keep out only the runs of one session. Runs of other machines
/// (or Wine prefixes) see a run's temporaries as that run's own: each has a byte-range lock,
/// one byte far past its content, while the run lives, and a file that is not this run's
/// own is renamed or removed only once that byte can be locked.
class Win32Platform final : public FileSystem {
 public:
  Win32Platform();
  ~Win32Platform() override;

  Status open_root(const std::string& path, Dir& out) override;
  Status open_dir(Dir parent, const std::string& name, Dir& out) override;
  Status list_dir(Dir dir, std::vector<Entry>& out) override;
  void close_dir(Dir dir) override;
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
  /// Windows keeps no second name of a file that the programs could rely on.
  Status link(File, Dir, const std::string&) override {
    return Status{Fault::cannot_link, 50};  // ERROR_NOT_SUPPORTED
  }
  Status exchange(Dir, const std::string&, const std::string&) override {
    return Status{Fault::unsupported, 50};
  }
  /// Closes the handle, which ends its lock; close() then only forgets it.
  void release(File file) override;
  /// ReplaceFileW, tried again while a scanner or indexer has a file open for a moment.
  Status replace_file(Dir dir, const std::string& temp, const std::string& name,
                      const std::string& backup, File original, const FileStat& read) override;
  Status rename(Dir dir, const std::string& from, const std::string& to) override;
  Status rename_noreplace(Dir dir, const std::string& from, const std::string& to) override;
  Status remove(Dir dir, const std::string& name) override;
  void pause(long ns) override;

  std::string describe(const Status& status) override;

 private:
  struct OpenFile {
    void* handle = nullptr;  ///< null once closed or its lock released
    std::wstring path;       ///< the full path it was opened by; "" for a free slot
    bool locked = false;     ///< opened by open_read(), sharing nothing
    FileStat id;             ///< of a locked file: which file it is
    unsigned long thread = 0;  ///< of a locked file: the thread that converts it
  };

  /// A byte-range lock of this run on one of its temporaries (see RANGE_LOCK_AT), under
  /// its present path.
  struct RangeLock {
    void* handle = nullptr;
    std::wstring path;
  };

  struct OpenDir {
    void* handle = nullptr;  ///< null for a free slot
    std::wstring path;       ///< full, without a trailing backslash
    std::wstring final;      ///< as the system names it once open (see leads_back()); or ""
  };

  Status add_dir(std::wstring full, Dir& out);
  /// Makes mutex_, the mutex of the tree whose root is `root`.
  void make_mutex(Dir root);
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
  /// rename() and rename_noreplace(): MoveFileExW with `flags`.
  Status move(Dir dir, const std::string& from, const std::string& to, unsigned long flags);
  /// One attempt of replace_file(); `transient` tells whether another may succeed.
  Status replace_once(const std::wstring& target, const std::wstring& fresh,
                      const std::wstring& saved, const FileStat& read, bool& transient);
  /// After ReplaceFileW put `fresh` under `target`, the original under `saved` (if any):
  /// the files get `attributes` again.
  Status settle_replaced(const std::wstring& target, const std::wstring& fresh,
                         const std::wstring& saved, const FileStat& read,
                         unsigned long attributes);
  /// After a ReplaceFileW that failed with `error` (0 where it was never called): puts the
  /// original back under `target` if it went under `saved`, and the new file if the name
  /// was left empty. Whether the original stays under `saved`, kept (see keep());
  /// `refused` where it stays because the name was taken.
  bool undo_failed_replace(const std::wstring& target, const std::wstring& fresh,
                           const std::wstring& saved, const FileStat& read, unsigned long error,
                           bool& refused);
  /// Puts the original, under the run's own name `own`, back under `target`, and the new
  /// file under `fresh`; keeps it under `own` where it cannot.
  void put_back(const std::wstring& target, const std::wstring& fresh, const std::wstring& own);

  /// Takes the byte-range lock of this run's temporary at `path`; false when another has it.
  bool lock_range(const std::wstring& path);
  /// This run's byte-range lock on `path`, or null; with own_ locked.
  RangeLock* range_lock(const std::wstring& path);
  bool has_range_lock(const std::wstring& path);
  /// The byte-range lock on `from` follows its file, renamed to `to`.
  void move_range_lock(const std::wstring& from, const std::wstring& to);
  /// Ends this run's byte-range lock on `path`, if it has one.
  void unlock_range(const std::wstring& path);
  /// Before `path` is renamed or removed: whether it is this run's own, or no live run's
  /// (its byte can be locked; that lock, `probe`, is then held until release_probe()).
  bool may_take(const std::wstring& path, void*& probe);
  static void release_probe(void*& probe);
  /// An original that could not go back under its name, never to be removed.
  void keep(const std::wstring& path);
  bool kept(const std::wstring& path);
  /// Whether the file open as `h` is the file `name` of `dir` names, not one a link leads
  /// to; true where the system cannot tell.
  bool leads_back_here(void* h, Dir dir, const std::string& name);
  /// Whether this run put `path` in place itself.
  bool made(const std::wstring& path);

  /// A mutex of the tree that every run owns while it opens a file to lock it, and while
  /// it releases a lock and renames over the file; null where it could not be made.
  void* mutex_ = nullptr;
  /// Whether the last wait for mutex_ came to nothing.
  std::atomic<bool> mutex_stuck_{false};
  Mutex table_;  ///< over dirs_ and files_
  Mutex own_;    ///< over range_locks_, made_ and kept_
  std::vector<OpenDir> dirs_;
  std::vector<OpenFile> files_;
  std::vector<RangeLock> range_locks_;
  /// Names this run put in place itself (a finished leftover), which are no other run's.
  std::vector<std::wstring> made_;
  /// Originals this run could not put back under their name: never removed.
  std::vector<std::wstring> kept_;
  void* owner_only_ = nullptr;  ///< a security descriptor for new files, or null
  /// Full paths of listed files that the system may take for other names: never opened.
  std::vector<std::wstring> ambiguous_;
};

/// What Windows says of the running program.
class Win32Host final : public Host {
 public:
  char separator() const override { return '\\'; }
  Status executable_path(std::string& out) override;
  RunTag run_tag() override;
  bool process_has_ended(std::uint32_t process) override;
  std::uint32_t process_start(std::uint32_t process) override;
  /// The machine's number stays from boot to boot: another is another machine's.
  bool other_machines_may_be_earlier_boots() override { return false; }
};

}  // namespace nivra
