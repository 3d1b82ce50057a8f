// Exports through a source that hands over its payloads, compared with one that writes files.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/export_run_for_testing.h"
#include "platform/binary_property_list.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"
#include "testsupport/web_archive.h"

namespace zv::exporter {
namespace {

using platform::URL;
using source::DatabaseItem;
using source::ItemKind;
using ::testing::StartsWith;
using testsupport::IsError;
using testsupport::IsOk;
using testsupport::readFileText;
using testsupport::webArchive;
using testsupport::writeFileText;

// A payload: the file the source reads, and the name it gives it.
struct Payload {
  std::string path;
  std::u16string fileName;
};
using Hook = std::function<void(const DatabaseItem&)>;

// Serves payload files either by handing them over or, like a source that cannot, by writing a
// private copy of each into the folder it is given. `hook` runs as each item's payload is asked.
class PayloadLibrary : public source::MemorySourceLibrary {
 public:
  PayloadLibrary(source::LibraryContents contents, std::map<std::u16string, Payload> payloads,
                 bool handsOver, const Hook* hook)
      : MemorySourceLibrary(std::move(contents),
                            [this](const DatabaseItem& item, const URL& directory) {
                              return copyInto(item, directory);
                            }),
        payloads_(std::move(payloads)),
        handsOver_(handsOver),
        hook_(hook) {}

  bool canOpenItemPayloads() const override { return handsOver_; }

  platform::Result<std::optional<source::ItemPayload>> openItemPayload(
      const DatabaseItem& item) override {
    const Payload* payload = find(item);
    if (payload == nullptr) {
      return std::optional<source::ItemPayload>{};
    }
    platform::ScopedDescriptor file(::open(payload->path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(file.valid()) << payload->path;
    return std::optional<source::ItemPayload>(
        source::ItemPayload{std::move(file), payload->fileName, u"payload/" + payload->fileName});
  }

 private:
  const Payload* find(const DatabaseItem& item) const {
    if (*hook_) {
      (*hook_)(item);
    }
    auto payload = payloads_.find(item.id);
    return payload == payloads_.end() ? nullptr : &payload->second;
  }

  platform::Result<std::optional<URL>> copyInto(const DatabaseItem& item, const URL& directory) {
    const Payload* payload = find(item);
    if (payload == nullptr) {
      return std::optional<URL>{};
    }
    URL copy = directory.appendingPathComponent(payload->fileName);
    ZV_TRY(platform::copyFileContentsAtURL(URL::fileURLWithFileSystemPath(payload->path), copy));
    return std::optional<URL>(copy);
  }

  std::map<std::u16string, Payload> payloads_;
  bool handsOver_;
  const Hook* hook_;
};

// What an exported file shows of itself.
struct ExportedFile {
  std::string name;
  mode_t mode = 0;
  std::string content;
  double modified = 0;
  double created = 0;
  friend bool operator==(const ExportedFile&, const ExportedFile&) = default;
};

class DirectWriteTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(folder_.path("payload").c_str(), 0700), 0); }

  void addPayload(const std::u16string& id, const std::u16string& fileName,
                  const std::string& content) {
    const std::string path = folder_.path("payload/" + platform::toUtf8(id + u"-" + fileName));
    ASSERT_TRUE(writeFileText(path, content));
    payloads_[id] = {path, fileName};
  }

  std::shared_ptr<PayloadLibrary> makeLibrary(source::LibraryContents contents, bool handsOver) {
    return std::make_shared<PayloadLibrary>(std::move(contents), payloads_, handsOver, &hook_);
  }

  ExportRun runExport(const std::shared_ptr<source::SourceLibrary>& library,
                      const std::function<void(ZVExportOperation&)>& setUp = {}) {
    platform::RunLoopMainQueue mainQueue;
    auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
    operation_ = operation.get();
    operation->setExportPasswordItems(true);
    operation->setExportEncryptedItems(true);
    operation->setContainerURL(at(u"container", true));
    if (setUp) {
      setUp(*operation);
    }
    ExportRun run = runExportToEnd(std::move(operation), mainQueue, pathOf(u"log.txt"));
    operation_ = nullptr;
    return run;
  }

