#include "source/library_snapshot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/unicode.h"
#include "source/snapshot_contents.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::source {
namespace {

namespace fs = std::filesystem;
using platform::toUtf8;
using ::testing::AllOf;
using ::testing::Eq;
using ::testing::HasSubstr;
using testsupport::IsError;
using testsupport::IsOk;
using testsupport::readFileText;
using testsupport::writeFileText;

class LibrarySnapshotTest : public testsupport::TemporaryFolderTest {
 protected:
  // A library folder to fill, a folder to copy payloads into, and a file outside both.
  void SetUp() override {
    fs::create_directories(library_ / "payload");
    fs::create_directories(folder_.path("out"));
    write(folder_.path("secret.txt"), "outside");
  }

  void write(const fs::path& path, const std::string& text) {
    ASSERT_TRUE(writeFileText(path, text)) << path;
  }

  const fs::path library_ = folder_.path("library");
  const platform::URL out_ = at(u"out", true);
};

// A description of the one note "A", with `fields` besides its kind and identifier.
std::string oneNote(const std::string& fields) {
  return R"({"format": 1, "items": [{"kind": "note", "id": "A", )" + fields + "}]}";
}

TEST_F(LibrarySnapshotTest, RejectsMalformedOrHostileDescriptionsNamingTheFault) {
  fs::create_symlink(folder_.path("secret.txt"), library_ / "payload" / "link.rtf");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  struct Case {
    std::string json;
    const char* expectedInMessage;
  };
  const Case cases[] = {
      {R"([])", "top level must be an object"},
      {R"({"format": 2})", "\"format\" must be 1"},
      {R"({"format": 1, "items": [{"kind": "note"}]})", "item 1: \"id\" is missing"},
      {R"({"format": 1, "items": [{"kind": "note", "id": "A"}, {"kind": "image", "id": "A"}]})",
       "item 2 (\"A\"): \"id\" is used by another item"},
      {oneNote(R"("flagged": "yes")"), "\"flagged\" must be true or false"},
      {oneNote(R"("name": 7)"), "\"name\" must be a string"},
      {oneNote(R"("label": "L9")"), "\"label\" names no label"},
      {oneNote(R"("creationDate": "yesterday")"), "\"creationDate\" is not an ISO 8601 date"},
      // A kind is named exactly, whole and in its case.
      {oneNote(R"("kind": "Note")"), "\"kind\" names no kind of item: \"Note\""},
      {oneNote(R"("kind": "notes")"), "\"kind\" names no kind of item: \"notes\""},
      {oneNote(R"("kind": "not")"), "\"kind\" names no kind of item: \"not\""},
      {oneNote(R"("kind": "note\u0000")"), "\"kind\" names no kind of item: \"note"},
      {oneNote(R"("tags": [1])"), "\"tags\" must hold strings or null"},
      {oneNote(R"("file": "/etc/passwd")"), "\"file\" must be a relative path"},
      {oneNote(R"("file": "payload/link.rtf")"), "leads out of the library folder"},
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
      {oneNote(R"("file": "/x", "label": "L9")"), "\"label\" names no label"},
      {R"({"format": 1, "folderCollections": [{"id": "F", "items": ["A", "B", 1]}],
          "items": [{"kind": "note", "id": "A"}]})",
       "folder collection 1 (\"F\"): \"items\" names no item: \"B\""},
      // A key given twice counts with its last value.
      {oneNote(R"("name": 7, "name": "", "flagged": 1)"),
       "item 1 (\"A\"): \"flagged\" must be true or false"},
      // Hostile input is an error, never an exception or a crash.
      {R"({"format":1,"x":1e400,"items":[]})", "a number is out of range"},
      {R"({"format":1e400})", "a number is out of range"},
      {R"({"format":18446744073709551617})", "\"format\" must be 1"},
      {R"({"format":1,"x":)" + deep + "}", "nest deeper than 512 levels"},
      {"{\"format\":1,\"x\":\"\xC3\x28\"}", "not valid JSON"},
      {R"({"format":1,"x":"\ud800"})", "not valid JSON"},
      {oneNote(R"("file":"payload/a.rtf\u0000x")"), "\"file\" must not contain a NUL character"},
      // Not vouched for by the same name at the library's top.
      {oneNote(R"("file":"/payload")"), "\"file\" must be a relative path"},
      {oneNote(R"("file":"payload\u0000x")"), "\"file\" must not contain a NUL character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json.substr(0, 100));
    write(library_ / "library.json", c.json);
    const auto expected =
        IsError(kLibrarySnapshotErrorDomain, kSnapshotMalformed, HasSubstr(c.expectedInMessage));
    EXPECT_THAT(parseLibrarySnapshot(c.json, library_), expected);
    EXPECT_THAT(openLibrarySnapshot(library_), expected);
  }
  // Brackets inside strings are text, and nesting up to the limit is read.
  const std::string accepted[] = {
      R"({"format":1,"x":")" + std::string(1000, '[') + R"(\"{"})",
      R"({"folderCollections":[{"id":"F","items":["A"]}],"items":[{"kind":"note","id":"A",
          "label":"L"}],"labels":[{"id":"L"}],"format":1})",
      R"({"format":1,"x":)" + std::string(511, '[') + std::string(511, ']') + "}",
  };
  for (const std::string& json : accepted) {
    SCOPED_TRACE(json.substr(0, 100));
    EXPECT_THAT(parseLibrarySnapshot(json, library_), IsOk());
  }
}

