// The library served over a private bus and read back through the D-Bus client.
#include "source/dbus_source_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "platform/unicode.h"
#include "source/dbus_library_service.h"
#include "source/dbus_test_bus.h"
#include "source/library_snapshot.h"
#include "source/memory_source_library.h"
#include "testsupport/fault_injecting_source_library.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::source {
namespace {

using ::testing::ElementsAreArray;
using testsupport::IsError;
using testsupport::IsOk;
using testsupport::SourceCall;

constexpr char kBusName[] = "org.example.zelvar.test";

auto fields(const DatabaseItem& item) {
  return std::tie(item.kind, item.id, item.name, item.encrypted, item.creationDate,
                  item.modificationDate, item.flagged, item.comments, item.label, item.tags,
                  item.location);
}
auto fields(const Label& label) {
  return std::tie(label.id, label.name, label.color);
}
auto fields(const FolderCollection& collection) {
  return std::tie(collection.id, collection.name, collection.databaseItems);
}
auto fields(const TagCollection& collection) {
  return std::tie(collection.id, collection.name, collection.tags,
                  collection.tagCollectionBehavior);
}

template <typename T>
auto allFields(const std::vector<T>& values) {
  std::vector<decltype(fields(std::declval<const T&>()))> all;
  all.reserve(values.size());
  for (const T& value : values) {
    all.push_back(fields(value));
  }
  return all;
}

// Every value that can be missing, missing and present, empty beside missing, and text beyond
// the Basic Multilingual Plane.
std::unique_ptr<SourceLibrary> edgeCaseLibrary() {
  LibraryContents contents;
  auto item = [&](ItemKind kind, std::u16string id) -> DatabaseItem& {
    contents.items.emplace_back().kind = kind;
    contents.items.back().id = std::move(id);
    return contents.items.back();
  };
  item(ItemKind::note, u"bare");
  item(ItemKind::image, u"image").encrypted = false;
  DatabaseItem& full = item(ItemKind::bookmark, u"full 🐢");
  full.name = u"Ünïcode 🐢 name";
  full.encrypted = true;
  full.creationDate = platform::Date{-1.5};
  full.modificationDate = platform::Date{7.25e8};
  full.flagged = true;
  full.comments = u"";
  full.label = u"L";
  full.tags = {Tag{u"a"}, Tag{std::nullopt}, Tag{u""}};
  full.location = u"https://example.com/?q=🐢";
  contents.labels = {Label{u"L", std::nullopt, std::nullopt},
                     Label{u"M", u"", DeviceRGBColor{0, 0.5, 1, 0.25}}};
  contents.folderCollections = {FolderCollection{u"F", std::nullopt, {}},
                                FolderCollection{u"G", u"", {u"bare", u"full 🐢"}}};
  contents.tagCollections = {
      TagCollection{u"T", std::nullopt, {}, 0},
      TagCollection{u"U", u"All", {Tag{std::nullopt}, Tag{u"a"}}, kTagCollectionBehaviorAll}};
  return std::make_unique<MemorySourceLibrary>(std::move(contents), nullptr);
}

// What a reader sees of a payload: its failure, its absence, or its name and content.
std::string describe(const platform::Result<std::optional<ItemPayload>>& payload) {
  if (!payload) {
    return "failed: " + platform::toUtf8(payload.error().description);
  }
  return *payload ? platform::toUtf8((*payload)->fileName) + ": " +
                        testsupport::readDescriptorText((*payload)->file.get()).value_or("unread")
                  : "none";
}

std::unique_ptr<SourceLibrary> demoLibrary() {
  auto library = openLibrarySnapshot(std::filesystem::path(ZV_SOURCE_DIR) / "data/demo-library");
  EXPECT_THAT(library, IsOk());
  return library ? std::unique_ptr<SourceLibrary>(std::move(*library)) : edgeCaseLibrary();
}

class DBusSourceLibraryTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    if (!bus_.running()) {
      GTEST_SKIP() << "dbus-daemon cannot be started here";
    }
  }

  void serve(SourceLibrary& library, DBusLibraryServiceOptions options = {}) {
    auto service = DBusLibraryService::start(library, kBusName, std::move(options), bus_.address());
    ASSERT_THAT(service, IsOk());
    service_ = std::move(*service);
  }

  std::unique_ptr<SourceLibrary> client() const {
    return makeDBusSourceLibrary(kBusName, bus_.address());
  }

  PrivateBus bus_;
  std::unique_ptr<DBusLibraryService> service_;
};

