#include "richtext/attributed_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
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

using Runs = std::vector<AttributeRun>;

// The random edits below check every change against a per-character model; these two
// changes are not among them.
TEST(AttributedStringRunsTest, AppendingAndFilteringKeepRunsMerged) {
  MutableAttributedString appended(u"0123456789");
  appended.appendString(u"abc");
  appended.appendAttributedString(AttributedString(u"de", kBold));
  EXPECT_EQ(appended.runs(), (Runs{{{0, 13}, {}}, {{13, 2}, kBold}}));

  MutableAttributedString tipped(u"0123456789", kBold);
  tipped.addAttribute(u"NSToolTip", std::u16string(u"tip"), {0, 3});
  EXPECT_EQ(tipped.attributedStringKeepingAttributeNames(archivableAttributeNames()),
            AttributedString(u"0123456789", kBold));
}

// The plain model the tree must agree with: one dictionary per code unit.
struct Reference {
  std::u16string text;
  std::vector<Attributes> attributes;

  Range clamped(Range range) const {
    const std::size_t start = std::min(range.location, text.size());
    return {start, std::min(range.length, text.size() - start)};
  }
  void change(Range range, const std::function<void(Attributes&)>& edit) {
    const Range target = clamped(range);
    for (std::size_t i = target.location; i < target.end(); ++i) {
      edit(attributes[i]);
    }
  }
  void replace(Range range, std::u16string_view characters, const Reference* given) {
    const Range target = clamped(range);
    std::vector<Attributes> inserted;
    if (given != nullptr) {
      inserted = given->attributes;
    } else if (!text.empty()) {
      const std::size_t source =
          target.length > 0 || target.location == 0 ? target.location : target.location - 1;
      inserted.assign(characters.size(), attributes[source]);
    } else {
      inserted.assign(characters.size(), Attributes{});
    }
    text.replace(target.location, target.length, characters);
    const auto at = attributes.begin() + static_cast<std::ptrdiff_t>(target.location);
    attributes.erase(at, at + static_cast<std::ptrdiff_t>(target.length));
    attributes.insert(attributes.begin() + static_cast<std::ptrdiff_t>(target.location),
                      inserted.begin(), inserted.end());
  }
  std::vector<AttributeRun> runs() const {
    std::vector<AttributeRun> result;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!result.empty() && result.back().attributes == attributes[i]) {
        ++result.back().range.length;
      } else {
        result.push_back({{i, 1}, attributes[i]});
      }
    }
    return result;
  }
  // The stretches of one attribute, as enumerateAttribute must report them.
  std::vector<std::pair<Range, std::optional<AttributeValue>>> stretches(std::u16string_view key,
                                                                         Range range) const {
    std::vector<std::pair<Range, std::optional<AttributeValue>>> result;
    const Range target = clamped(range);
    for (std::size_t i = target.location; i < target.end(); ++i) {
      auto found = attributes[i].find(key);
      std::optional<AttributeValue> value;
      if (found != attributes[i].end()) {
        value = found->second;
      }
      if (!result.empty() && result.back().second == value) {
        ++result.back().first.length;
      } else {
        result.push_back({{i, 1}, value});
      }
    }
    return result;
  }
};

// A small vocabulary, so that random edits often make neighbours equal.
struct RandomText {
  std::mt19937 random;
  const std::u16string keys[3] = {NSFontAttributeName, NSForegroundColorAttributeName,
                                  QNTHighlightAttributeName};

