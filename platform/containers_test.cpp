#include "platform/containers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/files.h"

namespace zv::platform {
namespace {

constexpr char16_t kGroup[] = u"TEAM123.com.quennet.Quennet";

TEST(Containers, ContainerFollowsTheDataHomeRules) {
  struct Case {
    ContainerEnvironment environment;
    std::optional<URL> baseFolder;
    std::u16string expected;
  };
  const Case cases[] = {
      {{"/data", "/home/me"}, std::nullopt, u"file:///data/TEAM123.com.quennet.Quennet/"},
      {{std::nullopt, "/home/me"},
       std::nullopt,
       u"file:///home/me/.local/share/TEAM123.com.quennet.Quennet/"},
      {{"relative/data", "/home/me"},
       std::nullopt,
       u"file:///home/me/.local/share/TEAM123.com.quennet.Quennet/"},
      {{std::nullopt, std::nullopt},
       URL::fileURLWithPath(u"/srv/test"),
       u"file:///srv/test/TEAM123.com.quennet.Quennet/"},
  };
  for (const Case& c : cases) {
    Result<URL> container =
        containerURLForSecurityApplicationGroupIdentifier(kGroup, c.baseFolder, c.environment);
    ASSERT_TRUE(container.ok());
    EXPECT_EQ(container->absoluteString(), c.expected);
  }
}

TEST(Containers, NoUsableHomeIsAnErrorNotARelativePath) {
  const ContainerEnvironment environments[] = {
      {std::nullopt, std::nullopt}, {std::nullopt, ""}, {"", "relative/home"}, {std::nullopt, "/"}};
  for (const ContainerEnvironment& environment : environments) {
    Result<URL> container =
        containerURLForSecurityApplicationGroupIdentifier(kGroup, std::nullopt, environment);
    ASSERT_FALSE(container.ok());
    EXPECT_TRUE(isFileError(container.error(), FileErrorCode::kNoHomeFolder));
  }
}

TEST(Containers, GroupIdentifiersThatWouldLeaveTheFolderAreRefused) {
  const std::u16string identifiers[] = {u"",          u".",   u"..",
                                        u"../escape", u"a/b", std::u16string(u"a\0b", 3)};
  for (const std::u16string& identifier : identifiers) {
    Result<URL> container = containerURLForSecurityApplicationGroupIdentifier(
        identifier, std::nullopt, {"/data", "/home/me"});
    EXPECT_FALSE(container.ok());
  }
}

TEST(TemporaryDirectory, IsPrivateAndGoesWithEverythingInIt) {
  auto parent = TemporaryDirectory::create(u"containers-test");
  ASSERT_TRUE(parent.ok());
  std::optional<URL> url;
  {
    auto run = TemporaryDirectory::createInDirectory(parent->url(), u"export run");
    ASSERT_TRUE(run.ok());
    url = run->url();
    EXPECT_TRUE(url->hasDirectoryPath());
    EXPECT_TRUE(url->lastPathComponent().starts_with(u"export run."));
    struct stat status {};
    ASSERT_EQ(::lstat(url->fileSystemPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_TRUE(createDirectoryAtURL(url->appendingPathComponent(u"a/b"), true, 0700).ok());

    TemporaryDirectory moved = std::move(*run);
    EXPECT_EQ(moved.url(), *url);
  }
  EXPECT_FALSE(itemIsReachableAtURL(*url));
  EXPECT_TRUE(itemIsReachableAtURL(parent->url()));
}

TEST(TemporaryDirectory, TwoRunsNeverShareAFolder) {
  auto first = TemporaryDirectory::create();
  auto second = TemporaryDirectory::create();
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_NE(first->url(), second->url());
  URL firstURL = first->url();
  ASSERT_TRUE(first->remove().ok());
  EXPECT_FALSE(itemIsReachableAtURL(firstURL));
}

}  // namespace
}  // namespace zv::platform
