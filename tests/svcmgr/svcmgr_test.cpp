// svcmgr as a real process with its own folders, the small test service
// linked to the framework, and the client of platform/scm.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/scm_wire.h"
#include "platform/syserror.h"
#include "tests/support/process_support.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace std::chrono_literals;

constexpr char kName[] = "TestSvc";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits for `done`, failing after a generous bound; no test measures time.
bool WaitUntil(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

struct RunResult {
  int status = -1;
  std::string out, err;
};

class SvcmgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vigilo-svcmgr-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);  // the service of another account finds its folder
    fs::create_directories(TestDir());
    ::chmod(TestDir().c_str(), 0777);
    ::setenv("VIGILO_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    ::setenv("VIGILO_SCM_DIR", (root_ + "/scm").c_str(), 1);
    ::setenv("VIGILO_TEST_DIR", TestDir().c_str(), 1);
    ::unsetenv("VIGILO_SCM_TIMEOUT_MS");
    ::unsetenv("VIGILO_SCM_FD");
    // What a sanitizer finds in the manager or a service lands in a file here.
    for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      const char* old = std::getenv(var);
      std::string value = old ? old : "";
      if (!saved_.count(var)) saved_[var] = old ? std::optional<std::string>(value) : std::nullopt;
      ::setenv(var,
               (value + (value.empty() ? "" : ":") + "log_path=" + root_ + "/sanitizer").c_str(),
               1);
    }
  }

  void TearDown() override {
    if (manager_ > 0) StopManager();
    // Nothing a test started may outlive it; a recorded pid that has ended may
    // name another program by now.
    for (pid_t pid : ServicePids()) {
      if (IsTestService(pid)) ::kill(pid, SIGKILL);
    }
    for (const auto& entry : fs::directory_iterator(root_)) {
      if (entry.path().filename().string().rfind("sanitizer", 0) == 0) {
        ADD_FAILURE() << "sanitizer report of a child:\n" << ReadText(entry.path());
      }
    }
    for (const auto& [var, value] : saved_) {
      if (value) {
        ::setenv(var.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(var.c_str());
      }
    }
    fs::remove_all(root_);
  }

  std::string TestDir() const { return root_ + "/t"; }
  void SetMode(const std::string& words) { std::ofstream(TestDir() + "/mode") << words; }
  void Touch(const std::string& name) { std::ofstream(TestDir() + "/" + name) << "x"; }

  // The test service started and busy in its long work, until "release" is touched.
  void StartInLongWork() {
    Register(kName, kServiceDemandStart);
    SetMode("long-work");
    StartManager();
    ASSERT_EQ(Start(), 0u);
    WaitForState(kServiceRunning);
    WaitForRecord("work-begin");
  }

  static void Register(const std::string& name, int startType, const std::string& user = "",
                       const std::string& environment = "") {
    ServiceRegistration reg;
    reg.Name = name;
    reg.DisplayName = "Test Service";
    reg.ImagePath = TEST_SERVICE_PATH;
    reg.StartType = startType;
    reg.User = user;
    reg.Environment = environment;
    WriteServiceRegistration(reg);
  }

  // Runs `program` with `args`, as `uid` when it is not -1, and collects its output.
  RunResult Run(const std::string& program, const std::vector<std::string>& args,
                uid_t uid = static_cast<uid_t>(-1), gid_t gid = 0) {
    std::string outPath = root_ + "/out.txt", errPath = root_ + "/err.txt";
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out, 1);
      ::dup2(err, 2);
      if (uid != static_cast<uid_t>(-1)) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(126);
      }
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out);
    ::close(err);
    RunResult result;
    ::waitpid(pid, &result.status, 0);
    result.status = WIFEXITED(result.status) ? WEXITSTATUS(result.status) : -1;
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    return result;
  }

  void StartManager() {
    manager_ = testing_support::StartChild(SVCMGR_PATH);
    ASSERT_TRUE(WaitUntil(testing_support::ManagerAnswers)) << "svcmgr does not answer";
  }

  // The manager killed at once, as by a crash, and started again.
  void RestartKilledManager() {
    ::kill(manager_, SIGKILL);
    ::waitpid(manager_, nullptr, 0);
    manager_ = -1;
    StartManager();
  }

  // SIGTERM, then the manager's exit status.
  int StopManager() {
    const int status = testing_support::StopChild(manager_, std::chrono::seconds(30));
    manager_ = -1;
    return status;
  }

  uint32_t Open(const std::string& name, uint32_t access, ScHandlePtr& service) {
    ScHandlePtr m;
    if (uint32_t err = SystemServiceManager().OpenSCManager("", kGenericRead, m)) return err;
    return SystemServiceManager().OpenService(*m, name, access, service);
  }

  uint32_t Query(ServiceStatus& status, const std::string& name = kName) {
    ScHandlePtr s;
    if (uint32_t err = Open(name, kServiceQueryStatus, s)) return err;
    return SystemServiceManager().QueryServiceStatus(*s, status);
  }

  uint32_t Start(const std::string& name = kName) {
    ScHandlePtr s;
    if (uint32_t err = Open(name, kServiceStart | kServiceQueryStatus, s)) return err;
    return SystemServiceManager().StartService(*s);
  }

  uint32_t Control(uint32_t code, ServiceStatus& status, const std::string& name = kName) {
    ScHandlePtr s;
    if (uint32_t err = Open(name, kServiceAllAccess, s)) return err;
    return SystemServiceManager().ControlService(*s, code, status);
  }

  ServiceStatus WaitForState(uint32_t state, const std::string& name = kName) {
    ServiceStatus status;
    bool reached =
        WaitUntil([&] { return Query(status, name) == 0 && status.dwCurrentState == state; });
    EXPECT_TRUE(reached) << "state " << state << " not reached, last " << status.dwCurrentState;
    return status;
  }

  std::vector<std::string> Record() const {
    std::istringstream in(ReadText(TestDir() + "/record.txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> RecordOf(const std::string& event) const {
    std::vector<std::string> found;
    for (const std::string& line : Record()) {
      if (line.rfind(event + " ", 0) == 0 || line == event) found.push_back(line);
    }
    return found;
  }

  void WaitForRecord(const std::string& line) {
    EXPECT_TRUE(WaitUntil([&] {
      for (const std::string& l : Record()) {
        if (l.rfind(line, 0) == 0) return true;
      }
      return false;
    })) << "no record line "
        << line;
  }

  std::vector<pid_t> ServicePids() const {
    std::vector<pid_t> pids;
    for (const std::string& line : RecordOf("main")) {
      pids.push_back(static_cast<pid_t>(std::stol(line.substr(5))));
    }
    return pids;
  }

  static bool Alive(pid_t pid) { return ::kill(pid, 0) == 0; }
  // Alive and not a zombie: the orphan of a killed manager may stay one.
  static bool Running(pid_t pid) { return Alive(pid) && IsTestService(pid); }

  static bool IsTestService(pid_t pid) {
    std::error_code error;
    fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    return !error && fs::equivalent(exe, TEST_SERVICE_PATH, error);
  }

  // A connection to scm.sock; -1 on failure.
  static int RawConnection() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = ScmSocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    timeval timeout{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  static bool SendRaw(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // True when `fd` has an answer or its end of file to read.
  static bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  static size_t OpenDescriptors(pid_t pid) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      ++count;
    }
    return count;
  }

  std::string root_;
  pid_t manager_ = -1;
  std::map<std::string, std::optional<std::string>> saved_;
};

// The second word of a record line: the thread (or process) it names.
std::string Field(const std::string& line, size_t index) {
  std::istringstream in(line);
  std::string word;
  for (size_t i = 0; i <= index; ++i) in >> word;
  return word;
}

TEST_F(SvcmgrTest, StartPendingThenRunningThenStopPendingThenStopped) {
  Register(kName, kServiceDemandStart);
  SetMode("gate-start slow-stop");
  StartManager();
  ServiceStatus status;
  ASSERT_EQ(Query(status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceStopped);

  ASSERT_EQ(Start(), 0u);
  // Until the start handler returns: start pending, check points rising to the
  // service thread's report, a wait hint always.
  std::vector<uint32_t> checkPoints;
  ASSERT_TRUE(WaitUntil([&] {
    EXPECT_EQ(Query(status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceStartPending);
    EXPECT_NE(status.dwWaitHint, 0u);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    if (checkPoints.empty() || checkPoints.back() != status.dwCheckPoint) {
      checkPoints.push_back(status.dwCheckPoint);
    }
    return status.dwCheckPoint == 2;
  }));
  for (size_t i = 1; i < checkPoints.size(); ++i) EXPECT_GT(checkPoints[i], checkPoints[i - 1]);
  EXPECT_EQ(Control(kServiceControlStop, status), kErrorServiceCannotAcceptCtrl)
      << "no controls while start pending";
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);

  Touch("go");
  status = WaitForState(kServiceRunning);
  EXPECT_EQ(status.dwCheckPoint, 0u);
  EXPECT_EQ(status.dwWaitHint, 5000u);
  EXPECT_EQ(status.dwControlsAccepted, kServiceAcceptStop | kServiceAcceptShutdown);
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);

  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  status = WaitForState(kServiceStopPending);
  EXPECT_EQ(status.dwCheckPoint, 1u);
  Touch("stop-go");
  status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");

  // Handlers in order, each on its thread.
  std::vector<std::string> events;
  for (const std::string& line : Record()) events.push_back(Field(line, 0));
  EXPECT_EQ(events, (std::vector<std::string>{"main", "controller", "start", "execute", "handler",
                                              "stop", "execute-end", "main-end"}));
  auto lines = Record();
  ASSERT_EQ(lines.size(), 8u);
  std::string mainThread = Field(lines[0], 2), startThread = Field(lines[1], 1),
              serviceThread = Field(lines[2], 1), dispatcherThread = Field(lines[4], 2);
  EXPECT_EQ(Field(lines[0], 1), mainThread) << "main runs on the process's first thread";
  EXPECT_EQ(Field(lines[3], 1), serviceThread);
  EXPECT_EQ(Field(lines[5], 1), serviceThread);
  EXPECT_EQ(Field(lines[4], 1), "1") << "the stop code reached the handler";
  std::set<std::string> threads{mainThread, startThread, serviceThread, dispatcherThread};
  EXPECT_EQ(threads.size(), 4u);
  EXPECT_EQ(StopManager(), 0);
}

TEST_F(SvcmgrTest, InterrogateDuringLongWorkIsAnsweredAndStaysQueued) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  // Only the peek inside the work can answer: the queue is not processed.
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlInterrogate, status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceRunning);
  WaitForRecord("peek 4 answered");
  Touch("release");
  WaitForRecord("work-end first-queued 4");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("execute-end"), std::vector<std::string>{"execute-end first-queued none"})
      << "the queue was emptied by the request processing";
}

