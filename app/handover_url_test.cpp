#include "app/handover_url.h"

#include <gtest/gtest.h>

#include "platform/unicode.h"

namespace zv::app {
namespace {

using platform::URL;

// Paths whose file URLs carry characters that would split or end a query if left as they are.
TEST(HandOverURL, LocationDecodesToTheMetadataFileURLWhateverThePathHolds) {
  const std::u16string paths[] = {
      u"/home/ann/.local/share/QN7T3AM0RG.org.example.quennet/Zelvar/Zelvar.plist",
      u"/tmp/a b/Zelvar.plist",
      u"/tmp/x&location=evil/Zelvar.plist",
      u"/tmp/50%25 off+more/Zelvar.plist",
      u"/tmp/what?#frag/Zelvar.plist",
      u"/tmp/Bibliothèque/季度/Zelvar.plist",
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(platform::toUtf8(path));
    URL metadataFile = URL::fileURLWithPath(path);
    std::optional<URL> handOver = importURLForMetadataFileAtURL(metadataFile);
    ASSERT_TRUE(handOver);
    EXPECT_EQ(handOver->scheme(), u"quennet");
    EXPECT_EQ(handOver->host(), u"library");
    EXPECT_EQ(handOver->path(), u"");
    EXPECT_FALSE(handOver->fragment());

    std::u16string query = handOver->query().value_or(u"");
    ASSERT_TRUE(query.starts_with(u"location="));
    std::u16string value = query.substr(9);
    for (char16_t c : value) {
      EXPECT_TRUE(c < 0x80 && std::u16string_view(u" &=+#?").find(c) == std::u16string::npos)
          << "unencoded character " << static_cast<int>(c);
    }

    auto reparsed = platform::URLComponents::fromString(handOver->absoluteString());
    ASSERT_TRUE(reparsed);
    auto items = reparsed->queryItems();
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ((*items)[0].name, u"location");
    EXPECT_EQ((*items)[0].value, metadataFile.absoluteString());
  }
}

}  // namespace
}  // namespace zv::app
