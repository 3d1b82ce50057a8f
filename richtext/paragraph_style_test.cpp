#include "richtext/paragraph_style.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace zv::richtext {
namespace {

using Change = std::function<void(ParagraphStyle&)>;

ParagraphStyle changed(const Change& change) {
  ParagraphStyle style = ParagraphStyle::defaultParagraphStyle();
  change(style);
  return style;
}

TEST(ParagraphStyleTest, DefaultStyleHasTwelveTabStopsEvery28Points) {
  const ParagraphStyle& style = ParagraphStyle::defaultParagraphStyle();
  EXPECT_EQ(style.alignment, TextAlignment::kNatural);
  ASSERT_EQ(style.tabStops.size(), 12U);
  EXPECT_EQ(style.tabStops.front(), (TextTab{TextAlignment::kLeft, 28}));
  EXPECT_EQ(style.tabStops.back(), (TextTab{TextAlignment::kLeft, 336}));
  EXPECT_EQ(style.defaultTabInterval, 0);
  EXPECT_FALSE(style.isListParagraphStyle());
}

// Each change against the default style, and what each comparison answers about the pair.
TEST(ParagraphStyleTest, ComparisonsSeeTheFieldsTheyPromise) {
  struct Case {
    const char* name;
    Change change;
    bool equal;
    bool lineSpacingMatches;
  };
  const std::vector<TextList> disc = {{TextList::kMarkerDisc, 1}};
  const std::vector<TextList> decimal = {{TextList::kMarkerDecimal, 2}};
  const Case cases[] = {
      {"nothing", [](ParagraphStyle&) {}, true, true},
      {"rounding through a float", [](ParagraphStyle& s) { s.tabStops[3].location += 1e-5; }, true,
       true},
      {"line spacing", [](ParagraphStyle& s) { s.lineSpacing = 1; }, false, false},
      {"paragraph spacing", [](ParagraphStyle& s) { s.paragraphSpacing = 2; }, false, false},
      {"spacing before", [](ParagraphStyle& s) { s.paragraphSpacingBefore = 2; }, false, false},
      {"line height multiple", [](ParagraphStyle& s) { s.lineHeightMultiple = 1.2; }, false, false},
      {"maximum line height", [](ParagraphStyle& s) { s.maximumLineHeight = 20; }, false, false},
      {"alignment", [](ParagraphStyle& s) { s.alignment = TextAlignment::kCenter; }, false, true},
      {"head indent", [](ParagraphStyle& s) { s.headIndent = 36; }, false, true},
      {"tail indent", [](ParagraphStyle& s) { s.tailIndent = -10; }, false, true},
      {"one tab stop fewer", [](ParagraphStyle& s) { s.tabStops.pop_back(); }, false, true},
      {"tab alignment", [](ParagraphStyle& s) { s.tabStops[0].alignment = TextAlignment::kRight; },
       false, true},
      {"default tab interval", [](ParagraphStyle& s) { s.defaultTabInterval = 28; }, false, true},
      {"text list", [&](ParagraphStyle& s) { s.textLists = disc; }, false, true},
      {"list start", [&](ParagraphStyle& s) { s.textLists = decimal; }, false, true},
      {"header level", [](ParagraphStyle& s) { s.headerLevel = 1; }, false, true},
  };
  const ParagraphStyle& base = ParagraphStyle::defaultParagraphStyle();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ParagraphStyle other = changed(c.change);
    EXPECT_EQ(base.isEqualToParagraphStyle(other), c.equal);
    EXPECT_EQ(other.isEqualToParagraphStyle(base), c.equal);
    EXPECT_EQ(base.lineSpacingMatchesStyle(other), c.lineSpacingMatches);
    ParagraphStyle applied = base;
    applied.applyLineSpacingFromStyle(other);
    EXPECT_TRUE(applied.lineSpacingMatchesStyle(other));
    // Taking over line spacing leaves everything else as it was.
    EXPECT_EQ(applied.isEqualToParagraphStyle(base), c.lineSpacingMatches || c.equal);
  }
}

