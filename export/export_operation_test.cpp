#include "export/export_operation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>

#include "export/export_errors.h"
#include "platform/binary_property_list.h"
#include "platform/file_attributes.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/private_mounts_for_testing.h"
#include "platform/run_loop_main_queue.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {
namespace {

using platform::PropertyList;
using platform::URL;
using source::DatabaseItem;
using source::ItemKind;

DatabaseItem item(ItemKind kind, std::u16string id, std::u16string name) {
  DatabaseItem result;
  result.kind = kind;
  result.id = std::move(id);
  result.name = std::move(name);
  return result;
}

source::DatabaseItem bookmark(std::u16string id, std::u16string name,
                              std::optional<std::u16string> location) {
  auto result = item(ItemKind::bookmark, std::move(id), std::move(name));
  result.location = std::move(location);
  return result;
}

std::string readText(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

// The main queue of the tests: a plain run loop that can run a hook on the posting thread each
// time a block is posted, to act at a precise point of the export.
class HookedMainQueue : public platform::MainQueue {
 public:
  explicit HookedMainQueue(std::function<void()>& hook) : hook_(hook) {}
  void post(std::function<void()> block) override {
    if (hook_) {
      hook_();
    }
    runLoop_.post(std::move(block));
  }
  bool isCurrentThreadMain() const override { return runLoop_.isCurrentThreadMain(); }
  bool runUntil(const std::function<bool()>& predicate) { return runLoop_.runUntil(predicate); }
  int runPendingBlocks() { return runLoop_.runPendingBlocks(); }

 private:
  std::function<void()>& hook_;
  platform::RunLoopMainQueue runLoop_;
};

struct Outcome {
  std::optional<platform::Error> error;
  std::optional<URL> metadataFile;
  int callbacks = 0;
  bool callbackOnMainThread = false;
  ExportSummary summary;
  std::int64_t total = 0;
  std::int64_t completed = 0;
  std::string log;
};

class ExportOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto temporary = platform::TemporaryDirectory::create(u"zv-export-test");
    ASSERT_TRUE(temporary);
    temporary_.emplace(std::move(*temporary));
    container_ = temporary_->url().appendingPathComponent(u"container", true);
    logPath_ = temporary_->url().appendingPathComponent(u"log.txt").fileSystemPath();
  }

  // Payload files the in-memory source writes, by item identifier: (file name, content).
  void addPayload(const std::u16string& id, std::u16string fileName, std::string content = "x") {
    payloads_[id] = {std::move(fileName), std::move(content)};
  }

  std::shared_ptr<source::MemorySourceLibrary> makeLibrary(source::LibraryContents contents) {
    auto payloads = payloads_;
    auto hook = &exportHook_;
    return std::make_shared<source::MemorySourceLibrary>(
        std::move(contents),
        [payloads, hook](const DatabaseItem& exported,
                         const URL& directory) -> platform::Result<std::optional<URL>> {
          if (*hook) {
            (*hook)(exported);
          }
          auto payload = payloads.find(exported.id);
          if (payload == payloads.end()) {
            return std::optional<URL>{};
          }
          URL file = directory.appendingPathComponent(payload->second.first);
          const auto& bytes = payload->second.second;
          ZV_TRY(platform::writeFileAtURL(
              file, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
              platform::WriteMode::kCreateNew));
          return std::optional<URL>(file);
        });
  }

  Outcome runExport(std::shared_ptr<source::SourceLibrary> library, bool passwords = true,
                    bool encrypted = true,
                    const std::function<void(ZVExportOperation&)>& setUp = {}) {
    HookedMainQueue mainQueue(postHook_);
    int logDescriptor = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int previousDescriptor = platform::setLogFileDescriptor(logDescriptor);
    Outcome outcome;
    {
      auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
      operation_ = operation.get();
      operation->setExportPasswordItems(passwords);
      operation->setExportEncryptedItems(encrypted);
      operation->setContainerURL(container_);
      operation->setExportCompletionBlock(
          [&](std::optional<platform::Error> error, std::optional<URL> url) {
            ++outcome.callbacks;
            outcome.callbackOnMainThread = mainQueue.isCurrentThreadMain();
            outcome.error = std::move(error);
            outcome.metadataFile = std::move(url);
          });
      if (setUp) {
        setUp(*operation);
      }
      platform::OperationQueue queue;
      queue.addOperation(operation);
      mainQueue.runUntil([&] { return outcome.callbacks > 0; });
      queue.waitUntilAllOperationsAreFinished();
      mainQueue.runPendingBlocks();
      outcome.summary = operation->summary();
      outcome.total = operation->progress()->totalUnitCount();
      outcome.completed = operation->progress()->completedUnitCount();
      operation_ = nullptr;
    }
    platform::setLogFileDescriptor(previousDescriptor);
    ::close(logDescriptor);
    outcome.log = readText(logPath_);
    return outcome;
  }

  URL exportFolder() const { return container_.appendingPathComponent(u"Zelvar", true); }
  URL rootFolder() const { return exportFolder().appendingPathComponent(u"Zelvar", true); }

  PropertyList readMetadata(const URL& url) {
    auto bytes = platform::readFileAtURL(url);
    EXPECT_TRUE(bytes);
    auto value = platform::readBinaryPropertyList(*bytes);
    EXPECT_TRUE(value);
    return *value;
  }

  std::vector<std::u16string> rootFolderNames() {
    std::vector<std::u16string> names;
    auto listing = platform::contentsOfDirectoryAtURL(rootFolder());
    if (listing) {
      for (const auto& url : *listing) {
        names.push_back(url.lastPathComponent());
      }
    }
    return names;
  }

