#include "main/program.h"

int NIVRA_MAIN(int argc, nivra::native_char** argv) {
  return nivra::program_main(argc, argv, nivra::Direction::unsign);
}
