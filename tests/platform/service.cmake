# The service framework (threads of its own), the manager client's wire format
# and the registration store.
vigilo_add_test(NAME platform_service_tests
  SOURCES service_test.cpp registry_test.cpp
  LIBS vigilo_platform
  LABELS threads)
