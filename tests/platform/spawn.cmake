# Starting programs: fork, the child's steps, exec, the errno carried back.
vigilo_add_test(NAME platform_spawn_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/spawn_test.cpp
  LIBS vigilo_platform)