// library.json is read a piece at a time (a megabyte each): what a piece boundary splits must be
// read as though the text were read whole.
TEST_F(LibrarySnapshotTest, ADescriptionLargerThanOnePieceIsReadAsAWhole) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  const std::string head = R"({"format":1,"items":[{"kind":"note","id":"A","name":")";
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  struct Case {
    std::string name;
    std::string json;
    const char* expectedFault;  // none: read
  };
  std::vector<Case> cases;
  // An escaped quote whose backslash ends one piece or the next begins: the brackets after it
  // are still inside the string.
  for (std::size_t backslashAt : {kPiece - 2, kPiece - 1, kPiece, kPiece + 1}) {
    cases.push_back(
        {"escape at " + std::to_string(backslashAt),
         head + std::string(backslashAt - head.size(), 'x') + R"(\")" + deep + R"("}]})", nullptr});
  }
  // The parser stops at a fault in the first piece; nesting too deep in a later one is still
  // the fault told, as it is for a description read whole.
  cases.push_back({"nesting beyond a fault",
                   R"({"format":1,"items":[}, "x":")" + std::string(2 * kPiece, 'x') +
                       R"(", "y":)" + deep + "}",
                   "nest deeper than 512 levels"});
  cases.push_back({"fault in a later piece",
                   R"({"format":1,"x":")" + std::string(3 * kPiece, 'x') + R"(",})",
                   "not valid JSON"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write(library_ / "library.json", c.json);
    auto opened = openLibrarySnapshot(library_);
    if (c.expectedFault == nullptr) {
      ASSERT_THAT(opened, IsOk());
      auto items = (*opened)->getItems(ItemKind::note);
      ASSERT_THAT(items, IsOk());
      ASSERT_EQ(items->size(), 1U);
      // All that follows the head but the escaping backslash and the closing "}]}.
      EXPECT_EQ(items->front().name.size(), c.json.size() - head.size() - 5);
    } else {
      EXPECT_THAT(opened, IsError(kLibrarySnapshotErrorDomain, kSnapshotMalformed,
                                  HasSubstr(c.expectedFault)));
    }
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
         ASSERT_TRUE(writeFileText(path, ""));
         fs::resize_file(path, (std::uintmax_t{512} << 20) + 1);
       },
       "The library snapshot " + description.string() + " is too large."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(description);
    EXPECT_THAT(openLibrarySnapshot(library_),
                IsError(kLibrarySnapshotErrorDomain, kSnapshotUnreadable, Eq(c.expectedMessage)));
    fs::remove(description);
  }
}

