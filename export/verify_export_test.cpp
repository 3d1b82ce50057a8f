#include "export/verify_export.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "export/export_run_for_testing.h"
#include "export/item_report.h"
#include "platform/binary_property_list.h"
#include "platform/run_loop_main_queue.h"
#include "source/library_snapshot.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

namespace fs = std::filesystem;
using platform::PropertyList;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const fs::path kDemoLibrary = fs::path(ZV_SOURCE_DIR) / "data/demo-library";

// Moves the file aside, to NAME.real beside it, and puts a link to it in its place.
void replaceByLink(const fs::path& path) {
  fs::rename(path, path.string() + ".real");
  fs::create_symlink(path.string() + ".real", path);
}

// Public, so that the planted faults of the table can reach the export.
class VerifyExportTest : public testsupport::TemporaryFolderTest {
 public:
  void SetUp() override {
    auto library = source::openLibrarySnapshot(kDemoLibrary);
    ASSERT_TRUE(library);
    platform::RunLoopMainQueue mainQueue;
    auto operation = std::make_shared<ZVExportOperation>(
        std::shared_ptr<source::SourceLibrary>(std::move(*library)), mainQueue);
    operation->setExportPasswordItems(true);
    operation->setExportEncryptedItems(true);
    operation->setContainerURL(at(u"container", true));
    reportFile_ = pathOf(u"report.jsonl");
    fs::remove(reportFile_);
    auto writer = ItemReportWriter::create(reportFile_, ReportFormat::jsonLines);
    ASSERT_TRUE(writer);
    operation->setItemObserver(*writer);
    const ExportRun run = runExportToEnd(operation, mainQueue, pathOf(u"log.txt"));
    ASSERT_FALSE(run.error);
    ASSERT_TRUE((*writer)->finish(run.error));
    exportFolder_ = pathOf(u"container/Zelvar");
  }

  void editReport(const std::function<void(std::string&)>& edit) const {
    std::string text = testsupport::readFileText(reportFile_).value_or("");
    edit(text);
    ASSERT_TRUE(testsupport::writeFileText(reportFile_, text));
  }

  fs::path rootFile(const std::string& name) const { return exportFolder_ / "Zelvar" / name; }
  fs::path metadataFile() const { return exportFolder_ / "Zelvar.plist"; }

  void editMetadata(const std::function<void(PropertyList&)>& edit) const {
    auto root = platform::readBinaryPropertyList(*testsupport::readFileBytes(metadataFile()));
    ASSERT_TRUE(root);
    edit(*root);
    const std::vector<std::uint8_t> bytes = *platform::writeBinaryPropertyList(*root);
    ASSERT_TRUE(
        testsupport::writeFileText(metadataFile(), std::string(bytes.begin(), bytes.end())));
  }

  VerifyReport verify(bool withLibrary, bool withReport = false) const {
    VerifyOptions options;
    if (withLibrary) {
      options.libraryFolder = kDemoLibrary;
    }
    if (withReport) {
      options.reportFile = reportFile_;
    }
    return verifyExport(exportFolder_, options);
  }

  fs::path exportFolder_;
  fs::path reportFile_;
};

TEST_F(VerifyExportTest, CleanExportIsComplete) {
  for (bool withLibrary : {false, true}) {
    for (bool withReport : {false, true}) {
      SCOPED_TRACE(testing::Message() << "library " << withLibrary << ", report " << withReport);
      const VerifyReport report = verify(withLibrary, withReport);
      EXPECT_THAT(report.problems, IsEmpty());
      EXPECT_TRUE(report.complete());
      EXPECT_EQ(report.summary.itemRecords, report.summary.filesInRootFolder);
      // The report answers for the bytes when it is given; the payloads are not read again.
      EXPECT_EQ(report.summary.comparedByContent > 0, withLibrary && !withReport);
      EXPECT_EQ(report.summary.comparedWithReport, withReport ? report.summary.itemRecords : 0U);
    }
  }
}

// What an export is checked against besides its own files and metadata.
enum class Against { nothing, library, report };

struct Fault {
  const char* name;
  Against against;
  std::function<void(VerifyExportTest&)> plant;
  const char* expectedProblem;
};

