// One client call of the manager, for tests that run it as another user.
//   scm_tool manager ACCESS
//   scm_tool open|query|start NAME ACCESS
//   scm_tool control NAME ACCESS CODE
// Prints the error code of the first call that failed, or 0, then the state
// when the call returned one.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/scm.h"

int main(int argc, char** argv) {
  using namespace platform;
  if (argc < 3) return 2;
  std::string op = argv[1];
  ServiceManagerClient& scm = SystemServiceManager();
  ScHandlePtr manager;
  uint32_t managerAccess = op == "manager"
                               ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0))
                               : uint32_t{kGenericRead};
  uint32_t err = scm.OpenSCManager("", managerAccess, manager);
  if (err != 0 || op == "manager") {
    std::printf("%u\n", err);
    return 0;
  }
  if (argc < 4) return 2;
  ScHandlePtr service;
  err = scm.OpenService(*manager, argv[2], std::strtoul(argv[3], nullptr, 0), service);
  if (err != 0 || op == "open") {
    std::printf("%u\n", err);
    return 0;
  }
  ServiceStatus status;
  if (op == "query") {
    err = scm.QueryServiceStatus(*service, status);
  } else if (op == "start") {
    err = scm.StartService(*service);
  } else if (op == "control" && argc > 4) {
    err = scm.ControlService(*service, std::strtoul(argv[4], nullptr, 0), status);
  } else {
    return 2;
  }
  if (err == 0 && op != "start") {
    std::printf("0 %u\n", status.dwCurrentState);
  } else {
    std::printf("%u\n", err);
  }
  return 0;
}