// A folder of many payloads is listed once rather than asked about each name; a link among
// them is refused all the same, wherever it stands in the list.
TEST_F(LibrarySnapshotTest, ALinkAmongManyPayloadsIsRefused) {
  constexpr int kPayloads = 200;
  for (int at : {0, 63, 64, 150, kPayloads - 1}) {
    SCOPED_TRACE(at);
    fs::remove_all(library_ / "payload");
    fs::create_directories(library_ / "payload");
    std::string json = R"({"format": 1, "items": [)";
    for (int i = 0; i < kPayloads; ++i) {
      const fs::path payload = library_ / "payload" / ("p" + std::to_string(i) + ".rtf");
      if (i == at) {
        fs::create_symlink(folder_.path("secret.txt"), payload);
      } else {
        write(payload, "x");
      }
      json += std::string(i == 0 ? "" : ",") + R"({"kind": "note", "id": "I)" + std::to_string(i) +
              R"(", "file": "payload/p)" + std::to_string(i) + R"(.rtf"})";
    }
    json += "]}";
    EXPECT_THAT(parseLibrarySnapshot(json, library_),
                IsError(kLibrarySnapshotErrorDomain, kSnapshotMalformed,
                        AllOf(HasSubstr("item " + std::to_string(at + 1) + " "),
                              HasSubstr("leads out of the library folder"))));
  }
}

