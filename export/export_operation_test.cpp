#include "export/export_operation.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>

#include "export/export_errors.h"
#include "export/export_run_for_testing.h"
#include "export/item_file_names.h"
#include "platform/binary_property_list.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/private_mounts_for_testing.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"
#include "testsupport/fault_injecting_source_library.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"
#include "testsupport/web_archive.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {
namespace {

using platform::Date;
using platform::PropertyList;
using platform::URL;
using source::DatabaseItem;
using source::ItemKind;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testsupport::FaultInjectingSourceLibrary;
using testsupport::IsError;
using testsupport::IsOk;
using testsupport::readFileBytes;
using testsupport::readFileText;
using testsupport::SourceCall;
using testsupport::webArchive;

DatabaseItem item(ItemKind kind, std::u16string id, std::u16string name) {
  DatabaseItem result;
  result.kind = kind;
  result.id = std::move(id);
  result.name = std::move(name);
  return result;
}

DatabaseItem bookmark(std::u16string id, std::u16string name,
                      std::optional<std::u16string> location) {
  auto result = item(ItemKind::bookmark, std::move(id), std::move(name));
  result.location = std::move(location);
  return result;
}

std::u16string numbered(std::u16string_view prefix, int number) {
  return std::u16string(prefix) + platform::fromUtf8(std::to_string(number));
}

// A payload: the file the source reads, and the name it gives it.
struct Payload {
  std::string path;
  std::u16string fileName;
};

// Serves payload files either by handing them over or, like a source that cannot, by writing a
// copy of each into the folder it is given (unless the test gives an exporter of its own).
class PayloadLibrary final : public source::MemorySourceLibrary {
 public:
  PayloadLibrary(source::LibraryContents contents, ItemExporter exporter,
                 std::map<std::u16string, Payload> payloads, bool handsOver)
      : MemorySourceLibrary(
            std::move(contents),
            exporter ? std::move(exporter)
                     : ItemExporter([this](const DatabaseItem& item, const URL& directory) {
                         return copyInto(item, directory);
                       })),
        payloads_(std::move(payloads)),
        handsOver_(handsOver) {}

  bool canOpenItemPayloads() const override { return handsOver_; }

  platform::Result<std::optional<source::ItemPayload>> openItemPayload(
      const DatabaseItem& item) override {
    auto payload = payloads_.find(item.id);
    if (payload == payloads_.end()) {
      return std::optional<source::ItemPayload>{};
    }
    const Payload& found = payload->second;
    platform::ScopedDescriptor file(::open(found.path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    EXPECT_TRUE(file.valid() && ::fstat(file.get(), &status) == 0) << found.path;
    // Measured as it is opened, as the real sources do.
    return std::optional<source::ItemPayload>(
        source::ItemPayload{std::move(file), found.fileName, u"payload/" + found.fileName, status});
  }

 private:
  platform::Result<std::optional<URL>> copyInto(const DatabaseItem& item, const URL& directory) {
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

// The main queue of the tests: a plain run loop that runs a hook on the posting thread each time
// a block is posted, to act at a precise point of the export.
class HookedMainQueue : public platform::MainQueue {
 public:
  explicit HookedMainQueue(std::function<void()> hook) : hook_(std::move(hook)) {}
  void post(std::function<void()> block) override {
    hook_();
    runLoop_.post(std::move(block));
  }
  bool isCurrentThreadMain() const override { return runLoop_.isCurrentThreadMain(); }
  bool runUntil(const std::function<bool()>& predicate) { return runLoop_.runUntil(predicate); }
  int runPendingBlocks() { return runLoop_.runPendingBlocks(); }

 private:
  std::function<void()> hook_;
  platform::RunLoopMainQueue runLoop_;
};

struct Outcome : ExportRun {
  // The first known total the progress showed: the number of items to export.
  std::optional<std::int64_t> itemsTotal;
  // Each text the progress showed, once per change, and the units completed when it first did.
  std::vector<std::string> progressTexts;
  std::map<std::string, std::int64_t> completedWhenShown;
  bool completedWentBack = false;
  std::string log;

  // How often the log holds the line.
  int logCount(std::string_view line) const {
    int count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
      ++count;
    }
    return count;
  }

  // The log's lines, without the decoration of each.
  std::vector<std::string> logLines() const {
    std::vector<std::string> lines;
    std::istringstream stream(log);
    for (std::string line; std::getline(stream, line);) {
      const size_t start = line.find("] ");
      lines.push_back(start == std::string::npos ? line : line.substr(start + 2));
    }
    return lines;
  }
};

class ExportOperationTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(folder_.path("payload").c_str(), 0700), 0); }

  // The payload the source gives for the item, written to a file of its own.
  void addPayload(const std::u16string& id, const std::u16string& fileName,
                  const std::string& content = "x") {
    const std::string path = folder_.path("payload/" + platform::toUtf8(id + u"-" + fileName));
    ASSERT_TRUE(testsupport::writeFileText(path, content));
    payloads_[id] = {path, fileName};
  }

  // A library that gives the payloads added so far (handing them over when handOver_ is set),
  // with every call passing through the hooks set so far and open to injected failures.
  std::shared_ptr<FaultInjectingSourceLibrary> makeLibrary(
      source::LibraryContents contents, std::optional<URL> libraryFolder = std::nullopt,
      source::MemorySourceLibrary::ItemExporter exporter = nullptr) {
    auto memory = std::make_shared<PayloadLibrary>(std::move(contents), std::move(exporter),
                                                   payloads_, handOver_);
    memory->setLibraryFolderURL(std::move(libraryFolder));
    auto library = std::make_shared<FaultInjectingSourceLibrary>(memory);
    library->setBeforeCall(beforeCall_);
    library->setBeforeItem(beforeItem_);
    return library;
  }

