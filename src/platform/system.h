#pragma once

// What the programs' start needs of the system it runs on, which each platform's
// start_system.cpp provides. Each platform starts the programs with its own kind of
// argument vector.

#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/host.h"
#include "platform/reporter.h"
#include "text/code_page.h"
#include "text/code_pages.h"

namespace nivra {

#ifdef _WIN32
using native_char = wchar_t;
#define NIVRA_MAIN wmain
#else
using native_char = char;
#define NIVRA_MAIN main
#endif

/// The platform's pieces of one run.
struct System {
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<Host> host;
  std::unique_ptr<AnsiCodePage> code_page;
  std::unique_ptr<Reporter> reporter;
  std::string argv0;  ///< argument 0 in the core's terms ("" when there is none)
  /// Where the code page came from, where the platform guesses it.
  CodePageChoice code_page_choice = {};
};

/// Readies the process for a run (signals, limits) and builds the platform's pieces.
System start_system(int argc, native_char** argv);

}  // namespace nivra
