// Windows' own view of its active ANSI code page, for the tests to hold our tables to.
//   code_page_dump.exe        prints the active ANSI code page
//   code_page_dump.exe FILE   writes to FILE, one line each:
//     acp N                   the active ANSI code page
//     b XX YYYY | b XX lead | b XX -        byte XX alone: its UTF-16 unit, a lead byte, none
//     p XXTT YYYY             lead byte XX with trail byte TT (pairs without a character
//                             are left out)
//     u YYYY HH..             BMP character YYYY written without a best fit (characters
//                             without bytes of their own are left out)
#include <windows.h>

#include <cstdio>

namespace {

/// The one UTF-16 unit that `bytes` stand for, strictly, or -1.
int unit_of(const char* bytes, int n) {
  wchar_t wide[4];
  const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, n, wide, 4);
  return units == 1 ? int(wide[0]) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 1) {
    std::printf("%u\n", GetACP());
    return 0;
  }
  if (argc != 2) return 2;
  FILE* f = _wfopen(argv[1], L"wb");
  if (!f) return 1;
  std::fprintf(f, "acp %u\n", GetACP());
  const bool utf8 = GetACP() == CP_UTF8;
  for (unsigned b = 0; b < 256; ++b) {
    const char byte = char(b);
    if (IsDBCSLeadByteEx(CP_ACP, BYTE(b))) {
      std::fprintf(f, "b %02X lead\n", b);
      for (unsigned t = 0; t < 256; ++t) {
        const char pair[2] = {byte, char(t)};
        const int u = unit_of(pair, 2);
        if (u >= 0) std::fprintf(f, "p %02X%02X %04X\n", b, t, unsigned(u));
      }
      continue;
    }
    const int u = unit_of(&byte, 1);
    if (u >= 0)
      std::fprintf(f, "b %02X %04X\n", b, unsigned(u));
    else
      std::fprintf(f, "b %02X -\n", b);
  }
  for (unsigned c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    const wchar_t wide = wchar_t(c);
    char bytes[8];
    BOOL used_default = FALSE;
    // UTF-8 takes neither the flag nor the question.
    const int n = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &wide, 1, bytes,
                                      int(sizeof bytes), nullptr, utf8 ? nullptr : &used_default);
    if (n <= 0 || used_default) continue;
    std::fprintf(f, "u %04X ", c);
    for (int i = 0; i < n; ++i) std::fprintf(f, "%02X", unsigned(BYTE(bytes[i])));
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0 ? 0 : 1;
}
