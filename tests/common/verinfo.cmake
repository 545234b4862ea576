# TVersionInfo, read from small programs whose version the build writes.

add_executable(common_verinfo_sample ${CMAKE_CURRENT_SOURCE_DIR}/verinfo_sample.cpp)
target_link_libraries(common_verinfo_sample PRIVATE vigilo_warnings vigilo_include_root)
vigilo_version_section(common_verinfo_sample VERSION 2.5.0.17
  DESCRIPTION "Échantillon de version"
  COPYRIGHT "© 2024 CORVANTE"
  COMMENTS "Programme de test"
  FLAGS DEBUG PRERELEASE)

# The same program without version information.
add_executable(common_verinfo_plain ${CMAKE_CURRENT_SOURCE_DIR}/verinfo_sample.cpp)
target_link_libraries(common_verinfo_plain PRIVATE vigilo_warnings vigilo_include_root)

vigilo_add_test(NAME common_verinfo_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/verinfo_tests.cpp
  LIBS vigilo_common)
vigilo_version_section(common_verinfo_tests VERSION 3.1.4.1 DESCRIPTION "Version tests")
target_compile_definitions(common_verinfo_tests PRIVATE
  VERINFO_SAMPLE="$<TARGET_FILE:common_verinfo_sample>"
  VERINFO_PLAIN="$<TARGET_FILE:common_verinfo_plain>")
add_dependencies(common_verinfo_tests common_verinfo_sample common_verinfo_plain)
