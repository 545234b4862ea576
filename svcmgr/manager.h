// The service manager: runs the registered services and answers clients.
//
// One thread, one poll loop over the client socket, the clients, the services'
// sockets and a signalfd (SIGTERM, SIGINT, SIGCHLD). A service started here is
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

struct ManagerOptions {
  std::string socketPath;
  // How long a service may take to make its first report, to answer an
  // interrogate, and to end after the shutdown code.
  std::chrono::milliseconds responseTime{30000};
};

class ServiceManager {
 public:
  explicit ServiceManager(ManagerOptions options);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Binds the socket, starts the automatic services and serves until SIGTERM
  // or SIGINT. Returns the exit status.
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
  };

  struct Client {
    platform::UniqueFd fd;
    uid_t uid;
    Clock::time_point deadline;
    platform::scmwire::FrameBuffer frames;
  };

  bool Listen();
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
  platform::EventLog log_{"svcmgr"};
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
