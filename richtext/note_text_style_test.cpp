#include "richtext/note_text_style.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/notification_center.h"
#include "platform/property_list_serialization.h"
#include "platform/unicode.h"
#include "richtext/fake_font_manager.h"
#include "testsupport/captured_log.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::richtext {
namespace {

using platform::PropertyList;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testsupport::IsOk;

const Color kRed{Color::Space::kCalibratedRGB, 1, 0, 0, 1};

// Faces of a machine without Helvetica Neue: the user's font is DejaVu Sans.
std::shared_ptr<FakeFontManager> fontsWithoutHelveticaNeue() {
  std::vector<FontFace> faces = {
      {u"DejaVuSans", u"DejaVu Sans", 0, kFontWeightRegular},
      {u"DejaVuSans-Bold", u"DejaVu Sans", kBoldFontMask, kFontWeightBold},
      {u"DejaVuSansMono", u"DejaVu Sans Mono", kFixedPitchFontMask, kFontWeightRegular},
  };
  return std::make_shared<FakeFontManager>(std::move(faces), u"DejaVuSans", u"DejaVuSansMono");
}

// Every test gets its own store, fake fonts and a log it can read.
class NoteTextStyleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSharedFontManager(std::make_shared<FakeFontManager>());
    defaults_ = std::make_unique<platform::UserDefaults>(folder_.path("defaults.plist"));
    QNTNoteTextStyle::setUserDefaults(defaults_.get());
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        QNTNoteTextStyleDefaultsDidChangeNotification,
        [this](std::u16string_view) { ++notifications_; });
  }

  void TearDown() override {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
  }

  void storeData(std::vector<std::uint8_t> bytes) {
    ASSERT_THAT(defaults_->setObject(PropertyList(std::move(bytes)), QNTNoteTextStylesDefaultsKey),
                IsOk());
    QNTNoteTextStyle::reloadStylesFromDefaults();
  }

  std::vector<QNTNoteTextStylePtr> storedStyles() {
    std::optional<PropertyList> stored = defaults_->objectForKey(QNTNoteTextStylesDefaultsKey);
    if (!stored || !stored->asData()) {
      return {};
    }
    auto styles = noteTextStylesWithArchivedData(*stored->asData());
    return styles ? *styles : std::vector<QNTNoteTextStylePtr>();
  }

  static QNTNoteTextStylePtr customStyle(std::u16string name, Font font = Font(u"Helvetica", 15)) {
    auto style = std::make_shared<QNTNoteTextStyle>();
    style->setType(QNTNoteTextStyleTypeCustom);
    style->setName(std::move(name));
    style->setFont(std::move(font));
    return style;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::CapturedLog log_{folder_.path("log.txt")};
  std::unique_ptr<platform::UserDefaults> defaults_;
  platform::NotificationCenter::ObserverToken observer_ = 0;
  int notifications_ = 0;
};

// --- Identity ---

