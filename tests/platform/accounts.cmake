# Accounts and the administrators' group, against the machine's own user and
# group databases (a group of its own is made when the test runs as root).
vigilo_add_test(NAME platform_accounts_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/accounts_test.cpp
  LIBS vigilo_platform)
