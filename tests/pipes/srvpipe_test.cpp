#include "pipes/srvpipe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "pipe_test_support.h"
#include "platform/syserror.h"

namespace {

using pipetest::Bytes;
using pipetest::LogCapture;
using pipetest::RawClient;
using Clock = std::chrono::steady_clock;

using Handler =
    std::function<void(TPipeServer&, const uint8_t*, uint32_t, uint8_t*, uint32_t&, bool&)>;

// A server whose requests a test handles; without a handler it keeps the
// server's default acknowledgement.
class TestServer : public TPipeServer {
 public:
  TestServer(const std::string& name, int32_t instances, Handler handler = nullptr,
             int32_t logLevel = 0, std::unique_ptr<platform::PipeServerSystem> system = nullptr,
             std::chrono::milliseconds requestTime = platform::kPipeRequestTime)
      : TPipeServer(TDeferStart{}, name, instances, nullptr, logLevel, requestTime,
                    std::move(system)),
        handler_(std::move(handler)) {
    Start();
  }
  ~TestServer() override { StopAndWait(); }

  void ProcessRequest(const uint8_t* request, uint32_t size, uint8_t* reply, int32_t,
                      uint32_t& replySize, bool& defaultAck) override {
    if (handler_) handler_(*this, request, size, reply, replySize, defaultAck);
  }

 private:
  Handler handler_;
};

// Answers every request with the server's statistics as they stand.
void ReplyStatistics(TPipeServer& server, const uint8_t*, uint32_t, uint8_t* reply,
                     uint32_t& replySize, bool& defaultAck) {
  TPipeStatistics statistics;
  server.GetStatistics(statistics);
  EncodePipeStatistics(statistics, std::span<uint8_t, kPipeStatisticsSize>(reply, 56));
  replySize = kPipeStatisticsSize;
  defaultAck = false;
}

TPipeStatistics Decode(const Bytes& answer) {
  EXPECT_EQ(answer.size(), kPipeStatisticsSize);
  Bytes bytes = answer;
  bytes.resize(kPipeStatisticsSize);
  return DecodePipeStatistics(std::span<const uint8_t, kPipeStatisticsSize>(bytes));
}

TEST(PipeServer, DefaultAcknowledgementNamesTheSizeAndTheTime) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Ack");
  TPipeServer server(name, 1, nullptr);
  pipetest::Answer answer = pipetest::CallWhenReady(name, Bytes(28, 'x'));
  ASSERT_EQ(answer.error, 0u);
  std::string text(answer.bytes.begin(), answer.bytes.end());
  EXPECT_EQ(text.size(), 21u);
  ASSERT_EQ(text.substr(0, 13), "ACK 28 bytes ");
  // hh:nn:ss
  const std::string clock = text.substr(13);
  for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) EXPECT_TRUE(std::isdigit(clock[i])) << text;
  EXPECT_EQ(clock[2], ':');
  EXPECT_EQ(clock[5], ':');
  EXPECT_LT(std::stoi(clock.substr(0, 2)), 24);
  EXPECT_LT(std::stoi(clock.substr(3, 2)), 60);
  EXPECT_LT(std::stoi(clock.substr(6, 2)), 60);
  EXPECT_EQ(server.GetPipeName(), "\\\\.\\pipe\\" + name);
}