TEST_F(DBusSourceLibraryTest, EveryCollectionAndPropertyRoundTrips) {
  struct Case {
    const char* name;
    std::unique_ptr<SourceLibrary> (*make)();
  };
  for (const Case& library : {Case{"demo", demoLibrary}, Case{"edge cases", edgeCaseLibrary}}) {
    SCOPED_TRACE(library.name);
    std::unique_ptr<SourceLibrary> served = library.make();
    serve(*served);
    std::unique_ptr<SourceLibrary> read = client();
    for (ItemKind kind : kAllItemKinds) {
      SCOPED_TRACE(platform::toUtf8(itemKindName(kind)));
      EXPECT_EQ(*read->countItems(kind), *served->countItems(kind));
      auto items = read->getItems(kind);
      ASSERT_THAT(items, IsOk());
      EXPECT_THAT(allFields(*items), ElementsAreArray(allFields(*served->getItems(kind))));
    }
    EXPECT_EQ(*read->countLabels(), *served->countLabels());
    EXPECT_THAT(allFields(*read->getLabels()), ElementsAreArray(allFields(*served->getLabels())));
    EXPECT_EQ(*read->countFolderCollections(), *served->countFolderCollections());
    EXPECT_THAT(allFields(*read->getFolderCollections()),
                ElementsAreArray(allFields(*served->getFolderCollections())));
    EXPECT_EQ(*read->countTagCollections(), *served->countTagCollections());
    EXPECT_THAT(allFields(*read->getTagCollections()),
                ElementsAreArray(allFields(*served->getTagCollections())));
    EXPECT_EQ(read->libraryFolderURL(), served->libraryFolderURL());
    service_.reset();
  }
}

TEST_F(DBusSourceLibraryTest, ItemsArriveInOrderAcrossPagesAndStopWhenAsked) {
  LibraryContents contents;
  std::vector<std::u16string> ids;
  for (int index = 0; index < 10; ++index) {
    ids.push_back(platform::fromUtf8(std::to_string(index)));
    contents.items.emplace_back().id = ids.back();  // a note, the kind an item has unless told
  }
  MemorySourceLibrary served(contents, {});
  struct Case {
    std::size_t pageBytes;
    std::size_t stopAfter;  // 0: never
    std::size_t expectedVisits;
  };
  for (const Case& test : {Case{1, 0, 10}, Case{150, 0, 10}, Case{32U << 20U, 0, 10}, Case{1, 3, 3},
                           Case{150, 7, 7}, Case{32U << 20U, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << test.pageBytes << " bytes, stop after " << test.stopAfter);
    DBusLibraryServiceOptions options;
    options.itemPageBytes = test.pageBytes;
    serve(served, options);
    std::vector<std::u16string> visited;
    EXPECT_THAT(client()->forEachItem(ItemKind::note,
                                      [&](const DatabaseItem& item) {
                                        visited.push_back(item.id);
                                        return visited.size() != test.stopAfter;
                                      }),
                IsOk());
    EXPECT_EQ(visited, std::vector(ids.begin(), ids.begin() + test.expectedVisits));
    service_.reset();
  }
}

TEST_F(DBusSourceLibraryTest, ItemsAreWrittenIntoTheCallersFolderUnderNewNames) {
  std::unique_ptr<SourceLibrary> served = demoLibrary();
  serve(*served);
  std::unique_ptr<SourceLibrary> read = client();
  DatabaseItem note;
  note.id = u"N1";
  const auto content =
      testsupport::readDescriptorText((*served->openItemPayload(note))->file.get());
  ASSERT_THAT(content, ::testing::Optional(::testing::Not(::testing::IsEmpty())));
  // Written twice into one folder: the second copy takes a name of its own.
  std::vector<std::string> written;
  for (int time = 0; time < 2; ++time) {
    auto exported = read->exportItem(note, folder_.url());
    ASSERT_THAT(exported, IsOk());
    ASSERT_TRUE(exported->has_value());
    EXPECT_EQ((*exported)->deletingLastPathComponent().fileSystemPath(), folder_.path().string());
    EXPECT_EQ(testsupport::readFileText((*exported)->fileSystemPath()), content);
    written.push_back((*exported)->fileSystemPath());
  }
  EXPECT_NE(written[0], written[1]);
  note.id = u"no such item";
  auto nothingWritten = read->exportItem(note, folder_.url());
  ASSERT_THAT(nothingWritten, IsOk());
  EXPECT_FALSE(nothingWritten->has_value());
}

// Payloads are fetched several at a time, ahead of the export: each must still be its own item's,
// with its own failure, whichever items the export skips.
TEST_F(DBusSourceLibraryTest, EachItemGetsItsOwnPayloadOrFailure) {
  std::string json = R"({"format": 1, "items": [)";
  for (int index = 0; index < 40; ++index) {
    const std::string id = std::to_string(index);
    json += std::string(index == 0 ? "" : ",") + R"({"kind": "note", "id": ")" + id +
            R"(", "name": "n")";
    if (index % 7 == 3) {
      json += R"(, "exportError": "Item )" + id + R"( is damaged.")";
    } else if (index % 5 != 4) {
      ASSERT_TRUE(testsupport::writeFileText(folder_.path(id + ".txt"), "content " + id));
      json += R"(, "file": ")" + id + R"(.txt")";
    }
    json += "}";
  }
  json += "]}";
  auto served = parseLibrarySnapshot(json, folder_.path());
  ASSERT_THAT(served, IsOk());
  serve(**served);
  std::unique_ptr<SourceLibrary> read = client();
  ASSERT_TRUE(read->canOpenItemPayloads());
  int asked = 0;
  EXPECT_THAT(read->forEachItem(ItemKind::note,
                                [&](const DatabaseItem& item) {
                                  // As an export that leaves some items out.
                                  if (std::stoi(platform::toUtf8(item.id)) % 6 == 5) {
                                    return true;
                                  }
                                  ++asked;
                                  SCOPED_TRACE(platform::toUtf8(item.id));
                                  EXPECT_EQ(describe(read->openItemPayload(item)),
                                            describe((*served)->openItemPayload(item)));
                                  return true;
                                }),
              IsOk());
  EXPECT_EQ(asked, 34);
}

