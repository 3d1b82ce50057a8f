#include "text/character_sets.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/unicode.h"
#include "text/mutable_string_extensions.h"

namespace zv::text {
namespace {

TEST(CharacterSets, ClassifyTheBoundaryCodePoints) {
  struct Case {
    char32_t codePoint;
    bool whitespace;
    bool whitespaceAndNewline;
    bool newline;
    bool control;
    bool illegal;
    bool uppercase;
  };
  const Case cases[] = {
      {U'\t', true, true, false, true, false, false},
      {U'\n', false, true, true, true, false, false},
      {0x0085, false, true, true, true, false, false},
      {0x00A0, true, true, false, false, false, false},
      {0x2028, false, true, true, false, false, false},
      {0x3000, true, true, false, false, false, false},
      {0x200B, false, false, false, true, false, false},
      {0xE0001, false, false, false, true, false, false},  // format character from Unicode 3.1
      {U'A', false, false, false, false, false, true},
      {0x01C5, false, false, false, false, false, true},  // titlecase letter
      {0x20AC, false, false, false, false, false, false},
      {0x0221, false, false, false, false, true, false},    // assigned in Unicode 4.0
      {0x1F600, false, false, false, false, true, false},   // emoji, assigned in Unicode 6.1
      {0xFDD0, false, false, false, false, true, false},    // noncharacter
      {0x10FFFF, false, false, false, false, true, false},  // noncharacter
      {0xD800, false, false, false, false, false, false},   // surrogates were assigned in 2.0
  };
  for (const auto& c : cases) {
    auto point = static_cast<UChar32>(c.codePoint);
    SCOPED_TRACE(testing::Message() << std::hex << point);
    EXPECT_EQ(whitespaceCharacterSet().contains(point), c.whitespace);
    EXPECT_EQ(whitespaceAndNewlineCharacterSet().contains(point), c.whitespaceAndNewline);
    EXPECT_EQ(newlineCharacterSet().contains(point), c.newline);
    EXPECT_EQ(controlCharacterSet().contains(point), c.control);
    EXPECT_EQ(illegalCharacterSet().contains(point), c.illegal);
    EXPECT_EQ(uppercaseLetterCharacterSet().contains(point), c.uppercase);
  }
}

TEST(CodeUnitCuts, NeverSplitASurrogatePair) {
  const std::tuple<std::u16string, std::size_t, std::u16string, std::u16string> cases[] = {
      {u"abcd", 2, u"ab", u"cd"},
      {u"abcd", 9, u"abcd", u"abcd"},
      {u"a\U0001F600b", 2, u"a", u"b"},
      {u"a\U0001F600b", 3, u"a\U0001F600", u"\U0001F600b"},
      {u"\U0001F600\U0001F600", 1, u"", u""},
      {u"abc", 0, u"", u""},
  };
  for (const auto& [text, maxLength, prefix, suffix] : cases) {
    SCOPED_TRACE(platform::toUtf8(text) + " within " + std::to_string(maxLength));
    EXPECT_EQ(prefixWithinLength(text, maxLength), prefix);
    EXPECT_EQ(suffixWithinLength(text, maxLength), suffix);
  }
}

// Trimming into a new string or in place, at either end or both.
TEST(Trimming, TestsWholeCodePointsAtTheChosenEnds) {
  const std::tuple<std::u16string, std::u16string, std::u16string, std::u16string> cases[] = {
      {u"", u"", u"", u""},
      {u" \n\t\u3000", u"", u"", u""},
      {u"\u0085 a b \u2029", u"a b \u2029", u"\u0085 a b", u"a b"},
      // A pair whose code point is not in the set stays whole at either end.
      {u"\U0001F600 x \U0001F600", u"\U0001F600 x \U0001F600", u"\U0001F600 x \U0001F600",
       u"\U0001F600 x \U0001F600"},
      // An unpaired surrogate is a character of its own and not whitespace.
      {u" \xD83D ", u"\xD83D ", u" \xD83D", u"\xD83D"},
  };
  for (const auto& [text, leading, trailing, both] : cases) {
    SCOPED_TRACE(platform::toUtf8(text));
    EXPECT_EQ(stringByTrimmingCharactersInSet(text, whitespaceAndNewlineCharacterSet()), both);
    std::u16string trimmed = text;
    trimLeadingWhitespace(trimmed);
    EXPECT_EQ(trimmed, leading);
    trimmed = text;
    trimTrailingWhitespace(trimmed);
    EXPECT_EQ(trimmed, trailing);
    trimmed = text;
    trimWhitespace(trimmed);
    EXPECT_EQ(trimmed, both);
  }
}

}  // namespace
}  // namespace zv::text