  Outcome runExport(std::shared_ptr<source::SourceLibrary> library, bool passwords = true,
                    bool encrypted = true,
                    const std::function<void(ZVExportOperation&)>& setUp = {}) {
    // Checked where the export posts to the main queue, which it does after each step.
    std::atomic<bool> cancelRequested = false;
    HookedMainQueue mainQueue([&] {
      if (cancelWhen_ && operation_ != nullptr && !cancelRequested && cancelWhen_() &&
          !cancelRequested.exchange(true)) {
        cancelTwice();
      }
    });
    auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
    operation_ = operation.get();
    operation->setExportPasswordItems(passwords);
    operation->setExportEncryptedItems(encrypted);
    operation->setContainerURL(container());
    Outcome outcome;
    operation->progress()->addObserver([&](const platform::ProgressState& state) {
      if (!outcome.itemsTotal && state.totalUnitCount >= 0) {
        outcome.itemsTotal = state.totalUnitCount;
      }
      if (state.completedUnitCount < outcome.completed) {
        outcome.completedWentBack = true;
      }
      outcome.completed = state.completedUnitCount;
      std::string text = platform::toUtf8(state.localizedDescription);
      outcome.completedWhenShown.try_emplace(text, state.completedUnitCount);
      if (!text.empty() &&
          (outcome.progressTexts.empty() || outcome.progressTexts.back() != text)) {
        outcome.progressTexts.push_back(std::move(text));
      }
    });
    if (setUp) {
      setUp(*operation);
    }
    static_cast<ExportRun&>(outcome) = runExportToEnd(operation, mainQueue, pathOf(u"log.txt"));
    operation_ = nullptr;
    outcome.log = readFileText(pathOf(u"log.txt")).value_or("");
    return outcome;
  }

  // As an impatient user would: both requests must be noted, and the run end once.
  void cancelTwice() const {
    operation_->cancel();
    operation_->cancel();
  }

  URL container() const { return at(u"container", true); }
  URL exportFolder() const { return container().appendingPathComponent(u"Zelvar", true); }
  URL rootFolder() const { return exportFolder().appendingPathComponent(u"Zelvar", true); }
  URL metadataFile() const { return exportFolder().appendingPathComponent(u"Zelvar.plist"); }

  PropertyList readMetadata(const URL& url) const {
    auto value =
        platform::readBinaryPropertyList(readFileBytes(url).value_or(std::vector<std::uint8_t>{}));
    EXPECT_THAT(value, IsOk());
    return value ? *value : PropertyList(PropertyList::Dictionary{});
  }

  std::vector<std::u16string> rootFolderNames() const {
    std::vector<std::u16string> names;
    for (const ExportedFile& file : exportedFiles()) {
      names.push_back(platform::fromUtf8(file.name));
    }
    return names;
  }