TEST_F(DBusSourceLibraryTest, EveryFailureOfTheSourceFailsTheCallWithItsReason) {
  using enum SourceCall;
  auto reason = [](SourceCall call) { return "Zelvar is busy: " + std::to_string(int(call)); };
  auto wrapped = std::make_shared<testsupport::FaultInjectingSourceLibrary>(demoLibrary());
  for (SourceCall call : {countItems, forEachItem, countLabels, getLabels, countFolderCollections,
                          getFolderCollections, countTagCollections, getTagCollections, exportItem,
                          openItemPayload}) {
    wrapped->failCall(call, platform::fromUtf8(reason(call)));
  }
  serve(*wrapped);
  std::unique_ptr<SourceLibrary> read = client();
  DatabaseItem item;
  item.id = u"N1";
  auto failsWith = [&](SourceCall call) {
    return IsError(kSourceErrorDomain, kSourceCallFailedErrorCode, reason(call));
  };
  EXPECT_THAT(read->countItems(ItemKind::note), failsWith(countItems));
  EXPECT_THAT(read->getItems(ItemKind::note), failsWith(forEachItem));
  EXPECT_THAT(read->forEachItem(ItemKind::image, [](const DatabaseItem&) { return true; }),
              failsWith(forEachItem));
  EXPECT_THAT(read->countLabels(), failsWith(countLabels));
  EXPECT_THAT(read->getLabels(), failsWith(getLabels));
  EXPECT_THAT(read->countFolderCollections(), failsWith(countFolderCollections));
  EXPECT_THAT(read->getFolderCollections(), failsWith(getFolderCollections));
  EXPECT_THAT(read->countTagCollections(), failsWith(countTagCollections));
  EXPECT_THAT(read->getTagCollections(), failsWith(getTagCollections));
  EXPECT_THAT(read->exportItem(item, folder_.url()), failsWith(exportItem));
  EXPECT_THAT(read->openItemPayload(item), failsWith(openItemPayload));
}

TEST_F(DBusSourceLibraryTest, WithoutTheServiceEveryCallFails) {
  std::unique_ptr<SourceLibrary> read = client();
  EXPECT_FALSE(read->canOpenItemPayloads());
  const auto callFailed = IsError(kSourceErrorDomain, kSourceCallFailedErrorCode);
  EXPECT_THAT(read->countItems(ItemKind::note), callFailed);
  EXPECT_THAT(read->getLabels(), callFailed);
  EXPECT_THAT(read->exportItem(DatabaseItem{}, folder_.url()), callFailed);
  EXPECT_EQ(read->libraryFolderURL(), std::nullopt);
}

}  // namespace
}  // namespace zv::source
