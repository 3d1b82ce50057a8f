#include "platform/app_group_containers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testsupport::IsOk;
using testsupport::IsPlatformError;

constexpr char16_t kGroup[] = u"TEAM123.com.quennet.Quennet";

TEST(Containers, ContainerFollowsTheDataHomeRules) {
  struct Case {
    ContainerEnvironment environment;
    std::optional<URL> baseFolder;
    std::u16string expectedParent;
  };
  const Case cases[] = {
      {{"/data", "/home/me"}, std::nullopt, u"file:///data/"},
      {{std::nullopt, "/home/me"}, std::nullopt, u"file:///home/me/.local/share/"},
      {{"relative/data", "/home/me"}, std::nullopt, u"file:///home/me/.local/share/"},
      {{std::nullopt, std::nullopt}, URL::fileURLWithPath(u"/srv/test"), u"file:///srv/test/"},
      // A folder named through "." or ".." could not be removed by the next run.
      {{"/data/./x/", "/home/me"}, std::nullopt, u"file:///data/x/"},
      {{std::nullopt, "/absent/me/../you"}, std::nullopt, u"file:///absent/you/.local/share/"},
      {{std::nullopt, std::nullopt}, URL::fileURLWithPath(u"/srv/./test/."), u"file:///srv/test/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.expectedParent));
    Result<URL> container =
        containerURLForSecurityApplicationGroupIdentifier(kGroup, c.baseFolder, c.environment);
    ASSERT_THAT(container, IsOk());
    EXPECT_EQ(container->absoluteString(), c.expectedParent + kGroup + u"/");
  }
}

TEST(Containers, NoUsableHomeIsAnErrorNotARelativePath) {
  const ContainerEnvironment environments[] = {{std::nullopt, std::nullopt},
                                               {std::nullopt, ""},
                                               {"", "relative/home"},
                                               {std::nullopt, "/"},
                                               {std::nullopt, "/home/.."}};
  for (const ContainerEnvironment& environment : environments) {
    SCOPED_TRACE(environment.home.value_or("no home"));
    EXPECT_THAT(
        containerURLForSecurityApplicationGroupIdentifier(kGroup, std::nullopt, environment),
        IsPlatformError(FileErrorCode::kNoHomeFolder));
  }
}

TEST(Containers, GroupIdentifiersThatWouldLeaveTheFolderAreRefused) {
  const std::u16string identifiers[] = {u"",          u".",   u"..",
                                        u"../escape", u"a/b", std::u16string(u"a\0b", 3)};
  for (const std::u16string& identifier : identifiers) {
    SCOPED_TRACE(toUtf8(identifier));
    EXPECT_THAT(containerURLForSecurityApplicationGroupIdentifier(identifier, std::nullopt,
                                                                  {"/data", "/home/me"}),
                ::testing::Not(IsOk()));
  }
}

TEST(AbsoluteNormalizedPath, NamesTheFolderWithoutDotsOrTrailingSlashes) {
  testsupport::TemporaryFolder temporary;
  const std::string base = std::filesystem::canonical(temporary.path()).string();
  ASSERT_TRUE(std::filesystem::create_directory(base + "/work"));
  ASSERT_TRUE(std::filesystem::create_directories(base + "/real/inner"));
  ASSERT_EQ(::symlink((base + "/real/inner").c_str(), (base + "/work/link").c_str()), 0);
  const std::string current = base + "/work";

  const std::pair<std::string, std::string> cases[] = {
      {"../c", base + "/c"},
      {"./out", current + "/out"},
      {"c/./x/", current + "/c/x"},
      {"c//x//", current + "/c/x"},
      {".", current},
      {"/srv/./box/", "/srv/box"},
      {"/..", "/"},
      {"/../../srv", "/srv"},
      {"link", current + "/link"},  // a link named last stays what the user named
      {"link/../d", base + "/real/d"},
      {"missing/../d", current + "/d"},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(absoluteNormalizedPath(path, current), expected);
  }
}

TEST(TemporaryDirectory, IsPrivateNewAndGoesWithEverythingInIt) {
  testsupport::TemporaryFolder parent;
  std::optional<URL> url;
  {
    auto run = TemporaryDirectory::createInDirectory(parent.url(), u"export run");
    ASSERT_THAT(run, IsOk());
    url = run->url();
    EXPECT_TRUE(url->hasDirectoryPath());
    EXPECT_TRUE(url->lastPathComponent().starts_with(u"export run."));
    EXPECT_EQ(std::filesystem::symlink_status(url->fileSystemPath()).permissions(),
              std::filesystem::perms::owner_all);
    ASSERT_THAT(createDirectoryAtURL(url->appendingPathComponent(u"a/b"), true, 0700), IsOk());
    auto second = TemporaryDirectory::createInDirectory(parent.url(), u"export run");
    ASSERT_THAT(second, IsOk());
    EXPECT_NE(second->url(), *url);

    TemporaryDirectory moved = std::move(*run);
    EXPECT_EQ(moved.url(), *url);
  }
  EXPECT_FALSE(itemIsReachableAtURL(*url));
  EXPECT_TRUE(std::filesystem::is_empty(parent.path()));
}

TEST(TemporaryDirectory, OnlyFoldersOfEndedRunsOfThisUserAreRemoved) {
  testsupport::TemporaryFolder parent;
  const std::string parentPath = parent.path().string();
  auto current = TemporaryDirectory::createForThisProcess(u"ZelvarExport", parent.url());
  ASSERT_THAT(current, IsOk());
  const std::string user = std::to_string(::geteuid());
  EXPECT_TRUE(current->url().lastPathComponent().starts_with(
      fromUtf8("ZelvarExport-" + user + "-" + std::to_string(::getpid()) + "-")));

  // A process that has ended: forked, and waited for.
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
  const std::string ended = std::to_string(child);
  const std::string target = parentPath + "/target";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  enum class Kind { kFolder, kLink, kFile };
  struct Case {
    std::string name;
    Kind kind;
    bool removed;
  };
  const Case cases[] = {
      {"ZelvarExport-" + user + "-" + ended + "-a1B2c3", Kind::kFolder, true},
      {"ZelvarExport-" + std::to_string(::geteuid() + 1) + "-" + ended + "-a1B2c3", Kind::kFolder,
       false},
      {"ZelvarExport-" + user + "-1-a1B2c3", Kind::kFolder, false},  // init never ends
      {"ZelvarExport-" + user + "-0-a1B2c3", Kind::kFolder, false},
      {"ZelvarExport-" + user + "--1-a1B2c3", Kind::kFolder, false},
      {"ZelvarExport-" + user + "-" + ended + "-toolong", Kind::kFolder, false},
      {"ZelvarExport-" + user + "-" + ended + "-link00", Kind::kLink, false},
      {"ZelvarExport-" + user + "-" + ended + "-file00", Kind::kFile, false},
      {"Other-" + user + "-" + ended + "-a1B2c3", Kind::kFolder, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = parentPath + "/" + c.name;
    if (c.kind == Kind::kFolder) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      std::ofstream(path + "/payload") << "secret";
    } else if (c.kind == Kind::kLink) {
      ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    } else {
      std::ofstream(path) << "not a folder";
    }
  }

  std::vector<Result<URL>> removed =
      TemporaryDirectory::removeAbandoned(u"ZelvarExport", parent.url());
  ASSERT_EQ(removed.size(), 1u);
  ASSERT_THAT(removed[0], IsOk());
  EXPECT_EQ(removed[0]->lastPathComponent(), fromUtf8(cases[0].name));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(parentPath + "/" + c.name)),
              !c.removed);
  }
  EXPECT_TRUE(directoryExistsAtURL(current->url()));
  EXPECT_TRUE(directoryExistsAtURL(parent.url(u"target", true)));
}

}  // namespace
}  // namespace zv::platform
