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

}  // namespace
}  // namespace zv::platform