  std::size_t below(std::size_t bound) { return bound == 0 ? 0 : random() % bound; }
  const std::u16string& key() { return keys[below(3)]; }
  AttributeValue value(std::u16string_view forKey) {
    if (forKey == NSFontAttributeName) {
      return Font{below(2) == 0 ? u"A" : u"B", 12};
    }
    if (forKey == NSForegroundColorAttributeName) {
      return Color{Color::Space::kSRGB, below(2) == 0 ? 1.0 : 0.0, 0, 1, 1};
    }
    return true;
  }
  Attributes attributes() {
    Attributes result;
    for (const std::u16string& name : keys) {
      if (below(2) == 0) {
        result.emplace(name, value(name));
      }
    }
    return result;
  }
  std::u16string characters(std::size_t maximum) {
    std::u16string result(below(maximum + 1), u'a');
    for (char16_t& unit : result) {
      unit = static_cast<char16_t>(u'a' + below(26));
    }
    return result;
  }
  Range range(std::size_t length) {
    // Now and then a range that starts or reaches past the end.
    const std::size_t location = below(length + 3);
    const std::size_t size = below(6) == 0 ? below(length + 10) : below(8);
    return {location, size};
  }
};

// Applies one random edit to both the tree and the reference; returns its name for tracing.
std::string randomEdit(RandomText& random, MutableAttributedString& text, Reference& expected) {
  Range range = random.range(expected.text.size());
  // Often whole runs, which changes may handle without cutting any.
  if (random.below(3) == 0 && range.location < text.length()) {
    Range first;
    Range last;
    text.attributesAtIndex(range.location, &first);
    text.attributesAtIndex(std::min(range.end(), text.length()) - 1, &last);
    range = {first.location, std::max(last.end(), first.end()) - first.location};
  }
  switch (random.below(9)) {
    case 0: {
      const Attributes attributes = random.attributes();
      text.setAttributes(attributes, range);
      expected.change(range, [&](Attributes& current) { current = attributes; });
      return "setAttributes";
    }
    case 1: {
      const std::u16string key = random.key();
      const AttributeValue value = random.value(key);
      text.addAttribute(key, value, range);
      expected.change(range, [&](Attributes& current) { current.insert_or_assign(key, value); });
      return "addAttribute";
    }
    case 2: {
      const Attributes attributes = random.attributes();
      text.addAttributes(attributes, range);
      expected.change(range, [&](Attributes& current) {
        for (const auto& [key, value] : attributes) {
          current.insert_or_assign(key, value);
        }
      });
      return "addAttributes";
    }
    case 3: {
      const std::u16string key = random.key();
      text.removeAttribute(key, range);
      expected.change(range, [&](Attributes& current) { current.erase(key); });
      return "removeAttribute";
    }
    case 4: {
      const std::u16string characters = random.characters(5);
      text.replaceCharactersInRange(range, characters);
      expected.replace(range, characters, nullptr);
      return "replaceCharactersInRange";
    }
    case 5: {
      Reference piece{random.characters(6), {}};
      MutableAttributedString inserted;
      for (char16_t unit : piece.text) {
        piece.attributes.push_back(random.below(3) == 0 ? random.attributes() : Attributes{});
        inserted.appendString(std::u16string(1, unit), piece.attributes.back());
      }
      text.replaceCharactersInRange(range, inserted);
      expected.replace(range, piece.text, &piece);
      return "replaceCharactersInRange attributed";
    }
    case 6: {
      text.deleteCharactersInRange(range);
      expected.replace(range, u"", nullptr);
      return "deleteCharactersInRange";
    }
    case 7: {
      const std::u16string characters = random.characters(4);
      const Attributes attributes = random.below(2) == 0 ? random.attributes() : Attributes{};
      text.appendString(characters, attributes);
      expected.text += characters;
      expected.attributes.insert(expected.attributes.end(), characters.size(), attributes);
      return "appendString";
    }
    default: {
      const Range cut = expected.clamped(range);
      Reference piece{expected.text.substr(cut.location, cut.length),
                      {expected.attributes.begin() + static_cast<std::ptrdiff_t>(cut.location),
                       expected.attributes.begin() + static_cast<std::ptrdiff_t>(cut.end())}};
      const AttributedString substring = text.attributedSubstringFromRange(range);
      const std::size_t index = random.below(expected.text.size() + 1);
      text.insertAttributedString(substring, index);
      expected.replace({index, 0}, piece.text, &piece);
      return "insertAttributedString of a substring";
    }
  }
}

