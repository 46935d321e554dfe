// The system's calls that the Windows platform's files share (see win32_system.h), and
// names between UTF-8 and UTF-16.

#include "platform/win32/win32_system.h"

#include <winioctl.h>

#include <cstring>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"
#include "text/unicode.h"

namespace nivra::win32 {

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

Status other_error(DWORD e) {
  return Status{from_error(e).fault == Fault::exhausted ? Fault::exhausted : Fault::other, int(e)};
}

Status last_error() { return from_error(GetLastError()); }

FileStat stat_from(const BY_HANDLE_FILE_INFORMATION& info) {
  FileStat out;
  out.volume = info.dwVolumeSerialNumber;
  out.inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  out.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  out.modified = std::int64_t(std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                              info.ftLastWriteTime.dwLowDateTime);
  return out;
}

namespace {

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

}  // namespace

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

std::wstring folded(std::wstring name) {
  if (!name.empty())
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.data(), int(name.size()), name.data(),
                 int(name.size()));
  return name;
}

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

bool makes_up_names() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

Status identify(const std::wstring& path, FileStat& out, DWORD* attributes) {
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

}  // namespace nivra::win32
