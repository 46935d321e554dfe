#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/entry.h"
#include "platform/win32/win32_code_page.h"
#include "text/unicode.h"

namespace nivra {

namespace {

/// Status code of a junction or symbolic link met where a file or directory was listed.
constexpr int REPARSE_CODE = -1;

Status from_error(DWORD e) {
  switch (e) {
    case ERROR_SUCCESS: return Status{};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return Status{Fault::not_found, int(e)};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return Status{Fault::exists, int(e)};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return Status{Fault::busy, int(e)};
    default: return Status{Fault::other, int(e)};
  }
}

Status last_error() { return from_error(GetLastError()); }

/// UTF-16 as UTF-8. A lone surrogate, which a name may hold, gets the three bytes of its
/// value, so that every name comes back to the system unchanged.
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

/// The reverse of narrow(); a byte that is no part of a character becomes U+FFFD.
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

/// `full` as the system services take it: as it is while it is short, else in the long
/// form (\\?\ before it), which has no length limit but must be absolute.
std::wstring api_path(const std::wstring& full) {
  if (full.size() < MAX_PATH - 12 || full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

/// Owns the gate (see Win32Platform::gate_) for its scope; without a gate, does nothing.
class Passage {
 public:
  explicit Passage(void* gate) : gate_(gate) {
    if (gate_) WaitForSingleObject(gate_, INFINITE);  // also when its last owner died in it
  }
  ~Passage() {
    if (gate_) ReleaseMutex(gate_);
  }
  Passage(const Passage&) = delete;
  Passage& operator=(const Passage&) = delete;

 private:
  void* gate_;
};

}  // namespace

Win32Platform::Win32Platform() : gate_(CreateMutexW(nullptr, FALSE, L"Local\\nivra-hold")) {}

Win32Platform::~Win32Platform() {
  if (gate_) CloseHandle(gate_);
  for (OpenDir& d : dirs_)
    if (d.handle) CloseHandle(d.handle);
  for (OpenFile& f : files_)
    if (f.handle) CloseHandle(f.handle);
}

std::wstring Win32Platform::path_in(Dir dir, const std::string& name) const {
  return dirs_[std::size_t(dir.id)].path + L"\\" + widen(name);
}

Win32Platform::OpenFile* Win32Platform::file_at(File file) {
  if (file.id < 0 || std::size_t(file.id) >= files_.size()) return nullptr;
  OpenFile& f = files_[std::size_t(file.id)];
  return f.path.empty() ? nullptr : &f;
}

void* Win32Platform::handle_of(File file) {
  // A file that was let go has no handle: the call then fails as on a closed one.
  const OpenFile* f = file_at(file);
  return f && f->handle ? f->handle : INVALID_HANDLE_VALUE;
}

File Win32Platform::add_file(OpenFile entry) {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i].path.empty()) {
      files_[i] = std::move(entry);
      return File{std::intptr_t(i)};
    }
  }
  files_.push_back(std::move(entry));
  return File{std::intptr_t(files_.size() - 1)};
}

void Win32Platform::let_go_of(const std::wstring& path) {
  if (std::none_of(files_.begin(), files_.end(),
                   [](const OpenFile& f) { return f.handle && f.held; }))
    return;
  // Opened for no access at all, the name can be asked which file it is, hold or no hold.
  HANDLE h = CreateFileW(
      api_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!known) return;
  const FileId id{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  for (OpenFile& f : files_) {
    if (f.held && f.handle && f.id == id) {
      CloseHandle(f.handle);
      f.handle = nullptr;
    }
  }
}

Status Win32Platform::executable_path(std::string& out) {
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

Status Win32Platform::add_dir(std::wstring full, Dir& out) {
  // The handle pins the directory: sharing no deletion, it cannot be renamed or replaced
  // (by a junction, say) while it is walked, so its path keeps naming what was checked.
  HANDLE h = CreateFileW(api_path(full).c_str(), FILE_LIST_DIRECTORY,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  BY_HANDLE_FILE_INFORMATION info;
  Status s;
  if (!GetFileInformationByHandle(h, &info))
    s = last_error();
  else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    s = {Fault::not_regular, REPARSE_CODE};
  else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    s = from_error(ERROR_DIRECTORY);
  if (!s.ok()) {
    CloseHandle(h);
    return s;
  }
  while (full.size() > 1 && full.back() == L'\\') full.pop_back();
  OpenDir entry{h, std::move(full)};
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
  // The trailing backslash makes "C:" the drive's root and "" the current drive's root.
  const std::wstring given = widen(path) + L"\\";
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
  // A drive's root is opened with its backslash but kept as "C:", to which names are joined.
  return add_dir(std::move(full), out);
}

Status Win32Platform::open_dir(Dir parent, const std::string& name, Dir& out) {
  return add_dir(path_in(parent, name), out);
}

Status Win32Platform::list_dir(Dir dir, std::vector<Entry>& out) {
  out.clear();
  WIN32_FIND_DATAW data;
  const std::wstring pattern = dirs_[std::size_t(dir.id)].path + L"\\*";
  HANDLE search = FindFirstFileW(api_path(pattern).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    // A drive's root has no "." and "..", so an empty one yields nothing at all.
    return e == ERROR_FILE_NOT_FOUND ? Status{} : from_error(e);
  }
  do {
    const wchar_t* name = data.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
    EntryKind kind = EntryKind::regular;
    // Junctions and symbolic links, to files or to directories, are never followed.
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
      kind = EntryKind::symlink;
    else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      kind = EntryKind::directory;
    out.push_back(Entry{narrow(name, std::wcslen(name)), kind});
  } while (FindNextFileW(search, &data));
  const DWORD e = GetLastError();
  FindClose(search);
  return e == ERROR_NO_MORE_FILES ? Status{} : from_error(e);
}

void Win32Platform::close_dir(Dir dir) {
  OpenDir& d = dirs_[std::size_t(dir.id)];
  CloseHandle(d.handle);
  d = OpenDir{};
}

Status Win32Platform::open_read(Dir dir, const std::string& name, File& out) {
  std::wstring full = path_in(dir, name);
  // Share mode 0: while it is open no other process can open the file at all.
  const Passage passage(gate_);
  HANDLE h = CreateFileW(api_path(full).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  Status s;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    s = Status{Fault::not_regular, 0};  // a device name, such as NUL or COM1
  } else if (!GetFileInformationByHandle(h, &info)) {
    s = last_error();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    s = Status{Fault::not_regular, REPARSE_CODE};
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    s = Status{Fault::not_regular, 0};
  }
  if (!s.ok()) {
    CloseHandle(h);
    return s;
  }
  out = add_file(
      OpenFile{h, std::move(full), true,
               FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}});
  return Status{};
}

Status Win32Platform::file_size(File file, std::uint64_t& out) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_of(file), &size)) return last_error();
  out = std::uint64_t(size.QuadPart);
  return Status{};
}

