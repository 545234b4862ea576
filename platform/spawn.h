// Starting a program as a child process: fork, a few steps in the child,
// exec, and the child's errno carried back when any of it fails.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One thing the child does between fork and exec; 0 to go on, otherwise the
// errno value of what failed (or a negative value of the caller's own, for a
// failure that is no system call's), which ends the child and is what Spawn
// reports.
//
// A step runs in a copy of a process that may have had other threads, whose
// locks (malloc's among them) may stay taken for ever in the child: it makes
// async-signal-safe system calls only, on data prepared before Spawn. It
// allocates nothing (no new or malloc, no std::string or vector that grows,
// no exception), takes no lock, reads no account database (no getpwnam,
// initgroups: look them up before, then setgroups/setgid/setuid), and
// writes to nothing of the parent's memory it means the parent to see.
using ChildStep = std::function<int()>;

// A descriptor of the child: `target` is `source` of the parent. A
// `source` equal to its `target` keeps the parent's descriptor of that
// number as it is, if it is open (the standard streams one inherits).
struct ChildFd {
  int target;
  int source;
};

struct SpawnRequest {
  std::string program;                          // a path: no search on PATH
  std::vector<std::string> args;                // argv, args[0] included
  std::optional<std::vector<std::string>> env;  // NAME=value; nullopt: ours
  std::vector<ChildFd> fds;                     // the only descriptors the program gets
  std::vector<ChildStep> steps;                 // run in order after the descriptors are set
};

// Starts `request.program`. In the child: every signal blocked and reset to
// its default action (ignored ones too), the descriptors of `fds` set (every other one closed at
// exec, whatever its flags), the steps run with every signal still blocked, the signal mask
// emptied, then exec. Returns kErrorSuccess once the program
// runs, with `pid` set: the caller reaps it. When a step or exec failed, the
// child has been reaped, `pid` is -1, `childError` (if given) is what the
// step returned or exec's errno, and the result is its code (ErrorFromErrno;
// kErrorGenFailure for a negative one). When the pipe or the fork failed in
// this process, their code, and `childError` is 0.
uint32_t Spawn(const SpawnRequest& request, pid_t& pid, int* childError = nullptr);

// `program` as a path for SpawnRequest::program: as it is when it holds a
// "/", else the first regular file of that name with an execute bit that we
// may run in a folder of $PATH (or /usr/local/bin:/usr/bin:/bin when PATH is
// empty; empty entries are skipped, never taken as "."), else `program`
// itself, which then fails at exec with ENOENT.
std::string ProgramOnPath(const std::string& program);

}  // namespace platform
