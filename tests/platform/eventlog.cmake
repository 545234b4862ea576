# The system log.
vigilo_add_test(NAME platform_eventlog_tests
  SOURCES eventlog_test.cpp
  LIBS vigilo_platform)
