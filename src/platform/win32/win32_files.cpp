// The Windows platform's folders and files: open, list, read, write, create and close,
// and what it says of a failure.

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"
#include "platform/win32/win32_system.h"

namespace nivra {

using namespace win32;

Win32Platform::Win32Platform() : owner_only_(make_owner_only()) {}

Win32Platform::~Win32Platform() {
  if (mutex_) CloseHandle(mutex_);
  if (owner_only_) LocalFree(owner_only_);
  for (RangeLock& l : range_locks_)
    if (l.handle) CloseHandle(l.handle);
  for (OpenDir& d : dirs_)
    if (d.handle) CloseHandle(d.handle);
  for (OpenFile& f : files_)
    if (f.handle) CloseHandle(f.handle);
}

std::wstring Win32Platform::dir_path(Dir dir) {
  Lock lock(table_);
  return dirs_[std::size_t(dir.id)].path;
}

std::wstring Win32Platform::path_in(Dir dir, const std::string& name) {
  return dir_path(dir) + L"\\" + widen(name);
}

Win32Platform::OpenFile* Win32Platform::file_at(File file) {
  if (file.id < 0 || std::size_t(file.id) >= files_.size()) return nullptr;
  OpenFile& f = files_[std::size_t(file.id)];
  return f.path.empty() ? nullptr : &f;
}

void* Win32Platform::handle_of(File file) {
  // A file whose lock was released has no handle: the call then fails as on a closed one.
  Lock lock(table_);
  const OpenFile* f = file_at(file);
  return f && f->handle ? f->handle : INVALID_HANDLE_VALUE;
}

void* Win32Platform::take_handle(File file) {
  Lock lock(table_);
  OpenFile* f = file_at(file);
  if (!f) return nullptr;
  void* h = f->handle;
  f->handle = nullptr;
  return h;
}

File Win32Platform::add_file(OpenFile entry) {
  Lock lock(table_);
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i].path.empty()) {
      files_[i] = std::move(entry);
      return File{std::intptr_t(i)};
    }
  }
  files_.push_back(std::move(entry));
  return File{std::intptr_t(files_.size() - 1)};
}

Status Win32Platform::add_dir(std::wstring full, Dir& out) {
  // The handle pins the directory: sharing no deletion, it cannot be renamed or replaced
  // (by a junction, say) while it is walked, so its path keeps naming what was checked.
  HANDLE h = nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  Status s = open_unfollowed(full, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_FLAG_BACKUP_SEMANTICS, h, info);
  if (!s.ok()) return s;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return from_error(ERROR_DIRECTORY);
  }
  while (full.size() > 1 && full.back() == L'\\') full.pop_back();
  OpenDir entry{h, std::move(full), final_path(h)};
  Lock lock(table_);
  for (std::size_t i = 0; i < dirs_.size(); ++i) {
    if (!dirs_[i].handle) {
      dirs_[i] = std::move(entry);
      out.id = std::intptr_t(i);
      return Status{};
    }
  }
  dirs_.push_back(std::move(entry));
  out.id = std::intptr_t(dirs_.size() - 1);
  return Status{};
}

Status Win32Platform::open_root(const std::string& path, Dir& out) {
  std::wstring full;
  Status s = full_folder(path, full);
  // A drive's root is opened with its backslash but kept as "C:", to which names are joined.
  if (s.ok()) s = add_dir(std::move(full), out);
  if (s.ok()) make_mutex(out);
  return s;
}

Status Win32Platform::open_dir(Dir parent, const std::string& name, Dir& out) {
  return add_dir(path_in(parent, name), out);
}

Status Win32Platform::list_dir(Dir dir, std::vector<Entry>& out) {
  out.clear();
  WIN32_FIND_DATAW data;
  const std::wstring pattern = dir_path(dir) + L"\\*";
  // ReplaceFileW leaves the name empty for a moment: no other run lists it meanwhile. A
  // run stopped with the mutex only makes a file be missed, which the next run converts.
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    // A drive's root has no "." and "..", so an empty one yields nothing at all.
    return e == ERROR_FILE_NOT_FOUND ? Status{} : from_error(e);
  }
  std::vector<std::wstring> keys;
  do {
    const wchar_t* name = data.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
    // The reparse tag is in dwReserved0 when the entry is a reparse point.
    out.push_back(Entry{narrow(name, std::wcslen(name)),
                        kind_of(data.dwFileAttributes, data.dwReserved0)});
    keys.push_back(folded(name));
  } while (FindNextFileW(search, &data));
  const DWORD e = GetLastError();
  FindClose(search);
  // Two names that differ only in case (a case-sensitive folder), or that the system shows
  // alike: a step on one may reach the other. Neither is ever opened.
  const std::vector<bool> twice = repeated(keys);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!twice[i] && !(makes_up_names() && may_be_made_up(widen(out[i].name)))) continue;
    const std::wstring full = path_in(dir, out[i].name);
    Lock lock(own_);
    if (std::find(ambiguous_.begin(), ambiguous_.end(), full) == ambiguous_.end())
      ambiguous_.push_back(full);
  }
  return e == ERROR_NO_MORE_FILES ? Status{} : from_error(e);
}

void Win32Platform::close_dir(Dir dir) {
  HANDLE h;
  {
    Lock lock(table_);
    OpenDir& d = dirs_[std::size_t(dir.id)];
    h = d.handle;
    d = OpenDir{};
  }
  CloseHandle(h);
}

