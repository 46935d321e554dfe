// Test helper for Windows: holds a file open, sharing nothing, as another program that
// works on it would, and says "held" once it does; lets go when its standard input ends.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE h = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  CloseHandle(h);
  return 0;
}