TEST_F(SvcmgrTest, UserCodeIsSeenByThePeekAndLeavesTheServiceRunning) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  ServiceStatus status;
  ASSERT_EQ(Control(200, status), 0u);
  WaitForRecord("peek 200 pending");
  ASSERT_EQ(RecordOf("handler").size(), 1u);
  EXPECT_EQ(Field(RecordOf("handler")[0], 1), "200");
  Touch("release");
  WaitForRecord("work-end");
  ASSERT_EQ(Query(status), 0u);
  EXPECT_EQ(status.dwCurrentState, kServiceRunning);
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

TEST_F(SvcmgrTest, StopsAndShutdownQueuedTogetherRunTheStopHandlerOnce) {
  ASSERT_NO_FATAL_FAILURE(StartInLongWork());
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  ASSERT_EQ(Control(kServiceControlStop, status), 0u) << "still running: the first is queued";
  WaitForRecord("peek 1 pending");
  // The manager's shutdown joins them in the queue.
  ::kill(manager_, SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return RecordOf("handler").size() == 3; }));
  Touch("release");
  int status2 = 0;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(manager_, &status2, WNOHANG) == manager_; }));
  manager_ = -1;
  EXPECT_TRUE(WIFEXITED(status2) && WEXITSTATUS(status2) == 0);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("stop").size(), 1u);
  EXPECT_TRUE(RecordOf("shutdown").empty());
  EXPECT_TRUE(RecordOf("cleanup").empty());
}

