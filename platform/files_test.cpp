#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/file_attributes.h"
#include "platform/private_mounts_for_testing.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto folder = TemporaryDirectory::create(u"files-test");
    ASSERT_TRUE(folder.ok());
    folder_.emplace(std::move(*folder));
  }

  URL at(std::u16string_view relative, bool isDirectory = false) const {
    return folder_->url().appendingPathComponent(relative, isDirectory);
  }
  std::string pathOf(std::u16string_view relative) const { return at(relative).fileSystemPath(); }

  void write(std::u16string_view relative, std::string_view text) const {
    ASSERT_TRUE(writeFileAtURL(at(relative), bytesOf(text), WriteMode::kCreateNew).ok());
  }
  std::string read(std::u16string_view relative) const {
    auto bytes = readFileAtURL(at(relative));
    return bytes.ok() ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
  }
  void symlinkTo(const std::string& target, std::u16string_view relative) const {
    ASSERT_EQ(::symlink(target.c_str(), pathOf(relative).c_str()), 0);
  }

  std::optional<TemporaryDirectory> folder_;
};

TEST_F(FilesTest, ReachabilitySeesLinksWithoutFollowingThem) {
  write(u"file", "x");
  ASSERT_TRUE(createDirectoryAtURL(at(u"folder"), false, 0755).ok());
  symlinkTo("/nonexistent/target", u"dangling");
  struct Case {
    URL url;
    bool reachable;
  };
  const Case cases[] = {
      {at(u"file"), true},
      {at(u"folder", true), true},
      {at(u"dangling"), true},
      {at(u"missing"), false},
      {at(u"file").appendingPathComponent(u"below"), false},
      {*URL::fromString(u"https://example.com/"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(itemIsReachableAtURL(c.url), c.reachable) << toUtf8(c.url.absoluteString());
  }
}

TEST_F(FilesTest, RemovingATreeLeavesTheTargetsOfItsLinksAlone) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"outside"), false, 0755).ok());
  write(u"outside/keep.txt", "precious");
  ASSERT_TRUE(createDirectoryAtURL(at(u"tree/a/b"), true, 0700).ok());
  write(u"tree/a/b/file.txt", "x");
  write(u"tree/.hidden", "x");
  symlinkTo(pathOf(u"outside"), u"tree/a/link-to-outside");
  // A folder we cannot write into still goes, as long as it is ours.
  ASSERT_EQ(::chmod(pathOf(u"tree/a/b").c_str(), 0500), 0);

  Result<void> removed = removeItemAtURL(at(u"tree"));
  ASSERT_TRUE(removed.ok()) << toUtf8(removed.error().description);
  EXPECT_FALSE(itemIsReachableAtURL(at(u"tree")));
  EXPECT_EQ(read(u"outside/keep.txt"), "precious");
}

TEST_F(FilesTest, RemovingALinkRemovesOnlyTheLink) {
  write(u"target.txt", "precious");
  symlinkTo(pathOf(u"target.txt"), u"link");
  ASSERT_TRUE(removeItemAtURL(at(u"link")).ok());
  EXPECT_EQ(read(u"target.txt"), "precious");
}

