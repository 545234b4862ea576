// The service manager: runs the registered services and answers clients.
//
// One thread, one poll loop over the client socket, the clients, the services'
// sockets and a signalfd (SIGTERM, SIGINT, SIGHUP, SIGCHLD). A service started here is
// start pending, with a wait hint, until its process reports; a process that
// ends without reporting stopped becomes stopped with exit code 1067, one that
// does not report within the response time is killed and stopped with 1053.
// An interrogate is answered once the service has reported after it (or 1053
// after the response time). At most 64 client connections are held at once,
// waiting interrogates included, 8 of them kept for root, and at most 8 of
// one other user; further ones are closed unanswered, and a connection that
// has not sent its whole request within 2 s is closed. SIGTERM
// and SIGINT send the shutdown code to every service process, wait for them
// (at most the response time, then kill them) and end Run.
//
// An automatic service whose process ends without having reported stopped
// (killed, crashed, or killed here for not reporting) is started again after
// a delay that doubles at each failure, from RestartPolicy::firstDelay up to
// longestDelay, and falls back to the first after a run of stableRun. A stop
// asked for (by a caller or the shutdown) is never undone: a stop while a
// restart waits cancels it. A service that reports stopped itself is not
// started again, whatever its exit code.
//
// SIGHUP reads the registrations again: those refused are logged again, and
// the automatic services registered since the last reading are started; the
// manager and its services go on. Registrations that are refused (see
// platform/registry.h) are logged once per reading, naming the file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/scm_wire.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"

namespace svcmgr {

// When an automatic service that failed is started again.
struct RestartPolicy {
  std::chrono::milliseconds firstDelay{1000};
  std::chrono::milliseconds longestDelay{60000};
  // A process that ran this long before it failed starts the delays afresh.
  std::chrono::milliseconds stableRun{300000};
};

struct ManagerOptions {
  std::string socketPath;
  // How long a service may take to make its first report, to answer an
  // interrogate, and to end after the shutdown code.
  std::chrono::milliseconds responseTime{30000};
  RestartPolicy restart;
  // Where the manager's messages go; null: syslog, under "svcmgr". Not owned.
  platform::EventSink* log = nullptr;
};

class ServiceManager {
 public:
  explicit ServiceManager(ManagerOptions options);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Binds the socket, starts the automatic services and serves until SIGTERM
  // or SIGINT. Returns the exit status. Blocks SIGTERM, SIGINT, SIGHUP and
  // SIGCHLD in the calling thread and reaps every child of the process.
  int Run();

 private:
  using Clock = std::chrono::steady_clock;

  struct Waiter {
    platform::UniqueFd fd;
    uid_t uid;
    Clock::time_point deadline;
  };

  struct Instance {
    platform::ServiceRegistration registration;
    platform::ServiceStatus status;
    pid_t pid = -1;
    platform::UniqueFd fd;
    platform::scmwire::FrameBuffer frames;
    std::string output;  // frames not yet sent to the service
    bool reported = false;
    bool killedUnresponsive = false;
    // Started while a previous process still held the service's lock: the
    // process is launched once that one has ended (startDeadline bounds it).
    bool startWhenFree = false;
    Clock::time_point startDeadline;
    std::vector<Waiter> interrogators;
    // A stop was asked for: the end of this process is no failure to mend.
    bool stopAsked = false;
    Clock::time_point launchedAt;
    // A restart after a failure waits for restartAt; nextDelay is the delay
    // of the one after it (zero: the first delay).
    bool restartPending = false;
    Clock::time_point restartAt;
    std::chrono::milliseconds nextDelay{0};
  };

  struct Client {
    platform::UniqueFd fd;
    uid_t uid;
    Clock::time_point deadline;
    platform::scmwire::FrameBuffer frames;
  };

  // Signals, socket and lock folder; false (logged) when the manager cannot serve.
  bool Prepare();
  bool BlockSignals();
  bool Listen();
  bool ShutdownDone() const;
  // One poll over every descriptor and the work it found; false on a poll failure.
  bool PollOnce();
  void HandleSignals();
  // Starts the automatic services whose registrations this manager has not
  // read before (all of them at the first reading).
  void StartNewAutomaticServices();
  void LogRefusals(const std::vector<std::string>& refusals);
  void Accept();
  // Whether a caller of `uid` may hold one more connection, counting clients
  // and the callers waiting for an interrogate.
  bool MayConnect(uid_t uid) const;
  // Serves a request; the connection is closed (fd empty) once answered or
  // handed to an interrogated service's waiters.
  void ServeClient(Client& client);
  void DropClosedClients();
  std::string Handle(const Client& client, const std::string& request, bool& park,
                     Instance*& parkOn);
  void ReadService(Instance& instance);
  void FlushService(Instance& instance);
  void CloseServiceSocket(Instance& instance);
  void Reap();
  void ProcessEnded(Instance& instance, int waitStatus);
  // Plans the next start of a failed automatic service: its delay, nullopt
  // when it is not to be started again.
  std::optional<std::chrono::milliseconds> ScheduleRestart(Instance& instance);
  void RestartDueServices(Clock::time_point now);
  void Expire(Clock::time_point now);
  void BeginShutdown();
  void Log(platform::EventType type, const std::string& message);

  uint32_t StartService(const std::string& name, const platform::ServiceRegistration& reg);
  uint32_t Launch(Instance& instance);
  void LaunchWaitingServices(Clock::time_point now);
  std::string LockPath(const std::string& name) const;
  // The status to answer: that of a previous manager's process still alive
  // when this manager has none of its own.
  platform::ServiceStatus ReportedStatus(const Instance& instance) const;
  uint32_t ControlService(Instance& instance, uint32_t code);
  // The instance of `name`, made from its registration when there is none;
  // nullptr when the service is neither registered nor running.
  Instance* Find(const std::string& name);
  void Answer(int fd, const std::string& answer);
  void AnswerInterrogators(Instance& instance, uint32_t error);
  std::optional<Clock::time_point> NextDeadline() const;

  ManagerOptions options_;
  // Also on standard error where no syslog daemon listens: a restart or a
  // crash of a service is then still recorded somewhere.
  platform::EventLog ownLog_{"svcmgr", platform::SystemSyslog(), STDERR_FILENO};
  platform::EventSink& log_;
  // The registrations of the last reading, by ServiceNameKey, and the refusals
  // logged since.
  std::set<std::string> known_;
  std::set<std::string> refusalsLogged_;
  platform::ListeningSocket listener_;
  // The services' lock files: held by each service process while it lives.
  std::string lockDir_;
  platform::UniqueFd signalFd_;
  bool shuttingDown_ = false;
  Clock::time_point shutdownDeadline_;
  std::map<std::string, std::unique_ptr<Instance>> instances_;  // by ServiceNameKey
  std::vector<std::unique_ptr<Client>> clients_;
  std::set<pid_t> exiting_;  // stopped services whose processes have not ended yet
};

}  // namespace svcmgr
