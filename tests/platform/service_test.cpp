// The service framework in this process, with the test playing the manager on
// the other end of a real socket pair.
#include "platform/service.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/scm_wire.h"
#include "platform/syserror.h"

namespace {

using namespace platform;
using scmwire::Op;

// Event reports, kept for the test to read.
class RecordingSink : public EventSink {
 public:
  void ReportEvent(EventType type, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back((type == EventType::Error ? "E " : "I ") + message);
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

class FakeSvc;
FakeSvc* g_service = nullptr;
std::atomic<int> g_controls{0};

class FakeSvc : public TService {
 public:
  FakeSvc() {
    Name = "FakeSvc";
    DisplayName = "Fake Service";
    g_service = this;
    auto sink = std::make_unique<RecordingSink>();
    events = sink.get();
    SetEventLogger(std::move(sink));
  }
  ~FakeSvc() override { g_service = nullptr; }
  TServiceController GetServiceController() override {
    if (BeforeController) BeforeController();
    Note("controller");
    return NoController ? nullptr : &Controller;
  }
  static void Controller(uint32_t code) {
    g_service->Note("handler");
    g_service->PostControlCode(code);
    ++g_controls;
  }
  // Which handler ran on which thread, in order.
  void Note(const std::string& what) {
    std::lock_guard<std::mutex> lock(callsMutex);
    calls.emplace_back(what, std::this_thread::get_id());
  }
  std::vector<std::pair<std::string, std::thread::id>> Calls() {
    std::lock_guard<std::mutex> lock(callsMutex);
    return calls;
  }
  RecordingSink* events;
  // Runs on the service-start thread before the handler is handed over.
  std::function<void()> BeforeController;
  bool NoController = false;

 private:
  std::mutex callsMutex;
  std::vector<std::pair<std::string, std::thread::id>> calls;
};

ServiceStatus ReadReport(int fd) {
  std::string payload;
  uint32_t err = scmwire::ReceiveFrame(fd, payload);
  EXPECT_EQ(err, 0u) << SystemErrorText(err);
  ServiceStatus status;
  scmwire::Reader reader(payload);
  Op op{};
  EXPECT_TRUE(reader.Op(op) && op == Op::ServiceReport && reader.Status(status));
  return status;
}

void Send(int fd, const scmwire::Writer& message) {
  ASSERT_EQ(scmwire::SendFrame(fd, message.Data()), 0u);
}

// Runs the application on a thread of its own against a socket pair.
class FrameworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_controls = 0;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    manager_ = pair[0];
    serviceEnd_ = pair[1];
    // A framework that stops talking fails the test instead of hanging it.
    timeval timeout{20, 0};
    ::setsockopt(manager_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setenv("VIGILO_SCM_FD", std::to_string(serviceEnd_).c_str(), 1);
    svc_ = std::make_unique<FakeSvc>();
  }
  void TearDown() override {
    // Closing the manager's end shuts a service down that a failed test left running.
    CloseManager();
    if (run_.valid()) run_.wait();
    ::unsetenv("VIGILO_SCM_FD");
    svc_.reset();
  }

  void RunApp() {
    run_ = std::async(std::launch::async, [this] {
      svc_->Note("main");
      char name[] = "fakesvc";
      char* argv[] = {name, nullptr};
      return RunServiceApplication(*svc_, 1, argv);
    });
  }

  // Starts the service and reads the reports up to running.
  void StartToRunning() {
    RunApp();
    Send(manager_, scmwire::Writer(Op::ServiceStart).Text("FakeSvc"));
    ServiceStatus first = ReadReport(manager_);
    ServiceStatus second = ReadReport(manager_);
    ServiceStatus running = ReadReport(manager_);
    EXPECT_EQ(first.dwCurrentState, kServiceStartPending);
    EXPECT_EQ(first.dwCheckPoint, 1u);
    EXPECT_EQ(first.dwControlsAccepted, 0u);
    EXPECT_EQ(second.dwCurrentState, kServiceStartPending);
    EXPECT_EQ(second.dwCheckPoint, 2u);
    EXPECT_EQ(running.dwCurrentState, kServiceRunning);
    EXPECT_EQ(running.dwCheckPoint, 0u);
    EXPECT_EQ(running.dwControlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
    EXPECT_EQ(running.dwWaitHint, 5000u);
    EXPECT_EQ(running.dwServiceType, kServiceWin32OwnProcess);
  }

  void Control(uint32_t code) { Send(manager_, scmwire::Writer(Op::ServiceControl).U32(code)); }

  void CloseManager() {
    if (manager_ >= 0) ::close(manager_);
    manager_ = -1;
  }

  int Finish() {
    if (run_.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the service application did not end";
      CloseManager();
    }
    return run_.get();
  }

  static void WaitForControls(int count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_controls.load() < count && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(g_controls.load(), count) << "the controls did not reach the handler";
  }

  std::unique_ptr<FakeSvc> svc_;
  int manager_ = -1;
  int serviceEnd_ = -1;  // closed by the framework
  std::future<int> run_;
};

TEST(ThreadMessageQueueTest, PeekLeavesTakeRemovesInOrder) {
  ThreadMessageQueue queue;
  ThreadMessage msg;
  EXPECT_FALSE(queue.Peek(msg, 0, 0xFFFFFFFF));
  queue.Post({7, 1, 0});
  queue.Post({kCmServiceControl, 4, 0});
  queue.Post({kCmServiceControl, 1, 0});
  ASSERT_TRUE(queue.Peek(msg, kCmServiceControl, kCmServiceControl));
  EXPECT_EQ(msg.WParam, 4u);
  ASSERT_TRUE(queue.Peek(msg, kCmServiceControl, kCmServiceControl));
  EXPECT_EQ(msg.WParam, 4u) << "a peek removes nothing";
  EXPECT_FALSE(queue.Peek(msg, 8, 100));
  std::vector<uint32_t> taken;
  while (queue.TryTake(msg)) taken.push_back(msg.Message * 10 + msg.WParam);
  EXPECT_EQ(taken,
            (std::vector<uint32_t>{71, kCmServiceControl * 10 + 4, kCmServiceControl * 10 + 1}));
}

TEST(ThreadMessageQueueTest, ContainsLooksBehindTheFirstAndRemovesNothing) {
  ThreadMessageQueue queue;
  const auto isStop = [](const ThreadMessage& m) {
    return m.Message == kCmServiceControl && m.WParam == kServiceControlStop;
  };
  EXPECT_FALSE(queue.Contains(isStop));
  queue.Post({kCmServiceControl, kServiceControlInterrogate, 0});
  EXPECT_FALSE(queue.Contains(isStop));
  queue.Post({kCmServiceControl, kServiceControlStop, 0});
  EXPECT_TRUE(queue.Contains(isStop)) << "behind the interrogate";
  EXPECT_TRUE(queue.Contains(isStop)) << "a look removes nothing";
  ThreadMessage msg;
  ASSERT_TRUE(queue.TryTake(msg));
  EXPECT_EQ(msg.WParam, kServiceControlInterrogate) << "the order is kept";
  ASSERT_TRUE(queue.TryTake(msg));
  EXPECT_FALSE(queue.Contains(isStop));
}

TEST(ThreadMessageQueueTest, PostsFromManyThreadsAllArrive) {
  ThreadMessageQueue queue;
  std::vector<std::thread> posters;
  for (uint32_t t = 0; t < 4; ++t) {
    posters.emplace_back([&queue, t] {
      for (uint32_t i = 0; i < 250; ++i) queue.Post({kCmServiceControl, t, i});
    });
  }
  std::vector<uint32_t> next(4, 0);
  for (int n = 0; n < 1000; ++n) {
    ThreadMessage msg;
    queue.Take(msg);
    ASSERT_LT(msg.WParam, 4u);
    EXPECT_EQ(msg.LParam, next[msg.WParam]++) << "one poster's messages keep their order";
  }
  for (auto& t : posters) t.join();
  ThreadMessage msg;
  EXPECT_FALSE(queue.TryTake(msg));
}

TEST(FindCmdLineSwitchTest, SwitchAfterDashOrSlashInAnyCase) {
  struct Case {
    const char* arg;
    bool found;
  } cases[] = {
      {"-INSTALL", true},   {"/install", true},   {"-InStAlL", true},   {"INSTALL", false},
      {"--install", false}, {"-installx", false}, {"\\install", false}, {"-", false},
  };
  for (const Case& c : cases) {
    char prog[] = "svc";
    std::string arg = c.arg;
    char* argv[] = {prog, arg.data(), nullptr};
    EXPECT_EQ(FindCmdLineSwitch(2, argv, "INSTALL"), c.found) << c.arg;
  }
}

TEST_F(FrameworkTest, HandlersRunOnTheirThreadsInOrder) {
  std::promise<void> executing;
  svc_->OnStart = [&](TService*, bool&) { svc_->Note("start"); };
  svc_->OnExecute = [&](TService* s) {
    svc_->Note("execute");
    executing.set_value();
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  svc_->OnStop = [&](TService*, bool&) { svc_->Note("stop"); };
  svc_->OnCleanUp = [&](TService*) { svc_->Note("cleanup"); };
  StartToRunning();
  executing.get_future().wait();
  Control(kServiceControlStop);
  ServiceStatus stopPending = ReadReport(manager_);
  ServiceStatus stopped = ReadReport(manager_);
  EXPECT_EQ(stopPending.dwCurrentState, kServiceStopPending);
  EXPECT_EQ(stopPending.dwCheckPoint, 1u);
  EXPECT_EQ(stopped.dwCurrentState, kServiceStopped);
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
  EXPECT_EQ(Finish(), 0);
  auto calls = svc_->Calls();
  std::vector<std::string> order;
  for (auto& c : calls) order.push_back(c.first);
  // No clean-up after a stop.
  ASSERT_EQ(order, (std::vector<std::string>{"main", "controller", "start", "execute", "handler",
                                             "stop"}));
  std::thread::id mainThread = calls[0].second, startThread = calls[1].second,
                  serviceThread = calls[2].second, dispatcherThread = calls[4].second;
  EXPECT_EQ(calls[3].second, serviceThread);
  EXPECT_EQ(calls[5].second, serviceThread);
  std::set<std::thread::id> distinct{mainThread, startThread, serviceThread, dispatcherThread};
  EXPECT_EQ(distinct.size(), 4u) << "main, service-start, service and dispatcher threads";
}

TEST_F(FrameworkTest, SecondStopOrShutdownAfterTheStopIsIgnored) {
  struct Case {
    uint32_t second;
  } cases[] = {{kServiceControlStop}, {kServiceControlShutdown}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    TearDown();
    SetUp();
    std::atomic<int> stops{0}, shutdowns{0};
    auto lock = std::make_unique<std::mutex>();
    svc_->OnExecute = [&](TService* s) {
      // Both requests wait in the queue before the first is handled.
      WaitForControls(2);
      s->ProcessControlRequests(false);
    };
    svc_->OnStop = [&](TService*, bool&) {
      ++stops;
      { std::lock_guard<std::mutex> guard(*lock); }  // a second call would use the freed lock
      lock.reset();
    };
    svc_->OnShutdown = [&](TService*) {
      ++shutdowns;
      { std::lock_guard<std::mutex> guard(*lock); }
      lock.reset();
    };
    StartToRunning();
    Control(kServiceControlStop);
    Control(c.second);
    EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopPending);
    EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopped);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(shutdowns.load(), 0);
  }
}

TEST_F(FrameworkTest, StopLeftUnstoppedRestoresRunningAndShutdownAlwaysTerminates) {
  int stopCalls = 0;
  svc_->OnExecute = [&](TService* s) {
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  svc_->OnStop = [&](TService*, bool& stopped) {
    ++stopCalls;
    stopped = false;
  };
  svc_->OnShutdown = [&](TService*) { throw std::runtime_error("disk gone"); };
  StartToRunning();
  Control(kServiceControlStop);
  ServiceStatus pending = ReadReport(manager_);
  ServiceStatus restored = ReadReport(manager_);
  EXPECT_EQ(pending.dwCurrentState, kServiceStopPending);
  EXPECT_EQ(restored.dwCurrentState, kServiceRunning);
  EXPECT_EQ(restored.dwCheckPoint, 0u);
  Control(kServiceControlShutdown);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopPending);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopped);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(stopCalls, 1);
  EXPECT_EQ(svc_->events->Events(),
            std::vector<std::string>{"E Service failed on shutdown: disk gone"});
}

TEST_F(FrameworkTest, FailingStopHandlerRestoresThePreviousState) {
  svc_->OnExecute = [&](TService* s) {
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  bool fail = true;
  svc_->OnStop = [&](TService*, bool&) {
    if (fail) {
      fail = false;
      throw std::runtime_error("busy");
    }
  };
  StartToRunning();
  Control(kServiceControlStop);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopPending);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceRunning);
  Control(kServiceControlStop);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopPending);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopped);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(svc_->events->Events(), std::vector<std::string>{"E Service failed on stop: busy"});
}

