// The free-space check before an export.
#include "export/free_space.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "export/dry_run.h"
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/export_run_for_testing.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/library_snapshot.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

using platform::URL;
using testsupport::IsError;
using testsupport::IsOk;

TEST(FreeSpace, ByteCountsAreDecimalWithTheExactCountOnceRounded) {
  const std::pair<std::int64_t, std::u16string> cases[] = {
      {0, u"0 bytes"},
      {999, u"999 bytes"},
      {1000, u"1.0 kB (1,000 bytes)"},
      {999950, u"1.0 MB (999,950 bytes)"},
      {5'000'000'000'000, u"5.0 TB (5,000,000,000,000 bytes)"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(platform::toUtf8(formattedByteCount(bytes)), platform::toUtf8(text)) << bytes;
  }
}

// A snapshot of notes, one encrypted and large, one without a name; a password, two bookmarks and
// a web archive.
class SpaceCheckTest : public testsupport::TemporaryFolderTest {
 protected:
  static constexpr std::int64_t kLargePayload = 5000;

  void SetUp() override {
    std::filesystem::create_directories(folder_.path("library/payload"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/a.rtf"), "0123456789"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/b.rtf"), "01234"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/big.rtf"),
                                           std::string(kLargePayload, 'x')));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/w.webarchive"), "WA"));
    const std::string json = R"({"format": 1, "items": [
      {"kind": "note", "id": "N1", "name": "Same", "file": "payload/a.rtf"},
      {"kind": "note", "id": "N2", "name": "Same", "file": "payload/b.rtf"},
      {"kind": "note", "id": "N3", "name": "Secret", "encrypted": true, "file": "payload/big.rtf"},
      {"kind": "note", "id": "N4", "name": "", "file": "payload/a.rtf"},
      {"kind": "password", "id": "P1", "name": "Login", "file": "payload/b.rtf"},
      {"kind": "bookmark", "id": "B1", "name": "Same", "location": "https://example.com/"},
      {"kind": "bookmark", "id": "B2", "name": "Nowhere"},
      {"kind": "webArchive", "id": "W1", "name": "Same", "file": "payload/w.webarchive"}]})";
    auto library = source::parseLibrarySnapshot(json, folder_.path("library"));
    ASSERT_THAT(library, IsOk());
    library_ = std::shared_ptr<source::SourceLibrary>(std::move(*library));
  }

  ExportRun runExport(bool encryptedItems, std::int64_t available) {
    platform::RunLoopMainQueue mainQueue;
    auto operation = std::make_shared<ZVExportOperation>(library_, mainQueue);
    operation->setExportEncryptedItems(encryptedItems);
    operation->setExportPasswordItems(true);
    operation->setContainerURL(container_);
    operation->setFreeSpaceSource([this, available](const URL& folder) {
      askedFor_ = folder;
      return platform::Result<std::int64_t>(available);
    });
    return runExportToEnd(operation, mainQueue, pathOf(u"log.txt"));
  }

  URL container_ = at(u"container", true);
  std::optional<URL> askedFor_;
  std::shared_ptr<source::SourceLibrary> library_;
};

TEST_F(SpaceCheckTest, ExportChecksTheSpaceOfWhatItWouldCopyUnderItsOptions) {
  // The notes' 10 + 5 (+ 5000 encrypted), the password's 5 (encrypted), the whole archive, and
  // room for a web link file per bookmark, counted as they stand.
  const std::int64_t webLink = 2 * kWebLinkFileAllowance;
  const std::int64_t archive = 2;
  const std::int64_t without = bytesNeededForExport(15 + webLink + archive, 5);
  const std::int64_t with = bytesNeededForExport(20 + kLargePayload + webLink + archive, 7);
  struct Case {
    std::int64_t available;
    bool encryptedItems;
    bool fails;
  };
  const Case cases[] = {{with, true, false},
                        {with - 1, true, true},
                        {without, false, false},
                        {without - 1, false, true}};
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testing::Message() << testCase.encryptedItems << " " << testCase.available);
    const ExportRun run = runExport(testCase.encryptedItems, testCase.available);
    ASSERT_EQ(askedFor_, container_);
    if (!testCase.fails) {
      EXPECT_THAT(run.error, IsOk());
      continue;
    }
    EXPECT_THAT(
        run.error,
        IsError(kZVImportErrorDomain, kFileExportErrorCode,
                platform::toUtf8(u"Not enough free space in " + container_.path() + u": " +
                                 formattedByteCount(testCase.encryptedItems ? with : without) +
                                 u" needed, " + formattedByteCount(testCase.available) +
                                 u" available.")));
    // Failed before any item went out.
    EXPECT_EQ(run.summary.exportedTotal(), 0);
    EXPECT_FALSE(std::filesystem::exists(folder_.path("container/Zelvar")));
  }
}

}  // namespace
}  // namespace zv::exporter