TEST(PipeServer, StatisticsCountConnectionsRequestsAndAnswers) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Stats");
  TestServer server(name, 2, ReplyStatistics);

  // One connection, one request: the request is counted, its answer not yet.
  pipetest::Answer first = pipetest::CallWhenReady(name, Bytes(30, 1));
  ASSERT_EQ(first.error, 0u);
  TPipeStatistics one = Decode(first.bytes);
  EXPECT_EQ(one.Connections, 1u);
  EXPECT_EQ(one.Requests, 1u);
  EXPECT_EQ(one.BytesReceived, 30u);
  EXPECT_EQ(one.Answers, 0u);
  EXPECT_EQ(one.BytesSent, 0u);
  EXPECT_NE(one.StartedAt.wYear, 0);

  // A second exchange on a new connection: the first answer is counted now.
  pipetest::Answer second = pipetest::Call(name, Bytes(5, 2));
  ASSERT_EQ(second.error, 0u);
  TPipeStatistics two = Decode(second.bytes);
  EXPECT_EQ(two.Connections, 2u);
  EXPECT_EQ(two.Requests, 2u);
  EXPECT_EQ(two.BytesReceived, 35u);
  EXPECT_EQ(two.Answers, 1u);
  EXPECT_EQ(two.BytesSent, kPipeStatisticsSize);

  // Two requests on one connection: one more connection, two more requests.
  RawClient client(name);
  ASSERT_EQ(client.Token(), 'A');
  Bytes reply;
  ASSERT_TRUE(client.Send(Bytes(10, 3)));
  ASSERT_TRUE(client.Receive(reply));
  ASSERT_TRUE(client.Send(Bytes(20, 4)));
  ASSERT_TRUE(client.Receive(reply));
  TPipeStatistics four = Decode(reply);
  EXPECT_EQ(four.Connections, 3u);
  EXPECT_EQ(four.Requests, 4u);
  EXPECT_EQ(four.BytesReceived, 65u);
  EXPECT_EQ(four.Answers, 3u);
  EXPECT_EQ(four.BytesSent, 3 * kPipeStatisticsSize);
  EXPECT_EQ(four.ConnectErrors, 0u);
  EXPECT_EQ(four.WriteErrors, 0u);
  EXPECT_TRUE(log.Messages().empty());
}

TEST(PipeServer, EmptyAndOverlongMessagesAreDroppedUnanswered) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Drop");
  TestServer server(name, 1, ReplyStatistics);
  struct Case {
    const char* label;
    Bytes message;
  };
  const Case cases[] = {
      {"empty", {}},
      {"one byte too long", Bytes(kPipeBufferSize + 1, 'x')},
  };
  for (const Case& c : cases) {
    RawClient client(name);
    ASSERT_EQ(client.Token(), 'A') << c.label;
    // The server may close as soon as it has read the length, while the rest
    // of an overlong message is still being sent.
    client.Send(c.message);
    EXPECT_TRUE(client.ClosedByServer()) << c.label;
  }
  pipetest::Answer after = pipetest::Call(name, Bytes(kPipeBufferSize, 'y'));
  ASSERT_EQ(after.error, 0u);
  TPipeStatistics st = Decode(after.bytes);
  EXPECT_EQ(st.Connections, 3u);
  EXPECT_EQ(st.Requests, 1u);
  EXPECT_EQ(st.BytesReceived, kPipeBufferSize);
  EXPECT_TRUE(log.Messages().empty());
}

