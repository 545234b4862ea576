#include "platform/remote.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/ascii.h"
#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/named_pipe.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace platform {

constexpr char kScmSocketName[] = "scm.sock";
constexpr char kErrorFileName[] = "ssh.err";
// The most of ssh's messages kept for the error text.
constexpr size_t kErrorTextLimit = 2048;
// ssh leaves at once on SIGTERM; one that does not is killed after this.
constexpr std::chrono::milliseconds kEndTime{2000};
constexpr std::chrono::milliseconds kPollStep{10};

struct RemoteForwardings::Forwarding {
  pid_t pid = -1;
  pid_t owner = -1;  // the process that started it; only it may end it
  std::string dir;
  std::set<std::string> pipes;
};

namespace {

std::string Trimmed(std::string text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

bool IsSocket(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// True when something listens on `path` (a full queue counts).
bool Answers(const std::string& path) {
  UniqueFd fd;
  int err = 0;
  return ConnectSocket(path, true, fd, err) == kErrorSuccess || err == EAGAIN;
}

enum class ChildState { Running, Ended, Gone };

// The state of our child `pid`, which is left a zombie when it has ended, so
// that its process group can still be signalled. Gone: no longer our child
// (reaped elsewhere), so nothing of it may be signalled.
ChildState StateOf(pid_t pid, int* status = nullptr) {
  siginfo_t info{};
  const int rc = RetryOnEintr(
      [&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT); });
  if (rc != 0) return ChildState::Gone;
  if (info.si_pid == 0) return ChildState::Running;
  if (status != nullptr) {
    *status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
  }
  return ChildState::Ended;
}

// The message ssh left in its error file, else `otherwise`.
std::string SshSaid(const std::string& errorFile, const std::string& otherwise) {
  std::string said;
  ReadWholeFile(errorFile, said, kErrorTextLimit);
  said = Trimmed(said);
  return said.empty() ? otherwise : said;
}

// The child's steps: its own process group (so that a ProxyCommand ends with
// it) and SIGTERM when the starting thread ends (a crashed program leaves no
// forwarding behind). Spawn gives ssh the default signal dispositions.
std::vector<ChildStep> SshChildSteps(pid_t parent) {
  return {[] {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            return 0;
          },
          [parent] { return ::getppid() == parent ? 0 : ESRCH; }};
}

// ssh's command line: our own process in the foreground, every pipe of
// `pipes` and scm.sock forwarded from `dir` to the remote runtime folder.
// `localSockets` gets the local ends, scm.sock last.
std::vector<std::string> SshArguments(const RemoteOptions& options, const std::string& dir,
                                      const std::set<std::string>& pipes,
                                      const std::string& machine,
                                      std::vector<std::string>& localSockets) {
  std::vector<std::string> args{
      options.SshProgram, "-N", "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
      // Our own process, never a multiplexed session
      // or one that goes to the background.
      "-o", "ControlMaster=no", "-o", "ControlPath=none", "-o", "ForkAfterAuthentication=no",
      // A link that died ends ssh within seconds.
      "-o", "ServerAliveInterval=2", "-o", "ServerAliveCountMax=2", "-o", "LogLevel=ERROR"};
  if (!options.SshConfig.empty()) {
    args.push_back("-F");
    args.push_back(options.SshConfig);
  }
  auto forward = [&](const std::string& local, const std::string& remote) {
    args.push_back("-L");
    args.push_back(local + ":" + remote);
    localSockets.push_back(local);
  };
  for (const std::string& name : pipes) {
    std::string local, remote;
    PipeSocketPathIn(dir, name, local);
    PipeSocketPathIn(options.RemoteRuntimeDir, name, remote);
    forward(local, remote);
  }
  // ssh listens in the order given: once the last socket answers, all do.
  forward(JoinPath(dir, kScmSocketName), JoinPath(options.RemoteRuntimeDir, kScmSocketName));
  args.push_back("--");
  args.push_back(machine);
  return args;
}

// Runs `program` with `args`, /dev/null and the error file as its standard
// streams and no other descriptor of ours (a toolkit's opened without
// close-on-exec do not belong to ssh). 0 once ssh runs, `pid` set, or when it
// could not run, `pid` -1 and `execErr` the errno of what failed. Otherwise
// the code of the failed pipe or fork.
uint32_t SpawnSsh(const std::string& program, const std::vector<std::string>& args, int nullFd,
                  int errFd, pid_t& pid, int& execErr) {
  const SpawnRequest request{program,
                             args,
                             std::nullopt,
                             {{0, nullFd}, {1, nullFd}, {2, errFd}},
                             SshChildSteps(::getpid())};
  const uint32_t rc = Spawn(request, pid, &execErr);
  return execErr != 0 ? kErrorSuccess : rc;
}

// Waits until every local socket exists and the last one answers (true),
// or until ssh ends or `connectTime` passes (false, with the error text).
bool AwaitSockets(pid_t pid, const std::vector<std::string>& localSockets,
                  const std::string& errorFile, const std::string& machine,
                  std::chrono::milliseconds connectTime, std::string& error) {
  const auto deadline = std::chrono::steady_clock::now() + connectTime;
  for (;;) {
    int status = 0;
    if (StateOf(pid, &status) != ChildState::Running) {
      error = SshSaid(errorFile, "ssh ended with exit code " + std::to_string(status));
      return false;
    }
    bool listening = true;
    for (const std::string& socket : localSockets) listening = listening && IsSocket(socket);
    if (listening && Answers(localSockets.back())) return true;
    if (std::chrono::steady_clock::now() >= deadline) {
      const std::string said = SshSaid(errorFile, "");
      error = "no connection to " + machine + " within " + std::to_string(connectTime.count()) +
              " ms" + (said.empty() ? "" : ": " + said);
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace

RemoteOptions RemoteOptionsFromEnvironment() {
  RemoteOptions options;
  if (std::string ssh = GetEnvironmentVariable("VIGILO_SSH"); !ssh.empty()) {
    options.SshProgram = ssh;
  }
  options.SshConfig = GetEnvironmentVariable("VIGILO_SSH_CONFIG");
  if (std::string dir = GetEnvironmentVariable("VIGILO_REMOTE_RUNTIME_DIR"); !dir.empty()) {
    options.RemoteRuntimeDir = dir;
  }
  // The user's own runtime folder is private and short, as socket paths
  // must be; $TMPDIR may be the program's folder, of any length.
  std::string base = GetEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!base.empty() && DirectoryExists(base)) options.LocalBaseDir = base;
  return options;
}

std::string RemoteMachineName(const std::string& machine) {
  size_t start = machine.find_first_not_of('\\');
  std::string name = start == std::string::npos ? "" : machine.substr(start);
  return name == "." ? "" : name;
}

RemoteForwardings::RemoteForwardings(RemoteOptions options)
    : options_([options = std::move(options)] { return options; }) {}

RemoteForwardings::RemoteForwardings(std::function<RemoteOptions()> options)
    : options_(std::move(options)) {}

RemoteForwardings::~RemoteForwardings() {
  EndAll();
}

void RemoteForwardings::AddPipes(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& name : names) pipes_.insert(AsciiLowerCase(name));
}

uint32_t RemoteForwardings::ScmSocket(const std::string& machine, std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t error = kErrorSuccess;
  Forwarding* forwarding = Reach(machine, error);
  if (forwarding == nullptr) return error;
  path = JoinPath(forwarding->dir, kScmSocketName);
  return kErrorSuccess;
}

uint32_t RemoteForwardings::PipeSocket(const std::string& machine, const std::string& name,
                                       std::string& path) {
  std::string checked;
  if (uint32_t rc = PipeSocketPathIn("/", name, checked)) return rc;  // a bad name starts nothing
  std::lock_guard<std::mutex> lock(mutex_);
  pipes_.insert(AsciiLowerCase(name));
  uint32_t error = kErrorSuccess;
  Forwarding* forwarding = Reach(machine, error);
  if (forwarding == nullptr) return error;
  return PipeSocketPathIn(forwarding->dir, name, path);
}

std::string RemoteForwardings::ErrorText(const std::string& machine) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = errors_.find(machine);
  return it == errors_.end() ? "" : it->second;
}

void RemoteForwardings::EndAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [machine, forwarding] : running_) End(*forwarding);
  running_.clear();
  retryAfter_.clear();
}

