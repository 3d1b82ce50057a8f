#pragma once

#include <string>

namespace zv::text {

/// "n days remaining", "n hours remaining", "n minutes remaining" or "n seconds remaining" in the
/// user's language: the largest unit with a count of at least 1, the count rounded down (seconds
/// rounded up). A negative or undefined interval reads as 0 seconds.
std::u16string stringForTimeInterval(double seconds);

}  // namespace zv::text
