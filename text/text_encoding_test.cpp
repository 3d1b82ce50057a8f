#include "text/text_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv::text {
namespace {

TEST(StringWithCString, DecodesUpToTheCountOrTheTerminator) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    TextEncoding encoding;
    std::size_t length;
    std::optional<std::u16string> expected;
  };
  const Case cases[] = {
      {{'a', 'b', 'c', 0, 'd', 'e', 'f', 'g', 'h', 'i'}, TextEncoding::kUTF8, 10, u"abc"},
      {{'a', 'b', 'c'}, TextEncoding::kUTF8, 2, u"ab"},
      {{'a', 'b', 'c'}, TextEncoding::kUTF8, 0, u""},
      // A count beyond the buffer is not read past.
      {{'a', 'b'}, TextEncoding::kUTF8, 100, u"ab"},
      {{0xC3, 0xA9}, TextEncoding::kUTF8, 2, u"\u00E9"},
      {{0xC3, 0xA9}, TextEncoding::kUTF8, 1, std::nullopt},
      {{0xFF, 'a'}, TextEncoding::kUTF8, 2, std::nullopt},
      {{0xE9}, TextEncoding::kISOLatin1, 1, u"\u00E9"},
      {{0x80}, TextEncoding::kWindowsCP1252, 1, u"\u20AC"},
      {{0x8E}, TextEncoding::kMacOSRoman, 1, u"\u00E9"},
      {{0x80}, TextEncoding::kASCII, 1, std::nullopt},
      {{'h', 0, 'i', 0, 0, 0, 'x', 0}, TextEncoding::kUTF16LittleEndian, 8, u"hi"},
      {{0, 'h', 0xD8, 0x3D, 0xDE, 0x00}, TextEncoding::kUTF16BigEndian, 6, u"h\U0001F600"},
      {{0, 'h', 0}, TextEncoding::kUTF16BigEndian, 3, std::nullopt},
      {{}, TextEncoding::kUTF8, 5, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + " up to " + std::to_string(c.length));
    EXPECT_EQ(stringWithCString(c.bytes, c.encoding, c.length), c.expected);
  }
}

}  // namespace
}  // namespace zv::text
