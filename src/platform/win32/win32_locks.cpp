// The Windows platform's locks: the tree's mutex, the share-none locks of the files it
// converts, and the byte-range locks that mark a run's own temporaries.
//
// Order, outermost first; nothing is taken against it:
//   1. the tree's mutex (mutex_, of every run on the tree): waited for Waits::mutex at
//      most, then the file is reported as held. Never held across a return to the core.
//   2. table_ or own_, the process's mutexes over the platform's tables: never both at
//      once; held for the tables' work and the opening and closing of handles they hold.
// The share-none lock of a file that open_read() opens is taken under 1; the core takes
// its large-file permit after it. A file that another thread of this run holds under
// another name is waited for with no mutex held, Waits::held_here at most (the core may
// hold its own file meanwhile: two threads that wait for each other's file give up
// then); one this thread holds is never waited for. Byte-range locks are taken with
// LOCKFILE_FAIL_IMMEDIATELY: never waited for.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"
#include "platform/win32/win32_system.h"

namespace nivra {

using namespace win32;

ScopedMutex::ScopedMutex(void* mutex, std::atomic<bool>& stuck) : mutex_(mutex) {
  if (!mutex_) return;
  // Also when its last owner died in it. The threads of one run take it in turn too.
  const DWORD got = WaitForSingleObject(mutex_, stuck ? Waits::mutex_stuck : Waits::mutex);
  const bool missed = got != WAIT_OBJECT_0 && got != WAIT_ABANDONED;
  stuck = missed;
  if (missed) mutex_ = nullptr, owned_ = false;
}

ScopedMutex::~ScopedMutex() {
  if (mutex_) ReleaseMutex(mutex_);
}

void Win32Platform::make_mutex(Dir root) {
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE h;
  {
    Lock lock(table_);
    h = dirs_[std::size_t(root.id)].handle;
  }
  if (mutex_ || !GetFileInformationByHandle(h, &info)) return;
  const FileStat id = stat_from(info);
  mutex_ = CreateMutexW(nullptr, FALSE, mutex_name(id.volume, id.inode).c_str());
}

bool Win32Platform::locked_here(const std::wstring& path) {
  FileStat named;
  if (!identify(path, named).ok()) return false;
  // Not this thread's own: it would wait for itself.
  const DWORD thread = GetCurrentThreadId();
  Lock lock(table_);
  return std::any_of(files_.begin(), files_.end(), [&](const OpenFile& f) {
    return f.locked && f.handle && f.thread != thread && f.id.same_file(named);
  });
}

std::vector<std::size_t> Win32Platform::release_locks(const std::wstring& path) {
  // Only the locks of this thread: another's handle may be in use for a read right now.
  const DWORD thread = GetCurrentThreadId();
  std::vector<std::size_t> out;
  {
    Lock lock(table_);
    if (std::none_of(files_.begin(), files_.end(), [&](const OpenFile& f) {
          return f.handle && f.locked && f.thread == thread;
        }))
      return out;
  }
  FileStat named;
  if (!identify(path, named).ok()) return out;
  Lock lock(table_);
  for (std::size_t i = 0; i < files_.size(); ++i) {
    OpenFile& f = files_[i];
    if (f.locked && f.handle && f.thread == thread && f.id.same_file(named)) {
      CloseHandle(f.handle);
      f.handle = nullptr;
      out.push_back(i);
    }
  }
  return out;
}

void Win32Platform::reopen_locks(const std::vector<std::size_t>& files) {
  // Entries of this thread's locks: no other thread frees or reuses them meanwhile.
  Lock lock(table_);
  for (const std::size_t i : files) {
    OpenFile& f = files_[i];
    HANDLE h = CreateFileW(f.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info) && stat_from(info).same_file(f.id))
      f.handle = h;
    else
      CloseHandle(h);
  }
}

bool Win32Platform::lock_range(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at = {};
  at.Offset = DWORD(RANGE_LOCK_AT);
  at.OffsetHigh = DWORD(RANGE_LOCK_AT >> 32);
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    CloseHandle(h);
    return false;
  }
  Lock lock(own_);
  for (RangeLock& l : range_locks_) {
    if (!l.handle) {
      l = RangeLock{h, path};
      return true;
    }
  }
  range_locks_.push_back(RangeLock{h, path});
  return true;
}

Win32Platform::RangeLock* Win32Platform::range_lock(const std::wstring& path) {
  for (RangeLock& l : range_locks_)
    if (l.handle && l.path == path) return &l;
  return nullptr;
}

bool Win32Platform::has_range_lock(const std::wstring& path) {
  Lock lock(own_);
  return range_lock(path) != nullptr;
}

void Win32Platform::move_range_lock(const std::wstring& from, const std::wstring& to) {
  Lock lock(own_);
  if (RangeLock* l = range_lock(from)) l->path = to;
}

void Win32Platform::unlock_range(const std::wstring& path) {
  HANDLE h = nullptr;
  {
    Lock lock(own_);
    if (RangeLock* l = range_lock(path)) {
      h = l->handle;
      *l = RangeLock{};
    }
  }
  if (h) CloseHandle(h);
}

void Win32Platform::keep(const std::wstring& path) {
  Lock lock(own_);
  kept_.push_back(path);
}

bool Win32Platform::kept(const std::wstring& path) {
  Lock lock(own_);
  return std::find(kept_.begin(), kept_.end(), path) != kept_.end();
}

bool Win32Platform::made(const std::wstring& path) {
  Lock lock(own_);
  return std::find(made_.begin(), made_.end(), path) != made_.end();
}

bool Win32Platform::may_take(const std::wstring& path, void*& probe) {
  probe = nullptr;
  if (has_range_lock(path)) return true;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
  OVERLAPPED at = {};
  at.Offset = DWORD(RANGE_LOCK_AT);
  at.OffsetHigh = DWORD(RANGE_LOCK_AT >> 32);
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool locked = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(h);
    return !locked;
  }
  probe = h;
  return true;
}

void Win32Platform::release_probe(void*& probe) {
  if (probe) CloseHandle(probe);
  probe = nullptr;
}

}  // namespace nivra
