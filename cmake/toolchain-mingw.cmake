# Cross build for Windows with Debian's MinGW-w64 compilers, included by
# toolchain-mingw-i686.cmake and toolchain-mingw-x86_64.cmake after they set:
#   QUELLIX_MINGW_PREFIX         the compilers' target triplet
#   QUELLIX_MINGW_PROCESSOR      CMAKE_SYSTEM_PROCESSOR
#   QUELLIX_MINGW_DEFAULT_WINE   the Wine loader that runs the build's programs
# Posix thread model (C++11 threads and gtest both work with it); every executable
# is linked statically so that it needs no MinGW DLLs, and tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUELLIX_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${QUELLIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELLIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELLIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUELLIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under this build's own Wine loader, named directly: the `wine` wrapper
# would start the 32-bit loader for every program wherever it is installed.
set(QUELLIX_WINE ${QUELLIX_MINGW_DEFAULT_WINE} CACHE FILEPATH "Wine loader that runs this build's programs")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELLIX_WINE})