TEST_F(FilesTest, RemovalRefusesTheHomeFolderAndDotComponents) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"home/sub"), true, 0755).ok());
  const char* savedHome = std::getenv("HOME");
  std::optional<std::string> previous =
      savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
  ::setenv("HOME", pathOf(u"home").c_str(), 1);
  Result<void> home = removeItemAtURL(at(u"home"));
  Result<void> dotted =
      removeItemAtURL(URL::fileURLWithFileSystemPath(pathOf(u"home/sub") + "/.."));
  previous ? ::setenv("HOME", previous->c_str(), 1) : ::unsetenv("HOME");

  ASSERT_FALSE(home.ok());
  EXPECT_TRUE(isFileError(home.error(), FileErrorCode::kInvalidPath));
  ASSERT_FALSE(dotted.ok());
  EXPECT_TRUE(isFileError(dotted.error(), FileErrorCode::kInvalidPath));
  EXPECT_TRUE(itemIsReachableAtURL(at(u"home/sub")));
  Result<void> missing = removeItemAtURL(at(u"missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(isFileError(missing.error(), FileErrorCode::kFileNotFound));
}

TEST_F(FilesTest, RemovalNeverDescendsIntoAnotherFileSystem) {
  enum class Mount { kEmptyFileSystem, kBindOfThisFileSystem };
  struct Case {
    const char* name;
    Mount mount;
  };
  const Case cases[] = {
      {"tmpfs inside the tree", Mount::kEmptyFileSystem},
      {"bind mount of a folder of the same file system", Mount::kBindOfThisFileSystem},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(createDirectoryAtURL(at(u"outside"), false, 0700).ok());
    write(u"outside/keep.txt", "precious");
    ASSERT_TRUE(createDirectoryAtURL(at(u"tree/a/mounted"), true, 0700).ok());
    write(u"tree/a/file.txt", "x");
    std::optional<std::string> report =
        testing::reportFromPrivateMountNamespace([&]() -> std::optional<std::string> {
          std::string mountPoint = pathOf(u"tree/a/mounted");
          if (c.mount == Mount::kEmptyFileSystem) {
            if (!testing::mountEmptyFileSystemAt(mountPoint)) {
              return std::nullopt;
            }
            if (!writeFileAtURL(at(u"tree/a/mounted/keep.txt"), bytesOf("precious"),
                                WriteMode::kCreateNew)) {
              return "cannot write into the mounted file system";
            }
          } else if (!testing::bindMount(pathOf(u"outside"), mountPoint)) {
            return std::nullopt;
          }
          Result<void> removed = removeItemAtURL(at(u"tree"));
          return std::string(removed.ok() ? "removed" : "refused") +
                 (!removed.ok() && isFileError(removed.error(), FileErrorCode::kOnAnotherFileSystem)
                      ? " on another file system"
                      : "") +
                 "; kept: " + read(u"tree/a/mounted/keep.txt");
        });
    if (!report) {
      GTEST_SKIP() << "mounting is not permitted here";
    }
    EXPECT_EQ(*report, "refused on another file system; kept: precious");
    EXPECT_EQ(read(u"outside/keep.txt"), "precious");
    ASSERT_TRUE(removeItemAtURL(at(u"tree")).ok());
    ASSERT_TRUE(removeItemAtURL(at(u"outside")).ok());
  }
}

TEST_F(FilesTest, CreatedFoldersGetTheRequestedMode) {
  ::umask(022);
  ASSERT_TRUE(createDirectoryAtURL(at(u"export/Zelvar/Zelvar"), true, 0700).ok());
  for (std::u16string_view folder : {u"export", u"export/Zelvar", u"export/Zelvar/Zelvar"}) {
    struct stat status {};
    ASSERT_EQ(::lstat(pathOf(folder).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
  }
  EXPECT_TRUE(createDirectoryAtURL(at(u"export/Zelvar"), true, 0700).ok());
  Result<void> again = createDirectoryAtURL(at(u"export/Zelvar"), false, 0700);
  ASSERT_FALSE(again.ok());
  EXPECT_TRUE(isFileError(again.error(), FileErrorCode::kFileExists));
}

TEST_F(FilesTest, FolderCreationNeverFollowsALinkOrPassesAFile) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"elsewhere"), false, 0755).ok());
  symlinkTo(pathOf(u"elsewhere"), u"planted");
  write(u"file", "x");
  struct Case {
    URL url;
    FileErrorCode code;
  };
  const Case cases[] = {
      {at(u"planted"), FileErrorCode::kSymbolicLink},
      {at(u"file"), FileErrorCode::kFileExists},
      {at(u"file/below"), FileErrorCode::kNotADirectory},
  };
  for (const Case& c : cases) {
    Result<void> created = createDirectoryAtURL(c.url, true, 0700);
    ASSERT_FALSE(created.ok()) << toUtf8(c.url.absoluteString());
    EXPECT_TRUE(isFileError(created.error(), c.code)) << toUtf8(created.error().description);
  }
}

TEST_F(FilesTest, MovingNeverReplacesWhatIsAtTheDestination) {
  write(u"source", "new");
  write(u"taken", "old");
  symlinkTo(pathOf(u"link-target"), u"dangling");
  for (std::u16string_view destination : {u"taken", u"dangling"}) {
    Result<void> moved = moveItemAtURLWithoutReplacing(at(u"source"), at(destination));
    ASSERT_FALSE(moved.ok());
    EXPECT_TRUE(isFileError(moved.error(), FileErrorCode::kFileExists));
  }
  EXPECT_EQ(read(u"taken"), "old");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"link-target")));

  Result<void> intoMissingFolder =
      moveItemAtURLWithoutReplacing(at(u"source"), at(u"missing-folder/free"));
  ASSERT_FALSE(intoMissingFolder.ok());
  EXPECT_NE(intoMissingFolder.error().description.find(u"missing-folder"), std::u16string::npos);

  ASSERT_TRUE(moveItemAtURLWithoutReplacing(at(u"source"), at(u"free")).ok());
  EXPECT_EQ(read(u"free"), "new");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"source")));
}

