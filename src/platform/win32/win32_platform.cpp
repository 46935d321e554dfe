#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/entry.h"
#include "platform/stdio_reporter.h"
#include "text/unicode.h"
#include "walk/walk.h"

namespace nivra {

namespace {

/// Status code of a junction or symbolic link met where a file or directory was listed.
constexpr int REPARSE_CODE = -1;

/// Text is handed to the conversion services in pieces of about this many bytes, cut
/// after a line feed, so that the UTF-16 buffer stays small.
constexpr std::size_t PIECE_BYTES = std::size_t(1) << 20;

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

/// Calls `fn(piece, offset)` for consecutive pieces of `text`, each ending after a line
/// feed (or at the end), until `fn` returns false.
template <typename Fn>
void for_each_piece(std::string_view text, Fn fn) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    std::size_t cut = text.size();
    if (text.size() - offset > PIECE_BYTES) {
      const std::size_t lf = text.find('\n', offset + PIECE_BYTES);
      if (lf != std::string_view::npos) cut = lf + 1;
    }
    if (!fn(text.substr(offset, cut - offset), offset)) return;
    offset = cut;
  }
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
  // A second name would have to be let go of at once (see the class comment), so no
  // link is made and the core writes the backup as a copy of the content it holds.
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

void Win32Platform::to_wide(unsigned code_page, std::string_view text) {
  wide_.resize(text.size());  // never more units than bytes, from either code page
  const int n = MultiByteToWideChar(code_page, 0, text.data(), int(text.size()), wide_.data(),
                                    int(wide_.size()));
  wide_.resize(std::size_t(n));
}

bool Win32Platform::from_wide(unsigned code_page, std::string& out) {
  if (wide_.empty()) return false;
  BOOL used_default = FALSE;
  // Without WC_NO_BEST_FIT_CHARS Windows writes a look-alike (A for U+0100) and says
  // nothing; with it, a character without an exact counterpart sets the flag.
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = code_page == CP_UTF8 ? nullptr : &used_default;
  const int units = int(wide_.size());
  const int n =
      WideCharToMultiByte(code_page, flags, wide_.data(), units, nullptr, 0, nullptr, nullptr);
  const std::size_t at = out.size();
  out.resize(at + std::size_t(n));
  WideCharToMultiByte(code_page, flags, wide_.data(), units, out.data() + at, n, nullptr, used);
  return used_default;
}

std::size_t Win32Platform::first_acp_loss(std::string_view text) {
  std::size_t loss = std::string_view::npos;
  for_each_piece(text, [&](std::string_view piece, std::size_t offset) {
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, piece.data(), int(piece.size()), nullptr,
                            0) != 0)
      return true;
    // Character by character, a lead byte with its trail byte, to find the first bad one.
    for (std::size_t i = 0; i < piece.size();) {
      const std::size_t len =
          IsDBCSLeadByteEx(CP_ACP, BYTE(piece[i])) && i + 1 < piece.size() ? 2 : 1;
      if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, piece.data() + i, int(len), nullptr,
                              0) == 0) {
        loss = offset + i;
        return false;
      }
      i += len;
    }
    loss = offset;  // bad only as a whole: blame its start
    return false;
  });
  return loss;
}

std::size_t Win32Platform::first_unmappable(std::string_view text) {
  std::size_t loss = std::string_view::npos;
  for_each_piece(text, [&](std::string_view piece, std::size_t offset) {
    to_wide(CP_UTF8, piece);
    probe_.clear();
    if (!from_wide(CP_ACP, probe_)) return true;
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    const auto* end = p + piece.size();
    for (const auto* c = p; c < end;) {
      char32_t cp = 0;
      const std::size_t len = utf8_decode(c, end, cp);
      to_wide(CP_UTF8, std::string_view(reinterpret_cast<const char*>(c), len));
      probe_.clear();
      if (from_wide(CP_ACP, probe_)) {
        loss = offset + std::size_t(c - p);
        return false;
      }
      c += len;
    }
    loss = offset;
    return false;
  });
  return loss;
}

std::size_t Win32Platform::first_loss(CodePage from, CodePage to, std::string_view text) {
  if (to == CodePage::utf8) {
    switch (from) {
      case CodePage::acp: return first_acp_loss(text);
      case CodePage::utf8: return utf8_first_invalid(text);
      case CodePage::utf16le: return utf16_first_invalid(text, false);
      case CodePage::utf16be: return utf16_first_invalid(text, true);
    }
  }
  if (from == CodePage::utf8 && to == CodePage::acp) {
    // Windows decodes malformed UTF-8 without a word, so its validity is checked strictly
    // here; what is valid goes to the system's own tables.
    const std::size_t invalid = utf8_first_invalid(text);
    const std::size_t unmappable = first_unmappable(text.substr(0, invalid));
    return std::min(invalid, unmappable);
  }
  return 0;
}

void Win32Platform::convert(CodePage from, CodePage to, std::string_view text, std::string& out) {
  if ((from == CodePage::acp && to == CodePage::utf8) ||
      (from == CodePage::utf8 && to == CodePage::acp)) {
    for_each_piece(text, [&](std::string_view piece, std::size_t) {
      to_wide(unsigned(from), piece);
      from_wide(unsigned(to), out);
      return true;
    });
    return;
  }
  if ((from == CodePage::utf16le || from == CodePage::utf16be) && to == CodePage::utf8) {
    wide_.resize(text.size() / 2);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const bool big = from == CodePage::utf16be;
    for (std::size_t i = 0; i < wide_.size(); ++i, p += 2)
      wide_[i] = wchar_t(big ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
    from_wide(CP_UTF8, out);
    return;
  }
  out.append(text);
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
  bool finish() { return stdio_.finish(); }

 private:
  StdioReporter stdio_;
};

}  // namespace

int platform_main(int argc, wchar_t** argv, Direction direction) {
  // No dialog box for a drive without its medium: the run reports it and goes on.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  Win32Platform platform;
  Win32Reporter reporter;
  const std::string argv0 = argc > 0 && argv[0] ? narrow(argv[0], std::wcslen(argv[0])) : "";
  int status = run_program(platform, direction, reporter, argv0);
  if (!reporter.finish()) {
    std::fprintf(stderr, "%s: standard output: %s\n", traits(direction).program.data(),
                 std::strerror(errno));
    status = 1;
  }
  return status;
}

}  // namespace nivra
