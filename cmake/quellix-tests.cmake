# quellix_add_gtest(target [EACH_CASE] [gtest_discover_tests arguments...]):
# registers a GoogleTest executable with ctest, in both builds under this one name.
#
# Natively every test case becomes its own ctest entry (gtest_discover_tests), so
# that `ctest -R` picks cases. In the MinGW build discovering cases would run each
# executable at build time, and one entry per case would start Wine hundreds of
# times: there one entry per executable runs all its cases in a single process. The
# sanitizer build does the same (QUELLIX_CTEST_PER_EXECUTABLE): a process per case
# there cost twice the processor time of the cases themselves. Only the arguments
# that mean something without discovery are honoured then (WORKING_DIRECTORY,
# TEST_PREFIX, TEST_SUFFIX, EXTRA_ARGS, PROPERTIES).
#
# EACH_CASE keeps one entry per case in every Linux build: for an executable whose
# cases mostly wait on programs they start, so that ctest spreads them over the
# processors instead of running them one after another.
#
# Its test files are compiled with GoogleTest's header precompiled, once for the
# whole build, and as one unit per executable (quellix_test_code): parsing that
# header and instantiating GoogleTest's templates was most of each file's time. The
# files of one executable therefore share one namespace: names at file scope, even
# in an unnamed namespace, must differ between them (shared ones go in a header).
include(GoogleTest)

add_library(quellix_gtest_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/gtest_pch.cpp)
target_link_libraries(quellix_gtest_pch PRIVATE GTest::gtest)
target_precompile_headers(quellix_gtest_pch PRIVATE <gtest/gtest.h>)

# quellix_test_code(target): the target's files are test code and use that header.
function(quellix_test_code target)
  target_precompile_headers(${target} REUSE_FROM quellix_gtest_pch)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON)
endfunction()

function(quellix_add_gtest target)
  cmake_parse_arguments(each "EACH_CASE" "" "" ${ARGN})
  quellix_test_code(${target})
  if(NOT CMAKE_CROSSCOMPILING AND (each_EACH_CASE OR NOT QUELLIX_CTEST_PER_EXECUTABLE))
    gtest_discover_tests(${target} ${each_UNPARSED_ARGUMENTS})
    return()
  endif()
  cmake_parse_arguments(arg "NO_PRETTY_TYPES;NO_PRETTY_VALUES"
    "WORKING_DIRECTORY;TEST_PREFIX;TEST_SUFFIX;TEST_LIST;DISCOVERY_TIMEOUT;XML_OUTPUT_DIR;DISCOVERY_MODE"
    "EXTRA_ARGS;PROPERTIES" ${each_UNPARSED_ARGUMENTS})
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