  std::optional<platform::TemporaryDirectory> temporary_;
  URL container_ = URL::fileURLWithPath(u"/nonexistent", true);
  std::string logPath_;
  std::map<std::u16string, std::pair<std::u16string, std::string>> payloads_;
  std::function<void(const DatabaseItem&)> exportHook_;
  std::function<void()> postHook_;
  ZVExportOperation* operation_ = nullptr;
};

const PropertyList::Dictionary& dict(const PropertyList& value, std::u16string_view key) {
  static const PropertyList::Dictionary empty;
  const PropertyList* found = value.asDictionary()->find(key);
  return found && found->asDictionary() ? *found->asDictionary() : empty;
}

TEST_F(ExportOperationTest, EmptyLibraryWritesCompleteMetadataOnMainThreadOnce) {
  Outcome outcome = runExport(makeLibrary({}));
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  EXPECT_EQ(outcome.callbacks, 1);
  EXPECT_TRUE(outcome.callbackOnMainThread);
  ASSERT_TRUE(outcome.metadataFile);
  EXPECT_EQ(*outcome.metadataFile, exportFolder().appendingPathComponent(u"Zelvar.plist"));
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  for (auto key : {u"Files", u"Labels", u"Groups", u"Searches", u"Exporter"}) {
    EXPECT_NE(metadata.asDictionary()->find(key), nullptr) << platform::toUtf8(key);
  }
  const auto& files = dict(metadata, u"Files");
  EXPECT_EQ(*files.find(u"name")->asString(), u"Zelvar");
  EXPECT_TRUE(files.find(u"items")->asArray()->empty());
  EXPECT_EQ(*files.find(u"folderURL")->asString(), rootFolder().absoluteString());
  EXPECT_EQ(outcome.total, -1);  // the metadata step leaves it indeterminate

  struct stat status {};
  ASSERT_EQ(::stat(exportFolder().fileSystemPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(rootFolder().fileSystemPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(ExportOperationTest, PhasesRunInOrderWithTheirLogLines) {
  source::LibraryContents contents;
  for (ItemKind kind : source::kAllItemKinds) {
    std::u16string id = u"id-" + std::u16string(source::itemKindName(kind));
    contents.items.push_back(item(kind, id, u"A"));
    addPayload(id, id + u".bin");
  }
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error);
  const char* expectedOrder[] = {
      "*** Export started",      "Exporting to ",
      "Exporting notes…",        "Exporting serial numbers…",
      "Exporting passwords…",    "Exporting bookmarks…",
      "Exporting images…",       "Exporting PDFs",
      "Exporting web archives",  "Exporting folder collections",
      "Exporting labels",        "Exporting tag collections",
      "Preparing metadata file", "*** Export ended",
  };
  size_t position = 0;
  for (const char* line : expectedOrder) {
    size_t found = outcome.log.find(line, position);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n"
                                        << outcome.log;
    position = found;
  }
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
  struct Case {
    bool passwords;
    bool encrypted;
    std::int64_t expectedTotal;
    std::int64_t expectedExported;
    std::int64_t expectedCompleted;
  };
  // Totals: notes (all, or the unencrypted ones), bookmarks, serial numbers, passwords if on.
  // The bookmark has no location and is skipped. Skipped items still count as completed.
  const Case cases[] = {
      {true, true, 6, 4, 6},
      {true, false, 5, 2, 6},
      {false, true, 5, 3, 5},
      {false, false, 4, 2, 5},
  };
  for (const auto& c : cases) {
    std::int64_t total = -2;
    Outcome outcome = runExport(
        makeLibrary(contents), c.passwords, c.encrypted, [&](ZVExportOperation& operation) {
          operation.progress()->addObserver([&](const platform::ProgressState& state) {
            if (state.totalUnitCount >= 0) {
              total = state.totalUnitCount;
            }
          });
        });
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(total, c.expectedTotal) << c.passwords << c.encrypted;
    EXPECT_EQ(outcome.summary.exportedTotal(), c.expectedExported) << c.passwords << c.encrypted;
    EXPECT_EQ(outcome.completed, c.expectedCompleted) << c.passwords << c.encrypted;
    EXPECT_NE(outcome.log.find("Skipping item N3, because it has no name."), std::string::npos);
    if (!c.passwords) {
      EXPECT_NE(outcome.log.find("Skipping export of passwords"), std::string::npos);
    }
    if (!c.encrypted) {
      EXPECT_NE(outcome.log.find("Skipping encrypted item: N1"), std::string::npos);
    }
  }
}

TEST_F(ExportOperationTest, ProgressTotalLeavesOutEncryptedItemsOnlyOfTheKindsThatSaySo) {
  struct Case {
    const char* name;
    ItemKind kind;
    bool passwords;
    // Of two items of the kind, one encrypted, with encrypted items left out.
    std::int64_t expectedTotal;
  };
  const Case cases[] = {
      {"notes", ItemKind::note, true, 1},
      {"serial numbers count as they stand", ItemKind::serialNumber, true, 2},
      {"passwords count as they stand", ItemKind::password, true, 2},
      {"passwords not asked for", ItemKind::password, false, 0},
      {"bookmarks count as they stand", ItemKind::bookmark, true, 2},
      {"images", ItemKind::image, true, 1},
      {"PDF archives", ItemKind::pdfArchive, true, 1},
      {"web archives", ItemKind::webArchive, true, 1},
  };
  addPayload(u"plain", u"plain.rtf");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto secret = item(c.kind, u"secret", u"Secret");
    secret.encrypted = true;
    source::LibraryContents contents;
    contents.items = {secret, item(c.kind, u"plain", u"Plain")};
    std::int64_t total = -2;
    Outcome outcome =
        runExport(makeLibrary(contents), c.passwords, false, [&](ZVExportOperation& operation) {
          operation.progress()->addObserver([&](const platform::ProgressState& state) {
            if (state.totalUnitCount >= 0) {
              total = state.totalUnitCount;
            }
          });
        });
    ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
    EXPECT_EQ(total, c.expectedTotal);
  }
}

TEST_F(ExportOperationTest, FileNamesFollowTheExtensionRuleAndStayUniqueAndSafe) {
  struct Case {
    std::u16string name;
    std::u16string payload;
    std::u16string expected;
  };
  const std::u16string longChinese(200, u'记');
  const Case cases[] = {
      {u"Report.pdf", u"a.pdf", u"Report.pdf"},
      {u"Notes 1.2", u"b.rtf", u"Notes 1.2.rtf"},
      {u"Report.PDF", u"c.pdf", u"Report.PDF.pdf"},
      {u"Report.pdf", u"d.pdf", u"Report 1.pdf"},
      {u"Report.pdf", u"e.pdf", u"Report 2.pdf"},
      {u"News: Today/Tomorrow", u"f.rtf", u"News- Today-Tomorrow.rtf"},
      {u"../../etc/passwd", u"g.rtf", u"-.-..-etc-passwd.rtf"},
      {u"   ", u"h.rtf", u"ID7.rtf"},  // nothing left of the name: the identifier stands in
      {u"tab\u0001bell", u"i.rtf", u"tabbell.rtf"},
      {u"Version 1.2", u"readme", u"Version 1.2"},  // no extension to add
      // Names of nothing but control characters are no names: never ".rtf" or " 1".
      {u"\u0001", u"j.rtf", u"ID10.rtf"},
      {std::u16string(1, u'\0'), u"k", u"ID11"},
      {u"\u007F", u"l.rtf", u"ID12.rtf"},
      {u" \u0001\u001F ", u"m.rtf", u"ID13.rtf"},
      {u"\u0001.hidden", u"n.rtf", u"-hidden.rtf"},
  };
  source::LibraryContents contents;
  int index = 0;
  for (const auto& c : cases) {
    std::u16string id = u"ID" + platform::fromUtf8(std::to_string(index++));
    contents.items.push_back(item(ItemKind::note, id, c.name));
    addPayload(id, c.payload);
  }
  contents.items.push_back(item(ItemKind::note, u"CN", longChinese));
  addPayload(u"CN", u"z.rtf");
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = *dict(metadata, u"Files").find(u"items")->asArray();
  ASSERT_EQ(items.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& record = *items[i].asDictionary();
    EXPECT_EQ(*record.find(u"fileURL")->asString(),
              rootFolder().appendingPathComponent(cases[i].expected).absoluteString())
        << platform::toUtf8(cases[i].name);
  }
  // A title longer than the file system allows is cut to 255 bytes, keeping the extension.
  URL chinese = *URL::fromString(*items.back().asDictionary()->find(u"fileURL")->asString());
  std::string fileName = platform::toUtf8(chinese.lastPathComponent());
  EXPECT_LE(fileName.size(), 255u);
  EXPECT_TRUE(fileName.ends_with(".rtf"));
  EXPECT_TRUE(platform::itemIsReachableAtURL(chinese));
  EXPECT_EQ(rootFolderNames().size(), std::size(cases) + 1);
}

TEST_F(ExportOperationTest, ItemRecordsCarryWhatFilesCannot) {
  source::LibraryContents contents;
  contents.labels = {{u"L1", u"Urgent", source::DeviceRGBColor{1, 0.5, 0.25, 0.5}},
                     {u"L2", std::nullopt, std::nullopt}};
  auto note = item(ItemKind::note, u"N1", u"Note");
  note.flagged = true;
  note.comments = u"remember";
  note.label = u"L1";
  note.tags = {{u"work"}, {std::nullopt}, {u"q3"}};
  auto password = item(ItemKind::password, u"P1", u"Bank");
  password.label = u"L1";
  auto image = item(ItemKind::image, u"I1", u"Beach");
  contents.items = {note, password, image};
  contents.folderCollections = {{u"F1", std::nullopt, {u"N1", u"I1"}}, {u"F2", u"", {}}};
  contents.tagCollections = {
      {u"T1", u"Work", {{u"work"}, {u"q3"}}, source::kTagCollectionBehaviorAll},
      {u"T2", std::nullopt, {}, 0x5467416E}};
  addPayload(u"N1", u"n.rtf");
  addPayload(u"P1", u"p.rtf");
  addPayload(u"I1", u"i.png");
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error);
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = *dict(metadata, u"Files").find(u"items")->asArray();
  ASSERT_EQ(items.size(), 3u);
  const auto& noteRecord = *items[0].asDictionary();
  EXPECT_EQ(*noteRecord.find(u"identifier")->asString(), u"N1");
  EXPECT_EQ(noteRecord.find(u"wasEncrypted")->asBoolean(), false);
  EXPECT_EQ(noteRecord.find(u"isFavorite")->asBoolean(), true);
  EXPECT_EQ(noteRecord.find(u"wasNote")->asBoolean(), true);
  EXPECT_EQ(*noteRecord.find(u"comments")->asString(), u"remember");
  EXPECT_EQ(*noteRecord.find(u"label")->asString(), u"L1");
  EXPECT_EQ(*noteRecord.find(u"tags")->asString(), u"work,q3");
  const auto& passwordRecord = *items[1].asDictionary();
  EXPECT_EQ(passwordRecord.find(u"wasEncrypted")->asBoolean(), true);
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
  EXPECT_EQ(urgent.find(u"items")->asArray()->size(), 2u);
  const auto& unnamed = *labels.find(u"L2")->asDictionary();
  EXPECT_EQ(unnamed.find(u"name"), nullptr);
  EXPECT_EQ(unnamed.find(u"redComponent")->asReal(), 0.0);
  EXPECT_TRUE(unnamed.find(u"items")->asArray()->empty());

  const auto& groups = dict(metadata, u"Groups");
  EXPECT_EQ(*groups.find(u"F1")->asDictionary()->find(u"name")->asString(), u"Untitled");
  EXPECT_EQ(*groups.find(u"F2")->asDictionary()->find(u"name")->asString(), u"");
  EXPECT_EQ(groups.find(u"F1")->asDictionary()->find(u"items")->asArray()->size(), 2u);

  const auto& searches = dict(metadata, u"Searches");
  const auto& work = *searches.find(u"T1")->asDictionary();
  EXPECT_EQ(work.find(u"matchAll")->asBoolean(), true);
  const auto& options = *work.find(u"searchOptions")->asArray();
  ASSERT_EQ(options.size(), 2u);
  EXPECT_EQ(*options[1].asDictionary()->find(u"key")->asString(), u"tags.name");
  EXPECT_EQ(*options[1].asDictionary()->find(u"stringValue")->asString(), u"q3");
  const auto& any = *searches.find(u"T2")->asDictionary();
  EXPECT_EQ(any.find(u"matchAll")->asBoolean(), false);
  EXPECT_EQ(any.find(u"name"), nullptr);
  EXPECT_NE(dict(metadata, u"Exporter").find(u"CFBundleIdentifier"), nullptr);
}

TEST_F(ExportOperationTest, RestoresDatesOnExportedFiles) {
  source::LibraryContents contents;
  auto note = item(ItemKind::note, u"N1", u"Dated");
  note.creationDate = platform::Date{100000000.0};
  note.modificationDate = platform::Date{200000000.5};
  contents.items = {note};
  addPayload(u"N1", u"n.rtf");
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error);
  URL file = rootFolder().appendingPathComponent(u"Dated.rtf");
  auto modified = platform::contentModificationDateAtURL(file);
  ASSERT_TRUE(modified);
  EXPECT_NEAR(modified->secondsSinceReferenceDate, 200000000.5, 1e-6);
  auto created = platform::creationDateAtURL(file);
  ASSERT_TRUE(created);
  // Where the file system keeps no extended attributes the birth time stands instead.
  if (created->secondsSinceReferenceDate != 100000000.0) {
    GTEST_LOG_(INFO) << "creation date not kept by this file system";
  }
}

