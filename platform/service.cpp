#include "platform/service.h"
#include "platform/ascii.h"
#include "platform/eintr.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <optional>
#include <thread>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/scm_wire.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

using scmwire::Op;

constexpr char kLockFdVariable[] = "VIGILO_SCM_LOCK_FD";
constexpr char kOrphanEndText[] =
    "The service lost its service manager and did not stop in time: the process ends";

std::string ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

std::string Failed(const std::string& action, const std::string& text) {
  return "Service failed on " + action + ": " + text;
}

const char* ActionWord(uint32_t code) {
  switch (code) {
    case kServiceControlStop:
      return "stop";
    case kServiceControlPause:
      return "pause";
    case kServiceControlContinue:
      return "continue";
    case kServiceControlInterrogate:
      return "interrogate";
    case kServiceControlShutdown:
      return "shutdown";
    default:
      return "";
  }
}

// An eventfd used as a one-shot wake-up.
class WakeFd {
 public:
  // Throws SystemError when no event can be made: a wait on a bad
  // descriptor would never end.
  WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_.get() < 0) throw SystemError(LastErrorFromErrno());
  }
  int get() const { return fd_.get(); }
  void Signal() {
    uint64_t one = 1;
    // The counter only grows; a failed write means it is signalled already.
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
  }

 private:
  UniqueFd fd_;
};

// The descriptor named by the environment variable `name`; with `socket`, it
// must be a socket.
bool ParseDescriptor(const char* name, bool socket, int& fd) {
  std::string text = GetEnvironmentVariable(name);
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  struct stat st;
  if (::fstat(value, &st) != 0 || (socket && !S_ISSOCK(st.st_mode))) return false;
  fd = value;
  return true;
}

}  // namespace

// ---- ThreadMessageQueue ----

void ThreadMessageQueue::Post(const ThreadMessage& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  posted_.notify_one();
}

bool ThreadMessageQueue::Peek(ThreadMessage& message, uint32_t filterMin,
                              uint32_t filterMax) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const ThreadMessage& m : messages_) {
    if (m.Message >= filterMin && m.Message <= filterMax) {
      message = m;
      return true;
    }
  }
  return false;
}

bool ThreadMessageQueue::Contains(const std::function<bool(const ThreadMessage&)>& matches) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(messages_.begin(), messages_.end(), matches);
}

bool ThreadMessageQueue::TryTake(ThreadMessage& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (messages_.empty()) return false;
  message = messages_.front();
  messages_.pop_front();
  return true;
}

void ThreadMessageQueue::Take(ThreadMessage& message) {
  std::unique_lock<std::mutex> lock(mutex_);
  posted_.wait(lock, [this] { return !messages_.empty(); });
  message = messages_.front();
  messages_.pop_front();
}

// ---- TService ----

TService::TService() = default;
TService::~TService() = default;

void TService::SerialSink::ReportEvent(EventType type, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    if (!sink_) sink_ = std::make_unique<EventLog>(owner_.Name);
    sink_->ReportEvent(type, message);
  } catch (...) {
    // The event log is the last resort for errors; its own failure is dropped.
  }
}

void TService::SerialSink::Replace(std::unique_ptr<EventSink> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

EventSink& TService::EventLogger() {
  return eventLog_;
}

void TService::SetEventLogger(std::unique_ptr<EventSink> sink) {
  eventLog_.Replace(std::move(sink));
}

void TService::LogMessage(const std::string& message) {
  eventLog_.ReportEvent(EventType::Error, message);
}

void TService::PostControlCode(uint32_t CtrlCode) {
  queue_.Post(ThreadMessage{kCmServiceControl, CtrlCode, 0});
}

uint32_t TService::Status() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return state_;
}

void TService::SetManagerSocket(int fd) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  scmFd_ = fd;
}

void TService::SetStatus(uint32_t state) {
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    state_ = state;
  }
  ReportServiceStatus();
}