TEST_F(FilesTest, PlacingUnderAFreeNamePassesOverWhatIsTakenAndStopsOnOtherFailures) {
  struct Case {
    const char* name;
    std::vector<std::u16string> taken;    // names of files of someone else's
    std::vector<std::u16string> planted;  // names of dangling links
    std::u16string prefix;                // of the proposed names "<prefix>0", "<prefix>1", ...
    std::int64_t maximumAttempts;         // 64 bits wide, so that the table packs without padding
    std::optional<std::u16string> expectedName;
    std::optional<FileErrorCode> expectedCode;
    std::int64_t expectedAttempts;
  };
  const Case cases[] = {
      {"free at once", {}, {}, u"n", 1000, u"n0", std::nullopt, 1},
      {"files and a planted link passed over",
       {u"n0", u"n1"},
       {u"n2"},
       u"n",
       1000,
       u"n3",
       std::nullopt,
       4},
      {"every name taken",
       {u"n0", u"n1"},
       {u"n2"},
       u"n",
       3,
       std::nullopt,
       FileErrorCode::kFileExists,
       3},
      {"a failure other than a taken name",
       {},
       {},
       u"missing/n",
       1000,
       std::nullopt,
       FileErrorCode::kFileNotFound,
       1},
  };
  int caseNumber = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string folder = fromUtf8("case" + std::to_string(++caseNumber));
    ASSERT_TRUE(createDirectoryAtURL(at(folder, true), false, 0700).ok());
    for (const auto& name : c.taken) {
      write(folder + u"/" + name, "theirs");
    }
    for (const auto& name : c.planted) {
      symlinkTo(pathOf(folder + u"/target-" + name), folder + u"/" + name);
    }
    int attempts = 0;
    Result<URL> placed = placeFileUnderFreeName(
        at(folder, true), c.maximumAttempts,
        [&](int attempt) { return c.prefix + fromUtf8(std::to_string(attempt)); },
        [&](const URL& candidate) {
          ++attempts;
          return writeFileAtURL(candidate, bytesOf("ours"), WriteMode::kCreateNew);
        });
    EXPECT_EQ(attempts, c.expectedAttempts);
    if (c.expectedName) {
      ASSERT_TRUE(placed.ok()) << toUtf8(placed.error().description);
      EXPECT_EQ(*placed, at(folder + u"/" + *c.expectedName));
      EXPECT_EQ(read(folder + u"/" + *c.expectedName), "ours");
    } else {
      ASSERT_FALSE(placed.ok());
      EXPECT_TRUE(isFileError(placed.error(), *c.expectedCode))
          << toUtf8(placed.error().description);
    }
    for (const auto& name : c.taken) {
      EXPECT_EQ(read(folder + u"/" + name), "theirs");
    }
    for (const auto& name : c.planted) {
      EXPECT_FALSE(itemIsReachableAtURL(at(folder + u"/target-" + name)));
    }
  }
}

TEST_F(FilesTest, MovingAcrossFileSystemsCopiesThenRemoves) {
  auto other =
      TemporaryDirectory::createInDirectory(URL::fileURLWithPath(u"/dev/shm", true), u"files-test");
  struct stat here {
  }, there{};
  if (!other.ok() || ::stat(other->url().fileSystemPath().c_str(), &there) != 0 ||
      ::stat(pathOf(u"").c_str(), &here) != 0 || here.st_dev == there.st_dev) {
    GTEST_SKIP() << "needs a second file system at /dev/shm";
  }
  ASSERT_TRUE(createDirectoryAtURL(at(u"tree/inner"), true, 0700).ok());
  write(u"tree/inner/file", "content");
  URL destination = other->url().appendingPathComponent(u"tree");
  ASSERT_TRUE(moveItemAtURLWithoutReplacing(at(u"tree"), destination).ok());
  EXPECT_FALSE(itemIsReachableAtURL(at(u"tree")));
  auto bytes = readFileAtURL(destination.appendingPathComponent(u"inner/file"));
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "content");
}

