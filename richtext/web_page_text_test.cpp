#include "richtext/web_page_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/property_list.h"
#include "platform/unicode.h"
#include "richtext/dynamic_colors.h"
#include "richtext/fake_font_manager.h"
#include "richtext/formatting.h"
#include "richtext/note_text_style.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::richtext {
namespace {

using testsupport::IsOk;

const Color kRed{Color::Space::kCalibratedRGB, 1, 0, 0, 1};
const Color kYellow{Color::Space::kCalibratedRGB, 1, 1, 0, 1};
const Color kGrey{Color::Space::kCalibratedRGB, 0.5, 0.5, 0.5, 1};

Font fontNamed(std::u16string_view name, double size) {
  return sharedFontManager().fontWithName(name, size).value();
}

const Font* fontAt(const AttributedString& text, std::size_t index) {
  const AttributeValue* value = text.attributeAtIndex(NSFontAttributeName, index);
  return value != nullptr ? std::get_if<Font>(value) : nullptr;
}

const Color* colorAt(const AttributedString& text, std::u16string_view key, std::size_t index) {
  const AttributeValue* value = text.attributeAtIndex(key, index);
  return value != nullptr ? std::get_if<Color>(value) : nullptr;
}

class WebPageTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSharedFontManager(std::make_shared<FakeFontManager>());
    defaults_ = std::make_unique<platform::UserDefaults>(folder_.path("defaults.plist"));
    QNTNoteTextStyle::setUserDefaults(defaults_.get());
  }
  void TearDown() override {
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<platform::UserDefaults> defaults_;
};

