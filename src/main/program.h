#pragma once

// The programs' start, the same for both and for every platform: where the tree is, one
// whole run over it, and the entry that readies the system for the run.

#include <string>
#include <string_view>

#include "convert/direction.h"
#include "platform/system.h"

namespace nivra {

/// The directory that holds the program: argument 0 up to its last separator, or, when
/// it has none, the directory of the running program as the system reports it.
Status find_root(Host& host, std::string_view argv0, std::string& root);

/// One whole run of a program on a machine of `processors`: finds the tree, walks it, and
/// returns the exit status, 0 when every source file was converted or left alone by
/// design, else 1. Where '/' separates, a bare `argv0` (found through PATH) is refused.
/// Where the code page was chosen by no language, `choice` says so once, before the
/// first file whose text beyond ASCII meets the code page.
int run_program(FileSystem& fs, Host& host, AnsiCodePage& acp, Direction direction,
                Reporter& reporter, std::string_view argv0, unsigned processors = 1,
                const CodePageChoice& choice = {});

/// Runs the program of `direction` over the tree that holds it; returns its exit status.
int program_main(int argc, native_char** argv, Direction direction);

}  // namespace nivra
