# The SSH forwarding to other PCs, with a fake ssh program (a script here)
# that relays the forwarded sockets itself.
vigilo_add_test(NAME platform_remote_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/remote_test.cpp
  LIBS vigilo_platform
  LABELS threads)
target_compile_definitions(platform_remote_tests PRIVATE
  FAKE_SSH_PATH="${CMAKE_CURRENT_SOURCE_DIR}/fake_ssh.py")