Status Win32Platform::read(File file, char* buf, std::size_t n, std::size_t& got) {
  DWORD done = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(n, std::size_t(1) << 30));
  if (!ReadFile(handle_of(file), buf, ask, &done, nullptr)) return last_error();
  got = done;
  return Status{};
}

Status Win32Platform::create(Dir dir, const std::string& name, File model, File& out) {
  // The new file takes the attributes that describe it rather than protect it: a
  // read-only temporary could not be removed again if the run fails.
  DWORD attrs = FILE_ATTRIBUTE_NORMAL;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle_of(model), &info)) {
    const DWORD kept =
        info.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (kept) attrs = kept;
  }
  std::wstring full = path_in(dir, name);
  HANDLE h =
      CreateFileW(api_path(full).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attrs, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_error();
  out = add_file(OpenFile{h, std::move(full), false, FileId{}});
  return Status{};
}

Status Win32Platform::write(File file, const char* buf, std::size_t n, std::size_t& put) {
  DWORD done = 0;
  const DWORD ask = DWORD(std::min<std::size_t>(n, std::size_t(1) << 30));
  if (!WriteFile(handle_of(file), buf, ask, &done, nullptr)) return last_error();
  put = done;
  return Status{};
}

Status Win32Platform::close(File file) {
  OpenFile* f = file_at(file);
  if (!f) return Status{};
  Status s;
  if (f->handle && !CloseHandle(f->handle)) s = Status{Fault::other, int(GetLastError())};
  *f = OpenFile{};
  return s;
}

Status Win32Platform::link(File, Dir, const std::string&) {
  // A second name would have to be let go of at once (see the class comment).
  return from_error(ERROR_NOT_SUPPORTED);
}

Status Win32Platform::rename(Dir dir, const std::string& from, const std::string& to) {
  const std::wstring source = path_in(dir, from);
  const std::wstring target = path_in(dir, to);
  const Passage passage(gate_);  // no other run opens what is let go before it is replaced
  let_go_of(source);
  let_go_of(target);
  if (!MoveFileExW(api_path(source).c_str(), api_path(target).c_str(), MOVEFILE_REPLACE_EXISTING))
    return last_error();
  return Status{};
}

Status Win32Platform::remove(Dir dir, const std::string& name) {
  const std::wstring full = path_in(dir, name);
  let_go_of(full);
  if (!DeleteFileW(api_path(full).c_str())) return last_error();
  return Status{};
}

std::string Win32Platform::describe(const Status& status) {
  if (const char* own = describe_own_fault(status)) return own;
  switch (status.fault) {
    case Fault::not_regular:
      return status.code == REPARSE_CODE ? "a junction or symbolic link, which is never followed"
                                         : "not a regular file";
    default: break;
  }
  if (status.fault == Fault::busy && status.code == 0) return "held by another run";
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

/// Messages as StdioReporter prints them. Diagnostics go to a console as UTF-16, so that
/// names and the system's words read right whatever the console's code page; elsewhere
/// (a file, a pipe) they are UTF-8.
class Win32Reporter final : public Reporter {
 public:
  void message(std::string_view text) override { stdio_.message(text); }
  void diagnostic(std::string_view line) override {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(err, &mode)) return stdio_.diagnostic(line);
    const std::wstring wide = widen(line);
    DWORD written = 0;
    WriteConsoleW(err, wide.data(), DWORD(wide.size()), &written, nullptr);
  }
  bool finish() override { return stdio_.finish(); }

 private:
  StdioReporter stdio_;
};

}  // namespace

System start_system(int argc, wchar_t** argv) {
  // No dialog box for a drive without its medium: the run reports it and goes on.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  std::unique_ptr<AnsiCodePage> acp;
  if (GetACP() == CP_UTF8)
    acp = std::make_unique<Utf8CodePage>();
  else
    acp = std::make_unique<Win32CodePage>();
  return System{std::make_unique<Win32Platform>(), std::move(acp),
                std::make_unique<Win32Reporter>(),
                argc > 0 && argv[0] ? narrow(argv[0], std::wcslen(argv[0])) : ""};
}

}  // namespace nivra
