#include "platform/entry.h"

int NIVRA_MAIN(int argc, nivra::native_char** argv) {
  return nivra::platform_main(argc, argv, nivra::Direction::unsign);
}
