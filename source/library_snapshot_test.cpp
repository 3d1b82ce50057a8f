#include "source/library_snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/unicode.h"

namespace zv::source {
namespace {

namespace fs = std::filesystem;
using platform::toUtf8;

class LibrarySnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zv-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "library" / "payload");
    fs::create_directories(root_ / "out");
    library_ = root_ / "library";
  }
  void TearDown() override { fs::remove_all(root_); }

  void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path root_;
  fs::path library_;
};

TEST_F(LibrarySnapshotTest, RejectsMalformedDescriptionsNamingTheField) {
  struct Case {
    const char* json;
    const char* expectedInMessage;
  };
  const Case cases[] = {
      {R"({"format": 1, "items": [)", "not valid JSON"},
      {R"([])", "top level must be an object"},
      {R"({"format": 2})", "\"format\" must be 1"},
      {R"({"format": 1, "items": [{"kind": "note"}]})", "item 1: \"id\" is missing"},
      {R"({"format": 1, "items": [{"kind": "song", "id": "X"}]})", "names no kind of item"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A"}, {"kind": "image", "id": "A"}]})",
       "item 2 (\"A\"): \"id\" is used by another item"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "flagged": "yes"}]})",
       "\"flagged\" must be true or false"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "name": 7}]})",
       "\"name\" must be a string"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "label": "L9"}]})",
       "\"label\" names no label"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "creationDate": "yesterday"}]})",
       "\"creationDate\" is not an ISO 8601 date"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "tags": [1]}]})",
       "\"tags\" must hold strings or null"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "file": "/etc/passwd"}]})",
       "\"file\" must be a relative path"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "file": "payload/../../x"}]})",
       "\"file\" must not contain \"..\""},
      {R"({"format": 1, "folderCollections": [{"id": "F", "items": ["nobody"]}]})",
       "folder collection 1 (\"F\"): \"items\" names no item"},
      {R"({"format": 1, "labels": [{"id": "L", "color": [2, 0, 0]}]})",
       "components must be numbers from 0 to 1"},
      {R"({"format": 1, "tagCollections": [{"id": "T", "behavior": "all"}]})",
       "must be a four-character code"},
      // Whatever the order in the file, the first fault in reading order is told.
      {R"({"items": [{"kind": "note", "id": "A", "label": "L9"}], "labels": [], "format": 1})",
       "item 1 (\"A\"): \"label\" names no label"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "label": "L9"}, {"id": "A"}]})",
       "item 1 (\"A\"): \"label\" names no label"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "file": "/x", "label": "L9"}]})",
       "\"label\" names no label"},
      {R"({"format": 1, "folderCollections": [{"id": "F", "items": ["A", "B", 1]}],
          "items": [{"kind": "note", "id": "A"}]})",
       "folder collection 1 (\"F\"): \"items\" names no item: \"B\""},
      // A key given twice counts with its last value.
      {R"({"format": 1, "items": [{"kind": "note", "id": "A", "name": 7, "name": "", "flagged": 1}]})",
       "item 1 (\"A\"): \"flagged\" must be true or false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto library = parseLibrarySnapshot(c.json, library_);
    ASSERT_FALSE(library) << c.json;
    EXPECT_NE(toUtf8(library.error().description).find(c.expectedInMessage), std::string::npos)
        << c.json << " gave: " << toUtf8(library.error().description);
  }
}

