# The settings classes and their files.

# Loads the settings from wherever a copy of it is put, to find "qorsvc.ini"
# next to the executable.
add_executable(alr_config_probe ${CMAKE_CURRENT_SOURCE_DIR}/alr_config_probe.cpp)
target_link_libraries(alr_config_probe PRIVATE vigilo_common vigilo_warnings vigilo_include_root)

vigilo_add_test(NAME common_settings_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/qorconfig_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/alr_config_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/chains_test.cpp
  LIBS vigilo_common)
target_compile_definitions(common_settings_tests PRIVATE
  ALR_CONFIG_PROBE="$<TARGET_FILE:alr_config_probe>")
add_dependencies(common_settings_tests alr_config_probe)
