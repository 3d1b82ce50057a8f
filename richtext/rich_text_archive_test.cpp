#include "richtext/rich_text_archive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/property_list_serialization.h"
#include "richtext/attributed_string.h"
#include "testsupport/result_matchers.h"

namespace zv::richtext {
namespace {

using platform::ArchivedObject;
using platform::PropertyList;
using platform::PropertyListUid;
using testsupport::IsOk;

const platform::KeyedArchiveClassRegistry& registry() {
  static const platform::KeyedArchiveClassRegistry registry = [] {
    platform::KeyedArchiveClassRegistry created;
    EXPECT_THAT(registerRichTextValueClasses(created), IsOk());
    return created;
  }();
  return registry;
}

platform::Result<ArchivedObject> roundTrip(const ArchivedObject& root,
                                           const std::vector<std::u16string>& allowed) {
  ZV_ASSIGN_OR_RETURN(std::vector<std::uint8_t> bytes, platform::archivedDataWithRootObject(root));
  return platform::unarchivedObject(bytes, allowed, registry());
}

ParagraphStyle oddParagraphStyle() {
  ParagraphStyle style;
  style.alignment = TextAlignment::kJustified;
  style.lineSpacing = 1.5;
  style.paragraphSpacing = 2.25;
  style.paragraphSpacingBefore = 3;
  style.lineHeightMultiple = 1.2;
  style.minimumLineHeight = 10;
  style.maximumLineHeight = 40;
  style.headIndent = 1.0 / 3;
  style.firstLineHeadIndent = -4;
  style.tailIndent = -20;
  style.tabStops = {{TextAlignment::kRight, 100.125},
                    {TextAlignment::kCenter, 7},
                    {TextAlignment::kNatural, 0},
                    {TextAlignment::kJustified, 1e6}};
  style.defaultTabInterval = 36;
  style.textLists = {{TextList::kMarkerDisc, 1}, {u"({lower-roman})", -3}};
  style.headerLevel = 3;
  return style;
}

TEST(RichTextArchiveTest, ParagraphStylesRoundTripWithTheirClassOnly) {
  struct Case {
    const char* name;
    ParagraphStyle style;
  };
  ParagraphStyle noTabs;
  ParagraphStyle leftAligned = ParagraphStyle::defaultParagraphStyle();
  leftAligned.alignment = TextAlignment::kLeft;
  ParagraphStyle list = ParagraphStyle::listParagraphStyle();
  list.textLists = {{u"{decimal}.", 5}};
  const Case cases[] = {
      {"default", ParagraphStyle::defaultParagraphStyle()},
      {"left aligned", leftAligned},
      {"no tab stops at all", noTabs},
      {"list", list},
      {"every field odd", oddParagraphStyle()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = roundTrip(archivableParagraphStyle(c.style), {kParagraphStyleClassName});
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(paragraphStyleFromArchivedObject(*decoded), c.style);
  }
}

TEST(RichTextArchiveTest, PresentationIntentsRoundTripWithTheirParents) {
  const PresentationIntent quote = PresentationIntent::blockQuote(1, nullptr);
  const PresentationIntent ordered = PresentationIntent::orderedList(2, &quote);
  const PresentationIntent item = PresentationIntent::listItem(3, 4, &ordered);
  const PresentationIntent intents[] = {
      PresentationIntent::paragraph(0, nullptr),
      PresentationIntent::header(2, 0, nullptr),
      PresentationIntent::codeBlock(u"swift", 7, nullptr),
      PresentationIntent::codeBlock(u"", 8, nullptr),
      PresentationIntent::unorderedList(-1, nullptr),
      PresentationIntent::thematicBreak(9, &quote),
      PresentationIntent::paragraph(5, &item),
  };
  for (std::size_t index = 0; index < std::size(intents); ++index) {
    SCOPED_TRACE(testing::Message() << "intent " << index);
    const PresentationIntent& intent = intents[index];
    auto decoded = roundTrip(archivablePresentationIntent(intent), {kPresentationIntentClassName});
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(presentationIntentFromArchivedObject(*decoded), intent);
  }
}

TEST(RichTextArchiveTest, SecureDecodingRefusesClassesNotAsked) {
  EXPECT_FALSE(roundTrip(archivableParagraphStyle(ParagraphStyle::defaultParagraphStyle()),
                         {kPresentationIntentClassName})
                   .ok());
  EXPECT_FALSE(
      roundTrip(archivableTextList({TextList::kMarkerDisc, 1}), {kParagraphStyleClassName}).ok());
  // A mutable paragraph style is a paragraph style.
  platform::Result<PropertyList> archive =
      platform::archivedRoot(archivableParagraphStyle(oddParagraphStyle()));
  ASSERT_THAT(archive, IsOk());
  for (PropertyList& object : *archive->find(u"$objects")->asArray()) {
    PropertyList* name = object.find(u"$classname");
    if (name != nullptr && *name->asString() == kParagraphStyleClassName) {
      *name = PropertyList(kMutableParagraphStyleClassName);
      object.asDictionary()->set(u"$classes",
                                 PropertyList::Array{kMutableParagraphStyleClassName,
                                                     kParagraphStyleClassName, u"NSObject"});
    }
  }
  auto bytes = platform::writeBinaryPropertyList(*archive);
  ASSERT_THAT(bytes, IsOk());
  auto decoded = platform::unarchivedObject(*bytes, {kParagraphStyleClassName}, registry());
  ASSERT_THAT(decoded, IsOk());
  EXPECT_EQ(paragraphStyleFromArchivedObject(*decoded), oddParagraphStyle());
}

// The archive of text, with change applied to every archived object that has key.
using Change = std::function<void(PropertyList::Dictionary& object, PropertyList::Array& objects)>;
std::vector<std::uint8_t> tamperedArchive(const AttributedString& text, std::u16string_view key,
                                          const Change& change) {
  auto bytes = archivedDataWithAttributedString(text);
  EXPECT_THAT(bytes, IsOk());
  auto archive = platform::readPropertyList(*bytes);
  EXPECT_THAT(archive, IsOk());
  PropertyList::Array& objects = *archive->find(u"$objects")->asArray();
  const std::size_t count = objects.size();
  // Changes may add objects while holding a reference to the one they change.
  objects.reserve(count * 2);
  for (std::size_t index = 0; index < count; ++index) {
    PropertyList::Dictionary* object = objects[index].asDictionary();
    if (object != nullptr && object->contains(key)) {
      change(*object, objects);
    }
  }
  auto tampered = platform::writeBinaryPropertyList(*archive);
  EXPECT_THAT(tampered, IsOk());
  return *tampered;
}

Change setTo(const std::u16string& key, const PropertyList& value) {
  return [key, value](PropertyList::Dictionary& object, PropertyList::Array&) {
    object.set(key, value);
  };
}

Change referTo(const std::u16string& key, const PropertyList& value) {
  return [key, value](PropertyList::Dictionary& object, PropertyList::Array& objects) {
    objects.push_back(value);
    object.set(key, PropertyListUid{objects.size() - 1});
  };
}

TEST(RichTextArchiveTest, DamagedValuesAreLeftOutAndTheTextKept) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::u16string key;
    Change change;
  };
  const Case cases[] = {
      {"measurement of the wrong type", u"NSLineSpacing", setTo(u"NSLineSpacing", u"wide")},
      {"measurement not a number", u"NSLineSpacing", setTo(u"NSLineSpacing", nan)},
      {"fractional header level", u"NSHeaderLevel", setTo(u"NSHeaderLevel", 2.5)},
      {"negative header level", u"NSHeaderLevel", setTo(u"NSHeaderLevel", -1.0)},
      {"huge header level", u"NSHeaderLevel", setTo(u"NSHeaderLevel", 1e300)},
      {"tab stops not an array", u"NSTabStops", referTo(u"NSTabStops", u"tabs")},
      {"tab stop location not a number", u"NSLocation", setTo(u"NSLocation", nan)},
      {"tab alignment unknown", u"NSLocation", setTo(u"NSTextAlignment", 9)},
      {"marker format missing", u"NSMarkerFormat",
       [](PropertyList::Dictionary& object, PropertyList::Array&) {
         object.erase(u"NSMarkerFormat");
       }},
      {"marker format too long", u"NSMarkerFormat",
       referTo(u"NSMarkerFormat", std::u16string(kMaximumArchivedStringLength + 1, u'x'))},
      {"list start of the wrong type", u"NSMarkerFormat", setTo(u"NSStart", u"one")},
      {"intent kind unknown", u"NS.intentKind", setTo(u"NS.intentKind", 8)},
      {"intent parent not an intent", u"NS.intentKind", referTo(u"NS.parentIntent", u"parent")},
      {"intent refers to itself", u"NS.intentKind",
       [](PropertyList::Dictionary& object, PropertyList::Array& objects) {
         for (std::size_t index = 0; index < objects.size(); ++index) {
           if (objects[index].asDictionary() == &object) {
             object.set(u"NS.parentIntent", PropertyListUid{index});
           }
         }
       }},
  };
  ParagraphStyle style = oddParagraphStyle();
  const PresentationIntent intent = PresentationIntent::header(1, 0, nullptr);
  const Attributes attributes = {
      {NSParagraphStyleAttributeName, style},
      {NSPresentationIntentAttributeName, intent},
      {NSUnderlineStyleAttributeName, std::int64_t{1}},
  };
  const AttributedString text(u"Hello", attributes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = attributedStringWithArchivedData(tamperedArchive(text, c.key, c.change));
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(decoded->string(), u"Hello");
    const Attributes& kept = decoded->attributesAtIndex(0);
    EXPECT_TRUE(kept.contains(NSUnderlineStyleAttributeName));
    const bool styleKept = kept.contains(NSParagraphStyleAttributeName);
    const bool intentKept = kept.contains(NSPresentationIntentAttributeName);
    // Exactly the damaged value is gone: intent keys start with "NS.", the others belong to
    // the paragraph style.
    const bool intentDamaged = c.key.starts_with(u"NS.");
    EXPECT_EQ(styleKept, intentDamaged);
    EXPECT_EQ(intentKept, !intentDamaged);
  }
}

TEST(RichTextArchiveTest, HostileSizesAreBounded) {
  auto withTabs = [](std::size_t count) {
    ParagraphStyle style;
    style.tabStops.assign(count, TextTab{TextAlignment::kLeft, 10});
    return Attributes{{NSParagraphStyleAttributeName, style}};
  };
  auto withLists = [](std::size_t count) {
    ParagraphStyle style;
    style.textLists.assign(count, TextList{TextList::kMarkerHyphen, 1});
    return Attributes{{NSParagraphStyleAttributeName, style}};
  };
  auto nested = [](std::size_t depth) {
    std::optional<PresentationIntent> intent;
    for (std::size_t level = 0; level < depth; ++level) {
      intent = PresentationIntent::blockQuote(static_cast<std::int64_t>(level),
                                              intent ? &*intent : nullptr);
    }
    return Attributes{{NSPresentationIntentAttributeName, *intent}};
  };
  auto directions = [](std::size_t count) {
    return Attributes{{NSWritingDirectionAttributeName, std::vector<std::int64_t>(count, 1)}};
  };
  // Each text carries one attribute, which is kept or left out whole.
  const struct {
    const char* name;
    Attributes attributes;
    bool kept;
  } cases[] = {
      {"most tab stops", withTabs(kMaximumArchivedTabStops), true},
      {"too many tab stops", withTabs(kMaximumArchivedTabStops + 1), false},
      {"most text lists", withLists(kMaximumArchivedTextLists), true},
      {"too many text lists", withLists(kMaximumArchivedTextLists + 1), false},
      {"deepest intent", nested(kMaximumArchivedIntentDepth), true},
      {"intent nested too deep", nested(kMaximumArchivedIntentDepth + 1), false},
      {"writing directions", directions(2), true},
      {"too many writing directions", directions(65), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const AttributedString text(u"Hi", c.attributes);
    auto bytes = archivedDataWithAttributedString(text);
    ASSERT_THAT(bytes, IsOk());
    auto decoded = attributedStringWithArchivedData(*bytes);
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(*decoded, c.kept ? text : AttributedString(u"Hi"));
  }
}

TEST(RichTextArchiveTest, DynamicColoursTravelAsSystemCatalogColours) {
  for (const Color& color :
       {Color::textColor(), Color::labelColor(), Color::secondaryLabelColor()}) {
    SCOPED_TRACE(testing::Message() << "dynamic colour " << static_cast<int>(color.dynamic));
    const AttributedString text(u"Hi", {{NSForegroundColorAttributeName, color}});
    auto bytes = archivedDataWithAttributedString(text);
    ASSERT_THAT(bytes, IsOk());
    auto decoded = attributedStringWithArchivedData(*bytes);
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(*decoded, text);

    // A reader without the colour's name gets the fixed colour stored beside it.
    const std::vector<std::uint8_t> renamed =
        tamperedArchive(text, u"NSColorName", referTo(u"NSColorName", u"controlAccentColor"));
    decoded = attributedStringWithArchivedData(renamed);
    ASSERT_THAT(decoded, IsOk());
    const Attributes& attributes = decoded->attributesAtIndex(0);
    ASSERT_TRUE(attributes.contains(NSForegroundColorAttributeName));
    const Color& fallback = std::get<Color>(attributes.at(NSForegroundColorAttributeName));
    EXPECT_FALSE(fallback.isDynamic());
    EXPECT_TRUE(
        fallback.isEqualToColorQuennetVersion(color.resolvedForAppearance(Appearance::kLight)));
  }
}

}  // namespace
}  // namespace zv::richtext