TEST_F(FilesTest, CopyKeepsLinksModesDatesAndUserAttributes) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"source/inner"), true, 0750).ok());
  write(u"source/inner/file", "content");
  ASSERT_EQ(::chmod(pathOf(u"source/inner/file").c_str(), 0640), 0);
  bool hasAttributes =
      ::setxattr(pathOf(u"source/inner/file").c_str(), "user.test", "v", 1, 0) == 0;
  const struct timespec times[2] = {{1000, 0}, {1234567890, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, pathOf(u"source/inner/file").c_str(), times, 0), 0);
  symlinkTo("inner/file", u"source/link");

  ASSERT_TRUE(copyItemAtURL(at(u"source"), at(u"copy")).ok());
  EXPECT_EQ(read(u"copy/inner/file"), "content");
  struct stat status {};
  ASSERT_EQ(::lstat(pathOf(u"copy/inner/file").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  EXPECT_EQ(status.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(status.st_mtim.tv_nsec, 123456789);
  ASSERT_EQ(::lstat(pathOf(u"copy/link").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  if (hasAttributes) {
    char value[4] = {};
    EXPECT_EQ(::getxattr(pathOf(u"copy/inner/file").c_str(), "user.test", value, 4), 1);
  }
  Result<void> again = copyItemAtURL(at(u"source"), at(u"copy"));
  ASSERT_FALSE(again.ok());
  EXPECT_TRUE(isFileError(again.error(), FileErrorCode::kFileExists));
}

TEST_F(FilesTest, WritingRefusesPlantedLinksAndKeepsOthersFiles) {
  write(u"outside.txt", "theirs");
  symlinkTo(pathOf(u"outside.txt"), u"planted");
  symlinkTo(pathOf(u"would-be-created"), u"dangling");
  write(u"existing", "theirs");
  struct Case {
    std::u16string name;
    WriteMode mode;
    FileErrorCode code;
  };
  const Case cases[] = {
      {u"planted", WriteMode::kCreateNew, FileErrorCode::kFileExists},
      {u"planted", WriteMode::kReplaceExisting, FileErrorCode::kSymbolicLink},
      {u"dangling", WriteMode::kCreateNew, FileErrorCode::kFileExists},
      {u"dangling", WriteMode::kReplaceExisting, FileErrorCode::kSymbolicLink},
      {u"existing", WriteMode::kCreateNew, FileErrorCode::kFileExists},
  };
  for (const Case& c : cases) {
    Result<void> written = writeFileAtURL(at(c.name), bytesOf("ours"), c.mode);
    ASSERT_FALSE(written.ok()) << toUtf8(c.name);
    EXPECT_TRUE(isFileError(written.error(), c.code)) << toUtf8(written.error().description);
  }
  EXPECT_EQ(read(u"outside.txt"), "theirs");
  EXPECT_EQ(read(u"existing"), "theirs");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"would-be-created")));

  ASSERT_TRUE(writeFileAtURL(at(u"existing"), bytesOf("ours"), WriteMode::kReplaceExisting).ok());
  EXPECT_EQ(read(u"existing"), "ours");
}

mode_t permissionsOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST_F(FilesTest, AtomicReplaceKeepsPermissionsDatesAndFlags) {
  write(u"probe", "x");
  if (::setxattr(pathOf(u"probe").c_str(), "user.probe", "1", 1, 0) != 0) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  write(u"dated", "old content");
  write(u"born", "old content");
  const Date created = dateFromUnixTime(1262304000.5);
  ASSERT_TRUE(setFileDatesAtURL(at(u"dated"), {created, std::nullopt}).ok());
  // "born" has no date of ours: its birth (or modification) time is its creation date.
  const Date born = *creationDateAtURL(at(u"born"));
  for (const char16_t* name : {u"dated", u"born"}) {
    SCOPED_TRACE(toUtf8(name));
    ASSERT_EQ(::chmod(pathOf(name).c_str(), 0640), 0);
    ASSERT_TRUE(setHasHiddenExtensionAtURL(at(name), true).ok());
    ASSERT_TRUE(
        writeFileAtomicallyAtURL(at(name), bytesOf("new"), WriteMode::kReplaceExisting).ok());
    EXPECT_EQ(read(name), "new");
    EXPECT_EQ(permissionsOf(pathOf(name)), 0640u);
    EXPECT_TRUE(*hasHiddenExtensionAtURL(at(name)));
  }
  EXPECT_EQ(creationDateAtURL(at(u"dated"))->secondsSinceReferenceDate,
            created.secondsSinceReferenceDate);
  EXPECT_EQ(creationDateAtURL(at(u"born"))->secondsSinceReferenceDate,
            born.secondsSinceReferenceDate);
  EXPECT_EQ(contentsOfDirectoryAtURL(folder_->url())->size(), 3u) << "no temporary file is left";
}

TEST_F(FilesTest, AtomicWriteRefusesWhatItMustNotReplace) {
  write(u"outside.txt", "theirs");
  symlinkTo(pathOf(u"outside.txt"), u"planted");
  symlinkTo(pathOf(u"would-be-created"), u"dangling");
  write(u"existing", "theirs");
  ASSERT_EQ(::mkfifo(pathOf(u"fifo").c_str(), 0600), 0);
  ASSERT_TRUE(createDirectoryAtURL(at(u"folder"), false, 0700).ok());
  struct Case {
    std::u16string name;
    WriteMode mode;
    FileErrorCode code;
  };
  const Case cases[] = {
      {u"planted", WriteMode::kCreateNew, FileErrorCode::kFileExists},
      {u"planted", WriteMode::kReplaceExisting, FileErrorCode::kSymbolicLink},
      {u"dangling", WriteMode::kCreateNew, FileErrorCode::kFileExists},
      {u"dangling", WriteMode::kReplaceExisting, FileErrorCode::kSymbolicLink},
      {u"existing", WriteMode::kCreateNew, FileErrorCode::kFileExists},
      {u"fifo", WriteMode::kReplaceExisting, FileErrorCode::kNotARegularFile},
      {u"folder", WriteMode::kReplaceExisting, FileErrorCode::kNotARegularFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.name));
    Result<void> written = writeFileAtomicallyAtURL(at(c.name), bytesOf("ours"), c.mode);
    ASSERT_FALSE(written.ok());
    EXPECT_TRUE(isFileError(written.error(), c.code)) << toUtf8(written.error().description);
  }
  EXPECT_EQ(read(u"outside.txt"), "theirs");
  EXPECT_EQ(read(u"existing"), "theirs");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"would-be-created")));
  EXPECT_EQ(contentsOfDirectoryAtURL(folder_->url())->size(), 6u) << "no temporary file is left";

  ASSERT_TRUE(
      writeFileAtomicallyAtURL(at(u"new"), bytesOf("ours"), WriteMode::kCreateNew, 0600).ok());
  EXPECT_EQ(read(u"new"), "ours");
  EXPECT_EQ(permissionsOf(pathOf(u"new")), 0600u);
}

