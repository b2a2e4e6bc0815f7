# Cross build for Windows, 64-bit: the same code and tests on the other Windows ABI.
set(QUELLIX_MINGW_PREFIX x86_64-w64-mingw32)
set(QUELLIX_MINGW_PROCESSOR AMD64)
set(QUELLIX_MINGW_DEFAULT_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
