#include "text/mutable_string_extensions.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zv::text {
namespace {

TEST(InPlaceTrimming, RemovesBlanksAndLineBreaksFromTheChosenEnds) {
  struct Case {
    std::u16string text;
    std::u16string leading;
    std::u16string trailing;
    std::u16string both;
  };
  const Case cases[] = {
      {u"", u"", u"", u""},
      {u" \n\t\u3000", u"", u"", u""},
      {u"\u0085 a b \u2029", u"a b \u2029", u"\u0085 a b", u"a b"},
      {u"\U0001F600 ", u"\U0001F600 ", u"\U0001F600", u"\U0001F600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.text));
    std::u16string leading = c.text;
    trimLeadingWhitespace(leading);
    EXPECT_EQ(leading, c.leading);
    std::u16string trailing = c.text;
    trimTrailingWhitespace(trailing);
    EXPECT_EQ(trailing, c.trailing);
    std::u16string both = c.text;
    trimWhitespace(both);
    EXPECT_EQ(both, c.both);
  }
}

}  // namespace
}  // namespace zv::text
