#include "platform/date.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

TEST(Date, ParsesZonesFractionsAndLeapSecondsAndRefusesMalformedDates) {
  const double leapMinute = 504921540;  // 2016-12-31T23:59:00Z
  const std::pair<std::u16string, std::optional<double>> cases[] = {
      {u"2001-01-01T00:00:00Z", 0},
      {u"2021-03-05T08:00:00.250+01:00", 636620400.25},
      {u"2021-03-05T07:00:00.25Z", 636620400.25},
      {u"2021-03-05T02:30:00-0430", 636620400},
      {u"2000-02-29T12:00:00Z", -26481600},
      {u"1970-01-01T00:00:00Z", -kReferenceDateUnixTime},
      // A leap second reads as the last moment of its minute.
      {u"2016-12-31T23:59:60Z", leapMinute + 59.999999},
      {u"2016-12-31T23:59:60.5Z", leapMinute + 59.999999},
      {u"2017-01-01T05:29:60+05:30", leapMinute + 59.999999},
      {u"1969-12-31T23:59:60Z", -kReferenceDateUnixTime - 0.000001},
      // Fraction digits beyond the nanoseconds are cut, not rounded.
      {u"2021-03-05T07:00:00.2500000000001Z", 636620400.25},
      {u"2021-03-05T07:00:00.1234567899999Z", 636620400.123456789},
      // Malformed or impossible: refused.
      {u"", std::nullopt},
      {u"2021-03-05", std::nullopt},
      {u"2021-03-05T08:00:00", std::nullopt},  // no zone: the moment would depend on where we run
      {u"2021-03-05 08:00:00Z", std::nullopt},
      {u"2021-3-05T08:00:00Z", std::nullopt},
      // The calendar's own rules are the validity table's; these show the parse applies them.
      {u"2021-02-29T08:00:00Z", std::nullopt},
      {u"2021-03-05T24:00:00Z", std::nullopt},
      {u"2021-03-05T08:00:60Z", std::nullopt},
      {u"2021-03-05T08:00:00.Z", std::nullopt},
      {u"2021-03-05T23:59:60+01:00", std::nullopt},  // a leap second ends the UTC day, not this one
      {u"2016-12-31T23:59:61Z", std::nullopt},
      {u"2021-03-05T08:00:00+24:00", std::nullopt},
      {u"2021-03-05T08:00:00Z trailing", std::nullopt},
      {u"２０２１-03-05T08:00:00Z", std::nullopt},
  };
  for (const auto& [text, secondsSinceReferenceDate] : cases) {
    SCOPED_TRACE(toUtf8(text));
    std::optional<Date> date = dateFromISO8601String(text);
    EXPECT_EQ(date.has_value(), secondsSinceReferenceDate.has_value());
    if (date && secondsSinceReferenceDate) {
      EXPECT_DOUBLE_EQ(date->secondsSinceReferenceDate, *secondsSinceReferenceDate);
    }
  }
  // The leap second stays in its minute through every conversion.
  const Date leap = *dateFromISO8601String(u"2016-12-31T23:59:60Z");
  EXPECT_LT(leap, *dateFromISO8601String(u"2017-01-01T00:00:00Z"));
  EXPECT_EQ(iso8601StringFromDate(leap), u"2016-12-31T23:59:59.999Z");
  EXPECT_EQ(timespecFromDate(leap).tv_sec, 1483228799);
}

TEST(Date, FormatsInUTCWithMilliseconds) {
  const std::pair<double, std::u16string> cases[] = {
      {0, u"2001-01-01T00:00:00.000Z"},          {636620400.25, u"2021-03-05T07:00:00.250Z"},
      {-0.5, u"2000-12-31T23:59:59.500Z"},       {99729015.5, u"2004-02-29T06:30:15.500Z"},
      {-978307201, u"1969-12-31T23:59:59.000Z"}, {-63113904000, u"0001-01-01T00:00:00.000Z"},
  };
  for (const auto& [secondsSinceReferenceDate, text] : cases) {
    SCOPED_TRACE(toUtf8(text));
    EXPECT_EQ(iso8601StringFromDate(Date{secondsSinceReferenceDate}), text);
    EXPECT_EQ(dateFromISO8601String(text), Date{secondsSinceReferenceDate});
  }
  // Millisecond texts survive a round trip although most are no exact binary fraction.
  for (const std::u16string text :
       {u"2023-11-14T22:13:20.002Z", u"2023-11-14T22:13:20.999Z", u"1999-01-01T00:00:00.001Z"}) {
    SCOPED_TRACE(toUtf8(text));
    auto date = dateFromISO8601String(text);
    ASSERT_TRUE(date);
    EXPECT_EQ(iso8601StringFromDate(*date), text);
  }
  // Years beyond four digits are written in full.
  EXPECT_EQ(iso8601StringFromDate(dateFromUnixTime(253402300800)), u"10000-01-01T00:00:00.000Z");
  EXPECT_EQ(iso8601StringFromDate(dateFromUnixTime(253402300799.5)), u"9999-12-31T23:59:59.500Z");
}