TEST_F(SvcmgrTest, ManagerSigtermShutsServicesDownAndWaits) {
  Register(kName, kServiceDemandStart);
  Register("Other", kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  ASSERT_EQ(Start("other"), 0u);
  WaitForState(kServiceRunning);
  WaitForState(kServiceRunning, "Other");
  std::vector<pid_t> pids = ServicePids();
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_EQ(StopManager(), 0);
  // The manager ended after its services had.
  for (pid_t pid : pids) EXPECT_FALSE(Alive(pid));
  EXPECT_EQ(RecordOf("shutdown").size(), 2u);
  EXPECT_EQ(RecordOf("main-end").size(), 2u);
  EXPECT_TRUE(RecordOf("stop").empty());
}

TEST_F(SvcmgrTest, KilledServiceIsStoppedWith1067AndStartsAgain) {
  Register(kName, kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(ServicePids().size(), 1u);
  ::kill(ServicePids()[0], SIGKILL);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, kErrorProcessAborted);
  EXPECT_EQ(Control(kServiceControlStop, status), kErrorServiceNotActive);
  ASSERT_EQ(Start(), 0u);
  status = WaitForState(kServiceRunning);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
}

TEST_F(SvcmgrTest, StartRightAfterStopAndStartOfRunningService) {
  Register(kName, kServiceDemandStart);
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
  // Stopped is reported before the process ends: start at once all the same.
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  EXPECT_EQ(Start(), kErrorServiceAlreadyRunning);
  std::vector<pid_t> pids = ServicePids();
  ASSERT_EQ(pids.size(), 2u);
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(pids[0]); })) << "the first process ended";
  EXPECT_TRUE(Alive(pids[1]));
}