TEST_F(LibrarySnapshotTest, HostileDescriptionsAreErrorsNotExceptions) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  struct Case {
    const char* name;
    std::string json;
    const char* expectedInMessage;
  };
  const Case cases[] = {
      {"number beyond a double in an unknown field", R"({"format":1,"x":1e400,"items":[]})",
       "a number is out of range"},
      {"negative number beyond a double", R"({"format":1,"items":[{"kind":"note","id":"A",
       "flagged":-1e400}]})",
       "a number is out of range"},
      {"format beyond a double", R"({"format":1e400})", "a number is out of range"},
      {"format beyond 64 bits", R"({"format":18446744073709551617})", "\"format\" must be 1"},
      {"nesting without end", R"({"format":1,"x":)" + deep + "}", "nest deeper than 512 levels"},
      {"invalid UTF-8", "{\"format\":1,\"x\":\"\xC3\x28\"}", "not valid JSON"},
      {"lone surrogate", R"({"format":1,"x":"\ud800"})", "not valid JSON"},
      {"NUL in a payload path",
       R"({"format":1,"items":[{"kind":"note","id":"A","file":"payload/a.rtf\u0000x"}]})",
       "\"file\" must not contain a NUL character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(library_ / "library.json", c.json);
    auto parsed = parseLibrarySnapshot(c.json, library_);
    auto opened = openLibrarySnapshot(library_);
    for (const auto* library : {&parsed, &opened}) {
      ASSERT_FALSE(*library);
      EXPECT_EQ(library->error().domain, kLibrarySnapshotErrorDomain);
      EXPECT_NE(toUtf8(library->error().description).find(c.expectedInMessage), std::string::npos)
          << toUtf8(library->error().description);
    }
  }
  // Brackets inside strings are text, and nesting up to the limit is read.
  const std::string accepted[] = {
      R"({"format":1,"x":")" + std::string(1000, '[') + R"(\"{"})",
      R"({"folderCollections":[{"id":"F","items":["A"]}],"items":[{"kind":"note","id":"A",
          "label":"L"}],"labels":[{"id":"L"}],"format":1})",
      R"({"format":1,"x":)" + std::string(511, '[') + std::string(511, ']') + "}",
  };
  for (const std::string& json : accepted) {
    auto library = parseLibrarySnapshot(json, library_);
    EXPECT_TRUE(library) << toUtf8(library.error().description);
  }
}

TEST_F(LibrarySnapshotTest, AnUnreadableOrHugeDescriptionNamesTheFile) {
  const fs::path description = library_ / "library.json";
  struct Case {
    const char* name;
    void (*make)(const fs::path& description);
    std::string expectedMessage;
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {},
       "Cannot read the library snapshot " + description.string() + ": No such file or directory"},
      {"a folder", [](const fs::path& path) { fs::create_directory(path); },
       "Cannot read the library snapshot " + description.string() + ": Is a directory"},
      // Sparse: the size alone must refuse it, before anything is read.
      {"larger than 512 MiB",
       [](const fs::path& path) {
         std::ofstream{path};
         fs::resize_file(path, (std::uintmax_t{512} << 20) + 1);
       },
       "The library snapshot " + description.string() + " is too large."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(description);
    auto library = openLibrarySnapshot(library_);
    ASSERT_FALSE(library);
    EXPECT_EQ(library.error().domain, kLibrarySnapshotErrorDomain);
    EXPECT_EQ(library.error().code, kSnapshotUnreadable);
    EXPECT_EQ(toUtf8(library.error().description), c.expectedMessage);
    fs::remove(description);
  }
}

TEST_F(LibrarySnapshotTest, RejectsPayloadSymlinkLeadingOutOfTheLibrary) {
  writeFile(root_ / "secret.txt", "outside");
  fs::create_symlink(root_ / "secret.txt", library_ / "payload" / "link.rtf");
  auto library = parseLibrarySnapshot(
      R"({"format": 1, "items": [{"kind": "note", "id": "A", "file": "payload/link.rtf"}]})",
      library_);
  ASSERT_FALSE(library);
  EXPECT_NE(toUtf8(library.error().description).find("leads out of the library folder"),
            std::string::npos);
}

