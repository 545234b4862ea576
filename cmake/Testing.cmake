# vigilo_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [PROPERTIES name value ...])
# One GoogleTest executable; every test case becomes a CTest test. PROPERTIES
# are further CTest properties of every case (FIXTURES_REQUIRED, ENVIRONMENT...).
# Tests labelled "threads" also run under ThreadSanitizer in CI. In an
# AddressSanitizer build every test reads the leak suppressions of
# tests/lsan.supp (leaks of outside libraries), so that no product module has
# to carry them; in a ThreadSanitizer build, tests/tsan.supp.
set(VIGILO_TEST_ENVIRONMENT "")
if(VIGILO_SANITIZE STREQUAL "address")
  set(VIGILO_TEST_ENVIRONMENT
      ENVIRONMENT_MODIFICATION "LSAN_OPTIONS=set:suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
elseif(VIGILO_SANITIZE STREQUAL "thread")
  set(VIGILO_TEST_ENVIRONMENT
      ENVIRONMENT_MODIFICATION
      "TSAN_OPTIONS=string_append::suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
endif()

function(vigilo_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads
                      vigilo_warnings vigilo_include_root)
  set(properties TIMEOUT 300 ${VIGILO_TEST_ENVIRONMENT} ${T_PROPERTIES})
  if(T_LABELS)
    list(APPEND properties LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# vigilo_uses_installation(target): the target lays out an installation of
# its own (service_test::MakeInstallation) and runs its programs: their paths
# as compile definitions, and the programs built first.
function(vigilo_uses_installation target)
  target_compile_definitions(${target} PRIVATE
    VIGILO_PROGRAM="$<TARGET_FILE:vigilo>"
    SVCMGR_PROGRAM="$<TARGET_FILE:svcmgr>"
    QUENNET_LIBRARY="$<TARGET_FILE:quennet>"
    REPORT_ICON="${PROJECT_SOURCE_DIR}/service/report.ico")
  add_dependencies(${target} vigilo svcmgr quennet)
endfunction()