// The five standard types have their own identifier, name and catalogue entry; any other type
// answers what was stored and has no entry.
TEST_F(NoteTextStyleTest, TypesAnswerTheirIdentifierNameAndStyle) {
  struct Case {
    QNTNoteTextStyleType type;
    std::optional<std::u16string> identifier;
    std::optional<std::u16string> name;
  };
  const std::vector<Case> cases = {
      {0, u"QNTNoteStyleIdentifierBody", u"Body"},
      {1, u"QNTNoteStyleIdentifierTitle", u"Title"},
      {2, u"QNTNoteStyleIdentifierHeading", u"Heading"},
      {3, u"QNTNoteStyleIdentifierMonospace", u"Monospaced"},
      {4, u"QNTNoteStyleIdentifierSubheading", u"Subheading"},
      // Outside 0..4 (negative values too, as unsigned) the stored values answer.
      {5, u"custom-id", u"stored"},
      {-1, u"custom-id", u"stored"},
      {9999, u"custom-id", u"stored"},
      {std::numeric_limits<std::int64_t>::min(), u"custom-id", u"stored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    QNTNoteTextStyle style;
    style.setName(u"stored");
    style.setCustomStyleIdentifier(u"custom-id");
    style.setType(c.type);
    EXPECT_EQ(style.identifier(), c.identifier);
    EXPECT_EQ(style.name(), c.name);
    const bool standard = c.identifier != u"custom-id";
    ASSERT_EQ(QNTNoteTextStyle::styleForType(c.type) != nullptr, standard);
    EXPECT_EQ(QNTNoteTextStyle::defaultStyleForType(c.type) != nullptr, standard);
    if (standard) {
      EXPECT_EQ(QNTNoteTextStyle::styleForType(c.type)->type(), c.type);
    }
  }
}

TEST_F(NoteTextStyleTest, CustomTypeGetsOneUpperCaseVersion4UUID) {
  QNTNoteTextStyle style;
  style.setType(QNTNoteTextStyleTypeCustom);
  const std::optional<std::u16string> first = style.customStyleIdentifier();
  ASSERT_TRUE(first);
  EXPECT_THAT(platform::toUtf8(*first),
              MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
  EXPECT_EQ(style.identifier(), first);

  style.setType(QNTNoteTextStyleTypeCustom);
  EXPECT_EQ(style.customStyleIdentifier(), first);
  style.setType(QNTNoteTextStyleTypeBody);
  style.setType(QNTNoteTextStyleTypeCustom);
  EXPECT_EQ(style.customStyleIdentifier(), first) << "an identifier is never replaced";
  EXPECT_NE(newUUIDString(), newUUIDString());
}

// --- Getters and setters ---

TEST_F(NoteTextStyleTest, BlackAndWhiteAreStoredAsTheStandardTextColour) {
  struct Case {
    const char* name;
    std::optional<Color> given;
    std::optional<Color> stored;
    Color answered;
  };
  const std::vector<Case> cases = {
      {"nothing", std::nullopt, std::nullopt, Color::textColor()},
      {"black", Color::blackColor(), std::nullopt, Color::textColor()},
      {"white", Color::whiteColor(), std::nullopt, Color::textColor()},
      {"red", kRed, kRed, kRed},
      {"label colour", Color::labelColor(), Color::labelColor(), Color::labelColor()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QNTNoteTextStyle style;
    style.setForegroundColor(c.given);
    EXPECT_EQ(style.storedForegroundColor(), c.stored);
    EXPECT_EQ(style.foregroundColor(), c.answered);
  }
}

TEST_F(NoteTextStyleTest, FontSettersLookTheFaceUpAndFallBackToTheUserFont) {
  QNTNoteTextStyle style;
  EXPECT_EQ(style.font(), Font(u"Helvetica", 13)) << "no stored font reads as the user font";
  style.setFontName(u"Menlo-Bold");
  EXPECT_EQ(style.storedFont(), Font(u"Menlo-Bold", 13));
  style.setFontSize(18);
  EXPECT_EQ(style.font(), Font(u"Menlo-Bold", 18));
  style.setFontName(u"NoSuchFace");
  EXPECT_FALSE(style.storedFont());
  EXPECT_EQ(style.font(), Font(u"Helvetica", 13));
  EXPECT_EQ(style.paragraphStyle(), ParagraphStyle::defaultParagraphStyle());
}

// --- Built-in defaults and the Helvetica Neue fallback ---

TEST_F(NoteTextStyleTest, BuiltInDefaultsFollowTheirTable) {
  using Kind = PresentationIntent::Kind;
  const Color label = Color::labelColor();
  struct Case {
    QNTNoteTextStyleType type;
    const char16_t* withHelveticaNeue;
    const char16_t* withoutHelveticaNeue;
    double size;
    Color color;
    std::int64_t headerLevel;
    double paragraphSpacing;
    Kind intent;
    bool applyToParagraph;
    bool resetOnNewLine;
  };
  const std::vector<Case> cases = {
      {1, u"HelveticaNeue-Bold", u"DejaVuSans-Bold", 20, label, 1, 0, Kind::kHeader, true, true},
      {2, u"HelveticaNeue-Bold", u"DejaVuSans-Bold", 16, label, 2, 2, Kind::kHeader, true, true},
      {4, u"HelveticaNeue-Bold", u"DejaVuSans-Bold", 13, label, 3, 2, Kind::kHeader, true, true},
      {0, u"HelveticaNeue", u"DejaVuSans", 13, label, 0, 0, Kind::kParagraph, false, false},
      {3, u"Menlo-Regular", u"DejaVuSansMono", 13, Color::secondaryLabelColor(), 0, 0,
       Kind::kCodeBlock, true, false},
  };
  for (bool helveticaNeue : {true, false}) {
    setSharedFontManager(helveticaNeue ? std::make_shared<FakeFontManager>()
                                       : fontsWithoutHelveticaNeue());
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "type " << c.type << " Helvetica Neue " << helveticaNeue);
      QNTNoteTextStylePtr style = QNTNoteTextStyle::defaultStyleForType(c.type);
      ASSERT_TRUE(style);
      EXPECT_EQ(style->type(), c.type);
      EXPECT_EQ(style->storedFont(),
                Font(helveticaNeue ? c.withHelveticaNeue : c.withoutHelveticaNeue, c.size));
      EXPECT_EQ(style->foregroundColor(), c.color);
      EXPECT_EQ(style->paragraphStyle().headerLevel, c.headerLevel);
      EXPECT_EQ(style->paragraphStyle().paragraphSpacing, c.paragraphSpacing);
      ASSERT_TRUE(style->presentationIntent());
      EXPECT_EQ(style->presentationIntent()->kind(), c.intent);
      EXPECT_EQ(style->presentationIntent()->headerLevel(), c.headerLevel);
      EXPECT_EQ(style->applyToParagraph(), c.applyToParagraph);
      EXPECT_EQ(style->resetOnNewLine(), c.resetOnNewLine);
      EXPECT_FALSE(style->storedName());
    }
  }
  const ParagraphStyle body = QNTNoteTextStyle::defaultBodyNoteTextStyle()->paragraphStyle();
  EXPECT_EQ(body.lineHeightMultiple, 1.2);
  ASSERT_FALSE(ParagraphStyle::defaultParagraphStyle().tabStops.empty());
  EXPECT_EQ(body.defaultTabInterval,
            ParagraphStyle::defaultParagraphStyle().tabStops.front().location);
  EXPECT_EQ(QNTNoteTextStyle::defaultMonospacedNoteTextStyle()->paragraphStyle().lineSpacing, 1.0);
}

TEST_F(NoteTextStyleTest, ArchivedFacesFallBackAtTheArchivedSize) {
  struct Case {
    const char* name;
    bool helveticaNeue;
    std::u16string archivedFace;
    Font expected;
  };
  const std::vector<Case> cases = {
      {"installed face", true, u"Menlo-Bold", {u"Menlo-Bold", 17}},
      {"unknown face, Helvetica Neue here", true, u"NoSuchFace", {u"HelveticaNeue", 17}},
      {"Mac face keeps its weight", false, u"HelveticaNeue-Bold", {u"DejaVuSans-Bold", 17}},
      {"unknown face on Linux", false, u"NoSuchFace", {u"DejaVuSans", 17}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setSharedFontManager(c.helveticaNeue ? std::make_shared<FakeFontManager>()
                                         : fontsWithoutHelveticaNeue());
    auto data = archivedDataWithNoteTextStyles({customStyle(u"A", Font(c.archivedFace, 17))});
    ASSERT_THAT(data, IsOk());
    auto decoded = noteTextStylesWithArchivedData(*data);
    ASSERT_THAT(decoded, IsOk());
    ASSERT_EQ(decoded->size(), 1U);
    EXPECT_EQ((*decoded)[0]->storedFont(), c.expected);
  }
}

// --- The catalogue ---

TEST_F(NoteTextStyleTest, EmptyStoreAnswersTheFiveBuiltInStyles) {
  std::vector<QNTNoteTextStyleType> types;
  for (const auto& style : QNTNoteTextStyle::allStyles()) {
    types.push_back(style->type());
  }
  EXPECT_THAT(types, ElementsAre(1, 2, 4, 0, 3)) << "title, heading, subheading, body, monospaced";
  EXPECT_FALSE(QNTNoteTextStyle::customStyles());
  EXPECT_EQ(QNTNoteTextStyle::defaultStyle(), QNTNoteTextStyle::bodyNoteTextStyle());
}

TEST_F(NoteTextStyleTest, LookupsOutsideTheirRangeAnswerNothing) {
  const std::pair<std::int64_t, QNTNoteTextStylePtr> levels[] = {
      {0, nullptr},
      {1, QNTNoteTextStyle::titleNoteTextStyle()},
      {2, QNTNoteTextStyle::headingNoteTextStyle()},
      {3, QNTNoteTextStyle::subheadingNoteTextStyle()},
      {4, nullptr},
      {-1, nullptr}};
  for (const auto& [level, expected] : levels) {
    EXPECT_EQ(QNTNoteTextStyle::styleForParagraphHeaderLevel(level), expected) << level;
  }
  const std::pair<std::int64_t, double> sizes[] = {{1, 12}, {2, 13}, {3, 14}, {4, 15},
                                                   {0, 11}, {5, 11}, {-1, 11}};
  for (const auto& [setting, points] : sizes) {
    EXPECT_EQ(QNTNoteTextStyle::bodyPointSizeForNoteTextSize(setting), points) << setting;
  }
  EXPECT_FALSE(QNTNoteTextStyle::styleWithIdentifier(u"qntnotestyleidentifierbody"));
  EXPECT_FALSE(QNTNoteTextStyle::savedStyleForType(QNTNoteTextStyleTypeCustom));
}

TEST_F(NoteTextStyleTest, AccessorsAnswerTheCachedObjectUntilReload) {
  QNTNoteTextStylePtr title = QNTNoteTextStyle::titleNoteTextStyle();
  title->setUnderlineStyle(1);
  EXPECT_EQ(QNTNoteTextStyle::titleNoteTextStyle(), title);
  EXPECT_EQ(QNTNoteTextStyle::styleWithIdentifier(u"QNTNoteStyleIdentifierTitle"), title);
  QNTNoteTextStyle::reloadStylesFromDefaults();
  EXPECT_EQ(notifications_, 1);
  EXPECT_NE(QNTNoteTextStyle::titleNoteTextStyle(), title);
  EXPECT_EQ(QNTNoteTextStyle::titleNoteTextStyle()->underlineStyle(), 0) << "never saved";
}

TEST_F(NoteTextStyleTest, OnlyChangedStandardStylesAreSaved) {
  ASSERT_THAT(
      defaults_->setObject(PropertyList(PropertyList::Data{1, 2, 3}), QNTNoteTextStylesDefaultsKey),
      IsOk());
  ASSERT_THAT(QNTNoteTextStyle::saveStylesToDefaults(QNTNoteTextStyle::standardStyles()), IsOk());
  EXPECT_FALSE(defaults_->objectForKey(QNTNoteTextStylesDefaultsKey))
      << "five unchanged styles remove the key";

  QNTNoteTextStyle::headingNoteTextStyle()->setFont(Font(u"Menlo-Bold", 16));
  ASSERT_THAT(QNTNoteTextStyle::saveStylesToDefaults(QNTNoteTextStyle::standardStyles()), IsOk());
  const std::vector<QNTNoteTextStylePtr> stored = storedStyles();
  ASSERT_EQ(stored.size(), 1U);
  EXPECT_EQ(stored[0]->type(), QNTNoteTextStyleTypeHeading);
  EXPECT_EQ(QNTNoteTextStyle::headingNoteTextStyle()->font(), Font(u"Menlo-Bold", 16));
  EXPECT_EQ(QNTNoteTextStyle::savedStyleForType(QNTNoteTextStyleTypeHeading)->font(),
            Font(u"Menlo-Bold", 16));
  EXPECT_FALSE(QNTNoteTextStyle::headingNoteTextStyle()->presentationIntent())
      << "intents are not archived";
  EXPECT_FALSE(QNTNoteTextStyle::savedStyleForType(QNTNoteTextStyleTypeTitle));
  EXPECT_EQ(notifications_, 4) << "two notifications per save";
}

// Numbers by value, case ignored, digits before letters; an added style takes its place.
TEST_F(NoteTextStyleTest, CustomStylesSortByNameNumbersByValue) {
  std::vector<QNTNoteTextStylePtr> styles;
  for (const char16_t* name : {u"Style 10", u"beta", u"Notes", u"Alpha", u"2 Notes"}) {
    styles.push_back(customStyle(name));
  }
  ASSERT_THAT(QNTNoteTextStyle::saveStylesToDefaults(styles), IsOk());
  notifications_ = 0;
  QNTNoteTextStylePtr added = customStyle(u"Style 9");
  ASSERT_THAT(QNTNoteTextStyle::addCustomStyle(added), IsOk());
  EXPECT_EQ(notifications_, 2);
  std::optional<std::vector<QNTNoteTextStylePtr>> custom = QNTNoteTextStyle::customStyles();
  ASSERT_TRUE(custom);
  std::vector<std::u16string> names;
  for (const auto& style : *custom) {
    names.push_back(style->name().value_or(u""));
  }
  EXPECT_THAT(names, ElementsAre(u"2 Notes", u"Alpha", u"beta", u"Notes", u"Style 9", u"Style 10"));
  std::vector<QNTNoteTextStylePtr> all = QNTNoteTextStyle::allStyles();
  ASSERT_EQ(all.size(), 11U) << "the standard styles, then the custom ones";
  EXPECT_EQ(all[9]->identifier(), added->identifier()) << "decoded styles keep their identifier";
  EXPECT_EQ(QNTNoteTextStyle::styleWithIdentifier(*added->identifier()), all[9]);

  ASSERT_THAT(defaults_->setObject(PropertyList(*added->identifier()),
                                   QNTNoteTextStyleDefaultIdentifierDefaultsKey),
              IsOk());
  EXPECT_EQ(QNTNoteTextStyle::defaultStyle(), all[9]);
  ASSERT_THAT(
      defaults_->setObject(PropertyList(u"gone"), QNTNoteTextStyleDefaultIdentifierDefaultsKey),
      IsOk());
  EXPECT_EQ(QNTNoteTextStyle::defaultStyle(), QNTNoteTextStyle::bodyNoteTextStyle());
}

TEST_F(NoteTextStyleTest, UnreadableStoreIsLoggedAndKeptAsideBeforeASave) {
  const std::vector<std::uint8_t> damaged = testsupport::bytesOf("bplist00 not really");
  storeData(damaged);
  EXPECT_FALSE(QNTNoteTextStyle::customStyles());
  EXPECT_EQ(QNTNoteTextStyle::titleNoteTextStyle()->storedFont(), Font(u"HelveticaNeue-Bold", 20));
  EXPECT_THAT(log_.text(), HasSubstr("Error unarchiving saved note styles: "));
  EXPECT_EQ(defaults_->objectForKey(QNTNoteTextStylesDefaultsKey), PropertyList(damaged))
      << "reading leaves the data in the store";

  QNTNoteTextStylePtr added = customStyle(u"Mine");
  ASSERT_THAT(QNTNoteTextStyle::addCustomStyle(added), IsOk());
  storeData({4, 5, 6});
  ASSERT_THAT(QNTNoteTextStyle::addCustomStyle(customStyle(u"Second")), IsOk());

  // The store lists no keys; read its file as the next process would.
  auto bytes = testsupport::readFileBytes(defaults_->path());
  ASSERT_TRUE(bytes);
  auto file = platform::readPropertyList(*bytes);
  ASSERT_THAT(file, IsOk());
  ASSERT_TRUE(file->asDictionary());
  std::vector<PropertyList> asideCopies;  // each under a key of its own
  for (const auto& entry : file->asDictionary()->entries()) {
    if (entry.key.starts_with(QNTNoteTextStylesUnreadableDefaultsKeyPrefix)) {
      asideCopies.push_back(entry.value);
    }
  }
  EXPECT_THAT(asideCopies, ::testing::UnorderedElementsAre(
                               PropertyList(damaged), PropertyList(PropertyList::Data{4, 5, 6})))
      << "an earlier copy is never overwritten";
  EXPECT_THAT(log_.text(), HasSubstr("Kept unreadable saved note styles under"));
  const std::vector<QNTNoteTextStylePtr> stored = storedStyles();
  ASSERT_EQ(stored.size(), 1U) << "the second damaged store held only its own bytes";
  EXPECT_EQ(stored[0]->name(), u"Second");
}

// --- Archive ---

TEST_F(NoteTextStyleTest, ArchiveRoundTripKeepsEveryArchivedValue) {
  QNTNoteTextStylePtr style = customStyle(u"Quote «1»", Font(u"Menlo-Italic", 14.5));
  ParagraphStyle paragraph = ParagraphStyle::defaultParagraphStyle();
  paragraph.alignment = TextAlignment::kCenter;
  paragraph.lineHeightMultiple = 1.5;
  paragraph.headerLevel = 2;
  style->setParagraphStyle(paragraph);
  style->setUnderlineStyle(9);
  style->setStrikethrough(1);
  style->setForegroundColor(kRed);
  style->setResetOnNewLine(true);
  style->setApplyToParagraph(true);
  style->setPresentationIntent(PresentationIntent::blockQuote(3, nullptr));

  QNTNoteTextStyle blank;  // a standard style that was never given anything
  auto data = archivedDataWithNoteTextStyles({style, std::make_shared<QNTNoteTextStyle>(blank)});
  ASSERT_THAT(data, IsOk());
  auto decoded = noteTextStylesWithArchivedData(*data);
  ASSERT_THAT(decoded, IsOk());
  ASSERT_EQ(decoded->size(), 2U);
  const QNTNoteTextStyle& back = *(*decoded)[0];
  EXPECT_EQ(back.type(), QNTNoteTextStyleTypeCustom);
  EXPECT_EQ(back.storedName(), style->storedName());
  EXPECT_EQ(back.customStyleIdentifier(), style->customStyleIdentifier());
  EXPECT_EQ(back.storedFont(), style->storedFont());
  EXPECT_EQ(back.storedParagraphStyle(), paragraph);
  EXPECT_EQ(back.underlineStyle(), 9);
  EXPECT_EQ(back.strikethrough(), 1);
  EXPECT_EQ(back.storedForegroundColor(), kRed);
  EXPECT_TRUE(back.resetOnNewLine());
  EXPECT_TRUE(back.applyToParagraph());
  EXPECT_FALSE(back.presentationIntent());

  const QNTNoteTextStyle& blankBack = *(*decoded)[1];
  EXPECT_FALSE(blankBack.storedName());
  EXPECT_FALSE(blankBack.storedFont());
  EXPECT_FALSE(blankBack.storedParagraphStyle());
  EXPECT_FALSE(blankBack.customStyleIdentifier());
  EXPECT_EQ(blankBack.storedForegroundColor(), Color::textColor())
      << "the getter's colour is archived";

  // A copy: every stored value but the intent and the override, identifier included.
  style->setOtherAllowedAttributeNames(std::vector<std::u16string>{u"X"});
  QNTNoteTextStylePtr copied = style->copy();
  EXPECT_EQ(copied->customStyleIdentifier(), style->customStyleIdentifier());
  EXPECT_EQ(copied->storedForegroundColor(), kRed);
  EXPECT_FALSE(copied->presentationIntent());
  EXPECT_NE(copied->otherAllowedAttributeNames(), style->otherAllowedAttributeNames());
}

// Writes whatever a test wants under the style's class name.
class ForgedStyle final : public platform::Archivable {
 public:
  explicit ForgedStyle(std::function<void(platform::KeyedArchiver&)> encode)
      : encode_(std::move(encode)) {}
  std::u16string className() const override { return QNTNoteTextStyleClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::function<void(platform::KeyedArchiver&)> encode_;
};

TEST_F(NoteTextStyleTest, TamperedArchivesFailAndAreLogged) {
  using platform::ArchivedObject;
  using platform::KeyedArchiver;
  struct Case {
    const char* name;
    ArchivedObject root;
  };
  const auto forged = [](std::function<void(KeyedArchiver&)> encode) {
    return ArchivedObject(ArchivedObject::Array{
        ArchivedObject(std::make_shared<const ForgedStyle>(std::move(encode)))});
  };
  const std::vector<Case> cases = {
      {"root is a style, not an array",
       ArchivedObject(std::make_shared<const ForgedStyle>([](KeyedArchiver&) {}))},
      {"element is a string", ArchivedObject(ArchivedObject::Array{ArchivedObject(u"x")})},
      {"face name is a number",
       forged([](KeyedArchiver& coder) { coder.encodeInt64(u"fontName", 3); })},
      {"font size is infinite", forged([](KeyedArchiver& coder) {
         coder.encodeString(u"fontName", u"Menlo-Bold");
         coder.encodeFloat(u"fontSize", std::numeric_limits<float>::infinity());
       })},
      {"negative font size",
       forged([](KeyedArchiver& coder) { coder.encodeFloat(u"fontSize", -4); })},
      {"paragraph style is a string",
       forged([](KeyedArchiver& coder) { coder.encodeString(u"paragraphStyle", u"centred"); })},
      {"colour component is text", forged([](KeyedArchiver& coder) {
         coder.encodeObject(
             u"foregroundColor",
             ArchivedObject(ArchivedObject::Dictionary{{u"red", ArchivedObject(u"1")}}));
       })},
      {"colour is a string",
       forged([](KeyedArchiver& coder) { coder.encodeString(u"foregroundColor", u"red"); })},
      {"type is a string",
       forged([](KeyedArchiver& coder) { coder.encodeString(u"type", u"9999"); })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = platform::archivedDataWithRootObject(c.root);
    ASSERT_THAT(data, IsOk());
    EXPECT_FALSE(noteTextStylesWithArchivedData(*data).ok());
    storeData(*data);
    EXPECT_FALSE(QNTNoteTextStyle::customStyles());
    EXPECT_FALSE(QNTNoteTextStyle::savedStyleForType(QNTNoteTextStyleTypeBody));
  }
  EXPECT_THAT(log_.text(), HasSubstr("Error unarchiving saved note styles: "));

  // Truncations of a good archive never decode into something else silently or crash.
  auto good = archivedDataWithNoteTextStyles({customStyle(u"A")});
  ASSERT_THAT(good, IsOk());
  for (std::size_t length = 0; length < good->size(); length += 7) {
    std::vector<std::uint8_t> cut(good->begin(), good->begin() + static_cast<long>(length));
    EXPECT_FALSE(noteTextStylesWithArchivedData(cut).ok()) << length;
  }
}

TEST_F(NoteTextStyleTest, ArchivesDecodeOnlyWithTheStyleClassAllowed) {
  auto data = archivedDataWithNoteTextStyles({customStyle(u"A")});
  ASSERT_THAT(data, IsOk());
  platform::KeyedArchiveClassRegistry registry;
  ASSERT_THAT(registerNoteTextStyleClasses(registry), IsOk());
  EXPECT_THAT(platform::unarchivedObject(*data, {u"NSArray", QNTNoteTextStyleClassName}, registry),
              IsOk());
  EXPECT_FALSE(platform::unarchivedObject(*data, {u"NSArray"}, registry).ok());
  EXPECT_FALSE(platform::unarchivedObject(*data, {QNTNoteTextStyleClassName}, registry).ok());
}

// --- Matching ---

TEST_F(NoteTextStyleTest, MatchingRunsAgainstStandardStyles) {
  const Font bodyFont(u"HelveticaNeue", 13);
  ParagraphStyle centred = ParagraphStyle::defaultParagraphStyle();
  centred.alignment = TextAlignment::kCenter;
  struct Case {
    const char* name;
    Attributes run;
    std::vector<std::u16string> matching;  // identifiers of the standard styles that match
  };
  const std::u16string body = u"QNTNoteStyleIdentifierBody";
  const std::u16string title = u"QNTNoteStyleIdentifierTitle";
  const std::vector<Case> cases = {
      {"empty run", {}, {}},
      {"only a link and a colour",
       {{NSLinkAttributeName, std::u16string(u"https://example.com")},
        {NSForegroundColorAttributeName, kRed}},
       {}},
      {"only the body font", {{NSFontAttributeName, bodyFont}}, {body}},
      {"body font in red: colours never decide",
       {{NSFontAttributeName, bodyFont}, {NSForegroundColorAttributeName, kRed}},
       {body}},
      {"body font, title identifier",
       {{NSFontAttributeName, bodyFont}, {QNTNoteTextStyleIdentifierAttributeName, title}},
       {}},
      {"body font underlined",
       {{NSFontAttributeName, bodyFont}, {NSUnderlineStyleAttributeName, std::int64_t{1}}},
       {}},
      {"underline 0 as a real number",
       {{NSFontAttributeName, bodyFont}, {NSUnderlineStyleAttributeName, 0.0}},
       {body}},
      {"body font, centred: a character style keeps its layout",
       {{NSFontAttributeName, bodyFont}, {NSParagraphStyleAttributeName, centred}},
       {body}},
      {"title font", {{NSFontAttributeName, Font(u"HelveticaNeue-Bold", 20)}}, {title}},
      {"title font, centred: a paragraph style owns its layout",
       {{NSFontAttributeName, Font(u"HelveticaNeue-Bold", 20)},
        {NSParagraphStyleAttributeName, centred}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::u16string> matching;
    for (const auto& style : QNTNoteTextStyle::standardStyles()) {
      if (style->matchesAttributes(c.run)) {
        matching.push_back(*style->identifier());
      }
    }
    EXPECT_EQ(matching, c.matching);
  }
}

TEST_F(NoteTextStyleTest, StylesMatchTheirDefaultsUntilChanged) {
  for (const auto& style : QNTNoteTextStyle::standardStyles()) {
    SCOPED_TRACE(testing::Message() << style->type());
    EXPECT_TRUE(style->matchesStyle(*QNTNoteTextStyle::defaultStyleForType(style->type())));
    EXPECT_FALSE(style->shouldSaveToDefaults());
    style->setFontSize(style->fontSize() + 1);
    EXPECT_FALSE(style->matchesStyle(*QNTNoteTextStyle::defaultStyleForType(style->type())));
    EXPECT_TRUE(style->shouldSaveToDefaults());
  }
  QNTNoteTextStyle other;
  other.setType(17);
  EXPECT_FALSE(other.shouldSaveToDefaults());
  EXPECT_TRUE(customStyle(u"A")->shouldSaveToDefaults());
}

TEST_F(NoteTextStyleTest, OtherAllowedAttributesAndTheirOverride) {
  const std::vector<std::u16string> head = {
      NSLigatureAttributeName,         NSAttachmentAttributeName,        NSLinkAttributeName,
      NSWritingDirectionAttributeName, NSVerticalGlyphFormAttributeName, QNTHighlightAttributeName};
  std::vector<std::u16string> body = head;
  body.emplace_back(NSParagraphStyleAttributeName);
  std::vector<std::u16string> title = head;
  for (auto* names : {&body, &title}) {
    names->emplace_back(NSTextHighlightStyleAttributeName);
    names->emplace_back(NSTextHighlightColorSchemeAttributeName);
  }
  EXPECT_EQ(QNTNoteTextStyle::bodyNoteTextStyle()->otherAllowedAttributeNames(), body);
  EXPECT_EQ(QNTNoteTextStyle::titleNoteTextStyle()->otherAllowedAttributeNames(), title);

  QNTNoteTextStylePtr style = QNTNoteTextStyle::defaultBodyNoteTextStyle();
  const Attributes run = {{NSFontAttributeName, Font(u"Menlo-Bold", 9)}};
  EXPECT_FALSE(style->matchesAttributes(run));
  style->setOtherAllowedAttributeNames(std::vector<std::u16string>{NSFontAttributeName});
  EXPECT_EQ(style->otherAllowedAttributeNames(), std::vector<std::u16string>{NSFontAttributeName});
  EXPECT_FALSE(style->matchesAttributes(run)) << "nothing left to compare";
  EXPECT_TRUE(style->matchesAttributes({{NSFontAttributeName, Font(u"Menlo-Bold", 9)},
                                        {NSUnderlineStyleAttributeName, std::int64_t{0}}}));
}

TEST_F(NoteTextStyleTest, ApplyingAStyleKeepsOnlyAllowedAttributes) {
  ParagraphStyle centred = ParagraphStyle::defaultParagraphStyle();
  centred.alignment = TextAlignment::kCenter;
  const platform::URL link = *platform::URL::fromString(u"https://example.com/");
  const Attributes run = {{NSLinkAttributeName, link},
                          {NSForegroundColorAttributeName, kRed},
                          {NSParagraphStyleAttributeName, centred},
                          {NSBackgroundColorAttributeName, kRed},
                          {QNTNoteTextStyleIdentifierAttributeName, std::u16string(u"other")}};
  QNTNoteTextStylePtr body = QNTNoteTextStyle::bodyNoteTextStyle();

  Attributes expected = body->attributes();
  expected[NSLinkAttributeName] = link;
  expected[NSParagraphStyleAttributeName] = centred;
  EXPECT_EQ(body->attributesWithOtherAttributes(run, false), expected);
  expected[NSParagraphStyleAttributeName] = body->paragraphStyle();
  EXPECT_EQ(body->attributesWithOtherAttributes(run, true), expected);
  EXPECT_EQ(QNTNoteTextStyle::titleNoteTextStyle()
                ->attributesWithOtherAttributes(run, false)
                .at(NSParagraphStyleAttributeName),
            AttributeValue(QNTNoteTextStyle::titleNoteTextStyle()->paragraphStyle()))
      << "a paragraph style keeps its own layout";
}

TEST_F(NoteTextStyleTest, FindingAndMakingTheStyleOfARun) {
  QNTNoteTextStylePtr twin = customStyle(u"B twin of body", Font(u"HelveticaNeue", 13));
  QNTNoteTextStylePtr first = customStyle(u"A menlo", Font(u"Menlo-Bold", 11));
  QNTNoteTextStylePtr second = customStyle(u"Z menlo", Font(u"Menlo-Bold", 11));
  ASSERT_THAT(QNTNoteTextStyle::saveStylesToDefaults({twin, second, first}), IsOk());

  struct Case {
    const char* name;
    Attributes run;
    std::optional<std::u16string> expected;
  };
  const std::vector<Case> cases = {
      {"standard wins a tie",
       {{NSFontAttributeName, Font(u"HelveticaNeue", 13)}},
       u"QNTNoteStyleIdentifierBody"},
      {"first custom by name wins",
       {{NSFontAttributeName, Font(u"Menlo-Bold", 11)}},
       first->identifier()},
      {"identifier picks its style",
       {{NSFontAttributeName, Font(u"Menlo-Bold", 11)},
        {QNTNoteTextStyleIdentifierAttributeName, *second->identifier()}},
       second->identifier()},
      {"no style", {{NSFontAttributeName, Font(u"Menlo-Bold", 30)}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QNTNoteTextStylePtr found = QNTNoteTextStyle::styleThatMatchesAttributes(c.run);
    EXPECT_EQ(found ? found->identifier() : std::nullopt, c.expected);
  }

  QNTNoteTextStylePtr made = QNTNoteTextStyle::customStyleFromAttributes({});
  EXPECT_EQ(made->name(), u"New Style");
  EXPECT_EQ(made->type(), QNTNoteTextStyleTypeCustom);
  EXPECT_EQ(made->identifier()->size(), 36U);
  EXPECT_EQ(made->font(), Font(u"Helvetica", 13));
  EXPECT_EQ(made->paragraphStyle(), ParagraphStyle::defaultParagraphStyle());
  EXPECT_EQ(made->foregroundColor(), Color::textColor());
  EXPECT_FALSE(made->applyToParagraph());

  made = QNTNoteTextStyle::customStyleFromAttributes(
      {{NSFontAttributeName, Font(u"Menlo-Bold", 11)},
       {NSForegroundColorAttributeName, Color::blackColor()},
       {NSUnderlineStyleAttributeName, std::int64_t{2}},
       {NSStrikethroughStyleAttributeName, true}});
  EXPECT_EQ(made->storedFont(), Font(u"Menlo-Bold", 11));
  EXPECT_FALSE(made->storedForegroundColor());
  EXPECT_EQ(made->underlineStyle(), 2);
  EXPECT_EQ(made->strikethrough(), 1);
  EXPECT_EQ(QNTNoteTextStyle::customStyles()->size(), 3U) << "not added to the catalogue";
}

}  // namespace
}  // namespace zv::richtext
