#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>

#include "platform/system.h"
#include "platform/win32/win32_code_page.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_rules.h"

namespace nivra {

using namespace win32;

namespace {

/// Messages as StdioReporter prints them. Diagnostics go to a console as UTF-16, so that
/// names and the system's words read right whatever the console's code page; elsewhere
/// (a file, a pipe) they are UTF-8.
class Win32Reporter final : public Reporter {
 public:
  void message(std::string_view text) override { stdio_.message(text); }
  void diagnostic(std::string_view line) override {
    std::fflush(stdout);  // each message before the diagnostic of its file
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
  return System{std::make_unique<Win32Platform>(), std::make_unique<Win32Host>(), std::move(acp),
                std::make_unique<Win32Reporter>(),
                argc > 0 && argv[0] ? with_backslashes(narrow(argv[0], std::wcslen(argv[0])))
                                    : ""};
}

}  // namespace nivra