TEST(PipeServer, OneInstancePipeIsBusyWhileAClientHoldsIt) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Busy");
  TPipeServer server(name, 1, nullptr);
  {
    RawClient holder(name);
    ASSERT_EQ(holder.Token(), 'A');
    EXPECT_EQ(pipetest::Call(name, Bytes(28, 0)).error, platform::kErrorPipeBusy);
    RawClient second(name);
    EXPECT_EQ(second.Token(), 'B');
    EXPECT_TRUE(second.ClosedByServer());
  }
  // Once the holder has gone the instance listens again.
  pipetest::Answer answer;
  for (int i = 0; i < 2000; ++i) {
    answer = pipetest::Call(name, Bytes(28, 0));
    if (answer.error != platform::kErrorPipeBusy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(answer.error, 0u);
}

TEST(PipeServer, SequentialClientsOfAOneInstancePipeAreNeverRefused) {
  std::string name = pipetest::UniquePipeName("OneByOne");
  TestServer server(name, 1, ReplyStatistics);
  ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
  // Each client has closed before the next connects: the instance is free
  // again by then, however the server's thread is scheduled. Whether it took
  // a client that was waiting already or one that came later, each counts.
  const uint32_t calls = 5000;
  uint32_t refused = 0;
  pipetest::Answer last;
  for (uint32_t i = 0; i < calls; ++i) {
    last = pipetest::Call(name, Bytes(1, 0));
    refused += last.error != 0;
  }
  EXPECT_EQ(refused, 0u);
  TPipeStatistics st = Decode(last.bytes);
  EXPECT_EQ(st.Connections, calls + 1);
  EXPECT_EQ(st.Requests, calls + 1);
  EXPECT_EQ(st.Answers, calls);
  EXPECT_EQ(st.ConnectErrors, 0u);
}

TEST(PipeServer, EveryInstanceTakesOneClient) {
  std::string name = pipetest::UniquePipeName("Four");
  TPipeServer server(name, 4, nullptr);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<RawClient>(name));
    EXPECT_EQ(clients.back()->Token(), 'A') << i;
  }
  RawClient fifth(name);
  EXPECT_EQ(fifth.Token(), 'B');
  // The instances go on serving their own clients.
  for (auto& client : clients) {
    Bytes reply;
    ASSERT_TRUE(client->Send(Bytes(3, 'q')));
    ASSERT_TRUE(client->Receive(reply));
    EXPECT_EQ(std::string(reply.begin(), reply.begin() + 12), "ACK 3 bytes ");
  }
}

TEST(PipeServer, AClientSendingInFragmentsHoldsOnlyItsOwnInstance) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Fragments");
  TestServer server(name, 2, ReplyStatistics);
  RawClient slow(name);
  ASSERT_EQ(slow.Token(), 'A');
  const Bytes framed = pipetest::Framed(Bytes(300, 'p'));
  // Half a length, then the rest of it with part of the body, then the rest:
  // between the sends the other instance serves whole exchanges.
  const size_t cuts[] = {2, 100, framed.size()};
  size_t sent = 0;
  uint32_t othersServed = 0;
  for (size_t cut : cuts) {
    ASSERT_TRUE(slow.SendRaw(Bytes(framed.begin() + sent, framed.begin() + cut)));
    sent = cut;
    if (cut == framed.size()) break;
    pipetest::Answer other = pipetest::Call(name, Bytes(7, 'o'));
    ASSERT_EQ(other.error, 0u);
    ++othersServed;
  }
  Bytes reply;
  ASSERT_TRUE(slow.Receive(reply));
  TPipeStatistics st = Decode(reply);
  EXPECT_EQ(st.Requests, othersServed + 1);
  EXPECT_EQ(st.BytesReceived, othersServed * 7 + 300);
  EXPECT_TRUE(log.Messages().empty());
}

// A request time short enough for the tests that wait for it, long against
// the scheduling of a loaded machine.
constexpr std::chrono::milliseconds kShortRequestTime{400};

