#pragma once

// Helpers for the tests of what a user installs: the manual pages, `cmake --install`
// and the packages. The paths of the build come from tests/CMakeLists.txt.

#include <string>
#include <string_view>

#include "support/test_support.h"

namespace nivra::test {

/// `text` quoted for /bin/sh.
std::string sh_quoted(std::string_view text);
/// Runs `command` with /bin/sh in folder `cwd`.
ProgramResult shell(const std::string& command, const std::string& cwd = "/");

/// True when `name` is a command on PATH.
bool have_tool(const std::string& name);

/// The manual page of `direction` as the build made it.
std::string built_page(Direction direction);

/// Copies `sign` and `unsign` (programs as a user installed them) into a fresh tree with
/// one ANSI source, runs the first there, then the second, and checks that the file
/// went to signed UTF-8 and back with its backups.
void expect_programs_convert(const std::string& sign, const std::string& unsign);

}  // namespace nivra::test
