// A stand-in for the alarm service under svcmgr: the service "VazidEre" with
// the two real pipe endpoints, answering the info pipe with a fixed status
// block and the control pipe with $VIGILO_TEST_DIR/vigilo.ini.
#include <chrono>
#include <memory>
#include <thread>

#include "common/datetime.h"
#include "pipes/alr_control.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/service.h"

namespace {

using namespace platform;

class TStandIn;
TStandIn* StandIn = nullptr;

class TStandIn final : public TService {
 public:
  TStandIn() {
    Name = "VazidEre";
    DisplayName = "CORVANTE Alert Service";
    OnStart = [this](TService*, bool&) { Start(); };
    OnExecute = [this](TService*) {
      while (!Terminated()) {
        ProcessControlRequests(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    };
    OnStop = [this](TService*, bool&) { Stop(); };
    OnShutdown = [this](TService*) { Stop(); };
  }
  TServiceController GetServiceController() override { return &Controller; }

 private:
  static void Controller(uint32_t code) { StandIn->PostControlCode(code); }

  void Start() {
    startedAt_ = Now();
    Info = std::make_unique<TAlrSrvInfo>("VigiloInfo", 4);
    Info->OnGetStatus.Set([this](TAlrSrvInfo&, TAlrSrvStatusBlock& status) {
      status.BlockSize = kAlrSrvStatusBlockSize;
      status.VerMajor = 1;
      status.VerMinor = 2;
      status.VerRelease = 3;
      status.LastEventTime = DateTimeToSystemTime(startedAt_);
      SetStatusText(status.LastEventText, "Service d\xE9marr\xE9");
      status.NextCheckTime = DateTimeToSystemTime(startedAt_ + 1.0 / 24);
    });
    Control = std::make_unique<TAlrSrvControl>(
        "VigiloControl", 1, JoinPath(GetEnvironmentVariable("VIGILO_TEST_DIR"), "vigilo.ini"));
  }
  void Stop() {
    Control.reset();
    Info.reset();
  }

  TDateTime startedAt_ = 0;
  std::unique_ptr<TAlrSrvInfo> Info;
  std::unique_ptr<TAlrSrvControl> Control;
};

}  // namespace

int main(int argc, char** argv) {
  TStandIn service;
  StandIn = &service;
  int rc = RunServiceApplication(service, argc, argv);
  StandIn = nullptr;
  return rc;
}
