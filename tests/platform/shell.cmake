# Desktop folders and shell link files.
vigilo_add_test(NAME platform_shell_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/shell_test.cpp
  LIBS vigilo_platform)