  std::vector<ExportedFile> exportedFiles() const {
    std::vector<ExportedFile> files;
    auto listing = platform::contentsOfDirectoryAtURL(rootFolder());
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
  bool handOver_ = false;
  std::function<void(SourceCall)> beforeCall_;
  std::function<bool()> cancelWhen_;
  std::function<void(const DatabaseItem&)> beforeItem_;
  ZVExportOperation* operation_ = nullptr;
};

const PropertyList::Dictionary& dict(const PropertyList& value, std::u16string_view key) {
  static const PropertyList::Dictionary empty;
  const PropertyList* found = value.asDictionary() ? value.asDictionary()->find(key) : nullptr;
  return found && found->asDictionary() ? *found->asDictionary() : empty;
}

const PropertyList::Array& itemRecords(const PropertyList& metadata) {
  static const PropertyList::Array empty;
  const PropertyList* items = dict(metadata, u"Files").find(u"items");
  return items && items->asArray() ? *items->asArray() : empty;
}

TEST_F(ExportOperationTest, EmptyLibraryWritesCompleteEmptyMetadataOnMainThreadOnce) {
  Outcome outcome = runExport(makeLibrary({}));
  ASSERT_THAT(outcome.error, IsOk());
  EXPECT_EQ(outcome.callbacks, 1);
  EXPECT_TRUE(outcome.callbackOnMainThread);
  ASSERT_EQ(outcome.metadataFile, metadataFile());
  // Every section, even empty, and what only the operation can fill in.
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& files = dict(metadata, u"Files");
  EXPECT_EQ(*files.find(u"name")->asString(), u"Zelvar");
  EXPECT_EQ(*files.find(u"folderURL")->asString(), rootFolder().absoluteString());
  EXPECT_THAT(itemRecords(metadata), IsEmpty());
  for (auto key : {u"Labels", u"Groups", u"Searches"}) {
    SCOPED_TRACE(platform::toUtf8(key));
    ASSERT_NE(metadata.asDictionary()->find(key), nullptr);
    EXPECT_TRUE(dict(metadata, key).empty());
  }
  EXPECT_NE(dict(metadata, u"Exporter").find(u"CFBundleIdentifier"), nullptr);
  EXPECT_EQ(outcome.itemsTotal, 0);
  EXPECT_EQ(outcome.total, -1);  // the metadata step leaves it indeterminate
}

TEST_F(ExportOperationTest, PhasesRunInOrderWithTheirLogLinesAndProgressTexts) {
  source::LibraryContents contents;
  for (ItemKind kind : source::kAllItemKinds) {
    std::u16string id = u"id-" + std::u16string(source::itemKindName(kind));
    contents.items.push_back(item(kind, id, u"A"));
    addPayload(id, id + u".bin");
  }
  // A source that repeats an identifier: the item counts once.
  contents.items.push_back(item(ItemKind::image, u"id-note", u"Again"));
  struct Step {
    const char* logLine;
    const char* progressText;  // empty: none of its own
    std::int64_t completedWhenShown;
  };
  const Step steps[] = {
      {"*** Export started", "", 0},
      {"Exporting to ", "", 0},
      {"Exporting notes…", "Exporting notes…", 0},
      {"Exporting serial numbers…", "Exporting serial numbers…", 1},
      {"Exporting passwords…", "Exporting passwords…", 2},
      {"Exporting bookmarks…", "Exporting bookmarks…", 3},
      {"Exporting images…", "Exporting images…", 4},
      {"Exporting PDFs", "Exporting PDFs…", 5},
      {"Exporting web archives", "Exporting web archives…", 6},
      {"Exporting folder collections", "Exporting collections…", 7},
      {"Exporting labels", "Exporting labels…", 7},
      {"Exporting tag collections", "Exporting tag collections…", 7},
      {"Preparing metadata file", "Finishing…", 7},
      {"*** Export ended", "", 0},
  };
  // The handed-over way gives the same lines: HandedOverPayloadsGiveWhatTheFolderWayGives.
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_THAT(outcome.error, IsOk());
  EXPECT_EQ(outcome.completed, 7);
  EXPECT_EQ(outcome.summary.exportedTotal(), 7);
  EXPECT_FALSE(outcome.completedWentBack);
  size_t position = 0;
  std::vector<std::string> expectedTexts = {"Preparing to export…"};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.logLine);
    size_t found = outcome.log.find(step.logLine, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order in\n" << outcome.log;
    position = found;
    if (*step.progressText != '\0') {
      expectedTexts.emplace_back(step.progressText);
      EXPECT_EQ(outcome.completedWhenShown[step.progressText], step.completedWhenShown);
    }
  }
  EXPECT_THAT(outcome.progressTexts, ElementsAreArray(expectedTexts));
}

TEST_F(ExportOperationTest, CountsAndSkipsFollowTheOptions) {
  source::LibraryContents contents;
  auto encryptedNote = item(ItemKind::note, u"N1", u"Secret");
  encryptedNote.encrypted = true;
  contents.items = {encryptedNote,
                    item(ItemKind::note, u"N2", u"Plain"),
                    item(ItemKind::note, u"N3", u""),
                    item(ItemKind::password, u"P1", u"Bank"),
                    item(ItemKind::serialNumber, u"S1", u"Licence"),
                    item(ItemKind::bookmark, u"B1", u"Link")};
  for (auto id : {u"N1", u"N2", u"N3", u"P1", u"S1"}) {
    addPayload(id, std::u16string(id) + u".rtf");
  }
  // An encrypted item of each other kind. Those the option skips leave the total with it
  // (images, PDFs, web archives); serial numbers, passwords and bookmarks count as they stand.
  for (ItemKind kind : {ItemKind::serialNumber, ItemKind::password, ItemKind::bookmark,
                        ItemKind::image, ItemKind::pdfArchive, ItemKind::webArchive}) {
    std::u16string id = u"E-" + std::u16string(source::itemKindName(kind));
    contents.items.push_back(item(kind, id, id));
    contents.items.back().encrypted = true;
    addPayload(id, id + u".bin");
  }
  struct Case {
    const char* name;
    bool passwords;
    bool encrypted;
    std::int64_t expectedTotal;
    std::int64_t expectedExported;
    std::int64_t expectedCompleted;
  };
  // The bookmarks have no location and are skipped. Skipped items still count as completed.
  const Case cases[] = {
      {"everything", true, true, 12, 9, 12},
      {"no encrypted items", true, false, 8, 2, 12},
      {"no passwords", false, true, 10, 7, 10},
      {"neither", false, false, 6, 2, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = runExport(makeLibrary(contents), c.passwords, c.encrypted);
    ASSERT_THAT(outcome.error, IsOk());
    EXPECT_EQ(outcome.itemsTotal, c.expectedTotal);
    EXPECT_EQ(outcome.summary.exportedTotal(), c.expectedExported);
    EXPECT_EQ(outcome.completed, c.expectedCompleted);
    EXPECT_THAT(outcome.log, HasSubstr("Skipping item N3, because it has no name."));
    EXPECT_EQ(outcome.logCount("Skipping export of passwords"), c.passwords ? 0 : 1);
    EXPECT_EQ(outcome.logCount("Skipping encrypted item: N1"), c.encrypted ? 0 : 1);
  }
}

TEST_F(ExportOperationTest, FileNamesFollowTheExtensionRuleAndStayUniqueAndSafe) {
  struct Case {
    std::u16string name;
    std::u16string payload;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"Report.pdf", u"a.pdf", u"Report.pdf"},
      {u"Notes 1.2", u"b.rtf", u"Notes 1.2.rtf"},
      {u"Report.PDF", u"c.pdf", u"Report.PDF.pdf"},
      {u"Report.pdf", u"d.pdf", u"Report 1.pdf"},
      {u"Version 1.2", u"readme", u"Version 1.2"},  // no extension to add
      // Nothing left of the name, control characters alone included: the identifier stands in,
      // never ".rtf" or " 1".
      {u"   ", u"f.rtf", u"ID5.rtf"},
      {std::u16string(1, u'\0'), u"h", u"ID6"},
      {u" \u0001\u001F ", u"i.rtf", u"ID7.rtf"},
  };
  source::LibraryContents contents;
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::u16string id = numbered(u"ID", static_cast<int>(i));
    contents.items.push_back(item(ItemKind::note, id, cases[i].name));
    addPayload(id, cases[i].payload);
  }
  // What an earlier export left goes whole: its "Report.pdf" takes no name from ours.
  ASSERT_THAT(platform::createDirectoryAtURL(rootFolder(), true, 0700), IsOk());
  for (std::string name : {"old.rtf", "Report.pdf"}) {
    ASSERT_TRUE(testsupport::writeFileText(rootFolder().fileSystemPath() + "/" + name, ""));
  }
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_THAT(outcome.error, IsOk());
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = itemRecords(metadata);
  ASSERT_EQ(items.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(platform::toUtf8(cases[i].expected));
    EXPECT_EQ(*items[i].asDictionary()->find(u"fileURL")->asString(),
              rootFolder().appendingPathComponent(cases[i].expected).absoluteString());
  }
  EXPECT_EQ(rootFolderNames().size(), std::size(cases));
}

TEST(ItemFileNamesTest, ExtensionsAreThoseTheNamesURLsGive) {
  const URL folder = URL::fileURLWithPath(u"/export/", true);
  for (std::u16string_view name : {u"a.rtf", u"archive.tar.gz", u"README", u".hidden", u"ends.",
                                   u"x.y/z", u"x/y.pdf", u"dir.d/", u"dir.d//", u"/", u"a.b/c.d/",
                                   u"%2E.txt", u"caf\u00E9.\u00E9t\u00E9", u"..", u""}) {
    SCOPED_TRACE(platform::toUtf8(name));
    EXPECT_EQ(exporter::extensionOfFileName(name),
              folder.appendingPathComponent(std::u16string(name)).pathExtension());
  }
  // Asked in turn, each answer is that extension's own, not the one asked before.
  for (auto [extension, isArchive] : {std::pair{u"webarchive", true},
                                      {u"rtf", false},
                                      {u"webarchive", true},
                                      {u"", false},
                                      {u"webarchive", true}}) {
    EXPECT_EQ(exporter::isWebArchiveExtension(extension), isArchive) << platform::toUtf8(extension);
  }
}

