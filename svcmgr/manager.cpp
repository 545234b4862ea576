#include "svcmgr/manager.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/eintr.h"
#include "platform/file.h"
#include "platform/syserror.h"
#include "svcmgr/launch.h"
#include "svcmgr/rights.h"

namespace svcmgr {
namespace {

using namespace platform;
using scmwire::Op;

// Connections held at once, waiting interrogates included: anyone may connect
// and interrogate, and a busy service keeps its callers waiting, so without the
// bound they could use up the manager's descriptors.
constexpr size_t kMaxClients = 64;
// Of those, root always finds this many free: no other user can lock it out.
constexpr size_t kRootReserve = 8;
// Connections one user other than root may hold at once; one more is closed
// at once. Anyone may connect, so without the budget one user's idle
// connections could keep every other caller out.
constexpr size_t kConnectionsPerUser = 8;
// A client has this long to send its whole request.
constexpr std::chrono::seconds kClientRequestTime{2};
// How often a start waiting for a previous process looks whether it has ended.
constexpr std::chrono::milliseconds kPreviousProcessPoll{50};
// Reported while the new process has not reported yet.
constexpr uint32_t kLaunchWaitHint = 2000;

bool IsRunning(pid_t pid, const ServiceStatus& status) {
  return pid > 0 && status.dwCurrentState != kServiceStopped;
}

// A start or stop under way, with the wait hint of a process yet to report.
ServiceStatus PendingStatus(uint32_t state) {
  ServiceStatus status;
  status.dwCurrentState = state;
  status.dwWaitHint = kLaunchWaitHint;
  return status;
}

ServiceStatus StoppedStatus(uint32_t exitCode) {
  ServiceStatus status;
  status.dwCurrentState = kServiceStopped;
  status.dwWin32ExitCode = exitCode;
  return status;
}

std::string ErrorAnswer(uint32_t code) {
  return scmwire::Writer().U32(code).Data();
}

std::string StatusAnswer(const ServiceStatus& status) {
  return scmwire::Writer().U32(kErrorSuccess).Status(status).Data();
}

// How a process ended, for the log.
std::string WaitStatusText(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
  return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
}

std::string DelayText(std::chrono::milliseconds delay) {
  if (delay.count() % 1000 == 0) return std::to_string(delay.count() / 1000) + " s";
  return std::to_string(delay.count()) + " ms";
}

}  // namespace

ServiceManager::ServiceManager(ManagerOptions options)
    : options_(std::move(options)), log_(options_.log != nullptr ? *options_.log : ownLog_) {}

ServiceManager::~ServiceManager() = default;

void ServiceManager::Log(EventType type, const std::string& message) {
  log_.ReportEvent(type, message);
}

bool ServiceManager::Listen() {
  uint32_t err = listener_.Listen(options_.socketPath, 0666, static_cast<int>(kMaxClients));
  if (err == kErrorPipeBusy) {
    Log(EventType::Error, "another manager is running on " + options_.socketPath);
  } else if (err != kErrorSuccess) {
    Log(EventType::Error, "cannot listen on " + options_.socketPath + ": " + SystemErrorText(err));
  }
  return err == kErrorSuccess;
}

bool ServiceManager::BlockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&signals, signal);
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
  signalFd_.reset(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  return signalFd_.get() >= 0;
}

bool ServiceManager::Prepare() {
  if (!BlockSignals() || !Listen()) return false;
  lockDir_ = JoinPath(ExtractFileDir(options_.socketPath), "services");
  if (uint32_t err = PrepareSocketFolder(lockDir_)) {
    Log(EventType::Error, "cannot use " + lockDir_ + ": " + SystemErrorText(err));
    return false;
  }
  Log(EventType::Information, "listening on " + options_.socketPath);
  return true;
}

int ServiceManager::Run() {
  if (!Prepare()) return 1;
  StartNewAutomaticServices();
  while (!ShutdownDone()) {
    if (!PollOnce()) return 1;
    Expire(Clock::now());
  }
  Log(EventType::Information, "stopped");
  return 0;
}

bool ServiceManager::ShutdownDone() const {
  if (!shuttingDown_ || !exiting_.empty()) return false;
  return std::none_of(instances_.begin(), instances_.end(),
                      [](const auto& entry) { return entry.second->pid > 0; });
}

