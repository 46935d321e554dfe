// Test helper for Windows.
//   helper.exe acp           prints the active ANSI code page
//   helper.exe hold PATH     holds PATH open, sharing nothing, as another program that works
//                            on it would; says "held" once it does, lets go when its standard
//                            input ends
//   helper.exe grab PATH MS AFTER
//                            says "waiting", waits until a file matches the pattern AFTER,
//                            then until PATH can be opened sharing nothing, as a scanner
//                            would; holds it MS milliseconds and prints the size it had
//   helper.exe tag           prints the tag a run of the programs in this process would have
//                            had: once it exits, that of a run that has ended
//   helper.exe live PATH     writes that tag into PATH, says "live", and runs on until its
//                            standard input ends: the tag of a run that may still go on
//   helper.exe gate FOLDER   owns the mutex of the tree at FOLDER (once a run that has it
//                            lets go), as a run stopped in it would; says "held", lets go
//                            when its standard input ends
//   helper.exe stop PATTERN  waits until a file matches PATTERN, then suspends every
//                            process of the programs started from PATTERN's folder; prints the name found and "stopped",
//                            then on "kill" ends them, on "go" (or at the end of its
//                            standard input) lets them go on
//   helper.exe squat PID     starts processes until one gets the number PID (in hex), as a
//                            later process takes the number of a run that was killed; says
//                            "squatting" once one has it, ends it when its standard input ends
//   helper.exe sleep         waits until it is ended
//   helper.exe kernels       prints the text kernels the programs would use here, then for
//                            each table the processor runs whether it gives what the portable
//                            one gives on random text of every length, alignment and mix
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/win32/win32_rules.h"
#include "text/cp1252.h"
#include "text/unicode.h"
#include "text/vector.h"

namespace {

/// Everything the kernels in use make of `text`, as one string.
std::string conversions(std::string_view text) {
  static nivra::Cp1252CodePage page;
  std::string all = std::to_string(nivra::utf8_first_invalid(text)) +
                    std::to_string(nivra::is_ascii(text));
  for (bool last : {true, false}) {
    std::string to, from;
    const nivra::Converted t = page.to_utf8(text, last, to);
    const nivra::Converted f = page.from_utf8(text, last, from);
    all += "|" + std::to_string(t.used) + " " + to + "|" + std::to_string(f.used) + " " +
           std::to_string(f.loss) + " " + from;
  }
  return all;
}

/// Prints, for each table this processor runs, whether it agrees with the portable one;
/// returns 0 when all do.
int check_kernels() {
  std::printf("%s\n", nivra::text_kernels().name);
  // Dense text of two- and three-byte characters, malformed and cut ones among them.
  static const char* const pieces[] = {"a", " ", "\r\n", "\xC3\xA9", "\xE2\x82\xAC",
                                       "\xE2\x80\x9C", "\xE2\x80\xA6", "\xC5\x93",
                                       "\xC4\x80", "\xF0\x9F\x98\x80", "\xE0\x80\xAF", "\x80",
                                       "\xC3"};
  int status = 0;
  for (const nivra::TextKernels* k : nivra::runnable_text_kernels()) {
    std::mt19937 rng(23);
    std::string buffer(400, '\0'), differs;
    for (std::size_t size = 0; size <= 300 && differs.empty(); ++size) {
      for (std::size_t align = 0; align < 32; ++align) {
        std::string text;
        const unsigned kinds = align % 3 == 0 ? 13 : 8;  // some with faults, most without
        while (text.size() < size) text += pieces[rng() % (rng() % 2 ? 3 : kinds)];
        text.resize(size);
        buffer.replace(align, size, text);
        const std::string_view placed(buffer.data() + align, size);
        nivra::use_text_kernels(nivra::portable_text_kernels());
        const std::string expected = conversions(placed);
        nivra::use_text_kernels(*k);
        if (conversions(placed) != expected) {
          differs = " differs at size " + std::to_string(size) + " align " + std::to_string(align);
          break;
        }
      }
    }
    std::printf("%s%s\n", k->name, differs.empty() ? " agrees" : differs.c_str());
    status |= !differs.empty();
  }
  return status;
}

}  // namespace

namespace {

/// Every process of nivra-sign.exe or nivra-unsign.exe started from `folder`: runs of the
/// programs in other folders (other tests at the same time) are left alone.
std::vector<DWORD> runs(const std::wstring& folder) {
  std::vector<DWORD> out;
  HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W p = {};
  p.dwSize = sizeof p;
  for (BOOL more = Process32FirstW(all, &p); more; more = Process32NextW(all, &p)) {
    if (_wcsicmp(p.szExeFile, L"nivra-sign.exe") != 0 && _wcsicmp(p.szExeFile, L"nivra-unsign.exe") != 0)
      continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, p.th32ProcessID);
    if (!process) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    const bool named = QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    const wchar_t* slash = std::wcsrchr(image, L'\\');
    if (named && slash && std::size_t(slash - image) == folder.size() &&
        _wcsnicmp(image, folder.c_str(), folder.size()) == 0)
      out.push_back(p.th32ProcessID);
  }
  CloseHandle(all);
  return out;
}

/// The full path of the folder part of `pattern`, without its last separator.
std::wstring folder_of(const wchar_t* pattern) {
  wchar_t full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameW(pattern, MAX_PATH * 4, full, nullptr);
  if (n == 0 || n >= MAX_PATH * 4) return std::wstring();
  std::wstring path(full, n);
  return path.substr(0, path.find_last_of(L'\\'));
}

