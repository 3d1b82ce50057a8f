#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace zv::platform {
namespace {

TEST(Utf8, DecodesSequencesAndReplacesBrokenOnes) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"plain ASCII /path", u"plain ASCII /path"},
      {"caf\xC3\xA9 \xE2\x80\xA6", u"café …"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"file:///caf\xC3\xA9/abcdefgh/ijklmnop", u"file:///caf\u00E9/abcdefgh/ijklmnop"},
      // Broken input: one replacement per maximal bad subpart, nothing lost after it.
      {"\x80x", u"\uFFFDx"},
      {"x\xE2\x82", u"x\uFFFD"},
      {"\xC0\xAFz", u"\uFFFD\uFFFDz"},
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xFF\xFE\xFD", u"\uFFFD\uFFFD\uFFFD"},
      {"abcdefgh\x80ijklmnopq", u"abcdefgh\uFFFDijklmnopq"},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    EXPECT_EQ(fromUtf8(bytes), expected);
  }
  // Valid text survives the round trip whole.
  const std::u16string mixed = u"a\u00E9\u4E2D\U0001F600z";
  EXPECT_EQ(fromUtf8(toUtf8(mixed)), mixed);
}

TEST(Utf8, EncodesEveryLengthAndReplacesLoneSurrogates) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", ""},
      {u"path/x", "path/x"},
      {u"\u00E9\u07FF", "\xC3\xA9\xDF\xBF"},
      {u"\u0800\uFFFF", "\xE0\xA0\x80\xEF\xBF\xBF"},
      {u"\U0001F600\U0010FFFF", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      // Each lone surrogate becomes one U+FFFD and takes nothing after it along.
      {std::u16string{u'a', char16_t(0xD83D)}, "a\xEF\xBF\xBD"},
      {std::u16string{char16_t(0xDE00), u'b'},
       "\xEF\xBF\xBD"
       "b"},
      {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::u16string{char16_t(0xD83D), u'c', char16_t(0xD83D), char16_t(0xDE00)},
       "\xEF\xBF\xBD"
       "c\xF0\x9F\x98\x80"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(expected));
    EXPECT_EQ(toUtf8(text), expected);
  }
}

}  // namespace
}  // namespace zv::platform
