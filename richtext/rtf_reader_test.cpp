#include "richtext/rtf_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"

namespace zv::richtext {
namespace {

using testsupport::IsError;
using testsupport::IsOk;

platform::Result<AttributedString> read(std::string_view rtf) {
  return attributedStringFromRTF(
      std::span(reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size()));
}

// One run as "text|face size" plus " ul", " st" and " #rrggbb" for underline, strikethrough and
// colour, so a table can list what a reader sees.
std::string describeRun(const AttributedString& text, const AttributeRun& run) {
  std::string out = platform::toUtf8(
      std::u16string_view(text.string()).substr(run.range.location, run.range.length));
  if (auto font = run.attributes.find(NSFontAttributeName); font != run.attributes.end()) {
    const auto& value = std::get<Font>(font->second);
    char size[32];
    std::snprintf(size, sizeof size, "%g", value.pointSize);
    out += "|" + platform::toUtf8(value.name) + " " + size;
  }
  if (run.attributes.contains(NSUnderlineStyleAttributeName)) {
    out += " ul";
  }
  if (run.attributes.contains(NSStrikethroughStyleAttributeName)) {
    out += " st";
  }
  if (auto color = run.attributes.find(NSForegroundColorAttributeName);
      color != run.attributes.end()) {
    const auto& value = std::get<Color>(color->second);
    char hex[16];
    std::snprintf(hex, sizeof hex, " #%02x%02x%02x",
                  static_cast<unsigned>(std::lround(value.red * 255)),
                  static_cast<unsigned>(std::lround(value.green * 255)),
                  static_cast<unsigned>(std::lround(value.blue * 255)));
    out += hex;
  }
  return out;
}

std::vector<std::string> describeRuns(const AttributedString& text) {
  std::vector<std::string> runs;
  for (const AttributeRun& run : text.runs()) {
    runs.push_back(describeRun(text, run));
  }
  return runs;
}

std::string repeated(std::string_view unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) {
    out += unit;
  }
  return out;
}

TEST(RTFReaderTest, ReadsTheText) {
  struct Case {
    const char* name;
    std::string_view rtf;
    std::string_view expected;
  };
  const Case cases[] = {
      {"plain text", "{\\rtf1 Hello, world.}", "Hello, world."},
      {"file line breaks are no text", "{\\rtf1 one\r\ntwo\nthree}", "onetwothree"},
      {"paragraphs and lines", "{\\rtf1 a\\par b\\line c\\par\n}", "a\nb\nc\n"},
      {"backslash before a line break ends a paragraph", "{\\rtf1 a\\\nb}", "a\nb"},
      {"tab", "{\\rtf1 a\\tab b}", "a\tb"},
      {"escaped braces and backslash", "{\\rtf1 \\{x\\}\\\\}", "{x}\\"},
      {"no-break space, optional and no-break hyphens", "{\\rtf1 a\\~b\\-c\\_d}",
       "a\u00A0bc\u2011d"},
      {"typographic words", "{\\rtf1 \\lquote x\\rquote \\emdash \\bullet}",
       "\u2018x\u2019\u2014\u2022"},
      {"delimiting space is no text", "{\\rtf1 \\b  bold}", " bold"},
      {"unknown words are skipped", "{\\rtf1 \\pard\\sa240\\qj\\fooBar-12 text}", "text"},
      {"unicode with one fallback", "{\\rtf1 a\\u8226?b}", "a\u2022b"},
      {"unicode without fallback", "{\\rtf1 \\uc0\\u8226 b}", "\u2022b"},
      {"unicode with two fallbacks, one an escape", "{\\rtf1 \\uc2\\u8364\\'80Eb}", "\u20acb"},
      {"negative unicode wraps to 16 bits", "{\\rtf1 \\u-3913?}", "\uf0b7"},
      {"surrogate pair", "{\\rtf1 \\u-10179?\\u-8704?}", "\U0001F600"},
      {"fallback count is per group", "{\\rtf1 {\\uc2 x}\\u8226?b}", "x\u2022b"},
      {"fallback skipping ends at a brace", "{\\rtf1 \\uc3\\u8226?{b}}", "\u2022b"},
      {"cp1252 escapes", "{\\rtf1\\ansi\\ansicpg1252 caf\\'e9 \\'80\\'96}",
       "caf\u00e9 \u20ac\u2013"},
      {"document code page", "{\\rtf1\\ansi\\ansicpg1251 \\'c0\\'e1}", "\u0410\u0431"},
      {"font charset overrides the document's",
       "{\\rtf1\\ansi{\\fonttbl\\f0\\fswiss Helvetica;\\f1\\fnil\\fcharset204 Arial;}"
       "\\f1 \\'c0{\\f0 \\'c0}}",
       "\u0410\u00c0"},
      {"double-byte escapes decode together",
       "{\\rtf1{\\fonttbl{\\f0\\fcharset128 MS Gothic;}}\\f0 \\'82\\'a0}", "\u3042"},
      {"unknown code page falls back to 1252", "{\\rtf1\\ansicpg9999 \\'e9}", "\u00e9"},
      {"info, stylesheet and generator are skipped",
       "{\\rtf1{\\info{\\title T}{\\author A}}{\\stylesheet{\\s0 Normal;}}"
       "{\\*\\generator W;}body}",
       "body"},
      {"ignorable destination", "{\\rtf1 a{\\*\\unknowndest secret {nested}}b}", "ab"},
      {"picture with binary data", "{\\rtf1 a{\\pict\\bin4 }{\\}}b}", "ab"},
      {"fields keep their result",
       "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt link}}}", "link"},
      {"second font table is skipped",
       "{\\rtf1{\\fonttbl\\f0 A;}{\\fonttbl\\f0 B;}{\\colortbl;}{\\colortbl;}x}", "x"},
      {"groups left open are closed at the end", "{\\rtf1 a{\\b b", "ab"},
      {"control word at the end", "{\\rtf1 a\\par", "a\n"},
      {"text after the document is ignored", "{\\rtf1 a}b{c}", "a"},
      {"huge parameters are clamped", "{\\rtf1 \\fs9999999999 a\\u-9999999999 b}", "a\ufffd"},
      {"binary length beyond the end", "{\\rtf1 a\\bin99999 bcd}", "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.rtf);
    ASSERT_THAT(text, IsOk());
    EXPECT_EQ(platform::toUtf8(text->string()), c.expected);
  }
}

TEST(RTFReaderTest, ReadsTheFormatting) {
  struct Case {
    const char* name;
    std::string_view rtf;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"no font table", "{\\rtf1 a}", {"a|Helvetica 12"}},
      {"fonts and sizes",
       "{\\rtf1{\\fonttbl{\\f0\\fswiss Helvetica;}{\\f1\\froman\\fcharset0 Times New Roman;}}"
       "\\f0\\fs36 T\\f1\\fs20 b}",
       {"T|Helvetica 18", "b|Times New Roman 10"}},
      {"default font and odd half-points",
       "{\\rtf1\\deff1{\\fonttbl\\f0 A;\\f1 B;}x\\fs25 y\\fs0 z}",
       {"x|B 12", "y|B 12.5", "z|B 12"}},
      {"missing font falls back", "{\\rtf1{\\fonttbl\\f0 A;}\\f7 x}", {"x|Helvetica 12"}},
      {"bold and italic toggles",
       "{\\rtf1 \\b a\\i b\\b0 c\\i0 d}",
       {"a|Helvetica-Bold 12", "b|Helvetica-BoldItalic 12", "c|Helvetica-Italic 12",
        "d|Helvetica 12"}},
      {"groups restore formatting",
       "{\\rtf1 a{\\b\\ul\\fs40 b{\\i c}d}e}",
       {"a|Helvetica 12", "b|Helvetica-Bold 20 ul", "c|Helvetica-BoldItalic 20 ul",
        "d|Helvetica-Bold 20 ul", "e|Helvetica 12"}},
      {"style suffixes join the current style",
       "{\\rtf1{\\fonttbl\\f0 Helvetica-Oblique;\\f1 Times-Roman;}a\\b b\\f1 c}",
       {"a|Helvetica-Oblique 12", "b|Helvetica-BoldItalic 12", "c|Times-Bold 12"}},
      {"underline ends three ways",
       "{\\rtf1 \\ul a\\ul0 b\\ul c\\ulnone d\\uldb e\\plain f}",
       {"a|Helvetica 12 ul", "b|Helvetica 12", "c|Helvetica 12 ul", "d|Helvetica 12",
        "e|Helvetica 12 ul", "f|Helvetica 12"}},
      {"plain resets everything but the destination",
       "{\\rtf1{\\fonttbl\\f0 A;\\f1 B;}\\f1\\b\\strike\\fs30 a\\plain b}",
       {"a|B-Bold 15 st", "b|A 12"}},
      {"colour table with the automatic entry",
       "{\\rtf1{\\colortbl;\\red255\\green0\\blue0;\\red0\\green128\\blue255;}"
       "a\\cf1 b\\cf2 c\\cf0 d\\cf9 e}",
       {"a|Helvetica 12", "b|Helvetica 12 #ff0000", "c|Helvetica 12 #0080ff", "de|Helvetica 12"}},
      {"colour table without the automatic entry",
       "{\\rtf1{\\colortbl\\red0\\green0\\blue255;}a\\cf0 b}",
       {"a|Helvetica 12", "b|Helvetica 12 #0000ff"}},
      {"colour components are clamped",
       "{\\rtf1{\\colortbl;\\red999\\green-5\\blue128;}\\cf1 a}",
       {"a|Helvetica 12 #ff0080"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.rtf);
    ASSERT_THAT(text, IsOk());
    EXPECT_THAT(describeRuns(*text), ::testing::ElementsAreArray(c.expected));
  }
}

TEST(RTFReaderTest, RefusesDamagedAndHostileDocuments) {
  struct Case {
    const char* name;
    std::string rtf;
    RTFReaderErrorCode expected;
  };
  const Case cases[] = {
      {"empty", "", RTFReaderErrorCode::kNotRTF},
      {"plain text", "Hello", RTFReaderErrorCode::kNotRTF},
      {"other markup", "{\\html x}", RTFReaderErrorCode::kNotRTF},
      {"deep nesting", "{\\rtf1 " + std::string(300, '{'), RTFReaderErrorCode::kNestedTooDeeply},
      {"deep nesting inside a skipped destination", "{\\rtf1{\\*\\x" + std::string(300, '{'),
       RTFReaderErrorCode::kNestedTooDeeply},
      {"control word too long", "{\\rtf1 \\" + std::string(33, 'a') + " x}",
       RTFReaderErrorCode::kMalformed},
      {"parameter too long", "{\\rtf1 \\fs12345678901 x}", RTFReaderErrorCode::kMalformed},
      {"escape cut by the end", "{\\rtf1 \\'4", RTFReaderErrorCode::kMalformed},
      {"escape without hex digits", "{\\rtf1 \\'4g}", RTFReaderErrorCode::kMalformed},
      {"backslash at the end", "{\\rtf1 a\\", RTFReaderErrorCode::kMalformed},
      {"too large", "{\\rtf1 " + std::string(std::size_t{16} * 1024 * 1024, 'a') + "}",
       RTFReaderErrorCode::kTooLarge},
      {"too many formatting changes", "{\\rtf1 " + repeated("{\\b a}{\\b0 b}", 150000) + "}",
       RTFReaderErrorCode::kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(read(c.rtf), IsError(kRTFReaderErrorDomain, c.expected));
  }
}

TEST(RTFReaderTest, AcceptsTheDeepestNestingAllowed) {
  const std::string rtf = "{\\rtf1 " + std::string(255, '{') + "x";
  const auto text = read(rtf);
  ASSERT_THAT(text, IsOk());
  EXPECT_EQ(text->string(), u"x");
}

TEST(RTFReaderTest, ReadsTheBundledInstructions) {
  const auto bytes =
      testsupport::readFileBytes(std::string(ZV_SOURCE_DIR) + "/app/resources/Instructions.rtf");
  ASSERT_TRUE(bytes.has_value());
  const auto text = attributedStringFromRTF(*bytes);
  ASSERT_THAT(text, IsOk());
  const std::u16string title = u"Moving your library from Zelvar to Quennet";
  ASSERT_TRUE(text->string().starts_with(title + u"\n"));
  Range titleRun;
  const Attributes& titleAttributes = text->attributesAtIndex(0, &titleRun);
  EXPECT_EQ(titleRun.length, title.size());
  const auto& titleFont = std::get<Font>(titleAttributes.at(NSFontAttributeName));
  EXPECT_TRUE(titleFont.name.ends_with(u"-Bold"));
  const auto& bodyFont =
      std::get<Font>(text->attributesAtIndex(text->length() - 1).at(NSFontAttributeName));
  EXPECT_GT(titleFont.pointSize, bodyFont.pointSize);
  // Every escape must have been understood: no markup or replacement character may show.
  for (std::u16string_view leftover : {u"\\", u"{", u"}", u"\uFFFD"}) {
    EXPECT_EQ(text->string().find(leftover), std::u16string::npos);
  }
  EXPECT_NE(text->string().find(u"Start Import"), std::u16string::npos);
}

}  // namespace
}  // namespace zv::richtext
