#include "richtext/note_text_style_application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/url.h"
#include "richtext/fake_font_manager.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::richtext {
namespace {

const Color kRed{Color::Space::kCalibratedRGB, 1, 0, 0, 1};
const Color kGrey{Color::Space::kCalibratedRGB, 0.5, 0.5, 0.5, 1};

// The standard fake faces plus a second fixed-pitch family, so that code set in another
// monospaced font than the style's can be told apart.
std::shared_ptr<FakeFontManager> fonts() {
  std::vector<FontFace> faces = FakeFontManager::standardFaces();
  faces.push_back({u"Courier", u"Courier", kFixedPitchFontMask, kFontWeightRegular});
  faces.push_back(
      {u"Courier-Bold", u"Courier", kFixedPitchFontMask | kBoldFontMask, kFontWeightBold});
  return std::make_shared<FakeFontManager>(std::move(faces), u"Helvetica", u"Menlo-Regular");
}

Font fontNamed(std::u16string_view name, double size) {
  return sharedFontManager().fontWithName(name, size).value();
}

template <typename T>
const T* valueAt(const AttributedString& text, std::u16string_view key, std::size_t index) {
  const AttributeValue* value = text.attributeAtIndex(key, index);
  return value != nullptr ? std::get_if<T>(value) : nullptr;
}

std::u16string tagAt(const AttributedString& text, std::size_t index) {
  const auto* tag = valueAt<std::u16string>(text, QNTNoteTextStyleIdentifierAttributeName, index);
  return tag != nullptr ? *tag : u"";
}

class NoteTextStyleApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSharedFontManager(fonts());
    defaults_ = std::make_unique<platform::UserDefaults>(folder_.path("defaults.plist"));
    QNTNoteTextStyle::setUserDefaults(defaults_.get());
    logDescriptor_ = ::open(folder_.path("log.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(logDescriptor_, 0);
    previousLog_ = platform::setLogFileDescriptor(logDescriptor_);
  }
  void TearDown() override {
    platform::setLogFileDescriptor(previousLog_);
    ::close(logDescriptor_);
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<platform::UserDefaults> defaults_;
  int logDescriptor_ = -1;
  int previousLog_ = -1;
};

const std::u16string kBody = u"QNTNoteStyleIdentifierBody";
const std::u16string kTitle = u"QNTNoteStyleIdentifierTitle";
const std::u16string kHeading = u"QNTNoteStyleIdentifierHeading";
const std::u16string kMonospace = u"QNTNoteStyleIdentifierMonospace";

TEST_F(NoteTextStyleApplicationTest, IdentifiesEachRunByThePrecedenceOfTheRules) {
  ParagraphStyle headerTwo = ParagraphStyle::defaultParagraphStyle();
  headerTwo.headerLevel = 2;
  ParagraphStyle headerFour = headerTwo;
  headerFour.headerLevel = 4;
  const PresentationIntent quote = PresentationIntent::blockQuote(7, nullptr);
  const struct {
    const char* what;
    Attributes attributes;
    bool toBody;
    std::u16string tag;
    std::optional<Font> font;
    std::optional<PresentationIntent::Kind> intent;
  } cases[] = {
      {"title font",
       {{NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 20)}},
       false,
       kTitle,
       fontNamed(u"HelveticaNeue-Bold", 20),
       PresentationIntent::Kind::kHeader},
      {"other monospace",
       {{NSFontAttributeName, fontNamed(u"Courier-Bold", 10)},
        {NSForegroundColorAttributeName, kRed},
        {NSUnderlineStyleAttributeName, std::int64_t{1}}},
       false,
       kMonospace,
       fontNamed(u"Menlo-Bold", 13),
       PresentationIntent::Kind::kCodeBlock},
      {"attachment with title font",
       {{NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 20)},
        {NSAttachmentAttributeName, std::u16string(u"image.png")}},
       true,
       kBody,
       fontNamed(u"HelveticaNeue-Bold", 13),
       PresentationIntent::Kind::kParagraph},
      {"quote, body",
       {{NSPresentationIntentAttributeName, quote}},
       true,
       kBody,
       fontNamed(u"HelveticaNeue", 13),
       PresentationIntent::Kind::kBlockQuote},
      {"quote, no body",
       {{NSPresentationIntentAttributeName, quote}},
       false,
       u"",
       std::nullopt,
       PresentationIntent::Kind::kBlockQuote},
      {"header 2 from layout",
       {{NSParagraphStyleAttributeName, headerTwo}},
       false,
       kHeading,
       fontNamed(u"HelveticaNeue-Bold", 16),
       PresentationIntent::Kind::kHeader},
      {"intent overrides layout",
       {{NSParagraphStyleAttributeName, headerTwo},
        {NSPresentationIntentAttributeName, PresentationIntent::paragraph(5, nullptr)}},
       false,
       u"",
       std::nullopt,
       PresentationIntent::Kind::kParagraph},
      {"header 4",
       {{NSParagraphStyleAttributeName, headerFour}},
       true,
       kBody,
       fontNamed(u"HelveticaNeue", 13),
       PresentationIntent::Kind::kParagraph},
  };
  for (const auto& c : cases) {
    MutableAttributedString text(u"words", c.attributes);
    identifyAndApplyMatchingStylesDefaultingToBody(text, c.toBody);
    EXPECT_EQ(text.string(), u"words");
    EXPECT_EQ(tagAt(text, 0), c.tag) << c.what;
    const Font* font = valueAt<Font>(text, NSFontAttributeName, 0);
    EXPECT_EQ(font != nullptr ? std::optional<Font>(*font) : std::nullopt, c.font) << c.what;
    const auto* intent = valueAt<PresentationIntent>(text, NSPresentationIntentAttributeName, 0);
    ASSERT_NE(intent, nullptr) << c.what;
    EXPECT_EQ(intent->kind(), c.intent) << c.what;
    if (*c.intent == PresentationIntent::Kind::kBlockQuote) {
      EXPECT_EQ(*intent, PresentationIntent::blockQuote(0, nullptr)) << "a fresh quote";
    }
  }
}