TEST_F(VerifyExportTest, EachPlantedFaultIsCaught) {
  auto replaceInReport = [](std::string from, std::string to) {
    return [from, to](VerifyExportTest& t) {
      t.editReport([&](std::string& text) {
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << "nothing to replace: " << from;
        text.replace(at, from.size(), to);
      });
    };
  };
  // The first item record is the note "Meeting notes" (N1), with the label L1.
  auto setInFirstItem = [](std::u16string key, PropertyList value) {
    return [key, value](VerifyExportTest& t) {
      t.editMetadata([&](PropertyList& root) {
        *root.find(u"Files")->find(u"items")->asArray()->front().find(key) = value;
      });
    };
  };
  const std::u16string rootFolderURL =
      platform::URL::fileURLWithFileSystemPath(exportFolder_.string() + "/Zelvar", true)
          .absoluteString();
  const Fault faults[] = {
      // Changed after the export: the report tells. A file altered in place, a report cut short
      // and a damaged line are the end-to-end test's (zelvar_report_e2e_test.py).
      {"file truncated, with a report", Against::report,
       [](auto& t) { fs::resize_file(t.rootFile("Diary.rtf"), 10); },
       "\"Diary.rtf\" has 10 bytes, the report says"},
      {"report marked incomplete", Against::report,
       replaceInReport("{\"complete\":true", "{\"complete\":false,\"error\":\"disk full\""),
       "the report is marked incomplete: disk full"},
      {"item left out of the report", Against::report,
       [](auto& t) {
         t.editReport([](std::string& text) {
           const std::size_t line = text.rfind('\n', text.find("\"id\":\"N6\"")) + 1;
           text.erase(line, text.find('\n', line) + 1 - line);
         });
       },
       "item \"N6\" has a record but is not in the report as exported"},
      {"exported item reported skipped", Against::report,
       replaceInReport("\"outcome\":\"exported\"", "\"outcome\":\"skipped\""),
       "is in the export, but the report says it was skipped"},
      {"report naming another file", Against::report,
       replaceInReport("Zelvar/Diary.rtf", "Zelvar/Other.rtf"),
       "the report names the file \"Zelvar/Other.rtf\""},
      {"report replaced by a link", Against::report, [](auto& t) { replaceByLink(t.reportFile_); },
       "cannot be used"},
      // Changed after the export: the library's payloads tell. A file altered in place is the
      // end-to-end test's (zelvar_export_from_app_e2e_test.py).
      {"file truncated, with the library", Against::library,
       [](auto& t) { fs::resize_file(t.rootFile("Sunset.jpg"), 10); },
       "\"Sunset.jpg\" has 10 bytes"},
      {"item and its file gone", Against::library,
       [](auto& t) {
         fs::remove(t.rootFile("Shopping- eggs-milk.rtf"));
         t.editMetadata([](PropertyList& root) {
           std::erase_if(*root.find(u"Files")->find(u"items")->asArray(),
                         [](const PropertyList& item) {
                           return *item.find(u"identifier")->asString() == u"N3";
                         });
         });
       },
       "item \"N3\" (note, \"Shopping: eggs/milk\") is missing from the export"},
      // The export disagrees with itself.
      {"file removed", Against::nothing, [](auto& t) { fs::remove(t.rootFile("Diary.rtf")); },
       "\"Diary.rtf\" is missing"},
      {"file replaced by a link", Against::nothing,
       [](auto& t) { replaceByLink(t.rootFile("Diary.rtf")); }, "\"Diary.rtf\" is a symbolic link"},
      {"folder in place of a file", Against::nothing,
       [](auto& t) {
         fs::remove(t.rootFile("Diary.rtf"));
         fs::create_directory(t.rootFile("Diary.rtf"));
       },
       "\"Diary.rtf\" is not a regular file"},
      {"extra file", Against::nothing,
       [](auto& t) { ASSERT_TRUE(testsupport::writeFileText(t.rootFile("extra.txt"), "x")); },
       "\"extra.txt\" in the root folder has no item record"},
      {"record pointing outside", Against::nothing,
       setInFirstItem(
           u"fileURL",
           PropertyList(
               platform::URL::fileURLWithFileSystemPath(metadataFile().string()).absoluteString())),
       "lies outside the root folder"},
      {"record climbing out with ..", Against::nothing,
       setInFirstItem(u"fileURL", PropertyList(rootFolderURL + u"..")),
       "lies outside the root folder"},
      {"two records claim one file", Against::nothing,
       [](auto& t) {
         t.editMetadata([](PropertyList& root) {
           auto& items = *root.find(u"Files")->find(u"items")->asArray();
           *items[1].find(u"fileURL") = *items[0].find(u"fileURL");
         });
       },
       "is claimed by the records"},
      {"metadata file truncated", Against::nothing,
       [](auto& t) { fs::resize_file(t.metadataFile(), fs::file_size(t.metadataFile()) / 2); },
       "the metadata file does not load"},
      {"metadata file replaced by a link", Against::nothing,
       [](auto& t) { replaceByLink(t.metadataFile()); }, "the metadata file cannot be opened"},
      {"metadata file missing", Against::nothing, [](auto& t) { fs::remove(t.metadataFile()); },
       "\"Zelvar.plist\" is missing"},
      {"key of the wrong type", Against::nothing,
       setInFirstItem(u"isFavorite", PropertyList(u"yes")), "\"isFavorite\" has the wrong type"},
      {"section missing", Against::nothing,
       [](auto& t) {
         t.editMetadata([](PropertyList& root) { root.asDictionary()->erase(u"Groups"); });
       },
       "\"Groups\" is missing"},
      {"label naming no record", Against::nothing,
       [](auto& t) {
         t.editMetadata([](PropertyList& root) {
           root.find(u"Labels")->find(u"L1")->find(u"items")->asArray()->emplace_back(u"nobody");
         });
       },
       "the member \"nobody\" has no item record"},
      {"item naming no label", Against::nothing, setInFirstItem(u"label", PropertyList(u"L99")),
       "names the label \"L99\", which does not exist"},
      {"search option of another key", Against::nothing,
       [](auto& t) {
         t.editMetadata([](PropertyList& root) {
           PropertyList& search = *root.find(u"Searches")->find(u"T1");
           *search.find(u"searchOptions")->asArray()->back().find(u"key") = PropertyList(u"name");
         });
       },
       "not \"tags.name\""},
      {"web link corrupted", Against::nothing,
       [](auto& t) {
         ASSERT_TRUE(testsupport::writeFileText(t.rootFile("Recipes.qntweblink"), "junk"));
       },
       "does not load as a web link"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    SetUp();
    fault.plant(*this);
    const VerifyReport report =
        verify(fault.against == Against::library, fault.against == Against::report);
    EXPECT_FALSE(report.complete());
    EXPECT_THAT(report.problems, Contains(HasSubstr(fault.expectedProblem)));
  }
}

TEST_F(VerifyExportTest, TheProgressCallbackCountsAndCanStopTheCheck) {
  struct Case {
    const char* name;
    bool withLibrary;
    bool (*goOn)(std::size_t checked, std::size_t total);  // the callback's answer
    bool stops;
  } const cases[] = {
      {"runs to the end", true, [](std::size_t, std::size_t) { return true; }, false},
      {"stopped at the first file", false, [](std::size_t, std::size_t) { return false; }, true},
      // The library comparison is reached only when the files check went on.
      {"stopped in the library comparison", true,
       [](std::size_t checked, std::size_t total) { return checked < total; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VerifyOptions options;
    if (c.withLibrary) {
      options.libraryFolder = kDemoLibrary;
    }
    std::vector<std::size_t> checked;
    std::size_t total = 0;
    options.progress = [&](std::size_t done, std::size_t of) {
      checked.push_back(done);
      total = of;
      return c.goOn(done, of);
    };
    const VerifyReport report = verifyExport(exportFolder_, options);
    EXPECT_EQ(report.stopped, c.stops);
    EXPECT_EQ(report.complete(), !c.stops);
    EXPECT_EQ(total, report.summary.itemRecords);
    ASSERT_FALSE(checked.empty());
    EXPECT_TRUE(std::is_sorted(checked.begin(), checked.end()));
    if (c.stops) {
      EXPECT_THAT(report.problems, Contains(HasSubstr("stopped")));
      EXPECT_EQ(report.summary.libraryItems, 0U);
    } else {
      EXPECT_EQ(checked.back(), total);
      EXPECT_GT(report.summary.libraryItems, 0U);
    }
  }
}

TEST_F(VerifyExportTest, MissingFolderIsNoExport) {
  const VerifyReport report = verifyExport(pathOf(u"nothing here"), {});
  EXPECT_THAT(report.problems, Contains(HasSubstr("no export at")));
}

}  // namespace
}  // namespace zv::exporter
