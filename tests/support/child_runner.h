// The tests' one way to run a program as a child process: its output
// captured, its exit status, a bound on its time, the environment changed,
// another account to run as.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/eintr.h"
#include "platform/spawn.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace testing_support {

// Changes to the environment of a child: a value sets the variable, nullopt
// removes it; every other variable is inherited.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct ChildOptions {
  EnvChanges env = {};
  bool inheritEnv = true;         // false: `env` is its whole environment
  std::string workDir = {};       // empty: ours
  std::optional<uid_t> uid = {};  // run as uid, gid and no other group
  gid_t gid = 0;
  int deathSignal = 0;          // sent to it when this thread ends; 0: none
  bool input = false;           // its stdin a pipe we hold; otherwise ours
  bool captureOutput = false;   // its stdout read by us; otherwise ours
  bool captureErrors = false;   // its stderr read by us; otherwise ours
  bool errorsToOutput = false;  // its stderr into its captured stdout, in order
  bool searchPath = false;      // argv[0] looked up on PATH
};

struct ProgramResult {
  int exitCode = -1;   // -1 when it did not exit normally (or within its time)
  std::string output;  // its stdout, when captured
  std::string errors;  // its stderr, when captured
};

// The exit status of our child `pid` once it ended; killed, reaped and -1
// when `deadline` passed first; -1 too when it did not exit normally.
inline int AwaitExit(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const bool inTime = reaped == pid;
  if (reaped == 0) {
    ::kill(pid, SIGKILL);
    platform::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
  }
  return inTime && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child process. The destructor closes its stdin and waits for it (killed
// after a minute) unless Release() gave it up.
class ChildProcess {
 public:
  // Starts argv[0] with `argv`; throws std::runtime_error when it cannot run.
  explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {}) {
    platform::SpawnRequest request{
        options.searchPath ? platform::ProgramOnPath(argv.at(0)) : argv.at(0),
        argv,
        Environment(options.env, options.inheritEnv),
        {{0, 0}, {1, 1}, {2, 2}},
        {}};
    platform::UniqueFd childIn, childOut, childErr;
    if (options.input) Pipe(childIn, input_, request.fds[0]);
    if (options.captureOutput) Pipe(output_, childOut, request.fds[1]);
    if (options.captureErrors) Pipe(errors_, childErr, request.fds[2]);
    if (options.errorsToOutput && options.captureOutput) request.fds[2].source = childOut.get();
    AddSteps(options, request.steps);
    int childError = 0;
    if (uint32_t rc = platform::Spawn(request, pid_, &childError)) {
      throw std::runtime_error(
          "cannot start " + argv[0] + ": " +
          (childError > 0 ? std::strerror(childError) : platform::SystemErrorText(rc)));
    }
  }
  ~ChildProcess() {
    if (pid_ > 0) Stop(std::chrono::seconds(60), 0);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // The next line of its stdout without the line end; nullopt at its end.
  std::optional<std::string> ReadLine() {
    for (;;) {
      if (size_t nl = pendingOut_.find('\n'); nl != std::string::npos) {
        std::string line = pendingOut_.substr(0, nl);
        pendingOut_.erase(0, nl + 1);
        return line;
      }
      if (!ReadSome(output_, pendingOut_)) return std::nullopt;
    }
  }

  // Closes its stdin (a server of ours ends then), waits up to `limit` for it
  // to end, reading what it writes; sends `signal` first unless 0. Its exit
  // status, -1 when it did not exit or was killed at `limit`.
  ProgramResult Stop(std::chrono::milliseconds limit, int signal = SIGTERM) {
    input_.reset();
    if (signal != 0) ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    ProgramResult result;
    while (output_.get() >= 0 || errors_.get() >= 0) {
      if (!Poll(deadline)) break;
    }
    result.exitCode = Reap(deadline);
    result.output = std::move(pendingOut_);
    result.errors = std::move(pendingErr_);
    return result;
  }

  // Gives the process up to the caller, who ends and reaps it.
  pid_t Release() { return std::exchange(pid_, -1); }

 private:
  static std::optional<std::vector<std::string>> Environment(const EnvChanges& changes,
                                                             bool inherit) {
    if (changes.empty() && inherit) return std::nullopt;
    std::map<std::string, std::string> vars;
    for (char** e = environ; inherit && *e != nullptr; ++e) {
      std::string entry = *e;
      if (size_t eq = entry.find('='); eq != std::string::npos) {
        vars[entry.substr(0, eq)] = entry.substr(eq + 1);
      }
    }
    for (const auto& [name, value] : changes) {
      if (value) {
        vars[name] = *value;
      } else {
        vars.erase(name);
      }
    }
    std::vector<std::string> env;
    for (const auto& [name, value] : vars) env.push_back(name + "=" + value);
    return env;
  }

  // A pipe: `ours` kept here, `theirs` given to the child as `fd`'s target.
  static void Pipe(platform::UniqueFd& readEnd, platform::UniqueFd& writeEnd,
                   platform::ChildFd& fd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    fd.source = fd.target == 0 ? readEnd.get() : writeEnd.get();
  }

  static void AddSteps(const ChildOptions& options, std::vector<platform::ChildStep>& steps) {
    if (options.deathSignal != 0) {
      steps.push_back([signal = options.deathSignal] {
        return ::prctl(PR_SET_PDEATHSIG, signal) == 0 ? 0 : errno;
      });
    }
    if (!options.workDir.empty()) {
      steps.push_back([&dir = options.workDir] { return ::chdir(dir.c_str()) == 0 ? 0 : errno; });
    }
    if (options.uid) {
      steps.push_back([uid = *options.uid, gid = options.gid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) return errno;
        return 0;
      });
    }
  }

  // Appends what `fd` has to `text`; false (and `fd` closed) at its end.
  static bool ReadSome(platform::UniqueFd& fd, std::string& text) {
    if (fd.get() < 0) return false;
    char chunk[4096];
    const ssize_t n = platform::RetryOnEintr([&] { return ::read(fd.get(), chunk, sizeof chunk); });
    if (n <= 0) {
      fd.reset();
      return false;
    }
    text.append(chunk, static_cast<size_t>(n));
    return true;
  }

  // Reads from whichever captured stream has something; false at `deadline`.
  bool Poll(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{output_.get(), POLLIN, 0}, {errors_.get(), POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) return errno == EINTR;
    if (fds[0].revents != 0) ReadSome(output_, pendingOut_);
    if (fds[1].revents != 0) ReadSome(errors_, pendingErr_);
    return true;
  }

  int Reap(std::chrono::steady_clock::time_point deadline) {
    return AwaitExit(std::exchange(pid_, -1), deadline);
  }

  pid_t pid_ = -1;
  platform::UniqueFd input_, output_, errors_;
  std::string pendingOut_, pendingErr_;
};

// Runs argv[0] with `argv` to its end, its stdout captured, at most `limit`
// (then it is killed and the exit code is -1). Throws std::runtime_error when
// it cannot run.
inline ProgramResult RunProgram(const std::vector<std::string>& argv, ChildOptions options = {},
                                std::chrono::milliseconds limit = std::chrono::seconds(120)) {
  options.captureOutput = true;
  ChildProcess child(argv, options);
  return child.Stop(limit, 0);
}

}  // namespace testing_support
