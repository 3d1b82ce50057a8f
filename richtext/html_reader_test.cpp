#include "richtext/html_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/unicode.h"
#include "richtext/run_description.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/web_archive.h"

namespace zv::richtext {
namespace {

using testsupport::bytesOf;
using testsupport::IsError;
using testsupport::IsOk;

platform::Result<AttributedString> read(std::string_view html, const char16_t* base = nullptr) {
  const std::optional<platform::URL> baseURL =
      base == nullptr ? std::nullopt : platform::URL::fromString(base);
  return attributedStringFromHTML(bytesOf(html), baseURL ? &*baseURL : nullptr);
}

// A text's runs as describeRuns gives them, in order.
std::vector<std::string> runs(auto... descriptions) {
  return {descriptions...};
}

TEST(HTMLReaderTest, ShowsTheTextAsABrowserLaysItOut) {
  struct Case {
    const char* name;
    std::string html;
    std::string_view expected;
  };
  const Case cases[] = {
      {"whitespace collapses", "<p>  Hello \n\t <b>big</b>\n world  </p>", "Hello big world\n"},
      {"blocks end lines, once", "<div><p>a</p></div><div>b</div><p></p>c", "a\nb\nc"},
      {"line breaks always count", "a<br>b<br><br>c<br>", "a\nb\n\nc\n"},
      {"preformatted text keeps its spaces", "<pre>  x\n  y </pre>z", "  x\n  y \nz"},
      {"what a page does not show",
       "<head><title>T</title><style>p{}</style></head><body><script>s()</script>"
       "<noscript>n</noscript><p style=\"display: none\">hidden</p>shown</body>",
       "shown"},
      {"entities", "&lt;&amp;&eacute;&nbsp;x&#x1F600;", "<&\u00e9\u00a0x\U0001F600"},
      {"table cells and rows", "<table><tr><td>1</td><td> 2 </td></tr><tr><th>3</th></tr></table>",
       "1\t2\n3\n"},
      {"charset from a meta element", "<meta charset=\"windows-1251\"><p>\xc0\xe1</p>",
       "\u0410\u0431\n"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBFx", "x"},
      {"UTF-16 with its byte-order mark", std::string("\xFF\xFE<\0b\0>\0x\0", 10), "x"},
      {"list items with markers",
       "<ul><li>one</li><li> two <ol><li>a</li><li>b</li></ol></li></ul>",
       "\t\u2022\tone\n\t\u2022\ttwo\n\t1.\ta\n\t2.\tb\n"},
      {"numbering from start, type and value",
       "<ol start=\"4\" type=\"i\"><li>x</li><li value=\"9\">y</li><li>z</li></ol>",
       "\tiv.\tx\n\tix.\ty\n\tx.\tz\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.html);
    ASSERT_THAT(text, IsOk());
    EXPECT_EQ(platform::toUtf8(text->string()), c.expected);
  }
}

TEST(HTMLReaderTest, ReadsTheFormattingAndResolvesLinks) {
  struct Case {
    const char* name;
    std::string_view html;
    std::vector<std::string> expected;
    const char16_t* base = nullptr;
  };
  const Case cases[] = {
      {"default face", "x", runs("x|Times 12")},
      {"elements", "<b>a</b><i>b</i><u>c</u><s>d</s><strong><em>e</em></strong><code>f</code>",
       runs("a|Times-Bold 12", "b|Times-Italic 12", "c|Times 12 ul", "d|Times 12 st",
            "e|Times-BoldItalic 12", "f|Courier 12")},
      {"headings", "<h1>T</h1><h3>S</h3>",
       runs("T\n|Times-Bold 24 P[header=1]", "S\n|Times-Bold 14.04 P[header=3]")},
      {"font family and sizes",
       "<span style=\"font-family: 'Gill Sans', sans-serif; font-size: 20px\">a</span>"
       "<span style=\"font-size:14pt\">b<span style=\"font-size:1.5em\">c</span></span>"
       "<span style=\"font-size:50%\">d</span><span style=\"font-size:x-large\">e</span>"
       "<span style=\"font-family:monospace;font-size:-3px\">f</span>",
       runs("a|Gill Sans 15", "b|Times 14", "c|Times 21", "d|Times 6", "e|Times 18",
            "f|Courier 12")},
      {"weight and style",
       "<span style=\"font-weight:700\">a</span><b style=\"font-weight:normal\">b</b>"
       "<span style=\"font-style:oblique 10deg\">c</span>",
       runs("a|Times-Bold 12", "b|Times 12", "c|Times-Italic 12")},
      {"colours",
       "<span style=\"color:#f80\">a</span><span style=\"color: rgb(0, 128, 255)\">b</span>"
       "<span style=\"background-color:yellow !important\">c</span>"
       "<span style=\"color:rgb(100%,0%,0%)\">d</span><span style=\"color:bogus\">e</span>"
       "<span style=\"color:red\"><span style=\"color:transparent\">f</span></span>",
       runs("a|Times 12 #ff8800", "b|Times 12 #0080ff", "c|Times 12 bg#ffff00",
            "d|Times 12 #ff0000", "ef|Times 12")},
      {"decorations",
       "<u style=\"text-decoration:none\">a</u>"
       "<span style=\"text-decoration: underline line-through\">b</span>",
       runs("a|Times 12", "b|Times 12 ul st")},
      {"font element",
       "<font face=\"Courier\" size=\"+2\" color=\"#00f\">a</font>"
       "<font size=\"1\">b</font>",
       runs("a|Courier 18 #0000ff", "b|Times 7.5")},
      {"alignment", "<p align=\"center\">a</p><div style=\"text-align:right\">b</div>",
       runs("a\n|Times 12 P[align=2]", "b\n|Times 12 P[align=1]")},
      {"lists: one text list per level, outermost first",
       "<ul><li>a<ol start=\"3\"><li>b</li></ol></li></ul>c",
       runs("\t\u2022\ta\n|Times 12 P[head=36 tab=11 tab=36 list={disc}1]",
            "\t3.\tb\n|Times 12 P[head=36 tab=11 tab=36 list={disc}1 list={decimal}.3]",
            "c|Times 12")},
      {"link absolute", "<a href=\"https://example.com/a\">x</a>",
       runs("x|Times 12 url=https://example.com/a")},
      {"link relative to the base URL", "<a href=\"../b c?q=1#f\">x</a>",
       runs("x|Times 12 url=https://example.com/d/b%20c?q=1#f"), u"https://example.com/d/e/f.html"},
      {"link relative to a base element",
       "<head><base href=\"https://other.org/x/\"></head><a href=\"y\">x</a>",
       runs("x|Times 12 url=https://other.org/x/y"), u"https://example.com/"},
      {"link fragment only", "<a href=\"#top\">x</a>",
       runs("x|Times 12 url=https://example.com/p#top"), u"https://example.com/p"},
      {"link relative without a base stays text", "<a href=\"notes/a\">x</a>",
       runs("x|Times 12 link=notes/a")},
      {"link script links are dropped", "<a href=\" JavaScript:alert(1)\">x</a>",
       runs("x|Times 12"), u"https://example.com/"},
      {"link anchor without href", "<a name=\"n\">x</a>", runs("x|Times 12")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.html, c.base);
    ASSERT_THAT(text, IsOk());
    EXPECT_THAT(describeRuns(*text), ::testing::ElementsAreArray(c.expected));
  }
}

TEST(HTMLReaderTest, ReadsAWebArchivesMainResource) {
  const std::string archive = testsupport::webArchive(
      u"text/html", "<p>caf\xe9 <a href=\"b\">l</a></p>", u"iso-8859-1", u"https://example.com/a/");
  const auto text = attributedStringFromWebArchive(bytesOf(archive));
  ASSERT_THAT(text, IsOk());
  EXPECT_THAT(describeRuns(*text),
              ::testing::ElementsAre("caf\u00e9 |Times 12",
                                     "l|Times 12 url=https://example.com/a/b", "\n|Times 12"));

  const std::string utf8 = testsupport::webArchive(u"text/html", "caf\xc3\xa9");
  const auto defaulted = attributedStringFromWebArchive(bytesOf(utf8));
  ASSERT_THAT(defaulted, IsOk());
  EXPECT_EQ(defaulted->string(), u"caf\u00e9");
}

TEST(HTMLReaderTest, RefusesWhatIsNoHTMLWebArchive) {
  struct Case {
    const char* name;
    std::string bytes;
    HTMLReaderErrorCode expected;
  };
  const Case cases[] = {
      {"not a property list", "<html>", HTMLReaderErrorCode::kNotWebArchive},
      {"no main resource", "bplist00", HTMLReaderErrorCode::kNotWebArchive},
      {"an image", testsupport::webArchive(u"image/png", "x"), HTMLReaderErrorCode::kNotHTML},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(attributedStringFromWebArchive(bytesOf(c.bytes)),
                IsError(kHTMLReaderErrorDomain, c.expected));
  }
}

TEST(HTMLReaderTest, RefusesPagesThatWouldTakeTooLong) {
  auto nested = [](int levels, std::string_view unit) {
    std::string html;
    for (int level = 0; level < levels; ++level) {
      html += unit;
    }
    return html + "x";
  };
  struct Case {
    const char* name;
    std::string html;
    std::optional<HTMLReaderErrorCode> expected;
  };
  const Case cases[] = {
      {"deepest nesting allowed", nested(512, "<div>"), std::nullopt},
      {"one level deeper", nested(513, "<div>"), HTMLReaderErrorCode::kNestedTooDeeply},
      {"closed elements add no depth", nested(100000, "<div></div>"), std::nullopt},
      {"elements that never stay open add no depth",
       nested(100000, "<p><li><br><img src=x><input/>"), std::nullopt},
      {"tags inside scripts and comments are no elements",
       "<script>" + nested(1000, "<div>") + "</script><!--" + nested(1000, "<div>") + "-->",
       std::nullopt},
      {"deep nesting of two kinds", nested(100000, "<div><span>"),
       HTMLReaderErrorCode::kNestedTooDeeply},
      {"too large", std::string(std::size_t{16} * 1024 * 1024 + 1, 'a'),
       HTMLReaderErrorCode::kTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto text = read(c.html);
    if (c.expected) {
      EXPECT_THAT(text, IsError(kHTMLReaderErrorDomain, *c.expected));
    } else {
      EXPECT_THAT(text, IsOk());
    }
  }
}

}  // namespace
}  // namespace zv::richtext
