#include "platform/win32/win32_platform.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <vector>

#include "platform/win32/win32_rules.h"
#include "text/unicode.h"

namespace nivra {

namespace win32 {

std::string narrow(const wchar_t* w, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    char32_t cp = char16_t(w[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (char16_t(w[++i]) - 0xDC00);
    utf8_append(cp, out);
  }
  return out;
}

std::wstring widen(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    char32_t cp = 0;
    std::size_t len = utf8_decode(p, end, cp);
    if (len == 0 && end - p >= 3 && p[0] == 0xED && p[1] >= 0xA0 && p[1] <= 0xBF &&
        (p[2] & 0xC0) == 0x80) {
      cp = 0xD000 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);  // a lone surrogate from narrow()
      len = 3;
    }
    if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    if (cp >= 0x10000) {
      out.push_back(wchar_t(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(wchar_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(wchar_t(cp));
    }
    p += len;
  }
  return out;
}

}  // namespace win32

using namespace win32;

namespace {

Status from_error(DWORD e) {
  switch (e) {
    case ERROR_SUCCESS: return Status{};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return Status{Fault::not_found, int(e)};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return Status{Fault::exists, int(e)};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return Status{Fault::busy, int(e)};
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL:
    case ERROR_NOT_ENOUGH_QUOTA: case ERROR_TOO_MANY_OPEN_FILES: case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: case ERROR_NO_SYSTEM_RESOURCES: return Status{Fault::exhausted, int(e)};
    default: return Status{Fault::other, int(e)};
  }
}

Status last_error() { return from_error(GetLastError()); }

/// A failure that only a shortage of resources tells apart from any other.
Status other_error(DWORD e) {
  return Status{from_error(e).fault == Fault::exhausted ? Fault::exhausted : Fault::other, int(e)};
}

FileStat stat_from(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStat out;
  out.volume = info.dwVolumeSerialNumber;
  out.inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  out.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  out.modified = std::int64_t(std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                              info.ftLastWriteTime.dwLowDateTime);
  return out;
}

/// The tag of the reparse point `h` is open on; 0 when it cannot be read, which
/// is_link_tag() takes for a link.
DWORD reparse_tag(HANDLE h) {
  std::vector<char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD n = 0;
  if (!DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), DWORD(data.size()),
                       &n, nullptr) ||
      n < sizeof(DWORD))
    return 0;
  DWORD tag;
  std::memcpy(&tag, data.data(), sizeof tag);
  return tag;
}

/// Opens `path` without following a link: a reparse point that is a name surrogate is
/// refused, any other (a cloud placeholder, a deduplicated file) is opened through the
/// filter that serves its data, provided that is still the file that the name held.
Status open_unfollowed(const std::wstring& path, DWORD access, DWORD share, DWORD flags,
                       HANDLE& out, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                         flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return Status{Fault::not_regular, 0};
  }
  if (!GetFileInformationByHandle(h, &info)) {
    const Status s = last_error();
    CloseHandle(h);
    return s;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    const bool link = is_link_tag(reparse_tag(h));
    CloseHandle(h);
    if (link) return Status{Fault::symlink, 0};
    const FileStat named = stat_from(info);
    h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    if (!GetFileInformationByHandle(h, &info) || !stat_from(info).same_file(named)) {
      CloseHandle(h);
      return Status{Fault::symlink, 0};
    }
  }
  out = h;
  return Status{};
}

/// `name` as the system compares names: in upper case.
std::wstring folded(std::wstring name) {
  if (!name.empty())
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.data(), int(name.size()), name.data(),
                 int(name.size()));
  return name;
}

/// The path the system gives the file or folder open as `h`, without its volume, folded;
/// "" where it cannot say (XP has no GetFinalPathNameByHandleW).
std::wstring final_path(HANDLE h) {
  using Final = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const auto get = reinterpret_cast<Final>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (!get) return L"";
  constexpr DWORD VOLUME_NONE = 0x4;  // VOLUME_NAME_NONE, FILE_NAME_NORMALIZED
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = get(h, path.data(), DWORD(path.size()), VOLUME_NONE);
    if (n == 0) return L"";
    if (n < path.size()) return folded(path.substr(0, n));
    path.resize(n + 1);
  }
}

/// Whether the system shows a name it cannot decode as U+FFFD (see may_be_made_up()).
bool makes_up_names() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

