# The service framework (threads of its own), the manager client's wire format
# and the registration store.
vigilo_add_test(NAME platform_service_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/service_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/scm_wire_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/registry_test.cpp
  LIBS vigilo_platform
  LABELS threads)
