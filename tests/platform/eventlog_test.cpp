#include "platform/eventlog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using platform::EventLog;
using platform::EventType;
using testing::ElementsAre;
using testing::MatchesRegex;

struct Call {
  std::string what;
  std::string text;
  int a = 0, b = 0;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
  return os << c.what << "(" << c.text << ", " << c.a << ", " << c.b << ")";
}

class FakeSyslog : public platform::SyslogApi {
 public:
  void Open(const char* ident, int option, int facility) override {
    calls.push_back({"open", ident, option, facility});
  }
  void Log(int priority, const std::string& message) override {
    calls.push_back({"log", message, priority, 0});
  }
  void Close() override { calls.push_back({"close", "", 0, 0}); }
  bool DaemonListens() override { return listens; }
  std::vector<Call> calls;
  bool listens = true;
};

// What a pipe's write end received, once the writers are gone.
// At most 30 s: a writer that never ends fails the test rather than hangs it.
std::string Drain(int readEnd) {
  std::string text;
  char buffer[4096];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd ready{readEnd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "the writer did not end";
      return text;
    }
    const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

TEST(EventLog, OpensAtTheFirstReportAndClosesAtTheEnd) {
  FakeSyslog fake;
  {
    EventLog log("VazidEre", fake);
    EXPECT_TRUE(fake.calls.empty());
    log.ReportEvent(EventType::Information, "Service started");
    log.ReportEvent(EventType::Error, "Check failed\r\nsecond line");
  }
  EXPECT_THAT(fake.calls, ElementsAre(Call{"open", "VazidEre", LOG_PID, LOG_DAEMON},
                                      Call{"log", "Service started", LOG_INFO, 0},
                                      Call{"log", "Check failed second line", LOG_ERR, 0},
                                      Call{"close", "", 0, 0}));
}

TEST(EventLog, ALogThatNeverReportedIsNotClosed) {
  FakeSyslog fake;
  { EventLog log("VazidEre", fake); }
  EXPECT_TRUE(fake.calls.empty());
}

TEST(EventLog, MessagesGoAsUtf8) {
  FakeSyslog fake;
  EventLog log("VazidEre", fake);
  // é, the euro sign, the curly quotes and an undefined byte of cp1252.
  log.ReportEvent(EventType::Information, "caf\xe9 5\x80 \x93x\x94 \x81");
  ASSERT_EQ(fake.calls.size(), 2u);
  EXPECT_EQ(fake.calls[1].text, "caf\xc3\xa9 5\xe2\x82\xac \xe2\x80\x9cx\xe2\x80\x9d \xc2\x81");
}

// A system-log record is one line: no CR or LF reaches syslog.
TEST(EventLog, LineBreaksBecomeBlanks) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\r\nb", "a b"}, {"a\nb", "a b"},      {"a\rb", "a b"},
      {"\r\r\n", "  "},  {"a\r\n\r\n", "a  "}, {"\n\r", "  "},
  };
  for (const auto& [message, sent] : cases) {
    FakeSyslog fake;
    EventLog log("VazidEre", fake);
    log.ReportEvent(EventType::Error, message);
    ASSERT_EQ(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls[1].text, sent) << message;
  }
}

// Without a syslog daemon the records would be lost: they also go to the
// mirror, one line each, in UTF-8; with one, only to syslog.
TEST(EventLog, TheMirrorGetsTheRecordsOnlyWhileNoDaemonListens) {
  for (bool listens : {false, true}) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    FakeSyslog fake;
    fake.listens = listens;
    {
      EventLog log("svcmgr", fake, fds[1]);
      log.ReportEvent(EventType::Information, "TestSvc started");
      log.ReportEvent(EventType::Error, "caf\xe9 ended\r\nagain");
    }
    ::close(fds[1]);
    const std::string mirrored = Drain(fds[0]);
    ::close(fds[0]);
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(mirrored, listens ? ""
                                : "svcmgr[" + pid + "]: TestSvc started\nsvcmgr[" + pid +
                                      "]: caf\xc3\xa9 ended again\n")
        << listens;
    EXPECT_EQ(fake.calls.size(), 4u) << "syslog gets every record either way";
  }
}