TEST_F(SvcmgrTest, UnknownServicesWrongCallsAndOtherMachines) {
  Register(kName, kServiceDemandStart);
  Register("Disabled", kServiceDisabled);
  StartManager();
  ScHandlePtr s;
  for (const char* name : {"NoSuch", "", "../scm/services/testsvc", "a/b"}) {
    EXPECT_EQ(Open(name, kServiceQueryStatus, s), kErrorServiceDoesNotExist) << name;
  }
  EXPECT_EQ(Start("Disabled"), kErrorServiceDisabled);
  ServiceRegistration missing{"Missing", "Missing", root_ + "/no-such-program", 3, "", ""};
  WriteServiceRegistration(missing);
  EXPECT_EQ(Start("Missing"), kErrorFileNotFound);
  ServiceRegistration stranger{"Stranger", "Stranger",          TEST_SERVICE_PATH,
                               3,          "no-such-account-x", ""};
  WriteServiceRegistration(stranger);
  EXPECT_EQ(Start("Stranger"), kErrorServiceLogonFailed);
  EXPECT_TRUE(RecordOf("main").empty()) << "neither program ran";
  ServiceStatus status;
  EXPECT_EQ(Control(kServiceControlShutdown, status), kErrorInvalidParameter)
      << "only the manager sends shutdown";
  EXPECT_EQ(Control(kServiceControlStop, status), kErrorServiceNotActive);
  ScHandlePtr m;
  ::setenv("VIGILO_SSH", "false", 1);  // ssh that fails: a PC that cannot be reached
  EXPECT_EQ(SystemServiceManager().OpenSCManager("otherpc", kGenericRead, m), kErrorBadNetPath);
  EXPECT_EQ(SystemErrorText(kErrorBadNetPath), "The network path was not found");
  // A handle lets do only what it was opened for.
  ASSERT_EQ(Open(kName, kServiceQueryStatus, s), 0u);
  EXPECT_EQ(SystemServiceManager().StartService(*s), kErrorAccessDenied);
  EXPECT_EQ(SystemServiceManager().ControlService(*s, kServiceControlStop, status),
            kErrorAccessDenied);
  ASSERT_EQ(SystemServiceManager().OpenSCManager("", kGenericRead, m), 0u);
  EXPECT_EQ(SystemServiceManager().QueryServiceStatus(*m, status), kErrorInvalidHandle);
  // The manager stopped: its clients learn it.
  EXPECT_EQ(StopManager(), 0);
  EXPECT_EQ(SystemServiceManager().QueryServiceStatus(*s, status), kErrorRpcServerUnavailable);
  EXPECT_EQ(SystemServiceManager().OpenSCManager("", kGenericRead, m), kErrorRpcServerUnavailable);
}

TEST_F(SvcmgrTest, CallerWithoutRightsGets5AndTheServiceAccountMay) {
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  Register(kName, kServiceDemandStart);
  Register("OwnSvc", kServiceDemandStart, "nobody");
  StartManager();
  struct Case {
    std::vector<std::string> args;
    std::string answer;
  } cases[] = {
      {{"manager", "0x80000000"}, "0\n"},  // GENERIC_READ
      {{"manager", "0xF003F"}, "5\n"},     // full access is for root
      {{"query", kName, "4"}, "0 1\n"},    // anyone may query
      {{"open", kName, "0x37"}, "5\n"},    // the configuration round trip's check
      {{"start", kName, "0x14"}, "5\n"},    {{"control", kName, "0x24", "1"}, "5\n"},
      {{"open", "OwnSvc", "0x37"}, "0\n"},  // the service's own account
      {{"start", "OwnSvc", "0x14"}, "0\n"},
  };
  for (const Case& c : cases) {
    RunResult r = Run(SCM_TOOL_PATH, c.args, nobody->pw_uid, nobody->pw_gid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.answer) << c.args[0] << " " << c.args[1];
  }
  ScHandlePtr s;
  EXPECT_EQ(Open(kName, 0x37, s), 0u) << "root may";
  WaitForState(kServiceRunning, "OwnSvc");
  WaitForRecord("start");
  std::string start = RecordOf("start")[0];
  EXPECT_EQ(Field(start, 3), std::to_string(nobody->pw_uid)) << "the service runs as its account";
  EXPECT_EQ(Field(start, 5), "nobody") << "with its account's USER";
  EXPECT_EQ(Field(start, 7), nobody->pw_dir) << "and HOME";
  RunResult stop =
      Run(SCM_TOOL_PATH, {"control", "OwnSvc", "0x24", "1"}, nobody->pw_uid, nobody->pw_gid);
  EXPECT_EQ(stop.out, "0 4\n");
  WaitForState(kServiceStopped, "OwnSvc");
}

