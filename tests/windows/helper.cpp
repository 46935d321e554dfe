// Test helper for Windows.
//   helper.exe acp        prints the active ANSI code page
//   helper.exe hold PATH  holds PATH open, sharing nothing, as another program that works
//                         on it would; says "held" once it does, lets go when its standard
//                         input ends
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wcscmp(argv[1], L"acp") == 0) {
    std::printf("%u\n", GetACP());
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
