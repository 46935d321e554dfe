# Cross-builds the Windows programs for x86-64 with Debian's mingw-w64
# (g++-mingw-w64-x86-64). The programs people install are the 32-bit ones; this build runs
# the Windows tests under the 64-bit Wine on machines that run no 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NIVRA_MINGW_TRIPLET x86_64-w64-mingw32)
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