void TService::ReportServiceStatus() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  ServiceStatus status;
  status.dwCurrentState = state_;
  status.dwControlsAccepted =
      state_ == kServiceStartPending ? 0 : kServiceAcceptStop | kServiceAcceptShutdown;
  status.dwWin32ExitCode = exitCode_;
  checkPoint_ = IsPendingState(state_) ? checkPoint_ + 1 : 0;
  status.dwCheckPoint = checkPoint_;
  status.dwWaitHint = WaitHint;
  if (scmFd_ < 0) return;
  // A manager that went away cannot be told; the dispatcher sees it end.
  scmwire::SendFrame(scmFd_, scmwire::Writer(Op::ServiceReport).Status(status).Data());
}

bool TService::PeekMessage(ThreadMessage& Msg, uint32_t MsgFilterMin, uint32_t MsgFilterMax) const {
  return queue_.Peek(Msg, MsgFilterMin, MsgFilterMax);
}

bool TService::IsMessageQueued(const std::function<bool(const ThreadMessage&)>& Matches) const {
  return queue_.Contains(Matches);
}

void TService::ProcessControlRequests(bool Wait) {
  for (;;) {
    ThreadMessage msg;
    if (Wait) {
      if (Terminated()) return;
      queue_.Take(msg);
    } else if (!queue_.TryTake(msg)) {
      return;
    }
    // No window takes other thread messages here: dispatching them does nothing.
    if (msg.Message == kCmServiceControl) HandleControl(msg.WParam);
  }
}

void TService::HandleControl(uint32_t code) {
  // A second stop or shutdown queued before the first was handled finds the
  // service stopped: its handlers must not run on what the first one freed.
  if ((code == kServiceControlStop || code == kServiceControlShutdown) && Terminated()) return;
  uint32_t previous = Status();
  try {
    switch (code) {
      case kServiceControlStop: {
        SetStatus(kServiceStopPending);
        bool stopped = true;
        if (OnStop) OnStop(this, stopped);
        if (stopped) {
          terminated_ = true;
          stopHandlerDone_ = true;
        } else {
          SetStatus(previous);
        }
        break;
      }
      case kServiceControlShutdown: {
        SetStatus(kServiceStopPending);
        struct TerminateAtEnd {
          std::atomic<bool>& flag;
          ~TerminateAtEnd() { flag = true; }
        } terminate{terminated_};
        if (OnShutdown) OnShutdown(this);
        stopHandlerDone_ = true;
        break;
      }
      case kServiceControlInterrogate:
        ReportServiceStatus();
        break;
      default:
        // Pause and continue are never accepted; the service's own codes have
        // no handler in this framework.
        break;
    }
  } catch (...) {
    std::string text = ErrorText(std::current_exception());
    if (code != kServiceControlShutdown) SetStatus(previous);
    if (code >= 1 && code <= 5) {
      LogMessage(Failed(ActionWord(code), text));
    } else {
      LogMessage("Service failed in custom message(" + std::to_string(code) + "): " + text);
    }
  }
}

// ---- the dispatcher ----

class ServiceRunner {
 public:
  ServiceRunner(TService& service, int scmFd) : service_(service), scmFd_(scmFd) {}