bool ServiceManager::PollOnce() {
  std::vector<pollfd> fds;
  fds.push_back({signalFd_.get(), POLLIN, 0});
  fds.push_back({listener_.get(), POLLIN, 0});
  std::vector<Instance*> polledInstances;
  for (auto& [name, instance] : instances_) {
    if (instance->fd.get() < 0) continue;
    short events = POLLIN;
    if (!instance->output.empty()) events |= POLLOUT;
    fds.push_back({instance->fd.get(), events, 0});
    polledInstances.push_back(instance.get());
  }
  std::vector<Client*> polledClients;
  for (auto& client : clients_) {
    fds.push_back({client->fd.get(), POLLIN, 0});
    polledClients.push_back(client.get());
  }
  int timeout = -1;
  if (auto next = NextDeadline()) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now());
    timeout = static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 60000));
  }
  int n = ::poll(fds.data(), fds.size(), timeout);
  if (n < 0 && errno != EINTR) {
    Log(EventType::Error, "poll: " + SystemErrorText(LastErrorFromErrno()));
    return false;
  }
  if (n <= 0) return true;
  if (fds[0].revents != 0) HandleSignals();
  if (fds[1].revents != 0) Accept();
  size_t index = 2;
  for (Instance* instance : polledInstances) {
    short revents = fds[index++].revents;
    if (revents & POLLOUT) FlushService(*instance);
    if (revents & (POLLIN | POLLHUP | POLLERR)) ReadService(*instance);
  }
  for (Client* client : polledClients) {
    if (fds[index++].revents != 0) ServeClient(*client);
  }
  DropClosedClients();
  return true;
}

void ServiceManager::HandleSignals() {
  signalfd_siginfo info;
  bool stop = false, reread = false;
  while (::read(signalFd_.get(), &info, sizeof info) == sizeof info) {
    stop = stop || info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT;
    reread = reread || info.ssi_signo == SIGHUP;
  }
  Reap();
  if (stop && !shuttingDown_) BeginShutdown();
  if (reread && !shuttingDown_) {
    Log(EventType::Information, "SIGHUP: reading the registrations again");
    StartNewAutomaticServices();
  }
}

void ServiceManager::StartNewAutomaticServices() {
  refusalsLogged_.clear();
  std::vector<std::string> refusals;
  std::vector<ServiceRegistration> registrations = ListServiceRegistrations(&refusals);
  LogRefusals(refusals);
  std::set<std::string> seen;
  for (const ServiceRegistration& reg : registrations) {
    const std::string key = ServiceNameKey(reg.Name);
    seen.insert(key);
    if (known_.count(key) > 0 || reg.StartType != kServiceAutoStart) continue;
    // One started by hand since the last reading already is what we want.
    const uint32_t err = StartService(reg.Name, reg);
    if (err != kErrorSuccess && err != kErrorServiceAlreadyRunning) {
      Log(EventType::Error, "automatic start of " + reg.Name + " failed: " + SystemErrorText(err));
    }
  }
  known_ = std::move(seen);
}

void ServiceManager::LogRefusals(const std::vector<std::string>& refusals) {
  for (const std::string& refusal : refusals) {
    if (refusalsLogged_.insert(refusal).second) Log(EventType::Error, refusal);
  }
}

void ServiceManager::Accept() {
  for (;;) {
    UniqueFd fd(RetryOnEintr([this] {
      return ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }));
    if (fd.get() < 0) return;  // EAGAIN, or a connection that went before it was taken
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 ||
        !MayConnect(cred.uid)) {
      continue;
    }
    auto client = std::make_unique<Client>();
    client->fd = std::move(fd);
    client->uid = cred.uid;
    client->deadline = Clock::now() + kClientRequestTime;
    clients_.push_back(std::move(client));
  }
}

bool ServiceManager::MayConnect(uid_t uid) const {
  size_t all = clients_.size();
  size_t own = 0;
  for (const auto& client : clients_) own += client->uid == uid ? 1 : 0;
  for (const auto& [name, instance] : instances_) {
    all += instance->interrogators.size();
    for (const Waiter& w : instance->interrogators) own += w.uid == uid ? 1 : 0;
  }
  if (uid == 0) return all < kMaxClients;
  return all < kMaxClients - kRootReserve && own < kConnectionsPerUser;
}

