# Cross-builds the 32-bit Windows programs with Debian's mingw-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NIVRA_MINGW_TRIPLET i686-w64-mingw32)
# The win32-threads flavour: the posix one would bring in libwinpthread.
find_program(CMAKE_CXX_COMPILER NAMES ${NIVRA_MINGW_TRIPLET}-g++-win32 ${NIVRA_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${NIVRA_MINGW_TRIPLET}-gcc-win32 ${NIVRA_MINGW_TRIPLET}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${NIVRA_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NIVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