TEST_F(NoteTextStyleApplicationTest, TitleMatchKeepsNothingElseAndCodeKeepsItsUnderline) {
  MutableAttributedString text(u"Title",
                               {{NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 20)}});
  text.appendString(u"code", {{NSFontAttributeName, fontNamed(u"Courier-Bold", 10)},
                              {NSForegroundColorAttributeName, kRed},
                              {NSUnderlineStyleAttributeName, std::int64_t{1}}});
  identifyAndApplyMatchingStylesDefaultingToBody(text, true);
  EXPECT_EQ(text.attributesAtIndex(0), QNTNoteTextStyle::titleNoteTextStyle()->attributes());
  EXPECT_EQ(std::get<ParagraphStyle>(*text.attributeAtIndex(NSParagraphStyleAttributeName, 0))
                .headerLevel,
            1);
  EXPECT_EQ(*valueAt<Color>(text, NSForegroundColorAttributeName, 5), Color::secondaryLabelColor());
  EXPECT_EQ(*valueAt<std::int64_t>(text, NSUnderlineStyleAttributeName, 5), 1);
}

TEST_F(NoteTextStyleApplicationTest, OnlyTheStartingItemsMarkerCountsAsListMarker) {
  ParagraphStyle listed = ParagraphStyle::defaultParagraphStyle();
  listed.textLists = {TextList{u"{decimal}.", 1}};
  const Font code = fontNamed(u"Courier", 12);
  const Font prose = fontNamed(u"Helvetica", 12);
  MutableAttributedString text;
  text.appendString(u"\t1.\t",
                    {{NSFontAttributeName, code}, {NSParagraphStyleAttributeName, listed}});
  text.appendString(u"One\n",
                    {{NSFontAttributeName, prose}, {NSParagraphStyleAttributeName, listed}});
  text.appendString(u"\t2.\t",
                    {{NSFontAttributeName, code}, {NSParagraphStyleAttributeName, listed}});
  text.appendString(u"Two",
                    {{NSFontAttributeName, prose}, {NSParagraphStyleAttributeName, listed}});
  identifyAndApplyMatchingStylesDefaultingToBody(text, true);
  EXPECT_EQ(tagAt(text, 0), kBody);
  EXPECT_EQ(tagAt(text, 8), kMonospace);
  // Every list paragraph ends in the standard list layout with its own lists.
  ParagraphStyle expected = ParagraphStyle::listParagraphStyle();
  expected.textLists = listed.textLists;
  for (std::size_t at : {0, 5, 8, 12}) {
    EXPECT_EQ(*valueAt<ParagraphStyle>(text, NSParagraphStyleAttributeName, at), expected) << at;
  }
}

