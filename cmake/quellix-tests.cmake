# quellix_add_gtest(target [gtest_discover_tests arguments...]): registers a
# GoogleTest executable with ctest, in both builds under this one name.
#
# Natively every test case becomes its own ctest entry (gtest_discover_tests).
# In the MinGW build discovering cases would run each executable at build time,
# and one entry per case would start Wine hundreds of times: there one entry per
# executable runs all its cases in a single process. Only the arguments that mean
# something without discovery are honoured there (WORKING_DIRECTORY, TEST_PREFIX,
# TEST_SUFFIX, EXTRA_ARGS, PROPERTIES).
include(GoogleTest)

function(quellix_add_gtest target)
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${target} ${ARGN})
    return()
  endif()
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
