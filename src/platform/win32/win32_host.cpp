// What Windows says of the running program: its path, its run's tag, and whether another
// run's process has ended.

#include <windows.h>

#include <cwchar>

#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"
#include "platform/win32/win32_system.h"

namespace nivra {

using namespace win32;

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