  int Run() {
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // Blocked before any thread starts, so that every thread of the service
    // inherits the mask and the signals reach only the signalfd below.
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    UniqueFd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (signalFd.get() < 0) {
      // SIGTERM would stay blocked for good: the service could not be stopped.
      uint32_t error = LastErrorFromErrno();
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw SystemError(error);
    }
    int sigFd = signalFd.get();
    service_.SetManagerSocket(scmFd_);

    std::thread dispatcher([this] { Dispatch(); });
    for (;;) {
      pollfd fds[2] = {{dispatcherDone_.get(), POLLIN, 0}, {sigFd, POLLIN, 0}};
      int n = RetryOnEintr([&] { return ::poll(fds, 2, -1); });
      if (n < 0) break;
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) {
        signalfd_siginfo info;
        while (::read(sigFd, &info, sizeof info) == sizeof info) {
        }
        if (started_.load()) {
          service_.PostControlCode(kServiceControlStop);
        } else {
          endDispatch_.Signal();  // nothing runs yet: just leave
        }
      }
    }
    dispatcher.join();
    service_.SetManagerSocket(-1);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
  }

 private:
  void Dispatch() {
    std::thread serviceStart;
    try {
      DispatchRequests(serviceStart);
    } catch (...) {
      // Nothing can reach the service any more: it shuts down as it would
      // without its manager, and the process ends once it has.
      service_.LogMessage(Failed("dispatch", ErrorText(std::current_exception())));
      if (started_.load()) service_.PostControlCode(kServiceControlShutdown);
    }
    if (serviceStart.joinable()) serviceStart.join();
    dispatcherDone_.Signal();
  }

  void DispatchRequests(std::thread& serviceStart) {
    scmwire::FrameBuffer frames;
    bool managerGone = false;
    std::optional<std::chrono::steady_clock::time_point> endBy;
    for (;;) {
      pollfd fds[3] = {{serviceDone_.get(), POLLIN, 0},
                       {endDispatch_.get(), POLLIN, 0},
                       {managerGone ? -1 : scmFd_, POLLIN, 0}};
      int timeout = -1;
      if (endBy) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *endBy - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<int64_t>(left.count(), 0)) + 1;
      }
      int n = ::poll(fds, 3, timeout);
      if (n < 0) {
        // Not RetryOnEintr: the time left to endBy is worked out again above.
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents != 0) break;
      if (n == 0 && endBy && std::chrono::steady_clock::now() >= *endBy) {
        // A service busy elsewhere never reads its queue. Nobody could stop
        // it, and a new manager would start a second copy beside it.
        service_.LogMessage(kOrphanEndText);
        std::_Exit(1);
      }
      if (fds[1].revents != 0) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(endDispatch_.get(), &count, sizeof count);
        if (!started_.load()) break;
        // The start request came first after all: stop the service instead.
        service_.PostControlCode(kServiceControlStop);
      }
      if (fds[2].revents == 0) continue;
      std::string payload;
      scmwire::FrameBuffer::Result result = frames.Read(scmFd_, payload);
      while (result == scmwire::FrameBuffer::Result::Frame) {
        HandleRequest(payload, serviceStart);
        result = frames.Next(payload) ? scmwire::FrameBuffer::Result::Frame
                                      : scmwire::FrameBuffer::Result::NeedMore;
      }
      if (result == scmwire::FrameBuffer::Result::Closed ||
          result == scmwire::FrameBuffer::Result::Error) {
        managerGone = true;
        if (!started_.load()) break;
        // Without its manager nobody can stop the service: shut it down,
        // within the time it promises for a step.
        service_.PostControlCode(kServiceControlShutdown);
        endBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(service_.WaitHint);
      }
    }
  }

  void HandleRequest(const std::string& payload, std::thread& serviceStart) {
    scmwire::Reader reader(payload);
    Op op;
    if (!reader.Op(op)) return;
    if (op == Op::ServiceStart) {
      // A process runs its service once.
      if (started_.exchange(true)) return;
      serviceStart = std::thread([this] { ServiceMain(); });
    } else if (op == Op::ServiceControl) {
      uint32_t code = 0;
      if (!reader.U32(code) || !started_.load()) return;
      // A code read together with the start request (the manager shutting down
      // right after it started the service) waits for the handler: dropping it
      // would leave the service running until the manager kills it.
      if (TServiceController handler = handler_.get()) handler(code);
    }
  }

  // The service-start thread.
  void ServiceMain() {
    try {
      StartAndWait();
    } catch (...) {
      service_.LogMessage(Failed("start", ErrorText(std::current_exception())));
    }
    serviceDone_.Signal();
  }

  void StartAndWait() {
    TServiceController handler = nullptr;
    try {
      handler = service_.GetServiceController();
    } catch (...) {
    }
    handlerSet_.set_value(handler);
    if (handler == nullptr) {
      service_.LogMessage(SystemErrorText(kErrorInvalidHandle));
      {
        std::lock_guard<std::mutex> lock(service_.statusMutex_);
        service_.exitCode_ = kErrorInvalidHandle;
      }
      service_.SetStatus(kServiceStopped);
      return;
    }
    service_.SetStatus(kServiceStartPending);
    std::thread serviceThread([this] {
      try {
        ServiceThread();
      } catch (...) {
        service_.LogMessage(Failed("execute", ErrorText(std::current_exception())));
      }
    });
    serviceThread.join();
    service_.SetStatus(kServiceStopped);
  }

  void ServiceThread() {
    TService& s = service_;
    s.SetStatus(kServiceStartPending);
    bool started = true;
    try {
      if (s.OnStart) s.OnStart(&s, started);
    } catch (...) {
      s.LogMessage(Failed("start", ErrorText(std::current_exception())));
      started = false;
    }
    if (started) {
      s.SetStatus(kServiceRunning);
      try {
        if (s.OnExecute) {
          s.OnExecute(&s);
        } else {
          s.ProcessControlRequests(true);
        }
        s.ProcessControlRequests(false);
      } catch (...) {
        s.LogMessage(Failed("execute", ErrorText(std::current_exception())));
      }
    }
    if (!s.stopHandlerDone_ && s.OnCleanUp) {
      try {
        s.OnCleanUp(&s);
      } catch (...) {
        s.LogMessage(Failed("clean-up", ErrorText(std::current_exception())));
      }
    }
  }

  TService& service_;
  int scmFd_;
  std::atomic<bool> started_{false};
  // Settled once by the service-start thread, null when it got no handler.
  std::promise<TServiceController> handlerSet_;
  std::shared_future<TServiceController> handler_{handlerSet_.get_future().share()};
  WakeFd serviceDone_;
  WakeFd endDispatch_;
  WakeFd dispatcherDone_;
};

