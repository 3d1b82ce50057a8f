#include "platform/keyed_archive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/property_list.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testsupport::IsOk;
using testsupport::IsPlatformError;

using Classes = std::vector<std::u16string>;

// A class of ours with every kind of key: integer, real, string object and a nested object.
class TestPoint : public Archivable {
 public:
  TestPoint(std::int64_t x, double y, std::u16string label, ArchivedObject next = {})
      : x_(x), y_(y), label_(std::move(label)), next_(std::move(next)) {}

  std::u16string className() const override { return u"ZVTestPoint"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeInt64(u"x", x_);
    coder.encodeDouble(u"y", y_);
    coder.encodeString(u"label", label_);
    coder.encodeObject(u"next", next_);
  }

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    ZV_ASSIGN_OR_RETURN(const std::int64_t x, coder.decodeInt64ForKey(u"x"));
    ZV_ASSIGN_OR_RETURN(const double y, coder.decodeDoubleForKey(u"y"));
    ZV_ASSIGN_OR_RETURN(std::optional<std::u16string> label, coder.decodeStringForKey(u"label"));
    ZV_ASSIGN_OR_RETURN(ArchivedObject next, coder.decodeObjectForKey(u"next", {u"ZVTestPoint"}));
    return std::shared_ptr<const Archivable>(
        std::make_shared<TestPoint>(x, y, label.value_or(u""), std::move(next)));
  }

  bool sameValues(const TestPoint& other) const {
    const auto otherNext = other.next_.as<TestPoint>();
    const auto next = next_.as<TestPoint>();
    return x_ == other.x_ && y_ == other.y_ && label_ == other.label_ &&
           (next && otherNext ? next->sameValues(*otherNext) : next == otherNext);
  }

  const ArchivedObject& next() const { return next_; }

 private:
  std::int64_t x_;
  double y_;
  std::u16string label_;
  ArchivedObject next_;
};

KeyedArchiveClassRegistry testRegistry() {
  KeyedArchiveClassRegistry registry;
  EXPECT_TRUE(registry.registerClass({u"ZVTestPoint", u"NSObject"}, TestPoint::decode));
  return registry;
}

ArchivedObject point(std::int64_t x, double y, std::u16string label, ArchivedObject next = {}) {
  return ArchivedObject(std::make_shared<TestPoint>(x, y, std::move(label), std::move(next)));
}

Result<ArchivedObject> roundTrip(const ArchivedObject& object, const Classes& allowed) {
  ZV_ASSIGN_OR_RETURN(std::vector<std::uint8_t> data, archivedDataWithRootObject(object));
  return unarchivedObject(data, allowed, testRegistry());
}

ArchivedObject dictionary(std::vector<ArchivedDictionaryEntry> entries) {
  return ArchivedObject(ArchivedObject::Dictionary(std::move(entries)));
}

TEST(KeyedArchiveRoundTripTest, BuiltInValuesComeBackEqual) {
  // What the samples of the other archiver cover stays there; these are the extremes.
  const Classes all = {u"NSArray", u"NSDictionary", u"NSString", u"NSNumber", u"NSData"};
  const ArchivedObject cases[] = {
      ArchivedObject(INT64_MIN),
      ArchivedObject(UINT64_MAX),
      ArchivedObject(-0.5),
      ArchivedObject(ArchivedObject::Data{0, 1, 0xFF}),
      ArchivedObject(ArchivedObject::Array{}),
      ArchivedObject(ArchivedObject::Array{u"a", 1}).withMutableClass(true),
      dictionary({{u"list", ArchivedObject::Array{false, 2.5}},
                  {u"inner", dictionary({}).withMutableClass(true)}}),
  };
  for (const ArchivedObject& object : cases) {
    SCOPED_TRACE(static_cast<int>(object.type()));
    Result<ArchivedObject> decoded = roundTrip(object, all);
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(*decoded, object);
  }
}

TEST(KeyedArchiveRoundTripTest, OwnClassesAndSharedObjectsSurvive) {
  const ArchivedObject first = point(3, 1.5, u"first");
  const ArchivedObject root = ArchivedObject::Array{point(-7, 0, u"second", first), first};
  Result<ArchivedObject> decoded = roundTrip(root, {u"NSArray", u"ZVTestPoint"});
  ASSERT_THAT(decoded, IsOk());
  const ArchivedObject::Array& elements = *decoded->asArray();
  ASSERT_EQ(elements.size(), 2U);
  EXPECT_TRUE(elements[0].as<TestPoint>()->sameValues(*root.asArray()->at(0).as<TestPoint>()));
  // One object referenced twice must decode to one object, not two copies.
  EXPECT_TRUE(elements[0].as<TestPoint>()->next().isSameObject(elements[1]));
}

