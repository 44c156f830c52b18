# Tests of the Windows build, run under wine (included by tests/CMakeLists.txt).
#
# - GoogleTest is built from source with the cross compiler
#   (VYHID_GOOGLETEST_SOURCE_DIR, Debian's googletest package by default).
# - Every test that runs a Windows program requires the fixture `wine`: one
#   persistent wineserver for the whole run (wine-env.sh up/down). Without it
#   every program starts its own server, and ctest waits seconds for each to
#   linger out.
# - gtest_discover_tests registers one test per executable, which runs all of
#   its cases in one wine process: starting wine costs far more than a case.
#   With VYHID_WINE_TEST_PER_CASE=ON each case is a test of its own, found when
#   ctest runs (DISCOVERY_MODE PRE_TEST), so that building needs no wine.
set(VYHID_GOOGLETEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "GoogleTest's source (the googletest folder) for the cross build")
option(VYHID_WINE_TEST_PER_CASE "Under wine, one CTest test per GoogleTest case" OFF)

if(NOT EXISTS ${VYHID_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest source not found in ${VYHID_GOOGLETEST_SOURCE_DIR} "
                      "(Debian: googletest)")
endif()
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VYHID_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main)
  # GoogleTest is not ours to keep free of warnings.
  target_compile_options(${lib} PRIVATE -w)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
include(GoogleTest)
find_package(Threads REQUIRED)  # as GoogleTest's package brings it on Linux

set(VYHID_WINE_ENV ${CMAKE_CURRENT_LIST_DIR}/wine-env.sh)
add_executable(wine_keeper ${CMAKE_CURRENT_LIST_DIR}/wine-keeper.c)
add_test(NAME wine_up COMMAND ${VYHID_WINE_ENV} up $<TARGET_FILE:wine_keeper>)
add_test(NAME wine_down COMMAND ${VYHID_WINE_ENV} down)
# The fixture works on the prefix of the build's bitness, as the emulator
# does (the toolchain file sets VYHID_WINE_ARCH).
set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP wine TIMEOUT 120
                     ENVIRONMENT VYHID_WINE_ARCH=${VYHID_WINE_ARCH})
set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
                     ENVIRONMENT VYHID_WINE_ARCH=${VYHID_WINE_ARCH})

# Replaces GoogleTest's gtest_discover_tests for the whole tests/ tree; takes
# the same arguments and honours TEST_PREFIX, EXTRA_ARGS and PROPERTIES.
function(gtest_discover_tests target)
  cmake_parse_arguments(arg "NO_PRETTY_TYPES;NO_PRETTY_VALUES"
    "TEST_PREFIX;TEST_SUFFIX;WORKING_DIRECTORY;DISCOVERY_TIMEOUT;DISCOVERY_MODE;TEST_LIST;XML_OUTPUT_DIR"
    "EXTRA_ARGS;PROPERTIES;TEST_FILTER" ${ARGN})
  if(VYHID_WINE_TEST_PER_CASE)
    _gtest_discover_tests(${target} ${ARGN} DISCOVERY_MODE PRE_TEST
                          PROPERTIES ${arg_PROPERTIES} FIXTURES_REQUIRED wine)
    return()
  endif()
  set(name ${arg_TEST_PREFIX}${target}${arg_TEST_SUFFIX})
  add_test(NAME ${name} COMMAND ${target} ${arg_EXTRA_ARGS})
  if(arg_PROPERTIES)
    set_tests_properties(${name} PROPERTIES ${arg_PROPERTIES})
  endif()
  set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine)
endfunction()
