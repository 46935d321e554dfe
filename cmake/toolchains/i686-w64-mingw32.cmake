# Cross-builds the 32-bit Windows programs with Debian's mingw-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(NIVRA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
