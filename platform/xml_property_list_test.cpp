#include "platform/xml_property_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/property_list_serialization.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"

namespace zv::platform {
namespace {

using ::testing::HasSubstr;
using testsupport::bytesOf;
using testsupport::IsOk;
using testsupport::IsPlatformError;
using Bytes = std::vector<std::uint8_t>;

std::string textOf(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string document(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         std::string(body) + "</plist>\n";
}

std::string nestedArrays(std::size_t depth) {
  std::string opening;
  std::string closing;
  for (std::size_t i = 0; i < depth; ++i) {
    opening += "<array>";
    closing += "</array>";
  }
  return document(opening + closing);
}

TEST(XmlPropertyListTest, WritesTheFormatsLayout) {
  PropertyList::Dictionary webloc;
  webloc.set(u"URL", u"https://example.com/?a=1&b=<2>");
  webloc.set(u"Tags", PropertyList::Array{});
  webloc.set(u"Flags", PropertyList::Array{true, 7, PropertyList::Data{0, 1, 2, 3}});
  auto bytes = writeXmlPropertyList(webloc);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(textOf(*bytes), document("<dict>\n"
                                     "\t<key>URL</key>\n"
                                     "\t<string>https://example.com/?a=1&amp;b=&lt;2&gt;</string>\n"
                                     "\t<key>Tags</key>\n"
                                     "\t<array/>\n"
                                     "\t<key>Flags</key>\n"
                                     "\t<array>\n"
                                     "\t\t<true/>\n"
                                     "\t\t<integer>7</integer>\n"
                                     "\t\t<data>\n"
                                     "\t\tAAECAw==\n"
                                     "\t\t</data>\n"
                                     "\t</array>\n"
                                     "</dict>\n"));
}

TEST(XmlPropertyListTest, EveryValueTypeSurvivesARoundTrip) {
  PropertyList::Dictionary record;
  record.set(u"text", u"caf\u00e9 \U0001F600 a&b <c> \"d\" 'e'\r\n\tf");
  record.set(u"", u"");
  record.set(u"reals", PropertyList::Array{5e-324, -INFINITY, 3.0});
  record.set(u"data", PropertyList::Data{0xFF, 0, 0x7F, 1, 2});
  record.set(u"uid", PropertyListUid{12});
  const PropertyList value(std::move(record));
  auto bytes = writeXmlPropertyList(value);
  ASSERT_TRUE(bytes.ok()) << toUtf8(bytes.error().description);
  auto read = readXmlPropertyList(*bytes);
  ASSERT_TRUE(read.ok()) << toUtf8(read.error().description);
  EXPECT_EQ(*read, value);
}

TEST(XmlPropertyListTest, DatesUseTheFormatsCalendarTextInWholeSeconds) {
  const std::pair<double, std::string> cases[] = {
      {0, "2001-01-01T00:00:00Z"},
      {-978307200, "1970-01-01T00:00:00Z"},
      {1.9, "2001-01-01T00:00:01Z"},
      {-0.5, "2000-12-31T23:59:59Z"},
      {730'902'896, "2024-02-29T12:34:56Z"},
      {-63'113'904'000, "0001-01-01T00:00:00Z"},
      {252'423'993'599, "9999-12-31T23:59:59Z"},
  };
  for (const auto& [secondsSinceReferenceDate, text] : cases) {
    SCOPED_TRACE(text);
    auto bytes = writeXmlPropertyList(Date{secondsSinceReferenceDate});
    ASSERT_THAT(bytes, IsOk());
    EXPECT_THAT(textOf(*bytes), HasSubstr("<date>" + text + "</date>"));
    auto read = readXmlPropertyList(bytesOf(document("<date>" + text + "</date>")));
    ASSERT_THAT(read, IsOk());
    EXPECT_EQ(read->asDate()->secondsSinceReferenceDate, std::floor(secondsSinceReferenceDate));
  }
}

TEST(XmlPropertyListTest, RefusesToWriteWhatXmlCannotCarry) {
  PropertyList deep = PropertyList(PropertyList::Array{});
  for (std::size_t i = 0; i < kPropertyListMaximumDepth; ++i) {
    deep = PropertyList(PropertyList::Array{std::move(deep)});
  }
  const std::pair<const char*, PropertyList> cases[] = {
      {"control character", PropertyList(u"bell\u0007")},
      {"nul character", PropertyList(std::u16string(1, u'\0'))},
      {"lone surrogate", PropertyList(std::u16string(1, 0xDBFF))},
      {"non-character", PropertyList(u"\uFFFE")},
      {"too deep", deep},
      {"year 10000", PropertyList(Date{252'423'993'600})},
      {"date that is not a number", PropertyList(Date{NAN})},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    EXPECT_THAT(writeXmlPropertyList(value),
                IsPlatformError(PlatformErrorCode::kPropertyListWriteInvalid));
  }
}

TEST(XmlPropertyListTest, ReadsWhatOtherWritersProduce) {
  struct Case {
    const char* name;
    std::string input;
    PropertyList expected;
  };
  const Case cases[] = {
      {"no plist element", "<?xml version=\"1.0\"?><string>x</string>", PropertyList(u"x")},
      {"hexadecimal integer", document("<integer> 0x1F </integer>"), PropertyList(31)},
      {"negative integer", document("<integer>-9223372036854775808</integer>"),
       PropertyList(INT64_MIN)},
      {"largest integer", document("<integer>18446744073709551615</integer>"),
       PropertyList(UINT64_MAX)},
      {"signed infinity", document("<real>+infinity</real>"), PropertyList(INFINITY)},
      {"wrapped data", document("<data>\n\tAAEC\n\tAw==\n</data>"),
       PropertyList(PropertyList::Data{0, 1, 2, 3})},
      {"character references", document("<string>&#x1F600;&amp;&#13;</string>"),
       PropertyList(u"\U0001F600&\r")},
      {"line ends normalised", document("<string>a\r\nb</string>"), PropertyList(u"a\nb")},
      {"UID dictionary", document("<dict><key>CF$UID</key><integer>5</integer></dict>"),
       PropertyList(PropertyListUid{5})},
      {"UTF-16 document",
       std::string("\xFF\xFE<\0s\0t\0r\0i\0n\0g\0>\0\xE9\0<\0/\0s\0t\0r\0i\0n\0g\0>\0", 38),
       PropertyList(u"\u00e9")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto read = readXmlPropertyList(bytesOf(c.input));
    ASSERT_THAT(read, IsOk());
    EXPECT_EQ(*read, c.expected);
  }
}

TEST(XmlPropertyListTest, MalformedOrHostileInputIsAnError) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", "is not well-formed"},
      {"not well-formed", document("<string>x</strin>"), "is not well-formed"},
      {"no value", document(""), "holds no value"},
      {"entity expansion",
       "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaa\"><!ENTITY b "
       "\"&a;&a;&a;&a;&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>",
       "the document type declares its own content"},
      {"external entity",
       "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
       "<plist><string>&e;</string></plist>",
       "the document type declares its own content"},
      {"unknown entity behind the format's DTD", document("<string>&secret;</string>"),
       "the document refers to an unknown entity"},
      {"unknown element", document("<set/>"), "holds an unknown element <set>"},
      {"element inside a string", document("<string>a<true/></string>"), "holds another element"},
      {"key in an array", document("<array><key>k</key></array>"), "a key stands inside an array"},
      {"key without value", document("<dict><key>k</key></dict>"), "a dictionary key has no value"},
      {"value without key", document("<dict><string>v</string></dict>"), "value has no key"},
      {"two keys in a row", document("<dict><key>a</key><key>b</key><true/></dict>"), "no value"},
      {"two values", document("<true/><false/>"), "the document holds more than one value"},
      {"text between values", document("<array>stray<true/></array>"), "text stands outside"},
      {"plist inside plist", document("<plist><true/></plist>"), "is not the document element"},
      {"integer above 64 bits", document("<integer>18446744073709551616</integer>"), "<integer>"},
      {"integer below 64 bits", document("<integer>-9223372036854775809</integer>"), "<integer>"},
      {"empty integer", document("<integer/>"), "an invalid <integer>"},
      {"real with junk", document("<real>1.5x</real>"), "an invalid <real>"},
      {"no such day", document("<date>2023-02-29T00:00:00Z</date>"), "an invalid <date>"},
      {"date without zone", document("<date>2023-01-01T00:00:00</date>"), "an invalid <date>"},
      {"invalid base64", document("<data>AA*=</data>"), "an invalid <data>"},
      {"text after padding", document("<data>AA==AA</data>"), "an invalid <data>"},
      {"text inside true", document("<true>yes</true>"), "an invalid <true>"},
      {"nested deeper than the bound", nestedArrays(kPropertyListMaximumDepth + 1), "than 512"},
      {"200,000 nested arrays", nestedArrays(200'000), "nested deeper than 512 levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(
        readXmlPropertyList(bytesOf(c.input)),
        IsPlatformError(PlatformErrorCode::kPropertyListReadCorrupt, HasSubstr(c.expected)));
  }
  EXPECT_TRUE(readXmlPropertyList(bytesOf(nestedArrays(kPropertyListMaximumDepth))).ok());
}

TEST(PropertyListSerializationTest, TellsTheFormatsApartByTheirFirstBytes) {
  const PropertyList value(PropertyList::Array{u"x", 1});
  auto binary = writePropertyList(value, PropertyListFormat::kBinary);
  auto xml = writePropertyList(value, PropertyListFormat::kXml);
  ASSERT_TRUE(binary.ok() && xml.ok());
  Bytes xmlWithBom = {0xEF, 0xBB, 0xBF};
  xmlWithBom.insert(xmlWithBom.end(), xml->begin(), xml->end());
  struct Case {
    const char* name;
    Bytes input;
    std::optional<PropertyListFormat> format;  // nothing: refused
  };
  const Case cases[] = {
      {"binary", *binary, PropertyListFormat::kBinary},
      {"XML", *xml, PropertyListFormat::kXml},
      {"XML after a byte-order mark", xmlWithBom, PropertyListFormat::kXml},
      {"old-style text", bytesOf("(x, 1)"), std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PropertyListFormat format = PropertyListFormat::kBinary;
    auto read = readPropertyList(c.input, &format);
    ASSERT_EQ(read.ok(), c.format.has_value());
    if (c.format) {
      EXPECT_EQ(*read, value);
      EXPECT_EQ(format, *c.format);
    }
  }
}

}  // namespace
}  // namespace zv::platform