// Idle clients of any user must not hold every instance: a client without a
// whole request within the time after its connect or its last answer is
// dropped and counted as a failed connect.
TEST(PipeServer, IdleClientsAreDroppedAfterTheRequestTimeAndTheNextIsServed) {
  std::string name = pipetest::UniquePipeName("Idle");
  TestServer server(name, 4, ReplyStatistics, 0, nullptr, kShortRequestTime);
  EXPECT_EQ(server.GetRequestTime(), kShortRequestTime);
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(std::make_unique<RawClient>(name));
    ASSERT_EQ(idle.back()->Token(), 'A') << i;
  }
  // One of them is idle after an answer rather than after its connect.
  Bytes reply;
  ASSERT_TRUE(idle[0]->Send(Bytes(5, 'q')));
  ASSERT_TRUE(idle[0]->Receive(reply));
  EXPECT_EQ(RawClient(name).Token(), 'B') << "every instance is held";
  for (auto& client : idle) {
    // Bounds the wait should the server never drop it.
    pollfd p{client->Descriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 60000), 1);
    EXPECT_TRUE(client->ClosedByServer());
  }
  // A client that is slow but whole in time is served as before.
  RawClient next(name);
  ASSERT_EQ(next.Token(), 'A');
  const Bytes framed = pipetest::Framed(Bytes(9, 'r'));
  ASSERT_TRUE(next.SendRaw(Bytes(framed.begin(), framed.begin() + 3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(next.SendRaw(Bytes(framed.begin() + 3, framed.end())));
  ASSERT_TRUE(next.Receive(reply));
  TPipeStatistics st = Decode(reply);
  EXPECT_EQ(st.ConnectErrors, 4u);
  EXPECT_EQ(st.Connections, 5u);
  EXPECT_EQ(st.Requests, 2u);
}

// Each answer gives the client the whole request time again for its next
// request: one that asks more often than that stays as long as it likes,
// one that falls silent for longer is dropped.
TEST(PipeServer, EachAnswerRenewsTheClientsRequestTime) {
  struct Case {
    const char* label;
    std::chrono::milliseconds requestTime;
    std::chrono::milliseconds interval;
    std::chrono::milliseconds length;
  };
  const Case cases[] = {
      {"the default", platform::kPipeRequestTime, std::chrono::milliseconds(800),
       std::chrono::milliseconds(7000)},
      {"a short one", kShortRequestTime, std::chrono::milliseconds(100),
       std::chrono::milliseconds(2000)},
  };
  for (const Case& c : cases) {
    std::string name = pipetest::UniquePipeName("Renew");
    TestServer server(name, 1, ReplyStatistics, 0, nullptr, c.requestTime);
    RawClient client(name);
    ASSERT_EQ(client.Token(), 'A') << c.label;
    const auto end = Clock::now() + c.length;
    Bytes reply;
    uint32_t asked = 0;
    bool kept = true;
    while (kept && Clock::now() < end) {
      std::this_thread::sleep_for(c.interval);
      kept = client.Send(Bytes(4, 'k')) && client.Receive(reply);
      asked += kept;
    }
    EXPECT_TRUE(kept) << c.label << ": dropped after " << asked << " answers";
    if (!kept) continue;
    TPipeStatistics st = Decode(reply);
    EXPECT_EQ(st.Connections, 1u) << c.label;
    EXPECT_EQ(st.Requests, asked) << c.label;
    EXPECT_EQ(st.ConnectErrors, 0u) << c.label;
  }
  // Silent for longer than the time after an answer: dropped, not before.
  std::string name = pipetest::UniquePipeName("Renew");
  TestServer server(name, 1, ReplyStatistics, 0, nullptr, kShortRequestTime);
  RawClient client(name);
  ASSERT_EQ(client.Token(), 'A');
  Bytes reply;
  std::this_thread::sleep_for(kShortRequestTime / 2);
  ASSERT_TRUE(client.Send(Bytes(4, 'k')));
  ASSERT_TRUE(client.Receive(reply));
  const auto answered = Clock::now();
  pollfd p{client.Descriptor(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60000), 1);
  EXPECT_GE(Clock::now() - answered, kShortRequestTime - std::chrono::milliseconds(100));
  EXPECT_TRUE(client.ClosedByServer());
}

TEST(PipeServer, AClientThatDoesNotReadItsRepliesHoldsOnlyItsOwnInstance) {
  std::string name = pipetest::UniquePipeName("Deaf");
  // Every reply fills a whole message, so unread replies soon fill the socket.
  TestServer server(name, 2,
                    [](TPipeServer&, const uint8_t* request, uint32_t, uint8_t* reply,
                       uint32_t& replySize, bool& defaultAck) {
                      std::memset(reply, request[0], kPipeBufferSize);
                      replySize = kPipeBufferSize;
                      defaultAck = false;
                    });
  RawClient deaf(name);
  ASSERT_EQ(deaf.Token(), 'A');
  const int requests = 40;
  for (int i = 0; i < requests; ++i) ASSERT_TRUE(deaf.Send(Bytes(1, static_cast<uint8_t>(i))));
  // The server's write to it waits; the other instance goes on serving.
  for (int i = 0; i < 3; ++i) {
    pipetest::Answer other = pipetest::Call(name, Bytes(1, 'o'));
    ASSERT_EQ(other.error, 0u);
    EXPECT_EQ(other.bytes, Bytes(kPipeBufferSize, 'o'));
  }
  for (int i = 0; i < requests; ++i) {
    Bytes reply;
    ASSERT_TRUE(deaf.Receive(reply)) << i;
    EXPECT_EQ(reply, Bytes(kPipeBufferSize, static_cast<uint8_t>(i))) << i;
  }
}

TEST(PipeServer, AFloodOfClientsIsRefusedWhileTheHolderIsServed) {
  std::string name = pipetest::UniquePipeName("Flood");
  TestServer server(name, 1, ReplyStatistics);
  RawClient holder(name);
  ASSERT_EQ(holder.Token(), 'A');
  std::vector<std::unique_ptr<RawClient>> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(std::make_unique<RawClient>(name, RawClient::kNoToken));
    ASSERT_TRUE(flood.back()->Connect()) << i;
  }
  Bytes reply;
  ASSERT_TRUE(holder.Send(Bytes(1, 0)));
  ASSERT_TRUE(holder.Receive(reply));
  for (auto& client : flood) {
    EXPECT_EQ(client->ReadToken(), 'B');
    EXPECT_TRUE(client->ClosedByServer());
  }
  ASSERT_TRUE(holder.Send(Bytes(1, 0)));
  ASSERT_TRUE(holder.Receive(reply));
  // Refused clients never connected to an instance: nothing counts them.
  TPipeStatistics st = Decode(reply);
  EXPECT_EQ(st.Connections, 1u);
  EXPECT_EQ(st.Requests, 2u);
  EXPECT_EQ(st.ConnectErrors, 0u);
}

// Another process listening on the pipe's socket until `release` is closed.
class ListenerProcess {
 public:
  explicit ListenerProcess(const std::string& name) {
    std::string path;
    EXPECT_EQ(platform::PipeSocketPath(name, path), 0u);
    ::mkdir((pipetest::RuntimeDir() + "/pipe").c_str(), 0755);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int ready[2];
    int release[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(release), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      char ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(fd, 8) == 0;
      (void)!::write(ready[1], &ok, 1);
      char byte;
      (void)!::read(release[0], &byte, 1);
      ::unlink(path.c_str());
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char ok = 0;
    listening_ = ::read(ready[0], &ok, 1) == 1 && ok;
    ::close(ready[0]);
  }
  ~ListenerProcess() {
    ::close(release_);
    pipetest::WaitChild(pid_);
  }
  ListenerProcess(const ListenerProcess&) = delete;
  ListenerProcess& operator=(const ListenerProcess&) = delete;
  bool Listening() const { return listening_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool listening_ = false;
};

// Another server, of this process or of another, holds the name: the second
// one says so, and leaves the first one's socket in place.
TEST(PipeServer, ASecondServerOnANameInUseLogsThatTheNameIsInUse) {
  const char* kInUse = "Failed to create pipe instance: The requested resource is in use";
  {
    LogCapture log;
    std::string name = pipetest::UniquePipeName("Twice");
    TPipeServer first(name, 1, nullptr);
    ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
    { TPipeServer second(name, 1, nullptr); }
    EXPECT_EQ(log.Messages(), std::vector<std::string>{kInUse});
    EXPECT_EQ(pipetest::Call(name, Bytes(1, 0)).error, 0u);
  }
  {
    LogCapture log;
    std::string name = pipetest::UniquePipeName("Taken");
    ListenerProcess other(name);
    ASSERT_TRUE(other.Listening());
    { TPipeServer server(name, 1, nullptr); }
    EXPECT_EQ(log.Messages(), std::vector<std::string>{kInUse});
    std::string path;
    ASSERT_EQ(platform::PipeSocketPath(name, path), 0u);
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << "the other process's socket stays";
  }
}

TEST(PipeServer, StopWithAnIdleClientConnectedEndsTheThread) {
  std::string name = pipetest::UniquePipeName("Idle");
  auto server = std::make_unique<TPipeServer>(name, 1, nullptr);
  RawClient client(name);
  ASSERT_EQ(client.Token(), 'A');
  server->Stop();
  server->Stop();  // a second request changes nothing
  server.reset();  // joins the thread, which was waiting for the idle client
  EXPECT_TRUE(client.ClosedByServer());
  std::string path;
  ASSERT_EQ(platform::PipeSocketPath(name, path), 0u);
  struct stat st;
  EXPECT_NE(::stat(path.c_str(), &st), 0) << "the socket file is removed";
}

TEST(PipeServer, AnExceptionInTheHandlerIsLoggedAndDropsThatClient) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Throw");
  TestServer server(name, 1,
                    [](TPipeServer& s, const uint8_t* request, uint32_t size, uint8_t* reply,
                       uint32_t& replySize, bool& defaultAck) {
                      if (size == 4 && std::memcmp(request, "boom", 4) == 0) {
                        throw std::runtime_error("handler failed");
                      }
                      ReplyStatistics(s, request, size, reply, replySize, defaultAck);
                    });
  pipetest::Answer failed = pipetest::CallWhenReady(name, Bytes{'b', 'o', 'o', 'm'});
  EXPECT_EQ(failed.error, platform::kErrorBrokenPipe);
  EXPECT_TRUE(log.WaitFor("handler failed"));
  pipetest::Answer next = pipetest::Call(name, Bytes(2, 0));
  ASSERT_EQ(next.error, 0u);
  TPipeStatistics st = Decode(next.bytes);
  EXPECT_EQ(st.Requests, 2u);
  EXPECT_EQ(st.Answers, 0u);
  EXPECT_EQ(st.WriteErrors, 0u);
}

TEST(PipeServer, LogLevelAboveZeroAddsTheDiagnosticMessages) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Verbose");
  {
    TestServer server(name, 1, nullptr, 1);
    EXPECT_EQ(server.GetLogLevel(), 1);
    ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
    EXPECT_TRUE(log.WaitFor("Disconnected from client and listening again"));
  }
  EXPECT_THAT(log.Messages(), ::testing::Contains("Named pipe server thread started"));
  EXPECT_EQ(log.Messages().back(), "Named pipe server thread finished");
}

// While it lives no new descriptor can be made in this process.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit limited = saved_;
    limited.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &limited);
  }
  ~DescriptorShortage() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorShortage(const DescriptorShortage&) = delete;
  DescriptorShortage& operator=(const DescriptorShortage&) = delete;

 private:
  rlimit saved_{};
};

