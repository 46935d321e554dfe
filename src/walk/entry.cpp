#include "walk/entry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/threads.h"
#include "walk/walk.h"

namespace nivra {

int program_main(int argc, native_char** argv, Direction direction) {
  System system = start_system(argc, argv);
  int status = run_program(*system.files, *system.code_page, direction, *system.reporter,
                           system.argv0, processors());
  if (!system.reporter->finish()) {
    std::fprintf(stderr, "%s: standard output: %s\n", traits(direction).program.data(),
                 std::strerror(errno));
    status = 1;
  }
  return status;
}

}  // namespace nivra
