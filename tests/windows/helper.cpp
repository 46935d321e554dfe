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
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "platform/host.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"acp") == 0) {
    std::printf("%u\n", GetACP());
    return 0;
  }
  if (argc == 2 && std::wcscmp(argv[1], L"tag") == 0) {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &n)) return 1;
    char utf8[4 * (MAX_COMPUTERNAME_LENGTH + 1)];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, int(n), utf8, sizeof utf8, nullptr,
                                          nullptr);
    const nivra::RunTag tag{nivra::RunTag::machine_of(std::string_view(utf8, std::size_t(bytes))),
                            std::uint32_t(GetCurrentProcessId()), 0};
    std::printf("%s\n", tag.format().c_str());
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
