// The start-up of a POSIX process: signals, the descriptor limit, the ANSI code page of the
// locale, and the platform's pieces.

#include "platform/system.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>

#include "platform/posix/posix_host.h"
#include "platform/posix/posix_platform.h"
#include "text/code_pages.h"

namespace nivra {

System start_system(int argc, char** argv) {
  // A closed standard output must not stop the run in the middle of a file, nor a file
  // larger than the process may write: both become the failure of one call.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // The walk holds one descriptor per level of depth.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  // The ANSI code page Windows would have for the language of the process's locale.
  const CodePageChoice choice =
      code_page_choice(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"));
  std::unique_ptr<AnsiCodePage> code_page = make_code_page(choice.id);
  if (!code_page) code_page = std::make_unique<Cp1252CodePage>();
  return System{std::make_unique<PosixPlatform>(), std::make_unique<PosixHost>(),
                std::move(code_page), std::make_unique<StdioReporter>(),
                argc > 0 && argv[0] ? argv[0] : "", choice};
}

}  // namespace nivra
