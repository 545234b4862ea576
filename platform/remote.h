// Another PC's service manager and pipes, reached through SSH's socket
// forwarding rather than a network protocol of our own.
//
// For a machine name, the client starts one process
//   ssh -N -o BatchMode=yes -o ExitOnForwardFailure=yes ...
//       -L <local>/pipe/<name>:<remote>/pipe/<name> ... -L <local>/scm.sock:<remote>/scm.sock
//       -- PC
// (no shell, stdin /dev/null, stderr kept for the error text) whose local
// sockets, in a folder of this user's own (mode 0700), mirror the remote
// runtime folder: callers talk to them as to the local ones. The forwarding
// is kept while the program uses that PC and reused by every call; it ends
// (process group killed and reaped, sockets and folder removed) with
// EndAll, with the RemoteForwardings object, and with the program (the ssh
// process gets SIGTERM when the thread that started it ends).
//
// Who may do what is SSH's login and the remote manager's peer check: the
// remote svcmgr sees the SSH login's user.
//
// A PC that cannot be reached (ssh ends, or its sockets are not there within
// ConnectTime) gives kErrorBadNetPath (53); for RetryPause after that, calls
// for that PC fail at once without starting ssh again, so a poll on the GUI
// thread is not held up at every tick.
//
// Environment (read by RemoteOptionsFromEnvironment, for the program's
// forwardings at every start of one, as the runtime folder is read at every
// call):
//   VIGILO_SSH                the ssh program (default "ssh" on PATH); tests
//                             name a fake here
//   VIGILO_SSH_CONFIG         an ssh client configuration file, passed as -F
//                             (ssh reads ~/.ssh/config of the account's home,
//                             whatever $HOME says)
//   VIGILO_REMOTE_RUNTIME_DIR the runtime folder on the other PCs (default
//                             /run/vigilo)
//   XDG_RUNTIME_DIR           where the private folders go (else /tmp)
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace platform {

// How long a forwarding may take to come up; how long an exchange through
// one may wait for an answer (a link that died is noticed by then).
constexpr std::chrono::milliseconds kRemoteConnectTime{5000};
constexpr std::chrono::milliseconds kRemoteReplyTime{5000};
// After a failed start, calls for that PC fail at once for this long.
constexpr std::chrono::milliseconds kRemoteRetryPause{10000};

struct RemoteOptions {
  std::string SshProgram = "ssh";
  std::string SshConfig;  // empty: ssh's own
  std::string RemoteRuntimeDir = "/run/vigilo";
  std::string LocalBaseDir = "/tmp";
  std::chrono::milliseconds ConnectTime = kRemoteConnectTime;
  std::chrono::milliseconds RetryPause = kRemoteRetryPause;
};

RemoteOptions RemoteOptionsFromEnvironment();

// The machine part of a name given for another PC: leading backslashes
// ("\\PC") dropped; empty for this PC ("" or ".").
std::string RemoteMachineName(const std::string& machine);

class RemoteForwardings {
 public:
  explicit RemoteForwardings(RemoteOptions options);
  // Options asked for at every start.
  explicit RemoteForwardings(std::function<RemoteOptions()> options);
  ~RemoteForwardings();
  RemoteForwardings(const RemoteForwardings&) = delete;
  RemoteForwardings& operator=(const RemoteForwardings&) = delete;

  // Pipes every forwarding carries besides scm.sock. A pipe asked for that is
  // not among them joins them, and a running forwarding is started again
  // with it (exchanges through the old one at that moment fail).
  void AddPipes(const std::vector<std::string>& names);

  // The local socket of `machine`'s scm.sock, the forwarding started or
  // checked first. 0, kErrorBadNetPath (unreachable), or the code of a local
  // failure (folder, process).
  uint32_t ScmSocket(const std::string& machine, std::string& path);
  // The same for the pipe `name`; a bad name is kErrorInvalidName.
  uint32_t PipeSocket(const std::string& machine, const std::string& name, std::string& path);

  // What ssh said when the last forwarding to `machine` failed or ended
  // (or why it was ended), without trailing line breaks; empty when none did.
  std::string ErrorText(const std::string& machine) const;

  // Ends every forwarding and the pauses after failures, so that the next
  // call tries again at once.
  void EndAll();

 private:
  struct Forwarding;
  // Holds mutex_. Returns the running forwarding of `machine`, started when
  // needed, or null with the error.
  Forwarding* Reach(const std::string& machine, uint32_t& error);
  uint32_t Start(const std::string& machine, const RemoteOptions& options,
                 std::unique_ptr<Forwarding>& out);
  void End(Forwarding& forwarding);

  std::function<RemoteOptions()> options_;
  mutable std::mutex mutex_;
  std::set<std::string> pipes_;  // lower case
  std::map<std::string, std::unique_ptr<Forwarding>> running_;
  std::map<std::string, std::string> errors_;
  std::map<std::string, std::chrono::steady_clock::time_point> retryAfter_;
};

// The program's forwardings, with the options of the environment.
RemoteForwardings& SystemRemoteForwardings();

}  // namespace platform
