// svcmgr: the service manager. Runs in the foreground so that the system's
// init can supervise it; logs to syslog, and to standard error while no
// syslog daemon listens.
//
// Environment: VIGILO_RUNTIME_DIR (its socket scm.sock), VIGILO_SCM_DIR (the
// registrations in services/), VIGILO_SCM_TIMEOUT_MS (how long a service may
// take to respond, default 30000), VIGILO_LOCALE_FILE (the locale the
// services get, default /etc/default/locale).
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/process.h"
#include "platform/scm.h"
#include "svcmgr/manager.h"

namespace {

constexpr char kUsage[] =
    "Usage: svcmgr [--help | --version]\n"
    "\n"
    "Runs the services registered in $VIGILO_SCM_DIR/services (default\n"
    "/etc/vigilo/services), starts the automatic ones, starts again those that\n"
    "fail, and answers their clients on $VIGILO_RUNTIME_DIR/scm.sock (default\n"
    "/run/vigilo/scm.sock). It runs in the foreground and logs to syslog.\n"
    "\n"
    "Signals: SIGTERM or SIGINT shut the services down and end svcmgr; SIGHUP\n"
    "reads the registrations again and starts new automatic services.\n"
    "\n"
    "Environment: VIGILO_RUNTIME_DIR, VIGILO_SCM_DIR, VIGILO_SCM_TIMEOUT_MS (how\n"
    "long a service may take to respond, in ms, default 30000), VIGILO_LOCALE_FILE\n"
    "(the locale the services get, default /etc/default/locale), VIGILO_GROUP\n"
    "(the administrators' group, default vigilo).\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "See svcmgr(8).\n";

// Reads VIGILO_SCM_TIMEOUT_MS into `options`; false when it is no positive number.
bool ReadResponseTime(svcmgr::ManagerOptions& options) {
  std::string timeout = platform::GetEnvironmentVariable("VIGILO_SCM_TIMEOUT_MS");
  if (timeout.empty()) return true;
  char* end = nullptr;
  long ms = std::strtol(timeout.c_str(), &end, 10);
  if (*end != '\0' || ms <= 0) return false;
  options.responseTime = std::chrono::milliseconds(ms);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "svcmgr (vigilo) " << VIGILO_VERSION << "\n";
    return 0;
  }
  if (argc > 1) {
    std::cerr << "svcmgr: unknown argument " << argv[1] << "\n" << kUsage;
    return 2;
  }
  svcmgr::ManagerOptions options;
  options.socketPath = platform::ScmSocketPath();
  if (!ReadResponseTime(options)) {
    std::cerr << "svcmgr: VIGILO_SCM_TIMEOUT_MS must be a positive number\n";
    return 2;
  }
  svcmgr::ServiceManager manager(options);
  int rc = manager.Run();
  if (rc != 0) std::cerr << "svcmgr: cannot serve on " << options.socketPath << "\n";
  return rc;
}