/// Which file `path` names, without following a link, and its attributes.
Status identify(const std::wstring& path, FileStat& out, DWORD* attributes = nullptr) {
  // Opened for no access at all, the name can be asked which file it is, lock or no lock.
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info);
  const Status s = known ? Status{} : last_error();
  CloseHandle(h);
  if (!known) return s;
  out = stat_from(info);
  if (attributes) *attributes = info.dwFileAttributes;
  return Status{};
}

/// Gives `to` the access list of `from`. Windows' ReplaceFileW carries it too; Wine's
/// does not, and keeps a file's permissions in it.
Status copy_security(const std::wstring& from, const std::wstring& to) {
  DWORD need = 0;
  GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &need);
  if (need == 0) return Status{};  // none that can be read: ReplaceFileW keeps what there is
  std::vector<char> sd(need);
  if (!GetFileSecurityW(from.c_str(), DACL_SECURITY_INFORMATION, sd.data(), need, &need))
    return Status{};
  if (!SetFileSecurityW(to.c_str(), DACL_SECURITY_INFORMATION, sd.data())) return last_error();
  return Status{};
}

/// The folder `path` in the form the system takes as it is (see long_path()), with a
/// trailing backslash.
Status full_folder(const std::string& path, std::wstring& out) {
  // The trailing backslash makes "C:" the drive's root and "" the current drive's root.
  const std::wstring given = widen(path) + L"\\";
  // Resolved, a name would lose its trailing dots and spaces: only what needs it is.
  if (!needs_resolving(given)) {
    out = long_path(given);
    return Status{};
  }
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (n == 0) return last_error();
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  out = long_path(full);
  return Status{};
}

/// Owns a mutex for its scope, if it comes within a bounded time; without one (null),
/// does nothing. `stuck` says whether the last wait came to nothing.
class ScopedMutex {
 public:
  ScopedMutex(void* mutex, std::atomic<bool>& stuck) : mutex_(mutex) {
    if (!mutex_) return;
    // Also when its last owner died in it. The threads of one run take it in turn too.
    const DWORD got = WaitForSingleObject(mutex_, stuck ? MUTEX_WAIT_STUCK : MUTEX_WAIT);
    const bool missed = got != WAIT_OBJECT_0 && got != WAIT_ABANDONED;
    stuck = missed;
    if (missed) mutex_ = nullptr, owned_ = false;
  }
  ~ScopedMutex() {
    if (mutex_) ReleaseMutex(mutex_);
  }
  ScopedMutex(const ScopedMutex&) = delete;
  ScopedMutex& operator=(const ScopedMutex&) = delete;
  bool owned() const { return owned_; }

 private:
  void* mutex_;
  bool owned_ = true;
};

