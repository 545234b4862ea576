// The Service Control Manager, client side: open the manager, open a service
// with an access mask, query its status, start it, send it a control code.
//
// The manager is the program svcmgr, reached on $VIGILO_RUNTIME_DIR/scm.sock
// (default /run/vigilo); another PC's through the SSH forwarding of
// platform/remote, with its answers awaited at most kRemoteReplyTime. Each call is one exchange on
// a fresh connection, so handles stay usable when the manager restarts. Rights are checked by the
// manager from the caller's credentials: anyone may query; root, the
// service's own user and the members of the administrators' group
// (platform/accounts.h) may start, stop and control; else error 5.
//
// Every call returns 0 or an error code of platform/syserror, whose text
// SystemErrorText gives: 5 access denied, 53 another PC that cannot be
// reached, 1056 already running, 1058 disabled, 1060 no such
// service, 1061 the service cannot accept the control now, 1062 not active,
// 1722 the manager is not running (there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Service states (dwCurrentState).
enum : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// True for the states a service passes through with check points and a wait hint.
inline bool IsPendingState(uint32_t state) {
  return state == kServiceStartPending || state == kServiceStopPending ||
         state == kServiceContinuePending || state == kServicePausePending;
}

// Control codes. Codes 128 to 255 are the service's own.
enum : uint32_t {
  kServiceControlStop = 1,
  kServiceControlPause = 2,
  kServiceControlContinue = 3,
  kServiceControlInterrogate = 4,
  kServiceControlShutdown = 5,
  kServiceControlUserFirst = 128,
  kServiceControlUserLast = 255,
};

// Controls a service accepts (dwControlsAccepted).
enum : uint32_t {
  kServiceAcceptStop = 1,
  kServiceAcceptPauseContinue = 2,
  kServiceAcceptShutdown = 4,
};

// Access rights of a service handle.
enum : uint32_t {
  kServiceQueryConfig = 0x0001,
  kServiceChangeConfig = 0x0002,
  kServiceQueryStatus = 0x0004,
  kServiceEnumerateDependents = 0x0008,
  kServiceStart = 0x0010,
  kServiceStop = 0x0020,
  kServicePauseContinue = 0x0040,
  kServiceInterrogate = 0x0080,
  kServiceUserDefinedControl = 0x0100,
  kServiceDelete = 0x10000,
  kServiceAllAccess = 0xF01FF,
};

// Access rights of a manager handle.
enum : uint32_t {
  kScManagerConnect = 0x0001,
  kScManagerCreateService = 0x0002,
  kScManagerEnumerateService = 0x0004,
  kScManagerLock = 0x0008,
  kScManagerQueryLockStatus = 0x0010,
  kScManagerModifyBootConfig = 0x0020,
  kScManagerAllAccess = 0xF003F,
};

// Generic rights, valid for both kinds of handle.
enum : uint32_t {
  kGenericRead = 0x80000000,
  kGenericWrite = 0x40000000,
  kGenericExecute = 0x20000000,
  kGenericAll = 0x10000000,
};

enum : uint32_t { kServiceWin32OwnProcess = 0x10 };

struct ServiceStatus {
  uint32_t dwServiceType = kServiceWin32OwnProcess;
  uint32_t dwCurrentState = kServiceStopped;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

// A manager or service handle; destroying it closes it.
class ScHandle {
 public:
  virtual ~ScHandle() = default;
};
using ScHandlePtr = std::unique_ptr<ScHandle>;

// The seam the control program talks through; tests may put a fake in its place.
class ServiceManagerClient {
 public:
  virtual ~ServiceManagerClient() = default;

  // Opens the manager of `machineName` ("PC" or "\\PC"; empty or "." = this
  // PC) with `desiredAccess`.
  virtual uint32_t OpenSCManager(const std::string& machineName, uint32_t desiredAccess,
                                 ScHandlePtr& manager) = 0;
  // Opens service `serviceName` through `manager`; the manager refuses rights
  // the caller does not hold (5) and unknown services (1060).
  virtual uint32_t OpenService(ScHandle& manager, const std::string& serviceName,
                               uint32_t desiredAccess, ScHandlePtr& service) = 0;
  // Needs kServiceQueryStatus.
  virtual uint32_t QueryServiceStatus(ScHandle& service, ServiceStatus& status) = 0;
  // Needs kServiceStart. Returns once the process runs; the service is then
  // start pending until it reports.
  virtual uint32_t StartService(ScHandle& service) = 0;
  // Needs the right of the control (stop: kServiceStop, interrogate:
  // kServiceInterrogate, 128 to 255: kServiceUserDefinedControl). Returns the
  // latest status; an interrogate returns once the service has answered it.
  virtual uint32_t ControlService(ScHandle& service, uint32_t control, ServiceStatus& status) = 0;
};

// The client that talks to svcmgr.
ServiceManagerClient& SystemServiceManager();

// $VIGILO_RUNTIME_DIR/scm.sock
std::string ScmSocketPath();

}  // namespace platform
