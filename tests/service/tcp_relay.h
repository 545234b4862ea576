// A loopback TCP relay in front of the local Firebird server, for the tests of
// a server that goes silent. Each connection it accepts is forwarded until it
// has carried `budget` bytes (both directions counted together); then nothing
// more passes, while the connection stays open, as with a server that stops
// answering. A budget of 0 accepts and never answers: the relay does not even
// connect onward.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace testing_support {

class TcpRelay {
 public:
  // Listens on an ephemeral port of 127.0.0.1. Throws std::runtime_error.
  explicit TcpRelay(size_t budget, uint16_t targetPort = 3050);
  // Closes every connection, then ends the relay's thread.
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  // The host part of a connection string through the relay: "127.0.0.1/port".
  std::string Host() const;
  // Connections accepted so far.
  int Accepted() const { return accepted_; }
  // True once a connection has used up its budget.
  bool Stalled() const { return stalled_; }
  // Closes every connection held so far and returns once they are closed: a
  // client waiting on one of them sees it end. Later ones are served as before.
  // Throws std::runtime_error when the relay's thread has ended, or has not
  // closed them within kCloseAllLimit, so that a broken relay fails a test
  // instead of hanging it.
  void CloseAll();
  static constexpr std::chrono::seconds kCloseAllLimit{10};

 private:
  void Run();

  const size_t budget_;
  const uint16_t targetPort_;
  uint16_t port_ = 0;
  platform::UniqueFd listener_;
  platform::UniqueFd wake_;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stalled_{false};
  std::atomic<int> closeRequests_{0};
  std::atomic<int> closesDone_{0};
  std::atomic<bool> ending_{false};
  // Cleared when Run returns, for whatever reason.
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace testing_support