TEST(PipeServer, AClientWaitingThroughADescriptorShortageIsServedAfterIt) {
  std::string name = pipetest::UniquePipeName("Short");
  TestServer server(name, 2, ReplyStatistics);
  RawClient holder(name);  // keeps the first instance, and asks for the counters
  ASSERT_EQ(holder.Token(), 'A');
  RawClient waiting(name, RawClient::kNoToken);
  ASSERT_TRUE(waiting.Connected());
  {
    DescriptorShortage shortage;
    ASSERT_TRUE(waiting.Connect());
    // The second instance cannot take the client: its accept fails.
    TPipeStatistics st;
    for (int i = 0; i < 20000; ++i) {
      Bytes reply;
      ASSERT_TRUE(holder.Send(Bytes(1, 0)));
      ASSERT_TRUE(holder.Receive(reply));
      st = Decode(reply);
      if (st.ConnectErrors > 0) break;
    }
    ASSERT_GT(st.ConnectErrors, 0u);
  }
  // With descriptors to spare again, the instance takes the client that waited.
  EXPECT_EQ(waiting.ReadToken(), 'A');
  Bytes reply;
  ASSERT_TRUE(waiting.Send(Bytes(2, 0)));
  ASSERT_TRUE(waiting.Receive(reply));
  EXPECT_EQ(Decode(reply).Connections, 2u);
}