// An independent statement of the newline rule: replacements one after another.
std::u16string newlinesByReplacement(std::u16string text) {
  auto replaceAll = [&](std::u16string_view from, std::u16string_view to) {
    for (std::size_t at = text.find(from); at != std::u16string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  };
  replaceAll(u"\r\n", u"\n");
  replaceAll(u"\r", u"\n");
  replaceAll(u"\u2028", u"\n");
  replaceAll(u"\u2029", u"\n");
  while (text.find(u"\n\n\n") != std::u16string::npos) {
    replaceAll(u"\n\n\n", u"\n\n");
  }
  return text;
}

TEST_F(WebPageTextTest, NewlinesAreUnified) {
  const struct {
    std::u16string in;
    std::u16string out;
  } cases[] = {
      {u"a\r\nb", u"a\nb"},
      {u"a\rb", u"a\nb"},
      {u"a\u2028b", u"a\nb"},
      {u"a\u2029b", u"a\nb"},
      {u"a\n\n\nb", u"a\n\nb"},
      {u"a\r\n\r\n\r\nb", u"a\n\nb"},
      {u"\n\n\n\n\n", u"\n\n"},
      {u"a\n\nb", u"a\n\nb"},
      {u"a\r\r\nb", u"a\n\nb"},
      {u"\u2029\n\r", u"\n\n"},
      {u"", u""},
      {u"no breaks", u"no breaks"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(platform::toUtf8(in));
    MutableAttributedString text(in, {{NSForegroundColorAttributeName, kRed}});
    const Range range = web_page_text::cleanupHTMLNewlinesInRange(text, {0, in.size()});
    EXPECT_EQ(text.string(), out);
    EXPECT_EQ(range, (Range{0, out.size()}));
    EXPECT_EQ(newlinesByReplacement(in), out);
  }
}

TEST_F(WebPageTextTest, NewlinesKeepEachKeptCharactersAttributes) {
  MutableAttributedString text(u"a", {{NSForegroundColorAttributeName, kRed}});
  text.appendString(u"\r", {{NSForegroundColorAttributeName, kGrey}});
  text.appendString(u"\nb", {{NSForegroundColorAttributeName, kYellow}});
  web_page_text::cleanupHTMLNewlinesInRange(text, {0, text.length()});
  ASSERT_EQ(text.string(), u"a\nb");
  EXPECT_EQ(*colorAt(text, NSForegroundColorAttributeName, 1), kGrey);
  EXPECT_EQ(*colorAt(text, NSForegroundColorAttributeName, 2), kYellow);
}

// Only the range changes, and a CR ending it before an LF outside stays one break with that LF.
TEST_F(WebPageTextTest, NewlinesRangeCoversTheSameStretchOnRandomTexts) {
  std::mt19937 random(16);
  const char16_t alphabet[] = {u'a', u'\n', u'\r', u'\u2028', u'\u2029'};
  const Color colors[] = {kRed, kGrey, kYellow};
  for (int round = 0; round < 400; ++round) {
    MutableAttributedString text;
    for (std::size_t runs = random() % 6; runs > 0; --runs) {
      std::u16string piece;
      for (std::size_t i = random() % 6; i > 0; --i) {
        piece.push_back(alphabet[random() % std::size(alphabet)]);
      }
      text.appendString(piece, {{NSForegroundColorAttributeName, colors[random() % 3]}});
    }
    const AttributedString before = text;
    const std::size_t location = random() % (text.length() + 1);
    const std::size_t length = random() % (text.length() - location + 1);
    const Range range = web_page_text::cleanupHTMLNewlinesInRange(text, {location, length});
    ASSERT_EQ(range.location, location);
    const std::size_t tail = before.length() - location - length;
    ASSERT_EQ(text.length(), location + range.length + tail);
    EXPECT_EQ(text.attributedSubstringFromRange({0, location}),
              before.attributedSubstringFromRange({0, location}));
    EXPECT_EQ(text.attributedSubstringFromRange({range.end(), tail}),
              before.attributedSubstringFromRange({location + length, tail}));
    std::u16string inside = before.string().substr(location, length);
    // A CR ending the range before an outside LF leaves that LF to be the break.
    if (!inside.empty() && inside.back() == u'\r' && location + length < before.length() &&
        before.string()[location + length] == u'\n') {
      inside.pop_back();
    }
    EXPECT_EQ(text.string().substr(location, range.length), newlinesByReplacement(inside));
  }
}

TEST_F(WebPageTextTest, WebFontSizesShrinkToThreeQuartersRoundedUp) {
  const struct {
    double in;
    double out;
  } cases[] = {{16, 12}, {13, 10}, {11, 9}, {9, 7}, {12.5, 10}};
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    MutableAttributedString text(u"ab", {{NSFontAttributeName, fontNamed(u"Helvetica", in)}});
    text.appendString(u"c", {{NSUnderlineStyleAttributeName, std::int64_t{1}}});
    web_page_text::adjustWebPageFontSizesInRange(text, {0, 2});
    EXPECT_EQ(fontAt(text, 0)->pointSize, out);
    EXPECT_EQ(fontAt(text, 2), nullptr);
  }
}

TEST_F(WebPageTextTest, ChangeFontKeepsTraitsAndChoosesTheSize) {
  const Font target = fontNamed(u"HelveticaNeue", 13);
  const struct {
    bool preserving;
    std::optional<Font> own;
    std::u16string name;
    double size;
  } cases[] = {
      {true, fontNamed(u"Helvetica-Bold", 16), u"HelveticaNeue-Bold", 16},
      {false, fontNamed(u"Helvetica-Bold", 16), u"HelveticaNeue-Bold", 13},
      {true, fontNamed(u"Menlo-Italic", 9), u"HelveticaNeue-Italic", 9},
      {true, std::nullopt, u"HelveticaNeue", 13},
      {false, std::nullopt, u"HelveticaNeue", 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << platform::toUtf8(c.name) << " preserving " << c.preserving);
    Attributes attributes = {{NSForegroundColorAttributeName, kRed}};
    if (c.own) {
      attributes[NSFontAttributeName] = *c.own;
    }
    MutableAttributedString text(u"text", attributes);
    formatting::changeFont(text, target, c.preserving, {1, 2});
    EXPECT_EQ(*fontAt(text, 1), Font(c.name, c.size));
    EXPECT_EQ(*colorAt(text, NSForegroundColorAttributeName, 1), kRed);
    EXPECT_EQ(text.attributesAtIndex(0), attributes);
  }
  // A family that is not installed: the given face at the size.
  MutableAttributedString text(u"x", {{NSFontAttributeName, fontNamed(u"Helvetica-Bold", 16)}});
  formatting::changeFont(text, Font(u"Missing-Face", 20), true, {0, 1});
  EXPECT_EQ(*fontAt(text, 0), Font(u"Missing-Face", 16));
}

TEST_F(WebPageTextTest, ScalingRoundsHalvesAwayFromZeroAndRefusesSenselessFactors) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double factor;
    double size;
    double scaled;
  } cases[] = {{1.5, 12, 18}, {1.25, 10, 13}, {1.25, 13, 16}, {0.5, 9, 5},
               {0, 12, 12},   {-2, 12, 12},   {nan, 12, 12}};
  for (const auto& [factor, size, scaled] : cases) {
    SCOPED_TRACE(testing::Message() << "factor " << factor << " size " << size);
    ParagraphStyle paragraph;
    paragraph.headIndent = 10;
    MutableAttributedString text(u"a", {{NSFontAttributeName, fontNamed(u"Helvetica", size)},
                                        {NSParagraphStyleAttributeName, paragraph}});
    text.appendString(u"b", {});
    formatting::scaleWithFactor(text, factor);
    EXPECT_EQ(fontAt(text, 0)->pointSize, scaled);
    const auto& style =
        std::get<ParagraphStyle>(*text.attributeAtIndex(NSParagraphStyleAttributeName, 0));
    EXPECT_EQ(style, paragraph.scaledParagraphStyle(factor));
    EXPECT_TRUE(text.attributesAtIndex(1).empty());
  }
}

