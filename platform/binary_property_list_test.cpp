#include "platform/binary_property_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "testsupport/binary_property_list_bytes.h"
#include "testsupport/result_matchers.h"

namespace zv::platform {
namespace {

using ::testing::HasSubstr;
using testsupport::assembleBinaryPropertyList;
using testsupport::IsOk;
using testsupport::IsPlatformError;

using Bytes = std::vector<std::uint8_t>;

// The bytes of the objects of a file we wrote (between header and offset table).
Bytes objectArea(const Bytes& file) {
  std::uint64_t tableOffset = 0;
  for (std::size_t i = file.size() - 8; i < file.size(); ++i) {
    tableOffset = tableOffset << 8 | file[i];
  }
  return Bytes(file.begin() + 8, file.begin() + static_cast<std::ptrdiff_t>(tableOffset));
}

PropertyList nested(std::size_t depth) {
  PropertyList value = PropertyList(PropertyList::Array{});
  for (std::size_t i = 1; i < depth; ++i) {
    value = PropertyList(PropertyList::Array{std::move(value)});
  }
  return value;
}

// Every type and integer width against an independent reader is the interoperability test's job;
// these are the edges it does not reach.
TEST(BinaryPropertyListTest, EdgeValuesSurviveARoundTrip) {
  const PropertyList cases[] = {
      PropertyList(PropertyList::Array{PropertyListUid{UINT64_MAX}, u""}),
      nested(kPropertyListMaximumDepth),
      // The last object, a string, starts past 65,535 but ends less than its length beyond:
      // offsets must widen for where it starts.
      PropertyList(PropertyList::Array{std::u16string(65'530, u'a'), std::u16string(100, u'b')}),
  };
  for (const PropertyList& value : cases) {
    SCOPED_TRACE(toUtf8(propertyListTypeName(value.type())));
    auto bytes = writeBinaryPropertyList(value);
    ASSERT_THAT(bytes, IsOk());
    auto read = readBinaryPropertyList(*bytes);
    ASSERT_THAT(read, IsOk());
    EXPECT_EQ(*read, value);
  }
}

TEST(BinaryPropertyListTest, WritesLongStringsAsciiOnlyWhenEveryUnitIs) {
  struct Case {
    const char* name;
    std::optional<std::size_t> at;
    char16_t unit;
  };
  // 40 units, so that a unit falls in each part of the loops that test and narrow them.
  const Case cases[] = {
      {"all ASCII", std::nullopt, u'a'},
      {"e acute first", 0, u'\u00e9'},
      {"L stroke, low byte ASCII, in the second eight", 9, u'\u0141'},
      {"e acute in the second sixteen", 20, u'\u00e9'},
      {"e acute last", 39, u'\u00e9'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string text;
    for (std::size_t i = 0; i < 40; ++i) {
      text.push_back(i == c.at ? c.unit : static_cast<char16_t>(u'a' + i % 26));
    }
    const bool ascii = !c.at.has_value();
    Bytes expected = {static_cast<std::uint8_t>(ascii ? 0x5F : 0x6F), 0x10, 40};
    for (char16_t unit : text) {
      if (!ascii) {
        expected.push_back(static_cast<std::uint8_t>(unit >> 8));
      }
      expected.push_back(static_cast<std::uint8_t>(unit));
    }
    auto bytes = writeBinaryPropertyList(PropertyList(text));
    ASSERT_THAT(bytes, IsOk());
    EXPECT_EQ(objectArea(*bytes), expected);
    auto read = readBinaryPropertyList(*bytes);
    ASSERT_THAT(read, IsOk());
    EXPECT_EQ(*read, PropertyList(text));
  }
}

TEST(BinaryPropertyListTest, StoresEqualScalarsOnceButNeverMergesContainers) {
  PropertyList::Dictionary dictionary;
  dictionary.set(u"a", u"a");
  dictionary.set(u"b", PropertyList::Array{1, 1, PropertyList::Array{}, PropertyList::Array{}});
  auto bytes = writeBinaryPropertyList(dictionary);
  ASSERT_TRUE(bytes.ok());
  // dict, "a" (key and value), "b", array, 1, two empty arrays; keys first, then values.
  const Bytes expected = {0xD2, 1, 2, 1, 3, 0x51, 'a', 0x51, 'b',
                          0xA4, 4, 4, 5, 6, 0x10, 1,   0xA0, 0xA0};
  EXPECT_EQ(objectArea(*bytes), expected);
}

TEST(BinaryPropertyListTest, WidensReferencesOnlyWhenTheObjectCountNeedsIt) {
  const std::pair<int, std::uint8_t> cases[] = {{255, 1}, {256, 2}, {70000, 4}};
  for (const auto& [distinctValues, expectedRefWidth] : cases) {
    PropertyList::Array array;
    for (int i = 0; i < distinctValues; ++i) {
      array.emplace_back(i);
    }
    auto bytes = writeBinaryPropertyList(PropertyList(std::move(array)));
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ((*bytes)[bytes->size() - 25], expectedRefWidth) << distinctValues;
    auto read = readBinaryPropertyList(*bytes);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->asArray()->size(), static_cast<std::size_t>(distinctValues));
  }
}

TEST(BinaryPropertyListTest, RefusesToWriteWhatItCouldNotReadBack) {
  PropertyList::Dictionary loneSurrogateKey;
  loneSurrogateKey.set(std::u16string(1, 0xDC00), 1);
  const std::pair<const char*, PropertyList> cases[] = {
      {"too deep", nested(kPropertyListMaximumDepth + 1)},
      {"lone surrogate", PropertyList(std::u16string(1, 0xD800))},
      {"lone surrogate key",
       PropertyList(PropertyList::Array{PropertyList::Dictionary{}, loneSurrogateKey})},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(writeBinaryPropertyList(value),
                IsPlatformError(PlatformErrorCode::kPropertyListWriteInvalid));
  }
}

Bytes withByteFromEnd(Bytes file, std::size_t fromEnd, std::uint8_t value) {
  file[file.size() - fromEnd] = value;
  return file;
}

Bytes hugelyNestedArrays(std::size_t depth) {
  // Array i refers to array i + 1; four-byte references.
  std::vector<Bytes> objects;
  for (std::size_t i = 0; i < depth; ++i) {
    const std::uint64_t next = i + 1 < depth ? i + 1 : i;
    objects.push_back({0xA1, static_cast<std::uint8_t>(next >> 24),
                       static_cast<std::uint8_t>(next >> 16), static_cast<std::uint8_t>(next >> 8),
                       static_cast<std::uint8_t>(next)});
  }
  objects.back() = {0xA0};
  return assembleBinaryPropertyList(objects, 0, 4, 4);
}

Bytes doublingArrays(std::size_t levels) {
  // Each array holds its successor twice: a small file that would expand to 2^levels values.
  std::vector<Bytes> objects;
  for (std::size_t i = 0; i + 1 < levels; ++i) {
    const auto next = static_cast<std::uint8_t>(i + 1);
    objects.push_back({0xA2, next, next});
  }
  objects.push_back({0x51, 'x'});
  return assembleBinaryPropertyList(objects);
}

// An ASCII string object of 40 letters, with byte 0xE9 at badAt when given: long enough that
// each part of the widening loop sees a byte.
Bytes longAsciiString(std::optional<std::size_t> badAt = std::nullopt) {
  Bytes object = {0x5F, 0x10, 40};
  for (std::size_t i = 0; i < 40; ++i) {
    object.push_back(i == badAt ? 0xE9 : static_cast<std::uint8_t>('a' + i % 26));
  }
  return assembleBinaryPropertyList({object});
}

TEST(BinaryPropertyListTest, HostileInputIsAnErrorNeverACrashOrHang) {
  const Bytes valid = assembleBinaryPropertyList({{0xA1, 1}, {0x51, 'x'}});
  ASSERT_TRUE(readBinaryPropertyList(valid).ok());
  struct Case {
    const char* name;
    Bytes input;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", {}, "The data is not a binary property list"},
      {"not a property list", Bytes(64, 'x'), "The data is not a binary property list"},
      {"truncated trailer", Bytes(valid.begin(), valid.end() - 1), "invalid integer width"},
      {"header only", Bytes(valid.begin(), valid.begin() + 8), "the trailer is missing"},
      {"offset width 3", withByteFromEnd(valid, 26, 3), "invalid integer width"},
      {"reference width 0", withByteFromEnd(valid, 25, 0), "invalid integer width"},
      {"no objects", withByteFromEnd(valid, 17, 0), "invalid object count or root"},
      {"absurd object count", withByteFromEnd(valid, 24, 0x7F), "table does not fit the file"},
      {"root out of range", withByteFromEnd(valid, 9, 2), "invalid object count or root"},
      {"offset table past the end", withByteFromEnd(valid, 1, 0xF0), "table does not fit"},
      {"offset table inside the header", withByteFromEnd(valid, 1, 4), "table does not fit"},
      {"object offset out of range",
       withByteFromEnd(assembleBinaryPropertyList({{0xA1, 1}, {0x51, 'x'}}, 0, 1, 1), 33, 0xF0),
       "an object offset is out of range"},
      {"reference out of range", assembleBinaryPropertyList({{0xA1, 7}, {0x51, 'x'}}),
       "reference is out of range"},
      {"array contains itself", assembleBinaryPropertyList({{0xA1, 0}}),
       "a container contains itself"},
      {"cycle through a dictionary",
       assembleBinaryPropertyList({{0xA1, 1}, {0xD1, 2, 0}, {0x51, 'k'}}),
       "a container contains itself"},
      {"count runs past the data",
       assembleBinaryPropertyList({{0x4F, 0x13, 0x7F, 0, 0, 0, 0, 0, 0, 0}}),
       "an object runs past the object area"},
      {"array count runs past the data",
       assembleBinaryPropertyList({{0xAF, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}}),
       "an object runs past the object area"},
      {"count is not an integer", assembleBinaryPropertyList({{0x5F, 0x51, 'x'}}),
       "count is not an integer"},
      {"string cut off", assembleBinaryPropertyList({{0x55, 'a', 'b'}}),
       "an object runs past the object area"},
      {"key is not a string", assembleBinaryPropertyList({{0xD1, 1, 1}, {0x10, 1}}),
       "key is not a string"},
      {"lone surrogate", assembleBinaryPropertyList({{0x61, 0xD8, 0x00}}),
       "a string is not valid UTF-16"},
      {"non-ASCII byte in ASCII string", assembleBinaryPropertyList({{0x51, 0xE9}}),
       "holds a non-ASCII byte"},
      {"non-ASCII first byte of a long string", longAsciiString(0), "holds a non-ASCII byte"},
      {"non-ASCII byte in the second sixteen", longAsciiString(17), "holds a non-ASCII byte"},
      {"non-ASCII last byte of a long string", longAsciiString(39), "holds a non-ASCII byte"},
      {"key is a container that contains itself",
       assembleBinaryPropertyList({{0xD1, 1, 2}, {0xA1, 1}, {0x08}}),
       "a container contains itself"},
      {"integer beyond 64 bits",
       assembleBinaryPropertyList({{0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}}),
       "an integer is outside the 64-bit range"},
      {"integer width 32 bytes", assembleBinaryPropertyList({{0x15, 0}}),
       "an integer has an invalid width"},
      {"real width 2 bytes", assembleBinaryPropertyList({{0x21, 0, 0}}),
       "a real has an invalid width"},
      {"UID wider than 64 bits", assembleBinaryPropertyList({{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0}}),
       "UID is wider"},
      {"null object", assembleBinaryPropertyList({{0x00}}), "an object of unsupported type 0"},
      {"set object", assembleBinaryPropertyList({{0xC0}}), "an object of unsupported type 192"},
      {"nested deeper than the bound", hugelyNestedArrays(kPropertyListMaximumDepth + 1),
       "Property list is nested deeper than 512 levels"},
      {"200,000 nested arrays", hugelyNestedArrays(200'000), "nested deeper than 512 levels"},
      {"shared arrays doubling 60 times", doublingArrays(60), "expand beyond any plausible size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(
        readBinaryPropertyList(c.input),
        IsPlatformError(PlatformErrorCode::kPropertyListReadCorrupt, HasSubstr(c.expected)));
  }
}

TEST(BinaryPropertyListTest, ReadsWhatOtherWritersProduceButWeDoNot) {
  PropertyList::Dictionary repeatedKey;
  repeatedKey.set(u"k", 3);
  repeatedKey.set(u"j", 2);
  struct Case {
    const char* name;
    Bytes input;
    PropertyList expected;
  };
  const Case cases[] = {
      {"four-byte real", assembleBinaryPropertyList({{0x22, 0x3F, 0x80, 0, 0}}), PropertyList(1.0)},
      {"negative in sixteen bytes",
       assembleBinaryPropertyList({{0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}}),
       PropertyList(-2)},
      {"four-byte unsigned integer", assembleBinaryPropertyList({{0x12, 0xFF, 0xFF, 0xFF, 0xFF}}),
       PropertyList(std::int64_t{0xFFFFFFFF})},
      {"shared array", assembleBinaryPropertyList({{0xA2, 1, 1}, {0xA1, 2}, {0x10, 3}}),
       PropertyList(PropertyList::Array{PropertyList::Array{3}, PropertyList::Array{3}})},
      {"long ASCII string", longAsciiString(),
       PropertyList(u"abcdefghijklmnopqrstuvwxyzabcdefghijklmn")},
      {"repeated key keeps its place and takes the later value",
       assembleBinaryPropertyList(
           {{0xD3, 1, 2, 1, 3, 4, 5}, {0x51, 'k'}, {0x51, 'j'}, {0x10, 1}, {0x10, 2}, {0x10, 3}}),
       PropertyList(repeatedKey)},
      {"eight-byte references",
       assembleBinaryPropertyList({{0xA1, 0, 0, 0, 0, 0, 0, 0, 1}, {0x08}}, 0, 8, 8),
       PropertyList(PropertyList::Array{false})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto read = readBinaryPropertyList(c.input);
    ASSERT_THAT(read, IsOk());
    EXPECT_EQ(*read, c.expected);
  }
}

}  // namespace
}  // namespace zv::platform
