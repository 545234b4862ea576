// Shared set-up of the settings tests: a folder of their own, the service
// registration store inside it, and a log whose reports are recorded.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/debuglog.h"
#include "platform/eventlog.h"
#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace testing_support {

// Stands in for the service's event log: keeps every report.
class RecordingSink : public platform::EventSink {
 public:
  void ReportEvent(platform::EventType type, const std::string& message) override {
    std::lock_guard<std::mutex> guard(lock_);
    events_.emplace_back(type, message);
  }
  // The messages reported as errors (level 3), in order.
  std::vector<std::string> Errors() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> out;
    for (const auto& [type, message] : events_) {
      if (type == platform::EventType::Error) out.push_back(message);
    }
    return out;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    events_.clear();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::pair<platform::EventType, std::string>> events_;
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("scm/services"));
    std::filesystem::create_directories(dir_.File("home"));
    std::filesystem::create_directories(dir_.File("run"));
    platform::SetEnvironmentVariable("VIGILO_SCM_DIR", dir_.File("scm"));
    platform::SetEnvironmentVariable("VIGILO_RUNTIME_DIR", dir_.File("run"));
    platform::SetEnvironmentVariable("HOME", dir_.File("home"));
    SetLogTarget(&sink_, dir_.File("test.log"));
  }
  void TearDown() override { ClearLogTarget(); }

  // Registers the data-acquisition service with this ImagePath.
  void RegisterQorSvc(const std::string& imagePath) {
    dir_.Write("scm/services/qorsvc.ini", "[Service]\r\nImagePath=" + imagePath + "\r\n");
  }

  // Writes "qorsvc.ini" into the folder `sub` and registers a service image
  // in that folder, so that the settings find it.
  std::string WriteQorSettings(const std::string& text, const std::string& sub = "acq") {
    std::filesystem::create_directories(dir_.File(sub));
    RegisterQorSvc(dir_.File(sub + "/acqsvc"));
    return dir_.Write(sub + "/qorsvc.ini", text);
  }

  TempFolder dir_;
  RecordingSink sink_;
};

}  // namespace testing_support