Capabilities Win32Platform::caps(Dir dir) {
  // Names are never swapped nor linked: ReplaceFileW puts the new file in place and keeps
  // the original under a backup name itself.
  Capabilities caps;
  caps.exchange = false;
  caps.links = false;
  caps.replace_file = true;
  caps.rename_shows_ns = long(Waits::name_empty) * 1000000;
  caps.rename_look_ns = long(Waits::name_empty_look) * 1000000;
  const std::wstring path = dir_path(dir);
  // \\?\UNC\server\share\..., or a drive letter mapped to a share.
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) caps.shared = true;
  else if (path.size() >= 6 && path[5] == L':')
    caps.shared = GetDriveTypeW((path.substr(4, 2) + L"\\").c_str()) == DRIVE_REMOTE;
  return caps;
}

Status Win32Platform::open_read(Dir dir, const std::string& name, File& out) {
  std::wstring full = path_in(dir, name);
  {
    Lock lock(own_);
    if (std::find(ambiguous_.begin(), ambiguous_.end(), full) != ambiguous_.end())
      return Status{Fault::other, ERR_AMBIGUOUS_NAME};
  }
  // Asked first by a handle that shares everything: a link opened sharing nothing would
  // keep the file it leads to from the thread that converts that file.
  HANDLE probe =
      CreateFileW(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    const bool back = leads_back_here(probe, dir, name);
    CloseHandle(probe);
    if (!back) return Status{Fault::symlink, 0};
  }
  // Share mode 0: while it is open no other process can open the file at all.
  HANDLE h = nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  for (const DWORD began = GetTickCount();;) {
    {
      const ScopedMutex mutex(mutex_, mutex_stuck_);
      if (!mutex.owned()) return Status{Fault::busy, 0};
      const Status s = open_unfollowed(full, GENERIC_READ, 0, FILE_ATTRIBUTE_NORMAL, h, info);
      if (s.ok()) break;
      if (s.fault != Fault::busy || !locked_here(full) ||
          GetTickCount() - began >= Waits::held_here)
        return s;
    }
    // Another name of a file that another thread converts: its turn comes once that is done.
    Sleep(Waits::held_here_pause);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(h);
    return Status{Fault::not_regular, 0};
  }
  if (!leads_back_here(h, dir, name)) {
    CloseHandle(h);
    return Status{Fault::symlink, 0};
  }
  out = add_file(OpenFile{h, std::move(full), true, stat_from(info), GetCurrentThreadId()});
  return Status{};
}

bool Win32Platform::leads_back_here(void* h, Dir dir, const std::string& name) {
  // A link that the system lists as a file (Wine's, of a Unix symbolic link) opens the
  // file it leads to, and a rename of it would move that file.
  std::wstring folder;
  {
    Lock lock(table_);
    folder = dirs_[std::size_t(dir.id)].final;
  }
  if (folder.empty()) return true;
  const std::wstring now = final_path(h);
  return now.empty() || leads_back(folder, folded(widen(name)), now);
}

Status Win32Platform::stat(File file, FileStat& out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(file), &info)) return last_error();
  out = stat_from(info);
  return Status{};
}

Status Win32Platform::stat_at(Dir dir, const std::string& name, FileStat& out) {
  return identify(path_in(dir, name), out);
}

Status Win32Platform::read(File file, std::uint64_t offset, char* buf, std::size_t n,
                           std::size_t& got) {
  OVERLAPPED at = {};
  at.Offset = DWORD(offset);
  at.OffsetHigh = DWORD(offset >> 32);
  DWORD done = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(n, std::size_t(1) << 30));
  if (!ReadFile(handle_of(file), buf, ask, &done, &at)) {
    const DWORD e = GetLastError();
    if (e != ERROR_HANDLE_EOF) return from_error(e);
  }
  got = done;
  return Status{};
}

Status Win32Platform::create(Dir dir, const std::string& name, File& out) {
  std::wstring full = path_in(dir, name);
  // Private while it is written; replace_file() gives it the original's access list. Shared
  // for reading only with this run's own byte-range lock on it (see lock_range()).
  SECURITY_ATTRIBUTES security = {sizeof security, owner_only_, FALSE};
  HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         owner_only_ ? &security : nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  lock_range(full);
  out = add_file(OpenFile{h, std::move(full), false, FileStat{}, 0});
  return Status{};
}

Status Win32Platform::write(File file, const char* buf, std::size_t n, std::size_t& put) {
  DWORD done = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(n, std::size_t(1) << 30));
  if (!WriteFile(handle_of(file), buf, ask, &done, nullptr)) return last_error();
  put = done;
  return Status{};
}

Status Win32Platform::copy_attributes(File, File) {
  // ReplaceFileW carries the attributes, access list, creation time, streams,
  // compression and encryption of the file it replaces; replace_file() sees to the rest.
  return Status{};
}

Status Win32Platform::close(File file) {
  HANDLE h;
  {
    Lock lock(table_);
    OpenFile* f = file_at(file);
    if (!f) return Status{};
    h = f->handle;
    *f = OpenFile{};
  }
  if (h && !CloseHandle(h)) return other_error(GetLastError());
  return Status{};
}

std::string Win32Platform::describe(const Status& status) {
  switch (status.fault) {
    case Fault::symlink: return "a junction or symbolic link, which is never followed";
    case Fault::not_regular: return "not a regular file";
    default: break;
  }
  if (status.fault == Fault::busy && status.code == 0) return "held by another run";
  if (status.fault == Fault::other && status.code == ERR_AMBIGUOUS_NAME)
    return "listed beside a name that the system may take for it, or shown for another name";
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, DWORD(status.code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n ? narrow(text, n) : "error " + std::to_string(DWORD(status.code));
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return out;
}

}  // namespace nivra