RemoteForwardings::Forwarding* RemoteForwardings::Reach(const std::string& machine,
                                                        uint32_t& error) {
  if (machine.empty()) {
    error = kErrorBadNetPath;
    return nullptr;
  }
  auto now = std::chrono::steady_clock::now();
  if (auto it = running_.find(machine); it != running_.end()) {
    Forwarding& running = *it->second;
    int status = 0;
    if (StateOf(running.pid, &status) != ChildState::Running) {
      // The link died (or ssh was killed): start again below.
      errors_[machine] = SshSaid(JoinPath(running.dir, kErrorFileName),
                                 "ssh ended with exit code " + std::to_string(status));
    } else if (std::includes(running.pipes.begin(), running.pipes.end(), pipes_.begin(),
                             pipes_.end())) {
      return &running;
    }
    End(running);
    running_.erase(it);
  } else if (auto pause = retryAfter_.find(machine);
             pause != retryAfter_.end() && now < pause->second) {
    error = kErrorBadNetPath;
    return nullptr;
  }
  const RemoteOptions options = options_();
  std::unique_ptr<Forwarding> started;
  error = Start(machine, options, started);
  if (error != kErrorSuccess) {
    if (error == kErrorBadNetPath) {
      retryAfter_[machine] = std::chrono::steady_clock::now() + options.RetryPause;
    }
    return nullptr;
  }
  retryAfter_.erase(machine);
  Forwarding* result = started.get();
  running_[machine] = std::move(started);
  return result;
}

