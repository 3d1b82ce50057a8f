#include "platform/file_attributes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "platform/files.h"
#include "platform/temporary_directory.h"

namespace zv::platform {
namespace {

class FileAttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto folder = TemporaryDirectory::create(u"attributes-test");
    ASSERT_TRUE(folder.ok());
    folder_.emplace(std::move(*folder));
    file_ = folder_->url().appendingPathComponent(u"Bookmark.qntweblink");
    const std::uint8_t content[] = {'x'};
    ASSERT_TRUE(writeFileAtURL(file_, content, WriteMode::kCreateNew).ok());
    std::string path = file_.fileSystemPath();
    supportsAttributes_ = ::setxattr(path.c_str(), "user.probe", "1", 1, 0) == 0;
  }

  std::optional<TemporaryDirectory> folder_;
  URL file_ = URL::fileURLWithPath(u"/");
  bool supportsAttributes_ = false;
};

TEST_F(FileAttributesTest, DatesRoundTripWithoutDisturbingEachOther) {
  if (!supportsAttributes_) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  const Date created = dateFromUnixTime(1262304000.5);        // 2010
  const Date modified = dateFromUnixTime(1614931200.123456);  // 2021
  ASSERT_TRUE(setFileDatesAtURL(file_, {created, modified}).ok());
  EXPECT_NEAR(creationDateAtURL(file_)->secondsSinceReferenceDate,
              created.secondsSinceReferenceDate, 1e-6);
  EXPECT_NEAR(contentModificationDateAtURL(file_)->secondsSinceReferenceDate,
              modified.secondsSinceReferenceDate, 1e-6);

  const Date later = dateFromUnixTime(1700000000);
  ASSERT_TRUE(setFileDatesAtURL(file_, {later, std::nullopt}).ok());
  EXPECT_NEAR(contentModificationDateAtURL(file_)->secondsSinceReferenceDate,
              modified.secondsSinceReferenceDate, 1e-6);
  EXPECT_EQ(*creationDateAtURL(file_), later);
}

TEST_F(FileAttributesTest, CreationDateFallsBackToTheFileSystemWhenOursIsMissingOrForged) {
  Result<Date> fresh = creationDateAtURL(file_);
  ASSERT_TRUE(fresh.ok());
  EXPECT_NEAR(fresh->secondsSinceReferenceDate, currentDate().secondsSinceReferenceDate, 3600);
  if (supportsAttributes_) {
    std::string path = file_.fileSystemPath();
    ASSERT_EQ(::setxattr(path.c_str(), "user.zelvar.creation-date", "garbage", 7, 0), 0);
    EXPECT_EQ(*creationDateAtURL(file_), *fresh);
  }
}

TEST_F(FileAttributesTest, RefusesDatesNoFileCanCarry) {
  const Date refused[] = {Date{std::numeric_limits<double>::infinity()},
                          Date{std::numeric_limits<double>::quiet_NaN()}, Date{1e300}};
  for (Date date : refused) {
    Result<void> set = setFileDatesAtURL(file_, {std::nullopt, date});
    ASSERT_FALSE(set.ok());
    EXPECT_TRUE(isFileError(set.error(), FileErrorCode::kInvalidValue));
  }
}

TEST_F(FileAttributesTest, HiddenExtensionShapesTheDisplayName) {
  if (!supportsAttributes_) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), false);
  EXPECT_EQ(displayNameAtURL(file_), u"Bookmark.qntweblink");
  ASSERT_TRUE(setHasHiddenExtensionAtURL(file_, true).ok());
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), true);
  EXPECT_EQ(displayNameAtURL(file_), u"Bookmark");
  ASSERT_TRUE(setHasHiddenExtensionAtURL(file_, false).ok());
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), false);
}

TEST_F(FileAttributesTest, MissingItemsAreErrors) {
  URL missing = folder_->url().appendingPathComponent(u"missing.qntweblink");
  EXPECT_FALSE(hasHiddenExtensionAtURL(missing).ok());
  EXPECT_FALSE(setHasHiddenExtensionAtURL(missing, true).ok());
  EXPECT_FALSE(creationDateAtURL(missing).ok());
  Result<void> set = setFileDatesAtURL(missing, {currentDate(), currentDate()});
  ASSERT_FALSE(set.ok());
  EXPECT_TRUE(isFileError(set.error(), FileErrorCode::kFileNotFound));
  EXPECT_FALSE(itemIsReachableAtURL(missing));
}

}  // namespace
}  // namespace zv::platform
