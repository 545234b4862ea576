// Starting a service process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace svcmgr {

struct LaunchedService {
  pid_t pid = -1;
  platform::UniqueFd fd;  // the manager's end of the socket pair, non-blocking, close-on-exec
};

// True when a process of the service whose lock file is `lockPath` is alive.
bool PreviousProcessAlive(const std::string& lockPath);

// Forks and execs the registration's ImagePath (no shell, no arguments) in a
// session of its own, with standard input on /dev/null, the folder "/", the
// manager's environment plus VIGILO_SCM_FD naming the service's end of a
// socket pair, and, when User is set, that account's ids, groups, HOME, USER
// and LOGNAME. LANG and LC_* are the machine's (/etc/default/locale, or the
// file $VIGILO_LOCALE_FILE names; the manager's own when it cannot be read),
// and the registration's Environment entries win over all of these. The process inherits, as
// VIGILO_SCM_LOCK_FD, a lock on the file `lockPath` (which records its pid), held until it ends.
// Returns 0 once the program runs, or the error code of the failed step (a previous process still
// holds the lock: 1056; the account unknown: 1069; the program missing: 2).
uint32_t LaunchService(const platform::ServiceRegistration& registration,
                       const std::string& lockPath, LaunchedService& out);

}  // namespace svcmgr