TEST_F(FilesTest, FailedAtomicReplaceLeavesTheOldFileWhole) {
  write(u"precious", "old content");
  // A file size limit makes the write fail part-way, whoever runs the test (root ignores a
  // read-only folder).
  struct rlimit original {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
  auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = original;
  limited.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  Result<void> written = writeFileAtomicallyAtURL(
      at(u"precious"), std::vector<std::uint8_t>(8192, 'x'), WriteMode::kReplaceExisting);
  ::setrlimit(RLIMIT_FSIZE, &original);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written.ok());
  EXPECT_EQ(read(u"precious"), "old content");
  EXPECT_EQ(contentsOfDirectoryAtURL(folder_->url())->size(), 1u) << "no temporary file is left";
}

TEST_F(FilesTest, ReadingRefusesWhatIsNoRegularFile) {
  ASSERT_EQ(::mkfifo(pathOf(u"fifo").c_str(), 0600), 0);
  ASSERT_TRUE(createDirectoryAtURL(at(u"folder"), false, 0700).ok());
  struct Case {
    std::u16string name;
    FileErrorCode code;
  };
  const Case cases[] = {{u"fifo", FileErrorCode::kNotARegularFile},
                        {u"folder", FileErrorCode::kIsADirectory},
                        {u"missing", FileErrorCode::kFileNotFound}};
  for (const Case& c : cases) {
    auto bytes = readFileAtURL(at(c.name));
    ASSERT_FALSE(bytes.ok()) << toUtf8(c.name);
    EXPECT_TRUE(isFileError(bytes.error(), c.code)) << toUtf8(bytes.error().description);
  }
  Result<void> fifoWrite = writeFileAtURL(at(u"fifo"), bytesOf("x"), WriteMode::kReplaceExisting);
  EXPECT_FALSE(fifoWrite.ok());
}

