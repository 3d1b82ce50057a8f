#include "platform/result.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/result_matchers.h"

namespace zv::platform {
namespace {

Error failure(std::int64_t code) {
  return Error{kPlatformErrorDomain, code, u"failed"};
}

// Three steps, the first through ZV_TRY and the others through ZV_ASSIGN_OR_RETURN; step
// `failingStep` fails (0: none). `ran` records the steps that ran.
Result<int> threeSteps(int failingStep, std::vector<int>& ran) {
  auto step = [&](int id) -> Result<int> {
    ran.push_back(id);
    if (id == failingStep) {
      return failure(100 + id);
    }
    return id;
  };
  ZV_TRY(step(1));
  ZV_ASSIGN_OR_RETURN(const int second, step(2));
  ZV_ASSIGN_OR_RETURN(const int third, step(3));
  return second + third;
}

TEST(ResultMacros, StopAtTheFirstErrorAndReturnItOrAssignTheValues) {
  const std::pair<int, std::vector<int>> cases[] = {
      {0, {1, 2, 3}}, {1, {1}}, {2, {1, 2}}, {3, {1, 2, 3}}};
  for (const auto& [failingStep, expectedRan] : cases) {
    SCOPED_TRACE(failingStep);
    std::vector<int> ran;
    Result<int> result = threeSteps(failingStep, ran);
    EXPECT_EQ(ran, expectedRan);
    if (failingStep == 0) {
      ASSERT_THAT(result, testsupport::IsOk());
      EXPECT_EQ(*result, 5);
    } else {
      EXPECT_THAT(result, testsupport::IsPlatformError(100 + failingStep));
    }
  }
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
  // Each of these goes at the end of its statement, after the look.
  EXPECT_FALSE(Result<void>(failure(1)).ok());
  EXPECT_FALSE(static_cast<bool>(Result<int>(failure(1))));
  Result<int>(failure(1)).ignoreError();
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