TEST_F(SvcmgrTest, UnresponsiveServiceIsKilledWith1053) {
  ::setenv("VIGILO_SCM_TIMEOUT_MS", "500", 1);
  Register(kName, kServiceDemandStart);
  StartManager();
  SetMode("no-dispatch");
  ASSERT_EQ(Start(), 0u);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, kErrorServiceRequestTimeout);
  ASSERT_EQ(ServicePids().size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return !Alive(ServicePids()[0]); }));
}

TEST_F(SvcmgrTest, InterrogateLeftUnansweredFailsWith1053) {
  // Long enough for the service's first report on a loaded machine: that report
  // has the same time to arrive.
  ::setenv("VIGILO_SCM_TIMEOUT_MS", "5000", 1);
  Register(kName, kServiceDemandStart);
  StartManager();
  // A service that never looks at its queue leaves an interrogate unanswered.
  SetMode("deaf-work");
  ServiceStatus status;
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  EXPECT_EQ(Control(kServiceControlInterrogate, status), kErrorServiceRequestTimeout);
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// Anyone may interrogate, and a service busy elsewhere leaves the callers
// waiting: their connections must not pile up in the manager.
TEST_F(SvcmgrTest, WaitingInterrogatesCannotExhaustTheManager) {
  Register(kName, kServiceDemandStart);
  SetMode("deaf-work");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  constexpr size_t kCallers = 200;
  std::vector<int> callers;
  for (size_t i = 0; i < kCallers; ++i) {
    int fd = RawConnection();
    ASSERT_GE(fd, 0);
    callers.push_back(fd);
    // A caller turned away may find its connection closed before it sends.
    SendRaw(fd, scmwire::Frame(scmwire::Writer(scmwire::Op::Control)
                                   .Text(kName)
                                   .U32(kServiceInterrogate)
                                   .U32(kServiceControlInterrogate)
                                   .Data()));
  }
  // The manager holds 64 connections at most and turns the others away at once.
  EXPECT_TRUE(WaitUntil([&] { return Readable(callers.back()); }));
  EXPECT_LE(OpenDescriptors(manager_), 64u + 16u) << "64 callers and a few of its own";
  std::vector<int> waiting;
  size_t refused = 0;
  for (int fd : callers) {
    if (!Readable(fd)) {
      waiting.push_back(fd);
      continue;
    }
    // Closed, or reset when the request was still unread: no answer either way.
    std::string answer;
    EXPECT_NE(scmwire::ReceiveFrame(fd, answer), 0u) << "closed unanswered";
    ++refused;
  }
  EXPECT_LE(waiting.size(), 64u);
  EXPECT_FALSE(waiting.empty());
  EXPECT_EQ(refused + waiting.size(), kCallers);
  // The service answers: every waiting caller gets the status.
  Touch("release");
  for (int fd : waiting) {
    std::string answer;
    ASSERT_EQ(scmwire::ReceiveFrame(fd, answer), 0u);
    scmwire::Reader reader(answer);
    uint32_t code = 1;
    ServiceStatus status;
    EXPECT_TRUE(reader.U32(code) && reader.Status(status));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceRunning);
  }
  for (int fd : callers) ::close(fd);
  ServiceStatus status;
  EXPECT_EQ(Query(status), 0u);
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// One user's idle connections, reopened as they are dropped, must not keep
// root (or anyone else) from the manager.
TEST_F(SvcmgrTest, IdleConnectionsOfOneUserDoNotStopRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  Register(kName, kServiceDemandStart);
  StartManager();
  constexpr int kIdle = 64;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    // Holds kIdle connections that never send; its exit status is the number
    // of them still open once the manager should have dropped them all.
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
        ::setuid(nobody->pw_uid) != 0) {
      ::_exit(255);
    }
    std::vector<int> idle;
    for (int i = 0; i < kIdle; ++i) idle.push_back(RawConnection());
    char one = 1;
    if (::write(ready[1], &one, 1) != 1) ::_exit(254);
    int open = 0;
    for (int fd : idle) {
      pollfd p{fd, POLLIN, 0};
      if (fd < 0 || ::poll(&p, 1, 30000) != 1) ++open;
    }
    ::_exit(open);
  }
  ::close(ready[1]);
  char one = 0;
  ASSERT_EQ(::read(ready[0], &one, 1), 1);
  ::close(ready[0]);
  ServiceStatus status;
  EXPECT_EQ(Query(status), 0u) << "root is served beside the idle connections";
  EXPECT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  EXPECT_LE(OpenDescriptors(manager_), 8u + 16u) << "one user's budget and a few of its own";
  int childStatus = 0;
  ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
  ASSERT_TRUE(WIFEXITED(childStatus));
  EXPECT_EQ(WEXITSTATUS(childStatus), 0) << "idle connections left open";
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// What a caller sends cannot bring the manager down: a bad request is answered
// 87, a frame that cannot be one closes the connection.
TEST_F(SvcmgrTest, MalformedRequestsAreRefusedAndTheManagerGoesOn) {
  using scmwire::Op;
  using scmwire::Writer;
  Register(kName, kServiceDemandStart);
  StartManager();
  auto u32 = [](uint32_t v) { return Writer().U32(v).Data(); };
  const std::string query = Writer(Op::QueryStatus).Text(kName).U32(kServiceQueryStatus).Data();
  constexpr uint32_t kClosed = 0xFFFFFFFF;
  struct Case {
    const char* what;
    std::string bytes;
    bool halfClose;  // the caller stops sending after the bytes
    uint32_t answer;
  } cases[] = {
      {"empty frame", scmwire::Frame(""), false, kErrorInvalidParameter},
      {"unknown operation", scmwire::Frame(u32(99)), false, kErrorInvalidParameter},
      {"name longer than the frame",
       scmwire::Frame(u32(static_cast<uint32_t>(Op::OpenService)) + u32(1000) + "abc"), false,
       kErrorInvalidParameter},
      {"control without its code",
       scmwire::Frame(Writer(Op::Control).Text(kName).U32(kServiceAllAccess).Data()), false,
       kErrorInvalidParameter},
      {"service operation sent by a client",
       scmwire::Frame(Writer(Op::ServiceStart).Text(kName).U32(kServiceAllAccess).Data()), false,
       kErrorInvalidParameter},
      {"frame longer than the limit", u32(static_cast<uint32_t>(scmwire::kMaxFrame) + 1), false,
       kClosed},
      {"frame of 4 GB", u32(0xFFFFFFFF) + std::string(64, 'x'), false, kClosed},
      {"caller leaves inside the frame", u32(100) + "short", true, kClosed},
      {"two requests on one connection", scmwire::Frame(query) + scmwire::Frame(query), false,
       kErrorSuccess},
  };
  for (const Case& c : cases) {
    int fd = RawConnection();
    ASSERT_GE(fd, 0) << c.what;
    ASSERT_TRUE(SendRaw(fd, c.bytes)) << c.what;
    if (c.halfClose) ::shutdown(fd, SHUT_WR);
    std::string answer;
    uint32_t err = scmwire::ReceiveFrame(fd, answer);
    if (c.answer == kClosed) {
      EXPECT_EQ(err, kErrorBrokenPipe) << c.what;
    } else {
      ASSERT_EQ(err, 0u) << c.what;
      uint32_t code = kClosed;
      EXPECT_TRUE(scmwire::Reader(answer).U32(code)) << c.what;
      EXPECT_EQ(code, c.answer) << c.what;
      EXPECT_EQ(scmwire::ReceiveFrame(fd, answer), kErrorBrokenPipe)
          << c.what << ": one answer per connection";
    }
    ::close(fd);
    ServiceStatus status;
    EXPECT_EQ(Query(status), 0u) << "the manager answers after: " << c.what;
  }
  EXPECT_TRUE(RecordOf("main").empty()) << "no request started the service";
  EXPECT_EQ(StopManager(), 0);
}

