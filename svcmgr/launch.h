// Starting a service process.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/registry.h"

namespace svcmgr {

struct LaunchedService {
  pid_t pid = -1;
  int fd = -1;  // the manager's end of the socket pair, non-blocking, close-on-exec
};

// Forks and execs the registration's ImagePath (no shell, no arguments) in a
// session of its own, with standard input on /dev/null, the folder "/", the
// manager's environment plus VIGILO_SCM_FD naming the service's end of a
// socket pair, and, when User is set, that account's ids, groups, HOME, USER
// and LOGNAME. Returns 0 once the program runs, or the error code of the
// failed step (the account unknown: 1069; the program missing: 2).
uint32_t LaunchService(const platform::ServiceRegistration& registration, LaunchedService& out);

}  // namespace svcmgr