TEST_F(ExportOperationTest, DatesTheFileSystemCannotStoreAreLoggedByItem) {
  constexpr double kSecondsPerYear = 365.2425 * 86400;
  const platform::Date year3000{999 * kSecondsPerYear};
  const platform::Date year1000{-1001 * kSecondsPerYear};
  // Whether this file system clamps such dates at all: most keep 1901 to 2446 or so, some
  // anything a 64-bit count of seconds holds.
  URL probe = temporary_->url().appendingPathComponent(u"probe");
  ASSERT_TRUE(platform::writeFileAtURL(probe, std::span<const std::uint8_t>(),
                                       platform::WriteMode::kCreateNew));
  ASSERT_TRUE(platform::setFileDatesAtURL(probe, {std::nullopt, year3000}));
  if (platform::contentModificationDateAtURL(probe).value() == year3000) {
    GTEST_SKIP() << "this file system stores the year 3000";
  }
  struct Case {
    DatabaseItem item;
    bool logged;
  };
  Case cases[] = {
      {item(ItemKind::note, u"N-future", u"Future"), true},
      {item(ItemKind::note, u"N-now", u"Now"), false},
      {bookmark(u"B-past", u"Past", u"https://past.example"), true},
  };
  cases[0].item.modificationDate = year3000;
  cases[1].item.modificationDate = platform::Date{700000000};
  cases[2].item.modificationDate = year1000;
  source::LibraryContents contents;
  for (const auto& c : cases) {
    contents.items.push_back(c.item);
    addPayload(c.item.id, c.item.id + u".rtf");
  }
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error);
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.item.id));
    const std::string line = "Date of item " + platform::toUtf8(c.item.id) +
                             " is outside the range the file system can store; it was stored as ";
    EXPECT_EQ(outcome.log.find(line) != std::string::npos, c.logged) << outcome.log;
  }
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