// Each item's payload, handed over or copied without replacing what the folder holds.
TEST_F(LibrarySnapshotTest, PayloadsAreCopiedFromInsideTheLibraryOnly) {
  fs::create_directories(library_ / "archive");
  write(library_ / "archive" / "real.pdf", "pdf");
  write(library_ / "top.rtf", "top");
  fs::create_symlink("../archive/real.pdf", library_ / "payload" / "relative.pdf");
  fs::create_symlink(fs::canonical(library_) / "archive" / "real.pdf",
                     library_ / "payload" / "absolute.pdf");
  fs::create_symlink(fs::canonical(library_) / "archive", library_ / "linked");
  auto library = parseLibrarySnapshot(R"({"format": 1, "items": [
      {"kind": "pdfArchive", "id": "R", "file": "payload/relative.pdf"},
      {"kind": "pdfArchive", "id": "A", "file": "payload/absolute.pdf"},
      {"kind": "pdfArchive", "id": "F", "file": "linked/real.pdf"},
      {"kind": "note", "id": "T", "file": "top.rtf"},
      {"kind": "note", "id": "M", "file": "nowhere/yet.rtf"},
      {"kind": "note", "id": "L", "file": "payload/later.rtf"},
      {"kind": "note", "id": "B", "exportError": "Zelvar is busy"},
      {"kind": "note", "id": "N"}]})",
                                      library_);
  ASSERT_THAT(library, IsOk());
  // Planted after the library was read: still refused when the item is exported.
  fs::create_symlink(folder_.path("secret.txt"), library_ / "payload" / "later.rtf");

  struct Case {
    ItemKind kind;
    size_t index;
    const char* name;         // what the copy is called; none: the export fails; "": no file
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
      {ItemKind::note, 3, nullptr, nullptr, "refused by the source", "Zelvar is busy"},
      {ItemKind::note, 4, "", "", "none", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto items = (*library)->getItems(c.kind);
    auto copied = (*library)->exportItem((*items)[c.index], out_);
    auto payload = (*library)->openItemPayload((*items)[c.index]);
    if (c.name == nullptr) {
      ASSERT_FALSE(copied);
      ASSERT_FALSE(payload);
      for (const platform::Error* error : {&copied.error(), &payload.error()}) {
        EXPECT_THAT(toUtf8(error->description), HasSubstr(c.content));
      }
      continue;
    }
    ASSERT_THAT(payload, IsOk());
    ASSERT_THAT(copied, IsOk());
    ASSERT_EQ(payload->has_value(), *c.name != '\0');
    ASSERT_EQ(copied->has_value(), *c.name != '\0');
    if (*c.name == '\0') {
      continue;
    }
    EXPECT_EQ((*payload)->fileName, platform::fromUtf8(c.payloadName));
    EXPECT_EQ((*payload)->displayName, platform::fromUtf8(c.file));
    // Measured as it was opened, by the quick way and the careful one alike.
    EXPECT_EQ((*payload)->size(), std::optional<std::int64_t>(std::string_view(c.content).size()));
    EXPECT_EQ(testsupport::readDescriptorText((*payload)->file.get()), c.content);
    EXPECT_EQ((*copied)->lastPathComponent(), platform::fromUtf8(c.name));
    EXPECT_EQ(readFileText(**copied), c.content);
    EXPECT_FALSE(fs::is_symlink((*copied)->fileSystemPath()));
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
  ASSERT_THAT(library, IsOk());
  auto notes = (*library)->getItems(ItemKind::note);
  ASSERT_THAT(notes, IsOk());
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
  auto visitOne = [&](const DatabaseItem& item) {
    visited.push_back(item.id);
    return false;
  };
  ASSERT_THAT((*library)->forEachItem(ItemKind::note, visitOne), IsOk());
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

TEST(TextArenaTest, KeepsEachTextWhateverItsLengthAndStoresARepeatedOneOnce) {
  // Lengths at each step of the length's encoding: one byte below 128, two below 16384, ...
  const std::vector<std::string> texts = {"",
                                          "a",
                                          std::string(127, 'x'),
                                          std::string(128, 'y'),
                                          std::string(16383, 'z'),
                                          std::string(16384, 'w'),
                                          std::string(std::size_t{1} << 21, 'v'),
                                          "\xC3\xA9\xE2\x82\xAC"};
  TextArena arena;
  std::vector<TextRef> refs;
  refs.reserve(texts.size());
  for (const std::string& text : texts) {
    refs.push_back(arena.add(text));
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(arena.view(refs[i]), texts[i]) << "text " << i;
  }
  EXPECT_EQ(arena.optionalText(refs[0]), std::optional<std::u16string>(u""));
  EXPECT_EQ(arena.optionalText(TextRef{}), std::nullopt);
  EXPECT_EQ(arena.text(refs.back()), u"\u00E9\u20AC");

  const TextRef tag = arena.addShared("tag");
  arena.add("tag");
  EXPECT_EQ(arena.addShared("tag").offset, tag.offset);
  EXPECT_NE(arena.addShared("tags").offset, tag.offset);
  EXPECT_EQ(arena.view(tag), "tag");
  arena.forgetShared();
  EXPECT_NE(arena.addShared("tag").offset, tag.offset);
  EXPECT_EQ(arena.view(tag), "tag");
}

TEST_F(LibrarySnapshotTest, ItemsSharingTagsAndALabelKeepTheirOwnTexts) {
  const std::string longName(20000, 'n');
  auto library = parseLibrarySnapshot(R"({"format": 1, "labels": [{"id": "L1"}], "items": [
      {"kind": "note", "id": "A", "label": "L1", "tags": ["t", "u"], "name": ")" +
                                          longName + R"("},
      {"kind": "note", "id": "B", "label": "L1", "tags": ["u", "t", "t"], "comments": "t"}]})",
                                      library_);
  ASSERT_THAT(library, IsOk());
  auto notes = (*library)->getItems(ItemKind::note);
  ASSERT_THAT(notes, IsOk());
  ASSERT_EQ(notes->size(), 2u);
  EXPECT_EQ(toUtf8((*notes)[0].name), longName);
  EXPECT_EQ((*notes)[0].tags, (std::vector<Tag>{Tag{u"t"}, Tag{u"u"}}));
  EXPECT_EQ((*notes)[1].tags, (std::vector<Tag>{Tag{u"u"}, Tag{u"t"}, Tag{u"t"}}));
  EXPECT_EQ((*notes)[1].label, std::optional<std::u16string>(u"L1"));
  EXPECT_EQ((*notes)[1].comments, std::optional<std::u16string>(u"t"));
}

