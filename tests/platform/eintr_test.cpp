#include "platform/eintr.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(RetryOnEintrTest, RetriesOnlyWhileTheCallIsInterrupted) {
  struct Case {
    int interruptions;
    int finalErrno;  // 0: the last call succeeds with 7
    int expectedResult;
    int expectedCalls;
  };
  const Case cases[] = {
      {0, 0, 7, 1}, {3, 0, 7, 4}, {2, EAGAIN, -1, 3},  // another error ends the retries
  };
  for (const Case& c : cases) {
    int calls = 0;
    int result = platform::RetryOnEintr([&] {
      ++calls;
      if (calls <= c.interruptions) {
        errno = EINTR;
        return -1;
      }
      if (c.finalErrno != 0) {
        errno = c.finalErrno;
        return -1;
      }
      return 7;
    });
    EXPECT_EQ(result, c.expectedResult) << c.interruptions;
    EXPECT_EQ(calls, c.expectedCalls) << c.interruptions;
    if (c.finalErrno != 0) {
      EXPECT_EQ(errno, c.finalErrno);
    }
  }
}

}  // namespace
