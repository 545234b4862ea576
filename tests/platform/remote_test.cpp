// The forwarding to other PCs with a fake ssh (fake_ssh.py): its life cycle,
// its failures, and the manager and pipe calls that go through it.
#include "platform/remote.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/named_pipe.h"
#include "platform/scm.h"
#include "platform/syserror.h"
#include "platform/unique_fd.h"
#include "platform/unix_socket.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace std::chrono_literals;

// One start of the fake: its process and its command line.
struct Start {
  pid_t pid = 0;
  std::string line;
  bool Has(const std::string& part) const { return line.find(part) != std::string::npos; }
};

bool ProcessExists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

// True when no child of this test is left: every ssh was reaped.
bool NoChildLeft() {
  return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// The forwardings started: each start makes its private folder in the local
// base before it starts ssh, and the folder goes when the forwarding ends, so
// the folders are counted as they are made. (A fake's own record counts no
// start: a fake ended at the connect bound may not have run far enough to
// write it.)
class StartedForwardings {
 public:
  explicit StartedForwardings(const std::string& base)
      : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(::inotify_add_watch(fd_.get(), base.c_str(), IN_CREATE | IN_ONLYDIR), 0);
  }

  // The folders made so far: the kernel queued the event of each before its
  // mkdir returned.
  size_t Count() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_.get(), buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_ISDIR) != 0) ++count_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return count_;
  }

 private:
  UniqueFd fd_;
  size_t count_ = 0;
};

class RemoteTest : public ::testing::Test {
 protected:
  RemoteTest() {
    fs::create_directories(remoteDir + "/pipe");
    fs::create_directories(localBase);
    ::setenv("FAKE_SSH_LOG", log.c_str(), 1);
  }

  RemoteOptions Options() const {
    RemoteOptions options;
    options.SshProgram = FAKE_SSH_PATH;
    options.RemoteRuntimeDir = remoteDir;
    options.LocalBaseDir = localBase;
    return options;
  }

  // The fakes' records. A fake writes its record before it listens or fails,
  // so a call that found the forwarding up, or saw ssh end, leaves it there.
  std::vector<Start> Starts() const {
    std::vector<Start> starts;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      starts.push_back({static_cast<pid_t>(std::stol(line)), line});
    }
    return starts;
  }

  // The private folders left in the local base.
  size_t LocalFolders() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(localBase), {}));
  }

  testing_support::TempFolder folder;
  const std::string remoteDir = folder.File("remote");
  const std::string localBase = folder.File("local");
  const std::string log = folder.File("ssh.log");
};

TEST_F(RemoteTest, OneForwardingPerPcStartedOnceAndReused) {
  RemoteForwardings forwardings(Options());
  forwardings.AddPipes({"VigiloInfo", "VigiloControl"});
  std::string scm, again, info;
  ASSERT_EQ(forwardings.ScmSocket("pc1", scm), kErrorSuccess) << forwardings.ErrorText("pc1");
  ASSERT_EQ(forwardings.ScmSocket("pc1", again), kErrorSuccess);
  ASSERT_EQ(forwardings.PipeSocket("pc1", "VIGILOINFO", info), kErrorSuccess);
  EXPECT_EQ(again, scm);
  const std::string dir = fs::path(scm).parent_path();
  EXPECT_EQ(scm, dir + "/scm.sock");
  EXPECT_EQ(info, dir + "/pipe/vigiloinfo");
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(st.st_uid, ::geteuid());

  std::vector<Start> starts = Starts();
  ASSERT_EQ(starts.size(), 1u);
  for (const std::string& part : std::vector<std::string>{
           "stdin=/dev/null -N ", "-o BatchMode=yes", "-o ExitOnForwardFailure=yes",
           " -L " + dir + "/pipe/vigilocontrol:" + remoteDir + "/pipe/vigilocontrol ",
           " -L " + dir + "/pipe/vigiloinfo:" + remoteDir + "/pipe/vigiloinfo ",
           " -L " + scm + ":" + remoteDir + "/scm.sock -- pc1"}) {
    EXPECT_TRUE(starts[0].Has(part)) << part << " in " << starts[0].line;
  }

  // Another PC: a process of its own, in a folder of its own.
  std::string other;
  ASSERT_EQ(forwardings.ScmSocket("pc2", other), kErrorSuccess);
  EXPECT_NE(fs::path(other).parent_path(), dir);
  starts = Starts();
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_TRUE(starts[1].Has("-- pc2"));

  // A pipe the forwarding lacks: started again, carrying it too.
  std::string extra;
  ASSERT_EQ(forwardings.PipeSocket("pc1", "Extra", extra), kErrorSuccess);
  starts = Starts();
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_TRUE(starts[2].Has("/pipe/extra:" + remoteDir + "/pipe/extra ")) << starts[2].line;
  EXPECT_TRUE(starts[2].Has("-- pc1"));
  EXPECT_FALSE(ProcessExists(starts[0].pid));
  EXPECT_FALSE(fs::exists(dir));

  EXPECT_EQ(forwardings.PipeSocket("pc1", "bad/name", extra), kErrorInvalidName);
  EXPECT_EQ(Starts().size(), 3u);
}