TEST_F(LibrarySnapshotTest, PayloadsBehindLinksInsideTheLibraryAreCopied) {
  fs::create_directories(library_ / "archive");
  writeFile(library_ / "archive" / "real.pdf", "pdf");
  writeFile(library_ / "top.rtf", "top");
  fs::create_symlink("../archive/real.pdf", library_ / "payload" / "relative.pdf");
  fs::create_symlink(fs::canonical(library_) / "archive" / "real.pdf",
                     library_ / "payload" / "absolute.pdf");
  fs::create_symlink(fs::canonical(library_) / "archive", library_ / "linked");
  writeFile(root_ / "secret.txt", "outside");
  auto library = parseLibrarySnapshot(R"({"format": 1, "items": [
      {"kind": "pdfArchive", "id": "R", "file": "payload/relative.pdf"},
      {"kind": "pdfArchive", "id": "A", "file": "payload/absolute.pdf"},
      {"kind": "pdfArchive", "id": "F", "file": "linked/real.pdf"},
      {"kind": "note", "id": "T", "file": "top.rtf"},
      {"kind": "note", "id": "M", "file": "nowhere/yet.rtf"},
      {"kind": "note", "id": "L", "file": "payload/later.rtf"}]})",
                                      library_);
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  // Planted after the library was read: still refused when the item is exported.
  fs::create_symlink(root_ / "secret.txt", library_ / "payload" / "later.rtf");

  struct Case {
    ItemKind kind;
    size_t index;
    const char* name;         // what the copy is called; none: the export fails
    const char* payloadName;  // what the payload handed over is called
    const char* file;
    const char* content;  // or a part of the failure's reason
  };
  const Case cases[] = {
      {ItemKind::pdfArchive, 0, "real.pdf", "real.pdf", "payload/relative.pdf", "pdf"},
      {ItemKind::pdfArchive, 1, "real 2.pdf", "real.pdf", "payload/absolute.pdf", "pdf"},
      {ItemKind::pdfArchive, 2, "real 3.pdf", "real.pdf", "linked/real.pdf", "pdf"},
      {ItemKind::note, 0, "top.rtf", "top.rtf", "top.rtf", "top"},
      {ItemKind::note, 1, nullptr, nullptr, "nowhere/yet.rtf", "is missing"},
      {ItemKind::note, 2, nullptr, nullptr, "payload/later.rtf", "leads out of the library folder"},
  };
  auto out = platform::URL::fileURLWithPath(platform::fromUtf8((root_ / "out").string()), true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    auto items = (*library)->getItems(c.kind);
    auto copied = (*library)->exportItem((*items)[c.index], out);
    auto payload = (*library)->openItemPayload((*items)[c.index]);
    if (c.name == nullptr) {
      ASSERT_FALSE(copied);
      ASSERT_FALSE(payload);
      for (const platform::Error* error : {&copied.error(), &payload.error()}) {
        EXPECT_NE(toUtf8(error->description).find(c.content), std::string::npos)
            << toUtf8(error->description);
      }
      continue;
    }
    ASSERT_TRUE(payload && payload->has_value())
        << (payload ? "" : toUtf8(payload.error().description));
    EXPECT_EQ((*payload)->fileName, platform::fromUtf8(c.payloadName));
    EXPECT_EQ((*payload)->displayName, platform::fromUtf8(c.file));
    std::string read(16, '\0');
    read.resize(static_cast<size_t>(::read((*payload)->file.get(), read.data(), read.size())));
    EXPECT_EQ(read, c.content);
    ASSERT_TRUE(copied && copied->has_value())
        << c.name << ": " << (copied ? "" : toUtf8(copied.error().description));
    EXPECT_EQ((*copied)->lastPathComponent(), platform::fromUtf8(c.name));
    std::ifstream in((*copied)->fileSystemPath(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content) << c.name;
    EXPECT_FALSE(fs::is_symlink((*copied)->fileSystemPath())) << c.name;
  }
}