TEST_F(SvcmgrTest, InstalledServiceStartsAutomaticallyAndOutlivesItsUninstall) {
  RunResult install = Run(TEST_SERVICE_PATH, {"-install", "-silent"});
  ASSERT_EQ(install.status, 0) << install.err;
  StartManager();
  WaitForState(kServiceRunning);
  RunResult uninstall = Run(TEST_SERVICE_PATH, {"-uninstall"});
  EXPECT_EQ(uninstall.status, 0);
  ServiceStatus status;
  EXPECT_EQ(Query(status), 0u) << "known while it runs";
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  EXPECT_TRUE(WaitUntil([&] { return Query(status) == kErrorServiceDoesNotExist; }));
  EXPECT_EQ(Start(), kErrorServiceDoesNotExist);
}

TEST_F(SvcmgrTest, SwitchesInAnyCaseWithAndWithoutSilent) {
  const std::string failedInstall =
      "Service \"Test Service\" failed to install with error: \"The specified service already "
      "exists\"\n";
  const std::string failedUninstall =
      "Service \"Test Service\" failed to uninstall with error: \"The specified service does not "
      "exist as an installed service\"\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;
    bool registered;
  } cases[] = {
      {{"-install"}, 0, "Service installed successfully\n", "", true},
      {{"/INSTALL", "/silent"}, 1, "", failedInstall, true},
      {{"/Install"}, 1, "", failedInstall, true},
      {{"/UnInstall", "-SILENT"}, 0, "", "", false},
      {{"-uninstall"}, 1, "", failedUninstall, false},
      {{"-Silent", "-InStAlL"}, 0, "", "", true},
      {{"/UNINSTALL"}, 0, "Service uninstalled successfully\n", "", false},
      {{"-install", "-uninstall"}, 0, "Service installed successfully\n", "", true},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& a : c.args) label += a + " ";
    RunResult r = Run(TEST_SERVICE_PATH, c.args);
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
    auto reg = ReadServiceRegistration(kName);
    ASSERT_EQ(reg.has_value(), c.registered) << label;
    if (reg) {
      EXPECT_EQ(reg->DisplayName, "Test Service");
      EXPECT_EQ(reg->StartType, kServiceAutoStart) << "automatic";
      EXPECT_EQ(fs::canonical(reg->ImagePath), fs::canonical(TEST_SERVICE_PATH));
      EXPECT_EQ(reg->User, "");
    }
  }
  EXPECT_TRUE(RecordOf("controller").empty()) << "no switch ran the service";
  EXPECT_EQ(RecordOf("main-end").size(), std::size(cases));
}