TEST_F(RemoteTest, EndedOnEndAllAndWithTheObject) {
  auto forwardings = std::make_unique<RemoteForwardings>(Options());
  std::string one, two;
  ASSERT_EQ(forwardings->ScmSocket("pc1", one), kErrorSuccess);
  ASSERT_EQ(forwardings->ScmSocket("pc2", two), kErrorSuccess);
  std::vector<Start> starts = Starts();
  ASSERT_EQ(starts.size(), 2u);

  // The switch to another PC ends them all: processes reaped, sockets gone.
  forwardings->EndAll();
  for (const Start& start : starts) EXPECT_FALSE(ProcessExists(start.pid)) << start.line;
  EXPECT_EQ(LocalFolders(), 0u);

  ASSERT_EQ(forwardings->ScmSocket("pc1", one), kErrorSuccess);
  ASSERT_EQ(Starts().size(), 3u);
  const pid_t last = Starts()[2].pid;
  EXPECT_TRUE(ProcessExists(last));
  // The program's end.
  forwardings.reset();
  EXPECT_FALSE(ProcessExists(last));
  EXPECT_EQ(LocalFolders(), 0u);
}

// Also with an ssh that is slow to start, as on a loaded machine: the fake
// then ends at the bound before it has written its record.
TEST_F(RemoteTest, UnreachablePcGives53WithinTheBoundAndIsNotTriedAgainAtOnce) {
  // The bound is the time a reachable PC's forwarding gets too: long enough
  // for the fake, a Python program, to start on a machine loaded by the
  // sanitizer runs. The slow start outlasts it.
  for (const char* startDelay : {"0", "2.5"}) {
    SCOPED_TRACE(std::string("fake ssh starting after ") + startDelay + " s");
    ::setenv("FAKE_SSH_START_DELAY", startDelay, 1);
    StartedForwardings started(localBase);
    RemoteOptions options = Options();
    options.ConnectTime = 2000ms;
    RemoteForwardings forwardings(options);
    std::string path;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(forwardings.ScmSocket("unreachable-pc", path), kErrorBadNetPath);
    // The bound with room for a loaded machine; it is 2 s, never a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
    EXPECT_EQ(forwardings.ErrorText("unreachable-pc"),
              "no connection to unreachable-pc within 2000 ms");
    EXPECT_EQ(started.Count(), 1u);
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(LocalFolders(), 0u);

    // Within the pause: at once, with no new ssh; another PC is not held up.
    EXPECT_EQ(forwardings.PipeSocket("unreachable-pc", "VigiloInfo", path), kErrorBadNetPath);
    EXPECT_EQ(started.Count(), 1u);
    EXPECT_EQ(forwardings.ScmSocket("pc1", path), kErrorSuccess);
    EXPECT_EQ(started.Count(), 2u);

    // A new choice of PC tries again.
    forwardings.EndAll();
    EXPECT_EQ(forwardings.ScmSocket("unreachable-pc", path), kErrorBadNetPath);
    EXPECT_EQ(started.Count(), 3u);
    EXPECT_TRUE(NoChildLeft());
  }
  ::unsetenv("FAKE_SSH_START_DELAY");
}

TEST_F(RemoteTest, SshThatFailsGives53WithItsText) {
  struct Case {
    const char* program;  // null: the fake
    const char* machine;
    const char* text;
  };
  const Case cases[] = {
      {nullptr, "refused-pc", "ssh: connect to host refused-pc port 22: Connection refused"},
      {"/nonexistent/ssh", "pc1", "cannot run /nonexistent/ssh: No such file or directory"},
  };
  for (const Case& c : cases) {
    RemoteOptions options = Options();
    if (c.program != nullptr) options.SshProgram = c.program;
    RemoteForwardings forwardings(options);
    std::string path;
    EXPECT_EQ(forwardings.ScmSocket(c.machine, path), kErrorBadNetPath) << c.machine;
    EXPECT_EQ(forwardings.ErrorText(c.machine), c.text);
    EXPECT_EQ(LocalFolders(), 0u) << c.machine;
  }
  EXPECT_TRUE(NoChildLeft()) << "every ssh was reaped";
}

