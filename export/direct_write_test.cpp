// Exports through a source that hands over its payloads, compared with one that writes files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "export/export_errors.h"
#include "export/export_operation.h"
#include "platform/binary_property_list.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/run_loop_main_queue.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"

namespace zv::exporter {
namespace {

using platform::PropertyList;
using platform::URL;
using source::DatabaseItem;
using source::ItemKind;

std::string readText(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string webArchive(const std::u16string& mimeType, const std::string& data) {
  PropertyList::Dictionary resource;
  resource.set(u"WebResourceMIMEType", mimeType);
  resource.set(u"WebResourceData", PropertyList::Data(data.begin(), data.end()));
  PropertyList::Dictionary archive;
  archive.set(u"WebMainResource", std::move(resource));
  auto bytes = platform::writeBinaryPropertyList(PropertyList(std::move(archive)));
  return std::string(bytes->begin(), bytes->end());
}

// A payload: the file the source reads, and the name it gives it.
struct Payload {
  std::string path;
  std::u16string fileName;
};

// Serves payload files either by handing them over or, like a source that cannot, by writing a
// private copy of each into the folder it is given.
class PayloadLibrary : public source::MemorySourceLibrary {
 public:
  PayloadLibrary(source::LibraryContents contents, std::map<std::u16string, Payload> payloads,
                 bool handsOver, std::function<void(const DatabaseItem&)> hook)
      : MemorySourceLibrary(std::move(contents),
                            [this](const DatabaseItem& item, const URL& directory) {
                              return copyInto(item, directory);
                            }),
        payloads_(std::move(payloads)),
        handsOver_(handsOver),
        hook_(std::move(hook)) {}

  bool canOpenItemPayloads() const override { return handsOver_; }

  platform::Result<std::optional<source::ItemPayload>> openItemPayload(
      const DatabaseItem& item) override {
    if (hook_) {
      hook_(item);
    }
    auto payload = payloads_.find(item.id);
    if (payload == payloads_.end()) {
      return std::optional<source::ItemPayload>{};
    }
    platform::ScopedDescriptor file(::open(payload->second.path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(file.valid()) << payload->second.path;
    return std::optional<source::ItemPayload>(source::ItemPayload{
        std::move(file), payload->second.fileName, u"payload/" + payload->second.fileName});
  }

 private:
  platform::Result<std::optional<URL>> copyInto(const DatabaseItem& item, const URL& directory) {
    if (hook_) {
      hook_(item);
    }
    auto payload = payloads_.find(item.id);
    if (payload == payloads_.end()) {
      return std::optional<URL>{};
    }
    URL copy = directory.appendingPathComponent(payload->second.fileName);
    ZV_TRY(platform::copyFileContentsAtURL(URL::fileURLWithFileSystemPath(payload->second.path),
                                           copy));
    return std::optional<URL>(copy);
  }

  std::map<std::u16string, Payload> payloads_;
  bool handsOver_;
  std::function<void(const DatabaseItem&)> hook_;
};

struct Outcome {
  std::optional<platform::Error> error;
  std::optional<URL> metadataFile;
  ExportSummary summary;
  std::int64_t completed = 0;
  // Without the decoration of each line.
  std::vector<std::string> logLines;
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

class DirectWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto temporary = platform::TemporaryDirectory::create(u"zv-direct-write-test");
    ASSERT_TRUE(temporary);
    temporary_.emplace(std::move(*temporary));
    container_ = temporary_->url().appendingPathComponent(u"container", true);
    payloadFolder_ = temporary_->url().appendingPathComponent(u"payload").fileSystemPath();
    ::mkdir(payloadFolder_.c_str(), 0700);
  }

  void addPayload(const std::u16string& id, const std::u16string& fileName,
                  const std::string& content) {
    std::string path =
        payloadFolder_ + "/" + platform::toUtf8(id) + "-" + platform::toUtf8(fileName);
    writeText(path, content);
    payloads_[id] = {path, fileName};
  }

  std::shared_ptr<PayloadLibrary> makeLibrary(source::LibraryContents contents, bool handsOver) {
    return std::make_shared<PayloadLibrary>(std::move(contents), payloads_, handsOver,
                                            [this](const DatabaseItem& item) {
                                              if (hook_) {
                                                hook_(item);
                                              }
                                            });
  }

  Outcome runExport(const std::shared_ptr<source::SourceLibrary>& library,
                    const std::function<void(ZVExportOperation&)>& setUp = {}) {
    platform::RunLoopMainQueue mainQueue;
    const std::string logPath =
        temporary_->url().appendingPathComponent(u"log.txt").fileSystemPath();
    int logDescriptor = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int previousDescriptor = platform::setLogFileDescriptor(logDescriptor);
    Outcome outcome;
    bool ended = false;
    {
      auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
      operation_ = operation.get();
      operation->setExportPasswordItems(true);
      operation->setExportEncryptedItems(true);
      operation->setContainerURL(container_);
      operation->setExportCompletionBlock(
          [&](std::optional<platform::Error> error, std::optional<URL> url) {
            ended = true;
            outcome.error = std::move(error);
            outcome.metadataFile = std::move(url);
          });
      if (setUp) {
        setUp(*operation);
      }
      platform::OperationQueue queue;
      queue.addOperation(operation);
      mainQueue.runUntil([&] { return ended; });
      queue.waitUntilAllOperationsAreFinished();
      mainQueue.runPendingBlocks();
      outcome.summary = operation->summary();
      outcome.completed = operation->progress()->completedUnitCount();
      operation_ = nullptr;
    }
    platform::setLogFileDescriptor(previousDescriptor);
    ::close(logDescriptor);
    std::istringstream log(readText(logPath));
    for (std::string line; std::getline(log, line);) {
      const size_t start = line.find("] ");
      outcome.logLines.push_back(start == std::string::npos ? line : line.substr(start + 2));
    }
    return outcome;
  }

  URL rootFolder() const {
    return container_.appendingPathComponent(u"Zelvar", true)
        .appendingPathComponent(u"Zelvar", true);
  }

  std::vector<ExportedFile> exportedFiles() const {
    std::vector<ExportedFile> files;
    auto listing = platform::contentsOfDirectoryAtURL(rootFolder());
    EXPECT_TRUE(listing);
    for (const URL& url : listing ? *listing : std::vector<URL>{}) {
      struct stat status {};
      EXPECT_EQ(::lstat(url.fileSystemPath().c_str(), &status), 0);
      auto modified = platform::contentModificationDateAtURL(url);
      auto created = platform::creationDateAtURL(url);
      files.push_back({platform::toUtf8(url.lastPathComponent()), status.st_mode,
                       S_ISREG(status.st_mode) ? readText(url.fileSystemPath()) : "",
                       modified ? modified->secondsSinceReferenceDate : -1,
                       created ? created->secondsSinceReferenceDate : -1});
    }
    return files;
  }

  std::optional<platform::TemporaryDirectory> temporary_;
  URL container_ = URL::fileURLWithPath(u"/nonexistent", true);
  std::string payloadFolder_;
  std::map<std::u16string, Payload> payloads_;
  std::function<void(const DatabaseItem&)> hook_;
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

  Outcome folderWay = runExport(makeLibrary(contents, false));
  ASSERT_FALSE(folderWay.error) << platform::toUtf8(folderWay.error->description);
  const std::vector<ExportedFile> folderFiles = exportedFiles();
  const PropertyList folderMetadata =
      *platform::readBinaryPropertyList(*platform::readFileAtURL(*folderWay.metadataFile));

  Outcome direct = runExport(makeLibrary(contents, true));
  ASSERT_FALSE(direct.error) << platform::toUtf8(direct.error->description);
  EXPECT_EQ(exportedFiles(), folderFiles);
  EXPECT_EQ(*platform::readBinaryPropertyList(*platform::readFileAtURL(*direct.metadataFile)),
            folderMetadata);
  for (const ExportedFile& file : exportedFiles()) {
    EXPECT_EQ(file.mode & 07777, 0600u) << file.name;
  }
  EXPECT_EQ(direct.summary.exported, folderWay.summary.exported);
  EXPECT_EQ(direct.summary.skipped, folderWay.summary.skipped);
  EXPECT_EQ(direct.completed, folderWay.completed);

  auto comparable = [](std::vector<std::string> lines) {
    std::erase_if(lines, namesTheSourcesFile);
    return lines;
  };
  EXPECT_EQ(comparable(direct.logLines), comparable(folderWay.logLines));
  EXPECT_EQ(
      std::count_if(direct.logLines.begin(), direct.logLines.end(), namesTheSourcesFile),
      std::count_if(folderWay.logLines.begin(), folderWay.logLines.end(), namesTheSourcesFile));
}

TEST_F(DirectWriteTest, WhatStandsAtTheNameIsNeitherReplacedNorFollowed) {
  const std::string outside = temporary_->url().appendingPathComponent(u"outside").fileSystemPath();
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> plant;
  };
  const Case cases[] = {
      {"a file", [](const std::string& path) { writeText(path, "theirs"); }},
      {"a link to a file",
       [&](const std::string& path) { ASSERT_EQ(::symlink(outside.c_str(), path.c_str()), 0); }},
      {"a dangling link",
       [&](const std::string& path) {
         ASSERT_EQ(::symlink((outside + "-missing").c_str(), path.c_str()), 0);
       }},
  };
  source::LibraryContents contents;
  contents.items = {datedItem(ItemKind::note, u"N1", u"Note", 1e8)};
  addPayload(u"N1", u"n.rtf", "ours");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeText(outside, "outside");
    // Planted once the root folder is made, before the item's file is.
    hook_ = [&](const DatabaseItem&) {
      c.plant(rootFolder().appendingPathComponent(u"Note.rtf").fileSystemPath());
    };
    Outcome outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
    EXPECT_EQ(readText(rootFolder().appendingPathComponent(u"Note 1.rtf").fileSystemPath()),
              "ours");
    EXPECT_EQ(readText(outside), "outside");
    struct stat planted {};
    EXPECT_EQ(::lstat(rootFolder().appendingPathComponent(u"Note.rtf").fileSystemPath().c_str(),
                      &planted),
              0);
    EXPECT_TRUE(S_ISLNK(planted.st_mode) ||
                readText(rootFolder().appendingPathComponent(u"Note.rtf").fileSystemPath()) ==
                    "theirs");
  }
}

TEST_F(DirectWriteTest, CancelWhileAPayloadIsWrittenLeavesNoPartOfIt) {
  source::LibraryContents contents;
  for (int i = 0; i < 3; ++i) {
    std::u16string id = u"N" + platform::fromUtf8(std::to_string(i));
    contents.items.push_back(datedItem(ItemKind::note, id, id, 1e8));
    addPayload(id, u"n.rtf", std::string(100000, 'x'));
  }
  for (int cancelAt = 0; cancelAt < 3; ++cancelAt) {
    SCOPED_TRACE(cancelAt);
    int opened = 0;
    hook_ = [&](const DatabaseItem&) {
      if (opened++ == cancelAt) {
        operation_->cancel();
      }
    };
    Outcome outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, platform::kUserCancelledErrorCode);
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
      {"not a regular file", payloadFolder_, "The file \"payload/n.rtf\" cannot be copied: "},
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
        writeText(rootFolder().appendingPathComponent(u"Note.rtf").fileSystemPath(), "theirs");
      }
    };
    Outcome outcome = runExport(makeLibrary(contents, true));
    hook_ = nullptr;
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, kSourceFailedErrorCode);
    EXPECT_EQ(platform::toUtf8(outcome.error->description).rfind(c.expectedReason, 0), 0u)
        << platform::toUtf8(outcome.error->description);
    std::vector<std::string> names;
    for (const ExportedFile& file : exportedFiles()) {
      names.push_back(file.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Kept.rtf", "Note.rtf"}));
    EXPECT_EQ(readText(rootFolder().appendingPathComponent(u"Note.rtf").fileSystemPath()),
              "theirs");
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
  Outcome outcome = runExport(makeLibrary(contents, true), [&](ZVExportOperation& operation) {
    operation.progress()->addObserver(
        [&](const platform::ProgressState& state) { states.push_back(state); });
  });
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
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