TEST_F(ExportOperationTest, ItemRecordsCarryWhatFilesCannot) {
  source::LibraryContents contents;
  contents.labels = {{u"L1", u"Urgent", source::DeviceRGBColor{1, 0.5, 0.25, 0.5}},
                     {u"L2", std::nullopt, std::nullopt},
                     {u"L3", u"Only on skipped items", std::nullopt}};
  auto note = item(ItemKind::note, u"N1", u"Note");
  note.flagged = true;
  note.comments = u"remember";
  note.label = u"L1";
  note.tags = {{u"work"}, {std::nullopt}, {u"q3"}};
  auto password = item(ItemKind::password, u"P1", u"Bank");
  password.label = u"L1";
  auto image = item(ItemKind::image, u"I1", u"Beach");
  auto unnamed = item(ItemKind::note, u"N2", u"");
  unnamed.label = u"L3";
  auto nowhere = bookmark(u"B1", u"Nowhere", std::nullopt);
  nowhere.label = u"L3";
  contents.items = {note, password, image, unnamed, nowhere};
  contents.folderCollections = {{u"F1", std::nullopt, {u"N1", u"I1"}}, {u"F2", u"", {}}};
  contents.tagCollections = {
      {u"T1", u"Work", {{u"work"}, {u"q3"}}, source::kTagCollectionBehaviorAll},
      {u"T2", std::nullopt, {}, 0x5467416E}};
  addPayload(u"N1", u"n.rtf");
  addPayload(u"P1", u"p.rtf");
  addPayload(u"I1", u"i.png");
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_THAT(outcome.error, IsOk());
  EXPECT_EQ(outcome.summary.skippedTotal(), 2);
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = itemRecords(metadata);
  ASSERT_EQ(items.size(), 3u);
  const auto& noteRecord = *items[0].asDictionary();
  EXPECT_EQ(noteRecord.find(u"wasEncrypted")->asBoolean(), false);
  EXPECT_EQ(noteRecord.find(u"isFavorite")->asBoolean(), true);
  EXPECT_EQ(noteRecord.find(u"wasNote")->asBoolean(), true);
  EXPECT_EQ(*noteRecord.find(u"comments")->asString(), u"remember");
  EXPECT_EQ(*noteRecord.find(u"label")->asString(), u"L1");
  EXPECT_EQ(*noteRecord.find(u"tags")->asString(), u"work,q3");
  EXPECT_EQ(items[1].asDictionary()->find(u"wasEncrypted")->asBoolean(), true);
  const auto& imageRecord = *items[2].asDictionary();
  EXPECT_EQ(imageRecord.find(u"wasNote"), nullptr);
  EXPECT_EQ(imageRecord.find(u"comments"), nullptr);
  EXPECT_EQ(imageRecord.find(u"label"), nullptr);
  EXPECT_EQ(*imageRecord.find(u"tags")->asString(), u"");

  const auto& labels = dict(metadata, u"Labels");
  const auto& urgent = *labels.find(u"L1")->asDictionary();
  EXPECT_EQ(*urgent.find(u"name")->asString(), u"Urgent");
  EXPECT_EQ(urgent.find(u"greenComponent")->asReal(), 0.5);
  EXPECT_EQ(urgent.find(u"alphaComponent")->asReal(), 1.0);
  const auto& nameless = *labels.find(u"L2")->asDictionary();
  EXPECT_EQ(nameless.find(u"name"), nullptr);
  EXPECT_EQ(nameless.find(u"redComponent")->asReal(), 0.0);
  EXPECT_TRUE(nameless.find(u"items")->asArray()->empty());
  // Skipped items are not in the export, so no label may name them.
  EXPECT_TRUE(labels.find(u"L3")->asDictionary()->find(u"items")->asArray()->empty());

  // An empty name stays empty; only a missing one becomes "Untitled".
  const auto& groups = dict(metadata, u"Groups");
  EXPECT_EQ(*groups.find(u"F2")->asDictionary()->find(u"name")->asString(), u"");

  const auto& searches = dict(metadata, u"Searches");
  const auto& options = *searches.find(u"T1")->asDictionary()->find(u"searchOptions")->asArray();
  ASSERT_EQ(options.size(), 2u);
  EXPECT_EQ(*options[1].asDictionary()->find(u"key")->asString(), u"tags.name");
  EXPECT_EQ(searches.find(u"T2")->asDictionary()->find(u"name"), nullptr);
}

TEST_F(ExportOperationTest, ExportedFilesAndBookmarksTakeTheItemsDatesOrLogWhyNot) {
  constexpr double kSecondsPerYear = 365.2425 * 86400;
  const Date created{100000000.0};
  struct Case {
    DatabaseItem item;
    std::u16string fileName;
    std::optional<Date> modificationDate;
    bool storable;  // else logged, where the file system clamps it
  };
  Case cases[] = {
      {item(ItemKind::note, u"N1", u"Dated"), u"Dated.rtf", Date{200000000.5}, true},
      {bookmark(u"B1", u"Link", u"https://example.com/"), u"Link.qntweblink", Date{200000000.5},
       true},
      {item(ItemKind::note, u"N2", u"Future"), u"Future.rtf", Date{999 * kSecondsPerYear}, false},
      {bookmark(u"B2", u"Past", u"https://past.example"), u"Past.qntweblink",
       Date{-1001 * kSecondsPerYear}, false},
      // A creation date alone is given too.
      {item(ItemKind::note, u"N3", u"Born"), u"Born.rtf", std::nullopt, true},
  };
  // Linux keeps a creation date in an extended attribute; without them there is none to check.
  // Most file systems keep 1901 to 2446 or so, some anything a 64-bit count of seconds holds.
  URL probe = at(u"probe");
  ASSERT_THAT(platform::writeFileAtURL(probe, {}, platform::WriteMode::kCreateNew), IsOk());
  ASSERT_THAT(platform::setFileDatesAtURL(probe, {Date{1000.0}, cases[2].modificationDate}),
              IsOk());
  const bool keepsCreationDates = platform::creationDateAtURL(probe).value() == Date{1000.0};
  const bool clampsDates =
      platform::contentModificationDateAtURL(probe).value() != *cases[2].modificationDate;
  source::LibraryContents contents;
  for (Case& c : cases) {
    c.item.creationDate = created;
    c.item.modificationDate = c.modificationDate;
    contents.items.push_back(c.item);
    addPayload(c.item.id, c.item.id + u".rtf");
  }
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_THAT(outcome.error, IsOk());
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.fileName));
    URL file = rootFolder().appendingPathComponent(c.fileName);
    if (c.storable && c.modificationDate) {
      EXPECT_EQ(platform::contentModificationDateAtURL(file).value(), *c.modificationDate);
    }
    if (keepsCreationDates) {
      EXPECT_EQ(platform::creationDateAtURL(file).value(), created);
    }
    EXPECT_EQ(outcome.logCount("Date of item " + platform::toUtf8(c.item.id) +
                               " is outside the range the file system can store; it was "
                               "stored as "),
              clampsDates && !c.storable ? 1 : 0);
  }
}

