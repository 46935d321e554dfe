#pragma once

// The programs' entry: each platform starts them with its own kind of argument vector.

#include "convert/direction.h"

namespace nivra {

#ifdef _WIN32
using native_char = wchar_t;
#define NIVRA_MAIN wmain
#else
using native_char = char;
#define NIVRA_MAIN main
#endif

/// Runs the program of `direction` over the tree that holds it; returns its exit status.
int platform_main(int argc, native_char** argv, Direction direction);

}  // namespace nivra
