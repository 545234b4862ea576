#include "platform/syserror.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(SystemErrorText, TrimsTrailingFullStopsAndBlanks) {
  struct Case {
    uint32_t code;
    const char* text;
  } cases[] = {
      {2, "The system cannot find the file specified"},
      {5, "Access is denied"},
      {53, "The network path was not found"},
      {231, "All pipe instances are busy"},
      {1060, "The specified service does not exist as an installed service"},
      {1063, "The service process could not connect to the service controller"},
      {1067, "The process terminated unexpectedly"},
      {0, "The operation completed successfully"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SystemErrorText(c.code), c.text) << c.code;
}

TEST(SystemErrorText, UnknownCodeIsNamed) {
  EXPECT_EQ(platform::SystemErrorText(4242), "Unknown error 4242");
}

TEST(ErrorFromErrno, MapsKnownValuesAndKeepsTheOthers) {
  EXPECT_EQ(platform::ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(platform::ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(platform::ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(platform::ErrorFromErrno(EEXIST), 183u);
  EXPECT_EQ(platform::ErrorFromErrno(0), 0u);
  uint32_t code = platform::ErrorFromErrno(EXDEV);
  EXPECT_EQ(code, 0x20000000u | EXDEV);
  // The unmapped value keeps strerror's text, trimmed like the others.
  EXPECT_EQ(platform::SystemErrorText(code), "Invalid cross-device link");
}

TEST(SystemError, CarriesCodeAndText) {
  platform::SystemError error(1056);
  EXPECT_EQ(error.Code(), 1056u);
  EXPECT_STREQ(error.what(), "An instance of the service is already running");
}

}  // namespace