  // The last run's log, without the decoration of each line.
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream log(readFileText(pathOf(u"log.txt")).value_or(""));
    for (std::string line; std::getline(log, line);) {
      const size_t start = line.find("] ");
      lines.push_back(start == std::string::npos ? line : line.substr(start + 2));
    }
    return lines;
  }

  // The file-system path of `name` in the export's root folder.
  std::string inRoot(std::u16string_view name) const {
    return pathOf(u"container/Zelvar/Zelvar/" + std::u16string(name));
  }

  std::vector<ExportedFile> exportedFiles() const {
    std::vector<ExportedFile> files;
    auto listing = platform::contentsOfDirectoryAtURL(at(u"container/Zelvar/Zelvar", true));
    EXPECT_THAT(listing, IsOk());
    for (const URL& url : listing ? *listing : std::vector<URL>{}) {
      struct stat status {};
      EXPECT_EQ(::lstat(url.fileSystemPath().c_str(), &status), 0);
      auto modified = platform::contentModificationDateAtURL(url);
      auto created = platform::creationDateAtURL(url);
      files.push_back({platform::toUtf8(url.lastPathComponent()), status.st_mode,
                       S_ISREG(status.st_mode) ? readFileText(url).value_or("") : "",
                       modified ? modified->secondsSinceReferenceDate : -1,
                       created ? created->secondsSinceReferenceDate : -1});
    }
    return files;
  }

  std::map<std::u16string, Payload> payloads_;
  Hook hook_;
  ZVExportOperation* operation_ = nullptr;
};

DatabaseItem datedItem(ItemKind kind, std::u16string id, std::u16string name, double seconds) {
  DatabaseItem item;
  item.kind = kind;
  item.id = std::move(id);
  item.name = std::move(name);
  item.creationDate = platform::Date{seconds};
  item.modificationDate = platform::Date{seconds + 1000.25};
  return item;
}

// Lines that name where the source put its file, which only the folder way has.
bool namesTheSourcesFile(const std::string& line) {
  return line.starts_with("Converting web archive ") || line.starts_with("Keeping web archive ");
}