TEST_F(FilesTest, ReadingRefusesFilesAboveTheGivenSize) {
  write(u"small", "12345");
  // Sparse: claims 3 GB without taking the disk; it must be refused before any reading.
  write(u"sparse", "");
  ASSERT_EQ(::truncate(pathOf(u"sparse").c_str(), off_t{3} << 30), 0);
  struct Case {
    std::u16string name;
    std::size_t maximum;
    bool readable;
  };
  const Case cases[] = {{u"small", 5, true}, {u"small", 4, false}, {u"sparse", 1 << 20, false}};
  for (const Case& c : cases) {
    auto bytes = readFileAtURL(at(c.name), c.maximum);
    EXPECT_EQ(bytes.ok(), c.readable) << toUtf8(c.name) << " " << c.maximum;
    if (!bytes.ok()) {
      EXPECT_TRUE(isFileError(bytes.error(), FileErrorCode::kFileTooLarge));
    }
  }
}

TEST_F(FilesTest, PathsWithNulBytesAreRefused) {
  URL withNul = URL::fileURLWithPath(std::u16string(u"/tmp/a\0b", 8));
  EXPECT_FALSE(itemIsReachableAtURL(withNul));
  Result<void> written = writeFileAtURL(withNul, bytesOf("x"), WriteMode::kCreateNew);
  ASSERT_FALSE(written.ok());
  EXPECT_TRUE(isFileError(written.error(), FileErrorCode::kInvalidPath));
}

TEST_F(FilesTest, ListingSkipsHiddenItemsAndDoesNotEnterLinks) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"logs/Library/sub"), true, 0700).ok());
  write(u"logs/Library/a.log", "x");
  write(u"logs/Library/sub/b.log", "x");
  write(u"logs/.hidden.log", "x");
  ASSERT_TRUE(createDirectoryAtURL(at(u"elsewhere"), false, 0700).ok());
  write(u"elsewhere/c.log", "x");
  symlinkTo(pathOf(u"elsewhere"), u"logs/link");

  auto flat = contentsOfDirectoryAtURL(at(u"logs"));
  ASSERT_TRUE(flat.ok());
  EXPECT_EQ(flat->size(), 3u);
  auto deep = contentsOfDirectoryAtURL(at(u"logs"), {.recursive = true, .skipsHiddenFiles = true});
  ASSERT_TRUE(deep.ok());
  std::vector<std::u16string> names;
  for (const URL& url : *deep) {
    names.push_back(url.lastPathComponent());
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Library", u"a.log", u"sub", u"b.log", u"link"}));
  EXPECT_TRUE((*deep)[0].hasDirectoryPath());
}

// Kernels and sandboxes without openat2 send every lookup the careful way, which callers take
// as they do for links.
bool lookupsNeedTheCarefulWay(const FolderHandle& folder) {
  auto listing = folder.entriesWithoutLinks("payload");
  return !listing.ok() && isFileError(listing.error(), FileErrorCode::kSymbolicLink);
}

