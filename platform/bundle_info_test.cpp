#include "platform/bundle_info.h"

#include <gtest/gtest.h>

#include <string>

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
    EXPECT_EQ(bundleInfoValue(c.key), c.expected);
  }
  EXPECT_FALSE(std::u16string_view(kBundleVersion).empty());
  EXPECT_FALSE(std::u16string_view(kBundleShortVersionString).empty());
}

TEST(BundleInfo, DerivedIdentifiersFollowTheirBase) {
  EXPECT_EQ(std::u16string(kZelvar4BundleIdentifier),
            std::u16string(kZelvarBundleIdentifier) + u"4");
  EXPECT_EQ(std::u16string(kQuennetApplicationGroupIdentifier),
            std::u16string(kTeamIdentifier) + u"." + kQuennetBundleIdentifier);
}

}  // namespace
}  // namespace zv::platform
