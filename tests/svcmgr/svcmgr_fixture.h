// The fixture of the service manager's tests: svcmgr as a real process (or
// the manager run by the test's own code) with its own folders, the small
// test service linked to the framework, and the client of platform/scm.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
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

#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/scm_wire.h"
#include "platform/syserror.h"
#include "svcmgr/manager.h"
#include "tests/support/process_support.h"

namespace svcmgr_test {

namespace fs = std::filesystem;
using namespace platform;
using namespace std::chrono_literals;

inline constexpr char kName[] = "TestSvc";

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::string> ReadLines(const std::string& path) {
  std::istringstream in(ReadText(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits for `done`, failing after a generous bound; no test measures time.
inline bool WaitUntil(const std::function<bool()>& done) {
  return testing_support::WaitUntil(done, 30s);
}

struct RunResult {
  int status = -1;
  std::string out, err;
};

// The manager's messages, appended to a file the test reads.
class LogFile : public EventSink {
 public:
  explicit LogFile(std::string path) : path_(std::move(path)) {}
  void ReportEvent(EventType type, const std::string& message) override {
    AppendToFile(path_, (type == EventType::Error ? "error " : "info ") + message + "\n");
  }

 private:
  std::string path_;
};

class SvcmgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vigilo-svcmgr-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);  // the service of another account finds its folder
    fs::create_directories(TestDir());
    // The manager serves only registrations in a folder nobody else may write.
    fs::create_directories(root_ + "/scm/services");
    ::chmod((root_ + "/scm").c_str(), 0755);
    ::chmod((root_ + "/scm/services").c_str(), 0755);
    ::chmod(TestDir().c_str(), 0777);
    ::setenv("VIGILO_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    ::setenv("VIGILO_SCM_DIR", (root_ + "/scm").c_str(), 1);
    ::setenv("VIGILO_TEST_DIR", TestDir().c_str(), 1);
    ::unsetenv("VIGILO_SCM_TIMEOUT_MS");
    ::unsetenv("VIGILO_GROUP");
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
  std::string RegistrationFile(const std::string& name) const {
    return root_ + "/scm/services/" + ServiceNameKey(name) + ".ini";
  }
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
  static RunResult Run(const std::string& program, const std::vector<std::string>& args,
                       uid_t uid = static_cast<uid_t>(-1), gid_t gid = 0) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    testing_support::ChildOptions options{.captureErrors = true};
    if (uid != static_cast<uid_t>(-1)) {
      options.uid = uid;
      options.gid = gid;
    }
    testing_support::ProgramResult r = testing_support::RunProgram(argv, options);
    return {r.exitCode, r.output, r.errors};
  }

  void StartManager() {
    manager_ = testing_support::StartChild(SVCMGR_PATH);
    ASSERT_TRUE(WaitUntil(testing_support::ManagerAnswers)) << "svcmgr does not answer";
  }

  // The manager run by the test's own code, in a child process, with
  // `restart` for its restarts and its messages in ManagerLog().
  void StartManagerInProcess(const svcmgr::RestartPolicy& restart) {
    const std::string logPath = root_ + "/manager.log";
    manager_ = ::fork();
    if (manager_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      LogFile log(logPath);
      svcmgr::ManagerOptions options;
      options.socketPath = ScmSocketPath();
      options.restart = restart;
      options.log = &log;
      int rc;
      {
        svcmgr::ServiceManager manager(options);
        rc = manager.Run();
      }
      ::_exit(rc);
    }
    ASSERT_TRUE(WaitUntil(testing_support::ManagerAnswers)) << "svcmgr does not answer";
  }

  // The messages of a manager started by StartManagerInProcess, each
  // "error TEXT" or "info TEXT".
  std::vector<std::string> ManagerLog() const { return ReadLines(root_ + "/manager.log"); }

  // The lines of ManagerLog() that hold `text`.
  std::vector<std::string> ManagerLogWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : ManagerLog()) {
      if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
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

  std::vector<std::string> Record() const { return ReadLines(TestDir() + "/record.txt"); }

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
inline std::string Field(const std::string& line, size_t index) {
  std::istringstream in(line);
  std::string word;
  for (size_t i = 0; i <= index; ++i) in >> word;
  return word;
}

}  // namespace svcmgr_test