TEST_F(FilesTest, FolderHandleCopiesFilesBeneathItWithoutFollowingLinks) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"library/payload"), true, 0700).ok());
  write(u"library/payload/note.rtf", "content");
  write(u"library/payload/empty.rtf", "");
  std::string large(200 * 1024 + 17, 'x');
  for (std::size_t i = 0; i < large.size(); i += 4099) {
    large[i] = static_cast<char>('a' + i % 26);
  }
  write(u"library/payload/large.pdf", large);
  ASSERT_EQ(::chmod(pathOf(u"library/payload/note.rtf").c_str(), 0640), 0);
  const struct timespec times[2] = {{1000, 0}, {1234567890, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, pathOf(u"library/payload/note.rtf").c_str(), times, 0), 0);
  ASSERT_EQ(::mkfifo(pathOf(u"library/payload/pipe.rtf").c_str(), 0600), 0);
  write(u"outside.rtf", "secret");
  symlinkTo(pathOf(u"outside.rtf"), u"library/payload/link.rtf");
  symlinkTo("note.rtf", u"library/payload/inside-link.rtf");
  symlinkTo(pathOf(u"library/payload"), u"library/linked-folder");
  ASSERT_TRUE(createDirectoryAtURL(at(u"out"), false, 0700).ok());

  auto library = FolderHandle::openAtPath(pathOf(u"library"));
  ASSERT_TRUE(library.ok());
  if (lookupsNeedTheCarefulWay(*library)) {
    GTEST_SKIP() << "this system cannot look paths up without following links (no openat2)";
  }
  struct Case {
    std::string path;
    std::optional<FileErrorCode> error;
    std::string content;
  };
  const Case cases[] = {
      {"payload/note.rtf", std::nullopt, "content"},
      {"payload/empty.rtf", std::nullopt, ""},
      {"payload/large.pdf", std::nullopt, large},
      {"payload/missing.rtf", FileErrorCode::kFileNotFound, ""},
      {"payload/pipe.rtf", FileErrorCode::kNotARegularFile, ""},
      // Links, even harmless ones, are left to the caller's careful resolution.
      {"payload/link.rtf", FileErrorCode::kSymbolicLink, ""},
      {"payload/inside-link.rtf", FileErrorCode::kSymbolicLink, ""},
      {"linked-folder/note.rtf", FileErrorCode::kSymbolicLink, ""},
      {"payload/../../outside.rtf", FileErrorCode::kInvalidPath, ""},
      {pathOf(u"outside.rtf"), FileErrorCode::kInvalidPath, ""},
      {"", FileErrorCode::kInvalidPath, ""},
  };
  int copyNumber = 0;
  for (const Case& c : cases) {
    const std::u16string name = u"copy" + fromUtf8(std::to_string(++copyNumber));
    Result<void> copied = library->copyFileWithoutLinks(c.path, at(u"out/" + name));
    if (c.error) {
      ASSERT_FALSE(copied.ok()) << c.path;
      EXPECT_TRUE(isFileError(copied.error(), *c.error))
          << c.path << ": " << toUtf8(copied.error().description);
      EXPECT_FALSE(itemIsReachableAtURL(at(u"out/" + name))) << c.path;
    } else {
      ASSERT_TRUE(copied.ok()) << c.path << ": " << toUtf8(copied.error().description);
      EXPECT_EQ(read(u"out/" + name), c.content) << c.path;
    }
  }
  // A new file of our own: private, with a date of its own.
  struct stat status {};
  ASSERT_EQ(::stat(pathOf(u"out/copy1").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_NE(status.st_mtim.tv_sec, 1234567890);

  // The same by URL; a link at the source is refused there too.
  ASSERT_TRUE(copyFileContentsAtURL(at(u"library/payload/note.rtf"), at(u"out/by-url")).ok());
  EXPECT_EQ(read(u"out/by-url"), "content");
  Result<void> linked = copyFileContentsAtURL(at(u"library/payload/link.rtf"), at(u"out/x"));
  ASSERT_FALSE(linked.ok());
  EXPECT_TRUE(isFileError(linked.error(), FileErrorCode::kSymbolicLink));

  // What stands at the destination stays.
  write(u"out/taken.rtf", "somebody else's");
  Result<void> onto = library->copyFileWithoutLinks("payload/note.rtf", at(u"out/taken.rtf"));
  ASSERT_FALSE(onto.ok());
  EXPECT_TRUE(isFileError(onto.error(), FileErrorCode::kFileExists));
  EXPECT_EQ(read(u"out/taken.rtf"), "somebody else's");
}

// What a test does to the source of a copy after each chunk, through the copy observer.
struct SourceChange {
  std::string path;
  void (*change)(const std::string& path);
  int calls = 0;
};
SourceChange* currentSourceChange = nullptr;

void changeCurrentSource(std::uint64_t) {
  ++currentSourceChange->calls;
  currentSourceChange->change(currentSourceChange->path);
}

TEST_F(FilesTest, CopyFailsAndLeavesNothingWhenTheSourceChangesMeanwhile) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"library/payload"), true, 0700).ok());
  ASSERT_TRUE(createDirectoryAtURL(at(u"out"), false, 0700).ok());
  auto library = FolderHandle::openAtPath(pathOf(u"library"));
  ASSERT_TRUE(library.ok());
  const bool byHandle = !lookupsNeedTheCarefulWay(*library);
  struct Case {
    const char* name;
    void (*change)(const std::string& path);
  };
  const Case cases[] = {
      {"truncated", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 1000), 0); }},
      {"rewritten in place",
       [](const std::string& path) {
         const int file = ::open(path.c_str(), O_WRONLY);
         ASSERT_GE(file, 0);
         ASSERT_EQ(::pwrite(file, "new", 3, 0), 3);
         const struct timespec times[2] = {{1000, 0}, {1000, 0}};
         ASSERT_EQ(::futimens(file, times), 0);
         ::close(file);
       }},
      {"growing without end",
       [](const std::string& path) {
         const int file = ::open(path.c_str(), O_WRONLY | O_APPEND);
         ASSERT_GE(file, 0);
         const std::string more(1 << 16, 'm');
         ASSERT_EQ(::write(file, more.data(), more.size()), static_cast<ssize_t>(more.size()));
         ::close(file);
       }},
  };
  const std::string content(200 * 1024 + 17, 'c');
  int number = 0;
  for (const Case& c : cases) {
    for (bool handle : {false, true}) {
      if (handle && !byHandle) {
        continue;
      }
      SCOPED_TRACE(std::string(c.name) + (handle ? " (folder handle)" : " (URL)"));
      const std::u16string name = u"source" + fromUtf8(std::to_string(++number)) + u".pdf";
      write(u"library/payload/" + name, content);
      SourceChange change{pathOf(u"library/payload/" + name), c.change};
      currentSourceChange = &change;
      setContentCopyObserverForTesting(changeCurrentSource);
      Result<void> copied =
          handle ? library->copyFileWithoutLinks("payload/" + toUtf8(name), at(u"out/" + name))
                 : copyFileContentsAtURL(at(u"library/payload/" + name), at(u"out/" + name));
      setContentCopyObserverForTesting(nullptr);
      ASSERT_FALSE(copied.ok());
      EXPECT_TRUE(isFileError(copied.error(), FileErrorCode::kChangedWhileCopied))
          << toUtf8(copied.error().description);
      EXPECT_NE(copied.error().description.find(name), std::u16string::npos);
      EXPECT_FALSE(itemIsReachableAtURL(at(u"out/" + name)));
      // The copy stops at the size it saw first, whatever comes after.
      EXPECT_LE(change.calls, 4);
    }
  }
}