// ---- the application ----

bool FindCmdLineSwitch(int argc, char** argv, const std::string& name) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() != name.size() + 1 || (arg[0] != '-' && arg[0] != '/')) continue;
    if (AsciiEqualNoCase(std::string_view(arg).substr(1), name)) return true;
  }
  return false;
}

namespace {

int Register(TService& service, bool install, bool silent) {
  try {
    if (install) {
      ServiceRegistration reg;
      reg.Name = service.Name;
      reg.DisplayName = service.DisplayName;
      reg.ImagePath = ExecutablePath();
      reg.StartType = kServiceAutoStart;
      WriteServiceRegistration(reg);
    } else {
      DeleteServiceRegistration(service.Name);
    }
  } catch (const std::exception& e) {
    std::cerr << "Service \"" << service.DisplayName << "\" failed to "
              << (install ? "install" : "uninstall") << " with error: \"" << e.what() << "\""
              << std::endl;
    return 1;
  }
  if (!silent) {
    std::cout << (install ? "Service installed successfully" : "Service uninstalled successfully")
              << std::endl;
  }
  return 0;
}

}  // namespace

int RunServiceApplication(TService& Service, int argc, char** argv) {
  bool silent = FindCmdLineSwitch(argc, argv, "SILENT");
  if (FindCmdLineSwitch(argc, argv, "INSTALL")) return Register(Service, true, silent);
  if (FindCmdLineSwitch(argc, argv, "UNINSTALL")) return Register(Service, false, silent);

  int scmFd = -1;
  if (!ParseDescriptor(kScmFdVariable, true, scmFd)) {
    std::string text = SystemErrorText(kErrorFailedServiceControllerConnect);
    Service.LogMessage(text);
    std::cerr << text << std::endl;
    return 1;
  }
  // Programs the service starts are no services of this manager, and must not
  // hold the lock that tells the manager this process lives.
  ::fcntl(scmFd, F_SETFD, FD_CLOEXEC);
  ::unsetenv(kScmFdVariable);
  int lockFd = -1;
  if (ParseDescriptor(kLockFdVariable, false, lockFd)) ::fcntl(lockFd, F_SETFD, FD_CLOEXEC);
  ::unsetenv(kLockFdVariable);
  UniqueFd scmHolder(scmFd);
  try {
    return ServiceRunner(Service, scmFd).Run();
  } catch (const std::exception& e) {
    // The event or signal descriptor the framework waits on could not be made.
    Service.LogMessage(e.what());
    std::cerr << e.what() << std::endl;
    return 1;
  }
}

}  // namespace platform
