// Programs run by the tests and benchmarks as real processes, and the state
// of a service through the service manager they talk to.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/scm.h"
#include "tests/support/child_runner.h"

namespace testing_support {

// Waits for `done`, false after `limit`: a bound, not a measure.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(90)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// The process whose executable is `program`; -1 when there is none.
inline pid_t FindProcess(const std::string& program) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    if (fs::read_symlink(it->path() / "exe", linkError) == program) return std::stoi(name);
  }
  return -1;
}

// Starts `program` (the service manager, as a rule) with this process's
// environment, as a child that gets `deathSignal` when this thread's process
// ends: a test killed for its time leaves no manager behind. Its pid, or -1.
inline pid_t StartChild(const std::string& program, int deathSignal = SIGTERM) {
  try {
    return ChildProcess({program}, {.deathSignal = deathSignal}).Release();
  } catch (const std::runtime_error&) {
    return -1;
  }
}

// Ends a child started so: SIGTERM (svcmgr then stops its services), SIGKILL
// when it has not ended within `limit`. Its exit status, -1 when it did not exit.
inline int StopChild(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  ::kill(pid, SIGTERM);
  return AwaitExit(pid, std::chrono::steady_clock::now() + limit);
}

// True once the service manager of VIGILO_RUNTIME_DIR answers.
inline bool ManagerAnswers() {
  platform::ScHandlePtr manager;
  return platform::SystemServiceManager().OpenSCManager("", platform::kGenericRead, manager) == 0;
}

// The state of the service `name` (kServiceStopped ...); 0 when it cannot be read.
inline uint32_t ServiceState(const std::string& name) {
  platform::ServiceManagerClient& scm = platform::SystemServiceManager();
  platform::ScHandlePtr manager, service;
  platform::ServiceStatus status;
  if (scm.OpenSCManager("", platform::kScManagerConnect, manager) != 0 ||
      scm.OpenService(*manager, name, platform::kServiceQueryStatus, service) != 0 ||
      scm.QueryServiceStatus(*service, status) != 0) {
    return 0;
  }
  return status.dwCurrentState;
}

// Sends `code` to the service `name` with the right `access`; code 0 starts
// it. 0 or the error code.
inline uint32_t ControlServiceNamed(const std::string& name, uint32_t code, uint32_t access) {
  platform::ServiceManagerClient& scm = platform::SystemServiceManager();
  platform::ScHandlePtr manager, service;
  platform::ServiceStatus status;
  uint32_t rc = scm.OpenSCManager("", platform::kScManagerConnect, manager);
  if (rc == 0) rc = scm.OpenService(*manager, name, access, service);
  if (rc == 0)
    rc = code == 0 ? scm.StartService(*service) : scm.ControlService(*service, code, status);
  return rc;
}

}  // namespace testing_support
