# add_test_group(target labels library sources... [THREADS suite...]): one
# GoogleTest executable per module and capability label, linked with the
# given library. `labels` is one label or a quoted list ("player;streams").
#
# Tests that start threads also carry the "threads" label, which the
# ThreadSanitizer run selects: tests of suites named after THREADS, and
# suites and tests whose names end in "Threads". Every executable checks it
# (tests/support/thread_label_check.cpp): in the plain builds, a test that
# starts a thread without the label fails.
#
# Test code is built at -O1 in the optimised builds and at -O0 under
# AddressSanitizer; the libraries it tests keep their own flags. At -O3 the
# tests took twice as long to compile, and instrumented at -O1 four times as
# long, for no gain in what they check.
# GCC 12 at -O1 takes some chains of std::string additions for copies out of
# bounds or overflows (its known false positives on the short-string buffer);
# the ASan run checks the tests' real bounds.
if(AURA_SANITIZE MATCHES "address")
  set(AURA_TEST_COMPILE_OPTIONS -O0)
else()
  set(AURA_TEST_COMPILE_OPTIONS $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-O1>
      $<$<CXX_COMPILER_ID:GNU>:-Wno-array-bounds> $<$<CXX_COMPILER_ID:GNU>:-Wno-stringop-overflow>)
endif()

# One precompiled header of GoogleTest and the standard headers the tests use
# most serves every group of a build: it is built with the groups' own flags,
# so GCC takes it for each of them (-Winvalid-pch, an error here, says when
# it does not).
function(aura_test_pch_host)
  set(source ${PROJECT_BINARY_DIR}/aura_test_pch.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT "// Hosts the tests' precompiled header.\n")
  add_library(aura_test_pch OBJECT ${source})
  target_link_libraries(aura_test_pch PRIVATE GTest::gtest aura_warnings)
  target_compile_options(aura_test_pch PRIVATE ${AURA_TEST_COMPILE_OPTIONS})
  target_precompile_headers(aura_test_pch PRIVATE
    <gtest/gtest.h> <algorithm> <atomic> <chrono> <cmath> <cstdint> <cstdio>
    <cstdlib> <cstring> <filesystem> <functional> <map> <memory> <mutex>
    <random> <string> <thread> <utility> <vector>)
endfunction()
aura_test_pch_host()

function(add_test_group target label library)
  cmake_parse_arguments(PARSE_ARGV 3 group "" "" "THREADS")
  add_executable(${target} ${group_UNPARSED_ARGUMENTS})
  target_compile_options(${target} PRIVATE ${AURA_TEST_COMPILE_OPTIONS})
  target_precompile_headers(${target} REUSE_FROM aura_test_pch)
  # The ThreadSanitizer build runs the "threads" tests alone, so it builds
  # only the groups that can hold one: a group with THREADS suites, or whose
  # sources name something "...Threads" (how such tests are named), or a
  # group labelled "threads" as a whole.
  set(thread_tests_only OFF)
  if(AURA_SANITIZE MATCHES "thread" AND NOT "threads" IN_LIST label)
    set(thread_tests_only ON)
    if(NOT group_THREADS)
      set(threaded OFF)
      foreach(source IN LISTS group_UNPARSED_ARGUMENTS)
        get_filename_component(path ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        file(STRINGS ${path} mentions REGEX "Threads")
        if(mentions)
          set(threaded ON)
          break()
        endif()
      endforeach()
      if(NOT threaded)
        set_target_properties(${target} PROPERTIES EXCLUDE_FROM_ALL ON)
        return()
      endif()
    endif()
  endif()
  if(NOT AURA_SANITIZE AND NOT AURA_FUZZ)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/thread_label_check.cpp)
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  endif()
  target_link_libraries(${target} PRIVATE ${library} GTest::gtest GTest::gtest_main
                        aura_warnings)
  if(AURA_LOCK_RANK_CHECK_ENABLED)
    target_compile_definitions(${target} PRIVATE AURA_LOCK_RANK_CHECK=1)
  endif()
  set(thread_filter "*Threads.*:*.*Threads")
  foreach(suite IN LISTS group_THREADS)
    string(APPEND thread_filter ":${suite}.*")
  endforeach()
  gtest_discover_tests(${target}
    TEST_FILTER "${thread_filter}"
    TEST_LIST ${target}_THREAD_TESTS
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  if(NOT thread_tests_only)
    gtest_discover_tests(${target}
      TEST_FILTER "-${thread_filter}"
      TEST_LIST ${target}_OTHER_TESTS
      DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  endif()
  # Labels are set once discovery has listed the tests: a list value cannot
  # pass through gtest_discover_tests' PROPERTIES. The check reads them from
  # the environment, commas for semicolons.
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  string(REPLACE ";" "," label_commas "${label}")
  file(WRITE ${labels_file}
    "foreach(t IN LISTS ${target}_THREAD_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${label};threads\"\n"
    "                       ENVIRONMENT \"AURA_TEST_LABELS=${label_commas},threads\")\n"
    "endforeach()\n"
    "foreach(t IN LISTS ${target}_OTHER_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${label}\"\n"
    "                       ENVIRONMENT \"AURA_TEST_LABELS=${label_commas}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()