// A start that does not get to run, an execute that fails and a shutdown
// handler that fails half-way all leave the service the chance to free what the
// start made.
TEST_F(FrameworkTest, CleanUpRunsWhenTheServiceEndsWithoutStop) {
  struct Case {
    const char* name;
    bool startFalse;
    bool startThrows;
    bool executeThrows;
    bool shutdownThrows;
    std::vector<std::string> events;
  } cases[] = {
      {"start false", true, false, false, false, {}},
      {"start throws", false, true, false, false, {"E Service failed on start: no config"}},
      {"execute throws", false, false, true, false, {"E Service failed on execute: lost"}},
      {"shutdown throws", false, false, false, true, {"E Service failed on shutdown: disk gone"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    // A worker of the start that calls into the service until it is stopped.
    std::atomic<bool> workerRun{true};
    std::atomic<int> touches{0};
    std::thread worker;
    std::thread::id serviceThread, cleanupThread;
    bool executed = false;
    svc_->OnStart = [&](TService*, bool& started) {
      serviceThread = std::this_thread::get_id();
      worker = std::thread([&] {
        while (workerRun.load()) {
          ++touches;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      if (c.startThrows) throw std::runtime_error("no config");
      if (c.startFalse) started = false;
    };
    svc_->OnExecute = [&](TService* s) {
      executed = true;
      if (c.executeThrows) throw std::runtime_error("lost");
      while (c.shutdownThrows && !s->Terminated()) {
        s->ProcessControlRequests(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    svc_->OnShutdown = [&](TService*) { throw std::runtime_error("disk gone"); };
    svc_->OnCleanUp = [&](TService*) {
      cleanupThread = std::this_thread::get_id();
      workerRun = false;
      worker.join();
    };
    RunApp();
    Send(manager_, scmwire::Writer(Op::ServiceStart).Text("FakeSvc"));
    std::vector<uint32_t> states;
    for (;;) {
      ServiceStatus s = ReadReport(manager_);
      states.push_back(s.dwCurrentState);
      if (s.dwCurrentState == kServiceRunning && c.shutdownThrows) {
        Control(kServiceControlShutdown);
      }
      if (s.dwCurrentState == kServiceStopped || states.size() > 5) break;
    }
    EXPECT_EQ(Finish(), 0);
    EXPECT_FALSE(worker.joinable()) << "the clean-up hook ran and stopped the worker";
    EXPECT_EQ(cleanupThread, serviceThread);
    bool runs = !c.startFalse && !c.startThrows;
    EXPECT_EQ(executed, runs);
    std::vector<uint32_t> expected{kServiceStartPending, kServiceStartPending};
    if (runs) expected.push_back(kServiceRunning);
    if (c.shutdownThrows) expected.push_back(kServiceStopPending);
    expected.push_back(kServiceStopped);
    EXPECT_EQ(states, expected);
    EXPECT_EQ(svc_->events->Events(), c.events);
    if (worker.joinable()) {
      workerRun = false;
      worker.join();
    }
  }
}

TEST_F(FrameworkTest, PeekSeesTheFirstControlAndInterrogateIsReported) {
  std::promise<void> peeked;
  std::vector<uint32_t> seen;
  svc_->OnExecute = [&](TService* s) {
    WaitForControls(2);
    ThreadMessage msg;
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(s->PeekMessage(msg, kCmServiceControl, kCmServiceControl));
      seen.push_back(msg.WParam);
    }
    s->ReportServiceStatus();  // what the service does for an interrogate it peeked
    s->ProcessControlRequests(false);
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  StartToRunning();
  Control(kServiceControlInterrogate);
  Control(200);
  // The peek's own report, then the interrogate handled in the queue.
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceRunning);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceRunning);
  Control(kServiceControlStop);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopPending);
  EXPECT_EQ(ReadReport(manager_).dwCurrentState, kServiceStopped);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(seen, (std::vector<uint32_t>{kServiceControlInterrogate, kServiceControlInterrogate}));
}

// The manager shuts its services down as soon as it is told to stop, also one
// it has only just started: the code then arrives right behind the start.
TEST_F(FrameworkTest, ShutdownRightBehindTheStartIsHandled) {
  std::atomic<bool> shutdown{false};
  svc_->OnExecute = [&](TService* s) {
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  svc_->OnShutdown = [&](TService*) { shutdown = true; };
  // The handler is handed over only once the dispatcher has read both requests.
  int serviceEnd = serviceEnd_;
  svc_->BeforeController = [serviceEnd] {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int unread = 1;
    while (::ioctl(serviceEnd, FIONREAD, &unread) == 0 && unread > 0 &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  // Both in the socket before the dispatcher looks: it reads them together.
  std::string both =
      scmwire::Frame(scmwire::Writer(Op::ServiceStart).Text("FakeSvc").Data()) +
      scmwire::Frame(scmwire::Writer(Op::ServiceControl).U32(kServiceControlShutdown).Data());
  ASSERT_EQ(::send(manager_, both.data(), both.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(both.size()));
  RunApp();
  std::vector<uint32_t> states;
  for (;;) {
    std::string payload;
    if (scmwire::ReceiveFrame(manager_, payload) != 0) break;  // SO_RCVTIMEO ran out
    ServiceStatus status;
    scmwire::Reader reader(payload);
    Op op{};
    ASSERT_TRUE(reader.Op(op) && op == Op::ServiceReport && reader.Status(status));
    states.push_back(status.dwCurrentState);
    if (status.dwCurrentState == kServiceStopped) break;
  }
  EXPECT_EQ(states, (std::vector<uint32_t>{kServiceStartPending, kServiceStartPending,
                                           kServiceRunning, kServiceStopPending, kServiceStopped}));
  CloseManager();
  EXPECT_EQ(Finish(), 0);
  EXPECT_TRUE(shutdown.load()) << "the shutdown code was lost";
}

TEST_F(FrameworkTest, WithoutAControlHandlerTheServiceDoesNotStart) {
  bool started = false;
  svc_->OnStart = [&](TService*, bool&) { started = true; };
  svc_->NoController = true;
  RunApp();
  Send(manager_, scmwire::Writer(Op::ServiceStart).Text("FakeSvc"));
  ServiceStatus status = ReadReport(manager_);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped) << "not even start pending";
  EXPECT_EQ(status.dwWin32ExitCode, kErrorInvalidHandle);
  EXPECT_EQ(Finish(), 0);
  EXPECT_FALSE(started);
  EXPECT_EQ(svc_->events->Events(),
            std::vector<std::string>{"E " + SystemErrorText(kErrorInvalidHandle)});
}

TEST_F(FrameworkTest, ManagerGoneShutsTheServiceDown) {
  std::atomic<bool> shutdown{false};
  svc_->OnExecute = [&](TService* s) {
    while (!s->Terminated()) {
      s->ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  svc_->OnShutdown = [&](TService*) { shutdown = true; };
  StartToRunning();
  CloseManager();
  EXPECT_EQ(Finish(), 0);
  EXPECT_TRUE(shutdown.load());
}

TEST(FrameworkStartTest, WithoutTheManagerSocketTheDispatcherFails) {
  ::unsetenv("VIGILO_SCM_FD");
  struct Case {
    const char* value;
  } cases[] = {{nullptr}, {"abc"}, {"999"}, {"-1"}};
  for (const Case& c : cases) {
    if (c.value) ::setenv("VIGILO_SCM_FD", c.value, 1);
    FakeSvc svc;
    bool started = false;
    svc.OnStart = [&](TService*, bool&) { started = true; };
    char prog[] = "svc";
    char* argv[] = {prog, nullptr};
    testing::internal::CaptureStderr();
    int rc = RunServiceApplication(svc, 1, argv);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 1) << (c.value ? c.value : "unset");
    EXPECT_EQ(err, SystemErrorText(kErrorFailedServiceControllerConnect) + "\n");
    EXPECT_EQ(
        svc.events->Events(),
        std::vector<std::string>{"E " + SystemErrorText(kErrorFailedServiceControllerConnect)});
    EXPECT_FALSE(started);
    ::unsetenv("VIGILO_SCM_FD");
  }
}

}  // namespace