TEST_F(WebPageTextTest, CleanupFollowsTheDefaults) {
  const struct {
    bool keys;
    std::u16string out;
    double size;
  } cases[] = {{false, u"Hi\r\n\n\n\t there", 16}, {true, u"Hi\n\n\t there", 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys ? "every cleanup on" : "every cleanup off");
    for (const char16_t* key :
         {web_page_text::QNTCleanUpWebPageNewLinesKey, web_page_text::QNTCleanUpWebPageFontSizesKey,
          web_page_text::QNTCleanUpWebPageColorsKey}) {
      ASSERT_THAT(defaults_->setObject(platform::PropertyList(c.keys), key), IsOk());
    }
    MutableAttributedString text(u" \t\u00a0Hi",
                                 {{NSFontAttributeName, fontNamed(u"Helvetica-Bold", 16)},
                                  {NSForegroundColorAttributeName, kRed}});
    text.appendString(u"\r\n\n\n\t there \t",
                      {{NSBackgroundColorAttributeName, kGrey}, {QNTHighlightAttributeName, true}});
    web_page_text::cleanupWebPageText(text, defaults_.get());
    EXPECT_EQ(text.string(), c.out);
    EXPECT_EQ(*fontAt(text, 0), Font(u"HelveticaNeue-Bold", c.size));
    EXPECT_EQ(*colorAt(text, NSForegroundColorAttributeName, 0),
              c.keys ? Color::labelColor() : kRed);
    EXPECT_EQ(colorAt(text, NSBackgroundColorAttributeName, 3) != nullptr, !c.keys);
    // The run without a font gets the body family at the body size, plus the shrinking.
    EXPECT_EQ(*fontAt(text, text.length() - 1), Font(u"HelveticaNeue", c.keys ? 10 : 13));
  }
}

TEST_F(WebPageTextTest, TabMarkedLinesBecomeTextLists) {
  const ParagraphStyle laidOut = ParagraphStyle::listParagraphStyle();
  const std::vector<std::pair<std::u16string, std::optional<TextList>>> lines = {
      {u"\t\u2022\tApples", TextList{TextList::kMarkerDisc, 1}},
      {u"\t-\tPears", TextList{TextList::kMarkerHyphen, 1}},
      {u"\t12.\tPlums", TextList{u"{decimal}.", 12}},
      {u"\t999.\tFigs", TextList{u"{decimal}.", 999}},
      {u"\t1000.\tX", std::nullopt},
      {u"\t0.\tX", std::nullopt},
      {u"\t07.\tX", std::nullopt},
      {u"\t3.\t", std::nullopt},
      {u"3.\tX", std::nullopt},
      {u"plain", std::nullopt},
  };
  MutableAttributedString text;
  for (const auto& [line, list] : lines) {
    text.appendString(line + u"\n", {{NSParagraphStyleAttributeName, laidOut}});
  }
  ParagraphStyle alreadyListed = laidOut;
  alreadyListed.textLists = {TextList{TextList::kMarkerHyphen, 1}};
  text.appendString(u"\t\u2022\tListed", {{NSParagraphStyleAttributeName, alreadyListed}});
  web_page_text::checkForTextListsAndConvertIfNecessary(text);
  std::size_t at = 0;
  for (const auto& [line, list] : lines) {
    SCOPED_TRACE(platform::toUtf8(line));
    Range effective;
    const auto& style = std::get<ParagraphStyle>(
        *text.attributeAtIndex(NSParagraphStyleAttributeName, at, &effective));
    EXPECT_EQ(style.textLists, list ? std::vector<TextList>{*list} : std::vector<TextList>{});
    if (list) {
      EXPECT_EQ(effective, (Range{at, line.size()})) << "the line end keeps its style";
    }
    at += line.size() + 1;
  }
  EXPECT_EQ(std::get<ParagraphStyle>(*text.attributeAtIndex(NSParagraphStyleAttributeName, at)),
            alreadyListed);
}

