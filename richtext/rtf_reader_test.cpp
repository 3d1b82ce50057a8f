#include "richtext/rtf_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/unicode.h"
#include "richtext/run_description.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"

namespace zv::richtext {
namespace {

using testsupport::IsError;
using testsupport::IsOk;

platform::Result<AttributedString> read(std::string_view rtf) {
  return attributedStringFromRTF(testsupport::bytesOf(rtf));
}

std::string repeated(std::string_view unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) {
    out += unit;
  }
  return out;
}

// A text's runs as describeRuns gives them, in order.
std::vector<std::string> runs(auto... descriptions) {
  return {descriptions...};
}

TEST(RTFReaderTest, ReadsTheText) {
  struct Case {
    const char* name;
    std::string rtf;
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
      {"unicode without fallback", "{\\rtf1 \\uc0\\u8226 b}", "\u2022b"},
      {"unicode with two fallbacks, one an escape", "{\\rtf1 \\uc2\\u8364\\'80Eb}", "\u20acb"},
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
      {"second font table is skipped",
       "{\\rtf1{\\fonttbl\\f0 A;}{\\fonttbl\\f0 B;}{\\colortbl;}{\\colortbl;}x}", "x"},
      {"groups left open are closed at the end", "{\\rtf1 a{\\b b", "ab"},
      {"control word at the end", "{\\rtf1 a\\par", "a\n"},
      {"text after the document is ignored", "{\\rtf1 a}b{c}", "a"},
      {"huge parameters are clamped", "{\\rtf1 \\fs9999999999 a\\u-9999999999 b}", "a\ufffd"},
      {"binary length beyond the end", "{\\rtf1 a\\bin99999 bcd}", "a"},
      {"the deepest nesting allowed", "{\\rtf1 " + std::string(255, '{') + "x", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.rtf);
    ASSERT_THAT(text, IsOk());
    EXPECT_EQ(platform::toUtf8(text->string()), c.expected);
  }
}

constexpr std::string_view kWordListTable =
    "{\\*\\listtable"
    "{\\list\\listtemplateid7{\\listlevel\\levelnfc23\\levelstartat1{\\leveltext\\'01\\u8226 ?;}"
    "{\\levelnumbers;}}{\\listlevel\\levelnfc0\\levelstartat3{\\leveltext\\'02\\'01.;}"
    "{\\levelnumbers\\'01;}}{\\listname ;}\\listid7}"
    "{\\list{\\listlevel\\levelnfc23{\\leveltext\\'01-;}}\\listid8}"
    "{\\list{\\listlevel\\levelnfc4\\levelstartat2{\\*\\levelmarker \\{decimal\\}.}}\\listid9}}"
    "{\\*\\listoverridetable{\\listoverride\\listid7\\listoverridecount0\\ls1}"
    "{\\listoverride\\listid8\\ls2}{\\listoverride\\listid9\\ls3}}";

TEST(RTFReaderTest, ReadsTheFormatting) {
  const std::string lists = "{\\rtf1 " + std::string(kWordListTable);
  struct Case {
    const char* name;
    std::string rtf;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"no font table", "{\\rtf1 a}", runs("a|Helvetica 12")},
      {"fonts and sizes",
       "{\\rtf1{\\fonttbl{\\f0\\fswiss Helvetica;}{\\f1\\froman\\fcharset0 Times New Roman;}}"
       "\\f0\\fs36 T\\f1\\fs20 b}",
       runs("T|Helvetica 18", "b|Times New Roman 10")},
      {"default font and odd half-points",
       "{\\rtf1\\deff1{\\fonttbl\\f0 A;\\f1 B;}x\\fs25 y\\fs0 z}",
       runs("x|B 12", "y|B 12.5", "z|B 12")},
      {"missing font falls back", "{\\rtf1{\\fonttbl\\f0 A;}\\f7 x}", runs("x|Helvetica 12")},
      {"bold and italic toggles", "{\\rtf1 \\b a\\i b\\b0 c\\i0 d}",
       runs("a|Helvetica-Bold 12", "b|Helvetica-BoldItalic 12", "c|Helvetica-Italic 12",
            "d|Helvetica 12")},
      {"groups restore formatting", "{\\rtf1 a{\\b\\ul\\fs40 b{\\i c}d}e}",
       runs("a|Helvetica 12", "b|Helvetica-Bold 20 ul", "c|Helvetica-BoldItalic 20 ul",
            "d|Helvetica-Bold 20 ul", "e|Helvetica 12")},
      {"style suffixes join the current style",
       "{\\rtf1{\\fonttbl\\f0 Helvetica-Oblique;\\f1 Times-Roman;}a\\b b\\f1 c}",
       runs("a|Helvetica-Oblique 12", "b|Helvetica-BoldItalic 12", "c|Times-Bold 12")},
      {"underline ends three ways", "{\\rtf1 \\ul a\\ul0 b\\ul c\\ulnone d\\uldb e\\plain f}",
       runs("a|Helvetica 12 ul", "b|Helvetica 12", "c|Helvetica 12 ul", "d|Helvetica 12",
            "e|Helvetica 12 ul", "f|Helvetica 12")},
      {"plain resets everything but the destination",
       "{\\rtf1{\\fonttbl\\f0 A;\\f1 B;}\\f1\\b\\strike\\fs30 a\\plain b}",
       runs("a|B-Bold 15 st", "b|A 12")},
      {"colour table with the automatic entry",
       "{\\rtf1{\\colortbl;\\red255\\green0\\blue0;\\red0\\green128\\blue255;}"
       "a\\cf1 b\\cf2 c\\cf0 d\\cf9 e}",
       runs("a|Helvetica 12", "b|Helvetica 12 #ff0000", "c|Helvetica 12 #0080ff",
            "de|Helvetica 12")},
      {"colour table without the automatic entry",
       "{\\rtf1{\\colortbl\\red0\\green0\\blue255;}a\\cf0 b}",
       runs("a|Helvetica 12", "b|Helvetica 12 #0000ff")},
      {"colour components are clamped", "{\\rtf1{\\colortbl;\\red999\\green-5\\blue128;}\\cf1 a}",
       runs("a|Helvetica 12 #ff0080")},
      {"alignment and spacing in points", "{\\rtf1 \\pard\\qc\\sb120\\sa250 a\\par\\pard b}",
       runs("a\n|Helvetica 12 P[align=2 before=6 after=12.5]", "b|Helvetica 12")},
      {"the settings at the paragraph's end hold for all of it", "{\\rtf1 a{\\b b}\\qr c\\par}",
       runs("a|Helvetica 12 P[align=1]", "b|Helvetica-Bold 12 P[align=1]",
            "c\n|Helvetica 12 P[align=1]")},
      {"a group's paragraph settings end with it", "{\\rtf1 {\\qj a\\par}b}",
       runs("a\n|Helvetica 12 P[align=3]", "b|Helvetica 12")},
      {"pard resets", "{\\rtf1 \\qc\\li100 a\\par\\pard b\\par}",
       runs("a\n|Helvetica 12 P[align=2 head=5 first=5]", "b\n|Helvetica 12")},
      {"plain keeps the paragraph", "{\\rtf1 \\qc\\b a\\plain b}",
       runs("a|Helvetica-Bold 12 P[align=2]", "b|Helvetica 12 P[align=2]")},
      {"line height multiple", "{\\rtf1 \\sl360\\slmult1 a}",
       runs("a|Helvetica 12 P[multiple=1.5]")},
      {"at least and exactly", "{\\rtf1 \\sl280\\slmult0 a\\par\\pard\\sl-240 b}",
       runs("a\n|Helvetica 12 P[min=14]", "b|Helvetica 12 P[min=12 max=12]")},
      {"leading, minimum and maximum words", "{\\rtf1 \\slleading60\\slminimum200\\slmaximum400 a}",
       runs("a|Helvetica 12 P[leading=3 min=10 max=20]")},
      {"indents: first line relative to the left, right from the margin",
       "{\\rtf1 \\li720\\fi-360\\ri360 a}", runs("a|Helvetica 12 P[head=36 first=18 tail=-18]")},
      {"tab stops with their alignment", "{\\rtf1 \\tx720\\tqr\\tx1440\\tqc\\tqdec\\tx2880 a}",
       runs("a|Helvetica 12 P[tab=36 tabR=72 tabR=144]")},
      {"outline level is the header level", "{\\rtf1 \\outlinelevel0 T\\par\\pard b}",
       runs("T\n|Helvetica 12 P[header=1]", "b|Helvetica 12")},
      {"explicit defaults give no paragraph style", "{\\rtf1 \\pard\\ql0\\sb0 a}",
       runs("a|Helvetica 12 P[align=0]")},
      {"line break is no paragraph end", "{\\rtf1 a\\line\\qc b\\par}",
       runs("a\nb\n|Helvetica 12 P[align=2]")},
      {"bullet list with its marker text kept",
       lists + "\\pard\\ls1 {\\listtext\\tab \\u8226 ?\\tab}a\\par}",
       runs("\t\u2022\ta\n|Helvetica 12 P[list={disc}1]")},
      {"second level: both lists, outermost first", lists + "\\pard\\ls1\\ilvl1 a\\par}",
       runs("a\n|Helvetica 12 P[list={disc}1 list={decimal}3]")},
      {"a level beyond the list's gives all it has", lists + "\\pard\\ls1\\ilvl8 a}",
       runs("a|Helvetica 12 P[list={disc}1 list={decimal}3]")},
      {"hyphen bullet", lists + "\\pard\\ls2 a}", runs("a|Helvetica 12 P[list={hyphen}1]")},
      {"the marker format a writer gave wins", lists + "\\pard\\ls3 a}",
       runs("a|Helvetica 12 P[list={decimal}.2]")},
      {"unknown override gives no list", lists + "\\pard\\ls4 a}", runs("a|Helvetica 12")},
      {"override without a table gives no list", "{\\rtf1 \\pard\\ls1 a}", runs("a|Helvetica 12")},
      {"old numbering: marker skipped, decimal list",
       "{\\rtf1 {\\pntext\\f0 1.\\tab}{\\*\\pn\\pnlvlbody\\pndec\\pnstart4{\\pntxta .}}a\\par}",
       runs("a\n|Helvetica 12 P[list={decimal}4]")},
      {"old bullets", "{\\rtf1 {\\pntext \\'b7\\tab}{\\*\\pn\\pnlvlblt{\\pntxtb \\'b7}}a}",
       runs("a|Helvetica 12 P[list={disc}1]")},
      {"pard ends old numbering", "{\\rtf1 {\\*\\pn\\pnlvlblt}a\\par\\pard b}",
       runs("a\n|Helvetica 12 P[list={disc}1]", "b|Helvetica 12")},
      {"URL link on the result only",
       "{\\rtf1 {\\field{\\*\\fldinst{HYPERLINK \"https://example.com/a\"}}{\\fldrslt x}} y}",
       runs("x|Helvetica 12 url=https://example.com/a", " y|Helvetica 12")},
      {"target that is no URL stays a string",
       "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"notes/a b\"}{\\fldrslt x}}}",
       runs("x|Helvetica 12 link=notes/a b")},
      {"bookmark becomes a fragment",
       "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \\\\l \"top\"}{\\fldrslt x}}"
       "{\\field{\\*\\fldinst HYPERLINK \"http://a.org/\" \\\\l \"s\"}{\\fldrslt y}}}",
       runs("x|Helvetica 12 link=#top", "y|Helvetica 12 url=http://a.org/#s")},
      {"switches and their arguments are no address",
       "{\\rtf1 {\\field{\\*\\fldinst hyperlink \\\\o \"tip\" \"http://a.org/\"}{\\fldrslt x}}}",
       runs("x|Helvetica 12 url=http://a.org/")},
      {"escaped quote inside the target",
       "{\\rtf1 {\\field{\\*\\fldinst HYPERLINK \"a\\\\\"b\"}{\\fldrslt x}}}",
       runs("x|Helvetica 12 link=a\"b")},
      {"other fields give no link", "{\\rtf1 {\\field{\\*\\fldinst PAGE}{\\fldrslt 3}}}",
       runs("3|Helvetica 12")},
      {"an instruction outside a field is skipped", "{\\rtf1 a{\\*\\fldinst HYPERLINK \"x\"}b}",
       runs("ab|Helvetica 12")},
      {"formatting inside the result",
       "{\\rtf1 {\\field{\\*\\fldinst{HYPERLINK \"http://a.org/\"}}{\\fldrslt{\\b x}\\plain y}}}",
       runs("x|Helvetica-Bold 12 url=http://a.org/", "y|Helvetica 12 url=http://a.org/")},
      {"background from cb, highlight and chcbpat",
       "{\\rtf1{\\colortbl;\\red255\\green255\\blue0;}\\cb1 a\\cb0 b\\highlight1 c\\plain "
       "d\\chcbpat1 e}",
       runs("a|Helvetica 12 bg#ffff00", "b|Helvetica 12", "c|Helvetica 12 bg#ffff00",
            "d|Helvetica 12", "e|Helvetica 12 bg#ffff00")},
      {"starred destinations we do not read stay skipped",
       "{\\rtf1 a{\\*\\levelmarker x}{\\*\\listtext y}b}", runs("ab|Helvetica 12")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.rtf);
    ASSERT_THAT(text, IsOk());
    EXPECT_THAT(describeRuns(*text), ::testing::ElementsAreArray(c.expected));
  }
}

