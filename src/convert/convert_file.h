#pragma once

#include <string>

#include "convert/run.h"

namespace nivra {

/// Rewrites the source file `name` of `dir` (whose full path is `path`) in the run's
/// direction, keeping its former content as NAME.OLD. The file is replaced in one step
/// once its new content is complete, so on every failure it stays as it was.
void convert_file(Run& run, Dir dir, const std::string& name, const std::string& path);

/// The name the new content of `name` is written under until it replaces the file, and
/// (with `backup`) the name its backup is made under. Both begin with a dot, so no walk
/// selects them, and are short whatever the file's name.
std::string temporary_name(const std::string& name, bool backup);

}  // namespace nivra