TEST(ParagraphStyleTest, ListLayoutIsRecognisedWithAndWithoutATextList) {
  struct Case {
    const char* name;
    ParagraphStyle style;
    bool isList;
  };
  ParagraphStyle withList = ParagraphStyle::defaultParagraphStyle();
  withList.textLists = {{TextList::kMarkerDisc, 1}};
  ParagraphStyle hangingWithoutStop = ParagraphStyle::defaultParagraphStyle();
  hangingWithoutStop.headIndent = 30;
  ParagraphStyle hangingAtStop = hangingWithoutStop;
  hangingAtStop.headIndent = 56;
  ParagraphStyle indentedBlock = hangingAtStop;
  indentedBlock.firstLineHeadIndent = 56;
  const Case cases[] = {
      {"default", ParagraphStyle::defaultParagraphStyle(), false},
      {"list style without a list", ParagraphStyle::listParagraphStyle(), true},
      {"any style with a text list", withList, true},
      {"hanging indent at a tab stop", hangingAtStop, true},
      {"hanging indent with no stop there", hangingWithoutStop, false},
      {"whole paragraph indented", indentedBlock, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.style.isListParagraphStyle(), c.isList);
  }
}

TEST(ParagraphStyleTest, ScalingMultipliesLengthsButNotRatios) {
  ParagraphStyle style = ParagraphStyle::listParagraphStyle();
  style.lineSpacing = 2;
  style.paragraphSpacing = 4;
  style.lineHeightMultiple = 1.2;
  style.tailIndent = -10;
  style.textLists = {{TextList::kMarkerDisc, 1}};
  const ParagraphStyle scaled = style.scaledParagraphStyle(1.5);
  EXPECT_EQ(scaled.lineSpacing, 3);
  EXPECT_EQ(scaled.paragraphSpacing, 6);
  EXPECT_EQ(scaled.lineHeightMultiple, 1.2);
  EXPECT_EQ(scaled.headIndent, 54);
  EXPECT_EQ(scaled.tailIndent, -15);
  EXPECT_EQ(scaled.defaultTabInterval, 54);
  EXPECT_EQ(scaled.tabStops[0].location, 16.5);
  EXPECT_EQ(scaled.tabStops[1].location, 54);
  EXPECT_EQ(scaled.textLists, style.textLists);
  // Scaling keeps a list laid out as a list.
  ParagraphStyle pasted = scaled;
  pasted.textLists.clear();
  EXPECT_TRUE(pasted.isListParagraphStyle());

  for (double nonsense : {0.0, -2.0, std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(style.scaledParagraphStyle(nonsense), style);
  }
}

TEST(TextListTest, MarkersFollowTheFormat) {
  struct Case {
    std::u16string format;
    std::int64_t item;
    std::u16string marker;
  };
  const Case cases[] = {
      {u"{disc}", 1, u"\u2022"},
      {u"{hyphen}", 7, u"-"},
      {u"{decimal}.", 3, u"3."},
      {u"{decimal}", 0, u"0"},
      {u"{decimal}", -4, u"-4"},
      {u"({lower-alpha})", 28, u"(ab)"},
      {u"{upper-alpha}", 26, u"Z"},
      {u"{lower-alpha}", 0, u"0"},
      {u"{upper-roman}", 1994, u"MCMXCIV"},
      {u"{lower-roman}.", 4, u"iv."},
      {u"{upper-roman}", 4000, u"4000"},
      {u"{octal}", 8, u"10"},
      {u"{upper-hexadecimal}", 255, u"FF"},
      {u"{lower-hexadecimal}", -255, u"-ff"},
      {u"{unknown}", 1, u"{unknown}"},
      {u"{decimal", 2, u"{decimal"},
      {u"", 1, u""},
      {u"{decimal}-{decimal}", 5, u"5-5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format.begin(), c.format.end()));
    EXPECT_EQ((TextList{c.format, 1}.markerForItemNumber(c.item)), c.marker);
  }
}

}  // namespace
}  // namespace zv::richtext