TEST_F(RemoteTest, ForwardingThatEndedIsStartedAgain) {
  RemoteForwardings forwardings(Options());
  std::string first, second;
  ASSERT_EQ(forwardings.ScmSocket("pc1", first), kErrorSuccess);
  const pid_t pid = Starts().at(0).pid;
  ::kill(pid, SIGKILL);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);

  ASSERT_EQ(forwardings.ScmSocket("pc1", second), kErrorSuccess);
  EXPECT_NE(second, first);
  EXPECT_EQ(Starts().size(), 2u);
  EXPECT_EQ(forwardings.ErrorText("pc1"), "ssh ended with exit code 137");
  EXPECT_FALSE(fs::exists(fs::path(first).parent_path()));
}

// A pipe server on the "other PC": it takes every client with the token,
// reads one message and answers it reversed.
class EchoPipe {
 public:
  explicit EchoPipe(const std::string& path) {
    EXPECT_EQ(listener_.Listen(path, 0600, 4), kErrorSuccess);
    thread_ = std::thread([this] { Serve(); });
  }
  ~EchoPipe() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Serve() {
    while (!stop_) {
      UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.get() < 0) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      const uint8_t token = kPipeTokenAccepted;
      uint8_t head[kFrameHeaderSize];
      if (SendAll(client.get(), &token, 1) || ReceiveAll(client.get(), head, sizeof head)) continue;
      std::string body(GetFrameLength(head), '\0');
      if (ReceiveAll(client.get(), body.data(), body.size())) continue;
      std::string answer(body.rbegin(), body.rend());
      SendFrame(client.get(), reinterpret_cast<const uint8_t*>(answer.data()),
                static_cast<uint32_t>(answer.size()));
    }
  }

  ListeningSocket listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The program's own calls, with the forwardings configured by the environment.
TEST_F(RemoteTest, ManagerAndPipeCallsOfAnotherPcGoThroughTheForwarding) {
  ::setenv("VIGILO_SSH", FAKE_SSH_PATH, 1);
  ::setenv("VIGILO_REMOTE_RUNTIME_DIR", remoteDir.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", localBase.c_str(), 1);
  ::setenv("VIGILO_RUNTIME_DIR", folder.File("here").c_str(), 1);
  EchoPipe echo(remoteDir + "/pipe/echo");
  StartedForwardings started(localBase);

  const std::string request = "bonjour";
  uint8_t answer[64];
  uint32_t count = 0;
  auto call = [&](const std::string& pipePath) {
    return CallNamedPipe(pipePath, reinterpret_cast<const uint8_t*>(request.data()),
                         static_cast<uint32_t>(request.size()), answer, sizeof answer, count);
  };
  ASSERT_EQ(call("\\\\pc9\\pipe\\Echo"), kErrorSuccess)
      << SystemRemoteForwardings().ErrorText("pc9");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), count), "ruojnob");
  // No server there: as for an absent local pipe.
  EXPECT_EQ(call("\\\\pc9\\pipe\\Absent"), kErrorFileNotFound);
  EXPECT_EQ(call("\\\\refused-pc\\pipe\\Echo"), kErrorBadNetPath);
  // The local pipe is not reached by a remote name, nor the remote by ".".
  EXPECT_EQ(call("\\\\.\\pipe\\Echo"), kErrorFileNotFound);

  ScHandlePtr manager;
  EXPECT_EQ(SystemServiceManager().OpenSCManager("\\\\pc9", kGenericRead, manager),
            kErrorRpcServerUnavailable);
  EXPECT_EQ(SystemServiceManager().OpenSCManager("refused-pc", kGenericRead, manager),
            kErrorBadNetPath);
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(started.Count(), 3u) << "pc9, again with Absent, refused-pc once, then paused";

  SystemRemoteForwardings().EndAll();
  EXPECT_EQ(LocalFolders(), 0u);
  for (const char* name : {"VIGILO_SSH", "VIGILO_REMOTE_RUNTIME_DIR", "VIGILO_RUNTIME_DIR"}) {
    ::unsetenv(name);
  }
}

}  // namespace
