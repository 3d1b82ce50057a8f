#include "platform/date.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr size_t kMaximumFractionDigits = 9;
// A microsecond short of the next second: a Date of this century holds that apart from the next
// second, and so does every conversion to a file time or a text of milliseconds.
constexpr double kLastInstantOfSecond = 0.999999;

// std::chrono::year holds only the years -32767 to 32767. The Gregorian calendar repeats every
// 400 years, which are exactly 146097 days, so a date further out is shifted by whole cycles
// into that range for the calendar arithmetic and shifted back afterwards.
constexpr std::int64_t kYearsPerCycle = 400;
constexpr std::int64_t kDaysPerCycle = 146097;

// The quotient rounded towards negative infinity, for a positive divisor.
std::int64_t floorDivide(std::int64_t dividend, std::int64_t divisor) {
  const std::int64_t quotient = dividend / divisor;
  return dividend % divisor < 0 ? quotient - 1 : quotient;
}

// The year shifted by whole cycles into [0, 400), with the number of cycles shifted.
std::pair<std::chrono::year, std::int64_t> yearInFirstCycle(std::int64_t year) {
  const std::int64_t cycles = floorDivide(year, kYearsPerCycle);
  return {std::chrono::year(static_cast<int>(year - cycles * kYearsPerCycle)), cycles};
}

// Reads exactly `count` decimal digits at `position`, advancing it; nothing when any is missing.
std::optional<unsigned> readDigits(std::u16string_view text, size_t& position, size_t count) {
  if (text.size() - position < count) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (size_t i = 0; i < count; ++i) {
    char16_t c = text[position + i];
    if (c < u'0' || c > u'9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned>(c - u'0');
  }
  position += count;
  return value;
}

bool expect(std::u16string_view text, size_t& position, char16_t c) {
  if (position >= text.size() || text[position] != c) {
    return false;
  }
  ++position;
  return true;
}

// The zone designator at `position` as seconds east of UTC; it must end the text.
std::optional<std::int64_t> readZoneOffset(std::u16string_view text, size_t position) {
  if (position >= text.size()) {
    return std::nullopt;
  }
  if (text[position] == u'Z') {
    return position + 1 == text.size() ? std::optional<std::int64_t>(0) : std::nullopt;
  }
  if (text[position] != u'+' && text[position] != u'-') {
    return std::nullopt;
  }
  const std::int64_t sign = text[position] == u'-' ? -1 : 1;
  ++position;
  auto hours = readDigits(text, position, 2);
  if (!hours) {
    return std::nullopt;
  }
  if (position < text.size() && text[position] == u':') {
    ++position;
  }
  auto minutes = readDigits(text, position, 2);
  if (!minutes || position != text.size() || *hours > 23 || *minutes > 59) {
    return std::nullopt;
  }
  return sign * (*hours * 3600 + *minutes * 60);
}

}  // namespace

Date dateFromUnixTime(double secondsSince1970) {
  return Date{secondsSince1970 - kReferenceDateUnixTime};
}

double unixTimeFromDate(Date date) {
  return date.secondsSinceReferenceDate + kReferenceDateUnixTime;
}

Date dateFromTimespec(const struct timespec& time) {
  // Subtracting the whole seconds first keeps the nanoseconds from drowning in a large sum.
  const double seconds = static_cast<double>(time.tv_sec) - kReferenceDateUnixTime;
  return Date{seconds + static_cast<double>(time.tv_nsec) / 1e9};
}

struct timespec timespecFromDate(Date date) {
  const double unixTime = unixTimeFromDate(date);
  double whole = std::floor(unixTime);
  auto nanoseconds = static_cast<long>(std::llround((unixTime - whole) * 1e9));
  if (nanoseconds >= 1'000'000'000) {
    whole += 1;
    nanoseconds -= 1'000'000'000;
  }
  struct timespec time {};
  time.tv_sec = static_cast<time_t>(whole);
  time.tv_nsec = nanoseconds;
  return time;
}

bool isFileSystemDate(Date date) {
  return std::isfinite(date.secondsSinceReferenceDate) &&
         std::fabs(date.secondsSinceReferenceDate) < 1e14;
}

CivilDateTime civilDateTimeFromUnixSeconds(std::int64_t secondsSince1970) {
  using namespace std::chrono;
  const std::int64_t days = floorDivide(secondsSince1970, kSecondsPerDay);
  const std::int64_t cycles = floorDivide(days, kDaysPerCycle);
  const year_month_day date{sys_days(std::chrono::days(days - cycles * kDaysPerCycle))};
  const hh_mm_ss time{std::chrono::seconds(secondsSince1970 - days * kSecondsPerDay)};
  CivilDateTime civil;
  civil.year = static_cast<int>(date.year()) + cycles * kYearsPerCycle;
  civil.month = static_cast<unsigned>(date.month());
  civil.day = static_cast<unsigned>(date.day());
  civil.hour = static_cast<unsigned>(time.hours().count());
  civil.minute = static_cast<unsigned>(time.minutes().count());
  civil.second = static_cast<unsigned>(time.seconds().count());
  return civil;
}