void ServiceManager::ServeClient(Client& client) {
  std::string request;
  scmwire::FrameBuffer::Result result = client.frames.Read(client.fd.get(), request);
  if (result == scmwire::FrameBuffer::Result::NeedMore) return;
  if (result == scmwire::FrameBuffer::Result::Frame) {
    bool park = false;
    Instance* parkOn = nullptr;
    std::string answer = Handle(client, request, park, parkOn);
    if (park && parkOn != nullptr) {
      // The connection now belongs to the interrogated service's waiters.
      parkOn->interrogators.push_back(
          {std::move(client.fd), client.uid, Clock::now() + options_.responseTime});
      return;
    }
    Answer(client.fd.get(), answer);
  }
  client.fd.reset();
}

void ServiceManager::DropClosedClients() {
  std::erase_if(clients_, [](const std::unique_ptr<Client>& c) { return c->fd.get() < 0; });
}

void ServiceManager::Answer(int fd, const std::string& answer) {
  std::string frame = scmwire::Frame(answer);
  // A fresh connection's buffer holds a short answer whole; a client that
  // left loses it.
  size_t sent = 0;
  uint32_t error = 0;
  SendSome(fd, frame.data(), frame.size(), sent, error);
}

ServiceManager::Instance* ServiceManager::Find(const std::string& name) {
  if (name.empty()) return nullptr;
  std::string key = ServiceNameKey(name);
  auto it = instances_.find(key);
  std::vector<std::string> refusals;
  std::optional<ServiceRegistration> reg = ReadServiceRegistration(name, &refusals);
  LogRefusals(refusals);
  if (it != instances_.end()) {
    // A removed registration lives on while its process runs.
    if (reg) {
      it->second->registration = *reg;
    } else if (!IsRunning(it->second->pid, it->second->status)) {
      if (it->second->pid > 0) exiting_.insert(it->second->pid);
      CloseServiceSocket(*it->second);
      AnswerInterrogators(*it->second, kErrorServiceDoesNotExist);
      instances_.erase(it);
      return nullptr;
    }
    return it->second.get();
  }
  if (!reg) return nullptr;
  auto instance = std::make_unique<Instance>();
  instance->registration = *reg;
  Instance* raw = instance.get();
  instances_[key] = std::move(instance);
  return raw;
}

std::string ServiceManager::Handle(const Client& client, const std::string& request, bool& park,
                                   Instance*& parkOn) {
  scmwire::Reader reader(request);
  Op op;
  if (!reader.Op(op)) return ErrorAnswer(kErrorInvalidParameter);
  if (op == Op::OpenManager) {
    uint32_t access = 0;
    if (!reader.U32(access)) return ErrorAnswer(kErrorInvalidParameter);
    return ErrorAnswer(MayOpenManager(client.uid, access) ? kErrorSuccess : kErrorAccessDenied);
  }
  std::string name;
  uint32_t access = 0;
  if (!reader.Text(name) || !reader.U32(access)) return ErrorAnswer(kErrorInvalidParameter);
  if (shuttingDown_ && op == Op::Start) return ErrorAnswer(kErrorServiceCannotAcceptCtrl);
  Instance* instance = Find(name);
  if (instance == nullptr) return ErrorAnswer(kErrorServiceDoesNotExist);
  if (!MayOpenService(client.uid, instance->registration.User, access)) {
    return ErrorAnswer(kErrorAccessDenied);
  }
  uint32_t rights = MapServiceAccess(access);
  switch (op) {
    case Op::OpenService:
      return ErrorAnswer(kErrorSuccess);
    case Op::QueryStatus:
      if (!(rights & kServiceQueryStatus)) return ErrorAnswer(kErrorAccessDenied);
      return StatusAnswer(ReportedStatus(*instance));
    case Op::Start: {
      if (!(rights & kServiceStart)) return ErrorAnswer(kErrorAccessDenied);
      instance->nextDelay = {};  // a start by hand begins the delays afresh
      return ErrorAnswer(StartService(name, instance->registration));
    }
    case Op::Control: {
      uint32_t code = 0;
      if (!reader.U32(code)) return ErrorAnswer(kErrorInvalidParameter);
      uint32_t needed = RightForControl(code);
      if (needed == 0) return ErrorAnswer(kErrorInvalidParameter);
      if (!(rights & needed)) return ErrorAnswer(kErrorAccessDenied);
      if (uint32_t err = ControlService(*instance, code)) return ErrorAnswer(err);
      if (code == kServiceControlInterrogate) {
        park = true;
        parkOn = instance;
        return {};
      }
      return StatusAnswer(instance->status);
    }
    default:
      return ErrorAnswer(kErrorInvalidParameter);
  }
}

