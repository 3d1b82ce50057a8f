#include "richtext/note_text_style_application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "richtext/fake_font_manager.h"
#include "testsupport/captured_log.h"
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
  }
  void TearDown() override {
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
  }

  testsupport::TemporaryFolder folder_;
  testsupport::CapturedLog log_{folder_.path("log.txt")};
  std::unique_ptr<platform::UserDefaults> defaults_;
};

const std::u16string kBody = u"QNTNoteStyleIdentifierBody";
const std::u16string kTitle = u"QNTNoteStyleIdentifierTitle";
const std::u16string kHeading = u"QNTNoteStyleIdentifierHeading";
const std::u16string kMonospace = u"QNTNoteStyleIdentifierMonospace";

TEST_F(NoteTextStyleApplicationTest, IdentifiesEachRunByThePrecedenceOfTheRules) {
  auto header = [](std::int64_t level) {
    ParagraphStyle style = ParagraphStyle::defaultParagraphStyle();
    style.headerLevel = level;
    return Attributes{{NSParagraphStyleAttributeName, style}};
  };
  using Kind = PresentationIntent::Kind;
  const Attributes title = {{NSFontAttributeName, fontNamed(u"HelveticaNeue-Bold", 20)}};
  const Attributes code = {{NSFontAttributeName, fontNamed(u"Courier-Bold", 10)},
                           {NSForegroundColorAttributeName, kRed},
                           {NSUnderlineStyleAttributeName, std::int64_t{1}}};
  Attributes attachment = title;
  attachment[NSAttachmentAttributeName] = std::u16string(u"image.png");
  const Attributes quote = {
      {NSPresentationIntentAttributeName, PresentationIntent::blockQuote(7, nullptr)}};
  Attributes paragraphIntent = header(2);
  paragraphIntent[NSPresentationIntentAttributeName] = PresentationIntent::paragraph(5, nullptr);
  const struct {
    const char* what;
    Attributes attributes;
    bool toBody;
    std::u16string tag;
    std::u16string face;  // empty: no font
    double size;
    Kind intent;
  } cases[] = {
      {"title font", title, false, kTitle, u"HelveticaNeue-Bold", 20, Kind::kHeader},
      {"other monospace", code, false, kMonospace, u"Menlo-Bold", 13, Kind::kCodeBlock},
      {"attachment, title font", attachment, true, kBody, u"HelveticaNeue-Bold", 13,
       Kind::kParagraph},
      {"quote, body", quote, true, kBody, u"HelveticaNeue", 13, Kind::kBlockQuote},
      {"quote, no body", quote, false, u"", u"", 0, Kind::kBlockQuote},
      {"header 2 from layout", header(2), false, kHeading, u"HelveticaNeue-Bold", 16,
       Kind::kHeader},
      {"intent overrides layout", paragraphIntent, false, u"", u"", 0, Kind::kParagraph},
      {"header 4", header(4), true, kBody, u"HelveticaNeue", 13, Kind::kParagraph},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MutableAttributedString text(u"words", c.attributes);
    identifyAndApplyMatchingStylesDefaultingToBody(text, c.toBody);
    EXPECT_EQ(text.string(), u"words");
    EXPECT_EQ(tagAt(text, 0), c.tag);
    const Font* font = valueAt<Font>(text, NSFontAttributeName, 0);
    EXPECT_EQ(font != nullptr ? std::optional<Font>(*font) : std::nullopt,
              c.face.empty() ? std::nullopt : std::optional<Font>(fontNamed(c.face, c.size)));
    const auto* intent = valueAt<PresentationIntent>(text, NSPresentationIntentAttributeName, 0);
    ASSERT_NE(intent, nullptr);
    EXPECT_EQ(intent->kind(), c.intent);
    if (c.intent == Kind::kBlockQuote) {
      EXPECT_EQ(*intent, PresentationIntent::blockQuote(0, nullptr)) << "a fresh quote";
    }
    if (c.tag == kTitle) {
      EXPECT_EQ(text.attributesAtIndex(0), QNTNoteTextStyle::titleNoteTextStyle()->attributes())
          << "a matched title keeps nothing else";
    }
    if (c.tag == kMonospace) {
      EXPECT_EQ(*valueAt<Color>(text, NSForegroundColorAttributeName, 0),
                Color::secondaryLabelColor());
      EXPECT_EQ(*valueAt<std::int64_t>(text, NSUnderlineStyleAttributeName, 0), 1);
    }
  }
}

TEST_F(NoteTextStyleApplicationTest, OnlyTheStartingItemsMarkerCountsAsListMarker) {
  ParagraphStyle listed = ParagraphStyle::defaultParagraphStyle();
  listed.textLists = {TextList{u"{decimal}.", 1}};
  const Attributes code = {{NSFontAttributeName, fontNamed(u"Courier", 12)},
                           {NSParagraphStyleAttributeName, listed}};
  const Attributes prose = {{NSFontAttributeName, fontNamed(u"Helvetica", 12)},
                            {NSParagraphStyleAttributeName, listed}};
  MutableAttributedString text;
  text.appendString(u"\t1.\t", code);
  text.appendString(u"One\n", prose);
  text.appendString(u"\t2.\t", code);
  text.appendString(u"Two", prose);
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
  EXPECT_THAT(log_.text(), ::testing::HasSubstr("without an identifier"));
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