TEST_F(ExportOperationTest, WebArchivesBecomeTheirMainResourceUnlessHTMLOrUnusable) {
  struct Case {
    std::u16string name;
    std::string archive;
    std::u16string expectedFile;
    std::string expectedContent;  // empty: the archive itself
  };
  const Case cases[] = {
      {u"Page", webArchive(u"text/html", "<html/>"), u"Page.webarchive", ""},
      {u"Cat", webArchive(u"image/jpeg", "JPEGDATA"), u"Cat.jpeg", "JPEGDATA"},
      {u"Song", webArchive(u"audio/mpeg", "MP3DATA"), u"Song.mp3", "MP3DATA"},
      {u"Odd", webArchive(u"application/x-nothing-knows-this", "?"), u"Odd.webarchive", ""},
      {u"Broken", "not a property list", u"Broken.webarchive", ""},
  };
  source::LibraryContents contents;
  int index = 0;
  for (const auto& c : cases) {
    std::u16string id = u"W" + platform::fromUtf8(std::to_string(index++));
    contents.items.push_back(item(ItemKind::webArchive, id, c.name));
    addPayload(id, id + u".webarchive", c.archive);
  }
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  for (const auto& c : cases) {
    URL file = rootFolder().appendingPathComponent(c.expectedFile);
    std::string content = readText(file.fileSystemPath());
    EXPECT_EQ(content, c.expectedContent.empty() ? c.archive : c.expectedContent)
        << platform::toUtf8(c.expectedFile);
  }
  EXPECT_NE(outcome.log.find("Keeping web archive"), std::string::npos);
}