uint32_t ServiceManager::StartService(const std::string& name, const ServiceRegistration& reg) {
  std::string key = ServiceNameKey(name);
  auto& slot = instances_[key];
  if (!slot) {
    slot = std::make_unique<Instance>();
    slot->registration = reg;
  }
  Instance& instance = *slot;
  if (IsRunning(instance.pid, instance.status) || instance.startWhenFree) {
    return kErrorServiceAlreadyRunning;
  }
  instance.restartPending = false;
  if (reg.StartType == kServiceDisabled) return kErrorServiceDisabled;
  if (instance.pid > 0) {
    // It reported stopped and is on its way out.
    exiting_.insert(instance.pid);
    instance.pid = -1;
    CloseServiceSocket(instance);
  }
  instance.registration = reg;
  instance.startWhenFree = false;
  uint32_t err = Launch(instance);
  if (err != kErrorServiceAlreadyRunning) return err;
  // A previous process still runs (ours on its way out, or one a manager
  // before this one started): the new one starts once it has ended.
  Log(EventType::Information, reg.Name + " waits for its previous process to end");
  instance.startWhenFree = true;
  instance.startDeadline = Clock::now() + options_.responseTime;
  instance.status = PendingStatus(kServiceStartPending);
  return kErrorSuccess;
}

uint32_t ServiceManager::Launch(Instance& instance) {
  const ServiceRegistration& reg = instance.registration;
  LaunchedService launched;
  if (uint32_t err = LaunchService(reg, LockPath(reg.Name), launched)) {
    if (err != kErrorServiceAlreadyRunning) {
      Log(EventType::Error, "cannot start " + reg.Name + ": " + SystemErrorText(err));
    }
    return err;
  }
  instance.pid = launched.pid;
  instance.fd = std::move(launched.fd);
  instance.frames = scmwire::FrameBuffer();
  instance.output = scmwire::Frame(scmwire::Writer(Op::ServiceStart).Text(reg.Name).Data());
  instance.reported = false;
  instance.killedUnresponsive = false;
  instance.stopAsked = false;
  instance.launchedAt = Clock::now();
  instance.startDeadline = instance.launchedAt + options_.responseTime;
  instance.status = PendingStatus(kServiceStartPending);
  FlushService(instance);
  Log(EventType::Information,
      "started " + reg.Name + " (" + reg.ImagePath + ", pid " + std::to_string(launched.pid) + ")");
  return kErrorSuccess;
}

void ServiceManager::LaunchWaitingServices(Clock::time_point now) {
  for (auto& [name, instance] : instances_) {
    if (!instance->startWhenFree) continue;
    if (shuttingDown_) {
      instance->startWhenFree = false;
      instance->status = StoppedStatus(kErrorSuccess);
      continue;
    }
    uint32_t err = Launch(*instance);
    if (err == kErrorServiceAlreadyRunning && instance->startDeadline > now) continue;
    instance->startWhenFree = false;
    if (err == kErrorServiceAlreadyRunning) {
      Log(EventType::Error, instance->registration.Name + ": its previous process did not end");
      instance->status = StoppedStatus(kErrorServiceRequestTimeout);
    } else if (err != kErrorSuccess) {
      instance->status = StoppedStatus(err);
    }
  }
}

std::string ServiceManager::LockPath(const std::string& name) const {
  return JoinPath(lockDir_, ServiceNameKey(name) + ".lock");
}

ServiceStatus ServiceManager::ReportedStatus(const Instance& instance) const {
  if (instance.pid > 0 || instance.startWhenFree ||
      !PreviousProcessAlive(LockPath(instance.registration.Name))) {
    return instance.status;
  }
  // A process of a manager before this one, which shuts down without it.
  return PendingStatus(kServiceStopPending);
}

