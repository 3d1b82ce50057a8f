#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/progress.h"

namespace zv::app {

/// Estimates the time an export still needs from its pace since the total became known. The
/// estimate starts over whenever the total changes or becomes unknown.
class TimeRemainingEstimator {
 public:
  /// Records the state seen at `now` (seconds from any fixed origin, never decreasing) and
  /// returns the seconds still needed; nothing until enough time and work have passed to judge.
  std::optional<double> update(const platform::ProgressState& state, double now);

 private:
  std::int64_t total_ = -1;
  std::int64_t startCompleted_ = 0;
  double startTime_ = 0;
};

/// The one progress line shown on a terminal: the description, "completed/total", a bar and the
/// time-remaining text when there is an estimate, fitted into `width` columns (UTF-8), control
/// characters escaped. What does not fit goes in this order: the time, the bar, then the end of
/// the line.
std::string progressLine(const platform::ProgressState& state,
                         std::optional<double> secondsRemaining, std::size_t width);

}  // namespace zv::app