TEST_F(ExportOperationTest, FailuresEndTheRunWithTheirCodes) {
  struct Case {
    const char* failingCall;
    std::int64_t expectedCode;
    const char* expectedDescription;
  };
  const Case cases[] = {
      {"countItems", kSourceFailedErrorCode, "Zelvar stopped answering"},
      {"getItems", kSourceFailedErrorCode, "Zelvar stopped answering"},
      {"exportItem", kSourceFailedErrorCode, "Zelvar stopped answering"},
      {"getLabels", kSourceFailedErrorCode, "Zelvar stopped answering"},
      {nullptr, kFileExportErrorCode, "Cannot export “Unreturned”. An unknown error occurred."},
  };
  for (const auto& c : cases) {
    source::LibraryContents contents;
    contents.items = {item(ItemKind::note, u"N1", u"Unreturned")};
    auto library = makeLibrary(contents);
    if (c.failingCall) {
      addPayload(u"N1", u"n.rtf");
      library = makeLibrary(contents);
      library->failCall(c.failingCall, u"Zelvar stopped answering");
    }
    Outcome outcome = runExport(library);
    ASSERT_TRUE(outcome.error) << (c.failingCall ? c.failingCall : "unreturned");
    EXPECT_EQ(outcome.error->domain, kZVImportErrorDomain);
    EXPECT_EQ(outcome.error->code, c.expectedCode);
    EXPECT_EQ(platform::toUtf8(outcome.error->description), c.expectedDescription);
    EXPECT_FALSE(outcome.metadataFile);
    EXPECT_EQ(outcome.callbacks, 1);
    EXPECT_FALSE(
        platform::itemIsReachableAtURL(exportFolder().appendingPathComponent(u"Zelvar.plist")));
    payloads_.clear();
  }
}

TEST_F(ExportOperationTest, UnusableContainerFailsWithoutTouchingAnythingElse) {
  // A file where the container should be: the folder cannot be made.
  ASSERT_TRUE(platform::writeFileAtURL(temporary_->url().appendingPathComponent(u"container"),
                                       std::span<const std::uint8_t>(),
                                       platform::WriteMode::kCreateNew));
  Outcome outcome = runExport(makeLibrary({}));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, kFileExportErrorCode);
  EXPECT_TRUE(
      platform::toUtf8(outcome.error->description).starts_with("Cannot create export folder: "));
  EXPECT_TRUE(
      platform::itemIsReachableAtURL(temporary_->url().appendingPathComponent(u"container")));
}

TEST_F(ExportOperationTest, OldExportFolderIsReplacedWhole) {
  ASSERT_TRUE(platform::createDirectoryAtURL(rootFolder(), true, 0700));
  for (auto name : {u"old.rtf", u"Report.pdf"}) {
    ASSERT_TRUE(platform::writeFileAtURL(rootFolder().appendingPathComponent(name),
                                         std::span<const std::uint8_t>(),
                                         platform::WriteMode::kCreateNew));
  }
  source::LibraryContents contents;
  contents.items = {item(ItemKind::pdfArchive, u"D1", u"Report.pdf")};
  addPayload(u"D1", u"r.pdf");
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error);
  EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{u"Report.pdf"});
}

// Runs a second export into the same container on the calling thread and returns how it ended.
std::optional<platform::Error> runSecondExport(std::shared_ptr<source::SourceLibrary> library,
                                               const URL& container) {
  platform::RunLoopMainQueue mainQueue;
  auto operation = std::make_shared<ZVExportOperation>(std::move(library), mainQueue);
  operation->setContainerURL(container);
  std::optional<platform::Error> error;
  bool ended = false;
  operation->setExportCompletionBlock([&](std::optional<platform::Error> failure, auto) {
    error = std::move(failure);
    ended = true;
  });
  platform::OperationQueue queue;
  queue.addOperation(operation);
  mainQueue.runUntil([&] { return ended; });
  queue.waitUntilAllOperationsAreFinished();
  return error;
}

