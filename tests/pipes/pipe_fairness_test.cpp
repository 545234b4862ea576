// Fairness of the pipes between the callers' users: the connections of one
// user, however many and however fast they come back, lock out neither root
// nor any other user.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

#include "pipe_test_support.h"
#include "pipes/alr_control.h"
#include "pipes/pipe_messages.h"
#include "pipes/srvpipe.h"
#include "platform/accounts.h"
#include "platform/named_pipe.h"
#include "platform/syserror.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What one poller saw.
struct PollTally {
  uint32_t polls = 0;
  uint32_t answered = 0;
  uint32_t busy = 0;
  // The longest time without an answer, from the start to the end.
  int64_t longestGapMs = 0;
};

// Asks for the status every `period` during `length`, as the control
// program's timer does.
PollTally Poll(const std::string& name, milliseconds period, milliseconds length) {
  PollTally tally;
  const pipetest::Bytes request = pipetest::Request("REQGETSTATS");
  const auto start = Clock::now();
  const auto end = start + length;
  auto lastAnswer = start;
  auto next = start;
  auto noteGap = [&](Clock::time_point now) {
    int64_t gap = std::chrono::duration_cast<milliseconds>(now - lastAnswer).count();
    tally.longestGapMs = std::max(tally.longestGapMs, gap);
  };
  while (next < end) {
    std::this_thread::sleep_until(next);
    pipetest::Answer answer = pipetest::Call(name, request);
    const auto now = Clock::now();
    ++tally.polls;
    if (answer.error == 0 && answer.bytes.size() == kAnsGetStatsSize) {
      ++tally.answered;
      noteGap(now);
      lastAnswer = now;
    } else if (answer.error == platform::kErrorPipeBusy) {
      ++tally.busy;
    }
    next = std::max(next + period, now);
  }
  noteGap(Clock::now());
  return tally;
}

// Keeps `sockets` connections to the pipe's socket at `path`: each one holds
// what the server gives it without a word, and connects again at once when
// the server refuses or drops it. Runs until it is killed; the first
// instance it gets is told on `readyFd`.
int Hog(const std::string& path, size_t sockets, int readyFd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  std::vector<pollfd> fds(sockets, pollfd{-1, POLLIN, 0});
  bool told = false;
  for (;;) {
    for (pollfd& p : fds) {
      if (p.fd >= 0) continue;
      p.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (::connect(p.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(p.fd);
        p.fd = -1;
      }
    }
    if (::poll(fds.data(), fds.size(), 10) < 0) continue;
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      char token = 0;
      ssize_t n = ::recv(p.fd, &token, 1, 0);
      if (n == 1 && token == static_cast<char>(platform::kPipeTokenAccepted)) {
        if (!told) told = ::write(readyFd, "A", 1) == 1;
        continue;  // held, silent, until the server drops it
      }
      ::close(p.fd);
      p.fd = -1;
    }
  }
}

// The clients are root and two other users, nobody and daemon, each in a
// process of its own.
class PipeFairness : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    if (!platform::LookUpAccount("nobody") || !platform::LookUpAccount("daemon")) {
      GTEST_SKIP() << "needs the accounts nobody and daemon";
    }
    // As under /run, the folders above the sockets let everyone through.
    ASSERT_EQ(::chmod(pipetest::RuntimeDir().c_str(), 0755), 0);
  }
};