// Reads the text back every way it can be read and compares with the reference.
void expectAgrees(RandomText& random, const AttributedString& text, const Reference& expected) {
  ASSERT_EQ(text.string(), expected.text);
  const std::vector<AttributeRun> runs = expected.runs();
  ASSERT_EQ(text.runs(), runs);
  ASSERT_EQ(text.runCount(), runs.size());
  const std::size_t index = random.below(expected.text.size() + 1);
  Range effective;
  const Attributes& attributes = text.attributesAtIndex(index, &effective);
  if (index < expected.text.size()) {
    EXPECT_EQ(attributes, expected.attributes[index]);
    EXPECT_TRUE(std::any_of(runs.begin(), runs.end(),
                            [&](const AttributeRun& run) { return run.range == effective; }));
  }
  const Range window = random.range(expected.text.size());
  const std::u16string key = random.key();
  std::vector<std::pair<Range, std::optional<AttributeValue>>> visited;
  text.enumerateAttribute(key, window, [&](const AttributeValue* value, Range range, bool&) {
    visited.emplace_back(range, value ? std::optional(*value) : std::nullopt);
  });
  const auto stretches = expected.stretches(key, window);
  EXPECT_EQ(visited, stretches);
  for (const auto& [range, value] : stretches) {
    // Every index of a stretch reports the stretch, limited to the window.
    const std::size_t inside = range.location + random.below(range.length);
    Range longest;
    const AttributeValue* found = text.attributeAtIndex(key, inside, &longest, window);
    EXPECT_EQ(found ? std::optional(*found) : std::nullopt, value);
    EXPECT_EQ(longest, range);
  }
}