TEST_F(ExportOperationTest, OnlyOneRunAtATimeExportsIntoAContainer) {
  source::LibraryContents contents;
  for (auto id : {u"N1", u"N2"}) {
    contents.items.push_back(item(ItemKind::note, id, id));
    addPayload(id, std::u16string(id) + u".rtf");
  }
  // A second run, started while the first exports its first item, must leave it alone.
  std::optional<std::optional<platform::Error>> secondRun;
  std::atomic<bool> started = false;
  exportHook_ = [&](const DatabaseItem&) {
    if (!started.exchange(true)) {
      secondRun = runSecondExport(makeLibrary(contents), container_);
    }
  };
  Outcome outcome = runExport(makeLibrary(contents));
  exportHook_ = nullptr;
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  ASSERT_TRUE(secondRun && *secondRun);
  EXPECT_EQ((*secondRun)->domain, kZVImportErrorDomain);
  EXPECT_EQ((*secondRun)->code, kFileExportErrorCode);
  EXPECT_NE(platform::toUtf8((*secondRun)->description).find("another export into"),
            std::string::npos);
  EXPECT_EQ(rootFolderNames(), (std::vector<std::u16string>{u"N1.rtf", u"N2.rtf"}));

  // Held by someone else before the run begins: nothing of the export is touched.
  auto held = platform::FileLock::tryLockAtURL(container_.appendingPathComponent(u".Zelvar.lock"));
  ASSERT_TRUE(held && held->has_value());
  Outcome blocked = runExport(makeLibrary({}));
  ASSERT_TRUE(blocked.error);
  EXPECT_EQ(blocked.error->code, kFileExportErrorCode);
  EXPECT_TRUE(platform::itemIsReachableAtURL(*outcome.metadataFile));
  EXPECT_EQ(rootFolderNames().size(), 2u);
  held->reset();
  EXPECT_FALSE(runExport(makeLibrary({})).error);
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
  const URL linked = temporary_->url().appendingPathComponent(u"container/Zelvar/library", true);
  ASSERT_EQ(::symlink(linked.fileSystemPath().c_str(),
                      temporary_->url().appendingPathComponent(u"link").fileSystemPath().c_str()),
            0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    URL folder = c.libraryFolder.empty()
                     ? temporary_->url()
                     : temporary_->url().appendingPathComponent(c.libraryFolder, true);
    URL marker = folder.appendingPathComponent(u"library.json");
    if (!platform::itemIsReachableAtURL(marker)) {
      ASSERT_TRUE(platform::createDirectoryAtURL(folder, true, 0700));
      ASSERT_TRUE(platform::writeFileAtURL(marker, std::span<const std::uint8_t>(),
                                           platform::WriteMode::kCreateNew));
    }
    auto library = makeLibrary({});
    library->setLibraryFolderURL(folder);
    Outcome outcome = runExport(library);
    EXPECT_TRUE(platform::itemIsReachableAtURL(marker));
    if (!c.refused) {
      EXPECT_FALSE(outcome.error);
      continue;
    }
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, kFileExportErrorCode);
    EXPECT_NE(platform::toUtf8(outcome.error->description).find(" inside the "), std::string::npos)
        << platform::toUtf8(outcome.error->description);
  }
}

TEST_F(ExportOperationTest, CancellingAtAnyStepEndsWithTheCancellationErrorOnce) {
  source::LibraryContents contents;
  for (int i = 0; i < 4; ++i) {
    std::u16string id = u"N" + platform::fromUtf8(std::to_string(i));
    contents.items.push_back(item(ItemKind::note, id, u"Note"));
    addPayload(id, id + u".rtf");
  }
  contents.items.push_back(item(ItemKind::image, u"I1", u"Image"));
  addPayload(u"I1", u"i.png");
  // Cancel before the run, or while the n-th item is being exported; twice, as an impatient
  // user would, and each request is noted.
  for (int cancelAt = -1; cancelAt < 5; ++cancelAt) {
    std::atomic<int> exported = 0;
    exportHook_ = [&](const DatabaseItem&) {
      if (exported++ == cancelAt) {
        operation_->cancel();
        operation_->cancel();
      }
    };
    Outcome outcome = runExport(makeLibrary(contents), true, true, [&](ZVExportOperation& op) {
      if (cancelAt < 0) {
        op.cancel();
        op.cancel();
      }
    });
    ASSERT_TRUE(outcome.error) << cancelAt;
    EXPECT_EQ(outcome.error->domain, platform::kCocoaErrorDomain);
    EXPECT_EQ(outcome.error->code, platform::kUserCancelledErrorCode);
    EXPECT_EQ(outcome.callbacks, 1);
    EXPECT_FALSE(outcome.metadataFile);
    EXPECT_FALSE(
        platform::itemIsReachableAtURL(exportFolder().appendingPathComponent(u"Zelvar.plist")));
    // The item being exported when the cancel came is finished; no later one is started.
    EXPECT_EQ(outcome.summary.exportedTotal(), cancelAt < 0 ? 0 : cancelAt + 1) << cancelAt;
    size_t requests = 0;
    for (size_t at = 0;
         (at = outcome.log.find("User requested cancellation", at)) != std::string::npos; ++at) {
      ++requests;
    }
    EXPECT_EQ(requests, 2u) << cancelAt;
  }
  exportHook_ = nullptr;
}

