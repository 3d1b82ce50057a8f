#include "platform/localization.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

TEST(FormatString, FillsPlaceholdersInOrder) {
  struct Case {
    std::u16string format;
    std::initializer_list<FormatArgument> args;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"Exporting item: %@", {std::u16string(u"Notes")}, u"Exporting item: Notes"},
      {u"%ld days remaining", {std::int64_t{3}}, u"3 days remaining"},
      {u"%@; %@; %@; %.0lf", {u"a", u"b", u"c", 12.6}, u"a; b; c; 13"},
      {u"100%% of %ld", {std::int64_t{-7}}, u"100% of -7"},
      {u"%@ %ld", {std::u16string(u"Report"), std::int64_t{12}}, u"Report 12"},
      // Missing or mismatched arguments leave the placeholder visible instead of crashing.
      {u"%@ and %@", {std::u16string(u"one")}, u"one and %@"},
      {u"%ld", {std::u16string(u"text")}, u"%ld"},
      {u"trailing %", {}, u"trailing %"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.format));
    EXPECT_EQ(formatString(c.format, c.args), c.expected);
  }
}

TEST(Localized, ReturnsKeyWithoutTranslationAndTranslationWhenInstalled) {
  EXPECT_EQ(localized(u"Cannot export from Zelvar. "), u"Cannot export from Zelvar. ");
  setLocalizationTable({{u"%ld day remaining", u"noch %ld Tag"}});
  EXPECT_EQ(formatLocalized(u"%ld day remaining", {std::int64_t{1}}), u"noch 1 Tag");
  setLocalizationTable({});
  EXPECT_EQ(formatLocalized(u"%ld day remaining", {std::int64_t{1}}), u"1 day remaining");
}

}  // namespace
}  // namespace zv::platform
