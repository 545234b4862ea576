// Fakes at the control program's seams: a service manager whose answers a
// test scripts, a pipe that answers with given bytes, a view and message
// boxes that record what they are told.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "control/control_platform.h"
#include "pipes/pipe_messages.h"
#include "platform/scm.h"

namespace control_test {

class FakeScm final : public platform::ServiceManagerClient {
 public:
  struct Handle final : platform::ScHandle {
    Handle(FakeScm& owner, std::string what) : Owner(owner), What(std::move(what)) {
      ++Owner.OpenHandles;
    }
    ~Handle() override {
      --Owner.OpenHandles;
      Owner.Log.push_back("close " + What);
    }
    FakeScm& Owner;
    std::string What;
  };

  uint32_t OpenSCManager(const std::string& machineName, uint32_t desiredAccess,
                         platform::ScHandlePtr& manager) override {
    Log.push_back("open-manager " + machineName + " " + std::to_string(desiredAccess));
    if (ManagerError) return ManagerError;
    manager = std::make_unique<Handle>(*this, "manager");
    return 0;
  }
  uint32_t OpenService(platform::ScHandle&, const std::string& serviceName, uint32_t desiredAccess,
                       platform::ScHandlePtr& service) override {
    Log.push_back("open-service " + serviceName + " " + std::to_string(desiredAccess));
    uint32_t err = desiredAccess == platform::kServiceQueryStatus ? ServiceError : WaitOpenError;
    if (err) return err;
    service = std::make_unique<Handle>(*this, "service " + std::to_string(desiredAccess));
    return 0;
  }
  // Hands out States front to back; the last one stays.
  uint32_t QueryServiceStatus(platform::ScHandle&, platform::ServiceStatus& status) override {
    ++Queries;
    if (!QueryErrors.empty()) {
      uint32_t err = QueryErrors.front();
      QueryErrors.pop_front();
      if (err) return err;
    }
    status = States.front();
    if (States.size() > 1) States.pop_front();
    return 0;
  }
  uint32_t StartService(platform::ScHandle&) override {
    Log.push_back("start");
    return StartError;
  }
  uint32_t ControlService(platform::ScHandle&, uint32_t control,
                          platform::ServiceStatus& status) override {
    Log.push_back("control " + std::to_string(control));
    status = States.front();
    return ControlError;
  }

  static platform::ServiceStatus State(uint32_t state, uint32_t checkPoint = 0,
                                       uint32_t waitHint = 0) {
    platform::ServiceStatus s;
    s.dwCurrentState = state;
    s.dwCheckPoint = checkPoint;
    s.dwWaitHint = waitHint;
    return s;
  }
  void SetStates(std::initializer_list<platform::ServiceStatus> states) { States = states; }

  uint32_t ManagerError = 0, ServiceError = 0, WaitOpenError = 0, StartError = 0, ControlError = 0;
  std::deque<uint32_t> QueryErrors;  // consumed one per query; 0 lets it through
  std::deque<platform::ServiceStatus> States{State(platform::kServiceStopped)};
  int OpenHandles = 0;
  int Queries = 0;
  std::vector<std::string> Log;
};

class FakePipe final : public TPipeClient {
 public:
  uint32_t CallNamedPipe(const std::string& pipePath, const uint8_t* request, uint32_t requestSize,
                         uint8_t* answer, uint32_t answerSize, uint32_t& answerCount) override {
    Paths.push_back(pipePath);
    Requests.emplace_back(request, request + requestSize);
    if (Error) return Error;
    const std::vector<uint8_t> given = Answers.empty() ? Answer : Answers.front();
    if (!Answers.empty()) Answers.pop_front();
    answerCount = static_cast<uint32_t>(std::min<size_t>(given.size(), answerSize));
    if (answerCount != 0) std::memcpy(answer, given.data(), answerCount);
    return 0;
  }
  uint32_t Error = 0;
  std::deque<std::vector<uint8_t>> Answers;  // one per call, before Answer
  std::vector<uint8_t> Answer;
  std::vector<std::string> Paths;
  std::vector<std::vector<uint8_t>> Requests;
};

// An answer: the header with `command`, `dataLength` and `errorCode`, then
// `payload`, cut or padded with zeros to `size` bytes (0: header + payload).
std::vector<uint8_t> MakeAnswer(std::string_view command, uint32_t dataLength,
                                const std::vector<uint8_t>& payload = {}, size_t size = 0,
                                int32_t errorCode = 0);

// An "ANSGETSTATS" of `size` bytes carrying `statistics` and `status`.
std::vector<uint8_t> StatsAnswer(const TPipeStatistics& statistics,
                                 const TAlrSrvStatusBlock& status, size_t size = kAnsGetStatsSize);

class FakeView final : public TSvcControlView {
 public:
  void SetCaption(const std::string& control, const std::string& text) override {
    Captions[control] = text;
  }
  void SetHint(const std::string& control, const std::string& text) override {
    Hints[control] = text;
  }
  void SetEnabled(const std::string& control, bool enabled) override { Enabled[control] = enabled; }
  void SetPanelText(int panel, const std::string& text) override {
    Panels[panel] = text;
    PanelHistory.push_back(text);
  }
  void InvalidateStatusBar() override { ++Invalidations; }
  void RepaintStatusBar() override { Log.push_back("repaint"); }
  void SetWaitCursor(bool on) override {
    Cursor += on ? 1 : -1;
    Log.push_back(on ? "hourglass" : "cursor");
  }
  void StopTimer() override { Log.push_back("stop-timer"); }
  void StartTimer() override { Log.push_back("start-timer"); }

  std::map<std::string, std::string> Captions, Hints;
  std::map<std::string, bool> Enabled;
  std::map<int, std::string> Panels;
  std::vector<std::string> PanelHistory;
  std::vector<std::string> Log;
  int Invalidations = 0;
  int Cursor = 0;
};

class FakeBoxes final : public TMessageBoxes {
 public:
  void ShowInformation(const std::string& text) override { Infos.push_back(text); }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  bool AskYesNo(const std::string& text) override {
    Questions.push_back(text);
    return Answer;
  }
  std::vector<std::string> Infos, Errors, Questions;
  bool Answer = false;
};

// Boxes that print "info <text>" and "error <text>" lines on the standard output.
class PrintingBoxes final : public TMessageBoxes {
 public:
  void ShowInformation(const std::string& text) override { std::printf("info %s\n", text.c_str()); }
  void ShowError(const std::string& text) override { std::printf("error %s\n", text.c_str()); }
  // Answers No.
  bool AskYesNo(const std::string& text) override {
    std::printf("question %s\n", text.c_str());
    return false;
  }
};

}  // namespace control_test
