#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/run.h"

namespace nivra {

/// Rewrites the source file `name` of `dir` (whose full path is `path`) in the run's
/// direction, keeping its former content as NAME.OLD. The file is replaced in one step
/// once its new content is complete, so on every failure it stays as it was.
/// `leftovers` are the temporary names found in `dir`: those of this file are removed.
void convert_file(Run& run, Dir dir, const std::string& name, const std::string& path,
                  const std::vector<std::string>& leftovers = {});

/// True when `name` is one that temporary_name() gives.
bool is_temporary_name(std::string_view name);

/// The name the new content of `name` is written under until it replaces the file, and
/// (with `backup`) the name its backup is made under. Both begin with a dot, so no walk
/// selects them, and are short whatever the file's name.
std::string temporary_name(const std::string& name, bool backup);

}  // namespace nivra
