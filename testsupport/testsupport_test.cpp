#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/result.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::testsupport {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

namespace fs = std::filesystem;

TEST(TestSupportTest, TemporaryFolderIsPrivateAndGoesWithEverythingInItButNotThroughLinks) {
  TemporaryFolder outside;
  ASSERT_TRUE(writeFileText(outside.path("keep"), "precious"));
  fs::path removed;
  {
    TemporaryFolder folder;
    removed = folder.path();
    struct stat status {};
    ASSERT_EQ(::lstat(removed.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    fs::create_directories(folder.path("locked/inner"));
    ASSERT_TRUE(writeFileText(folder.path("locked/inner/file"), "x"));
    ::chmod(folder.path("locked/inner").c_str(), 0);
    ::chmod(folder.path("locked").c_str(), 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), folder.path("link").c_str()), 0);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(removed)));
  EXPECT_EQ(readFileText(outside.path("keep")), "precious");
}

TEST(TestSupportTest, ResultMatchersMatchAndExplainByDomainCodeAndDescription) {
  const platform::Error error{u"Domain", 7, u"Cannot save it"};
  const platform::Result<int> failed(error);
  const platform::Result<void> succeeded;
  EXPECT_THAT(succeeded, IsOk());
  EXPECT_THAT(platform::Result<int>(1), IsOk());
  EXPECT_THAT(std::optional<platform::Error>(), IsOk());
  EXPECT_THAT(failed, IsError(u"Domain", 7));
  EXPECT_THAT(failed, IsError(u"Domain", 7, HasSubstr("save")));
  EXPECT_THAT(std::optional(error), IsError(u"Domain", 7));
  EXPECT_THAT(failed, Not(IsOk()));
  EXPECT_THAT(failed, Not(IsError(u"Domain", 8)));
  EXPECT_THAT(error, Not(IsError(u"Other", 7)));
  EXPECT_THAT(failed, Not(IsError(u"Domain", 7, HasSubstr("load"))));
  EXPECT_THAT(succeeded, Not(IsError(u"Domain", 7)));
  ::testing::StringMatchResultListener listener;
  EXPECT_FALSE(::testing::ExplainMatchResult(IsOk(), failed, &listener));
  EXPECT_EQ(listener.str(), "failed with {Domain 7 \"Cannot save it\"}");
  EXPECT_EQ(::testing::PrintToString(failed), "an error {Domain 7 \"Cannot save it\"}");
}

}  // namespace
}  // namespace zv::testsupport
