// Helpers of the date-time, time list, path and log tests: environment
// variables set for one test, locales built for a test, and the fixed format
// settings.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/datetime.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

// glibc's newlocale loses the copy of LOCPATH it splits when the locale is
// already loaded; only the locale tests set LOCPATH. Inline, so that every
// test program that builds a locale gets it once.
extern "C" inline __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:__argz_add_sep\n";
}

namespace logtime_test {

using testing_support::ScopedEnv;

// Builds the UTF-8 locale `name` (such as "fi_FI") from the system's locale
// sources into a folder of its own, once per process, and returns the folder
// to put in LOCPATH; empty when localedef or the sources are missing.
inline std::string BuildLocale(const std::string& name) {
  static testing_support::TempFolder folder;
  const std::string target = folder.File(name + ".UTF-8");
  if (!std::filesystem::exists(target + "/LC_TIME")) {
    const std::string command =
        "localedef -c -i " + name + " -f UTF-8 '" + target + "' >/dev/null 2>&1";
    [[maybe_unused]] int rc = std::system(command.c_str());
  }
  return std::filesystem::exists(target + "/LC_TIME") ? folder.Path() : "";
}

// The settings of the settings files and the log, whatever the locale.
inline void ExpectFixedFormatSettings(const TFormatSettings& fs) {
  EXPECT_EQ(fs.DecimalSeparator, '.');
  EXPECT_EQ(fs.DateSeparator, '/');
  EXPECT_EQ(fs.TimeSeparator, ':');
  EXPECT_EQ(fs.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(fs.ShortTimeFormat, "hh:nn");
  EXPECT_EQ(fs.LongTimeFormat, "hh:nn:ss");
}

}  // namespace logtime_test
