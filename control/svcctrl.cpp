#include "control/svcctrl.h"

#include <algorithm>

#include "control/control_resstr.h"
#include "platform/syserror.h"

using namespace platform;

namespace {

std::string OSErrorText(uint32_t code) {
  if (code == 0) return cfgstr::SUnkOSError;
  return cfgstr::Format(cfgstr::SOSError, {std::to_string(code), SystemErrorText(code)});
}

struct WaitKind {
  uint32_t Access;
  uint32_t TargetState;
  const char* FailureText;
};

// What a start and a stop share: open, ask, then query while the check point advances.
template <typename Request, typename Pause>
void ChangeStateAndWait(ServiceManagerClient& Scm, ScHandle& SCMHandle,
                        const std::string& ServiceName, const TSleep& Sleep, const WaitKind& kind,
                        Request request, Pause pause) {
  ScHandlePtr service;
  if (uint32_t err = Scm.OpenService(SCMHandle, ServiceName, kind.Access, service)) {
    RaiseLastOSError(err);
  }
  ServiceStatus status;
  if (uint32_t err = request(*service, status)) RaiseLastOSError(err);
  if (uint32_t err = Scm.QueryServiceStatus(*service, status)) RaiseLastOSError(err);
  while (status.dwCurrentState != kind.TargetState) {
    const uint32_t checkPoint = status.dwCheckPoint;
    Sleep(std::min(pause(status), kMaxWaitPause));
    if (uint32_t err = Scm.QueryServiceStatus(*service, status)) RaiseLastOSError(err);
    if (status.dwCheckPoint <= checkPoint) break;
  }
  if (status.dwCurrentState != kind.TargetState) throw Exception(kind.FailureText);
}

}  // namespace

EOSError::EOSError(uint32_t code) : Exception(OSErrorText(code)), code_(code) {}

void RaiseLastOSError(uint32_t code) {
  throw EOSError(code);
}

std::string ServiceStateText(uint32_t State) {
  switch (State) {
    case kServiceStopped:
      return cfgstr::SServiceStopped;
    case kServiceStartPending:
      return cfgstr::SServiceStarting;
    case kServiceStopPending:
      return cfgstr::SServiceStopping;
    case kServiceRunning:
      return cfgstr::SServiceRunning;
    case kServiceContinuePending:
      return cfgstr::SServiceResuming;
    case kServicePausePending:
      return cfgstr::SServicePausing;
    case kServicePaused:
      return cfgstr::SServicePaused;
    default:
      return cfgstr::SServiceStateUnknown;
  }
}

void StartServiceAndWait(ServiceManagerClient& Scm, ScHandle& SCMHandle,
                         const std::string& ServiceName, const TSleep& Sleep) {
  ChangeStateAndWait(
      Scm, SCMHandle, ServiceName, Sleep,
      {kServiceStart | kServiceQueryStatus, kServiceRunning, cfgstr::SFailedToStart},
      [&](ScHandle& service, ServiceStatus&) { return Scm.StartService(service); },
      [](const ServiceStatus& status) { return status.dwWaitHint; });
}

void StopServiceAndWait(ServiceManagerClient& Scm, ScHandle& SCMHandle,
                        const std::string& ServiceName, const TSleep& Sleep) {
  ChangeStateAndWait(
      Scm, SCMHandle, ServiceName, Sleep,
      {kServiceStop | kServiceQueryStatus, kServiceStopped, cfgstr::SFailedToStop},
      [&](ScHandle& service, ServiceStatus& status) {
        return Scm.ControlService(service, kServiceControlStop, status);
      },
      [](const ServiceStatus&) { return kStopWaitPause; });
}