TEST_F(ExportOperationTest, WebArchivesAreUnwrappedOnlyIntoDocumentsAndMedia) {
  struct Case {
    std::u16string mimeType;      // of the main resource holding "content"; empty: no archive
    std::u16string expectedFile;  // the archive's name when it must stay an archive
  };
  const Case cases[] = {
      {u"image/png", u"Item.png"},
      {u"application/pdf", u"Item.pdf"},
      {u"audio/mpeg", u"Item.mp3"},
      {u"text/plain; charset=utf-8", u"Item.txt"},
      {u"text/html", u"Item.webarchive"},
      {u"text/x-python", u"Item.webarchive"},  // text, but no plain text
      {u"", u"Item.webarchive"},
  };
  source::LibraryContents contents;
  contents.items.push_back(item(ItemKind::webArchive, u"W1", u"Item"));
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.mimeType));
    const std::string archive =
        c.mimeType.empty() ? "not a property list" : webArchive(c.mimeType, "content");
    addPayload(u"W1", u"W1.webarchive", archive);
    Outcome outcome = runExport(makeLibrary(contents));
    ASSERT_THAT(outcome.error, IsOk());
    EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{c.expectedFile});
    const bool kept = c.expectedFile.ends_with(u".webarchive");
    EXPECT_EQ(readFileText(rootFolder().appendingPathComponent(c.expectedFile)),
              kept ? archive : "content");
    // A kept archive other than HTML says why, once.
    EXPECT_EQ(outcome.logCount("Keeping web archive"), kept && c.mimeType != u"text/html" ? 1 : 0);
  }
  // One that cannot be read (not a regular file, even for root) goes on as it is, silently.
  Outcome unread =
      runExport(makeLibrary(contents, std::nullopt, [](const DatabaseItem&, const URL& directory) {
        URL file = directory.appendingPathComponent(u"W1.webarchive");
        EXPECT_EQ(::mkfifo(file.fileSystemPath().c_str(), 0600), 0);
        return platform::Result<std::optional<URL>>(file);
      }));
  ASSERT_THAT(unread.error, IsOk());
  EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{u"Item.webarchive"});
  EXPECT_EQ(unread.logCount("Keeping web archive"), 0);
}

TEST_F(ExportOperationTest, FailuresEndTheRunWithTheirCodeAndText) {
  source::LibraryContents contents;
  contents.items = {item(ItemKind::note, u"N1", u"Note")};
  addPayload(u"N1", u"n.rtf");
  const auto expectFailure = [&](const char* name, std::shared_ptr<source::SourceLibrary> library,
                                 std::int64_t code, const char* description,
                                 const char* logLine = "") {
    SCOPED_TRACE(name);
    Outcome outcome = runExport(std::move(library));
    EXPECT_THAT(outcome.error, IsError(kZVImportErrorDomain, code, StartsWith(description)));
    EXPECT_FALSE(outcome.metadataFile);
    EXPECT_EQ(outcome.callbacks, 1);
    EXPECT_EQ(readFileBytes(metadataFile()), std::nullopt);
    EXPECT_THAT(outcome.log, HasSubstr(logLine));
  };
  // A file where the container should be: the folder cannot be made, and the file is left alone.
  ASSERT_TRUE(testsupport::writeFileText(folder_.path("container"), "mine"));
  expectFailure("the container is a file", makeLibrary(contents), kFileExportErrorCode,
                "Cannot create export folder: ");
  EXPECT_EQ(readFileText(folder_.path("container")), "mine");
  std::filesystem::remove(folder_.path("container"));

  struct SourceFailure {
    const char* name;
    std::vector<SourceCall> calls;
  };
  const SourceFailure sourceFailures[] = {
      {"counting", {SourceCall::countItems}},
      {"fetching items", {SourceCall::getItems, SourceCall::forEachItem}},
      {"exporting an item", {SourceCall::exportItem, SourceCall::openItemPayload}},
      {"fetching folder collections", {SourceCall::getFolderCollections}},
      {"fetching labels", {SourceCall::getLabels}},
      {"fetching tag collections", {SourceCall::getTagCollections}},
  };
  for (const SourceFailure& c : sourceFailures) {
    auto library = makeLibrary(contents);
    for (SourceCall call : c.calls) {
      library->failCall(call, u"Zelvar stopped answering");
    }
    expectFailure(c.name, library, kSourceFailedErrorCode, "Zelvar stopped answering");
  }

  expectFailure("an item is not returned",
                makeLibrary(contents, std::nullopt,
                            [](const DatabaseItem&, const URL&) {
                              return platform::Result<std::optional<URL>>(std::nullopt);
                            }),
                kFileExportErrorCode, "Cannot export “Note”. An unknown error occurred.");
  expectFailure("the exported file cannot be moved",
                makeLibrary(contents, std::nullopt,
                            [](const DatabaseItem&, const URL& directory) {
                              return platform::Result<std::optional<URL>>(
                                  directory.appendingPathComponent(u"gone.rtf"));
                            }),
                kFileExportErrorCode, "Cannot move exported file: ");
  // A folder where the metadata file goes: the file cannot take its place.
  beforeCall_ = [this](SourceCall call) {
    std::error_code ignored;  // a folder not made shows as the run not failing
    if (call == SourceCall::getTagCollections) {
      std::filesystem::create_directory(metadataFile().fileSystemPath(), ignored);
    }
  };
  expectFailure("the metadata file cannot be saved", makeLibrary(contents), kSaveErrorCode,
                "Cannot save metadata file: ", "Error creating plist: ");
  beforeCall_ = nullptr;
  // A lone surrogate has no place in a property list's string.
  contents.items[0].comments = std::u16string(1, char16_t{0xD800});
  expectFailure("the metadata cannot be serialised", makeLibrary(contents), kSourceFailedErrorCode,
                "Cannot create data for metadata file: ", "Error creating plist: ");
  // A bookmark whose location makes no URL stops the run where it stands.
  contents.items = {bookmark(u"B1", u"Fine", u"https://fine.example"),
                    bookmark(u"B2", u"Broken", u"http://[::1"),
                    bookmark(u"B3", u"Later", u"https://later.example")};
  expectFailure("a bookmark has no usable URL", makeLibrary(contents), kSaveErrorCode,
                "Cannot save bookmark Broken: No URL.");
  EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{u"Fine.qntweblink"});
}

