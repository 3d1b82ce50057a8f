#include "platform/result.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv::platform {
namespace {

Error failure(std::int64_t code) {
  return Error{kPlatformErrorDomain, code, u"failed"};
}

Result<int> number(std::int64_t failingCode, int value) {
  if (failingCode != 0) {
    return failure(failingCode);
  }
  return value;
}

Result<void> step(std::int64_t failingCode, std::vector<std::int64_t>& ran, std::int64_t id) {
  ran.push_back(id);
  if (failingCode != 0) {
    return failure(failingCode);
  }
  return {};
}

Result<void> threeSteps(std::int64_t failingStep, std::vector<std::int64_t>& ran) {
  for (std::int64_t id = 1; id <= 3; ++id) {
    ZV_TRY(step(id == failingStep ? 100 + id : 0, ran, id));
  }
  return {};
}

Result<int> sumOfTwo(std::int64_t firstCode, std::int64_t secondCode) {
  ZV_ASSIGN_OR_RETURN(int first, number(firstCode, 2));
  ZV_ASSIGN_OR_RETURN(int second, number(secondCode, 3));
  return first + second;
}

TEST(ResultMacros, TryStopsAtTheFirstErrorAndReturnsIt) {
  struct Case {
    std::int64_t failingStep;
    std::vector<std::int64_t> expectedRan;
  };
  const Case cases[] = {{0, {1, 2, 3}}, {1, {1}}, {2, {1, 2}}, {3, {1, 2, 3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failingStep);
    std::vector<std::int64_t> ran;
    Result<void> result = threeSteps(c.failingStep, ran);
    EXPECT_EQ(ran, c.expectedRan);
    ASSERT_EQ(result.ok(), c.failingStep == 0);
    if (c.failingStep != 0) {
      EXPECT_EQ(result.error().code, 100 + c.failingStep);
    }
  }
}

TEST(ResultMacros, AssignOrReturnAssignsValuesOrReturnsTheFirstError) {
  Result<int> both = sumOfTwo(0, 0);
  ASSERT_TRUE(both.ok());
  EXPECT_EQ(*both, 5);
  Result<int> first = sumOfTwo(7, 8);
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.error().code, 7);
  Result<int> second = sumOfTwo(0, 8);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code, 8);
}

#ifndef NDEBUG
TEST(ResultCheckDeathTest, AnErrorNobodyLookedAtAborts) {
  EXPECT_DEATH({ Result<void> dropped = failure(1); }, "without being checked");
  EXPECT_DEATH({ Result<int> dropped = failure(1); }, "without being checked");
  // Overwriting an unchecked error drops it too.
  EXPECT_DEATH(
      {
        Result<int> overwritten = failure(1);
        overwritten = Result<int>(2);
        EXPECT_TRUE(overwritten.ok());
      },
      "without being checked");
}

TEST(ResultCheckDeathTest, ALookOrAMoveDischargesTheCheck) {
  {
    Result<void> looked = failure(1);
    EXPECT_FALSE(looked.ok());
  }
  {
    Result<int> tested = failure(1);
    EXPECT_FALSE(static_cast<bool>(tested));
  }
  {
    Result<int> ignored = failure(1);
    ignored.ignoreError();
  }
  { Result<int> succeeded = 3; }
  // The duty travels with the move: the moved-from Result is quiet, the new one must be checked.
  EXPECT_DEATH(
      {
        Result<int> original = failure(1);
        Result<int> moved = std::move(original);
      },
      "without being checked");
  Result<int> original = failure(1);
  Result<int> moved = std::move(original);
  EXPECT_EQ(moved.error().code, 1);
}
#endif

}  // namespace
}  // namespace zv::platform