TEST_F(NoteTextStyleApplicationTest, BackgroundSurvivesOnlyWhereAHighlightMarkBeginsTheRun) {
  MutableAttributedString text(
      u"mark", {{NSBackgroundColorAttributeName, kGrey}, {QNTHighlightAttributeName, true}});
  text.appendString(u"rest", {{NSBackgroundColorAttributeName, kGrey}});
  text.appendString(u"bare", {{NSBackgroundColorAttributeName, kRed}});
  applyFontColorsAndSpacingFromStyle(text, *QNTNoteTextStyle::bodyNoteTextStyle());
  EXPECT_NE(valueAt<Color>(text, NSBackgroundColorAttributeName, 0), nullptr);
  // "markrest" is one background run that begins with the mark: it keeps its colour whole.
  EXPECT_NE(valueAt<Color>(text, NSBackgroundColorAttributeName, 5), nullptr);
  EXPECT_EQ(valueAt<Color>(text, NSBackgroundColorAttributeName, 9), nullptr);
  EXPECT_EQ(tagAt(text, 9), kBody);
}

TEST_F(NoteTextStyleApplicationTest, RefreshesFollowChangedStylesAndKeepBlocks) {
  MutableAttributedString text(u"Head",
                               {{NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 16)}});
  identifyAndApplyMatchingStylesDefaultingToBody(text, false);
  ASSERT_EQ(tagAt(text, 0), kHeading);
  text.addAttribute(NSLinkAttributeName, std::u16string(u"https://example.org"), {0, 2});
  const Font changed = fontNamed(u"HelveticaNeue-Italic", 18);
  QNTNoteTextStyle::headingNoteTextStyle()->setFont(changed);
  const PresentationIntent code = PresentationIntent::codeBlock(u"c", 3, nullptr);
  text.appendString(u"x = 1", {{QNTNoteTextStyleIdentifierAttributeName, kBody},
                               {NSPresentationIntentAttributeName, code},
                               {NSFontAttributeName, fontNamed(u"Menlo-Bold", 11)}});
  text.appendString(u"gone",
                    {{QNTNoteTextStyleIdentifierAttributeName, std::u16string(u"deleted-style")},
                     {NSForegroundColorAttributeName, kRed}});
  text.appendString(u"free", {{NSForegroundColorAttributeName, kRed}});

  MutableAttributedString wholly = text;
  updateNoteStyles(wholly);
  EXPECT_EQ(*valueAt<Font>(wholly, NSFontAttributeName, 0), changed);
  EXPECT_NE(wholly.attributeAtIndex(NSLinkAttributeName, 0), nullptr);
  EXPECT_EQ(wholly.attributesAtIndex(4), QNTNoteTextStyle::bodyNoteTextStyle()->attributes());
  EXPECT_EQ(wholly.attributedSubstringFromRange({9, 8}), text.attributedSubstringFromRange({9, 8}));

  updateFixedAttributesOfNoteStyles(text);
  // Family and size from the style, bold from the run.
  EXPECT_EQ(*valueAt<Font>(text, NSFontAttributeName, 0), fontNamed(u"HelveticaNeue-Bold", 18));
  EXPECT_EQ(*valueAt<Font>(text, NSFontAttributeName, 4), fontNamed(u"HelveticaNeue-Bold", 13));
  EXPECT_EQ(*valueAt<Color>(text, NSForegroundColorAttributeName, 4),
            QNTNoteTextStyle::bodyNoteTextStyle()->foregroundColor());
  EXPECT_EQ(*valueAt<PresentationIntent>(text, NSPresentationIntentAttributeName, 4), code);
  EXPECT_EQ(*valueAt<Color>(text, NSForegroundColorAttributeName, 9), kRed);
  EXPECT_EQ(*valueAt<Color>(text, NSForegroundColorAttributeName, 13),
            QNTNoteTextStyle::bodyNoteTextStyle()->foregroundColor());
}

