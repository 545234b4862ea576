// A small service linked to the framework, run by svcmgr in the tests.
//
// It appends what happens to $VIGILO_TEST_DIR/record.txt, one line each:
// the event, then the pid or the thread id it ran on. Its behaviour comes
// from the words in $VIGILO_TEST_DIR/mode, read when the process starts:
//   gate-start  the start handler waits for the file "go"
//   long-work   the execute handler first works until the file "release"
//               exists, looking at the control queue the way the alarm
//               service does during a check
//   deaf-work   the same without looking at the queue
//   slow-stop   the stop handler waits for the file "stop-go"
//   fail-start  the start starts a worker thread, then leaves Started False
//   no-dispatch main never runs the dispatcher
//   quick-hint  a wait hint of 1000 ms instead of 5000
//   throwing-handler  the control handler throws for code 201
//   show-env    the start records "env" and the locale variables it got
//   show-ids    the start records "ids" with its real, effective and saved
//               uids and gids, then "groups" with its supplementary groups
#include <grp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/service.h"

namespace {

using namespace platform;

std::string TestDir() {
  return GetEnvironmentVariable("VIGILO_TEST_DIR");
}

void Record(const std::string& line) {
  std::string dir = TestDir();
  if (!dir.empty()) AppendToFile(JoinPath(dir, "record.txt"), line + "\n");
}

std::string Tid() {
  return std::to_string(::syscall(SYS_gettid));
}

bool Exists(const std::string& name) {
  return FileExists(JoinPath(TestDir(), name));
}

void WaitForFile(const std::string& name) {
  while (!Exists(name)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

std::string Mode() {
  std::ifstream in(JoinPath(TestDir(), "mode"));
  std::string words((std::istreambuf_iterator<char>(in)), {});
  return " " + words + " ";
}

class RecordSink : public EventSink {
 public:
  void ReportEvent(EventType type, const std::string& message) override {
    Record(std::string(type == EventType::Error ? "event-error " : "event-info ") + message);
  }
};

class TTestSvc;
TTestSvc* TestSvc = nullptr;

class TTestSvc : public TService {
 public:
  explicit TTestSvc(std::string mode) : mode_(std::move(mode)) {
    std::string name = GetEnvironmentVariable("VIGILO_TEST_SERVICE");
    Name = name.empty() ? "TestSvc" : name;
    DisplayName = "Test Service";
    if (Has("quick-hint")) WaitHint = 1000;
    if (!TestDir().empty()) SetEventLogger(std::make_unique<RecordSink>());
    OnStart = [this](TService*, bool& started) { ServiceStart(started); };
    OnExecute = [this](TService*) { ServiceExecute(); };
    OnStop = [this](TService*, bool&) { ServiceStop(); };
    OnShutdown = [this](TService*) { ServiceShutdown(); };
    OnCleanUp = [this](TService*) { ServiceCleanUp(); };
  }

  TServiceController GetServiceController() override {
    Record("controller " + Tid());
    return &ServiceController;
  }

 private:
  static void ServiceController(uint32_t code) {
    Record("handler " + std::to_string(code) + " " + Tid());
    if (code == 201 && TestSvc->Has("throwing-handler")) throw std::runtime_error("handler broke");
    TestSvc->PostControlCode(code);
  }

  bool Has(const std::string& word) const {
    return mode_.find(" " + word + " ") != std::string::npos;
  }

  void ServiceStart(bool& started) {
    Record("start " + Tid() + " uid " + std::to_string(::getuid()) + " user " +
           GetEnvironmentVariable("USER") + " home " + GetEnvironmentVariable("HOME"));
    if (Has("show-env")) {
      std::string line = "env";
      for (const char* name : {"LANG", "LC_TIME", "LC_NUMERIC", "LC_MESSAGES", "EXTRA", "OTHER"}) {
        line += std::string(" ") + name + "=" + GetEnvironmentVariable(name);
      }
      Record(line);
    }
    if (Has("show-ids")) RecordIds();
    if (Has("gate-start")) WaitForFile("go");
    if (Has("fail-start")) {
      worker_ = std::thread([this] {
        while (workerRun_.load()) {
          ++touches_;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      started = false;
    }
  }

  static void RecordIds() {
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    ::getresuid(&ruid, &euid, &suid);
    ::getresgid(&rgid, &egid, &sgid);
    std::ostringstream ids;
    ids << "ids " << ruid << " " << euid << " " << suid << " " << rgid << " " << egid << " "
        << sgid;
    Record(ids.str());
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(
        std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    std::string line = "groups";
    for (gid_t g : groups) line += " " + std::to_string(g);
    Record(line);
  }

  // What the alarm service asks at its cancel points.
  bool IsControlPending() {
    if (Terminated()) return true;
    ThreadMessage msg;
    if (!PeekMessage(msg, kCmServiceControl, kCmServiceControl)) return false;
    if (msg.WParam == kServiceControlInterrogate) {
      ReportServiceStatus();
      return false;
    }
    return true;
  }

  std::string FirstQueued() const {
    ThreadMessage msg;
    return PeekMessage(msg, kCmServiceControl, kCmServiceControl) ? std::to_string(msg.WParam)
                                                                  : "none";
  }

  void LongWork(bool look) {
    Record("work-begin " + Tid());
    std::string lastSeen = "none";
    while (!Exists("release")) {
      if (look) {
        bool pending = IsControlPending();
        std::string seen = FirstQueued() + (pending ? " pending" : " answered");
        if (seen != lastSeen && FirstQueued() != "none") Record("peek " + seen);
        lastSeen = seen;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Record("work-end first-queued " + FirstQueued());
  }

  void ServiceExecute() {
    Record("execute " + Tid());
    if (Has("long-work")) LongWork(true);
    if (Has("deaf-work")) LongWork(false);
    while (!Terminated()) {
      ProcessControlRequests(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Record("execute-end first-queued " + FirstQueued());
  }

  void ServiceStop() {
    Record("stop " + Tid());
    if (Has("slow-stop")) WaitForFile("stop-go");
  }

  void ServiceShutdown() { Record("shutdown " + Tid()); }

  void ServiceCleanUp() {
    workerRun_ = false;
    if (worker_.joinable()) {
      worker_.join();
      Record("cleanup worker-stopped " + Tid());
    } else {
      Record("cleanup " + Tid());
    }
  }

  std::string mode_;
  std::thread worker_;
  std::atomic<bool> workerRun_{true};
  std::atomic<int> touches_{0};
};

}  // namespace

int main(int argc, char** argv) {
  std::string mode = Mode();
  Record("main " + std::to_string(::getpid()) + " " + Tid());
  if (mode.find(" no-dispatch ") != std::string::npos) {
    for (;;) ::pause();
  }
  int rc;
  {
    TTestSvc svc(mode);
    TestSvc = &svc;
    rc = RunServiceApplication(svc, argc, argv);
    TestSvc = nullptr;
  }
  Record("main-end " + std::to_string(rc));
  return rc;
}