// Runs the sample script; empty when python3 is unavailable.
class KeyedArchiveSampleTest : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "python3 is not available";
    }
  }

  // What the script writes to its standard output.
  std::string runScript(const std::string& arguments) {
    const std::filesystem::path output = folder_.path("output.txt");
    const std::string command = "python3 '" ZV_SOURCE_DIR
                                "/platform/testdata/keyed_archive_samples.py' " +
                                arguments + " > '" + output.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return testsupport::readFileText(output).value_or("");
  }

  std::vector<std::uint8_t> readSample(const std::string& name) {
    return testsupport::readFileBytes(folder_.path(name + ".plist")).value_or(PropertyList::Data{});
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(KeyedArchiveSampleTest, PlatformShapedArchivesDecode) {
  runScript("write '" + folder_.path().string() + "'");
  const ArchivedObject shared = ArchivedObject(u"once").withMutableClass(true);
  struct Case {
    std::string sample;
    Classes allowed;
    ArchivedObject expected;
  } cases[] = {
      {"inline_string", {u"NSString"}, u"caf\u00e9 \U0001F600"},
      {"every_built_in",
       {u"NSArray", u"NSString", u"NSNumber", u"NSData", u"NSDate", u"NSNull"},
       ArchivedObject(ArchivedObject::Array{
                          u"text", -42, 0.25, true, ArchivedObject::Data{0, 1, 0xFF}, Date{86400.5},
                          ArchivedNull{}, ArchivedObject(u"mutable").withMutableClass(true),
                          ArchivedObject(ArchivedObject::Data{7}).withMutableClass(true)})
           .withMutableClass(true)},
      {"nested_dictionary",
       {u"NSDictionary", u"NSArray", u"NSString", u"NSNumber"},
       dictionary({{u"name", u"Zelvar"}, {u"list", ArchivedObject::Array{1, 2}}})
           .withMutableClass(true)},
      {"shared_element", {u"NSArray", u"NSString"}, ArchivedObject::Array{shared, shared}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.sample);
    Result<ArchivedObject> decoded =
        unarchivedObject(readSample(test.sample), test.allowed, testRegistry());
    ASSERT_THAT(decoded, IsOk());
    EXPECT_EQ(*decoded, test.expected);
  }
  Result<ArchivedObject> points =
      unarchivedObject(readSample("custom_objects"), {u"NSArray", u"ZVTestPoint"}, testRegistry());
  ASSERT_THAT(points, IsOk());
  const ArchivedObject::Array& elements = *points->asArray();
  EXPECT_TRUE(elements.at(0).as<TestPoint>()->sameValues(
      TestPoint(-7, 0, u"second", point(3, 1.5, u"first"))));
  EXPECT_TRUE(elements.at(0).as<TestPoint>()->next().isSameObject(elements.at(1)));
}

TEST_F(KeyedArchiveSampleTest, OurArchivesHaveThePlatformStructure) {
  const ArchivedObject first = point(3, 1.5, u"first");
  // Each root and what the script shows of our archive of it.
  const std::pair<ArchivedObject, std::string> cases[] = {
      {ArchivedObject(), "null"},
      {ArchivedObject(u"caf\u00e9"), R"("caf\u00e9")"},
      {ArchivedObject::Array{u"a", 2, true, ArchivedNull{}, Date{10}},
       R"(["a", 2, true, {"$": "NSNull"}, {"$": "NSDate", "NS.time": 10.0}])"},
      {ArchivedObject(
           ArchivedObject::Array{ArchivedObject(u"s").withMutableClass(true),
                                 ArchivedObject(ArchivedObject::Data{1}).withMutableClass(true)})
           .withMutableClass(true),
       R"([{"$": "NSMutableString", "NS.string": "s"}, {"$": "NSMutableData", "NS.data": "01"}])"},
      {dictionary({{u"k", 1}}).withMutableClass(true), R"({"k": 1})"},
      {ArchivedObject::Array{point(-7, 0, u"second", first), first},
       R"([{"$": "ZVTestPoint", "label": "second", "next": {"$": "ZVTestPoint", "label": )"
       R"("first", "next": null, "x": 3, "y": 1.5}, "x": -7, "y": 0.0}, {"$": "ZVTestPoint", )"
       R"("label": "first", "next": null, "x": 3, "y": 1.5}])"},
  };
  // One run of the script for all cases keeps the test fast.
  std::string files;
  std::string expected;
  int number = 0;
  for (const auto& [root, shown] : cases) {
    Result<std::vector<std::uint8_t>> data = archivedDataWithRootObject(root);
    ASSERT_THAT(data, IsOk());
    const std::filesystem::path file = folder_.path("ours" + std::to_string(number++) + ".plist");
    ASSERT_TRUE(testsupport::writeFileText(file, std::string(data->begin(), data->end())));
    files += " '" + file.string() + "'";
    expected += shown + "\n";
  }
  EXPECT_EQ(runScript("show" + files), expected);
}

// ---------------------------------------------------------------------------------------------
// Hostile and damaged archives

PropertyList uid(std::uint64_t value) {
  return PropertyListUid{value};
}

PropertyList classRecord(const std::u16string& name, const PropertyList::Array& chain = {}) {
  PropertyListDictionary record;
  record.set(u"$classname", name);
  record.set(u"$classes", chain.empty() ? PropertyList::Array{name, u"NSObject"} : chain);
  return record;
}

PropertyList object(std::uint64_t classUid, std::vector<PropertyListDictionary::Entry> fields) {
  PropertyListDictionary record;
  for (PropertyListDictionary::Entry& field : fields) {
    record.set(std::move(field.key), std::move(field.value));
  }
  record.set(u"$class", uid(classUid));
  return record;
}

// An NSArray object whose class record is object classUid.
PropertyList arrayObject(std::uint64_t classUid, PropertyList::Array elements) {
  return object(classUid, {{u"NS.objects", std::move(elements)}});
}

PropertyList archive(PropertyList::Array objects, std::optional<PropertyList> root = uid(1)) {
  PropertyListDictionary top;
  if (root) {
    top.set(u"root", *root);
  }
  PropertyListDictionary result;
  result.set(u"$version", 100000);
  result.set(u"$archiver", u"NSKeyedArchiver");
  result.set(u"$top", std::move(top));
  objects.insert(objects.begin(), u"$null");
  result.set(u"$objects", std::move(objects));
  return result;
}

PropertyList withKey(PropertyList archive, std::u16string key, PropertyList value) {
  archive.asDictionary()->set(std::move(key), std::move(value));
  return archive;
}

// An archive of count arrays, each inside the one before.
PropertyList nestedArrays(std::size_t count) {
  PropertyList::Array objects = {classRecord(u"NSArray")};
  for (std::size_t i = 1; i < count; ++i) {
    objects.push_back(arrayObject(1, {uid(objects.size() + 2)}));
  }
  objects.push_back(arrayObject(1, {}));
  return archive(std::move(objects), uid(2));
}

Classes builtIns() {
  return {u"NSArray", u"NSDictionary", u"NSString", u"NSNumber", u"NSDate"};
}

Result<ArchivedObject> decode(const PropertyList& archive, const Classes& allowed) {
  const KeyedArchiveClassRegistry registry = testRegistry();
  Result<KeyedUnarchiver> unarchiver = KeyedUnarchiver::fromPropertyList(archive, registry);
  return unarchiver ? unarchiver->decodeTopLevelObject(allowed)
                    : Result<ArchivedObject>(unarchiver.error());
}

TEST(KeyedArchiveHostileTest, DamagedOrHostileArchivesAreRefused) {
  const PropertyList array = classRecord(u"NSArray");
  const PropertyList point = classRecord(u"ZVTestPoint");
  const Classes points = {u"ZVTestPoint"};
  PropertyListDictionary classIsNumber;
  classIsNumber.set(u"$class", 2);
  struct Case {
    const char* name;
    PropertyList archive;
    Classes allowed = builtIns();
  } cases[] = {
      {"not a dictionary", PropertyList(u"x")},
      {"other archiver", withKey(archive({u"x"}), u"$archiver", u"Other")},
      {"other version", withKey(archive({u"x"}), u"$version", 7)},
      {"objects without $null", withKey(archive({}), u"$objects", PropertyList::Array{u"x"})},
      {"root is not a reference", archive({u"x"}, PropertyList(1))},
      {"reference past the end", archive({u"x"}, uid(2))},
      {"largest reference", archive({u"x"}, uid(UINT64_MAX))},
      {"object entry is an array", archive({PropertyList::Array{}})},
      {"class is not a reference", archive({PropertyListDictionary(classIsNumber)})},
      {"class is nil", archive({object(0, {})})},
      {"class is a plain object", archive({object(2, {}), u"NSArray"})},
      {"class chain is not text",
       archive({object(2, {}), classRecord(u"NSNull", {1})}),
       {u"NSNull"}},
      {"unknown class", archive({object(2, {}), classRecord(u"Evil")}), {u"Evil"}},
      {"class not allowed", archive({arrayObject(2, {}), array}), {u"NSString"}},
      {"element class not allowed", archive({arrayObject(2, {uid(3)}), array, u"s"}), {u"NSArray"}},
      // The archive may claim any superclass; only what we know of the class counts.
      {"claimed superclass is not trusted",
       archive({object(2, {}), classRecord(u"ZVTestPoint", {u"ZVTestPoint", u"NSString"})}),
       {u"NSString"}},
      {"array contains itself", archive({arrayObject(2, {uid(1)}), array})},
      {"object contains itself", archive({object(2, {{u"next", uid(1)}}), point}), points},
      {"nesting too deep", nestedArrays(kKeyedArchiveMaximumDepth + 1)},
      {"collection holds nil", archive({arrayObject(2, {uid(0)}), array})},
      {"element is not a reference", archive({arrayObject(2, {1}), array})},
      {"dictionary counts differ", archive({object(2, {{u"NS.keys", PropertyList::Array{uid(3)}},
                                                       {u"NS.objects", PropertyList::Array{}}}),
                                            classRecord(u"NSDictionary"), u"k"})},
      {"dictionary key is a number",
       archive({object(2, {{u"NS.keys", PropertyList::Array{uid(3)}},
                           {u"NS.objects", PropertyList::Array{uid(3)}}}),
                classRecord(u"NSDictionary"), 5})},
      {"date holds text", archive({object(2, {{u"NS.time", u"now"}}), classRecord(u"NSDate")})},
      {"mutable string without text", archive({object(2, {}), classRecord(u"NSMutableString")})},
      {"own class key of wrong type", archive({object(2, {{u"x", u"text"}}), point}), points},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_THAT(decode(test.archive, test.allowed),
                IsPlatformError(PlatformErrorCode::kKeyedArchiveReadCorrupt));
  }
  EXPECT_THAT(decode(archive({u"x"}, std::nullopt), builtIns()),
              IsPlatformError(PlatformErrorCode::kKeyedArchiveValueNotFound));
  // Just inside the bound still decodes.
  EXPECT_THAT(decode(nestedArrays(kKeyedArchiveMaximumDepth), builtIns()), IsOk());
}

TEST(KeyedArchiveHostileTest, SharedSubgraphsDecodeOnceInsteadOfExponentially) {
  // Each array holds the previous one twice: 2^80 paths but 80 objects.
  PropertyList::Array objects = {classRecord(u"NSArray"), u"leaf"};
  for (std::uint64_t level = 0; level < 80; ++level) {
    const std::uint64_t previous = objects.size();
    objects.push_back(arrayObject(1, {uid(previous), uid(previous)}));
  }
  const std::uint64_t root = objects.size();
  Result<ArchivedObject> decoded =
      decode(archive(std::move(objects), uid(root)), {u"NSArray", u"NSString"});
  ASSERT_THAT(decoded, IsOk());
  EXPECT_TRUE(decoded->asArray()->at(0).isSameObject(decoded->asArray()->at(1)));
}

TEST(KeyedArchiveHostileTest, ContainerReusedUnderNarrowerClassesIsCheckedAgain) {
  PropertyList value = archive({arrayObject(2, {uid(3)}), classRecord(u"NSArray"), u"text"});
  value.find(u"$top")->asDictionary()->set(u"again", uid(1));
  const KeyedArchiveClassRegistry registry = testRegistry();
  Result<KeyedUnarchiver> unarchiver = KeyedUnarchiver::fromPropertyList(value, registry);
  ASSERT_TRUE(unarchiver);
  EXPECT_TRUE(unarchiver->decodeTopLevelObject({u"NSArray", u"NSString"}));
  EXPECT_FALSE(unarchiver->decodeTopLevelObjectForKey(u"again", {u"NSArray"}));
}

// ---------------------------------------------------------------------------------------------
// Key readers and archiver failures

TEST(KeyedArchiveReaderTest, ReadersAnswerDefaultsForMissingKeysAndRefuseOtherTypes) {
  KeyedArchiver archiver;
  archiver.encodeInt64(u"int", 5);
  archiver.encodeDouble(u"real", 2.5);
  archiver.encodeFloat(u"float", 0.25F);
  archiver.encodeBool(u"flag", true);
  const std::uint8_t bytes[] = {1, 2};
  archiver.encodeBytes(u"bytes", bytes);
  archiver.encodeString(u"text", u"t");
  Result<PropertyList> encoded = archiver.finishEncoding();
  ASSERT_TRUE(encoded);
  const KeyedArchiveClassRegistry registry = testRegistry();
  Result<KeyedUnarchiver> unarchiver = KeyedUnarchiver::fromPropertyList(*encoded, registry);
  ASSERT_TRUE(unarchiver);

  auto shown = [](const auto& result) {
    return result ? ::testing::PrintToString(*result) : std::string("error");
  };
  auto readAll = [&](KeyedUnarchiver& coder, std::u16string_view key) {
    Result<std::optional<std::u16string>> text = coder.decodeStringForKey(key);
    return std::vector<std::string>{shown(coder.decodeInt64ForKey(key)),
                                    shown(coder.decodeDoubleForKey(key)),
                                    shown(coder.decodeBoolForKey(key)),
                                    text ? toUtf8(text->value_or(u"nil")) : std::string("error")};
  };
  // What the int64, double, bool and string readers answer for each key.
  const std::pair<std::u16string, std::vector<std::string>> cases[] = {
      {u"int", {"5", "5", "true", "error"}},          {u"real", {"error", "2.5", "error", "error"}},
      {u"flag", {"error", "error", "true", "error"}}, {u"text", {"error", "error", "error", "t"}},
      {u"missing", {"0", "0", "false", "nil"}},
  };
  for (const auto& [key, expected] : cases) {
    SCOPED_TRACE(toUtf8(key));
    EXPECT_EQ(readAll(*unarchiver, key), expected);
  }
  EXPECT_EQ(shown(unarchiver->decodeFloatForKey(u"float")), "0.25");
  EXPECT_EQ(unarchiver->decodeBytesForKey(u"bytes")->size(), 2U);
  EXPECT_FALSE(unarchiver->decodeBytesForKey(u"int"));
  EXPECT_TRUE(unarchiver->containsValueForKey(u"flag"));
  EXPECT_FALSE(unarchiver->containsValueForKey(u"missing"));
}

// Encodes whatever its function encodes, to provoke archiver failures from inside an object.
class EncodingProbe : public Archivable {
 public:
  EncodingProbe(std::u16string name, std::function<void(KeyedArchiver&)> encode)
      : name_(std::move(name)), encode_(std::move(encode)) {}
  std::u16string className() const override { return name_; }
  void encodeWithCoder(KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::u16string name_;
  std::function<void(KeyedArchiver&)> encode_;
};

ArchivedObject probe(std::function<void(KeyedArchiver&)> encode, std::u16string name = u"P") {
  return ArchivedObject(std::make_shared<EncodingProbe>(std::move(name), std::move(encode)));
}

TEST(KeyedArchiveWriterTest, ValuesThatCannotBeArchivedFail) {
  ArchivedObject deep = point(0, 0, u"end");
  for (std::size_t i = 0; i < kKeyedArchiveMaximumDepth; ++i) {
    deep = point(0, 0, u"", deep);
  }
  const std::pair<const char*, ArchivedObject> cases[] = {
      {"reserved key", probe([](KeyedArchiver& coder) { coder.encodeInt64(u"$class", 1); })},
      {"class without name", probe([](KeyedArchiver&) {}, u"")},
      {"nesting too deep", deep},
  };
  for (const auto& [name, root] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(archivedRoot(root), IsPlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue));
  }
}

TEST(KeyedArchiveWriterTest, RegistryRefusesAmbiguousRegistrations) {
  KeyedArchiveClassRegistry registry = testRegistry();
  const std::pair<Classes, bool> cases[] = {
      {{u"NSArray", u"NSObject"}, false},
      {{u"ZVTestPoint", u"NSObject"}, false},
      {{}, false},
      {{u""}, false},
      {{u"ZVOther", u"NSObject"}, true},
  };
  for (const auto& [hierarchy, expected] : cases) {
    SCOPED_TRACE(hierarchy.empty() ? "" : toUtf8(hierarchy.front()));
    EXPECT_EQ(registry.registerClass(hierarchy, TestPoint::decode).ok(), expected);
  }
}

}  // namespace
}  // namespace zv::platform