TEST_F(ExportOperationTest, RefusesToExportWhereTheLibraryWouldBeLost) {
  struct Case {
    const char* name;
    std::u16string libraryFolder;  // in the test's temporary folder
    bool refused;
  };
  const Case cases[] = {
      {"library in the export folder", u"container/Zelvar/library", true},
      {"library in the root folder", u"container/Zelvar/Zelvar/library", true},
      {"library reached through a link", u"link", true},
      {"container in the library", u"", true},
      {"library beside the export folder with a like name", u"container/ZelvarLibrary", false},
      {"library beside the container", u"library", false},
  };
  ASSERT_EQ(::symlink(pathOf(u"container/Zelvar/library").c_str(), pathOf(u"link").c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URL folder = c.libraryFolder.empty() ? folder_.url() : at(c.libraryFolder, true);
    URL marker = folder.appendingPathComponent(u"library.json");
    if (!platform::itemIsReachableAtURL(marker)) {
      ASSERT_THAT(platform::createDirectoryAtURL(folder, true, 0700), IsOk());
      ASSERT_THAT(platform::writeFileAtURL(marker, {}, platform::WriteMode::kCreateNew), IsOk());
    }
    Outcome outcome = runExport(makeLibrary({}, folder));
    EXPECT_TRUE(platform::itemIsReachableAtURL(marker));
    if (c.refused) {
      EXPECT_THAT(outcome.error,
                  IsError(kZVImportErrorDomain, kFileExportErrorCode, HasSubstr(" inside the ")));
    } else {
      EXPECT_THAT(outcome.error, IsOk());
    }
  }
}

TEST_F(ExportOperationTest, CancellingAtAnyStepEndsWithTheCancellationErrorOnce) {
  // Four notes, two bookmarks, one image, in the order the phases take them, and one of each
  // collection. The notes are large enough that a cancel comes in the middle of writing one.
  const std::string noteContent(100000, 'x');
  source::LibraryContents contents;
  for (int i = 0; i < 4; ++i) {
    contents.items.push_back(item(ItemKind::note, numbered(u"N", i), u"Note"));
    addPayload(numbered(u"N", i), numbered(u"N", i) + u".rtf", noteContent);
  }
  contents.items.push_back(bookmark(u"B1", u"First", u"https://one.example/"));
  contents.items.push_back(bookmark(u"B2", u"Second", u"https://two.example/"));
  contents.items.push_back(item(ItemKind::image, u"I1", u"Image"));
  addPayload(u"I1", u"i.png");
  contents.labels = {{u"L1", u"Label", std::nullopt}};
  contents.folderCollections = {{u"F1", u"Folder", {u"N0"}}};
  contents.tagCollections = {{u"T1", u"Tags", {{u"tag"}}, 0}};
  // When the cancel comes: at the use number `use` of a source call, as the second bookmark is
  // handed over, or at the first post to the main queue after the metadata step's log line, when
  // it is too late to stop the file being written.
  enum class When { kBeforeTheRun, kAtCall, kBetweenBookmarks, kWritingMetadata };
  struct Case {
    const char* name;
    // The item the source was writing when the cancel came is finished; one being handed over
    // is not.
    std::int64_t expectedExported;
    SourceCall call;
    When when;
    int use = 0;
    bool handsOver = false;
  };
  const Case cases[] = {
      {"before the run", 0, SourceCall::exportItem, When::kBeforeTheRun},
      {"exporting the last note", 4, SourceCall::exportItem, When::kAtCall, 3},
      {"handing over the third note", 2, SourceCall::openItemPayload, When::kAtCall, 2, true},
      {"between two bookmarks", 5, SourceCall::exportItem, When::kBetweenBookmarks},
      {"exporting the image", 7, SourceCall::exportItem, When::kAtCall, 4},
      {"fetching folder collections", 7, SourceCall::getFolderCollections, When::kAtCall},
      {"fetching labels", 7, SourceCall::getLabels, When::kAtCall},
      {"fetching tag collections", 7, SourceCall::getTagCollections, When::kAtCall},
      {"writing the metadata file", 7, SourceCall::exportItem, When::kWritingMetadata},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int uses = 0;
    beforeCall_ = [&](SourceCall call) {
      if (c.when == When::kAtCall && call == c.call && uses++ == c.use) {
        cancelTwice();
      }
    };
    beforeItem_ = [&](const DatabaseItem& handedOver) {
      if (c.when == When::kBetweenBookmarks && handedOver.id == u"B2") {
        cancelTwice();
      }
    };
    cancelWhen_ = [&] {
      return c.when == When::kWritingMetadata &&
             readFileText(pathOf(u"log.txt")).value_or("").find("Preparing metadata file") !=
                 std::string::npos;
    };
    handOver_ = c.handsOver;
    Outcome outcome = runExport(makeLibrary(contents), true, true, [&](ZVExportOperation&) {
      if (c.when == When::kBeforeTheRun) {
        cancelTwice();
      }
    });
    EXPECT_THAT(outcome.error,
                IsError(platform::kCocoaErrorDomain, platform::kUserCancelledErrorCode));
    EXPECT_EQ(outcome.callbacks, 1);
    EXPECT_FALSE(outcome.metadataFile);
    EXPECT_EQ(platform::itemIsReachableAtURL(metadataFile()), c.when == When::kWritingMetadata);
    EXPECT_EQ(outcome.summary.exportedTotal(), c.expectedExported);
    // The items finished are whole; nothing is left of the one cut short.
    std::vector<ExportedFile> files = exportedFiles();
    EXPECT_EQ(files.size(), c.expectedExported);
    for (const ExportedFile& file : files) {
      EXPECT_TRUE(!file.name.ends_with(".rtf") || file.content == noteContent) << file.name;
    }
    // A cancel before the run is logged before the run's log is opened.
    EXPECT_EQ(outcome.logCount("User requested cancellation"),
              c.when == When::kBeforeTheRun ? 0 : 2);
  }
}

TEST_F(ExportOperationTest, BookmarksBecomeWebLinkFilesThatNeverOverwriteEachOther) {
  source::LibraryContents contents;
  contents.items = {
      bookmark(u"B1", u"News: Today/Tomorrow", u"https://news.example/today"),
      bookmark(u"B2", u"Recipes", u"https://food.example/a"),
      bookmark(u"B3", u"Recipes", u"https://food.example/b"),
      bookmark(u"B4", u"", u"https://docs.example/manual"),
      bookmark(u"B5", u"", u"mailto:someone@example.org"),
      bookmark(u"B6", u"Nowhere", u""),
      bookmark(u"B7", u"", std::nullopt),
      bookmark(u"B8", u"\u0001", u"mailto:other@example.org"),
      bookmark(u"B9", u"Site", u"www.example.com/page"),
  };
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_THAT(outcome.error, IsOk());
  struct Expected {
    std::u16string fileName;
    std::u16string url;
    std::u16string title;
  };
  const Expected expected[] = {
      {u"News- Today-Tomorrow.qntweblink", u"https://news.example/today", u"News: Today/Tomorrow"},
      {u"Recipes.qntweblink", u"https://food.example/a", u"Recipes"},
      {u"Recipes 1.qntweblink", u"https://food.example/b", u"Recipes"},
      {u"docs.example.qntweblink", u"https://docs.example/manual", u""},
      {u"Untitled Web Link.qntweblink", u"mailto:someone@example.org", u""},
      {u"Untitled Web Link 1.qntweblink", u"mailto:other@example.org", u"\u0001"},
      // A location without a scheme is kept as it stands.
      {u"Site.qntweblink", u"www.example.com/page", u"Site"},
  };
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = itemRecords(metadata);
  ASSERT_EQ(items.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(platform::toUtf8(expected[i].fileName));
    URL file = rootFolder().appendingPathComponent(expected[i].fileName);
    EXPECT_EQ(*items[i].asDictionary()->find(u"fileURL")->asString(), file.absoluteString());
    auto link = weblink::QNTWebLinkFile::initWithFileURL(file);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->URL()->absoluteString(), expected[i].url);
    EXPECT_EQ(std::filesystem::status(file.fileSystemPath()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // What the link writer makes of the same link as a new file: its bytes and the flag that
    // shows it without its extension, where the volume keeps one.
    weblink::QNTWebLinkFile reference;
    reference.setTitle(expected[i].title);
    reference.setURL(URL::fromStringAllowingRelative(expected[i].url));
    const URL referenceFile = at(u"reference.qntweblink");
    std::filesystem::remove(referenceFile.fileSystemPath());
    ASSERT_TRUE(
        reference.writeToURL(referenceFile, nullptr, weblink::WebLinkWriteMode::kCreateNew, 0600));
    EXPECT_EQ(readFileBytes(file), readFileBytes(referenceFile));
    EXPECT_EQ(platform::hasHiddenExtensionAtURL(file).value(),
              platform::hasHiddenExtensionAtURL(referenceFile).value());
  }
  EXPECT_THAT(outcome.log, HasSubstr("Skipping bookmark\u00A0Nowhere, because it has no location"));
  EXPECT_THAT(outcome.log, HasSubstr("Skipping bookmark\u00A0B7, because it has no location"));
}

TEST_F(ExportOperationTest, BookmarksPassOverWhatStandsAtTheirNameUnseenByTheIndex) {
  const std::string planted = rootFolder().fileSystemPath() + "/Recipes.qntweblink";
  const std::string outside = pathOf(u"outside");
  source::LibraryContents contents;
  contents.items = {bookmark(u"B1", u"Recipes", u"https://food.example/a")};
  // A file, and a link to where nothing is yet, which writing through would create.
  for (const std::string& linkTarget : {std::string(), outside}) {
    SCOPED_TRACE(linkTarget);
    beforeItem_ = [&](const DatabaseItem&) {
      ASSERT_TRUE(linkTarget.empty() ? testsupport::writeFileText(planted, "theirs")
                                     : ::symlink(linkTarget.c_str(), planted.c_str()) == 0);
    };
    Outcome outcome = runExport(makeLibrary(contents));
    ASSERT_THAT(outcome.error, IsOk());
    EXPECT_EQ(rootFolderNames(),
              (std::vector<std::u16string>{u"Recipes 1.qntweblink", u"Recipes.qntweblink"}));
    auto written = weblink::QNTWebLinkFile::URLFromWebLinkFileAtURL(
        rootFolder().appendingPathComponent(u"Recipes 1.qntweblink"));
    EXPECT_EQ(written ? written->absoluteString() : u"", u"https://food.example/a");
    if (linkTarget.empty()) {
      EXPECT_EQ(readFileText(planted), "theirs");
    } else {
      EXPECT_EQ(std::filesystem::read_symlink(planted), linkTarget);
      EXPECT_FALSE(std::filesystem::exists(outside));
    }
  }
}

TEST_F(ExportOperationTest, FailuresOfTheFileSystemAreExportErrorsNotSourceFailures) {
  // Both need a mount, made in a namespace of the test's own; permissions would not stop root.
  std::filesystem::create_directories(rootFolder().fileSystemPath() + "/mounted");
  std::filesystem::create_directories(folder_.path("read-only"));
  std::filesystem::create_directories(folder_.path("mounted-elsewhere"));
  ASSERT_TRUE(testsupport::writeFileText(folder_.path("mounted-elsewhere/keep.txt"), "precious"));
  source::LibraryContents contents;
  contents.items.push_back(item(ItemKind::note, u"N1", u"Note"));
  addPayload(u"N1", u"N1.rtf");
  struct Case {
    const char* name;
    std::function<bool()> mount;
    std::string expectedReport;  // its start
    const char* alsoSays;
  };
  const Case cases[] = {
      {"a folder of another file system in the old export",
       [&] {
         return platform::testing::bindMount(pathOf(u"mounted-elsewhere"),
                                             rootFolder().fileSystemPath() + "/mounted");
       },
       "10002 Cannot remove old export folder: ", "another file system"},
      {"a temporary folder that cannot be written",
       [&] {
         ::setenv("TMPDIR", pathOf(u"read-only").c_str(), 1);
         return ::mount("zv-test", pathOf(u"read-only").c_str(), "tmpfs", MS_RDONLY, "size=1m") ==
                0;
       },
       "10002 Cannot create a temporary folder: ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> report =
        platform::testing::reportFromPrivateMountNamespace([&]() -> std::optional<std::string> {
          if (!c.mount()) {
            return std::nullopt;
          }
          Outcome outcome = runExport(makeLibrary(contents));
          if (!outcome.error) {
            return "exported";
          }
          return std::to_string(outcome.error->code) + " " +
                 platform::toUtf8(outcome.error->description);
        });
    if (!report) {
      GTEST_SKIP() << "mounting is not permitted here";
    }
    EXPECT_THAT(*report, StartsWith(c.expectedReport));
    EXPECT_THAT(*report, HasSubstr(c.alsoSays));
  }
  EXPECT_EQ(readFileText(folder_.path("mounted-elsewhere/keep.txt")), "precious");
}

// Lines that name where the source put its file, which only the folder way has.
bool namesTheSourcesFile(const std::string& line) {
  return line.starts_with("Converting web archive ") || line.starts_with("Keeping web archive ");
}

TEST_F(ExportOperationTest, HandedOverPayloadsGiveWhatTheFolderWayGives) {
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
  source::LibraryContents contents;
  double seconds = 100000000;
  for (const Row& row : rows) {
    DatabaseItem added = item(row.kind, row.id, row.name);
    added.creationDate = Date{seconds += 86400.5};
    added.modificationDate = Date{seconds + 1000.25};
    added.flagged = row.kind == ItemKind::note;
    added.comments = u"about " + std::u16string(row.id);
    added.tags = {{u"one"}, {std::nullopt}, {u"two"}};
    contents.items.push_back(added);
    addPayload(row.id, row.fileName, row.content);
  }
  Outcome folderWay = runExport(makeLibrary(contents));
  ASSERT_THAT(folderWay.error, IsOk());
  const std::vector<ExportedFile> folderFiles = exportedFiles();
  const PropertyList folderMetadata = readMetadata(*folderWay.metadataFile);
  handOver_ = true;
  Outcome direct = runExport(makeLibrary(contents));
  ASSERT_THAT(direct.error, IsOk());
  EXPECT_EQ(exportedFiles(), folderFiles);
  EXPECT_EQ(readMetadata(*direct.metadataFile), folderMetadata);
  for (const ExportedFile& file : folderFiles) {
    EXPECT_EQ(file.mode & 07777, 0600u) << file.name;
  }
  EXPECT_EQ(direct.summary.exported, folderWay.summary.exported);
  EXPECT_EQ(direct.summary.skipped, folderWay.summary.skipped);
  EXPECT_EQ(direct.completed, folderWay.completed);
  EXPECT_EQ(direct.progressTexts, folderWay.progressTexts);
  EXPECT_EQ(direct.completedWhenShown, folderWay.completedWhenShown);
  // The same lines, but for where each way found the file: that line stays, in another form.
  std::vector<std::string> directLog = direct.logLines();
  std::vector<std::string> folderWayLog = folderWay.logLines();
  EXPECT_EQ(std::erase_if(directLog, namesTheSourcesFile),
            std::erase_if(folderWayLog, namesTheSourcesFile));
  EXPECT_EQ(directLog, folderWayLog);
}

TEST_F(ExportOperationTest, HandedOverPayloadsNeitherReplaceNorFollowWhatStandsAtTheName) {
  const std::string outside = pathOf(u"outside");
  const std::string planted = rootFolder().fileSystemPath() + "/Note.rtf";
  struct Case {
    const char* name;
    std::string linkTarget;      // planted at the name as the payload is opened; empty: a file
    std::string payloadPath;     // empty: a payload that copies
    std::string expectedReason;  // empty: the item takes the next free name
  };
  const Case cases[] = {
      {"a file", "", "", ""},
      {"a link to a file", outside, "", ""},
      {"a dangling link", outside + "-missing", "", ""},
      {"a file, and a payload that is no regular file", "", pathOf(u"payload"),
       "The file \"payload/n.rtf\" cannot be copied: "},
      // Its size says 0 and it still has content: it reads as changing on every copy.
      {"a file, and a payload that changes while copied", "", "/proc/self/status",
       "The file “payload/n.rtf” changed while it was being copied."},
  };
  source::LibraryContents contents;
  contents.items = {item(ItemKind::note, u"N0", u"Kept"), item(ItemKind::note, u"N1", u"Note")};
  addPayload(u"N0", u"k.rtf", "kept");
  handOver_ = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(testsupport::writeFileText(outside, "outside"));
    addPayload(u"N1", u"n.rtf", "ours");
    if (!c.payloadPath.empty()) {
      payloads_[u"N1"].path = c.payloadPath;
    }
    int opened = 0;
    beforeCall_ = [&](SourceCall call) {
      if (call == SourceCall::openItemPayload && opened++ == 1) {
        ASSERT_TRUE(c.linkTarget.empty() ? testsupport::writeFileText(planted, "theirs")
                                         : ::symlink(c.linkTarget.c_str(), planted.c_str()) == 0);
      }
    };
    Outcome outcome = runExport(makeLibrary(contents));
    if (c.expectedReason.empty()) {
      ASSERT_THAT(outcome.error, IsOk());
      EXPECT_EQ(readFileText(rootFolder().appendingPathComponent(u"Note 1.rtf")), "ours");
    } else {
      EXPECT_THAT(outcome.error, IsError(kZVImportErrorDomain, kSourceFailedErrorCode,
                                         StartsWith(c.expectedReason)));
      EXPECT_EQ(rootFolderNames(), (std::vector<std::u16string>{u"Kept.rtf", u"Note.rtf"}));
    }
    EXPECT_EQ(readFileText(outside), "outside");
    if (c.linkTarget.empty()) {
      EXPECT_EQ(readFileText(planted), "theirs");
    } else {
      EXPECT_EQ(std::filesystem::read_symlink(planted), c.linkTarget);
    }
  }
}

}  // namespace
}  // namespace zv::exporter
