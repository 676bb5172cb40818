# orvane_add_test(NAME name SOURCES ... LIBRARIES ... [LABELS ...])
# One GoogleTest executable per library; CTest runs it as one test so that
# suites stay lean on small machines. LABELS "thread" marks tests that the
# ThreadSanitizer build runs.
function(orvane_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBRARIES} GTest::gtest GTest::gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  # The system's font libraries keep caches for the life of the process and
  # guard them their own way: the sanitizer builds must not count those as
  # our leaks or races.
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if("thread" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY ORVANE_THREAD_TEST_TARGETS ${T_NAME})
  endif()
endfunction()
