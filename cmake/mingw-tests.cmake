# GoogleTest for the MinGW cross build, built from Debian's sources (there is no
# MinGW package of it).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The names FindGTest gives in the native build.
if(NOT TARGET GTest::GTest)
  add_library(GTest::GTest ALIAS gtest)
endif()
if(NOT TARGET GTest::Main)
  add_library(GTest::Main ALIAS gtest_main)
endif()