// In a child process: an empty /dev of its own, in a mount namespace, so
// that the machine's log never sees the test.
bool PrivateDev() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") == 0;
}

// A syslog daemon's socket at /dev/log; its descriptor, -1 on failure.
int BindSyslogSocket() {
  const int server = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  return server;
}

// What a child with a /dev of its own wrote to its pipe, its pid and exit
// status (77: no mount namespace here).
struct PrivateDevRun {
  pid_t pid = -1;
  int status = -1;
  std::string output;
};

// Runs `body` in a child whose /dev holds a syslog daemon's socket when
// `withSocket`, so that the machine's log never sees the test. `body` gets
// the pipe's write end and the socket (-1 without one) and returns the
// child's exit status.
PrivateDevRun RunWithPrivateDev(bool withSocket, const std::function<int(int, int)>& body) {
  PrivateDevRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  run.pid = ::fork();
  if (run.pid == 0) {
    ::close(fds[0]);
    if (!PrivateDev()) ::_exit(77);
    const int server = withSocket ? BindSyslogSocket() : -1;
    if (withSocket && server < 0) ::_exit(78);
    ::_exit(body(fds[1], server));
  }
  ::close(fds[1]);
  if (run.pid > 0) run.output = Drain(fds[0]);
  ::close(fds[0]);
  int status = 0;
  if (run.pid > 0 && ::waitpid(run.pid, &status, 0) == run.pid && WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  return run;
}

// The real syslog(3), to a socket of the test's own.
TEST(EventLog, ReportsReachTheSyslogSocket) {
  const PrivateDevRun run = RunWithPrivateDev(true, [](int out, int server) {
    {
      EventLog log("vigilo-test");
      log.ReportEvent(EventType::Information, "caf\xe9 %s %n 100%");
      log.ReportEvent(EventType::Error, "failed");
    }
    for (int i = 0; i < 2; ++i) {
      char buffer[1024];
      const ssize_t n = ::recv(server, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) return 79;
      const uint32_t size = static_cast<uint32_t>(n);
      if (::write(out, &size, sizeof size) != sizeof size || ::write(out, buffer, size) != n) {
        return 80;
      }
    }
    return 0;
  });
  if (run.status == 77) GTEST_SKIP() << "no mount namespace for a private /dev/log";
  ASSERT_EQ(run.status, 0);
  std::vector<std::string> datagrams;
  for (size_t at = 0; at + sizeof(uint32_t) <= run.output.size();) {
    uint32_t size;
    std::memcpy(&size, run.output.data() + at, sizeof size);
    at += sizeof size;
    datagrams.push_back(run.output.substr(at, size));
    at += size;
  }
  ASSERT_EQ(datagrams.size(), 2u);
  const std::string stamp = "[A-Z][a-z][a-z] [ 0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] ";
  const std::string ident = "vigilo-test\\[" + std::to_string(run.pid) + "\\]: ";
  // LOG_DAEMON | LOG_INFO is 30, LOG_DAEMON | LOG_ERR 27.
  EXPECT_THAT(datagrams[0], MatchesRegex("<30>" + stamp + ident + "caf\xc3\xa9 %s %n 100%"));
  EXPECT_THAT(datagrams[1], MatchesRegex("<27>" + stamp + ident + "failed"));
}

// The real check, in a /dev that holds a syslog socket or none: the mirror
// stays empty while a daemon's socket is there.
TEST(EventLog, TheRealCheckFindsTheDaemonsSocket) {
  for (bool daemon : {false, true}) {
    const PrivateDevRun run = RunWithPrivateDev(daemon, [](int out, int) {
      EventLog log("vigilo-test", platform::SystemSyslog(), out);
      log.ReportEvent(EventType::Error, "ended");
      return 0;
    });
    if (run.status == 77) GTEST_SKIP() << "no mount namespace for a private /dev";
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.output, daemon ? "" : "vigilo-test[" + std::to_string(run.pid) + "]: ended\n")
        << daemon;
  }
}

}  // namespace