TEST_F(DirectWriteTest, HandedOverPayloadsGiveWhatTheFolderWayGives) {
  source::LibraryContents contents;
  struct Row {
    ItemKind kind;
    const char16_t* id;
    const char16_t* name;
    const char16_t* fileName;
    std::string content;
  };
  const Row rows[] = {
      {ItemKind::note, u"N1", u"Meeting", u"a.rtf", "{\\rtf1 one}"},
      {ItemKind::note, u"N2", u"Meeting", u"b.rtf", "{\\rtf1 two}"},
      {ItemKind::note, u"N3", u"Notes 1.2", u"c.rtf", "three"},
      {ItemKind::note, u"N4", u"", u"d.rtf", "nameless"},
      {ItemKind::password, u"P1", u"Bank", u"p.rtf", "secret"},
      {ItemKind::pdfArchive, u"D1", u"Report.PDF", u"r.pdf", "%PDF-1.4"},
      {ItemKind::pdfArchive, u"D2", u"Empty", u"e.pdf", ""},
      {ItemKind::image, u"I1", u"Photo", u"noextension", "PNG"},
      {ItemKind::webArchive, u"W1", u"Page", u"w1.webarchive", webArchive(u"text/html", "<p>")},
      {ItemKind::webArchive, u"W2", u"Cat", u"w2.webarchive", webArchive(u"image/jpeg", "JPG")},
      {ItemKind::webArchive, u"W3", u"Broken", u"w3.webarchive", "not a property list"},
  };
  double seconds = 100000000;
  for (const Row& row : rows) {
    auto item = datedItem(row.kind, row.id, row.name, seconds += 86400.5);
    item.flagged = row.kind == ItemKind::note;
    item.comments = u"about " + std::u16string(row.id);
    item.tags = {{u"one"}, {std::nullopt}, {u"two"}};
    contents.items.push_back(item);
    addPayload(row.id, row.fileName, row.content);
  }
  auto metadataOf = [](const ExportRun& outcome) {
    return platform::readBinaryPropertyList(*platform::readFileAtURL(*outcome.metadataFile));
  };

  ExportRun folderWay = runExport(makeLibrary(contents, false));
  std::vector<std::string> folderWayLog = logLines();
  ASSERT_THAT(folderWay.error, IsOk());
  const std::vector<ExportedFile> folderFiles = exportedFiles();

  ExportRun direct = runExport(makeLibrary(contents, true));
  std::vector<std::string> directLog = logLines();
  ASSERT_THAT(direct.error, IsOk());
  EXPECT_EQ(exportedFiles(), folderFiles);
  EXPECT_EQ(*metadataOf(direct), *metadataOf(folderWay));
  for (const ExportedFile& file : folderFiles) {
    EXPECT_EQ(file.mode & 07777, 0600u) << file.name;
  }
  EXPECT_EQ(direct.summary.exported, folderWay.summary.exported);
  EXPECT_EQ(direct.summary.skipped, folderWay.summary.skipped);
  EXPECT_EQ(direct.completed, folderWay.completed);
  // The same lines, but for where each way found the file: that line stays, in another form.
  EXPECT_EQ(std::erase_if(directLog, namesTheSourcesFile),
            std::erase_if(folderWayLog, namesTheSourcesFile));
  EXPECT_EQ(directLog, folderWayLog);
}

TEST_F(DirectWriteTest, WhatStandsAtTheNameIsNeitherReplacedNorFollowed) {
  const std::string outside = folder_.path("outside");
  struct Case {
    const char* name;
    std::string linkTarget;  // empty: a plain file of theirs
  };
  const Case cases[] = {
      {"a file", ""},
      {"a link to a file", outside},
      {"a dangling link", outside + "-missing"},
  };
  source::LibraryContents contents;
  contents.items = {datedItem(ItemKind::note, u"N1", u"Note", 1e8)};
  addPayload(u"N1", u"n.rtf", "ours");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(writeFileText(outside, "outside"));
    // Planted once the root folder is made, before the item's file is.
    hook_ = [&](const DatabaseItem&) {
      const std::string planted = inRoot(u"Note.rtf");
      ASSERT_TRUE(c.linkTarget.empty() ? writeFileText(planted, "theirs")
                                       : ::symlink(c.linkTarget.c_str(), planted.c_str()) == 0);
    };
    ExportRun outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    ASSERT_THAT(outcome.error, IsOk());
    EXPECT_EQ(readFileText(inRoot(u"Note 1.rtf")), "ours");
    EXPECT_EQ(readFileText(outside), "outside");
    if (c.linkTarget.empty()) {
      EXPECT_EQ(readFileText(inRoot(u"Note.rtf")), "theirs");
    } else {
      EXPECT_EQ(std::filesystem::read_symlink(inRoot(u"Note.rtf")), c.linkTarget);
    }
  }
}

TEST_F(DirectWriteTest, CancelWhileAPayloadIsWrittenLeavesNoPartOfIt) {
  source::LibraryContents contents;
  for (const std::u16string id : {u"N0", u"N1", u"N2"}) {
    contents.items.push_back(datedItem(ItemKind::note, id, id, 1e8));
    addPayload(id, u"n.rtf", std::string(100000, 'x'));
  }
  for (int cancelAt = 0; cancelAt < 3; ++cancelAt) {
    SCOPED_TRACE("cancelled at item " + std::to_string(cancelAt));
    int opened = 0;
    hook_ = [&](const DatabaseItem&) {
      if (opened++ == cancelAt) {
        operation_->cancel();
      }
    };
    ExportRun outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    EXPECT_THAT(outcome.error,
                IsError(platform::kCocoaErrorDomain, platform::kUserCancelledErrorCode));
    EXPECT_FALSE(outcome.metadataFile);
    // The items before the cancel are whole; the one being written is gone.
    std::vector<ExportedFile> files = exportedFiles();
    ASSERT_EQ(files.size(), static_cast<size_t>(cancelAt));
    for (const ExportedFile& file : files) {
      EXPECT_EQ(file.content.size(), 100000u) << file.name;
    }
    EXPECT_EQ(outcome.summary.exportedTotal(), cancelAt);
  }
}

