// Service start and stop through the service manager, waiting for the new
// state, and the texts of the service states.
#pragma once

#include <cstdint>
#include <string>

#include "common/exceptions.h"
#include "control/control_platform.h"
#include "platform/scm.h"

// A failed platform call: "System Error.  Code: <code>." CR LF and the
// system's text for the code, or "A call to an OS function failed" for code 0.
class EOSError : public Exception {
 public:
  explicit EOSError(uint32_t code);
  uint32_t ErrorCode() const { return code_; }

 private:
  uint32_t code_;
};

[[noreturn]] void RaiseLastOSError(uint32_t code);

// The text of a service state (dwCurrentState).
std::string ServiceStateText(uint32_t State);

// The longest pause between two state queries of a wait: a service that
// reports a huge wait hint cannot block the window for longer at a time.
constexpr uint32_t kMaxWaitPause = 10000;
// The pause between the queries of a stop.
constexpr uint32_t kStopWaitPause = 2000;

// Opens the service with start (stop) and query rights, starts (stops) it and
// queries it until it runs (is stopped), pausing between queries. The wait
// ends as soon as a query finds the check point not advanced: then
// "Failed to start service" ("Failed to stop service") is raised unless the
// service has arrived. Failing calls raise EOSError. The handle the functions
// open is closed before they return.
void StartServiceAndWait(platform::ServiceManagerClient& Scm, platform::ScHandle& SCMHandle,
                         const std::string& ServiceName, const TSleep& Sleep);
void StopServiceAndWait(platform::ServiceManagerClient& Scm, platform::ScHandle& SCMHandle,
                        const std::string& ServiceName, const TSleep& Sleep);
