# add_test_group(target labels library sources... [THREADS suite...]): one
# GoogleTest executable per module and capability label, linked with the
# given library. `labels` is one label or a quoted list ("player;streams").
#
# Tests that start threads also carry the "threads" label, which the
# ThreadSanitizer run selects: tests of suites named after THREADS, and
# suites and tests whose names end in "Threads". Every executable checks it
# (tests/support/thread_label_check.cpp): in the plain builds, a test that
# starts a thread without the label fails.
function(add_test_group target label library)
  cmake_parse_arguments(PARSE_ARGV 3 group "" "" "THREADS")
  add_executable(${target} ${group_UNPARSED_ARGUMENTS})
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
  gtest_discover_tests(${target}
    TEST_FILTER "-${thread_filter}"
    TEST_LIST ${target}_OTHER_TESTS
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
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
