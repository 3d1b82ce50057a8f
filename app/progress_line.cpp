#include "app/progress_line.h"

#include <algorithm>
#include <cmath>

#include "platform/log.h"
#include "platform/unicode.h"
#include "text/time_remaining.h"

namespace zv::app {
namespace {

// Below this the pace is mostly start-up noise.
constexpr double kMinimumSecondsToEstimate = 1.0;
constexpr std::size_t kBarWidth = 20;
constexpr char kSeparator[] = "  ";

// Columns of UTF-8 text: one per code point, which holds for the texts this line shows.
std::size_t columns(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The longest prefix of whole code points that fits into `width` columns.
std::string truncated(const std::string& text, std::size_t width) {
  std::size_t seen = 0;
  for (std::size_t index = 0; index < text.size(); ++index) {
    if ((static_cast<unsigned char>(text[index]) & 0xC0) == 0x80) {
      continue;
    }
    if (seen == width) {
      return text.substr(0, index);
    }
    ++seen;
  }
  return text;
}

std::string bar(double fraction) {
  auto filled = static_cast<std::size_t>(std::floor(fraction * kBarWidth));
  filled = std::min(filled, kBarWidth);
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
}

}  // namespace

std::optional<double> TimeRemainingEstimator::update(const platform::ProgressState& state,
                                                     double now) {
  if (state.isIndeterminate()) {
    total_ = -1;
    return std::nullopt;
  }
  if (state.totalUnitCount != total_) {
    total_ = state.totalUnitCount;
    startCompleted_ = state.completedUnitCount;
    startTime_ = now;
    return std::nullopt;
  }
  const double elapsed = now - startTime_;
  const std::int64_t done = state.completedUnitCount - startCompleted_;
  if (elapsed < kMinimumSecondsToEstimate || done <= 0) {
    return std::nullopt;
  }
  const auto left = std::max<std::int64_t>(0, state.totalUnitCount - state.completedUnitCount);
  return static_cast<double>(left) * elapsed / static_cast<double>(done);
}

std::string progressLine(const platform::ProgressState& state,
                         std::optional<double> secondsRemaining, std::size_t width) {
  // Carriage returns and escape sequences would move the cursor the line is redrawn from.
  std::string description =
      platform::escapedControlCharacters(platform::toUtf8(state.localizedDescription));
  if (state.isIndeterminate()) {
    return truncated(description, width);
  }
  std::string counts =
      std::to_string(state.completedUnitCount) + "/" + std::to_string(state.totalUnitCount);
  std::string line = description + kSeparator + counts;
  std::string withBar = line + kSeparator + bar(state.fractionCompleted());
  if (columns(withBar) <= width) {
    line = withBar;
    if (secondsRemaining) {
      std::string withTime =
          line + kSeparator + platform::toUtf8(text::stringForTimeInterval(*secondsRemaining));
      if (columns(withTime) <= width) {
        line = withTime;
      }
    }
  }
  return truncated(line, width);
}

}  // namespace zv::app
