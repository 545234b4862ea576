#include "tests/maillib/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace mailtest {

namespace {

std::vector<std::string> BuildEnvironment(const EnvChanges& changes) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value)
      vars[name] = *value;
    else
      vars.erase(name);
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : vars) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& t : texts) result.push_back(t.data());
  result.push_back(nullptr);
  return result;
}

// Starts the child with stdin and stdout on the given descriptors (-1: keep ours).
pid_t Spawn(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& workDir,
            int stdinFd, int stdoutFd) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envTexts = BuildEnvironment(env);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(envTexts);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                         const std::string& workDir) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid;
  try {
    pid = Spawn(argv, env, workDir, -1, out[1]);
  } catch (...) {
    close(out[0]);
    close(out[1]);
    throw;
  }
  close(out[1]);
  ProgramResult result;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n > 0) {
      result.output.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out[0]);
  result.exitCode = WaitFor(pid);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env) {
  // Close-on-exec: a later child must not inherit our end of its stdin,
  // or it would keep the server alive.
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  try {
    pid_ = Spawn(argv, env, "", in[0], out[1]);
  } catch (...) {
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    throw;
  }
  close(in[0]);
  close(out[1]);
  toChild_ = in[1];
  fromChild_ = out[0];
}

ChildProcess::~ChildProcess() {
  Stop();
}

std::optional<std::string> ChildProcess::ReadLine() {
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    if (fromChild_ < 0) return std::nullopt;
    char chunk[512];
    ssize_t n = read(fromChild_, chunk, sizeof chunk);
    if (n > 0) {
      pending_.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return std::nullopt;
    }
  }
}

int ChildProcess::Stop() {
  if (pid_ < 0) return -1;
  if (toChild_ >= 0) close(toChild_);
  toChild_ = -1;
  int code = WaitFor(pid_);
  pid_ = -1;
  if (fromChild_ >= 0) close(fromChild_);
  fromChild_ = -1;
  return code;
}

}  // namespace mailtest