// Appends to a payload after each chunk of its copy, while appends are left.
fs::path payloadToAppendTo;
int appendsLeft = 0;

void appendToPayload(std::uint64_t) {
  if (appendsLeft > 0) {
    --appendsLeft;
    std::ofstream(payloadToAppendTo, std::ios::binary | std::ios::app) << "+more";
  }
}

TEST_F(LibrarySnapshotTest, PayloadChangingDuringTheCopyIsCopiedAgainOrFailsTheItem) {
  fs::create_directories(library_ / "archive");
  write(library_ / "payload" / "once.pdf", "first");
  write(library_ / "payload" / "always.pdf", "first");
  write(library_ / "archive" / "linked.pdf", "first");
  fs::create_symlink("../archive/linked.pdf", library_ / "payload" / "link.pdf");
  auto library = parseLibrarySnapshot(R"({"format": 1, "items": [
      {"kind": "pdfArchive", "id": "O", "file": "payload/once.pdf"},
      {"kind": "pdfArchive", "id": "A", "file": "payload/always.pdf"},
      {"kind": "pdfArchive", "id": "L", "file": "payload/link.pdf"}]})",
                                      library_);
  ASSERT_THAT(library, IsOk());
  struct Case {
    const char* name;
    const char* file;
    fs::path changed;
    int appends;
    const char* content;  // none: the item fails
  };
  const Case cases[] = {
      {"changes once", "payload/once.pdf", library_ / "payload" / "once.pdf", 1, "first+more"},
      {"keeps changing", "payload/always.pdf", library_ / "payload" / "always.pdf", 100, nullptr},
      {"keeps changing behind a link", "payload/link.pdf", library_ / "archive" / "linked.pdf", 100,
       nullptr},
  };
  auto items = (*library)->getItems(ItemKind::pdfArchive);
  for (size_t index = 0; index < std::size(cases); ++index) {
    const Case& c = cases[index];
    SCOPED_TRACE(c.name);
    payloadToAppendTo = c.changed;
    appendsLeft = c.appends;
    platform::setContentCopyObserverForTesting(appendToPayload);
    auto copied = (*library)->exportItem((*items)[index], out_);
    platform::setContentCopyObserverForTesting(nullptr);
    if (c.content == nullptr) {
      ASSERT_FALSE(copied);
      EXPECT_EQ(toUtf8(copied.error().description),
                std::string("The file “") + c.file + "” changed while it was being copied.");
      continue;
    }
    ASSERT_THAT(copied, IsOk());
    ASSERT_TRUE(copied->has_value());
    EXPECT_EQ(readFileText(**copied), c.content);
  }
  // Only the whole copy is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(out_.fileSystemPath()), {}), 1);
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
  ASSERT_THAT(library, IsOk());
  int visited = 0;
  int misplaced = 0;
  auto exportOne = [&](const DatabaseItem& item) {
    auto exported = (*library)->exportItem(item, out_);
    misplaced += exported || exported.error().description != u"E" + item.id.substr(1);
    ++visited;
    return true;
  };
  for (ItemKind kind : {ItemKind::note, ItemKind::image}) {
    ASSERT_THAT((*library)->forEachItem(kind, exportOne), IsOk());
  }
  EXPECT_EQ(visited, kItems);
  EXPECT_EQ(misplaced, 0);
  EXPECT_THAT(parseLibrarySnapshot(json + R"(, {"kind": "note", "id": "I1234"}]})", library_),
              IsError(kLibrarySnapshotErrorDomain, kSnapshotMalformed,
                      Eq("library.json: item 3001 (\"I1234\"): \"id\" is used by another item")));
}

}  // namespace
}  // namespace zv::source
