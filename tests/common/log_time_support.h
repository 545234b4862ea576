// Helpers of the date-time, time list, path and log tests: temporary folders,
// environment variables set for one test, locales built for a test, and the
// fixed format settings.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/datetime.h"

// glibc's newlocale loses the copy of LOCPATH it splits when the locale is
// already loaded; only the locale tests set LOCPATH. Inline, so that every
// test program that builds a locale gets it once.
extern "C" inline __attribute__((used)) const char* __lsan_default_suppressions() {
  return "leak:__argz_add_sep\n";
}

namespace logtime_test {

// A fresh folder below the system's temporary folder, removed with its content.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vigilo-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable until it goes.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

// Builds the UTF-8 locale `name` (such as "fi_FI") from the system's locale
// sources into a folder of its own, once per process, and returns the folder
// to put in LOCPATH; empty when localedef or the sources are missing.
inline std::string BuildLocale(const std::string& name) {
  static TempFolder folder;
  const std::string target = folder / (name + ".UTF-8");
  if (!std::filesystem::exists(target + "/LC_TIME")) {
    const std::string command =
        "localedef -c -i " + name + " -f UTF-8 '" + target + "' >/dev/null 2>&1";
    [[maybe_unused]] int rc = std::system(command.c_str());
  }
  return std::filesystem::exists(target + "/LC_TIME") ? folder.path() : "";
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
