#pragma once

#include <compare>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace zv::platform {

/// A moment in time as seconds since 2001-01-01 00:00:00 UTC, the reference date the
/// applications we talk to count from and property lists store dates in. A double keeps
/// sub-microsecond precision for present-day dates, which is all a file's dates need.
struct Date {
  double secondsSinceReferenceDate = 0;

  // clang-tidy 14 takes the standard library's comparison with literal 0 for a null pointer.
  // NOLINTNEXTLINE(modernize-use-nullptr)
  friend auto operator<=>(const Date&, const Date&) = default;
};

/// Seconds from the Unix epoch to the reference date.
inline constexpr double kReferenceDateUnixTime = 978307200.0;

Date dateFromUnixTime(double secondsSince1970);
double unixTimeFromDate(Date date);

/// Exact conversions for file times. The time stamp's nanoseconds are rounded to the nearest
/// value the double can hold; converting back yields nanoseconds in [0, 1e9). The date must be
/// finite and within isFileSystemDate.
Date dateFromTimespec(const struct timespec& time);
struct timespec timespecFromDate(Date date);

/// True when the date is finite and near enough (some millions of years) to be a file time.
bool isFileSystemDate(Date date);

/// A moment in UTC spelled in the proleptic Gregorian calendar, to the whole second.
struct CivilDateTime {
  std::int64_t year = 1970;
  unsigned month = 1;
  unsigned day = 1;
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;

  friend bool operator==(const CivilDateTime&, const CivilDateTime&) = default;
};

/// The calendar moment of a whole number of seconds since 1970-01-01T00:00:00Z, exact for
/// counts up to 1e17 either way (some three billion years).
CivilDateTime civilDateTimeFromUnixSeconds(std::int64_t secondsSince1970);

/// The inverse of civilDateTimeFromUnixSeconds for a moment that isValidCivilDateTime accepts,
/// over the same range.
std::int64_t unixSecondsFromCivilDateTime(const CivilDateTime& time);

/// True when the month, day (in that month of that year), hour, minute and second exist; any
/// year is accepted.
bool isValidCivilDateTime(const CivilDateTime& time);

/// The current time.
Date currentDate();

/// Parses "YYYY-MM-DDTHH:MM:SS" with optional fractional seconds and a required zone: "Z",
/// "+HH:MM" or "+HHMM" (or "-"). Fraction digits beyond nanoseconds are cut. A leap second (":60"
/// ending the UTC day) reads as the last instant of its minute. Anything else, including
/// impossible calendar dates, gives nothing.
std::optional<Date> dateFromISO8601String(std::u16string_view text);

/// The date in UTC as "YYYY-MM-DDTHH:MM:SS.sssZ" (milliseconds, truncated towards the past).
std::u16string iso8601StringFromDate(Date date);

}  // namespace zv::platform