/// A security descriptor that gives the running user alone every access and inherits
/// nothing, for a file while it is written; null where it cannot be made. LocalFree frees it.
void* make_owner_only() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD need = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &need);
  std::vector<char> user(need);
  const bool known = need && GetTokenInformation(token, TokenUser, user.data(), need, &need);
  CloseHandle(token);
  if (!known) return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
  // One block: the descriptor, then the access list it points to.
  auto* block = static_cast<char*>(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH + acl_size));
  if (!block) return nullptr;
  auto* acl = reinterpret_cast<ACL*>(block + SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !InitializeSecurityDescriptor(block, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(block, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(block, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    LocalFree(block);
    return nullptr;
  }
  return block;
}

}  // namespace

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

bool Win32Platform::locked_here(const std::wstring& path) {
  FileStat named;
  if (!identify(path, named).ok()) return false;
  Lock lock(table_);
  return std::any_of(files_.begin(), files_.end(), [&](const OpenFile& f) {
    return f.locked && f.handle && f.id.same_file(named);
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
  const std::wstring path = dir_path(dir);
  // \\?\UNC\server\share\..., or a drive letter mapped to a share.
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return Capabilities{true, true};
  if (path.size() < 6 || path[5] != L':') return Capabilities{false, true};
  const std::wstring drive = path.substr(4, 2) + L"\\";
  return Capabilities{GetDriveTypeW(drive.c_str()) == DRIVE_REMOTE, true};
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
  HANDLE probe = CreateFileW(full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    const bool back = leads_back_here(probe, dir, name);
    CloseHandle(probe);
    if (!back) return Status{Fault::symlink, 0};
  }
  // Share mode 0: while it is open no other process can open the file at all.
  HANDLE h = nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  for (;;) {
    {
      const ScopedMutex mutex(mutex_, mutex_stuck_);
      if (!mutex.owned()) return Status{Fault::busy, 0};
      const Status s = open_unfollowed(full, GENERIC_READ, 0, FILE_ATTRIBUTE_NORMAL, h, info);
      if (s.ok()) break;
      if (s.fault != Fault::busy || !locked_here(full)) return s;
    }
    // Another name of a file this run converts: its turn comes once that is done.
    Sleep(1);
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
  // Private while it is written; replace() gives it the original's access list. Shared
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
  // compression and encryption of the file it replaces; replace() sees to the rest.
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

Status Win32Platform::replace_once(const std::wstring& target, const std::wstring& fresh,
                                   const std::wstring& saved, const FileStat& read,
                                   bool& transient) {
  transient = false;
  FileStat now;
  DWORD attributes = 0;
  Status s = identify(target, now, &attributes);
  if (s.fault == Fault::not_found || (s.ok() && !now.same_file(read)))
    return Status{Fault::replaced};
  if (!s.ok()) {
    // A name that cannot be asked which file it holds is another run's in the middle of a
    // step (Wine says "invalid handle" of a file another machine's run is moving).
    transient = true;
    return Status{Fault::busy, s.code};
  }
  if (!now.unchanged(read)) return Status{Fault::modified};
  // ReplaceFileW refuses a read-only file: the attribute is off for the call, and the new
  // file and the backup (the original itself) have it again after.
  const DWORD kept = settable_attributes(attributes);
  const DWORD kept_or_normal = kept ? kept : FILE_ATTRIBUTE_NORMAL;
  const bool read_only = attributes & FILE_ATTRIBUTE_READONLY;
  if (read_only) {
    const DWORD writable = kept & ~FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesW(target.c_str(), writable ? writable : FILE_ATTRIBUTE_NORMAL)) {
      transient = is_transient(GetLastError(), true);
      return last_error();
    }
  }
  s = copy_security(target, fresh);
  const bool with_backup = !saved.empty();
  DWORD e = 0;
  // ReplaceFileW opens the new file itself: the run's lock on it ends here.
  if (s.ok()) unlock_range(fresh);
  if (s.ok() && !ReplaceFileW(target.c_str(), fresh.c_str(), with_backup ? saved.c_str() : nullptr,
                              0, nullptr, nullptr))
    e = GetLastError();
  if (s.ok() && e == 0) {
    // The name was checked just before the call: had another program put a file there
    // meanwhile, that file is under the backup name now, and goes back.
    FileStat replaced;
    if (with_backup && identify(saved, replaced).ok() && !replaced.unchanged(read) &&
        MoveFileExW(target.c_str(), fresh.c_str(), 0)) {
      if (MoveFileExW(saved.c_str(), target.c_str(), 0))
        return Status{replaced.same_file(read) ? Fault::modified : Fault::replaced};
      MoveFileExW(fresh.c_str(), target.c_str(), 0);  // as if it had come first
    }
    SetFileAttributesW(target.c_str(), kept_or_normal);
    if (with_backup) SetFileAttributesW(saved.c_str(), kept_or_normal);
    return Status{};
  }
  FileStat under_backup;
  bool stranded = false;
  if (with_backup && identify(saved, under_backup).ok() && under_backup.same_file(read)) {
    // The original was moved aside but the new file did not take its name (two names the
    // system takes for one, say): it goes back, or stays under the run's own name, which
    // nothing later overwrites, and the run reports the file.
    stranded = !MoveFileExW(saved.c_str(), target.c_str(), 0);
    if (stranded) keep(saved);
  } else if (left_by_replace(e, with_backup) == Left::name_empty) {
    MoveFileExW(fresh.c_str(), target.c_str(), 0);
  }
  if (read_only) SetFileAttributesW(stranded ? saved.c_str() : target.c_str(), kept_or_normal);
  // The name holds another file, or none that this run emptied: a run of another machine,
  // which share modes do not keep out, took the file meanwhile. (An original that could
  // not go back stays under the run's own name, for the next run.)
  FileStat there;
  const Status found = identify(target, there);
  const bool taken =
      found.ok() ? !there.same_file(read) : found.fault == Fault::not_found && !stranded;
  if (taken && (stranded || e == 0 || left_by_replace(e, with_backup) == Left::as_they_were))
    return Status{Fault::busy, s.ok() ? int(e) : s.code};
  if (!s.ok()) return s;
  transient = !stranded && is_transient(e, with_backup);
  // A name that the replace needed was taken meanwhile: another run's, of another machine.
  if (taken_meanwhile(e)) return Status{Fault::busy, int(e)};
  return from_error(e).at(Step::swap);
}

void Win32Platform::put_back(const std::wstring& target, const std::wstring& fresh,
                             const std::wstring& own) {
  if (!MoveFileExW(target.c_str(), fresh.c_str(), 0)) {
    keep(own);
    return;
  }
  if (!MoveFileExW(own.c_str(), target.c_str(), 0)) {
    MoveFileExW(fresh.c_str(), target.c_str(), 0);
    keep(own);
  }
}

Status Win32Platform::replace(Dir dir, const std::string& temp, const std::string& name,
                              const std::string& backup, File original, const FileStat& read) {
  // ReplaceFileW leaves the name empty between its two steps: a run killed there leaves
  // the name in a record for the next run, which puts the original back under it. The
  // record goes once the name holds a file again.
  const Status recorded = write_name_record(*this, dir, temp, name);
  if (taken_meanwhile(DWORD(recorded.code))) return Status{Fault::busy, recorded.code};
  if (!recorded.ok()) return recorded.at(Step::swap);
  const Status s = replace_recorded(dir, temp, name, backup, original, read);
  // Kept only while the name is empty and the original under this run's own name.
  const std::wstring own = dir_path(dir) + L"\\" + own_backup_name(widen(temp));
  if (GetFileAttributesW(path_in(dir, name).c_str()) != INVALID_FILE_ATTRIBUTES ||
      GetFileAttributesW(own.c_str()) == INVALID_FILE_ATTRIBUTES)
    remove(dir, name_record(temp));
  return s;
}

Status Win32Platform::replace_recorded(Dir dir, const std::string& temp, const std::string& name,
                                       const std::string& backup, File original,
                                       const FileStat& read) {
  const std::wstring target = path_in(dir, name), fresh = path_in(dir, temp);
  const std::wstring wanted = backup.empty() ? L"" : path_in(dir, backup);
  // ReplaceFileW replaces a file under the backup name: the original goes under a name of
  // this run's own, which no other file has, and only then takes the name asked for.
  const std::wstring own =
      backup.empty() ? L"" : dir_path(dir) + L"\\" + own_backup_name(widen(temp));
  const bool then_move = !wanted.empty() && wanted != own;
  const ScopedMutex mutex(mutex_, mutex_stuck_);  // no other run opens the file once its lock is released
  if (!mutex.owned()) return Status{Fault::busy, 0};
  // ReplaceFileW opens the file itself, sharing it with others: the lock is released here.
  if (HANDLE h = take_handle(original)) CloseHandle(h);
  if (!own.empty() && GetFileAttributesW(own.c_str()) != INVALID_FILE_ATTRIBUTES)
    return Status{Fault::exists, ERROR_ALREADY_EXISTS, Step::backup};
  // A backup that appeared since the folder was listed is another run's claim on the
  // file (another machine's, or one the system takes for the same name), unless this run
  // put it there itself, finishing what a run that ended left.
  if (then_move && GetFileAttributesW(wanted.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (made(wanted))
      return Status{Fault::exists, ERROR_ALREADY_EXISTS, Step::backup};
    return Status{Fault::busy, ERROR_ALREADY_EXISTS};
  }
  // A scanner or an indexer may have any of the files open for a moment.
  Status s;
  for (const unsigned* pause = RETRY_PAUSES;; ++pause) {
    bool transient = false;
    s = replace_once(target, fresh, own, read, transient);
    if (s.ok() || !transient || *pause == 0) break;
    Sleep(*pause);
  }
  if (!s.ok() || own.empty()) return s;
  if (!then_move) {
    lock_range(own);  // a temporary of this run's until it takes its last name
    return s;
  }
  // Taken without replacing: a backup that appeared meanwhile is another run's claim, and
  // everything goes back as it was.
  if (MoveFileExW(own.c_str(), wanted.c_str(), 0)) return s;
  const DWORD e = GetLastError();
  put_back(target, fresh, own);
  if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return Status{Fault::busy, int(e)};
  return other_error(e).at(Step::backup);
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

Status Win32Platform::rename(Dir dir, const std::string& from, const std::string& to) {
  return move(dir, from, to, MOVEFILE_REPLACE_EXISTING);
}

Status Win32Platform::rename_new(Dir dir, const std::string& from, const std::string& to) {
  return move(dir, from, to, 0);  // fails where `to` is taken
}

Status Win32Platform::move(Dir dir, const std::string& from, const std::string& to,
                           unsigned long flags) {
  const std::wstring source = path_in(dir, from);
  const std::wstring target = path_in(dir, to);
  // No other run opens a file while its lock is released; a run stopped with the mutex
  // does not stop this one from finishing its files.
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  std::vector<std::size_t> locks = release_locks(source);
  for (const std::size_t i : release_locks(target)) locks.push_back(i);
  void* probe = nullptr;
  if (!may_take(source, probe)) {
    reopen_locks(locks);
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  }
  // A scanner or an indexer may have either file open for a moment.
  Status s;
  for (const unsigned* pause = RETRY_PAUSES;; ++pause) {
    if (MoveFileExW(source.c_str(), target.c_str(), DWORD(flags))) {
      s = Status{};
      break;
    }
    const DWORD e = GetLastError();
    s = from_error(e);
    if (!is_transient(e, true) || *pause == 0) break;
    Sleep(*pause);
  }
  release_probe(probe);
  if (s.ok()) {
    move_range_lock(source, target);
    Lock lock(own_);
    std::replace(kept_.begin(), kept_.end(), source, target);
    made_.push_back(target);
  }
  reopen_locks(locks);
  return s;
}

Status Win32Platform::remove(Dir dir, const std::string& name) {
  const std::wstring full = path_in(dir, name);
  // An original that could not go back under its name is never removed.
  if (kept(full))
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  const ScopedMutex mutex(mutex_, mutex_stuck_);
  const std::vector<std::size_t> locks = release_locks(full);
  unlock_range(full);
  void* probe = nullptr;
  if (!may_take(full, probe)) {
    reopen_locks(locks);
    return Status{Fault::busy, ERROR_LOCK_VIOLATION};
  }
  const Status s = DeleteFileW(full.c_str()) ? Status{} : last_error();
  release_probe(probe);
  reopen_locks(locks);
  return s;
}

namespace {

/// What tells the machine from others, as the tags of its runs carry it: its name, and the
/// identity its installation was given (which Wine gives each of its prefixes).
std::string machine_name() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &n)) n = 0;
  wchar_t guid[64] = L"";
  DWORD size = sizeof guid - sizeof(wchar_t), type = 0;
  HKEY key;
  constexpr REGSAM WOW64_64KEY = 0x0100;  // the one key of 32- and 64-bit programs alike
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                    KEY_QUERY_VALUE | WOW64_64KEY, &key) == ERROR_SUCCESS) {
    if (RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(guid),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
      size = 0;
    RegCloseKey(key);
  } else {
    size = 0;
  }
  const std::string id = narrow(guid, std::wcslen(guid) < size / 2 ? std::wcslen(guid) : size / 2);
  return machine_seed(narrow(name, n), id);
}

}  // namespace

Status Win32Host::executable_path(std::string& out) {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
    if (n == 0) return last_error();
    if (n < buf.size()) {
      out = narrow(buf.data(), n);
      return Status{};
    }
    buf.resize(buf.size() * 2);  // cut short: XP says nothing, later systems say so
  }
}

namespace {

/// When the process open as `process` started (see start_of()); 0 where it cannot be told.
std::uint32_t started(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return start_of(std::uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime);
}

}  // namespace

RunTag Win32Host::run_tag() {
  // One tag for the whole process.
  static const RunTag tag{RunTag::machine_of(machine_name()), std::uint32_t(GetCurrentProcessId()),
                          std::uint16_t(GetTickCount()), started(GetCurrentProcess())};
  return tag;
}

std::uint32_t Win32Host::process_start(std::uint32_t pid) {
  constexpr DWORD QUERY_LIMITED = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, Vista on
  HANDLE process = OpenProcess(QUERY_LIMITED, FALSE, DWORD(pid));
  if (!process) process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, DWORD(pid));
  if (!process) return 0;
  const std::uint32_t start = started(process);
  CloseHandle(process);
  return start;
}

bool Win32Host::process_has_ended(std::uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  // A process of that number that runs may be the run itself, or a later one.
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
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

namespace {

/// The full path of the running program, or "".
std::wstring image_path() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
    if (n == 0) return L"";
    if (n < buf.size()) return buf.substr(0, n);
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

std::string win32::program_path(std::string argv0) {
  const std::size_t cut = argv0.rfind('\\');
  if (cut == std::string::npos) return argv0;  // the core asks for the program's path
  const std::wstring image = image_path();
  FileStat running, named;
  if (image.empty() || !identify(image, running).ok()) return argv0;
  std::wstring folder;
  if (!full_folder(argv0.substr(0, cut), folder).ok()) return narrow(image.data(), image.size());
  if (folder.back() != L'\\') folder.push_back(L'\\');
  const std::wstring in_folder = folder + image.substr(image.rfind(L'\\') + 1);
  if (identify(in_folder, named).ok() && named.same_file(running)) return argv0;
  return narrow(image.data(), image.size());
}

}  // namespace nivra
