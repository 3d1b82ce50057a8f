#include "text/time_remaining.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/localization.h"

namespace zv::text {
namespace {

struct Unit {
  double seconds;
  std::u16string_view singular;
  std::u16string_view plural;
};

// Converting a double beyond the int64 range is undefined behaviour, so huge counts saturate.
std::int64_t countOf(double value) {
  constexpr double kLimit = 9.2e18;
  if (value >= kLimit) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace

std::u16string stringForTimeInterval(double seconds) {
  static constexpr Unit kUnits[] = {
      {86400, u"%ld day remaining", u"%ld days remaining"},
      {3600, u"%ld hour remaining", u"%ld hours remaining"},
      {60, u"%ld minute remaining", u"%ld minutes remaining"},
  };
  // Intervals below zero (and NaN) have no sensible reading other than "nothing left".
  if (!(seconds > 0)) {
    seconds = 0;
  }
  for (const Unit& unit : kUnits) {
    std::int64_t count = countOf(std::floor(seconds / unit.seconds));
    if (count != 0) {
      return zv::platform::formatLocalized(count == 1 ? unit.singular : unit.plural, {count});
    }
  }
  std::int64_t count = countOf(std::ceil(seconds));
  return zv::platform::formatLocalized(
      count == 1 ? u"%ld second remaining" : u"%ld seconds remaining", {count});
}

}  // namespace zv::text
