#include "platform/named_pipe.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "pipe_test_support.h"
#include "pipes/alr_control.h"
#include "pipes/srvpipe.h"
#include "platform/accounts.h"
#include "platform/syserror.h"

namespace {

using pipetest::Bytes;
using pipetest::LogCapture;

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// Leaves a socket file at `path` that no server listens on.
void LeaveStaleSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = AddressOf(path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

TEST(PipeNames, LocalPathsGiveTheirNameAndOthersAnError) {
  struct Case {
    std::string path;
    uint32_t error;
    std::string name;
  };
  const Case cases[] = {
      {"\\\\.\\pipe\\VigiloInfo", 0, "VigiloInfo"},
      {"\\\\.\\PIPE\\VigiloControl", 0, "VigiloControl"},
      {"\\\\.\\pipe\\a\\b", 0, "a\\b"},
      {"\\\\PC7\\pipe\\VigiloInfo", platform::kErrorBadNetPath, ""},
      {"\\\\.\\pip\\VigiloInfo", platform::kErrorInvalidName, ""},
      {"\\\\.\\pipe\\", platform::kErrorInvalidName, ""},
      {"\\\\\\pipe\\x", platform::kErrorInvalidName, ""},
      {"VigiloInfo", platform::kErrorInvalidName, ""},
      {"\\\\.\\pipe\\a/b", platform::kErrorInvalidName, ""},
      {"\\\\.\\pipe\\..", platform::kErrorInvalidName, ""},
      {std::string("\\\\.\\pipe\\a\0b", 12), platform::kErrorInvalidName, ""},
  };
  for (const Case& c : cases) {
    std::string name;
    EXPECT_EQ(platform::LocalPipeName(c.path, name), c.error) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
}

TEST(PipeNames, TheSocketLivesInTheRuntimeFolderInLowerCase) {
  std::string path;
  ASSERT_EQ(platform::PipeSocketPath("VigiloInfo", path), 0u);
  EXPECT_EQ(path, pipetest::RuntimeDir() + "/pipe/vigiloinfo");
  for (const std::string& bad :
       std::vector<std::string>{"", "a/b", "..", "x..y", std::string("a\0b", 3)}) {
    EXPECT_EQ(platform::PipeSocketPath(bad, path), platform::kErrorInvalidName) << bad;
  }
}

TEST(PipeClient, FailuresReportTheirCodes) {
  std::string stale = pipetest::UniquePipeName("Stale");
  std::string stalePath;
  ASSERT_EQ(platform::PipeSocketPath(stale, stalePath), 0u);
  ASSERT_EQ(::mkdir((pipetest::RuntimeDir() + "/pipe").c_str(), 0755) == 0 || errno == EEXIST,
            true);
  LeaveStaleSocket(stalePath);
  struct Case {
    std::string path;
    uint32_t error;
  };
  // Another PC is reached through ssh: a program that fails stands for one
  // that cannot be reached.
  ::setenv("VIGILO_SSH", "false", 1);
  const Case cases[] = {
      {"\\\\.\\pipe\\" + pipetest::UniquePipeName("Absent"), platform::kErrorFileNotFound},
      {"\\\\.\\pipe\\" + stale, platform::kErrorFileNotFound},
      {"\\\\PC7\\pipe\\VigiloInfo", platform::kErrorBadNetPath},
      {"\\\\.\\pipe\\a/b", platform::kErrorInvalidName},
  };
  for (const Case& c : cases) {
    uint8_t request[28] = {};
    uint8_t answer[64];
    uint32_t count = 99;
    EXPECT_EQ(platform::CallNamedPipe(c.path, request, 28, answer, sizeof answer, count), c.error)
        << c.path;
    EXPECT_EQ(count, 0u);
  }
}

TEST(PipeClient, ALongerAnswerGivesMoreDataAndItsFirstBytes) {
  std::string name = pipetest::UniquePipeName("Long");
  TPipeServer server(name, 1, nullptr);
  ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
  uint8_t request[28] = {};
  uint8_t answer[10] = {};
  uint32_t count = 0;
  EXPECT_EQ(
      platform::CallNamedPipe("\\\\.\\pipe\\" + name, request, 28, answer, sizeof answer, count),
      platform::kErrorMoreData);
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(std::string(answer, answer + 10), "ACK 28 byt");
}

// A server of the test's own on pipe `name`: takes one client and hands its
// connection to `serve`, in a thread of its own.
class HandMadeServer {
 public:
  HandMadeServer(const std::string& name, std::function<void(int fd)> serve) {
    ::mkdir((pipetest::RuntimeDir() + "/pipe").c_str(), 0755);
    platform::PipeSocketPath(name, path_);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = AddressOf(path_);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0) {
      ADD_FAILURE() << "cannot listen on " << path_;
      return;
    }
    thread_ = std::thread([this, serve] {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      serve(fd);
      ::close(fd);
    });
  }
  ~HandMadeServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
    ::unlink(path_.c_str());
  }

  static void Send(int fd, const uint8_t* data, size_t size) {
    ::send(fd, data, size, MSG_NOSIGNAL);
  }
  // Reads until the client closes.
  static void Drain(int fd) {
    uint8_t byte;
    while (::recv(fd, &byte, 1, 0) > 0) {
    }
  }

 private:
  std::string path_;
  int listener_ = -1;
  std::thread thread_;
};

uint32_t CallOnce(const std::string& name, Bytes& answer) {
  uint8_t request[28] = {'R', 'E', 'Q'};
  uint32_t count = 0;
  uint32_t rc = platform::CallNamedPipe("\\\\.\\pipe\\" + name, request, 28, answer.data(),
                                        static_cast<uint32_t>(answer.size()), count);
  answer.resize(count);
  return rc;
}

TEST(PipeClient, AnAnswerArrivingInFragmentsIsPutTogether) {
  struct Case {
    uint32_t answerSize;
    uint32_t bufferSize;
    uint32_t error;
  };
  const Case cases[] = {
      {300, 512, 0}, {300, 300, 0}, {300, 100, platform::kErrorMoreData}, {0, 16, 0}};
  for (const Case& c : cases) {
    Bytes frame(4 + c.answerSize);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(c.answerSize >> (8 * i));
    for (uint32_t i = 0; i < c.answerSize; ++i) frame[4 + i] = static_cast<uint8_t>(i * 13 + 1);
    std::string name = pipetest::UniquePipeName("Fragments");
    Bytes answer(c.bufferSize, 0xEE);
    uint32_t rc;
    {
      // The length goes in two sends, the second joined to the first body
      // byte, and the body in further sends.
      HandMadeServer server(name, [&](int fd) {
        const uint8_t token = 'A';
        HandMadeServer::Send(fd, &token, 1);
        uint8_t request[4 + 28];
        for (size_t got = 0; got < sizeof request;) {
          ssize_t n = ::recv(fd, request + got, sizeof request - got, 0);
          if (n <= 0) break;
          got += static_cast<size_t>(n);
        }
        const size_t cuts[] = {2, 5, 10, frame.size()};
        size_t sent = 0;
        for (size_t cut : cuts) {
          if (cut > frame.size() || cut <= sent) continue;
          HandMadeServer::Send(fd, frame.data() + sent, cut - sent);
          sent = cut;
          std::this_thread::sleep_for(std::chrono::milliseconds(2));  // lets the client read
        }
        HandMadeServer::Drain(fd);
      });
      rc = CallOnce(name, answer);
    }
    EXPECT_EQ(rc, c.error) << c.answerSize << "/" << c.bufferSize;
    uint32_t kept = std::min(c.answerSize, c.bufferSize);
    EXPECT_EQ(answer, Bytes(frame.begin() + 4, frame.begin() + 4 + kept));
  }
}

TEST(PipeClient, TheTokenDecidesBetweenServedBusyAndBadPipe) {
  struct Case {
    const char* label;
    Bytes sent;  // what the server sends before it closes
    uint32_t error;
  };
  const Case cases[] = {
      {"busy", {'B'}, platform::kErrorPipeBusy},
      {"unknown token", {'X'}, platform::kErrorBadPipe},
      {"no token", {}, platform::kErrorBrokenPipe},
      {"taken, then closed", {'A'}, platform::kErrorBrokenPipe},
  };
  for (const Case& c : cases) {
    std::string name = pipetest::UniquePipeName("Token");
    Bytes answer(64);
    uint32_t rc;
    {
      HandMadeServer server(
          name, [&](int fd) { HandMadeServer::Send(fd, c.sent.data(), c.sent.size()); });
      rc = CallOnce(name, answer);
    }
    EXPECT_EQ(rc, c.error) << c.label;
    EXPECT_TRUE(answer.empty()) << c.label;
  }
}

TEST(PipeServerSocket, AStaleSocketFileIsReplaced) {
  std::string name = pipetest::UniquePipeName("Replace");
  {
    TPipeServer first(name, 1, nullptr);
    ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
  }
  std::string path;
  ASSERT_EQ(platform::PipeSocketPath(name, path), 0u);
  LeaveStaleSocket(path);
  LogCapture log;
  TPipeServer second(name, 1, nullptr);
  EXPECT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
  EXPECT_TRUE(log.Messages().empty());
}

TEST(PipeServerSocket, SecurityDecidesTheSocketMode) {
  std::string open = pipetest::UniquePipeName("Open");
  std::string owner = pipetest::UniquePipeName("Owner");
  TAlrSrvInfo info(open, 1);
  TAlrSrvControl control(owner, 1, pipetest::RuntimeDir() + "/none.ini");
  ASSERT_EQ(pipetest::CallWhenReady(open, Bytes(1, 0)).error, 0u);
  ASSERT_EQ(pipetest::CallWhenReady(owner, Bytes(1, 0)).error, 0u);
  std::string path;
  struct stat st;
  ASSERT_EQ(platform::PipeSocketPath(open, path), 0u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  ASSERT_EQ(platform::PipeSocketPath(owner, path), 0u);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((pipetest::RuntimeDir() + "/pipe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0002, 0u) << "the pipe folder is not world-writable";
}

// Runs one "REQGETSTATS" as `account`, in a child process: 0 when the
// status came, 254 for another answer, else the call's error code.
uint32_t CallStatsAs(const std::string& account, const std::string& name) {
  return static_cast<uint32_t>(pipetest::RunAs(account, [&] {
    pipetest::Answer answer = pipetest::Call(name, pipetest::Request("REQGETSTATS"));
    if (answer.error != 0) return pipetest::ExitCode(answer.error);
    return answer.bytes.size() == kAnsGetStatsSize ? 0 : 254;
  }));
}

uint32_t CallAsNobody(const std::string& name) {
  return CallStatsAs("nobody", name);
}

TEST(PipeServerSocket, ADefaultPipeIsClosedToOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // As under /run, the folders above the sockets let everyone through.
  ASSERT_EQ(::chmod(pipetest::RuntimeDir().c_str(), 0755), 0);
  std::string open = pipetest::UniquePipeName("ForAll");
  std::string owner = pipetest::UniquePipeName("ForOwner");
  TAlrSrvInfo info(open, 1);
  TAlrSrvControl control(owner, 1, pipetest::RuntimeDir() + "/none.ini");
  ASSERT_EQ(pipetest::CallWhenReady(open, Bytes(1, 0)).error, 0u);
  ASSERT_EQ(pipetest::CallWhenReady(owner, Bytes(1, 0)).error, 0u);
  EXPECT_EQ(CallAsNobody(open), 0u);
  EXPECT_EQ(CallAsNobody(owner), platform::kErrorAccessDenied);
}

// Sets $VIGILO_GROUP for one test and puts the suite's value back after.
class AdminGroupVariable {
 public:
  explicit AdminGroupVariable(const std::string& name) : saved_(std::getenv("VIGILO_GROUP")) {
    ::setenv("VIGILO_GROUP", name.c_str(), 1);
  }
  ~AdminGroupVariable() { ::setenv("VIGILO_GROUP", saved_.c_str(), 1); }
  AdminGroupVariable(const AdminGroupVariable&) = delete;
  AdminGroupVariable& operator=(const AdminGroupVariable&) = delete;

 private:
  std::string saved_;
};

// Runs an account tool quietly. Other programs of the machine may hold the
// group database's lock for a moment: the tool is tried again then.
int RunAccountTool(const std::string& command) {
  int rc = -1;
  for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    rc = std::system((command + " >/dev/null 2>&1").c_str());
  }
  return rc;
}

// A group of the machine's own, made for one test and removed after it.
class TestGroup {
 public:
  TestGroup() : name_("vgpipe" + std::to_string(::getpid() % 100000)) {
    made_ = RunAccountTool("groupadd " + name_) == 0;
  }
  ~TestGroup() {
    if (made_) RunAccountTool("groupdel " + name_);
  }
  TestGroup(const TestGroup&) = delete;
  TestGroup& operator=(const TestGroup&) = delete;
  bool Made() const { return made_; }
  const std::string& Name() const { return name_; }
  bool Add(const std::string& account) {
    return RunAccountTool("gpasswd -a " + account + " " + name_) == 0;
  }

 private:
  std::string name_;
  bool made_ = false;
};

struct stat SocketOf(const std::string& name) {
  std::string path;
  struct stat st {};
  EXPECT_EQ(platform::PipeSocketPath(name, path), 0u);
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(PipeServerSocket, TheControlPipeIsTheAdministratorsGroupsWhenThereIsOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a group needs root";
  ASSERT_EQ(::chmod(pipetest::RuntimeDir().c_str(), 0755), 0);
  TestGroup group;
  ASSERT_TRUE(group.Made());
  ASSERT_TRUE(group.Add("nobody"));
  const std::string settings = pipetest::RuntimeDir() + "/admins.ini";
  pipetest::WriteFileBytes(settings, "[General]\r\n");
  struct Case {
    const char* label;
    std::string group;
    mode_t mode;
  };
  const Case cases[] = {
      {"no such group", "vigilo-pipetest-nogroup", 0600},
      {"a group", group.Name(), 0660},
  };
  for (const Case& c : cases) {
    AdminGroupVariable variable(c.group);
    std::optional<gid_t> admins = platform::AdminGroupId();
    ASSERT_EQ(admins.has_value(), c.mode == 0660) << c.label;
    const gid_t gid = admins ? *admins : ::getegid();
    const std::string name = pipetest::UniquePipeName("Admins");
    TAlrSrvControl control(name, 1, settings);
    ASSERT_EQ(pipetest::CallWhenReady(name, pipetest::Request("REQGETCONFIG")).error, 0u);
    struct stat st = SocketOf(name);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.label;
    EXPECT_EQ(st.st_gid, gid) << c.label;
    EXPECT_EQ(st.st_uid, 0u) << c.label;
    // A member gets the settings; anyone else is turned away by the socket.
    auto getConfig = [&] {
      pipetest::Answer answer = pipetest::Call(name, pipetest::Request("REQGETCONFIG"));
      if (answer.error != 0) return pipetest::ExitCode(answer.error);
      return answer.bytes.size() == 28 + 11 ? 0 : 254;
    };
    const int member = admins ? 0 : static_cast<int>(platform::kErrorAccessDenied);
    EXPECT_EQ(pipetest::RunAs("nobody", getConfig), member) << c.label;
    EXPECT_EQ(pipetest::RunAs("daemon", getConfig), 5) << c.label;
  }
}

// A service running as a user outside the group may not give its socket to
// the group: its pipe stays its own rather than failing.
TEST(PipeServerSocket, AServerOutsideTheGroupKeepsItsPipeToItself) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TestGroup group;
  ASSERT_TRUE(group.Made());
  AdminGroupVariable variable(group.Name());
  pipetest::TempDir runtime;
  ASSERT_EQ(::chmod(runtime.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chown(runtime.Path().c_str(), 65534, 65534), 0);
  const std::string name = pipetest::UniquePipeName("Outside");
  std::string path;
  ASSERT_EQ(platform::PipeSocketPathIn(runtime.Path(), name, path), 0u);
  int rc = pipetest::RunAs("nobody", [&] {
    ::setenv("VIGILO_RUNTIME_DIR", runtime.Path().c_str(), 1);
    TAlrSrvControl control(name, 1, runtime.File("none.ini"));
    if (pipetest::CallWhenReady(name, Bytes(1, 0)).error != 0) return 1;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 2;
    return (st.st_mode & 07777) == 0600 && st.st_gid == ::getegid() ? 0 : 3;
  });
  EXPECT_EQ(rc, 0);
}

TEST(PipeServerSocket, APipeFolderOthersCouldWriteIsRefused) {
  struct Case {
    const char* label;
    mode_t mode;
    uid_t owner;  // 0: this process's user
    uint32_t error;
  };
  const Case cases[] = {
      {"private", 0755, 0, platform::kErrorSuccess},
      {"world-writable", 0777, 0, platform::kErrorAccessDenied},
      {"another user's", 0755, 65534, platform::kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    if (c.owner != 0 && ::geteuid() != 0) continue;  // only root can give a folder away
    pipetest::TempDir runtime;
    const std::string folder = runtime.File("pipe");
    ASSERT_EQ(::mkdir(folder.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    if (c.owner != 0) {
      ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
    }
    std::string saved = pipetest::RuntimeDir();
    ::setenv("VIGILO_RUNTIME_DIR", runtime.Path().c_str(), 1);
    auto system = platform::CreatePipeServerSystem("\\\\.\\pipe\\Anyone", 1, nullptr);
    ::setenv("VIGILO_RUNTIME_DIR", saved.c_str(), 1);
    EXPECT_EQ(system->CreateInstance(0), c.error) << c.label;
  }
}

// The folders are made 0755 whatever the umask: under 077 they would close
// the info pipe to every other user.
TEST(PipeServerSocket, UnderUmask077TheInfoPipeStaysOpenToEveryone) {
  pipetest::TempDir base;
  ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
  const std::string runtime = base.File("run");
  std::string saved = pipetest::RuntimeDir();
  ::setenv("VIGILO_RUNTIME_DIR", runtime.c_str(), 1);
  mode_t umask = ::umask(077);
  std::string name = pipetest::UniquePipeName("Umask");
  {
    TAlrSrvInfo info(name, 1);
    EXPECT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
    ::umask(umask);
    for (const std::string& dir : {runtime, runtime + "/pipe"}) {
      struct stat st;
      ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
      EXPECT_EQ(st.st_mode & 07777, 0755u) << dir;
    }
    if (::geteuid() == 0) {
      EXPECT_EQ(CallAsNobody(name), 0u);
    }
  }
  ::setenv("VIGILO_RUNTIME_DIR", saved.c_str(), 1);
}

TEST(PipeEvent, StaysSetAndEndsAWait) {
  platform::PipeEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.WaitFor(std::chrono::milliseconds(1)));
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(event.WaitFor(std::chrono::minutes(5)));
  setter.join();
  event.Set();
  EXPECT_TRUE(event.IsSet());
  EXPECT_TRUE(event.WaitFor(std::chrono::milliseconds(0)));
}

}  // namespace
