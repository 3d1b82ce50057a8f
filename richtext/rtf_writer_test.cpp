#include "richtext/rtf_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unicode.h"
#include "richtext/rtf_reader.h"
#include "testsupport/result_matchers.h"

namespace zv::richtext {
namespace {

using testsupport::IsOk;

Attributes withFont(std::u16string_view face, double size, Attributes more = {}) {
  more.insert_or_assign(std::u16string(NSFontAttributeName), Font(std::u16string(face), size));
  return more;
}

Color rgb(int red, int green, int blue) {
  return Color{.red = red / 255.0, .green = green / 255.0, .blue = blue / 255.0};
}

// Text in the lists, at 12 points.
Attributes listed(std::u16string_view face, std::vector<TextList> lists) {
  ParagraphStyle style;
  style.textLists = std::move(lists);
  return withFont(face, 12, {{NSParagraphStyleAttributeName, style}});
}

std::string written(const AttributedString& text) {
  const auto data = rtfDataFromAttributedString(text);
  EXPECT_THAT(data, IsOk());
  return data ? std::string(data->begin(), data->end()) : std::string();
}

// Writes and reads back; the RTF goes into the failure message.
void expectReadBackAs(const AttributedString& text, const AttributedString& expected) {
  const std::string rtf = written(text);
  const auto back =
      attributedStringFromRTF({reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size()});
  ASSERT_THAT(back, IsOk()) << rtf;
  EXPECT_EQ(platform::toUtf8(back->string()), platform::toUtf8(expected.string())) << rtf;
  EXPECT_TRUE(back->runs() == expected.runs()) << rtf;
}

AttributedString text(std::initializer_list<std::pair<std::u16string_view, Attributes>> runs) {
  MutableAttributedString result;
  for (const auto& [string, attributes] : runs) {
    result.appendString(string, attributes);
  }
  return result;
}

TEST(RTFWriterTest, WhatItWritesReadsBackTheSame) {
  const TextList disc{TextList::kMarkerDisc, 1};
  const TextList decimal{u"{decimal}.", 3};
  const TextList hyphen{TextList::kMarkerHyphen, 1};
  const Attributes body = withFont(u"Helvetica", 12);

  struct Case {
    const char* name;
    AttributedString text;
  };
  const Case cases[] = {
      {"empty", AttributedString()},
      {"characters that RTF escapes or cannot write as bytes",
       text({{u"\\{x}\ttab \u00e9\u20ac\u4e2d\U0001F600 \u2028 \u0001 end\n", body}})},
      {"lists with their markers in the text",
       text({{u"\t\u2022\t", listed(u"Helvetica", {disc})},
             {u"one\n", listed(u"Helvetica-Bold", {disc})},
             {u"\t3.\tnested\n", listed(u"Helvetica", {disc, decimal})},
             {u"no marker\n", listed(u"Helvetica", {hyphen})},
             {u"after", body}})},
      {"empty paragraphs and a trailing line feed", text({{u"\n\na\n\n", body}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectReadBackAs(c.text, c.text);
  }
}

TEST(RTFWriterTest, WritesWhatRTFCannotCarryAsTheNearest) {
  const Attributes body = withFont(u"Helvetica", 12);
  struct Case {
    const char* name;
    AttributedString text;
    AttributedString expected;
  };
  Font boldByTraits(u"Georgia", 12);
  boldByTraits.traits = kBoldFontMask;
  auto coloured = [](const Color& color) {
    return text({{u"a", withFont(u"Helvetica", 12, {{NSForegroundColorAttributeName, color}})}});
  };
  const Case cases[] = {
      {"no font: the reader's default", text({{u"a", {}}}), text({{u"a", body}})},
      {"size 0: the standard size", text({{u"a", withFont(u"Helvetica", 0)}}),
       text({{u"a", withFont(u"Helvetica", kStandardFontSize)}})},
      {"bold by traits names the bold face", text({{u"a", {{NSFontAttributeName, boldByTraits}}}}),
       text({{u"a", withFont(u"Georgia-Bold", 12)}})},
      {"dynamic colour: the automatic colour", coloured(Color::labelColor()), text({{u"a", body}})},
      {"components to 8 bits, alpha dropped",
       coloured(Color{.red = 0.5, .green = 2, .blue = -1, .alpha = 0.5}),
       coloured(rgb(128, 255, 0))},
      {"NUL characters are left out", text({{std::u16string_view(u"a\0b", 3), body}}),
       text({{u"ab", body}})},
      {"a semicolon cannot stand in a font name", text({{u"a", withFont(u"A;B", 12)}}),
       text({{u"a", withFont(u"AB", 12)}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectReadBackAs(c.text, c.expected);
  }
}

TEST(RTFWriterTest, WritesListMarkersForReadersWithoutLists) {
  const std::string rtf =
      written(text({{u"\t\u2022\titem", listed(u"Helvetica", {{TextList::kMarkerDisc, 1}})}}));
  EXPECT_THAT(rtf, ::testing::HasSubstr("{\\listtext"));
  EXPECT_THAT(rtf, ::testing::HasSubstr("\\ls1\\ilvl0"));
  EXPECT_THAT(rtf, ::testing::HasSubstr("{\\*\\levelmarker \\{disc\\}}"));
}

// Random texts from what the writer promises to carry: read(write(x)) must give x's runs.
class RandomText {
 public:
  explicit RandomText(std::uint32_t seed) : random_(seed) {}

  AttributedString make() {
    MutableAttributedString result;
    const int runs = pick(1, 12);
    for (int run = 0; run < runs; ++run) {
      result.appendString(string(), attributes());
    }
    // Paragraph styles hold for whole paragraphs; the first character's is the paragraph's.
    std::size_t start = 0;
    const std::u16string& string = result.string();
    while (start < string.size()) {
      const std::size_t lineFeed = string.find(u'\n', start);
      const std::size_t end = lineFeed == std::u16string::npos ? string.size() : lineFeed + 1;
      if (std::optional<ParagraphStyle> style = paragraphStyle()) {
        result.addAttribute(NSParagraphStyleAttributeName, *style, {start, end - start});
      }
      start = end;
    }
    return result;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(int percent) { return pick(1, 100) <= percent; }

  std::u16string string() {
    static constexpr std::u16string_view kPieces[] = {
        u"a",      u"Word",   u" ",      u"\n",         u"\t", u"\\", u"{", u"}",
        u"\u00e9", u"\u20ac", u"\u4e2d", u"\U0001F600", u";",  u"\"", u"?", u"1"};
    std::u16string result;
    const int count = pick(1, 6);
    for (int index = 0; index < count; ++index) {
      result += kPieces[pick(0, std::size(kPieces) - 1)];
    }
    return result;
  }

  Attributes attributes() {
    static constexpr std::u16string_view kFamilies[] = {u"Helvetica", u"Times New Roman", u"Menlo"};
    static constexpr std::u16string_view kSuffixes[] = {u"", u"-Bold", u"-Italic", u"-BoldItalic"};
    Attributes result;
    std::u16string face(kFamilies[pick(0, 2)]);
    face += kSuffixes[pick(0, 3)];
    result.emplace(NSFontAttributeName, Font(face, pick(8, 72) / 2.0));
    if (chance(30)) {
      result.emplace(NSForegroundColorAttributeName, rgb(pick(0, 255), pick(0, 255), 0));
    }
    if (chance(20)) {
      result.emplace(NSBackgroundColorAttributeName, rgb(255, pick(0, 255), pick(0, 255)));
    }
    if (chance(20)) {
      static constexpr std::int64_t kUnderlines[] = {1, 2, 9};
      result.emplace(NSUnderlineStyleAttributeName, kUnderlines[pick(0, 2)]);
    }
    if (chance(15)) {
      result.emplace(NSStrikethroughStyleAttributeName, std::int64_t{1});
    }
    if (chance(15)) {
      if (chance(50)) {
        result.emplace(NSLinkAttributeName, *platform::URL::fromString(
                                                u"https://example.com/" +
                                                std::u16string(1, u'a' + pick(0, 3)) + u"?b=1#c"));
      } else {
        result.emplace(NSLinkAttributeName, std::u16string(u"note ") + string());
      }
    }
    return result;
  }

  std::optional<ParagraphStyle> paragraphStyle() {
    if (chance(40)) {
      return std::nullopt;
    }
    ParagraphStyle style;
    style.alignment = static_cast<TextAlignment>(pick(0, 4));
    style.paragraphSpacingBefore = pick(0, 40) / 2.0;
    style.paragraphSpacing = pick(0, 40) / 4.0;
    style.lineSpacing = pick(0, 4);
    // Each line height field alone and together, exact heights included.
    style.lineHeightMultiple = chance(30) ? pick(4, 12) / 4.0 : 0;
    style.minimumLineHeight = chance(30) ? pick(10, 30) : 0;
    if (chance(30)) {
      style.maximumLineHeight = chance(50) ? style.minimumLineHeight : pick(10, 40);
    }
    // Hanging first lines too.
    style.headIndent = pick(0, 8) * 9;
    style.firstLineHeadIndent = style.headIndent + (pick(-4, 4) * 4.5);
    style.tailIndent = -pick(0, 4) * 9.0;
    for (int tab = pick(0, 3); tab > 0; --tab) {
      static constexpr TextAlignment kTabs[] = {TextAlignment::kLeft, TextAlignment::kRight,
                                                TextAlignment::kCenter};
      style.tabStops.push_back({kTabs[pick(0, 2)], pick(1, 60) * 7.5});
    }
    style.headerLevel = chance(20) ? pick(1, 6) : 0;
    static const TextList kLists[] = {{TextList::kMarkerDisc, 1},
                                      {TextList::kMarkerHyphen, 1},
                                      {TextList::kMarkerDecimal, 1},
                                      {u"({lower-roman})", 4}};
    for (int level = chance(40) ? pick(1, 3) : 0; level > 0; --level) {
      style.textLists.push_back(kLists[pick(0, 3)]);
    }
    if (style == ParagraphStyle{}) {
      return std::nullopt;
    }
    return style;
  }

  std::mt19937 random_;
};

TEST(RTFWriterTest, RandomTextsReadBackTheSame) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE(seed);
    const AttributedString original = RandomText(seed).make();
    expectReadBackAs(original, original);
    if (HasFailure()) {
      break;
    }
  }
}

}  // namespace
}  // namespace zv::richtext