uint32_t RemoteForwardings::Start(const std::string& machine, const RemoteOptions& options,
                                  std::unique_ptr<Forwarding>& out) {
  auto forwarding = std::make_unique<Forwarding>();
  std::string pattern = JoinPath(options.LocalBaseDir, "vigilo-ssh-XXXXXX");
  // mkdtemp makes the folder 0700: the sockets in it are this user's alone.
  if (::mkdtemp(pattern.data()) == nullptr) return LastErrorFromErrno();
  forwarding->dir = pattern;
  forwarding->pipes = pipes_;
  // From here on End() removes the folder and ends ssh, whatever fails.
  struct Cleanup {
    RemoteForwardings& self;
    std::unique_ptr<Forwarding>& forwarding;
    ~Cleanup() {
      if (forwarding) self.End(*forwarding);
    }
  } cleanup{*this, forwarding};

  const std::string localPipes = JoinPath(forwarding->dir, "pipe");
  if (::mkdir(localPipes.c_str(), 0700) != 0) return LastErrorFromErrno();
  const std::string errorFile = JoinPath(forwarding->dir, kErrorFileName);
  UniqueFd errFd(::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  UniqueFd nullFd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (errFd.get() < 0 || nullFd.get() < 0) return LastErrorFromErrno();

  std::vector<std::string> localSockets;
  std::vector<std::string> args =
      SshArguments(options, forwarding->dir, forwarding->pipes, machine, localSockets);
  int execErr = 0;
  if (uint32_t rc = SpawnSsh(ProgramOnPath(options.SshProgram), args, nullFd.get(), errFd.get(),
                             forwarding->pid, execErr)) {
    return rc;
  }
  forwarding->owner = ::getpid();
  std::string error;
  if (execErr != 0) {
    error = "cannot run " + options.SshProgram + ": " + std::strerror(execErr);
  } else if (AwaitSockets(forwarding->pid, localSockets, errorFile, machine, options.ConnectTime,
                          error)) {
    out = std::move(forwarding);
    return kErrorSuccess;
  }
  errors_[machine] = error;
  return kErrorBadNetPath;
}

void RemoteForwardings::End(Forwarding& forwarding) {
  // A forked child of this process that exits leaves its parent's forwardings alone.
  if (forwarding.owner != -1 && forwarding.owner != ::getpid()) return;
  if (forwarding.pid > 0 && StateOf(forwarding.pid) != ChildState::Gone) {
    ::kill(-forwarding.pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kEndTime;
    while (StateOf(forwarding.pid) == ChildState::Running &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPollStep);
    }
    // Whatever is left of its group (a ProxyCommand) goes too; the zombie
    // keeps the group's number ours until it is reaped.
    ::kill(-forwarding.pid, SIGKILL);
    RetryOnEintr([&] { return ::waitpid(forwarding.pid, nullptr, 0); });
  }
  forwarding.pid = -1;
  if (!forwarding.dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(forwarding.dir, ignored);
    forwarding.dir.clear();
  }
}

RemoteForwardings& SystemRemoteForwardings() {
  static RemoteForwardings forwardings(RemoteOptionsFromEnvironment);
  return forwardings;
}

}  // namespace platform
