// Who may do what with the manager, and what callers cannot break.
#include "tests/svcmgr/svcmgr_fixture.h"

namespace svcmgr_test {
namespace {

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
  // Each idle connection it polls up to 30 s: a child still there after 60 s
  // is killed and counts as a failure.
  EXPECT_EQ(testing_support::AwaitExit(child, std::chrono::steady_clock::now() + 60s), 0)
      << "idle connections left open";
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

// Another user could bind scm.sock first in a folder they may write or own.
TEST_F(SvcmgrTest, RuntimeFolderOthersCouldWriteOrOwnIsRefused) {
  const std::string runtime = root_ + "/run";
  struct Case {
    const char* label;
    mode_t mode;
    uid_t owner;  // 0: this process's user
  } cases[] = {{"world-writable", 0777, 0}, {"another user's", 0755, 65534}};
  std::string skipped;
  for (const Case& c : cases) {
    if (c.owner != 0 && ::geteuid() != 0) {
      skipped = c.label;  // only root can give a folder away
      continue;
    }
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
  if (!skipped.empty()) GTEST_SKIP() << "the case \"" << skipped << "\" needs root";
}

TEST_F(SvcmgrTest, UnderUmask077TheManagerStaysOpenToEveryone) {
  Register(kName, kServiceDemandStart);
  mode_t umask = ::umask(077);
  StartManager();
  ::umask(umask);
  struct stat st;
  ASSERT_EQ(::stat((root_ + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  RunResult r = Run(SCM_TOOL_PATH, {"query", kName, "4"}, nobody->pw_uid, nobody->pw_gid);
  EXPECT_EQ(r.out, "0 1\n") << r.err;
}

// A group made for the test, removed again with the object.
class TestGroup {
 public:
  explicit TestGroup(std::string name) : name_(std::move(name)) {
    made_ = std::system(("groupadd " + name_ + " 2>/dev/null").c_str()) == 0;
  }
  ~TestGroup() {
    if (made_) {
      [[maybe_unused]] int rc = std::system(("groupdel " + name_).c_str());
    }
  }
  bool Made() const { return made_; }
  bool Add(const std::string& user) const {
    return std::system(("gpasswd -a " + user + " " + name_ + " >/dev/null").c_str()) == 0;
  }
  bool Remove(const std::string& user) const {
    return std::system(("gpasswd -d " + user + " " + name_ + " >/dev/null").c_str()) == 0;
  }

 private:
  std::string name_;
  bool made_ = false;
};

// The administrators' group holds on a service what the service's own account
// holds: start, stop, its controls; nothing of the manager's own rights.
TEST_F(SvcmgrTest, MembersOfTheAdministratorsGroupMayStartAndStopAndOthersGet5) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a group and act as another user";
  passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string name = "vgt" + std::to_string(::getpid());
  TestGroup admins(name);
  ASSERT_TRUE(admins.Made()) << "groupadd " << name;
  Register(kName, kServiceDemandStart);
  ::setenv("VIGILO_GROUP", name.c_str(), 1);
  StartManager();
  ::unsetenv("VIGILO_GROUP");
  auto asNobody = [&](const std::vector<std::string>& args) {
    RunResult r = Run(SCM_TOOL_PATH, args, nobody->pw_uid, nobody->pw_gid);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(asNobody({"start", kName, "0x14"}), "5\n") << "not a member yet";
  ASSERT_TRUE(admins.Add("nobody"));
  EXPECT_EQ(asNobody({"start", kName, "0x14"}), "0\n") << "a member";
  WaitForState(kServiceRunning);
  EXPECT_EQ(asNobody({"manager", "0xF003F"}), "5\n") << "the manager's rights stay root's";
  EXPECT_EQ(asNobody({"control", kName, "0x24", "1"}).substr(0, 2), "0 ");
  WaitForState(kServiceStopped);
  ASSERT_TRUE(admins.Remove("nobody"));
  EXPECT_EQ(asNobody({"start", kName, "0x14"}), "5\n") << "no longer a member";
  EXPECT_EQ(RecordOf("main").size(), 1u);
}

}  // namespace
}  // namespace svcmgr_test
