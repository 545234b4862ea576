# Text conversions and collation.

pkg_check_modules(ICU_TESTS REQUIRED IMPORTED_TARGET icu-uc)

# A process of its own per locale: the collator follows the environment it starts with.
add_executable(platform_text_probe ${CMAKE_CURRENT_SOURCE_DIR}/text_probe.cpp)
target_link_libraries(platform_text_probe PRIVATE vigilo_platform vigilo_warnings vigilo_include_root)

vigilo_add_test(NAME platform_text_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/text_tests.cpp
  LIBS vigilo_platform PkgConfig::ICU_TESTS
  LABELS threads)
target_compile_definitions(platform_text_tests PRIVATE
  TEXT_PROBE_PATH="$<TARGET_FILE:platform_text_probe>")
add_dependencies(platform_text_tests platform_text_probe)