std::int64_t unixSecondsFromCivilDateTime(const CivilDateTime& time) {
  using namespace std::chrono;
  const auto [year, cycles] = yearInFirstCycle(time.year);
  const sys_days date{year / month(time.month) / day(time.day)};
  const std::int64_t days = date.time_since_epoch().count() + cycles * kDaysPerCycle;
  return days * kSecondsPerDay + std::int64_t{time.hour} * 3600 + std::int64_t{time.minute} * 60 +
         time.second;
}

bool isValidCivilDateTime(const CivilDateTime& time) {
  using namespace std::chrono;
  // Checked first: month and day keep only a byte, so a larger number would wrap into range.
  if (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31) {
    return false;
  }
  const year_month_day date{yearInFirstCycle(time.year).first / month(time.month) / day(time.day)};
  return date.ok() && time.hour <= 23 && time.minute <= 59 && time.second <= 59;
}

Date currentDate() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return dateFromTimespec(now);
}

std::optional<Date> dateFromISO8601String(std::u16string_view text) {
  size_t position = 0;
  auto year = readDigits(text, position, 4);
  if (!year || !expect(text, position, u'-')) {
    return std::nullopt;
  }
  auto month = readDigits(text, position, 2);
  if (!month || !expect(text, position, u'-')) {
    return std::nullopt;
  }
  auto day = readDigits(text, position, 2);
  if (!day || !expect(text, position, u'T')) {
    return std::nullopt;
  }
  auto hour = readDigits(text, position, 2);
  if (!hour || !expect(text, position, u':')) {
    return std::nullopt;
  }
  auto minute = readDigits(text, position, 2);
  if (!minute || !expect(text, position, u':')) {
    return std::nullopt;
  }
  auto second = readDigits(text, position, 2);
  if (!second) {
    return std::nullopt;
  }
  const bool leapSecond = *second == 60;
  const CivilDateTime civil{*year, *month, *day, *hour, *minute, leapSecond ? 59 : *second};
  if (!isValidCivilDateTime(civil)) {
    return std::nullopt;
  }
  double fraction = 0;
  if (position < text.size() && text[position] == u'.') {
    ++position;
    size_t digits = 0;
    double scale = 0.1;
    while (position < text.size() && text[position] >= u'0' && text[position] <= u'9') {
      // Digits beyond nanoseconds are cut: no clock or file keeps them.
      if (digits < kMaximumFractionDigits) {
        fraction += scale * (text[position] - u'0');
        scale /= 10;
      }
      ++position;
      ++digits;
    }
    if (digits == 0) {
      return std::nullopt;
    }
  }
  auto offset = readZoneOffset(text, position);
  if (!offset) {
    return std::nullopt;
  }
  const std::int64_t unixSeconds = unixSecondsFromCivilDateTime(civil) - *offset;
  if (leapSecond) {
    // A count of seconds has no room for a leap second, so it becomes the last instant of its
    // minute that a Date still tells apart from the next one; the date keeps its day.
    if ((unixSeconds % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay != kSecondsPerDay - 1) {
      return std::nullopt;
    }
    fraction = kLastInstantOfSecond;
  }
  const double seconds = static_cast<double>(unixSeconds) - kReferenceDateUnixTime;
  return Date{seconds + fraction};
}

std::u16string iso8601StringFromDate(Date date) {
  // Rounded to the microsecond first: ".002" parsed into a double may sit a hair below 2 ms,
  // and must not print as ".001".
  const double milliseconds = std::floor(std::nearbyint(unixTimeFromDate(date) * 1e6) / 1000.0);
  // Beyond a few million years the calendar arithmetic would overflow.
  if (!std::isfinite(milliseconds) || std::fabs(milliseconds) > 1e17) {
    return u"";
  }
  const auto totalMilliseconds = static_cast<std::int64_t>(milliseconds);
  std::int64_t seconds = totalMilliseconds / 1000;
  std::int64_t remainder = totalMilliseconds % 1000;
  if (remainder < 0) {
    remainder += 1000;
    seconds -= 1;
  }
  const CivilDateTime civil = civilDateTimeFromUnixSeconds(seconds);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02u.%03lldZ",
                static_cast<long long>(civil.year), civil.month, civil.day, civil.hour,
                civil.minute, civil.second, static_cast<long long>(remainder));
  return fromUtf8(buffer);
}

}  // namespace zv::platform