std::atomic<int> signalsSeen{0};
void CountSignal(int) {
  ++signalsSeen;
}

TEST(PipeServer, SignalsInterruptingTheWaitAreRetriedSilently) {
  LogCapture log;
  std::string name = pipetest::UniquePipeName("Signal");
  signalsSeen = 0;
  struct sigaction action {};
  action.sa_handler = CountSignal;  // no SA_RESTART: poll() returns EINTR
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  {
    TPipeServer server(name, 1, nullptr);
    ASSERT_EQ(pipetest::CallWhenReady(name, Bytes(1, 0)).error, 0u);
    // Only the pipe thread, which started with the signal open, can take it.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigset_t old;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    for (int i = 1; i <= 20; ++i) {
      ::kill(::getpid(), SIGUSR1);
      for (int wait = 0; wait < 2000 && signalsSeen.load() < i; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    EXPECT_EQ(signalsSeen.load(), 20);
    EXPECT_EQ(pipetest::Call(name, Bytes(1, 0)).error, 0u);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(log.Messages().empty());
}

// The platform seam, scripted: records the calls, fails where it is told.
struct FakeRecord {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> calls;
  std::vector<Clock::time_point> waits;
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(call);
  }
  // Records a wait; returns its number, from 1.
  int AddWait(int count) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back("wait " + std::to_string(count));
    waits.push_back(Clock::now());
    changed.notify_all();
    return static_cast<int>(waits.size());
  }
  // True once the server has begun `count` waits.
  bool WaitForWaits(size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(60), [&] { return waits.size() >= count; });
  }
  std::vector<std::string> Closes() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> closes;
    for (const std::string& call : calls) {
      if (call.rfind("close ", 0) == 0) closes.push_back(call);
    }
    return closes;
  }
};

