# Profile (INI) files.

vigilo_add_test(NAME platform_profile_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/profile_test.cpp
  LIBS vigilo_platform)

vigilo_add_test(NAME platform_profile_threads_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/profile_threads_test.cpp
  LIBS vigilo_platform
  LABELS threads)
