#pragma once

// What the files of the Windows platform share: the system's errors and file identities
// in the seam's terms, opening without following a link, and the tree's mutex. Included
// by the platform's own files only.

#include <windows.h>

#include <atomic>
#include <string>

#include "platform/file_system.h"

namespace nivra::win32 {

Status from_error(DWORD e);
/// A failure that only a shortage of resources tells apart from any other.
Status other_error(DWORD e);
Status last_error();
FileStat stat_from(const BY_HANDLE_FILE_INFORMATION& info);

/// Opens `path` without following a link: a reparse point that is a name surrogate is
/// refused, any other (a cloud placeholder, a deduplicated file) is opened through the
/// filter that serves its data, provided that is still the file that the name held.
Status open_unfollowed(const std::wstring& path, DWORD access, DWORD share, DWORD flags,
                       HANDLE& out, BY_HANDLE_FILE_INFORMATION& info);

/// `name` as the system compares names: in upper case.
std::wstring folded(std::wstring name);

/// The path the system gives the file or folder open as `h`, without its volume, folded;
/// "" where it cannot say (XP has no GetFinalPathNameByHandleW).
std::wstring final_path(HANDLE h);

/// Whether the system shows a name it cannot decode as U+FFFD (see may_be_made_up()).
bool makes_up_names();

/// Which file `path` names, without following a link, and its attributes.
Status identify(const std::wstring& path, FileStat& out, DWORD* attributes = nullptr);

/// Gives `to` the access list of `from`. Windows' ReplaceFileW carries it too; Wine's
/// does not, and keeps a file's permissions in it.
Status copy_security(const std::wstring& from, const std::wstring& to);

/// The folder `path` in the form the system takes as it is (see long_path()), with a
/// trailing backslash.
Status full_folder(const std::string& path, std::wstring& out);

/// A security descriptor that gives the running user alone every access and inherits
/// nothing, for a file while it is written; null where it cannot be made. LocalFree frees it.
void* make_owner_only();

/// Owns a mutex for its scope, if it comes within a bounded time; without one (null),
/// does nothing. `stuck` says whether the last wait came to nothing.
class ScopedMutex {
 public:
  ScopedMutex(void* mutex, std::atomic<bool>& stuck);
  ~ScopedMutex();
  ScopedMutex(const ScopedMutex&) = delete;
  ScopedMutex& operator=(const ScopedMutex&) = delete;
  bool owned() const { return owned_; }

 private:
  void* mutex_;
  bool owned_ = true;
};

}  // namespace nivra::win32
