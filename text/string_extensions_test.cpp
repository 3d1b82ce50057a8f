#include "text/string_extensions.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>

#include "platform/unicode.h"
#include "text/character_sets.h"

namespace zv::text {
namespace {

// A text operation that returns the changed text.
using Transform = std::u16string (*)(std::u16string_view);

TEST(TextTransforms, EachTurnsTheTextIntoWhatItPromises) {
  struct Case {
    const char* name;
    Transform transform;
    std::u16string text;
    std::u16string expected;
  };
  const Transform removeNewlines = stringByRemovingNewlines;
  const Transform removeNewlinesAndTabs = stringByRemovingNewlinesAndTabs;
  const Transform standardize = stringByStandardizingNewlines;
  const Transform removeControl = stringByRemovingControlAndIllegalCharacters;
  const Transform capitalize = smartCapitalizedString;
  const Transform percentEncode = percentEncodedURLString;
  const Case cases[] = {
      {"newlines: line feeds become spaces, ends trimmed", removeNewlines, u"\n\nTitle\n",
       u"Title"},
      {"newlines: each of CR LF is a space", removeNewlines, u"a\r\nb", u"a  b"},
      {"newlines: a line separator stays", removeNewlines, u"a\u2028b", u"a\u2028b"},
      {"newlines: no-break spaces are trimmed", removeNewlines, u"\t a \u00A0", u"a"},
      {"and tabs: runs become one space", removeNewlinesAndTabs, u" a\t\tb \n c ", u"a b c"},
      {"and tabs: every line break counts", removeNewlinesAndTabs, u"a\u2029\u0085b", u"a b"},
      {"and tabs: pairs stay whole", removeNewlinesAndTabs, u"\U0001F600\n\n\U0001F600",
       u"\U0001F600 \U0001F600"},
      {"and tabs: no-break spaces stay", removeNewlinesAndTabs, u"a\u00A0\u00A0b",
       u"a\u00A0\u00A0b"},
      {"and tabs: nothing but breaks", removeNewlinesAndTabs, u"\n\t", u""},
      {"standardize: CR LF then CR", standardize, u"a\r\n\rb", u"a\n\nb"},
      {"standardize: LF CR is one break", standardize, u"a\n\rb", u"a\nb"},
      {"standardize: LF then CR LF", standardize, u"a\n\r\nb", u"a\n\nb"},
      {"standardize: lone CRs", standardize, u"\r\r", u"\n\n"},
      {"escape backslashes", stringByEscapingBackslashes, u"a\\b\\\\", u"a\\\\b\\\\\\\\"},
      {"escape quotes", stringByEscapingQuotes, u"it's \"x\" \\", u"it\\'s \\\"x\\\" \\"},
      {"control: controls and format characters", removeControl, u"a\u0001b\u200Bc\u00E9",
       u"abc\u00E9"},
      {"control: unassigned pairs", removeControl, u"x\U0001F600y", u"xy"},
      {"control: unpaired surrogates", removeControl, u"x\xD83Dy\xDE00", u"xy"},
      {"control: noncharacters", removeControl, u"a\uFFFEb\uFDD0", u"ab"},
      {"control: attachments stay", removeControl, u"\uFFFCx", u"\uFFFCx"},
      {"attachments", stringWithoutAttachments, u"\uFFFCa\uFFFC", u"a"},
      {"capitalize: pieces with capitals stay", capitalize, u"read the README now",
       u"Read The README Now"},
      {"capitalize: acronym first", capitalize, u"HTML report", u"HTML Report"},
      {"capitalize: spaces stay", capitalize, u" two  spaces ", u" Two  Spaces "},
      {"capitalize: accented", capitalize, u"\u00E9lan vital", u"\u00C9lan Vital"},
      {"capitalize: titlecase letter", capitalize, u"\u01C5emal was", u"\u01C5emal Was"},
      {"capitalize: empty", capitalize, u"", u""},
      {"percent: space", percentEncode, u"a b", u"a%20b"},
      {"percent: UTF-8 bytes", percentEncode, u"\u00E9", u"%C3%A9"},
      {"percent: URL characters stay", percentEncode, u"https://x.org/a?q=1&r=[2]#f",
       u"https://x.org/a?q=1&r=[2]#f"},
      {"percent: a lone percent sign", percentEncode, u"100%", u"100%25"},
      {"percent: only valid escapes stay", percentEncode, u"%41%4g", u"%41%254g"},
      {"percent: unsafe characters", percentEncode, u"\"<>\\^`{|}", u"%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"percent: unpaired surrogate", percentEncode, u"\xD800", u"%EF%BF%BD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.transform(c.text), c.expected);
  }
}

// Deletes the first member of the set and starts again: slow, but obviously what is meant.
std::u16string removeOneByOne(std::u16string text, const icu::UnicodeSet& set) {
  while (true) {
    std::size_t found = indexOfFirstCharacterInSet(text, set);
    if (found == std::u16string::npos) {
      return text;
    }
    std::size_t length = 0;
    codePointAt(text, found, length);
    text.erase(found, length);
  }
}

TEST(RemovingCharacters, MatchesDeletingOneCharacterAtATime) {
  UErrorCode status = U_ZERO_ERROR;
  // x, the lone lead of U+1F600 and a pair are in the set; its lone trail is not.
  icu::UnicodeSet set(icu::UnicodeString(u"[x\\uD83D\\U0001F601]"), status);
  ASSERT_TRUE(U_SUCCESS(status));
  const char16_t alphabet[] = {u'a', u'x', 0xD83D, 0xDE00, 0xDE01, 0xD83C};
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::u16string text;
    for (int length = round % 9; length > 0; --length) {
      text.push_back(alphabet[random() % std::size(alphabet)]);
    }
    EXPECT_EQ(stringByRemovingCharactersInSet(text, set), removeOneByOne(text, set))
        << platform::toUtf8(text);
  }
}

TEST(Truncation, CutsAtTheEndOrInTheMiddleWithAnEllipsis) {
  const std::tuple<std::u16string, std::size_t, std::u16string, std::u16string> cases[] = {
      {u"abcdefgh", 5, u"abcde\u2026", u"ab\u2026gh"},
      {u"abcdefgh", 4, u"abcd\u2026", u"ab\u2026gh"},
      {u"abcde", 5, u"abcde", u"abcde"},
      {u"abc", 0, u"\u2026", u"\u2026"},
      {u"a\U0001F600\U0001F600b", 3, u"a\U0001F600\u2026", u"a\u2026b"},
  };
  for (const auto& [text, maxLength, atEnd, inMiddle] : cases) {
    SCOPED_TRACE(platform::toUtf8(text) + " to " + std::to_string(maxLength));
    EXPECT_EQ(truncatedStringWithMaxLength(text, maxLength), atEnd);
    EXPECT_EQ(stringByTruncatingMiddleWithMaxLength(text, maxLength), inMiddle);
  }
}

TEST(Search, FindsEveryOccurrenceIgnoringCaseAndDiacritics) {
  const std::tuple<std::u16string, std::u16string, std::vector<Range>> cases[] = {
      {u"abab", u"ab", {{0, 2}, {2, 2}}},
      {u"aaa", u"aa", {{0, 2}}},
      {u"R\u00E9sum\u00E9 or resume", u"RESUME", {{0, 6}, {10, 6}}},
      {u"abc", u"abc", {{0, 3}}},
      {u"abc", u"abcd", {}},
      {u"abc", u"", {}},
      // Width counts: full-width and half-width forms only match their own width.
      {u"\uFF21\uFF22\uFF23 and abc", u"abc", {{8, 3}}},
      {u"\uFF21\uFF22\uFF23 and abc", u"\uFF41\uFF42\uFF43", {{0, 3}}},
      {u"\uFF76\uFF85 \u30AB\u30CA", u"\u30AB\u30CA", {{3, 2}}},
      {u"\uFF76\uFF9E\uFF85 x", u"\uFF76\uFF9E\uFF85", {{0, 3}}},
  };
  for (const auto& [text, searched, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(searched + u" in " + text));
    EXPECT_EQ(localizedStandardRangesOfString(text, searched), expected);
  }
  EXPECT_TRUE(isCaseInsensitiveEqualToString(u"Stra\u00DFe", u"STRASSE"));
  EXPECT_FALSE(isCaseInsensitiveEqualToString(u"abc", u"abd"));
}

TEST(Search, PrefixMaySitBehindBlanksButNotBehindLineBreaks) {
  const std::tuple<std::u16string, std::u16string, bool> cases[] = {
      {u"  Hello", u"Hello", true},  {u"\t\u00A0Hello", u"Hello", true},
      {u"\nHello", u"Hello", false}, {u"Say Hello", u"Hello", false},
      {u"Hello", u"Help", false},    {u"", u"x", false},
      {u"anything", u"", false},     {u"", u"", false},
  };
  for (const auto& [text, prefix, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(prefix + u" before " + text));
    EXPECT_EQ(hasPrefixIgnoringWhitespace(text, prefix), expected);
  }
}

}  // namespace
}  // namespace zv::text