TEST_F(ExportOperationTest, CancelDuringTheMetadataStepStillEndsAsCancelled) {
  // The cancel arrives once the metadata step has begun, too late to stop the file being
  // written: the run must still end as cancelled, without handing the file on.
  // Both threads post blocks, so the hook runs on either.
  std::atomic<bool> cancelled = false;
  postHook_ = [&] {
    if (!cancelled && operation_ != nullptr &&
        readText(logPath_).find("Preparing metadata file") != std::string::npos &&
        !cancelled.exchange(true)) {
      operation_->cancel();
    }
  };
  Outcome outcome = runExport(makeLibrary({}));
  postHook_ = nullptr;
  ASSERT_TRUE(cancelled);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, platform::kUserCancelledErrorCode);
  EXPECT_FALSE(outcome.metadataFile);
  EXPECT_EQ(outcome.callbacks, 1);
  EXPECT_TRUE(
      platform::itemIsReachableAtURL(exportFolder().appendingPathComponent(u"Zelvar.plist")));
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
      bookmark(u"B9", u"\u007F", u"https://help.example/faq"),
      bookmark(u"B10", u"Site", u"www.example.com/page"),
      bookmark(u"B11", u"", u"//host.example/a"),
  };
  contents.items[0].creationDate = platform::Date{300000000.0};
  contents.items[0].modificationDate = platform::Date{400000000.0};
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  struct Expected {
    std::u16string fileName;
    std::u16string url;
  };
  const Expected expected[] = {
      {u"News- Today-Tomorrow.qntweblink", u"https://news.example/today"},
      {u"Recipes.qntweblink", u"https://food.example/a"},
      {u"Recipes 1.qntweblink", u"https://food.example/b"},
      {u"docs.example.qntweblink", u"https://docs.example/manual"},
      {u"Untitled Web Link.qntweblink", u"mailto:someone@example.org"},
      {u"Untitled Web Link 1.qntweblink", u"mailto:other@example.org"},
      {u"help.example.qntweblink", u"https://help.example/faq"},
      // A location without a scheme is kept as it stands.
      {u"Site.qntweblink", u"www.example.com/page"},
      {u"host.example.qntweblink", u"//host.example/a"},
  };
  PropertyList metadata = readMetadata(*outcome.metadataFile);
  const auto& items = *dict(metadata, u"Files").find(u"items")->asArray();
  ASSERT_EQ(items.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    URL file = rootFolder().appendingPathComponent(expected[i].fileName);
    EXPECT_EQ(*items[i].asDictionary()->find(u"fileURL")->asString(), file.absoluteString());
    EXPECT_EQ(items[i].asDictionary()->find(u"wasEncrypted")->asBoolean(), false);
    EXPECT_EQ(items[i].asDictionary()->find(u"wasNote"), nullptr);
    auto link = weblink::QNTWebLinkFile::initWithFileURL(file);
    ASSERT_TRUE(link) << platform::toUtf8(expected[i].fileName);
    EXPECT_EQ(link->URL()->absoluteString(), expected[i].url);
    struct stat status {};
    ASSERT_EQ(::stat(file.fileSystemPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << platform::toUtf8(expected[i].fileName);
  }
  auto first = weblink::QNTWebLinkFile::initWithFileURL(
      rootFolder().appendingPathComponent(expected[0].fileName));
  EXPECT_EQ(first->title(), std::optional<std::u16string>(u"News: Today/Tomorrow"));
  auto modified = platform::contentModificationDateAtURL(
      rootFolder().appendingPathComponent(expected[0].fileName));
  EXPECT_EQ(modified->secondsSinceReferenceDate, 400000000.0);
  EXPECT_NE(outcome.log.find("Skipping bookmark\u00A0Nowhere, because it has no location"),
            std::string::npos);
  EXPECT_NE(outcome.log.find("Skipping bookmark\u00A0B7, because it has no location"),
            std::string::npos);
  EXPECT_EQ(outcome.completed, 11);
}

TEST_F(ExportOperationTest, BookmarkWithoutUsableURLStopsTheExport) {
  source::LibraryContents contents;
  contents.items = {bookmark(u"B1", u"Fine", u"https://fine.example"),
                    bookmark(u"B2", u"Broken", u"http://[::1"),
                    bookmark(u"B3", u"Later", u"https://later.example")};
  Outcome outcome = runExport(makeLibrary(contents));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, kSaveErrorCode);
  EXPECT_EQ(outcome.error->description, u"Cannot save bookmark Broken: No URL.");
  EXPECT_EQ(outcome.completed, 1);
  EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{u"Fine.qntweblink"});
}

TEST_F(ExportOperationTest, FolderMountedInTheOldExportStopsTheRunAndStays) {
  URL outside = temporary_->url().appendingPathComponent(u"mounted-elsewhere", true);
  ASSERT_TRUE(platform::createDirectoryAtURL(outside, false, 0700));
  ASSERT_TRUE(platform::writeFileAtURL(
      outside.appendingPathComponent(u"keep.txt"),
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("precious"), 8),
      platform::WriteMode::kCreateNew));
  URL mountPoint = rootFolder().appendingPathComponent(u"mounted", true);
  ASSERT_TRUE(platform::createDirectoryAtURL(mountPoint, true, 0700));
  std::optional<std::string> report =
      platform::testing::reportFromPrivateMountNamespace([&]() -> std::optional<std::string> {
        if (!platform::testing::bindMount(outside.fileSystemPath(), mountPoint.fileSystemPath())) {
          return std::nullopt;
        }
        Outcome outcome = runExport(makeLibrary({}));
        if (!outcome.error) {
          return "exported";
        }
        return std::to_string(outcome.error->code) + " " +
               platform::toUtf8(outcome.error->description);
      });
  if (!report) {
    GTEST_SKIP() << "mounting is not permitted here";
  }
  EXPECT_TRUE(report->starts_with(std::to_string(kFileExportErrorCode) +
                                  " Cannot remove old export folder: "))
      << *report;
  EXPECT_NE(report->find("another file system"), std::string::npos) << *report;
  EXPECT_EQ(readText(outside.appendingPathComponent(u"keep.txt").fileSystemPath()), "precious");
}

