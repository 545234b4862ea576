// Ownership of one file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

// Holds a descriptor and closes it when the holder goes; -1 holds nothing.
// Move-only. close() is never retried: on Linux the descriptor is gone even
// when close() reports EINTR, and a retry could close one another thread just
// opened.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }

  // Gives the descriptor up without closing it; the holder is empty after.
  int release() { return std::exchange(fd_, -1); }

  // Closes what is held, ignoring the result, and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes now and returns close()'s result, for callers that must see the
  // error a deferred write may only report here. The holder is empty after,
  // whatever the result.
  int Close() { return ::close(release()); }

 private:
  int fd_ = -1;
};

}  // namespace platform
