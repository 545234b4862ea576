// Retrying system calls that a signal interrupted.
#pragma once

#include <cerrno>

namespace platform {

// Calls `call` until it does not fail with EINTR and returns its last result.
// For calls that report failure as -1 and set errno (read, write, poll,
// connect, waitpid, flock...). Never for close(): see UniqueFd.
template <typename Call>
auto RetryOnEintr(Call&& call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace platform