class FakePipeSystem : public platform::PipeServerSystem {
 public:
  using WaitScript = std::function<int(int call, int count, const platform::PipeEvent& stop)>;
  FakePipeSystem(std::shared_ptr<FakeRecord> record, int failCreateAt, WaitScript script)
      : record_(std::move(record)), failCreateAt_(failCreateAt), script_(std::move(script)) {}

  uint32_t CreateInstance(int index) override {
    record_->Add("create " + std::to_string(index));
    return index == failCreateAt_ ? uint32_t{platform::kErrorAccessDenied} : uint32_t{0};
  }
  void CloseInstance(int index) override { record_->Add("close " + std::to_string(index)); }
  platform::PipeIo Connect(int index, uint32_t&) override {
    record_->Add("connect " + std::to_string(index));
    return platform::PipeIo::Pending;
  }
  platform::PipeIo Read(int, uint8_t*, uint32_t, uint32_t&, uint32_t& error) override {
    error = platform::kErrorBrokenPipe;
    return platform::PipeIo::Failed;
  }
  platform::PipeIo Write(int, const uint8_t*, uint32_t, uint32_t&, uint32_t& error) override {
    error = platform::kErrorBrokenPipe;
    return platform::PipeIo::Failed;
  }
  bool GetResult(int, uint32_t&, uint32_t& error) override {
    error = platform::kErrorIoIncomplete;
    return false;
  }
  void Disconnect(int index) override { record_->Add("disconnect " + std::to_string(index)); }
  void Signal(int) override {}
  int Wait(const platform::PipeEvent& stop, int count, uint32_t& error) override {
    int call = record_->AddWait(count);
    int result = script_ ? script_(call, count, stop) : 0;
    if (result == 0) {
      stop.WaitFor(std::chrono::minutes(5));
    } else if (result < 0) {
      error = platform::kErrorInvalidHandle;
    }
    return result;
  }

 private:
  std::shared_ptr<FakeRecord> record_;
  int failCreateAt_;
  WaitScript script_;
};

