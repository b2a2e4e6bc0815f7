# Tests of the MinGW cross build: GoogleTest built from Debian's sources (there is no
# MinGW package of it), and one Wine run per test executable.
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

include(GoogleTest)

# Discovering test cases runs each executable at build time, and one ctest entry per
# case would start Wine hundreds of times. Under Wine one entry per executable runs
# all its cases in a single process instead.
function(gtest_discover_tests target)
  # GoogleTest's keywords; those about discovery do not apply here.
  cmake_parse_arguments(arg "NO_PRETTY_TYPES;NO_PRETTY_VALUES"
    "WORKING_DIRECTORY;TEST_PREFIX;TEST_SUFFIX;TEST_LIST;DISCOVERY_TIMEOUT;XML_OUTPUT_DIR;DISCOVERY_MODE"
    "EXTRA_ARGS;PROPERTIES" ${ARGN})
  set(dir ${CMAKE_CURRENT_BINARY_DIR})
  if(arg_WORKING_DIRECTORY)
    set(dir ${arg_WORKING_DIRECTORY})
  endif()
  set(name ${arg_TEST_PREFIX}${target}${arg_TEST_SUFFIX})
  add_test(NAME ${name} COMMAND ${target} ${arg_EXTRA_ARGS} WORKING_DIRECTORY ${dir})
  if(arg_PROPERTIES)
    set_tests_properties(${name} PROPERTIES ${arg_PROPERTIES})
  endif()
endfunction()