TEST(Date, CivilDateTimeMatchesUnixSecondsBothWays) {
  const std::pair<std::int64_t, CivilDateTime> cases[] = {
      {0, {1970, 1, 1, 0, 0, 0}},
      {-1, {1969, 12, 31, 23, 59, 59}},
      {951827696, {2000, 2, 29, 12, 34, 56}},
      {4107542400, {2100, 3, 1, 0, 0, 0}},
      {-11670912001, {1600, 2, 29, 23, 59, 59}},
      {-62135596800, {1, 1, 1, 0, 0, 0}},
      {253402300799, {9999, 12, 31, 23, 59, 59}},
      {-62162121600, {0, 2, 29, 0, 0, 0}},
      {-62167305600, {-1, 12, 31, 0, 0, 0}},
      {4107499200, {2100, 2, 28, 12, 0, 0}},
      {253402300800, {10000, 1, 1, 0, 0, 0}},
      {971890963200, {32768, 1, 1, 0, 0, 0}},
      {-1096193865600, {-32768, 12, 31, 0, 0, 0}},
  };
  for (const auto& [secondsSince1970, civil] : cases) {
    SCOPED_TRACE(secondsSince1970);
    EXPECT_EQ(civilDateTimeFromUnixSeconds(secondsSince1970), civil);
    EXPECT_EQ(unixSecondsFromCivilDateTime(civil), secondsSince1970);
  }
  for (const std::int64_t seconds :
       {std::int64_t{100'000'000'000'000'000}, std::int64_t{-100'000'000'000'000'000}}) {
    EXPECT_EQ(unixSecondsFromCivilDateTime(civilDateTimeFromUnixSeconds(seconds)), seconds);
  }
}

TEST(Date, CivilDateTimeValidityFollowsTheGregorianCalendar) {
  struct Case {
    const char* name;
    CivilDateTime civil;
    bool valid;
  };
  const Case cases[] = {
      {"29 February of a leap year", {2000, 2, 29, 0, 0, 0}, true},
      {"29 February of 1900", {1900, 2, 29, 0, 0, 0}, false},
      {"29 February of 2100", {2100, 2, 29, 0, 0, 0}, false},
      {"29 February of 2024", {2024, 2, 29, 0, 0, 0}, true},
      {"29 February of year 0", {0, 2, 29, 0, 0, 0}, true},
      {"29 February before year 0", {-4, 2, 29, 0, 0, 0}, true},
      {"31 April", {2021, 4, 31, 0, 0, 0}, false},
      {"31 December, last second", {2021, 12, 31, 23, 59, 59}, true},
      {"month 0", {2021, 0, 1, 0, 0, 0}, false},
      {"month 13", {2021, 13, 1, 0, 0, 0}, false},
      {"month 258, which a byte would take for 2", {2021, 258, 1, 0, 0, 0}, false},
      {"day 0", {2021, 1, 0, 0, 0, 0}, false},
      {"day 32", {2021, 1, 32, 0, 0, 0}, false},
      {"day 257, which a byte would take for 1", {2021, 1, 257, 0, 0, 0}, false},
      {"hour 24", {2021, 1, 1, 24, 0, 0}, false},
      {"minute 60", {2021, 1, 1, 0, 60, 0}, false},
      {"second 60", {2021, 1, 1, 0, 0, 60}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isValidCivilDateTime(c.civil), c.valid);
  }
}

TEST(Date, TimespecConversionKeepsNanosecondsInRange) {
  const struct timespec times[] = {{0, 0}, {1234567890, 123456789}, {978307199, 999999999}};
  for (const struct timespec& time : times) {
    struct timespec back = timespecFromDate(dateFromTimespec(time));
    // Nanoseconds may carry into the seconds when the double rounds up.
    auto nanoseconds = [](const struct timespec& t) {
      return static_cast<long double>(t.tv_sec) * 1e9L + static_cast<long double>(t.tv_nsec);
    };
    EXPECT_NEAR(static_cast<double>(nanoseconds(back) - nanoseconds(time)), 0, 1000);
    EXPECT_GE(back.tv_nsec, 0);
    EXPECT_LT(back.tv_nsec, 1'000'000'000);
  }
  struct timespec beforeEpoch = timespecFromDate(dateFromUnixTime(-1.25));
  EXPECT_EQ(beforeEpoch.tv_sec, -2);
  EXPECT_EQ(beforeEpoch.tv_nsec, 750'000'000);
}

}  // namespace
}  // namespace zv::platform
