#include "tests/service/tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/eintr.h"

namespace testing_support {
namespace {

using platform::UniqueFd;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// One relayed connection: the client's side, the server's side (none for a
// silent relay) and the bytes it may still carry.
struct Link {
  UniqueFd client;
  UniqueFd server;
  size_t left = 0;
};

// Writes all of `size` bytes; false when the peer has gone.
bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = platform::RetryOnEintr([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TcpRelay::TcpRelay(size_t budget, uint16_t targetPort)
    : budget_(budget),
      targetPort_(targetPort),
      listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener_.get() < 0 || wake_.get() < 0 ||
      ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 8) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("the relay cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
  ending_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

std::string TcpRelay::Host() const {
  return "127.0.0.1/" + std::to_string(port_);
}

void TcpRelay::CloseAll() {
  const int request = ++closeRequests_;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  const auto deadline = std::chrono::steady_clock::now() + kCloseAllLimit;
  while (closesDone_ < request) {
    // Read before the count again: a thread that closed them and then ended
    // has done what was asked.
    if (!running_ && closesDone_ < request) {
      throw std::runtime_error("the relay's thread has ended");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("the relay did not close its connections in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TcpRelay::Run() {
  struct Ended {
    std::atomic<bool>& running;
    ~Ended() { running = false; }
  } ended{running_};
  std::vector<std::unique_ptr<Link>> links;
  std::vector<char> buffer(65536);
  while (!ending_) {
    // Only links with bytes left are read: a stalled one is held, unread.
    std::vector<pollfd> fds = {{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    std::vector<std::pair<Link*, bool>> owners;  // the link and "from the client"
    for (const auto& link : links) {
      if (link->left == 0 || link->server.get() < 0) continue;
      fds.push_back({link->client.get(), POLLIN, 0});
      owners.emplace_back(link.get(), true);
      fds.push_back({link->server.get(), POLLIN, 0});
      owners.emplace_back(link.get(), false);
    }
    if (platform::RetryOnEintr([&] { return ::poll(fds.data(), fds.size(), -1); }) < 0) return;
    if (fds[0].revents != 0) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
      const int requested = closeRequests_;
      if (closesDone_ < requested) {
        links.clear();
        closesDone_ = requested;
        continue;  // the owners point into the links just closed
      }
    }
    if (fds[1].revents != 0) {
      auto link = std::make_unique<Link>();
      link->client.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (link->client.get() >= 0) {
        ++accepted_;
        link->left = budget_;
        if (budget_ > 0) {
          link->server.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
          const sockaddr_in target = Loopback(targetPort_);
          if (::connect(link->server.get(), reinterpret_cast<const sockaddr*>(&target),
                        sizeof target) != 0) {
            link->server.reset();
          }
        }
        links.push_back(std::move(link));
      }
    }
    for (size_t i = 0; i < owners.size(); ++i) {
      if (fds[i + 2].revents == 0) continue;
      auto [link, fromClient] = owners[i];
      if (link->left == 0) continue;  // used up by its other side in this round
      const int from = fromClient ? link->client.get() : link->server.get();
      const int to = fromClient ? link->server.get() : link->client.get();
      const ssize_t n = ::recv(from, buffer.data(), std::min(buffer.size(), link->left), 0);
      if (n <= 0) {
        // One side ended: the relay ends the other as well.
        link->left = 0;
        ::shutdown(to, SHUT_RDWR);
        continue;
      }
      link->left -= static_cast<size_t>(n);
      if (link->left == 0) stalled_ = true;
      if (!WriteAll(to, buffer.data(), static_cast<size_t>(n))) link->left = 0;
    }
  }
}

}  // namespace testing_support