TEST_F(DirectWriteTest, FailingCopyRemovesOnlyItsOwnFile) {
  struct Case {
    const char* name;
    std::string payloadPath;
    std::string expectedReason;
  };
  const Case cases[] = {
      {"not a regular file", folder_.path("payload"),
       "The file \"payload/n.rtf\" cannot be copied: "},
      // Its size says 0 and it still has content: it reads as changing on every copy.
      {"changes while copied", "/proc/self/status",
       "The file “payload/n.rtf” changed while it was being copied."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    source::LibraryContents contents;
    contents.items = {datedItem(ItemKind::note, u"N0", u"Kept", 1e8),
                      datedItem(ItemKind::note, u"N1", u"Note", 1e8)};
    addPayload(u"N0", u"k.rtf", "kept");
    payloads_[u"N1"] = {c.payloadPath, u"n.rtf"};
    hook_ = [&](const DatabaseItem& item) {
      if (item.id == u"N1") {
        ASSERT_TRUE(writeFileText(inRoot(u"Note.rtf"), "theirs"));
      }
    };
    ExportRun outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    EXPECT_THAT(outcome.error, IsError(kZVImportErrorDomain, kSourceFailedErrorCode,
                                       StartsWith(c.expectedReason)));
    std::vector<std::string> names;
    for (const ExportedFile& file : exportedFiles()) {
      names.push_back(file.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Kept.rtf", "Note.rtf"}));
    EXPECT_EQ(readFileText(inRoot(u"Note.rtf")), "theirs");
  }
}

TEST_F(DirectWriteTest, ProgressShowsEachPhaseAfterTheCountBeforeItAndNeverGoesBack) {
  source::LibraryContents contents;
  for (int i = 0; i < 300; ++i) {
    std::u16string id = u"I" + platform::fromUtf8(std::to_string(i));
    contents.items.push_back(
        datedItem(i < 200 ? ItemKind::note : ItemKind::image, id, u"Item", 1e8));
    addPayload(id, u"i.rtf", "x");
  }
  // A source that repeats an identifier: the item counts once.
  contents.items.push_back(datedItem(ItemKind::image, u"I0", u"Again", 1e8));
  std::vector<platform::ProgressState> states;
  ExportRun outcome = runExport(makeLibrary(contents, true), [&](ZVExportOperation& operation) {
    operation.progress()->addObserver(
        [&](const platform::ProgressState& state) { states.push_back(state); });
  });
  ASSERT_THAT(outcome.error, IsOk());
  EXPECT_EQ(outcome.completed, 300);
  EXPECT_EQ(outcome.summary.exportedTotal(), 301);
  std::map<std::u16string, std::int64_t> completedAtDescription;
  for (size_t i = 0; i < states.size(); ++i) {
    completedAtDescription.try_emplace(states[i].localizedDescription,
                                       states[i].completedUnitCount);
    if (i > 0) {
      EXPECT_GE(states[i].completedUnitCount, states[i - 1].completedUnitCount) << i;
    }
  }
  EXPECT_EQ(completedAtDescription[u"Exporting images…"], 200);
  EXPECT_EQ(completedAtDescription[u"Exporting collections…"], 300);
  EXPECT_EQ(completedAtDescription[u"Finishing…"], 300);
}

}  // namespace
}  // namespace zv::exporter
