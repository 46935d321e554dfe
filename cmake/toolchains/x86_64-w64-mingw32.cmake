# Cross-builds the Windows programs for x86-64 with Debian's mingw-w64
# (g++-mingw-w64-x86-64). The programs people install are the 32-bit ones; this build runs
# the Windows tests under the 64-bit Wine on machines that run no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NIVRA_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
