#include "platform/retry_on_interrupt.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace zv::platform {
namespace {

TEST(RetryOnInterrupt, RetriesOnlyCallsThatASignalInterrupted) {
  struct Case {
    const char* name;
    std::vector<std::pair<ssize_t, int>> outcomes;  // each call's result and errno
    ssize_t expectedResult;
    int expectedErrno;
    std::size_t expectedCalls;
  };
  const Case cases[] = {
      {"succeeds at once", {{7, 0}}, 7, 0, 1},
      {"end of file is a result", {{0, 0}}, 0, 0, 1},
      {"interrupted twice, then succeeds", {{-1, EINTR}, {-1, EINTR}, {5, 0}}, 5, 0, 3},
      {"fails for another reason", {{-1, EIO}, {3, 0}}, -1, EIO, 1},
      {"interrupted, then fails", {{-1, EINTR}, {-1, EAGAIN}}, -1, EAGAIN, 2},
      // Only -1 reports a failure; errno left over from earlier means nothing then.
      {"other result with a stale EINTR", {{-2, EINTR}, {1, 0}}, -2, EINTR, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t calls = 0;
    errno = 0;
    const ssize_t result = retryOnInterrupt([&] {
      const auto& [result, errorNumber] = c.outcomes.at(calls++);
      errno = errorNumber;
      return result;
    });
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(errno, c.expectedErrno);
    EXPECT_EQ(calls, c.expectedCalls);
  }
}

}  // namespace
}  // namespace zv::platform
