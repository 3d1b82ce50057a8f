#include "app/progress_line.h"

#include <gtest/gtest.h>

#include <tuple>

namespace zv::app {
namespace {

using platform::ProgressState;

ProgressState state(std::int64_t total, std::int64_t completed,
                    std::u16string description = u"Exporting notes…") {
  return ProgressState{total, completed, std::move(description), false};
}

struct LineCase {
  const char* name;
  ProgressState state;
  std::optional<double> secondsRemaining;
  std::size_t width;
  std::string expected;
};

TEST(ProgressLine, ShowsWhatFitsDroppingTimeThenBarThenTheEnd) {
  const LineCase cases[] = {
      {"indeterminate", state(-1, 0, u"Finishing…"), 30.0, 80, "Finishing…"},
      {"no estimate yet", state(200, 50), std::nullopt, 80,
       "Exporting notes…  50/200  [#####---------------]"},
      {"estimate", state(200, 50), 150.0, 80,
       "Exporting notes…  50/200  [#####---------------]  2 minutes remaining"},
      {"more completed than counted", state(2, 3), std::nullopt, 80,
       "Exporting notes…  3/2  [####################]"},
      {"no room for the time", state(200, 50), 150.0, 60,
       "Exporting notes…  50/200  [#####---------------]"},
      {"no room for the bar", state(200, 50), 150.0, 30, "Exporting notes…  50/200"},
      // Columns are code points: "…" is one column though three bytes.
      {"cut at a code point", state(200, 50), std::nullopt, 16, "Exporting notes…"},
      {"cut inside", state(200, 50), std::nullopt, 9, "Exporting"},
      {"control characters escaped", state(-1, 0, u"a\x1B[2J\r\nOK"), std::nullopt, 80,
       "a\\x1B[2J\\r\\nOK"},
      {"escapes count as columns", state(-1, 0, u"a\x1B[2J"), std::nullopt, 3, "a\\x"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_EQ(progressLine(testCase.state, testCase.secondsRemaining, testCase.width),
              testCase.expected);
  }
}

TEST(TimeRemainingEstimator, EstimatesFromThePaceSinceTheTotalBecameKnown) {
  // Each state, the time it is seen at and the estimate expected then.
  const std::tuple<ProgressState, double, std::optional<double>> samples[] = {
      {state(-1, 0), 0.0, std::nullopt},
      {state(1000, 0), 10.0, std::nullopt},    // the total is known from here on
      {state(1000, 100), 10.5, std::nullopt},  // too soon to judge
      {state(1000, 100), 12.0, 18.0},          // 100 items in 2 s, 900 left
      {state(1000, 1100), 13.0, 0.0},          // more done than counted
      {state(-1, 1100), 14.0, std::nullopt},   // indeterminate again
      {state(500, 0), 15.0, std::nullopt},     // a new total starts over
      {state(500, 0), 30.0, std::nullopt},     // nothing done yet: no pace
      {state(500, 250), 40.0, 25.0},           // 250 in 25 s, 250 left
  };
  TimeRemainingEstimator estimator;
  for (const auto& [progress, now, expected] : samples) {
    SCOPED_TRACE(testing::Message() << "at " << now);
    auto estimate = estimator.update(progress, now);
    ASSERT_EQ(estimate.has_value(), expected.has_value());
    if (estimate) {
      EXPECT_DOUBLE_EQ(*estimate, *expected);
    }
  }
}

}  // namespace
}  // namespace zv::app
