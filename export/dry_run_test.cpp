// The free-space check before an export, and the dry run's account of what an export would do.
#include "export/dry_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/export_run_for_testing.h"
#include "export/free_space.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/library_snapshot.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"
#include "testsupport/web_archive.h"

namespace zv::exporter {
namespace {

using platform::URL;
using source::ItemKind;
using testsupport::IsOk;

TEST(FreeSpace, ByteCountsAreDecimalWithTheExactCountOnceRounded) {
  const std::pair<std::int64_t, std::u16string> cases[] = {
      {0, u"0 bytes"},
      {999, u"999 bytes"},
      {1000, u"1.0 kB (1,000 bytes)"},
      {999949, u"999.9 kB (999,949 bytes)"},
      {999950, u"1.0 MB (999,950 bytes)"},
      {1234567, u"1.2 MB (1,234,567 bytes)"},
      {5'000'000'000'000, u"5.0 TB (5,000,000,000,000 bytes)"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(platform::toUtf8(formattedByteCount(bytes)), platform::toUtf8(text)) << bytes;
  }
}

TEST(FreeSpace, AFolderStillToBeMadeIsAnsweredByTheOneAboveUnlessAFileIsInTheWay) {
  testsupport::TemporaryFolder folder;
  ASSERT_TRUE(testsupport::writeFileText(folder.path("file"), "x"));
  const std::pair<std::u16string, bool> cases[] = {
      {u"a/b/c", true}, {u"", true}, {u"file", false}, {u"file/c", false}};
  for (const auto& [relative, answered] : cases) {
    SCOPED_TRACE(platform::toUtf8(relative));
    auto available = freeSpaceOfFileSystem(folder.url(relative, true));
    EXPECT_EQ(available.ok(), answered);
    if (answered) {
      EXPECT_GT(*available, 0);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(folder.path("a")));
}

// A snapshot of notes, two of which share a title, one encrypted and large, and a web archive
// that unwraps into its image.
class DryRunTest : public testsupport::TemporaryFolderTest {
 protected:
  static constexpr std::int64_t kLargePayload = 5000;

  void SetUp() override {
    std::filesystem::create_directories(folder_.path("library/payload"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/a.rtf"), "0123456789"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/b.rtf"), "01234"));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/big.rtf"),
                                           std::string(kLargePayload, 'x')));
    ASSERT_TRUE(testsupport::writeFileText(folder_.path("library/payload/w.webarchive"),
                                           testsupport::webArchive(u"image/png", "PNG!")));
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

TEST_F(DryRunTest, ExportChecksTheSpaceOfWhatItWouldCopyUnderItsOptions) {
  // The notes' 10 + 5 (+ 5000 encrypted), the password's 5 (encrypted), the whole archive, and
  // room for a web link file per bookmark, counted as they stand.
  const std::int64_t webLink = 2 * kWebLinkFileAllowance;
  const std::int64_t archive = static_cast<std::int64_t>(
      std::filesystem::file_size(folder_.path("library/payload/w.webarchive")));
  const std::int64_t without = bytesNeededForExport(15 + webLink + archive, 5);
  const std::int64_t with = bytesNeededForExport(20 + kLargePayload + webLink + archive, 7);
  struct Case {
    bool encryptedItems;
    std::int64_t available;
    bool fails;
  };
  const Case cases[] = {{true, with, false},
                        {true, with - 1, true},
                        {false, without, false},
                        {false, without - 1, true}};
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testing::Message() << testCase.encryptedItems << " " << testCase.available);
    const ExportRun run = runExport(testCase.encryptedItems, testCase.available);
    ASSERT_EQ(askedFor_, container_);
    if (!testCase.fails) {
      EXPECT_FALSE(run.error.has_value());
      continue;
    }
    ASSERT_TRUE(run.error.has_value());
    EXPECT_EQ(run.error->domain, kZVImportErrorDomain);
    EXPECT_EQ(run.error->code, kFileExportErrorCode);
    EXPECT_EQ(
        platform::toUtf8(run.error->description),
        platform::toUtf8(u"Not enough free space in " + container_.path() + u": " +
                         formattedByteCount(testCase.encryptedItems ? with : without) +
                         u" needed, " + formattedByteCount(testCase.available) + u" available."));
    // Failed before any item went out.
    EXPECT_EQ(run.summary.exportedTotal(), 0);
    EXPECT_FALSE(std::filesystem::exists(folder_.path("container/Zelvar")));
  }
}

TEST_F(DryRunTest, PlanCountsSkipsAndConversionsAndNamesLikeTheExport) {
  auto plan = planExport(
      *library_, {.exportPasswordItems = false, .exportEncryptedItems = false, .listItems = true});
  ASSERT_THAT(plan, IsOk());
  auto skipped = [&](ItemKind kind, SkipReason reason) {
    return plan->kind(kind).skipped[static_cast<std::size_t>(reason)];
  };
  EXPECT_EQ(plan->kind(ItemKind::note).exported, 2);
  EXPECT_EQ(skipped(ItemKind::note, SkipReason::encrypted), 1);
  EXPECT_EQ(skipped(ItemKind::note, SkipReason::noName), 1);
  EXPECT_EQ(skipped(ItemKind::password, SkipReason::passwordsLeftOut), 1);
  EXPECT_EQ(skipped(ItemKind::bookmark, SkipReason::noLocation), 1);
  EXPECT_EQ(plan->kind(ItemKind::webArchive).converted, 1);
  EXPECT_EQ(plan->kind(ItemKind::note).payloadBytes, 15);
  EXPECT_EQ(plan->kind(ItemKind::webArchive).payloadBytes, 4);
  EXPECT_TRUE(plan->problems.empty());

  std::vector<std::string> planned;
  for (const PlannedItem& item : plan->items) {
    if (item.fileName) {
      planned.push_back(platform::toUtf8(*item.fileName));
    }
  }
  const ExportRun run = runExport(false, INT64_MAX);
  ASSERT_FALSE(run.error.has_value()) << platform::toUtf8(run.error->description);
  std::vector<std::string> exported;
  for (const auto& entry :
       std::filesystem::directory_iterator(folder_.path("container/Zelvar/Zelvar"))) {
    exported.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(exported, testing::UnorderedElementsAreArray(planned));
  EXPECT_THAT(planned,
              testing::ElementsAre("Same.rtf", "Same 1.rtf", "Same.qntweblink", "Same.png"));
}

TEST_F(DryRunTest, ContainerWithoutRoomOrFreeSpaceIsAProblem) {
  auto plan = planExport(*library_, {});
  ASSERT_THAT(plan, IsOk());
  const std::int64_t needed = bytesNeededForExport(plan->payloadBytes, plan->exportedTotal());
  struct Case {
    platform::Result<std::int64_t> available;
    std::vector<std::u16string> problems;
  };
  const Case cases[] = {
      {needed, {}},
      {needed - 1,
       {u"Not enough free space in " + container_.path() + u": " + formattedByteCount(needed) +
        u" needed, " + formattedByteCount(needed - 1) + u" available."}},
      {platform::Error{u"Test", 1, u"no answer"}, {u"no answer"}},
  };
  for (const Case& testCase : cases) {
    ExportPlan copy = *plan;
    planContainer(copy, container_, [&](const URL&) { return testCase.available; });
    EXPECT_EQ(copy.bytesNeeded, needed);
    EXPECT_EQ(copy.problems, testCase.problems);
  }
}

}  // namespace
}  // namespace zv::exporter
