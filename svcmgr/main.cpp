// svcmgr: the service manager. Runs in the foreground so that the system's
// init can supervise it; logs to syslog.
//
// Environment: VIGILO_RUNTIME_DIR (its socket scm.sock), VIGILO_SCM_DIR (the
// registrations in services/), VIGILO_SCM_TIMEOUT_MS (how long a service may
// take to respond, default 30000), VIGILO_LOCALE_FILE (the locale the
// services get, default /etc/default/locale).
#include <cstdlib>
#include <iostream>

#include "platform/process.h"
#include "platform/scm.h"
#include "svcmgr/manager.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    std::cerr << "usage: " << argv[0] << "\n";
    return 2;
  }
  svcmgr::ManagerOptions options;
  options.socketPath = platform::ScmSocketPath();
  std::string timeout = platform::GetEnvironmentVariable("VIGILO_SCM_TIMEOUT_MS");
  if (!timeout.empty()) {
    char* end = nullptr;
    long ms = std::strtol(timeout.c_str(), &end, 10);
    if (*end != '\0' || ms <= 0) {
      std::cerr << "svcmgr: VIGILO_SCM_TIMEOUT_MS must be a positive number\n";
      return 2;
    }
    options.responseTime = std::chrono::milliseconds(ms);
  }
  svcmgr::ServiceManager manager(options);
  int rc = manager.Run();
  if (rc != 0) std::cerr << "svcmgr: cannot serve on " << options.socketPath << "\n";
  return rc;
}
