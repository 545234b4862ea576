# Loadable libraries: a test library of the mail interface's tests is loaded.
vigilo_add_test(NAME platform_dynlib_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/dynlib_test.cpp
  LIBS vigilo_platform)
target_compile_definitions(platform_dynlib_tests PRIVATE
  TEST_LIBRARY="$<TARGET_FILE:fake_quennet_def>")
add_dependencies(platform_dynlib_tests fake_quennet_def)
