#include "platform/date.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm), exact for
// every year a signed 64-bit count can hold here.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
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
  if (!second || *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) ||
      *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  double fraction = 0;
  if (position < text.size() && text[position] == u'.') {
    ++position;
    size_t digits = 0;
    double scale = 0.1;
    while (position < text.size() && text[position] >= u'0' && text[position] <= u'9') {
      fraction += scale * (text[position] - u'0');
      scale /= 10;
      ++position;
      ++digits;
    }
    if (digits == 0 || digits > 9) {
      return std::nullopt;
    }
  }
  auto offset = readZoneOffset(text, position);
  if (!offset) {
    return std::nullopt;
  }
  const std::int64_t unixSeconds = daysFromCivil(*year, *month, *day) * kSecondsPerDay +
                                   *hour * 3600 + *minute * 60 + *second - *offset;
  const double seconds = static_cast<double>(unixSeconds) - kReferenceDateUnixTime;
  return Date{seconds + fraction};
}

std::u16string iso8601StringFromDate(Date date) {
  const double milliseconds = std::floor(unixTimeFromDate(date) * 1000.0);
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
  std::int64_t days = seconds / kSecondsPerDay;
  std::int64_t secondOfDay = seconds % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    days -= 1;
  }
  const CivilDate civil = civilFromDays(days);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<long long>(civil.year), civil.month, civil.day,
                static_cast<long long>(secondOfDay / 3600),
                static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60), static_cast<long long>(remainder));
  return fromUtf8(buffer);
}

}  // namespace zv::platform