TEST_F(ExportOperationTest, TemporaryFolderFailureIsAnExportErrorNotASourceFailure) {
  URL readOnly = temporary_->url().appendingPathComponent(u"read-only", true);
  ASSERT_TRUE(platform::createDirectoryAtURL(readOnly, false, 0700));
  source::LibraryContents contents;
  contents.items.push_back(item(ItemKind::note, u"N1", u"Note"));
  addPayload(u"N1", u"N1.rtf");
  std::optional<std::string> report =
      platform::testing::reportFromPrivateMountNamespace([&]() -> std::optional<std::string> {
        // Read-only, since permissions do not stop root.
        if (::mount("zv-test", readOnly.fileSystemPath().c_str(), "tmpfs", MS_RDONLY, "size=1m") !=
            0) {
          return std::nullopt;
        }
        ::setenv("TMPDIR", readOnly.fileSystemPath().c_str(), 1);
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
  EXPECT_TRUE(report->starts_with(std::to_string(kFileExportErrorCode) +
                                  " Cannot create a temporary folder: "))
      << *report;
}

TEST_F(ExportOperationTest, WebArchivesAreUnwrappedOnlyIntoDocumentsAndMedia) {
  struct Case {
    std::u16string mimeType;
    std::u16string expectedFile;  // the archive's name when it must stay an archive
  };
  const Case cases[] = {
      {u"image/png", u"Item.png"},
      {u"application/pdf", u"Item.pdf"},
      {u"video/mp4", u"Item.mp4"},
      {u"text/plain; charset=utf-8", u"Item.txt"},
      {u"application/x-desktop", u"Item.webarchive"},
      {u"application/x-shellscript", u"Item.webarchive"},
      {u"application/x-ms-dos-executable", u"Item.webarchive"},
      {u"application/x-sharedlib", u"Item.webarchive"},
      {u"application/x-msi", u"Item.webarchive"},
      {u"application/x-iso9660-appimage", u"Item.webarchive"},
      {u"application/x-python-bytecode", u"Item.webarchive"},
      {u"text/x-python", u"Item.webarchive"},
      {u"application/javascript", u"Item.webarchive"},
      {u"text/javascript", u"Item.webarchive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.mimeType));
    source::LibraryContents contents;
    contents.items.push_back(item(ItemKind::webArchive, u"W1", u"Item"));
    std::string archive = webArchive(c.mimeType, "content");
    addPayload(u"W1", u"W1.webarchive", archive);
    Outcome outcome = runExport(makeLibrary(contents));
    ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
    EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{c.expectedFile});
    bool kept = c.expectedFile.ends_with(u".webarchive");
    std::string content =
        readText(rootFolder().appendingPathComponent(c.expectedFile).fileSystemPath());
    EXPECT_EQ(content, kept ? archive : "content");
    // A kept archive says why, once.
    std::string keptLine = "/W1.webarchive: its MIME type ";
    size_t first = outcome.log.find(keptLine);
    EXPECT_EQ(first != std::string::npos, kept) << outcome.log;
    if (first != std::string::npos) {
      EXPECT_EQ(outcome.log.find(keptLine, first + 1), std::string::npos) << outcome.log;
    }
  }
}

TEST_F(ExportOperationTest, UnreadableWebArchiveGoesOnAsItIsWithoutComment) {
  source::LibraryContents contents;
  contents.items.push_back(item(ItemKind::webArchive, u"W1", u"Pipe"));
  // Not a regular file, so it cannot be read, even by root.
  auto library = std::make_shared<source::MemorySourceLibrary>(
      contents,
      [](const DatabaseItem&, const URL& directory) -> platform::Result<std::optional<URL>> {
        URL file = directory.appendingPathComponent(u"W1.webarchive");
        if (::mkfifo(file.fileSystemPath().c_str(), 0600) != 0) {
          return platform::makeFileErrorFromErrno(errno, file.fileSystemPath());
        }
        return std::optional<URL>(file);
      });
  Outcome outcome = runExport(library);
  ASSERT_FALSE(outcome.error) << platform::toUtf8(outcome.error->description);
  EXPECT_EQ(rootFolderNames(), std::vector<std::u16string>{u"Pipe.webarchive"});
  EXPECT_EQ(outcome.log.find("Keeping web archive"), std::string::npos) << outcome.log;
}

TEST_F(ExportOperationTest, MetadataFileFailuresKeepTheirCodesAndTexts) {
  struct Case {
    const char* name;
    std::u16string identifier;
    bool folderAtMetadataPath;
    std::int64_t code;
    std::string description;
  };
  const std::vector<Case> cases = {
      {"text that is not UTF-16", std::u16string(u"N") + char16_t{0xDC00}, false,
       kSourceFailedErrorCode, "Cannot create data for metadata file: "},
      {"a folder where the file goes", u"N1", true, kSaveErrorCode, "Cannot save metadata file: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    source::LibraryContents contents;
    contents.items.push_back(item(ItemKind::note, c.identifier, u"Note"));
    addPayload(c.identifier, u"n.rtf");
    exportHook_ = [&](const DatabaseItem&) {
      if (c.folderAtMetadataPath) {
        ASSERT_TRUE(platform::createDirectoryAtURL(
            exportFolder().appendingPathComponent(u"Zelvar.plist"), false, 0700));
      }
    };
    Outcome outcome = runExport(makeLibrary(contents));
    exportHook_ = nullptr;
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, c.code);
    EXPECT_EQ(platform::toUtf8(outcome.error->description).rfind(c.description, 0), 0u)
        << platform::toUtf8(outcome.error->description);
    EXPECT_NE(outcome.log.find("Error creating plist: "), std::string::npos);
    EXPECT_FALSE(outcome.metadataFile);
  }
}

}  // namespace
}  // namespace zv::exporter
