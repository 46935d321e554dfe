#pragma once

#include <string>
#include <string_view>

#include "convert/run.h"

namespace nivra {

/// True when `name`, an entry's bare name, ends in .c, .cpp or .h in any case.
bool is_source_file(std::string_view name);

/// Walks `dir` (whose path is `path`) depth first, in the order the system lists it:
/// every subdirectory is walked when it is met, every source file converted.
void walk_directory(Run& run, Dir dir, const std::string& path);

/// The directory that holds the program: argument 0 up to its last separator, or, when
/// it has none, the directory of the running program as the system reports it.
Status find_root(Platform& platform, std::string_view argv0, std::string& root);

/// One whole run of a program: finds the tree, walks it, and returns the exit status,
/// 0 when every source file was converted or left alone by design, else 1.
int run_program(Platform& platform, Direction direction, Reporter& reporter,
                std::string_view argv0);

}  // namespace nivra