TEST_F(LibrarySnapshotTest, ReadsValuesDefaultsAndOrder) {
  auto library = parseLibrarySnapshot(R"({
    "format": 1,
    "labels": [{"id": "L1", "name": "Urgent", "color": [1, 0.5, 0]}, {"id": "L2", "color": null}],
    "tagCollections": [{"id": "T1", "tags": ["a", null], "behavior": "TgAl"}, {"id": "T2"}],
    "folderCollections": [{"id": "F1", "items": ["N2", "I1"]}, {"id": "F2", "name": "Empty"}],
    "items": [
      {"kind": "image", "id": "I1"},
      {"kind": "note", "id": "N1", "name": "One", "encrypted": false, "flagged": true,
       "comments": "c", "label": "L1", "tags": ["x", null],
       "creationDate": "2021-03-04T05:06:07Z", "modificationDate": null},
      {"kind": "note", "id": "N2"}
    ]})",
                                      library_);
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  auto notes = (*library)->getItems(ItemKind::note);
  ASSERT_TRUE(notes);
  ASSERT_EQ(notes->size(), 2u);
  const DatabaseItem& first = (*notes)[0];
  EXPECT_EQ(first.id, u"N1");
  EXPECT_EQ(first.encrypted, std::optional<bool>(false));
  EXPECT_TRUE(first.flagged);
  EXPECT_EQ(first.label, std::optional<std::u16string>(u"L1"));
  EXPECT_EQ(first.tags, (std::vector<Tag>{Tag{u"x"}, Tag{}}));
  EXPECT_EQ(first.comments, std::optional<std::u16string>(u"c"));
  ASSERT_TRUE(first.creationDate);
  EXPECT_FALSE(first.modificationDate);
  const DatabaseItem& second = (*notes)[1];
  EXPECT_EQ(second.name, u"");
  EXPECT_FALSE(second.hasEncrypted());
  EXPECT_FALSE(second.flagged);
  EXPECT_FALSE(second.comments);
  std::vector<std::u16string> visited;
  ASSERT_TRUE((*library)->forEachItem(ItemKind::note, [&](const DatabaseItem& item) {
    visited.push_back(item.id);
    return false;
  }));
  EXPECT_EQ(visited, std::vector<std::u16string>{u"N1"});

  auto labels = (*library)->getLabels();
  ASSERT_EQ(labels->size(), 2u);
  EXPECT_EQ((*labels)[0].color, (DeviceRGBColor{1, 0.5, 0, 1}));
  EXPECT_FALSE((*labels)[1].color);
  EXPECT_FALSE((*labels)[1].name);
  auto folders = (*library)->getFolderCollections();
  ASSERT_EQ(folders->size(), 2u);
  EXPECT_EQ((*folders)[0].databaseItems, (std::vector<std::u16string>{u"N2", u"I1"}));
  EXPECT_EQ((*folders)[1].name, std::optional<std::u16string>(u"Empty"));
  EXPECT_TRUE((*folders)[1].databaseItems.empty());
  auto tagCollections = (*library)->getTagCollections();
  EXPECT_EQ((*tagCollections)[0].tagCollectionBehavior, kTagCollectionBehaviorAll);
  EXPECT_NE((*tagCollections)[1].tagCollectionBehavior, kTagCollectionBehaviorAll);
}

TEST_F(LibrarySnapshotTest, ExportCopiesPayloadWithoutReplacingAndFailsClearly) {
  writeFile(library_ / "payload" / "a.rtf", "first");
  auto library = parseLibrarySnapshot(R"({"format": 1, "items": [
      {"kind": "note", "id": "A", "file": "payload/a.rtf"},
      {"kind": "note", "id": "B", "file": "payload/missing.rtf"},
      {"kind": "note", "id": "C", "exportError": "Zelvar is busy"},
      {"kind": "note", "id": "D"}]})",
                                      library_);
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  auto items = (*library)->getItems(ItemKind::note);
  auto out = platform::URL::fileURLWithPath(platform::fromUtf8((root_ / "out").string()), true);
  writeFile(root_ / "out" / "a.rtf", "somebody else's");

  auto copied = (*library)->exportItem((*items)[0], out);
  ASSERT_TRUE(copied) << toUtf8(copied.error().description);
  ASSERT_TRUE(copied->has_value());
  EXPECT_NE((*copied)->lastPathComponent(), u"a.rtf");
  std::ifstream original(root_ / "out" / "a.rtf");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(original), {}), "somebody else's");

  auto missing = (*library)->exportItem((*items)[1], out);
  ASSERT_FALSE(missing);
  EXPECT_NE(toUtf8(missing.error().description).find("payload/missing.rtf"), std::string::npos);
  auto refused = (*library)->exportItem((*items)[2], out);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description, u"Zelvar is busy");
  auto refusedPayload = (*library)->openItemPayload((*items)[2]);
  ASSERT_FALSE(refusedPayload);
  EXPECT_EQ(refusedPayload.error().description, u"Zelvar is busy");
  auto nothing = (*library)->exportItem((*items)[3], out);
  ASSERT_TRUE(nothing);
  EXPECT_FALSE(nothing->has_value());
  auto noPayload = (*library)->openItemPayload((*items)[3]);
  ASSERT_TRUE(noPayload);
  EXPECT_FALSE(noPayload->has_value());
}

// Appends to a payload after each chunk of its copy, while appends are left.
struct PayloadAppender {
  fs::path path;
  int appendsLeft = 0;
};
PayloadAppender* currentAppender = nullptr;

void appendToPayload(std::uint64_t) {
  if (currentAppender->appendsLeft > 0) {
    --currentAppender->appendsLeft;
    std::ofstream(currentAppender->path, std::ios::binary | std::ios::app) << "+more";
  }
}