TEST(AttributedStringModelTest, RandomEditsAgreeWithPerCharacterModel) {
  struct Case {
    const char* name;
    unsigned seed;
    std::size_t initialLength;
    int edits;
  };
  const std::vector<Case> cases = {
      {"from empty", 1, 0, 400},
      {"short text", 2, 12, 400},
      {"longer text, deeper tree", 3, 400, 1500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RandomText random{std::mt19937(c.seed)};
    Reference expected{std::u16string(c.initialLength, u'x'),
                       std::vector<Attributes>(c.initialLength)};
    MutableAttributedString text(expected.text);
    std::optional<std::pair<AttributedString, Reference>> copy;
    for (int step = 0; step < c.edits; ++step) {
      const std::string edit = randomEdit(random, text, expected);
      SCOPED_TRACE("step " + std::to_string(step) + ": " + edit);
      expectAgrees(random, text, expected);
      if (HasFailure()) {
        return;
      }
      // A copy taken earlier must not see later edits.
      if (step % 50 == 0) {
        if (copy) {
          expectAgrees(random, copy->first, copy->second);
        }
        copy.emplace(text, expected);
      }
    }
  }
}

TEST(AttributedStringModelTest, InsertingATextIntoItselfCopiesItFirst) {
  MutableAttributedString text(u"abcdefgh");
  text.setAttributes(kBold, {0, 2});
  text.setAttributes(kRed, {2, 2});
  text.setAttributes(kBold, {4, 2});
  const AttributedString original = text;
  text.insertAttributedString(text, 2);
  MutableAttributedString expected(original.attributedSubstringFromRange({0, 2}));
  expected.appendAttributedString(original);
  expected.appendAttributedString(original.attributedSubstringFromRange({2, 6}));
  EXPECT_EQ(text, expected);
}

TEST(AttributedStringModelTest, EnumerationVisitsMaximalRuns) {
  // Font A over "abcde", red over "de" and "hi"; "fg" plain.
  MutableAttributedString text(u"abcdefghi");
  const AttributeValue font = Font{u"A", 12};
  text.addAttribute(NSFontAttributeName, font, {0, 5});
  text.addAttributes(kRed, {3, 2});
  text.addAttributes(kRed, {7, 2});
  struct Case {
    const char* name;
    std::u16string key;  // empty: all attributes
    Range range;
    bool stopAfterFirst;
    std::vector<std::pair<Range, bool>> expected;  // visited range, attribute present
  };
  // The random edits check one attribute's stretches and their ranges inside a window; these
  // are the readings they do not make.
  const std::vector<Case> cases = {
      {"all attributes",
       u"",
       {1, 7},
       false,
       {{{1, 2}, true}, {{3, 2}, true}, {{5, 2}, false}, {{7, 1}, true}}},
      {"stop ends the visit", NSForegroundColorAttributeName, {0, 9}, true, {{{0, 3}, false}}},
      {"stop ends the visit of all attributes", u"", {0, 9}, true, {{{0, 3}, true}}},
      {"empty range", u"", {4, 0}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<Range, bool>> visited;
    if (c.key.empty()) {
      text.enumerateAttributesInRange(c.range,
                                      [&](const Attributes& attributes, Range range, bool& stop) {
                                        visited.emplace_back(range, !attributes.empty());
                                        stop = c.stopAfterFirst;
                                      });
    } else {
      text.enumerateAttribute(c.key, c.range,
                              [&](const AttributeValue* value, Range range, bool& stop) {
                                visited.emplace_back(range, value != nullptr);
                                stop = c.stopAfterFirst;
                              });
    }
    EXPECT_EQ(visited, c.expected);
  }

  // Without a limit the effective range reaches as far as the value does.
  Range longest;
  EXPECT_EQ(text.attributeAtIndex(NSForegroundColorAttributeName, 6, &longest), nullptr);
  EXPECT_EQ(longest, (Range{5, 2}));
  EXPECT_EQ(*text.attributeAtIndex(NSFontAttributeName, 4, &longest), font);
  EXPECT_EQ(longest, (Range{0, 5}));
}

TEST(AttributedStringModelTest, EnumerationToleratesEditsByTheVisitor) {
  // Colour stretches alternate with plain ones; the visitor turns each coloured stretch into a
  // font, which merges it with what was visited before.
  MutableAttributedString text(u"0123456789");
  MutableAttributedString expected = text;
  for (std::size_t location : {1u, 4u, 7u}) {
    text.addAttributes(kRed, {location, 2});
    expected.addAttributes(kBold, {location, 2});
  }
  std::vector<Range> visited;
  text.enumerateAttribute(NSForegroundColorAttributeName, {0, 10},
                          [&](const AttributeValue* value, Range range, bool&) {
                            visited.push_back(range);
                            text.removeAttribute(NSForegroundColorAttributeName, range);
                            if (value != nullptr) {
                              text.addAttributes(kBold, range);
                            }
                          });
  EXPECT_EQ(visited, (std::vector<Range>{{0, 1}, {1, 2}, {3, 1}, {4, 2}, {6, 1}, {7, 2}, {9, 1}}));
  EXPECT_EQ(text, expected);

  // Removing characters under the visit ends it at the new end, without reading freed runs.
  std::vector<Range> cut;
  text.enumerateAttributesInRange({0, 10}, [&](const Attributes&, Range range, bool&) {
    cut.push_back(range);
    text.deleteCharactersInRange({range.end(), 5});
  });
  EXPECT_EQ(cut, (std::vector<Range>{{0, 1}, {1, 1}}));
  EXPECT_EQ(text.string(), u"06");
}

TEST(AttributedStringSharingTest, EqualValuesHashEqual) {
  Font named{u"Helvetica", 12};
  Font described = named;
  described.family = u"Helvetica";
  described.weight = 0.4;
  ParagraphStyle negativeZero;
  negativeZero.headIndent = -0.0;
  const struct {
    const char* name;
    AttributeValue a;
    AttributeValue b;
  } cases[] = {
      {"signed zeros", 0.0, -0.0},
      {"font family and weight", named, described},
      {"colour with signed zero", Color{Color::Space::kSRGB, 0.0, 1, 1, 1},
       Color{Color::Space::kSRGB, -0.0, 1, 1, 1}},
      {"paragraph with signed zero", ParagraphStyle{}, negativeZero},
      {"intents built apart", PresentationIntent::blockQuote(1, nullptr),
       PresentationIntent::blockQuote(1, nullptr)},
      {"urls parsed apart", *platform::URL::fromString(u"https://example.com/a"),
       *platform::URL::fromString(u"https://example.com/a")},
  };
  for (const auto& check : cases) {
    SCOPED_TRACE(check.name);
    ASSERT_EQ(check.a, check.b);
    EXPECT_EQ(hashAttributeValue(check.a), hashAttributeValue(check.b));
    EXPECT_EQ(hashAttributes({{NSFontAttributeName, check.a}}),
              hashAttributes({{NSFontAttributeName, check.b}}));
  }
}

TEST(AttributedStringSharingTest, EqualDictionariesBuiltApartAreOneAllocation) {
  Attributes boldAgain = {{NSFontAttributeName, Font{u"Helvetica-Bold", 14}}};
  std::get<Font>(boldAgain.at(NSFontAttributeName)).family = u"Helvetica";
  MutableAttributedString text(u"0123456789abcdefghij");
  text.setAttributes(kBold, {0, 2});
  text.setAttributes(kRed, {2, 2});
  text.setAttributes(boldAgain, {4, 2});
  text.addAttributes(kBold, {8, 2});
  text.replaceCharactersInRange({12, 2}, AttributedString(u"xy", kBold));
  text.appendString(u"zz", kRed);
  text.appendString(u"ww", boldAgain);
  const Attributes* bold = &text.attributesAtIndex(0);
  for (const std::size_t index : {4, 8, 12, 22}) {
    EXPECT_EQ(&text.attributesAtIndex(index), bold) << index;
  }
  EXPECT_EQ(&text.attributesAtIndex(20), &text.attributesAtIndex(2));
  // Sharing survives copies and the text still compares by contents.
  const AttributedString copy = text;
  EXPECT_EQ(&copy.attributesAtIndex(4), &copy.attributesAtIndex(0));
  EXPECT_EQ(copy, text);
}

TEST(AttributedStringSharingTest, SweepingUnusedDictionariesKeepsThoseInUse) {
  MutableAttributedString text(std::u16string(64, u'x'));
  text.setAttributes(kBold, {0, 1});
  // Far more distinct dictionaries come and go than the pool holds before it sweeps.
  for (std::int64_t round = 0; round < 4000; ++round) {
    text.addAttribute(NSUnderlineStyleAttributeName, round,
                      {1 + static_cast<std::size_t>(round % 63), 1});
  }
  text.setAttributes(kBold, {62, 1});
  EXPECT_EQ(&text.attributesAtIndex(62), &text.attributesAtIndex(0));
  text.setAttributes(kBold, {1, 61});
  EXPECT_EQ(text.runs(), (Runs{{{0, 63}, kBold},
                               {{63, 1}, {{NSUnderlineStyleAttributeName, std::int64_t{3968}}}}}));
}

AttributedString richSample() {
  MutableAttributedString text(u"Plain, bold, red link, plain again \U0001F600");
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
  MutableAttributedString text(u"aaabbccc");
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
    Runs expected;
  };
  const Attributes underlined = {{NSUnderlineStyleAttributeName, std::int64_t{2}}};
  const std::vector<Case> cases = {
      {"exact", {2, 0, 3, 0}, {{{0, 5}, underlined}}},
      {"run longer than the text", {2, 0, 200, 1}, {{{0, 2}, underlined}, {{2, 3}, {}}}},
      {"unknown dictionary number", {1, 9, 4, 0}, {{{0, 1}, {}}, {{1, 4}, underlined}}},
      {"runs stop short", {2, 0}, {{{0, 2}, underlined}, {{2, 3}, {}}}},
      {"truncated number", {2, 0x80}, {{{0, 5}, {}}}},
      {"endless continuation bytes", PropertyList::Data(20, 0xff), {{{0, 5}, {}}}},
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
  const std::vector<AttributeRun> runs = text->runs();
  const auto styled = std::count_if(
      runs.begin(), runs.end(), [](const AttributeRun& run) { return !run.attributes.empty(); });
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
