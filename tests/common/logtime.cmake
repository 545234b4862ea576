# Date-times, time list, path functions and the log.
vigilo_add_test(NAME common_time_tests
  SOURCES datetime_test.cpp timelist_test.cpp
  LIBS vigilo_common)
vigilo_add_test(NAME common_comserv_tests
  SOURCES comserv_test.cpp
  LIBS vigilo_common)
target_compile_definitions(common_comserv_tests PRIVATE
  VIGILO_TEST_BINARY_DIR="$<TARGET_FILE_DIR:common_comserv_tests>")
vigilo_add_test(NAME common_log_tests
  SOURCES debuglog_test.cpp
  LIBS vigilo_common
  LABELS threads)
# A log linked in from elsewhere must lie in folders no other user may write:
# those tests make their folders in the build tree, not in /tmp.
target_compile_definitions(common_log_tests PRIVATE
  TRUSTED_TEST_BASE="${CMAKE_CURRENT_BINARY_DIR}")
