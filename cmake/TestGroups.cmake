# add_test_group(target labels library sources...): one GoogleTest executable
# per module and capability label, linked with the given library. `labels` is
# one label or a quoted list ("player;streams"). Suites whose name ends in
# "Threads" exercise threads and also carry the "threads" label.
function(add_test_group target label library)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE ${library} GTest::gtest GTest::gtest_main
                        aura_warnings)
  if(AURA_LOCK_RANK_CHECK_ENABLED)
    target_compile_definitions(${target} PRIVATE AURA_LOCK_RANK_CHECK=1)
  endif()
  gtest_discover_tests(${target}
    TEST_FILTER "*Threads.*"
    TEST_LIST ${target}_THREAD_TESTS
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  gtest_discover_tests(${target}
    TEST_FILTER "-*Threads.*"
    TEST_LIST ${target}_OTHER_TESTS
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  # Labels are set once discovery has listed the tests: a list value cannot
  # pass through gtest_discover_tests' PROPERTIES.
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
  file(WRITE ${labels_file}
    "foreach(t IN LISTS ${target}_THREAD_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${label};threads\")\n"
    "endforeach()\n"
    "foreach(t IN LISTS ${target}_OTHER_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${label}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()