/// Suspends or resumes every thread of the processes `ids`.
void suspend(const std::vector<DWORD>& ids, bool stop) {
  HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 t = {};
  t.dwSize = sizeof t;
  for (BOOL more = Thread32First(all, &t); more; more = Thread32Next(all, &t)) {
    bool ours = false;
    for (DWORD id : ids) ours = ours || t.th32OwnerProcessID == id;
    if (!ours) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, t.th32ThreadID);
    if (!thread) continue;
    if (stop) SuspendThread(thread); else ResumeThread(thread);
    CloseHandle(thread);
  }
  CloseHandle(all);
}

/// The tag a run of the programs in this process would have had, but for its nonce; "" where
/// it cannot be told.
std::string own_tag() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &n)) return "";
  char utf8[4 * (MAX_COMPUTERNAME_LENGTH + 1)];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, int(n), utf8, sizeof utf8, nullptr,
                                        nullptr);
  char guid[64] = "";
  DWORD size = sizeof guid - 1;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                    KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
    if (RegQueryValueExA(key, "MachineGuid", nullptr, nullptr, reinterpret_cast<BYTE*>(guid),
                         &size) != ERROR_SUCCESS)
      guid[0] = '\0';
    RegCloseKey(key);
  }
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const nivra::RunTag tag{
      nivra::RunTag::machine_of(nivra::win32::machine_seed(std::string(utf8, std::size_t(bytes)),
                                                           guid)),
      std::uint32_t(GetCurrentProcessId()), 0,
      nivra::win32::start_of(std::uint64_t(created.dwHighDateTime) << 32 |
                             created.dwLowDateTime)};
  return tag.format();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"gate") == 0) {
    HANDLE dir = CreateFileW(argv[2], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (dir == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(dir, &info)) return 1;
    CloseHandle(dir);
    const std::uint64_t index = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    HANDLE gate = CreateMutexW(nullptr, FALSE,
                               nivra::win32::mutex_name(info.dwVolumeSerialNumber, index).c_str());
    // A run on the tree has made it already: taken once that run lets go of it.
    const DWORD got = gate ? WaitForSingleObject(gate, 10000) : WAIT_FAILED;
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return 1;
    std::puts("held");
    std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"stop") == 0) {
    WIN32_FIND_DATAW found;
    HANDLE search;
    const DWORD start = GetTickCount();
    while ((search = FindFirstFileW(argv[2], &found)) == INVALID_HANDLE_VALUE) {
      if (GetTickCount() - start > 60000) return 1;
    }
    FindClose(search);
    const std::vector<DWORD> ids = runs(folder_of(argv[2]));
    suspend(ids, true);
    std::printf("%ls\nstopped\n", found.cFileName);
    std::fflush(stdout);
    char line[16] = "";
    const bool kill = std::fgets(line, sizeof line, stdin) && std::strncmp(line, "kill", 4) == 0;
    for (DWORD id : ids) {
      if (!kill) continue;
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
      if (!process) continue;
      TerminateProcess(process, 9);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
    if (!kill) suspend(ids, false);
    std::puts("done");
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"sleep") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"squat") == 0) {
    const DWORD wanted = DWORD(std::wcstoul(argv[2], nullptr, 16));
    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring line = L"\"" + std::wstring(self) + L"\" sleep";
    PROCESS_INFORMATION got = {};
    for (int tries = 0; tries < 20000 && !got.hProcess; ++tries) {
      STARTUPINFOW start = {};
      start.cb = sizeof start;
      PROCESS_INFORMATION p = {};
      if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &start, &p))
        return 1;
      CloseHandle(p.hThread);
      if (p.dwProcessId == wanted) {
        got = p;
        break;
      }
      TerminateProcess(p.hProcess, 0);
      WaitForSingleObject(p.hProcess, 10000);
      CloseHandle(p.hProcess);
    }
    if (!got.hProcess) return 1;
    std::puts("squatting");
    std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    TerminateProcess(got.hProcess, 0);
    CloseHandle(got.hProcess);
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"acp") == 0) {
    std::printf("%u\n", GetACP());
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"kernels") == 0) return check_kernels();
  if (argc == 2 && std::wcscmp(argv[1], L"tag") == 0) {
    const std::string tag = own_tag();
    if (tag.empty()) return 1;
    std::printf("%s\n", tag.c_str());
    return 0;
  }
  if (argc == 3 && std::wcscmp(argv[1], L"live") == 0) {
    const std::string tag = own_tag();
    FILE* f = _wfopen(argv[2], L"wb");
    if (tag.empty() || !f) return 1;
    std::fputs(tag.c_str(), f);
    std::fclose(f);
    std::puts("live");
    std::fflush(stdout);
    char c;
    while (std::fread(&c, 1, 1, stdin) == 1) {
    }
    return 0;
  }
  if (argc == 5 && std::wcscmp(argv[1], L"grab") == 0) {
    std::puts("waiting");
    std::fflush(stdout);
    const DWORD start = GetTickCount();
    WIN32_FIND_DATAW found;
    HANDLE search;
    while ((search = FindFirstFileW(argv[4], &found)) == INVALID_HANDLE_VALUE) {
      if (GetTickCount() - start > 60000) return 1;
      Sleep(0);
    }
    FindClose(search);
    HANDLE h = INVALID_HANDLE_VALUE;
    for (; GetTickCount() - start < 60000; Sleep(0)) {
      h = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
      if (h != INVALID_HANDLE_VALUE) break;
    }
    if (h == INVALID_HANDLE_VALUE) return 1;
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    Sleep(DWORD(std::wcstoul(argv[3], nullptr, 10)));
    CloseHandle(h);
    std::printf("%lld\n", static_cast<long long>(size.QuadPart));
    return 0;
  }
  if (argc != 3 || std::wcscmp(argv[1], L"hold") != 0) return 2;
  HANDLE h =
      CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  CloseHandle(h);
  return 0;
}
