#pragma once

// The programs' entry, the same for both and for every platform.

#include "convert/direction.h"
#include "platform/system.h"

namespace nivra {

/// Runs the program of `direction` over the tree that holds it; returns its exit status.
int program_main(int argc, native_char** argv, Direction direction);

}  // namespace nivra