TEST_F(LibrarySnapshotTest, PayloadChangingDuringTheCopyIsCopiedAgainOrFailsTheItem) {
  fs::create_directories(library_ / "archive");
  writeFile(library_ / "payload" / "once.pdf", "first");
  writeFile(library_ / "payload" / "always.pdf", "first");
  writeFile(library_ / "archive" / "linked.pdf", "first");
  fs::create_symlink("../archive/linked.pdf", library_ / "payload" / "link.pdf");
  auto library = parseLibrarySnapshot(R"({"format": 1, "items": [
      {"kind": "pdfArchive", "id": "O", "file": "payload/once.pdf"},
      {"kind": "pdfArchive", "id": "A", "file": "payload/always.pdf"},
      {"kind": "pdfArchive", "id": "L", "file": "payload/link.pdf"}]})",
                                      library_);
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  struct Case {
    const char* name;
    size_t index;
    const char* file;
    fs::path changed;
    int appends;
    const char* content;  // none: the item fails
  };
  const Case cases[] = {
      {"changes once", 0, "payload/once.pdf", library_ / "payload" / "once.pdf", 1, "first+more"},
      {"keeps changing", 1, "payload/always.pdf", library_ / "payload" / "always.pdf", 100,
       nullptr},
      {"keeps changing behind a link", 2, "payload/link.pdf", library_ / "archive" / "linked.pdf",
       100, nullptr},
  };
  auto items = (*library)->getItems(ItemKind::pdfArchive);
  auto out = platform::URL::fileURLWithPath(platform::fromUtf8((root_ / "out").string()), true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PayloadAppender appender{c.changed, c.appends};
    currentAppender = &appender;
    platform::setContentCopyObserverForTesting(appendToPayload);
    auto copied = (*library)->exportItem((*items)[c.index], out);
    platform::setContentCopyObserverForTesting(nullptr);
    if (c.content == nullptr) {
      ASSERT_FALSE(copied);
      EXPECT_EQ(toUtf8(copied.error().description),
                std::string("The file “") + c.file + "” changed while it was being copied.");
      continue;
    }
    ASSERT_TRUE(copied && copied->has_value())
        << (copied ? "" : toUtf8(copied.error().description));
    std::ifstream in((*copied)->fileSystemPath(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.content);
  }
  // Only the whole copy is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "out"), fs::directory_iterator()), 1);
}

// Items are found by identifier through an index that grows as they are read.
TEST_F(LibrarySnapshotTest, FindsEachOfManyItemsAndTheirDuplicates) {
  constexpr int kItems = 3000;
  std::string json = R"({"format": 1, "items": [)";
  for (int i = 0; i < kItems; ++i) {
    json += (i ? "," : "") + std::string(R"({"kind": ")") + (i % 3 ? "note" : "image") +
            R"(", "id": "I)" + std::to_string(i) + R"(", "exportError": "E)" + std::to_string(i) +
            "\"}";
  }
  auto library = parseLibrarySnapshot(json + "]}", library_);
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  auto out = platform::URL::fileURLWithPath(platform::fromUtf8((root_ / "out").string()), true);
  int visited = 0;
  int misplaced = 0;
  for (ItemKind kind : {ItemKind::note, ItemKind::image}) {
    ASSERT_TRUE((*library)->forEachItem(kind, [&](const DatabaseItem& item) {
      auto exported = (*library)->exportItem(item, out);
      misplaced += exported || exported.error().description != u"E" + item.id.substr(1);
      ++visited;
      return true;
    }));
  }
  EXPECT_EQ(visited, kItems);
  EXPECT_EQ(misplaced, 0);

  auto duplicated = parseLibrarySnapshot(json + R"(, {"kind": "note", "id": "I1234"}]})", library_);
  ASSERT_FALSE(duplicated);
  EXPECT_EQ(toUtf8(duplicated.error().description),
            "library.json: item 3001 (\"I1234\"): \"id\" is used by another item");
}

TEST(LibrarySnapshot, OpensTheBundledDemoLibrary) {
  auto library = openLibrarySnapshot(fs::path(ZV_SOURCE_DIR) / "data" / "demo-library");
  ASSERT_TRUE(library) << toUtf8(library.error().description);
  for (ItemKind kind : kAllItemKinds) {
    auto count = (*library)->countItems(kind);
    ASSERT_TRUE(count);
    EXPECT_GT(*count, 0) << toUtf8(std::u16string(itemKindName(kind)));
  }
}

}  // namespace
}  // namespace zv::source