TEST_F(SvcmgrTest, WithoutTheManagerTheServiceProgramFailsWith1063) {
  RunResult r = Run(TEST_SERVICE_PATH, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "The service process could not connect to the service controller\n");
  EXPECT_EQ(RecordOf("event-error"),
            std::vector<std::string>{
                "event-error The service process could not connect to the service controller"});
  EXPECT_TRUE(RecordOf("start").empty());
}

TEST_F(SvcmgrTest, StartLeftFalseFreesItsWorkerAndNeverRuns) {
  Register(kName, kServiceDemandStart);
  SetMode("fail-start");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  ServiceStatus status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");
  std::vector<std::string> events;
  for (const std::string& line : Record()) events.push_back(Field(line, 0));
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[2], "start");
  EXPECT_EQ(RecordOf("cleanup").size(), 1u);
  EXPECT_EQ(Field(RecordOf("cleanup")[0], 1), "worker-stopped");
  EXPECT_EQ(Field(RecordOf("cleanup")[0], 2), Field(RecordOf("start")[0], 1))
      << "on the service thread";
  EXPECT_TRUE(RecordOf("execute").empty());
  EXPECT_TRUE(RecordOf("stop").empty());
}

// Another user could bind scm.sock first in a folder they may write or own.
TEST_F(SvcmgrTest, RuntimeFolderOthersCouldWriteOrOwnIsRefused) {
  const std::string runtime = root_ + "/run";
  struct Case {
    const char* label;
    mode_t mode;
    uid_t owner;  // 0: this process's user
  } cases[] = {{"world-writable", 0777, 0}, {"another user's", 0755, 65534}};
  for (const Case& c : cases) {
    if (c.owner != 0 && ::geteuid() != 0) continue;  // only root can give a folder away
    ASSERT_EQ(::mkdir(runtime.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(runtime.c_str(), c.mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(::chown(runtime.c_str(), c.owner, c.owner), 0);
    }
    const pid_t pid = testing_support::StartChild(SVCMGR_PATH, SIGKILL);
    int status = 0;
    bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.label;
    EXPECT_FALSE(fs::exists(runtime + "/scm.sock")) << c.label;
    fs::remove_all(runtime);
  }
}

TEST_F(SvcmgrTest, UnderUmask077TheManagerStaysOpenToEveryone) {
  Register(kName, kServiceDemandStart);
  mode_t umask = ::umask(077);
  StartManager();
  ::umask(umask);
  struct stat st;
  ASSERT_EQ(::stat((root_ + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  if (::geteuid() != 0) return;  // needs root to act as another user
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  RunResult r = Run(SCM_TOOL_PATH, {"query", kName, "4"}, nobody->pw_uid, nobody->pw_gid);
  EXPECT_EQ(r.out, "0 1\n") << r.err;
}

// A manager killed while its service is busy, then started again, must never
// have two processes of the service run: the orphan ends on its own within its
// wait hint, and the new manager starts the automatic service only after it.
TEST_F(SvcmgrTest, ManagerKilledDuringLongWorkNeverLeavesTwoInstances) {
  Register(kName, kServiceAutoStart);
  SetMode("deaf-work quick-hint");
  StartManager();
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  ASSERT_EQ(ServicePids().size(), 1u);
  const pid_t first = ServicePids()[0];
  RestartKilledManager();
  ServiceStatus status;
  bool twoAlive = false;
  EXPECT_TRUE(WaitUntil([&] {
    std::vector<pid_t> pids = ServicePids();
    size_t alive = 0;
    for (pid_t pid : pids) alive += Running(pid) ? 1 : 0;
    twoAlive = twoAlive || alive > 1;
    return pids.size() == 2 && Query(status) == 0 && status.dwCurrentState == kServiceRunning;
  }));
  EXPECT_FALSE(twoAlive);
  EXPECT_FALSE(Running(first));
  EXPECT_EQ(RecordOf("event-error"),
            std::vector<std::string>{"event-error The service lost its service manager and did "
                                     "not stop in time: the process ends"});
  EXPECT_EQ(RecordOf("shutdown").size(), 0u) << "the deaf work never reached the handler";
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// While a previous manager's process is alive, a start waits for it to end.
TEST_F(SvcmgrTest, StartWhileAPreviousManagersProcessRunsWaitsForItsEnd) {
  Register(kName, kServiceDemandStart);
  SetMode("deaf-work quick-hint");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  WaitForRecord("work-begin");
  const pid_t first = ServicePids()[0];
  RestartKilledManager();
  ServiceStatus status;
  ASSERT_EQ(Query(status), 0u);
  if (Running(first)) {
    EXPECT_NE(status.dwCurrentState, kServiceStopped) << "the previous process is reported";
  }
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(ServicePids().size(), 2u);
  EXPECT_FALSE(Running(first));
  Touch("release");
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  WaitForState(kServiceStopped);
}

// Every service gets the machine's locale, as a system service would, not the
// one of whoever started the manager; its registration may set its own.
TEST_F(SvcmgrTest, ServicesGetTheMachinesLocaleUnlessTheirRegistrationSetsIt) {
  const std::string localeFile = root_ + "/locale";
  std::ofstream(localeFile) << "#  File generated by update-locale\n"
                               "LANG=\"fr_FR.UTF-8\"\n"
                               "LC_TIME=de_DE.UTF-8\n"
                               "export LC_NUMERIC='en_GB.UTF-8'\n"
                               "OTHER=not-a-locale-variable\n";
  ::setenv("VIGILO_LOCALE_FILE", localeFile.c_str(), 1);
  // The manager's own locale, which the services must not get.
  std::map<std::string, std::optional<std::string>> saved;
  for (const char* var : {"LANG", "LC_MESSAGES", "LC_TIME"}) {
    const char* old = std::getenv(var);
    saved[var] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  ::setenv("LANG", "C.UTF-8", 1);
  ::setenv("LC_MESSAGES", "C", 1);
  ::setenv("LC_TIME", "C", 1);
  SetMode("show-env");
  Register(kName, kServiceDemandStart);
  Register("Own", kServiceDemandStart, "", "LC_TIME=pt_PT.UTF-8;EXTRA=yes;broken");
  StartManager();
  for (const auto& [var, value] : saved) {
    if (value) {
      ::setenv(var.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(var.c_str());
    }
  }
  ::unsetenv("VIGILO_LOCALE_FILE");
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ASSERT_EQ(Start("Own"), 0u);
  WaitForState(kServiceRunning, "Own");
  std::vector<std::string> env = RecordOf("env");
  ASSERT_EQ(env.size(), 2u);
  EXPECT_EQ(env[0],
            "env LANG=fr_FR.UTF-8 LC_TIME=de_DE.UTF-8 LC_NUMERIC=en_GB.UTF-8 LC_MESSAGES= "
            "EXTRA= OTHER=");
  EXPECT_EQ(env[1],
            "env LANG=fr_FR.UTF-8 LC_TIME=pt_PT.UTF-8 LC_NUMERIC=en_GB.UTF-8 LC_MESSAGES= "
            "EXTRA=yes OTHER=");
  EXPECT_EQ(ReadServiceRegistration("Own")->Environment, "LC_TIME=pt_PT.UTF-8;EXTRA=yes;broken");
  ServiceStatus status;
  ASSERT_EQ(Control(kServiceControlStop, status), 0u);
  ASSERT_EQ(Control(kServiceControlStop, status, "Own"), 0u);
  WaitForState(kServiceStopped);
  WaitForState(kServiceStopped, "Own");
}

// An exception on a framework thread is logged and the service ends its run
// cleanly instead of the process aborting.
TEST_F(SvcmgrTest, AThreadBodyThatThrowsIsLoggedAndTheServiceEndsCleanly) {
  Register(kName, kServiceDemandStart);
  SetMode("throwing-handler");
  StartManager();
  ASSERT_EQ(Start(), 0u);
  WaitForState(kServiceRunning);
  ServiceStatus status;
  ASSERT_EQ(Control(201, status), 0u);
  status = WaitForState(kServiceStopped);
  EXPECT_EQ(status.dwWin32ExitCode, 0u);
  WaitForRecord("main-end 0");
  EXPECT_EQ(RecordOf("event-error"),
            std::vector<std::string>{"event-error Service failed on dispatch: handler broke"});
  EXPECT_EQ(RecordOf("shutdown").size(), 1u);
}

}  // namespace