TEST_F(NoteTextStyleApplicationTest, AStyleWithoutIdentifierIsRefused) {
  QNTNoteTextStyle anonymous;
  anonymous.setType(5);
  ASSERT_FALSE(anonymous.identifier());
  MutableAttributedString text(u"keep", {{NSForegroundColorAttributeName, kRed}});
  const AttributedString before = text;
  applyStyle(text, anonymous, {0, 4});
  applyFontColorsAndSpacingFromStyle(text, anonymous);
  EXPECT_EQ(text, before);
  EXPECT_NE(
      testsupport::readFileText(folder_.path("log.txt")).value_or("").find("without an identifier"),
      std::string::npos);
}

// No operation changes the characters or the length, whatever the runs carry.
TEST_F(NoteTextStyleApplicationTest, OperationsKeepTheCharactersOnRandomTexts) {
  ParagraphStyle listed = ParagraphStyle::defaultParagraphStyle();
  listed.textLists = {TextList{u"{decimal}.", 1}};
  ParagraphStyle header = ParagraphStyle::defaultParagraphStyle();
  header.headerLevel = 3;
  const std::vector<std::pair<std::u16string, AttributeValue>> palette = {
      {NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 20)},
      {NSFontAttributeName, fontNamed(u"Courier", 12)},
      {NSFontAttributeName, fontNamed(u"Helvetica", 16)},
      {NSForegroundColorAttributeName, kRed},
      {NSBackgroundColorAttributeName, kGrey},
      {QNTHighlightAttributeName, true},
      {NSParagraphStyleAttributeName, listed},
      {NSParagraphStyleAttributeName, header},
      {NSPresentationIntentAttributeName, PresentationIntent::blockQuote(2, nullptr)},
      {NSPresentationIntentAttributeName, PresentationIntent::codeBlock(u"", 1, nullptr)},
      {QNTNoteTextStyleIdentifierAttributeName, kHeading},
      {QNTNoteTextStyleIdentifierAttributeName, std::u16string(u"nobody")},
      {NSAttachmentAttributeName, std::u16string(u"file")},
      {NSUnderlineStyleAttributeName, std::int64_t{1}},
  };
  const std::vector<std::function<void(MutableAttributedString&)>> operations = {
      [](MutableAttributedString& t) { identifyAndApplyMatchingStylesDefaultingToBody(t, true); },
      [](MutableAttributedString& t) { identifyAndApplyMatchingStylesDefaultingToBody(t, false); },
      [](MutableAttributedString& t) {
        applyStyle(t, *QNTNoteTextStyle::titleNoteTextStyle(), {1, t.length()});
      },
      [](MutableAttributedString& t) {
        applyFontColorsAndSpacingFromStyle(t, *QNTNoteTextStyle::monospacedNoteTextStyle(), {2, 5});
      },
      [](MutableAttributedString& t) {
        fixTextListsInRange(t, {0, t.length()});
      },
      [](MutableAttributedString& t) { updateNoteStyles(t); },
      [](MutableAttributedString& t) { updateFixedAttributesOfNoteStyles(t); },
  };
  std::mt19937 random(63);
  for (int round = 0; round < 150; ++round) {
    MutableAttributedString text;
    for (std::size_t runs = random() % 8; runs > 0; --runs) {
      Attributes attributes;
      for (std::size_t n = random() % 4; n > 0; --n) {
        const auto& [key, value] = palette[random() % palette.size()];
        attributes.insert_or_assign(key, value);
      }
      const std::u16string pieces[] = {u"ab", u"\t1.\t", u"x\n", u"\u00e9\u20ac"};
      text.appendString(pieces[random() % 4], attributes);
    }
    const std::u16string characters = text.string();
    for (const auto& operation : operations) {
      operation(text);
      ASSERT_EQ(text.string(), characters) << round;
    }
  }
}

}  // namespace
}  // namespace zv::richtext