TEST(RTFReaderTest, GivesFontsTheirTraits) {
  struct Case {
    const char* name;
    std::string_view rtf;
    FontTraitMask traits;
    double weight;
  };
  const Case cases[] = {
      {"regular", "{\\rtf1 a}", 0, kFontWeightRegular},
      {"bold", "{\\rtf1 \\b a}", kBoldFontMask, kFontWeightBold},
      {"italic", "{\\rtf1 \\i a}", kItalicFontMask, kFontWeightRegular},
      {"italic from the face name, bold from the text",
       "{\\rtf1{\\fonttbl\\f0 Helvetica-Oblique;}\\b a}", kBoldFontMask | kItalicFontMask,
       kFontWeightBold},
      {"bold face name without bold text", "{\\rtf1{\\fonttbl\\f0 Helvetica-Bold;}a}",
       kBoldFontMask, kFontWeightBold},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.rtf);
    ASSERT_THAT(text, IsOk());
    const auto& font = std::get<Font>(text->attributesAtIndex(0).at(NSFontAttributeName));
    EXPECT_EQ(font.traits, c.traits);
    EXPECT_EQ(font.weight, c.weight);
  }
}

TEST(RTFReaderTest, BoundsWhatParagraphsAndFieldsCarry) {
  // Every tab stop is copied into every paragraph, so a document that sets many costs memory
  // per paragraph; the instruction text is kept once but must not grow without end either.
  const auto text = read("{\\rtf1 " + repeated("\\tx100", 1000) + " a\\par" +
                         "{\\field{\\*\\fldinst HYPERLINK \"http://a.org/" +
                         std::string(100000, 'x') + "\"}{\\fldrslt b}}}");
  ASSERT_THAT(text, IsOk());
  const auto& style =
      std::get<ParagraphStyle>(text->attributesAtIndex(0).at(NSParagraphStyleAttributeName));
  EXPECT_EQ(style.tabStops.size(), 64U);
  const auto& link = text->attributesAtIndex(2).at(NSLinkAttributeName);
  EXPECT_LE(std::get<platform::URL>(link).absoluteString().size(), 4096U);
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
  const std::string shown = platform::toUtf8(text->string());
  for (const char* leftover : {"\\", "{", "}", "\uFFFD"}) {
    EXPECT_THAT(shown, ::testing::Not(::testing::HasSubstr(leftover)));
  }
  EXPECT_THAT(shown, ::testing::HasSubstr("Start Import"));
}

}  // namespace
}  // namespace zv::richtext
