// Helpers of the pipe tests: temporary folders, a log that the tests read,
// and clients that speak the socket protocol by hand.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/eventlog.h"

namespace pipetest {

using Bytes = std::vector<uint8_t>;

// A fresh folder below $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The runtime folder every test of the process uses (VIGILO_RUNTIME_DIR);
// the log goes to a file in it unless a LogCapture is active.
const std::string& RuntimeDir();

// A pipe name no other test of this process uses.
std::string UniquePipeName(const std::string& stem);

// Points the log at a temporary file and collects every message.
class LogCapture : public platform::EventSink {
 public:
  LogCapture();
  ~LogCapture() override;
  void ReportEvent(platform::EventType type, const std::string& message) override;
  std::vector<std::string> Messages() const;
  size_t Count(const std::string& message) const;
  // Waits until `message` has been logged `times` times; false after `limit`.
  bool WaitFor(const std::string& message, size_t times = 1,
               std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

 private:
  TempDir dir_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<std::string> messages_;
};

// One exchange through the platform call.
struct Answer {
  uint32_t error = 0;
  Bytes bytes;
};
Answer Call(const std::string& pipeName, const Bytes& request);
// The same, retried while the server is not listening yet (error 2), for at
// most about ten seconds. Refused connections reach no server counter.
Answer CallWhenReady(const std::string& pipeName, const Bytes& request);

// A request: the 28-byte header with `command`, then `payload`.
Bytes Request(const std::string& command, const Bytes& payload = {});
Bytes Request(const std::string& command, uint32_t dataLength, const Bytes& payload);

// A client on the raw socket that keeps its connection.
class RawClient {
 public:
  // Connects, retrying while the server is not listening yet (at most about
  // ten seconds), and reads the token byte ('A' or 'B'; 0 when none came).
  explicit RawClient(const std::string& pipeName);
  // Only makes the socket: Connect() connects it, ReadToken() reads the token.
  enum DeferConnect { kNoToken };
  RawClient(const std::string& pipeName, DeferConnect);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool Connected() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  // One connect, without retries; needs no new descriptor.
  bool Connect();
  // The token byte, 0 when none came.
  char ReadToken();
  char Token() const { return token_; }
  // Sends one framed message; false on failure.
  bool Send(const Bytes& message);
  // Sends bytes as they are, without a frame.
  bool SendRaw(const Bytes& bytes);
  // Receives one framed message; false when the connection ends first.
  bool Receive(Bytes& message);
  // True when the server closed the connection (reads end of stream).
  bool ClosedByServer();
  void Close();

 private:
  int fd_ = -1;
  char token_ = 0;
  std::string path_;
};

// A message framed as the sockets carry it: its length, then its bytes.
Bytes Framed(const Bytes& message);

uint32_t Get32(const Bytes& bytes, size_t offset);
uint64_t Get64(const Bytes& bytes, size_t offset);
uint16_t Get16(const Bytes& bytes, size_t offset);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);

// The number of descriptors this process has open.
size_t OpenDescriptorCount();

// Runs `body` in a child process as the account `account`, with the groups
// the group database gives it, as a login gets them; returns the child's
// pid. The child exits with body's result, or 255 when it could not become
// that user (or there is no such account). Needs root for any account but
// this process's own.
pid_t StartAs(const std::string& account, std::function<int()> body);
// Waits for a child; its exit code, 253 when it did not exit normally.
int WaitChild(pid_t pid);
// StartAs, then WaitChild.
int RunAs(const std::string& account, std::function<int()> body);

// A child's exit code that carries the error code `error`: the code itself,
// 252 for the codes that do not fit.
int ExitCode(uint32_t error);

}  // namespace pipetest
