#include "platform/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

struct Pipe {
  Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (IsOpen(fd)) ::close(fd);
    }
  }
  int fds[2] = {-1, -1};
};

TEST(UniqueFdTest, ClosesWhatItHoldsWhenItGoes) {
  Pipe pipe;
  {
    platform::UniqueFd held(pipe.fds[0]);
    EXPECT_EQ(held.get(), pipe.fds[0]);
  }
  EXPECT_FALSE(IsOpen(pipe.fds[0]));
  EXPECT_TRUE(IsOpen(pipe.fds[1]));
}

TEST(UniqueFdTest, ReleaseGivesTheDescriptorUpOpen) {
  Pipe pipe;
  {
    platform::UniqueFd held(pipe.fds[0]);
    EXPECT_EQ(held.release(), pipe.fds[0]);
    EXPECT_EQ(held.get(), -1);
  }
  EXPECT_TRUE(IsOpen(pipe.fds[0]));
}

TEST(UniqueFdTest, ResetClosesTheOldAndHoldsTheNew) {
  Pipe pipe;
  platform::UniqueFd held(pipe.fds[0]);
  held.reset(pipe.fds[1]);
  EXPECT_FALSE(IsOpen(pipe.fds[0]));
  EXPECT_EQ(held.get(), pipe.fds[1]);
  held.reset();
  EXPECT_FALSE(IsOpen(pipe.fds[1]));
  EXPECT_EQ(held.get(), -1);
}

TEST(UniqueFdTest, MovingHandsOwnershipOver) {
  Pipe pipe;
  platform::UniqueFd first(pipe.fds[0]);
  platform::UniqueFd second(std::move(first));
  EXPECT_EQ(first.get(), -1);
  EXPECT_EQ(second.get(), pipe.fds[0]);

  platform::UniqueFd third(pipe.fds[1]);
  third = std::move(second);
  EXPECT_FALSE(IsOpen(pipe.fds[1]));  // what `third` held before is closed
  EXPECT_EQ(third.get(), pipe.fds[0]);
  EXPECT_TRUE(IsOpen(pipe.fds[0]));
}

TEST(UniqueFdTest, CloseReportsCloseResult) {
  Pipe pipe;
  platform::UniqueFd held(pipe.fds[0]);
  EXPECT_EQ(held.Close(), 0);
  EXPECT_EQ(held.get(), -1);
  EXPECT_FALSE(IsOpen(pipe.fds[0]));

  // A descriptor that is not open: close() fails, and the failure is passed on.
  platform::UniqueFd stale(pipe.fds[0]);
  errno = 0;
  EXPECT_EQ(stale.Close(), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(stale.get(), -1);
}

}  // namespace