TEST_F(FilesTest, FolderHandleListsFoldersBeneathIt) {
  ASSERT_TRUE(createDirectoryAtURL(at(u"library/payload/sub"), true, 0700).ok());
  write(u"library/payload/note.rtf", "x");
  symlinkTo("note.rtf", u"library/payload/link.rtf");
  symlinkTo(pathOf(u"library/payload"), u"library/linked-folder");
  auto library = FolderHandle::openAtPath(pathOf(u"library"));
  ASSERT_TRUE(library.ok());
  if (lookupsNeedTheCarefulWay(*library)) {
    GTEST_SKIP() << "this system cannot look paths up without following links (no openat2)";
  }

  using Kind = FolderHandle::EntryKind;
  auto payload = library->entriesWithoutLinks("payload");
  ASSERT_TRUE(payload.ok());
  EXPECT_TRUE(payload->exists);
  const std::unordered_map<std::string, Kind> expected = {
      {"note.rtf", Kind::kRegularFile}, {"link.rtf", Kind::kSymbolicLink}, {"sub", Kind::kFolder}};
  ASSERT_EQ(payload->entries.size(), expected.size());
  for (const auto& [name, kind] : payload->entries) {
    // Some file systems do not say what an entry is.
    EXPECT_TRUE(kind == Kind::kUnknown || expected.at(name) == kind) << name;
  }
  auto top = library->entriesWithoutLinks("");
  ASSERT_TRUE(top.ok());
  EXPECT_EQ(top->entries.size(), 2u);
  auto missing = library->entriesWithoutLinks("nowhere/deeper");
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->exists);
  auto throughLink = library->entriesWithoutLinks("linked-folder");
  ASSERT_FALSE(throughLink.ok());
  EXPECT_TRUE(isFileError(throughLink.error(), FileErrorCode::kSymbolicLink));
  EXPECT_FALSE(library->entriesWithoutLinks("payload/..").ok());
}

}  // namespace
}  // namespace zv::platform