std::unique_ptr<platform::PipeServerSystem> Fake(std::shared_ptr<FakeRecord> record,
                                                 int failCreateAt = -1,
                                                 FakePipeSystem::WaitScript script = nullptr) {
  return std::make_unique<FakePipeSystem>(std::move(record), failCreateAt, std::move(script));
}

TEST(PipeServerSetUp, AFailingSecondInstanceClosesTheFirstAndServesNothing) {
  LogCapture log;
  auto record = std::make_shared<FakeRecord>();
  { TestServer server("Fake", 4, nullptr, 0, Fake(record, 1)); }
  EXPECT_EQ(log.Messages(),
            std::vector<std::string>{"Failed to create pipe instance: Access is denied"});
  EXPECT_EQ(record->calls,
            (std::vector<std::string>{"create 0", "connect 0", "create 1", "close 0"}));
}

TEST(PipeServerSetUp, InstanceCountsAreCutTo0Through63) {
  const std::pair<int32_t, int32_t> cases[] = {{-5, 0},  {0, 0},   {1, 1},
                                               {63, 63}, {64, 63}, {1000, 63}};
  for (auto [asked, used] : cases) {
    auto record = std::make_shared<FakeRecord>();
    {
      TestServer server("Fake", asked, nullptr, 0, Fake(record));
      EXPECT_EQ(server.GetMaxInstances(), used) << asked;
      // The thread waits for the stop request only once every instance listens.
      EXPECT_TRUE(record->WaitForWaits(1)) << asked;
    }
    // Every instance, and the one more that keeps users fair (none for none).
    const int slots = used > 0 ? used + 1 : 0;
    int creates = 0;
    for (const std::string& call : record->calls) creates += call.rfind("create ", 0) == 0;
    EXPECT_EQ(creates, slots) << asked;
    EXPECT_THAT(record->calls, ::testing::Contains("wait " + std::to_string(slots))) << asked;
  }
}

TEST(PipeServerWait, AFailedWaitIsLoggedAndTheNextOneComesOnlyAfterAPause) {
  LogCapture log;
  auto record = std::make_shared<FakeRecord>();
  {
    TestServer server("Fake", 2, nullptr, 0,
                      Fake(record, -1, [](int call, int, const platform::PipeEvent&) {
                        return call == 1 ? -1 : 0;
                      }));
    ASSERT_TRUE(log.WaitFor("Wait error : "));
    EXPECT_TRUE(record->WaitForWaits(2));
  }
  ASSERT_GE(record->waits.size(), 2u);
  EXPECT_GE(record->waits[1] - record->waits[0], std::chrono::milliseconds(1000));
  EXPECT_EQ(log.Count("Wait error : "), 1u);
}

TEST(PipeServerWait, StopEndsAPauseAfterAFailedWait) {
  LogCapture log;
  auto record = std::make_shared<FakeRecord>();
  {
    TestServer server("Fake", 1, nullptr, 0,
                      Fake(record, -1, [](int, int, const platform::PipeEvent&) { return -1; }));
    ASSERT_TRUE(log.WaitFor("Wait error : "));
  }
  // The stop came during the first pause: no second wait.
  EXPECT_EQ(record->waits.size(), 1u);
}

TEST(PipeServerWait, AnIndexBeyondTheInstancesIsLogged) {
  LogCapture log;
  auto record = std::make_shared<FakeRecord>();
  {
    TestServer server("Fake", 2, nullptr, 0,
                      Fake(record, -1, [](int call, int count, const platform::PipeEvent&) {
                        return call == 1 ? count + 1 : 0;
                      }));
    ASSERT_TRUE(log.WaitFor("Wrong pipe index"));
  }
  EXPECT_EQ(log.Count("Wrong pipe index"), 1u);
  EXPECT_EQ(record->Closes(), (std::vector<std::string>{"close 2", "close 1", "close 0"}));
}

}  // namespace