TEST_F(PipeFairness, ConnectionsOfOneUserLockNeitherRootNorAnotherUserOut) {
  const std::string name = pipetest::UniquePipeName("Fair");
  std::string path;
  ASSERT_EQ(platform::PipeSocketPath(name, path), 0u);
  // The service's info pipe, as the service makes it.
  TAlrSrvInfo info(name, 4);
  ASSERT_EQ(pipetest::CallWhenReady(name, pipetest::Request("REQGETSTATS")).error, 0u);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t hog = pipetest::StartAs("nobody", [&] {
    ::close(ready[0]);
    return Hog(path, 16, ready[1]);
  });
  ::close(ready[1]);
  char byte = 0;
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the hog never got an instance";
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  // Root and a third user poll side by side, each in a process of its own.
  const milliseconds period(200);
  const milliseconds length(20000);
  struct Poller {
    const char* account;
    int fd = -1;
    pid_t pid = -1;
  };
  Poller pollers[] = {{"root"}, {"daemon"}};
  for (Poller& poller : pollers) {
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    poller.pid = pipetest::StartAs(poller.account, [&] {
      PollTally tally = Poll(name, period, length);
      return ::write(result[1], &tally, sizeof tally) == sizeof tally ? 0 : 1;
    });
    ::close(result[1]);
    poller.fd = result[0];
  }
  for (Poller& poller : pollers) {
    PollTally tally;
    EXPECT_EQ(::read(poller.fd, &tally, sizeof tally), static_cast<ssize_t>(sizeof tally));
    ::close(poller.fd);
    EXPECT_EQ(pipetest::WaitChild(poller.pid), 0) << poller.account;
    std::cout << poller.account << ": " << tally.answered << " answers to " << tally.polls
              << " polls, " << tally.busy << " busy, longest wait " << tally.longestGapMs
              << " ms\n";
    EXPECT_GE(tally.polls, 90u) << poller.account;
    EXPECT_GE(tally.answered * 100, tally.polls * 95u)
        << poller.account << ": " << tally.answered << " answers to " << tally.polls << " polls, "
        << tally.busy << " busy";
    EXPECT_LE(tally.longestGapMs, 1000) << poller.account;
  }
  ::kill(hog, SIGKILL);
  pipetest::WaitChild(hog);
}

// The token that a connection of `account` gets, in a child process of its
// own; 0 when none came.
int TokenAs(const std::string& account, const std::string& name) {
  return pipetest::RunAs(account, [&] { return pipetest::RawClient(name).Token(); });
}

TEST_F(PipeFairness, EachUserHoldsOneInstanceAndRootKeepsTheSpareOne) {
  const std::string name = pipetest::UniquePipeName("Spare");
  // One instance, open to every user, as a control pipe that the
  // administrators' group shares.
  TPipeServer server(name, 1, &PipeSecurityAttributes);
  ASSERT_EQ(pipetest::CallWhenReady(name, pipetest::Bytes(1, 0)).error, 0u);

  // nobody holds the instance until it is let go.
  int held[2];
  int release[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = pipetest::StartAs("nobody", [&] {
    ::close(held[0]);
    ::close(release[1]);
    pipetest::RawClient client(name);
    char token = client.Token();
    if (::write(held[1], &token, 1) != 1) return 1;
    char byte;
    return ::read(release[0], &byte, 1) >= 0 ? 0 : 1;
  });
  ::close(held[1]);
  ::close(release[0]);
  char token = 0;
  ASSERT_EQ(::read(held[0], &token, 1), 1);
  ::close(held[0]);
  EXPECT_EQ(token, 'A');

  EXPECT_EQ(TokenAs("nobody", name), 'B') << "a second connection of the same user";
  EXPECT_EQ(TokenAs("daemon", name), 'B') << "other users hold the one instance";
  pipetest::RawClient root(name);
  EXPECT_EQ(root.Token(), 'A') << "the spare instance is root's";
  EXPECT_EQ(pipetest::RawClient(name).Token(), 'B') << "root holds as many as the pipe has";

  ::close(release[1]);
  EXPECT_EQ(pipetest::WaitChild(holder), 0);
  // Once nobody has gone, the instance is another user's again.
  int got = 0;
  for (int attempt = 0; attempt < 200 && got != 'A'; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(milliseconds(10));
    got = TokenAs("daemon", name);
  }
  EXPECT_EQ(got, 'A');
}

}  // namespace
