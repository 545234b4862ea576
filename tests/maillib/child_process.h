// Child processes for the mail tests: a program run to its end with its
// output captured, and a server that runs until its input is closed.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mailtest {

// Changes to the environment of a child: a value sets the variable, nullopt
// removes it; every other variable is inherited.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct ProgramResult {
  int exitCode = -1;   // -1 when the program did not exit normally
  std::string output;  // everything it wrote to stdout
};

// Runs argv[0] (a path) with `argv` in `workDir` (empty: the current one) and
// waits for it. Its stderr goes to ours. Throws std::runtime_error when it
// cannot be started.
ProgramResult RunProgram(const std::vector<std::string>& argv, const EnvChanges& env = {},
                         const std::string& workDir = "");

// A child whose stdin is a pipe held by this object: closing it (Stop, or the
// end of this process) tells the child to end.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of its stdout without the line end; nullopt at its end.
  std::optional<std::string> ReadLine();
  // Closes its stdin and waits for it; returns its exit code (-1 abnormal).
  int Stop();

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string pending_;
};

}  // namespace mailtest
