#include "platform/bundle_info.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unicode.h"

namespace zv::platform {
namespace {

TEST(BundleInfo, AnswersTheThreeExporterKeysAndNothingElse) {
  struct Case {
    std::u16string_view key;
    std::optional<std::u16string_view> expected;
  };
  const Case cases[] = {
      {u"CFBundleIdentifier", kBundleIdentifier},
      {u"CFBundleVersion", kBundleVersion},
      {u"CFBundleShortVersionString", kBundleShortVersionString},
      {u"CFBundleName", std::nullopt},
      {u"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(toUtf8(c.key));
    EXPECT_EQ(bundleInfoValue(c.key), c.expected);
  }
  EXPECT_FALSE(std::u16string_view(kBundleVersion).empty());
  EXPECT_FALSE(std::u16string_view(kBundleShortVersionString).empty());
}

}  // namespace
}  // namespace zv::platform