uint32_t ServiceManager::ControlService(Instance& instance, uint32_t code) {
  if (code == kServiceControlStop && instance.restartPending) {
    instance.restartPending = false;
    Log(EventType::Information,
        instance.registration.Name + " is not started again: a stop was asked for");
    return kErrorSuccess;
  }
  if (!IsRunning(instance.pid, instance.status)) return kErrorServiceNotActive;
  if (instance.fd.get() < 0) return kErrorServiceCannotAcceptCtrl;
  const ServiceStatus& s = instance.status;
  if (IsPendingState(s.dwCurrentState)) return kErrorServiceCannotAcceptCtrl;
  if (code == kServiceControlStop && !(s.dwControlsAccepted & kServiceAcceptStop)) {
    return kErrorServiceCannotAcceptCtrl;
  }
  if ((code == kServiceControlPause || code == kServiceControlContinue) &&
      !(s.dwControlsAccepted & kServiceAcceptPauseContinue)) {
    return kErrorServiceCannotAcceptCtrl;
  }
  instance.output += scmwire::Frame(scmwire::Writer(Op::ServiceControl).U32(code).Data());
  FlushService(instance);
  if (code == kServiceControlStop) instance.stopAsked = true;
  return kErrorSuccess;
}

void ServiceManager::FlushService(Instance& instance) {
  while (instance.fd.get() >= 0 && !instance.output.empty()) {
    size_t sent = 0;
    uint32_t error = 0;
    TransferStep step =
        SendSome(instance.fd.get(), instance.output.data(), instance.output.size(), sent, error);
    if (step == TransferStep::Again) return;  // POLLOUT resumes
    if (step == TransferStep::Done && sent > 0) {
      instance.output.erase(0, sent);
      continue;
    }
    CloseServiceSocket(instance);
  }
}

void ServiceManager::ReadService(Instance& instance) {
  std::string payload;
  scmwire::FrameBuffer::Result result = instance.frames.Read(instance.fd.get(), payload);
  while (result == scmwire::FrameBuffer::Result::Frame) {
    scmwire::Reader reader(payload);
    Op op;
    ServiceStatus status;
    if (reader.Op(op) && op == Op::ServiceReport && reader.Status(status)) {
      instance.status = status;
      instance.reported = true;
      AnswerInterrogators(instance, kErrorSuccess);
      if (status.dwCurrentState == kServiceStopped) {
        Log(EventType::Information, instance.registration.Name + " stopped");
      }
    }
    result = instance.frames.Next(payload) ? scmwire::FrameBuffer::Result::Frame
                                           : scmwire::FrameBuffer::Result::NeedMore;
  }
  if (result == scmwire::FrameBuffer::Result::Closed ||
      result == scmwire::FrameBuffer::Result::Error) {
    CloseServiceSocket(instance);
  }
}

void ServiceManager::CloseServiceSocket(Instance& instance) {
  instance.fd.reset();
  instance.output.clear();
}

void ServiceManager::AnswerInterrogators(Instance& instance, uint32_t error) {
  for (const Waiter& w : instance.interrogators) {
    Answer(w.fd.get(), error == kErrorSuccess ? StatusAnswer(instance.status) : ErrorAnswer(error));
  }
  instance.interrogators.clear();  // closes their connections
}

void ServiceManager::Reap() {
  for (;;) {
    int status = 0;
    pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    if (exiting_.erase(pid) > 0) continue;
    for (auto& [name, instance] : instances_) {
      if (instance->pid != pid) continue;
      ProcessEnded(*instance, status);
      break;
    }
  }
}

void ServiceManager::ProcessEnded(Instance& instance, int waitStatus) {
  // Its last reports may still wait in the socket: they count.
  if (instance.fd.get() >= 0) ReadService(instance);
  instance.pid = -1;
  CloseServiceSocket(instance);
  if (instance.status.dwCurrentState != kServiceStopped) {
    uint32_t code =
        instance.killedUnresponsive ? kErrorServiceRequestTimeout : kErrorProcessAborted;
    instance.status = StoppedStatus(code);
    std::string message = instance.registration.Name + " ended without stopping (" +
                          WaitStatusText(waitStatus) + "): " + SystemErrorText(code);
    if (auto delay = ScheduleRestart(instance)) {
      message += "; it is started again in " + DelayText(*delay);
    }
    Log(EventType::Error, message);
  }
  AnswerInterrogators(instance, kErrorServiceNotActive);
}

