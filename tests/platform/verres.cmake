# The version section: written by the build, read back from ELF files.

# A program with the default version, the project's.
add_executable(platform_verres_default ${CMAKE_CURRENT_SOURCE_DIR}/verres_default.cpp)
target_link_libraries(platform_verres_default PRIVATE vigilo_warnings vigilo_include_root)
vigilo_version_section(platform_verres_default DESCRIPTION "Default version")

vigilo_add_test(NAME platform_verres_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/verres_tests.cpp
  LIBS vigilo_platform)
vigilo_version_section(platform_verres_tests VERSION 7.6.5
  DESCRIPTION "Verres – décodage" COMMENTS "Tested; with a semicolon" FLAGS PRERELEASE)
target_compile_definitions(platform_verres_tests PRIVATE
  DEFAULT_VERSION_PROGRAM="$<TARGET_FILE:platform_verres_default>"
  PROJECT_VERSION_TEXT="${CMAKE_PROJECT_VERSION}")
add_dependencies(platform_verres_tests platform_verres_default)
