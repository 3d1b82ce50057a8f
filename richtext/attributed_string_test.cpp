#include "richtext/attributed_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/property_list_serialization.h"
#include "testsupport/result_matchers.h"

namespace zv::richtext {
namespace {

using platform::PropertyList;
using platform::PropertyListUid;
using testsupport::IsError;
using testsupport::IsOk;

const Attributes kBold = {{NSFontAttributeName, Font{u"Helvetica-Bold", 14}}};
const Attributes kRed = {
    {NSForegroundColorAttributeName, Color{Color::Space::kCalibratedRGB, 1, 0, 0, 1}}};

std::vector<AttributeRun> runsOf(std::initializer_list<std::pair<Range, Attributes>> runs) {
  std::vector<AttributeRun> result;
  for (const auto& [range, attributes] : runs) {
    result.push_back({range, attributes});
  }
  return result;
}

TEST(AttributedStringRunsTest, ChangesKeepRunsCoveringAndMerged) {
  struct Case {
    const char* name;
    std::function<void(AttributedString&)> change;
    std::vector<AttributeRun> expected;
  };
  const std::vector<Case> cases = {
      {"middle of one run splits it in three",
       [](AttributedString& text) {
         text.setAttributes(kBold, {2, 3});
       },
       runsOf({{{0, 2}, {}}, {{2, 3}, kBold}, {{5, 5}, {}}})},
      {"range past the end is cut",
       [](AttributedString& text) {
         text.setAttributes(kBold, {8, 100});
       },
       runsOf({{{0, 8}, {}}, {{8, 2}, kBold}})},
      {"range starting past the end changes nothing",
       [](AttributedString& text) {
         text.setAttributes(kBold, {10, 3});
       },
       runsOf({{{0, 10}, {}}})},
      {"equal neighbours merge",
       [](AttributedString& text) {
         text.setAttributes(kBold, {0, 4});
         text.setAttributes(kBold, {4, 6});
       },
       runsOf({{{0, 10}, kBold}})},
      {"removing the only difference merges",
       [](AttributedString& text) {
         text.addAttribute(NSUnderlineStyleAttributeName, std::int64_t{1}, {3, 2});
         text.removeAttribute(NSUnderlineStyleAttributeName, {0, 10});
       },
       runsOf({{{0, 10}, {}}})},
      {"adding keeps other keys of each run",
       [](AttributedString& text) {
         text.setAttributes(kBold, {0, 5});
         text.addAttribute(NSForegroundColorAttributeName, kRed.begin()->second, {3, 4});
       },
       runsOf({{{0, 3}, kBold},
               {{3, 2},
                {{NSFontAttributeName, kBold.begin()->second},
                 {NSForegroundColorAttributeName, kRed.begin()->second}}},
               {{5, 2}, kRed},
               {{7, 3}, {}}})},
      {"appending equal attributes extends the last run",
       [](AttributedString& text) {
         text.appendString(u"abc");
         text.append(AttributedString(u"de", kBold));
       },
       runsOf({{{0, 13}, {}}, {{13, 2}, kBold}})},
      {"keeping names drops the others and merges",
       [](AttributedString& text) {
         text.setAttributes(kBold, {0, 10});
         text.addAttribute(u"NSToolTip", std::u16string(u"tip"), {0, 3});
         text = text.attributedStringKeepingAttributeNames(archivableAttributeNames());
       },
       runsOf({{{0, 10}, kBold}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AttributedString text(u"0123456789");
    c.change(text);
    EXPECT_EQ(text.runs(), c.expected);
  }
}

AttributedString richSample() {
  AttributedString text(u"Plain, bold, red link, plain again \U0001F600");
  text.setAttributes(kBold, {7, 4});
  text.setAttributes(
      {{NSForegroundColorAttributeName, Color{Color::Space::kDeviceRGB, 1, 0.25, 0.1, 0.5}},
       {NSLinkAttributeName, *platform::URL::fromString(u"https://example.com/a?b=c")},
       {NSUnderlineStyleAttributeName, std::int64_t{1}}},
      {13, 8});
  text.addAttribute(QNTHighlightAttributeName, true, {0, 5});
  text.addAttribute(NSLigatureAttributeName, 0.5, {22, 4});
  text.addAttribute(QNTNoteTextStyleIdentifierAttributeName,
                    std::u16string(u"QNTNoteStyleIdentifierBody"), {30, 4});
  text.setAttributes(kBold, {36, 2});
  return text;
}

TEST(AttributedStringArchiveTest, RoundTripsEveryValueKind) {
  struct Case {
    const char* name;
    AttributedString text;
  };
  const std::vector<Case> cases = {
      {"empty", AttributedString()},
      {"one plain run", AttributedString(u"plain")},
      {"one attributed run", AttributedString(u"bold", kBold)},
      {"many runs with repeated dictionaries", richSample()},
      {"link as text",
       AttributedString(u"x", {{NSLinkAttributeName, std::u16string(u"not a url")}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = archivedDataWithAttributedString(c.text);
    ASSERT_THAT(data, IsOk());
    auto decoded = attributedStringWithArchivedData(*data);
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(*decoded, c.text);
  }
}

// Resolves a UID of an archive's object table.
const PropertyList& objectAt(const PropertyList& archive, const PropertyList* reference) {
  return (*archive.find(u"$objects")->asArray())[reference->asUid()->value];
}

TEST(AttributedStringArchiveTest, RunsAreStoredAsThePlatformStoresThem) {
  AttributedString text(u"aaabbccc");
  text.setAttributes(kBold, {3, 2});
  auto data = archivedDataWithAttributedString(text);
  ASSERT_TRUE(data);
  auto archive = platform::readBinaryPropertyList(*data);
  ASSERT_TRUE(archive);
  const PropertyList& root = objectAt(*archive, archive->find(u"$top")->find(u"root"));
  const PropertyList& classRecord = objectAt(*archive, root.find(u"$class"));
  EXPECT_EQ(*classRecord.find(u"$classname")->asString(), u"NSAttributedString");
  EXPECT_EQ(*objectAt(*archive, root.find(u"NSString")).asString(), u"aaabbccc");
  const PropertyList& info = objectAt(*archive, root.find(u"NSAttributeInfo"));
  ASSERT_NE(info.asData(), nullptr);
  EXPECT_EQ(*info.asData(), (PropertyList::Data{3, 0, 2, 1, 3, 0}));
  EXPECT_EQ(objectAt(*archive, root.find(u"NSAttributes")).find(u"NS.objects")->asArray()->size(),
            2u);

  auto single = platform::readBinaryPropertyList(
      *archivedDataWithAttributedString(AttributedString(u"x", kBold)));
  const PropertyList& singleRoot = objectAt(*single, single->find(u"$top")->find(u"root"));
  EXPECT_EQ(singleRoot.find(u"NSAttributeInfo"), nullptr) << "one run stores its dictionary alone";
}

// GCC 12 at -O2 takes the moved-from property lists below for uninitialised (a false warning
// that comes and goes with inlining decisions).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Builds an archive by hand: the root attributed string with one attribute dictionary whose
// values are objects added to the table first.
class HandArchive {
 public:
  std::uint64_t add(PropertyList value) {
    objects_.push_back(std::move(value));
    return objects_.size() - 1;
  }
  // An object of the class, with a class record of its own.
  std::uint64_t addObject(const std::u16string& className, PropertyList::Dictionary values) {
    PropertyList::Dictionary record;
    record.set(u"$classname", className);
    record.set(u"$classes", PropertyList::Array{className, u"NSObject"});
    values.set(u"$class", PropertyListUid{add(std::move(record))});
    return add(std::move(values));
  }
  void attribute(std::u16string key, std::uint64_t valueUid) {
    keys_.push_back(PropertyListUid{add(std::move(key))});
    values_.push_back(PropertyListUid{valueUid});
  }

  std::vector<std::uint8_t> bytes(std::u16string text = u"Hello",
                                  std::optional<PropertyList::Data> info = std::nullopt) {
    PropertyList::Dictionary dictionary;
    dictionary.set(u"NS.keys", keys_);
    dictionary.set(u"NS.objects", values_);
    const std::uint64_t dictionaryUid = addObject(u"NSDictionary", std::move(dictionary));
    PropertyList::Dictionary root;
    root.set(u"NSString", PropertyListUid{add(std::move(text))});
    root.set(u"NSAttributes", PropertyListUid{dictionaryUid});
    if (info) {
      PropertyList::Dictionary array;
      array.set(u"NS.objects", PropertyList::Array{PropertyListUid{dictionaryUid}});
      root.set(u"NSAttributes", PropertyListUid{addObject(u"NSArray", std::move(array))});
      root.set(u"NSAttributeInfo", PropertyListUid{add(std::move(*info))});
    }
    PropertyList::Dictionary top;
    top.set(u"root", PropertyListUid{addObject(u"NSAttributedString", std::move(root))});
    PropertyList::Dictionary archive;
    archive.set(u"$version", 100000);
    archive.set(u"$archiver", u"NSKeyedArchiver");
    archive.set(u"$top", std::move(top));
    archive.set(u"$objects", objects_);
    return *platform::writeBinaryPropertyList(archive);
  }

 private:
  PropertyList::Array objects_ = {u"$null"};
  PropertyList::Array keys_;
  PropertyList::Array values_;
};

TEST(AttributedStringArchiveTest, UnknownClassesAndShapesAreDroppedNotFatal) {
  HandArchive archive;
  PropertyList::Dictionary font;
  font.set(u"NSName", PropertyListUid{archive.add(u"Menlo")});
  font.set(u"NSSize", 12.5);
  archive.attribute(NSFontAttributeName, archive.addObject(u"NSFont", font));
  PropertyList::Dictionary style;
  style.set(u"NSAlignment", 4);
  archive.attribute(NSParagraphStyleAttributeName, archive.addObject(u"NSParagraphStyle", style));
  PropertyList::Dictionary pattern;
  pattern.set(u"NSColorSpace", 10);
  archive.attribute(NSBackgroundColorAttributeName, archive.addObject(u"NSColor", pattern));
  PropertyList::Dictionary white;
  white.set(u"NSColorSpace", 3);
  white.set(u"NSWhite", PropertyList::Data{'0', '.', '5', 0});
  archive.attribute(NSForegroundColorAttributeName, archive.addObject(u"NSColor", white));
  PropertyList::Dictionary badFont;
  badFont.set(u"NSName", 7);
  archive.attribute(u"BadFont", archive.addObject(u"NSFont", badFont));
  archive.attribute(NSUnderlineStyleAttributeName, archive.add(1));

  auto text = attributedStringWithArchivedData(archive.bytes());
  ASSERT_THAT(text, IsOk());
  const Attributes expected = {
      {NSFontAttributeName, Font{u"Menlo", 12.5}},
      {NSForegroundColorAttributeName, Color{Color::Space::kCalibratedRGB, 0.5, 0.5, 0.5, 1}},
      {NSUnderlineStyleAttributeName, std::int64_t{1}},
      // Natural alignment and no tab stops given: the default paragraph style.
      {NSParagraphStyleAttributeName, ParagraphStyle::defaultParagraphStyle()},
  };
  EXPECT_EQ(*text, AttributedString(u"Hello", expected));
}

TEST(AttributedStringArchiveTest, DamagedRunInformationKeepsTheText) {
  struct Case {
    const char* name;
    PropertyList::Data info;
    std::vector<AttributeRun> expected;
  };
  const Attributes underlined = {{NSUnderlineStyleAttributeName, std::int64_t{2}}};
  const std::vector<Case> cases = {
      {"exact", {2, 0, 3, 0}, runsOf({{{0, 5}, underlined}})},
      {"run longer than the text", {2, 0, 200, 1}, runsOf({{{0, 2}, underlined}, {{2, 3}, {}}})},
      {"unknown dictionary number", {1, 9, 4, 0}, runsOf({{{0, 1}, {}}, {{1, 4}, underlined}})},
      {"runs stop short", {2, 0}, runsOf({{{0, 2}, underlined}, {{2, 3}, {}}})},
      {"truncated number", {2, 0x80}, runsOf({{{0, 5}, {}}})},
      {"endless continuation bytes", PropertyList::Data(20, 0xff), runsOf({{{0, 5}, {}}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandArchive archive;
    archive.attribute(NSUnderlineStyleAttributeName, archive.add(2));
    auto text = attributedStringWithArchivedData(archive.bytes(u"Hello", c.info));
    ASSERT_THAT(text, IsOk());
    EXPECT_EQ(text->string(), u"Hello");
    EXPECT_EQ(text->runs(), c.expected);
  }
}

TEST(AttributedStringArchiveTest, HostileRunsCannotMultiplyAttributes) {
  // A 100,000-unit value on 10,000 separate runs would be 2 GB of copies; empty runs come first.
  HandArchive archive;
  archive.attribute(QNTNoteTextStyleIdentifierAttributeName,
                    archive.add(std::u16string(100000, u'x')));
  PropertyList::Data info(200000, 0);
  for (int i = 0; i < 10000; ++i) {
    info.insert(info.end(), {1, 0, 1, 9});
  }
  auto text = attributedStringWithArchivedData(archive.bytes(std::u16string(20000, u'a'), info));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->string().size(), 20000u);
  const auto styled =
      std::count_if(text->runs().begin(), text->runs().end(),
                    [](const AttributeRun& run) { return !run.attributes.empty(); });
  EXPECT_GT(styled, 0);
  EXPECT_LT(styled, 1000);
}

TEST(AttributedStringArchiveTest, RefusesWhatIsNoAttributedString) {
  using Code = platform::PlatformErrorCode;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    Code code;
  };
  const std::vector<Case> cases = {
      {"not a property list", {'h', 'e', 'l', 'l', 'o'}, Code::kPropertyListReadCorrupt},
      {"property list without archive frame",
       *platform::writeBinaryPropertyList(PropertyList(PropertyList::Array{1, 2})),
       Code::kKeyedArchiveReadCorrupt},
      {"root of another class",
       *platform::archivedDataWithRootObject(platform::ArchivedObject(u"text")),
       Code::kKeyedArchiveReadCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(attributedStringWithArchivedData(c.bytes),
                IsError(platform::kPlatformErrorDomain, static_cast<std::int64_t>(c.code)));
  }
}

}  // namespace
}  // namespace zv::richtext