TEST_F(WebPageTextTest, DynamicColorConversions) {
  const struct {
    const char* name;
    std::optional<Color> in;
    std::optional<Color> to;
    std::optional<Color> from;
    std::optional<Color> roundTrip;
  } cases[] = {
      {"black", Color::blackColor(), Color::textColor(), Color::blackColor(), Color::blackColor()},
      {"no colour", std::nullopt, Color::textColor(), std::nullopt, Color::blackColor()},
      {"red", kRed, kRed, kRed, kRed},
      {"text colour", Color::textColor(), Color::textColor(), Color::blackColor(),
       Color::blackColor()},
      {"label colour", Color::labelColor(), Color::labelColor(), Color::labelColor(),
       Color::labelColor()},
  };
  auto colorOf = [](const AttributedString& text) -> std::optional<Color> {
    const Color* color = colorAt(text, NSForegroundColorAttributeName, 1);
    return color != nullptr ? std::optional<Color>(*color) : std::nullopt;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MutableAttributedString text(u"a", {{NSForegroundColorAttributeName, kGrey}});
    text.appendString(u"bc",
                      c.in ? Attributes{{NSForegroundColorAttributeName, *c.in}} : Attributes{});
    const AttributedString original = text;
    EXPECT_EQ(colorOf(dynamic_colors::attributedStringConvertedToDynamicColors(text)), c.to);
    EXPECT_EQ(colorOf(dynamic_colors::attributedStringConvertedFromDynamicColors(text)), c.from);
    EXPECT_EQ(text, original);
    dynamic_colors::convertToDynamicColors(text);
    dynamic_colors::convertFromDynamicColors(text);
    EXPECT_EQ(colorOf(text), c.roundTrip);
    EXPECT_EQ(*colorAt(text, NSForegroundColorAttributeName, 0), kGrey);
  }
}

TEST_F(WebPageTextTest, TheTwoColorCleanupsDifferOnHighlightedBackgrounds) {
  MutableAttributedString text(
      u"marked", {{NSBackgroundColorAttributeName, kYellow}, {QNTHighlightAttributeName, true}});
  text.appendString(u"plain", {{NSBackgroundColorAttributeName, kGrey}});
  text.appendString(u"false",
                    {{NSBackgroundColorAttributeName, kGrey}, {QNTHighlightAttributeName, false}});
  MutableAttributedString formatted = text;
  dynamic_colors::cleanupTextColorsInRange(text, {0, text.length()});
  formatting::cleanupTextColorsInRange(formatted, {0, formatted.length()});
  for (const AttributedString* cleaned :
       {static_cast<AttributedString*>(&text), static_cast<AttributedString*>(&formatted)}) {
    for (std::size_t at : {0, 6, 11}) {
      EXPECT_EQ(*colorAt(*cleaned, NSForegroundColorAttributeName, at), Color::labelColor());
    }
  }
  EXPECT_EQ(*colorAt(text, NSBackgroundColorAttributeName, 0), kYellow);
  EXPECT_EQ(colorAt(text, NSBackgroundColorAttributeName, 6), nullptr);
  EXPECT_EQ(colorAt(text, NSBackgroundColorAttributeName, 11), nullptr);
  EXPECT_EQ(colorAt(formatted, NSBackgroundColorAttributeName, 0), nullptr);
}

}  // namespace
}  // namespace zv::richtext