std::optional<std::chrono::milliseconds> ServiceManager::ScheduleRestart(Instance& instance) {
  // The registration it runs by decides; the one on disk is read (and a
  // refusal of it logged) when the restart is due.
  if (shuttingDown_ || instance.stopAsked) return std::nullopt;
  if (instance.registration.StartType != kServiceAutoStart) return std::nullopt;
  const RestartPolicy& policy = options_.restart;
  const Clock::time_point now = Clock::now();
  if (instance.nextDelay.count() == 0 || now - instance.launchedAt >= policy.stableRun) {
    instance.nextDelay = policy.firstDelay;
  }
  const std::chrono::milliseconds delay = instance.nextDelay;
  instance.restartPending = true;
  instance.restartAt = now + delay;
  instance.nextDelay = std::min(delay * 2, policy.longestDelay);
  return delay;
}

void ServiceManager::RestartDueServices(Clock::time_point now) {
  for (auto& [key, instance] : instances_) {
    if (!instance->restartPending || instance->restartAt > now) continue;
    instance->restartPending = false;
    const std::string name = instance->registration.Name;
    std::vector<std::string> refusals;
    std::optional<ServiceRegistration> reg = ReadServiceRegistration(name, &refusals);
    LogRefusals(refusals);
    if (!reg || reg->StartType != kServiceAutoStart) {
      Log(EventType::Information, name + " is not started again: it is no longer automatic");
      continue;
    }
    Log(EventType::Information, "starting " + name + " again after its failure");
    // A launch that fails is a failure too: the next try comes later.
    instance->launchedAt = now;
    uint32_t err = StartService(name, *reg);
    if (err == kErrorSuccess) continue;
    std::string message = name + " could not be started again: " + SystemErrorText(err);
    if (auto delay = ScheduleRestart(*instance))
      message += "; the next try is in " + DelayText(*delay);
    Log(EventType::Error, message);
  }
}

void ServiceManager::BeginShutdown() {
  shuttingDown_ = true;
  shutdownDeadline_ = Clock::now() + options_.responseTime;
  Log(EventType::Information, "shutting down");
  for (auto& [name, instance] : instances_) {
    instance->restartPending = false;
    instance->stopAsked = true;
    if (instance->pid <= 0 || instance->fd.get() < 0) continue;
    instance->output +=
        scmwire::Frame(scmwire::Writer(Op::ServiceControl).U32(kServiceControlShutdown).Data());
    FlushService(*instance);
  }
}

std::optional<ServiceManager::Clock::time_point> ServiceManager::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (shuttingDown_) consider(shutdownDeadline_);
  for (const auto& client : clients_) consider(client->deadline);
  for (const auto& [name, instance] : instances_) {
    if (instance->pid > 0 && !instance->reported && !instance->killedUnresponsive) {
      consider(instance->startDeadline);
    }
    // No event tells when another manager's process ends: look again soon.
    if (instance->startWhenFree) consider(Clock::now() + kPreviousProcessPoll);
    if (instance->restartPending) consider(instance->restartAt);
    for (const Waiter& w : instance->interrogators) consider(w.deadline);
  }
  return next;
}

void ServiceManager::Expire(Clock::time_point now) {
  LaunchWaitingServices(now);
  RestartDueServices(now);
  for (auto& client : clients_) {
    if (client->deadline <= now) client->fd.reset();
  }
  DropClosedClients();
  for (auto& [name, instance] : instances_) {
    if (instance->pid > 0 && !instance->reported && !instance->killedUnresponsive &&
        instance->startDeadline <= now) {
      Log(EventType::Error, instance->registration.Name + " did not report: killed");
      instance->killedUnresponsive = true;
      ::kill(instance->pid, SIGKILL);
    }
    auto& waiters = instance->interrogators;
    for (auto it = waiters.begin(); it != waiters.end();) {
      if (it->deadline <= now) {
        Answer(it->fd.get(), ErrorAnswer(kErrorServiceRequestTimeout));
        it = waiters.erase(it);  // closes the connection
      } else {
        ++it;
      }
    }
  }
  if (shuttingDown_ && shutdownDeadline_ <= now) {
    for (auto& [name, instance] : instances_) {
      if (instance->pid > 0) ::kill(instance->pid, SIGKILL);
    }
    for (pid_t pid : exiting_) ::kill(pid, SIGKILL);
    // Killed processes end at once; the loop reaps them on SIGCHLD.
    shutdownDeadline_ = now + std::chrono::hours(1);
  }
}

}  // namespace svcmgr
