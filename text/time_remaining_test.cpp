#include "text/time_remaining.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::text {
namespace {

TEST(TimeRemaining, NamesTheLargestWholeUnit) {
  const std::pair<double, std::u16string> cases[] = {
      {25 * 3600, u"1 day remaining"},
      {47 * 3600, u"1 day remaining"},
      {2 * 86400, u"2 days remaining"},
      {86400 - 1, u"23 hours remaining"},
      {2 * 3600 - 1, u"1 hour remaining"},
      {150, u"2 minutes remaining"},
      {60, u"1 minute remaining"},
      {59.5, u"60 seconds remaining"},
      {0.2, u"1 second remaining"},
      {0, u"0 seconds remaining"},
      {-5, u"0 seconds remaining"},
      {std::nan(""), u"0 seconds remaining"},
      {std::numeric_limits<double>::infinity(), u"9223372036854775807 days remaining"},
  };
  for (const auto& [seconds, expected] : cases) {
    SCOPED_TRACE(testing::Message() << seconds << " seconds");
    EXPECT_EQ(stringForTimeInterval(seconds), expected);
  }
}

TEST(TimeRemaining, UsesTheTranslatedText) {
  platform::setLocalizationTable({{u"%ld minutes remaining", u"noch %ld Minuten"}});
  EXPECT_EQ(stringForTimeInterval(180), u"noch 3 Minuten");
  platform::setLocalizationTable({});
}

}  // namespace
}  // namespace zv::text
