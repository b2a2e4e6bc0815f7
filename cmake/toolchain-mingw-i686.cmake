# Cross build for Windows, 32-bit: the release build of quellix.exe.
set(QUELLIX_MINGW_PREFIX i686-w64-mingw32)
set(QUELLIX_MINGW_PROCESSOR x86)
set(QUELLIX_MINGW_DEFAULT_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
