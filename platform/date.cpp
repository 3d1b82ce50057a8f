#include "platform/date.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr size_t kMaximumFractionDigits = 9;
// A microsecond short of the next second: a Date of this century holds that apart from the next
// second, and so does every conversion to a file time or a text of milliseconds.
constexpr double kLastInstantOfSecond = 0.999999;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard Hinnant's
// algorithms), exact for every year a signed 64-bit count can hold here.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

CivilDateTime civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  CivilDateTime civil;
  civil.year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  civil.month = month;
  civil.day = day;
  return civil;
}

bool isLeapYear(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned daysInMonth(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
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
  std::int64_t days = secondsSince1970 / kSecondsPerDay;
  std::int64_t secondOfDay = secondsSince1970 % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    days -= 1;
  }
  CivilDateTime civil = civilFromDays(days);
  civil.hour = static_cast<unsigned>(secondOfDay / 3600);
  civil.minute = static_cast<unsigned>(secondOfDay / 60 % 60);
  civil.second = static_cast<unsigned>(secondOfDay % 60);
  return civil;
}

std::int64_t unixSecondsFromCivilDateTime(const CivilDateTime& time) {
  return daysFromCivil(time.year, time.month, time.day) * kSecondsPerDay +
         std::int64_t{time.hour} * 3600 + std::int64_t{time.minute} * 60 + time.second;
}

bool isValidCivilDateTime(const CivilDateTime& time) {
  return time.month >= 1 && time.month <= 12 && time.day >= 1 &&
         time.day <= daysInMonth(time.year, time.month) && time.hour <= 23 && time.minute <= 59 &&
         time.second <= 59;
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
