#include "platform/files.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/exclusive_file.h"
#include "platform/file_attributes.h"
#include "platform/private_mounts_for_testing.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/scoped_environment.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using ::testing::HasSubstr;
using testsupport::bytesOf;
using testsupport::IsOk;
using testsupport::IsPlatformError;

class FilesTest : public testsupport::TemporaryFolderTest {
 protected:
  void write(std::u16string_view relative, std::string_view text) const {
    ASSERT_THAT(writeFileAtURL(at(relative), bytesOf(text), WriteMode::kCreateNew), IsOk());
  }
  std::string read(std::u16string_view relative) const {
    return testsupport::readFileText(at(relative)).value_or("<unreadable>");
  }
  void symlinkTo(const std::string& target, std::u16string_view relative) const {
    ASSERT_EQ(::symlink(target.c_str(), pathOf(relative).c_str()), 0);
  }
  std::size_t entryCount() const { return contentsOfDirectoryAtURL(folder_.url())->size(); }
};

mode_t permissionsOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST_F(FilesTest, ReachabilitySeesLinksWithoutFollowingThem) {
  write(u"file", "x");
  ASSERT_THAT(createDirectoryAtURL(at(u"folder"), false, 0755), IsOk());
  symlinkTo("/nonexistent/target", u"dangling");
  const std::pair<URL, bool> cases[] = {
      {at(u"file"), true},
      {at(u"folder", true), true},
      {at(u"dangling"), true},
      {at(u"missing"), false},
      {at(u"file").appendingPathComponent(u"below"), false},
      {*URL::fromString(u"https://example.com/"), false},
      {URL::fileURLWithPath(std::u16string(u"/tmp/a\0b", 8)), false},
  };
  for (const auto& [url, reachable] : cases) {
    SCOPED_TRACE(toUtf8(url.absoluteString()));
    EXPECT_EQ(itemIsReachableAtURL(url), reachable);
  }
}

TEST_F(FilesTest, RemovingATreeLeavesTheTargetsOfItsLinksAlone) {
  ASSERT_THAT(createDirectoryAtURL(at(u"outside"), false, 0755), IsOk());
  write(u"outside/keep.txt", "precious");
  ASSERT_THAT(createDirectoryAtURL(at(u"tree/a/b"), true, 0700), IsOk());
  write(u"tree/a/b/file.txt", "x");
  write(u"tree/.hidden", "x");
  symlinkTo(pathOf(u"outside"), u"tree/a/link-to-outside");
  // A folder we cannot write into still goes, as long as it is ours.
  ASSERT_EQ(::chmod(pathOf(u"tree/a/b").c_str(), 0500), 0);

  ASSERT_THAT(removeItemAtURL(at(u"tree")), IsOk());
  EXPECT_FALSE(itemIsReachableAtURL(at(u"tree")));
  EXPECT_EQ(read(u"outside/keep.txt"), "precious");
  // A link given as the item itself goes alone, too.
  symlinkTo(pathOf(u"outside"), u"link");
  ASSERT_THAT(removeItemAtURL(at(u"link")), IsOk());
  EXPECT_EQ(read(u"outside/keep.txt"), "precious");
}

TEST_F(FilesTest, RemovalRefusesTheHomeFolderAndDotComponents) {
  ASSERT_THAT(createDirectoryAtURL(at(u"home/sub"), true, 0755), IsOk());
  const testsupport::ScopedEnvironmentVariable homeVariable("HOME", pathOf(u"home"));
  Result<void> home = removeItemAtURL(at(u"home"));
  Result<void> dotted =
      removeItemAtURL(URL::fileURLWithFileSystemPath(pathOf(u"home/sub") + "/.."));

  EXPECT_THAT(home, IsPlatformError(FileErrorCode::kInvalidPath));
  EXPECT_THAT(dotted, IsPlatformError(FileErrorCode::kInvalidPath));
  EXPECT_TRUE(itemIsReachableAtURL(at(u"home/sub")));
  EXPECT_THAT(removeItemAtURL(at(u"missing")), IsPlatformError(FileErrorCode::kFileNotFound));
}

TEST_F(FilesTest, RemovalNeverDescendsIntoAnotherFileSystem) {
  // A bind mount of a folder of the same file system is as foreign as a file system of its own.
  for (const bool bind : {false, true}) {
    SCOPED_TRACE(bind ? "bind mount" : "tmpfs");
    ASSERT_THAT(createDirectoryAtURL(at(u"outside"), false, 0700), IsOk());
    write(u"outside/keep.txt", "precious");
    ASSERT_THAT(createDirectoryAtURL(at(u"tree/a/mounted"), true, 0700), IsOk());
    write(u"tree/a/file.txt", "x");
    std::optional<std::string> report =
        testing::reportFromPrivateMountNamespace([&]() -> std::optional<std::string> {
          std::string mountPoint = pathOf(u"tree/a/mounted");
          if (!bind) {
            if (!testing::mountEmptyFileSystemAt(mountPoint)) {
              return std::nullopt;
            }
            if (!testsupport::writeFileText(pathOf(u"tree/a/mounted/keep.txt"), "precious")) {
              return "cannot write into the mounted file system";
            }
          } else if (!testing::bindMount(pathOf(u"outside"), mountPoint)) {
            return std::nullopt;
          }
          Result<void> removed = removeItemAtURL(at(u"tree"));
          const bool refused =
              !removed.ok() && isFileError(removed.error(), FileErrorCode::kOnAnotherFileSystem);
          return std::string(refused ? "refused" : "not refused") +
                 "; kept: " + read(u"tree/a/mounted/keep.txt");
        });
    if (!report) {
      GTEST_SKIP() << "mounting is not permitted here";
    }
    EXPECT_EQ(*report, "refused; kept: precious");
    EXPECT_EQ(read(u"outside/keep.txt"), "precious");
    ASSERT_THAT(removeItemAtURL(at(u"tree")), IsOk());
    ASSERT_THAT(removeItemAtURL(at(u"outside")), IsOk());
  }
}

TEST_F(FilesTest, CreatedFoldersGetTheRequestedMode) {
  ::umask(022);
  ASSERT_THAT(createDirectoryAtURL(at(u"export/Zelvar/Zelvar"), true, 0700), IsOk());
  for (std::u16string_view folder : {u"export", u"export/Zelvar", u"export/Zelvar/Zelvar"}) {
    EXPECT_EQ(permissionsOf(pathOf(folder)), 0700u) << toUtf8(folder);
  }
  EXPECT_THAT(createDirectoryAtURL(at(u"export/Zelvar"), true, 0700), IsOk());
  EXPECT_THAT(createDirectoryAtURL(at(u"export/Zelvar"), false, 0700),
              IsPlatformError(FileErrorCode::kFileExists));
}

TEST_F(FilesTest, FolderCreationNeverFollowsALinkOrPassesAFile) {
  ASSERT_THAT(createDirectoryAtURL(at(u"elsewhere"), false, 0755), IsOk());
  symlinkTo(pathOf(u"elsewhere"), u"planted");
  write(u"file", "x");
  const std::pair<URL, FileErrorCode> cases[] = {
      {at(u"planted"), FileErrorCode::kSymbolicLink},
      {at(u"file"), FileErrorCode::kFileExists},
      {at(u"file/below"), FileErrorCode::kNotADirectory},
  };
  for (const auto& [url, code] : cases) {
    SCOPED_TRACE(toUtf8(url.absoluteString()));
    EXPECT_THAT(createDirectoryAtURL(url, true, 0700), IsPlatformError(code));
  }
}

TEST_F(FilesTest, MovingNeverReplacesWhatIsAtTheDestination) {
  write(u"source", "new");
  write(u"taken", "old");
  symlinkTo(pathOf(u"link-target"), u"dangling");
  for (std::u16string_view destination : {u"taken", u"dangling"}) {
    EXPECT_THAT(moveItemAtURLWithoutReplacing(at(u"source"), at(destination)),
                IsPlatformError(FileErrorCode::kFileExists));
  }
  EXPECT_EQ(read(u"taken"), "old");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"link-target")));

  EXPECT_THAT(moveItemAtURLWithoutReplacing(at(u"source"), at(u"missing-folder/free")),
              IsPlatformError(FileErrorCode::kFileNotFound, HasSubstr("missing-folder")));
  ASSERT_THAT(moveItemAtURLWithoutReplacing(at(u"source"), at(u"free")), IsOk());
  EXPECT_EQ(read(u"free"), "new");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"source")));
}

TEST_F(FilesTest, PlacingUnderAFreeNameGivesUpAfterItsAttemptsAndOnOtherFailures) {
  // Passing over names taken by files and by planted links is left to RootFolderNames' tests,
  // which place through this.
  write(u"n0", "theirs");
  symlinkTo(pathOf(u"target"), u"n1");
  struct Case {
    const char* name;
    std::u16string prefix;  // of the proposed names "<prefix>0", "<prefix>1", ...
    int maximumAttempts;
    int expectedAttempts;
    FileErrorCode expectedCode;
  };
  const Case cases[] = {
      {"every name taken", u"n", 2, 2, FileErrorCode::kFileExists},
      {"another failure", u"missing/n", 1000, 1, FileErrorCode::kFileNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int attempts = 0;
    Result<URL> placed = placeFileUnderFreeName(
        folder_.url(), c.maximumAttempts,
        [&](int attempt) { return c.prefix + fromUtf8(std::to_string(attempt)); },
        [&](const URL& candidate) {
          ++attempts;
          return writeFileAtURL(candidate, bytesOf("ours"), WriteMode::kCreateNew);
        });
    EXPECT_EQ(attempts, c.expectedAttempts);
    EXPECT_THAT(placed, IsPlatformError(c.expectedCode));
  }
  EXPECT_EQ(read(u"n0"), "theirs");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"target")));
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
  ASSERT_THAT(createDirectoryAtURL(at(u"tree/inner"), true, 0700), IsOk());
  write(u"tree/inner/file", "content");
  URL destination = other->url().appendingPathComponent(u"tree");
  ASSERT_THAT(moveItemAtURLWithoutReplacing(at(u"tree"), destination), IsOk());
  EXPECT_FALSE(itemIsReachableAtURL(at(u"tree")));
  EXPECT_EQ(testsupport::readFileText(destination.appendingPathComponent(u"inner/file")),
            "content");
}

TEST_F(FilesTest, CopyKeepsLinksModesDatesAndUserAttributes) {
  ASSERT_THAT(createDirectoryAtURL(at(u"source/inner"), true, 0750), IsOk());
  write(u"source/inner/file", "content");
  ASSERT_EQ(::chmod(pathOf(u"source/inner/file").c_str(), 0640), 0);
  bool hasAttributes =
      ::setxattr(pathOf(u"source/inner/file").c_str(), "user.test", "v", 1, 0) == 0;
  const struct timespec times[2] = {{1000, 0}, {1234567890, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, pathOf(u"source/inner/file").c_str(), times, 0), 0);
  symlinkTo("inner/file", u"source/link");

  ASSERT_THAT(copyItemAtURL(at(u"source"), at(u"copy")), IsOk());
  EXPECT_EQ(read(u"copy/inner/file"), "content");
  EXPECT_EQ(permissionsOf(pathOf(u"copy/inner/file")), 0640u);
  struct stat status {};
  ASSERT_EQ(::lstat(pathOf(u"copy/inner/file").c_str(), &status), 0);
  EXPECT_EQ(status.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(status.st_mtim.tv_nsec, 123456789);
  EXPECT_TRUE(std::filesystem::is_symlink(pathOf(u"copy/link")));
  if (hasAttributes) {
    char value[4] = {};
    EXPECT_EQ(::getxattr(pathOf(u"copy/inner/file").c_str(), "user.test", value, 4), 1);
  }
  EXPECT_THAT(copyItemAtURL(at(u"source"), at(u"copy")),
              IsPlatformError(FileErrorCode::kFileExists));
}

TEST_F(FilesTest, AtomicReplaceKeepsPermissionsDatesAndFlags) {
  write(u"probe", "x");
  if (::setxattr(pathOf(u"probe").c_str(), "user.probe", "1", 1, 0) != 0) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  write(u"dated", "old content");
  write(u"born", "old content");
  const Date created = dateFromUnixTime(1262304000.5);
  ASSERT_THAT(setFileDatesAtURL(at(u"dated"), {created, std::nullopt}), IsOk());
  // "born" has no date of ours: its birth (or modification) time is its creation date.
  const Date born = *creationDateAtURL(at(u"born"));
  for (const char16_t* name : {u"dated", u"born"}) {
    SCOPED_TRACE(toUtf8(name));
    ASSERT_EQ(::chmod(pathOf(name).c_str(), 0640), 0);
    ASSERT_THAT(setHasHiddenExtensionAtURL(at(name), true), IsOk());
    ASSERT_THAT(writeFileAtomicallyAtURL(at(name), bytesOf("new"), WriteMode::kReplaceExisting),
                IsOk());
    EXPECT_EQ(read(name), "new");
    EXPECT_EQ(permissionsOf(pathOf(name)), 0640u);
    EXPECT_TRUE(*hasHiddenExtensionAtURL(at(name)));
  }
  EXPECT_EQ(*creationDateAtURL(at(u"dated")), created);
  EXPECT_EQ(*creationDateAtURL(at(u"born")), born);
  EXPECT_EQ(entryCount(), 3u) << "no temporary file is left";
}

TEST_F(FilesTest, WritingRefusesPlantedLinksAndWhatItMustNotReplace) {
  write(u"outside.txt", "theirs");
  symlinkTo(pathOf(u"outside.txt"), u"planted");
  symlinkTo(pathOf(u"would-be-created"), u"dangling");
  write(u"existing", "theirs");
  ASSERT_EQ(::mkfifo(pathOf(u"fifo").c_str(), 0600), 0);
  ASSERT_THAT(createDirectoryAtURL(at(u"folder"), false, 0700), IsOk());
  struct Case {
    std::u16string name;
    WriteMode mode;
    FileErrorCode code;
    FileErrorCode atomicCode;
  };
  using enum PlatformErrorCode;  // FileErrorCode is an alias, which clang does not take here
  // A FIFO is opened without waiting for a reader, which fails there.
  const Case cases[] = {
      {u"planted", WriteMode::kCreateNew, kFileExists, kFileExists},
      {u"planted", WriteMode::kReplaceExisting, kSymbolicLink, kSymbolicLink},
      {u"dangling", WriteMode::kCreateNew, kFileExists, kFileExists},
      {u"dangling", WriteMode::kReplaceExisting, kSymbolicLink, kSymbolicLink},
      {u"existing", WriteMode::kCreateNew, kFileExists, kFileExists},
      {u"fifo", WriteMode::kReplaceExisting, kUnknown, kNotARegularFile},
      {u"folder", WriteMode::kReplaceExisting, kIsADirectory, kNotARegularFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.name));
    EXPECT_THAT(writeFileAtURL(at(c.name), bytesOf("ours"), c.mode), IsPlatformError(c.code));
    EXPECT_THAT(writeFileAtomicallyAtURL(at(c.name), bytesOf("ours"), c.mode),
                IsPlatformError(c.atomicCode));
  }
  EXPECT_EQ(read(u"outside.txt"), "theirs");
  EXPECT_EQ(read(u"existing"), "theirs");
  EXPECT_FALSE(itemIsReachableAtURL(at(u"would-be-created")));
  EXPECT_EQ(entryCount(), 6u) << "no temporary file is left";
  EXPECT_THAT(writeFileAtURL(at(std::u16string(u"a\0b", 3)), bytesOf("x"), WriteMode::kCreateNew),
              IsPlatformError(FileErrorCode::kInvalidPath));

  ASSERT_THAT(writeFileAtURL(at(u"existing"), bytesOf("ours"), WriteMode::kReplaceExisting),
              IsOk());
  EXPECT_EQ(read(u"existing"), "ours");
  ASSERT_THAT(writeFileAtomicallyAtURL(at(u"new"), bytesOf("ours"), WriteMode::kCreateNew, 0600),
              IsOk());
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
  EXPECT_EQ(entryCount(), 1u) << "no temporary file is left";
}

TEST_F(FilesTest, ReadingRefusesWhatIsNoRegularFileOrAboveTheGivenSize) {
  ASSERT_EQ(::mkfifo(pathOf(u"fifo").c_str(), 0600), 0);
  ASSERT_THAT(createDirectoryAtURL(at(u"folder"), false, 0700), IsOk());
  write(u"small", "12345");
  // Sparse: claims 3 GB without taking the disk; it must be refused before any reading.
  write(u"sparse", "");
  ASSERT_EQ(::truncate(pathOf(u"sparse").c_str(), off_t{3} << 30), 0);
  struct Case {
    std::u16string name;
    std::size_t maximum;
    std::optional<FileErrorCode> code;
  };
  const Case cases[] = {
      {u"fifo", 100, FileErrorCode::kNotARegularFile},
      {u"folder", 100, FileErrorCode::kIsADirectory},
      {u"missing", 100, FileErrorCode::kFileNotFound},
      {u"small", 5, std::nullopt},
      {u"small", 4, FileErrorCode::kFileTooLarge},
      {u"sparse", 1 << 20, FileErrorCode::kFileTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.name) + " " + std::to_string(c.maximum));
    auto bytes = readFileAtURL(at(c.name), c.maximum);
    if (c.code) {
      EXPECT_THAT(bytes, IsPlatformError(*c.code));
    } else {
      EXPECT_THAT(bytes, IsOk());
    }
  }
}

TEST_F(FilesTest, ListingSkipsHiddenItemsAndDoesNotEnterLinks) {
  ASSERT_THAT(createDirectoryAtURL(at(u"logs/Library/sub"), true, 0700), IsOk());
  write(u"logs/Library/a.log", "x");
  write(u"logs/Library/sub/b.log", "x");
  write(u"logs/.hidden.log", "x");
  ASSERT_THAT(createDirectoryAtURL(at(u"elsewhere"), false, 0700), IsOk());
  write(u"elsewhere/c.log", "x");
  symlinkTo(pathOf(u"elsewhere"), u"logs/link");

  auto flat = contentsOfDirectoryAtURL(at(u"logs"));
  ASSERT_THAT(flat, IsOk());
  EXPECT_EQ(flat->size(), 3u);
  auto deep = contentsOfDirectoryAtURL(at(u"logs"), {.recursive = true, .skipsHiddenFiles = true});
  ASSERT_THAT(deep, IsOk());
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

TEST_F(FilesTest, FolderHandleListsAndCopiesBeneathItWithoutFollowingLinks) {
  ASSERT_THAT(createDirectoryAtURL(at(u"library/payload/sub"), true, 0700), IsOk());
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
  ASSERT_THAT(createDirectoryAtURL(at(u"out"), false, 0700), IsOk());

  auto library = FolderHandle::openAtPath(pathOf(u"library"));
  ASSERT_THAT(library, IsOk());
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
    SCOPED_TRACE(c.path);
    const std::u16string name = u"copy" + fromUtf8(std::to_string(++copyNumber));
    Result<void> copied = library->copyFileWithoutLinks(c.path, at(u"out/" + name));
    if (c.error) {
      EXPECT_THAT(copied, IsPlatformError(*c.error));
      EXPECT_FALSE(itemIsReachableAtURL(at(u"out/" + name)));
    } else {
      ASSERT_THAT(copied, IsOk());
      EXPECT_EQ(read(u"out/" + name), c.content);
    }
  }
  // A new file of our own: private, with a date of its own.
  struct stat status {};
  ASSERT_EQ(::stat(pathOf(u"out/copy1").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_NE(status.st_mtim.tv_sec, 1234567890);

  // The same by URL; a link at the source is refused there too.
  ASSERT_THAT(copyFileContentsAtURL(at(u"library/payload/note.rtf"), at(u"out/by-url")), IsOk());
  EXPECT_EQ(read(u"out/by-url"), "content");
  EXPECT_THAT(copyFileContentsAtURL(at(u"library/payload/link.rtf"), at(u"out/x")),
              IsPlatformError(FileErrorCode::kSymbolicLink));

  // What stands at the destination stays.
  write(u"out/taken.rtf", "somebody else's");
  EXPECT_THAT(library->copyFileWithoutLinks("payload/note.rtf", at(u"out/taken.rtf")),
              IsPlatformError(FileErrorCode::kFileExists));
  EXPECT_EQ(read(u"out/taken.rtf"), "somebody else's");

  using enum FolderHandle::EntryKind;
  auto payload = library->entriesWithoutLinks("payload");
  ASSERT_THAT(payload, IsOk());
  EXPECT_TRUE(payload->exists);
  const std::unordered_map<std::string, FolderHandle::EntryKind> expected = {
      {"note.rtf", kRegularFile},        {"empty.rtf", kRegularFile},
      {"large.pdf", kRegularFile},       {"pipe.rtf", kOther},
      {"link.rtf", kSymbolicLink},       {"sub", kFolder},
      {"inside-link.rtf", kSymbolicLink}};
  ASSERT_EQ(payload->entries.size(), expected.size());
  for (const auto& [name, kind] : payload->entries) {
    // Some file systems do not say what an entry is.
    EXPECT_TRUE(kind == kUnknown || expected.at(name) == kind) << name;
  }
  auto top = library->entriesWithoutLinks("");
  ASSERT_THAT(top, IsOk());
  EXPECT_EQ(top->entries.size(), 2u);
  auto missing = library->entriesWithoutLinks("nowhere/deeper");
  ASSERT_THAT(missing, IsOk());
  EXPECT_FALSE(missing->exists);
  EXPECT_THAT(library->entriesWithoutLinks("linked-folder"),
              IsPlatformError(FileErrorCode::kSymbolicLink));
  EXPECT_FALSE(library->entriesWithoutLinks("payload/..").ok());
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
  ASSERT_THAT(createDirectoryAtURL(at(u"library/payload"), true, 0700), IsOk());
  ASSERT_THAT(createDirectoryAtURL(at(u"out"), false, 0700), IsOk());
  auto library = FolderHandle::openAtPath(pathOf(u"library"));
  ASSERT_THAT(library, IsOk());
  const bool byHandle = !lookupsNeedTheCarefulWay(*library);
  const std::pair<const char*, void (*)(const std::string& path)> cases[] = {
      {"truncated", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 1000), 0); }},
      {"rewritten in place",
       [](const std::string& path) {
         ASSERT_TRUE(std::fstream(path, std::ios::in | std::ios::out) << "new");
         const struct timespec times[2] = {{1000, 0}, {1000, 0}};
         ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
       }},
      {"growing without end",
       [](const std::string& path) {
         ASSERT_TRUE(std::ofstream(path, std::ios::app) << std::string(1 << 16, 'm'));
       }},
  };
  const std::string content(200 * 1024 + 17, 'c');
  int number = 0;
  for (const auto& [what, changeSource] : cases) {
    for (bool handle : {false, true}) {
      if (handle && !byHandle) {
        continue;
      }
      SCOPED_TRACE(std::string(what) + (handle ? " (folder handle)" : " (URL)"));
      const std::u16string name = u"source" + fromUtf8(std::to_string(++number)) + u".pdf";
      write(u"library/payload/" + name, content);
      SourceChange change{pathOf(u"library/payload/" + name), changeSource};
      currentSourceChange = &change;
      setContentCopyObserverForTesting(changeCurrentSource);
      Result<void> copied =
          handle ? library->copyFileWithoutLinks("payload/" + toUtf8(name), at(u"out/" + name))
                 : copyFileContentsAtURL(at(u"library/payload/" + name), at(u"out/" + name));
      setContentCopyObserverForTesting(nullptr);
      EXPECT_THAT(copied,
                  IsPlatformError(FileErrorCode::kChangedWhileCopied, HasSubstr(toUtf8(name))));
      EXPECT_FALSE(itemIsReachableAtURL(at(u"out/" + name)));
      // The copy stops at the size it saw first, whatever comes after.
      EXPECT_LE(change.calls, 4);
    }
  }
}

TEST_F(FilesTest, CopyChecksTheSourceAgainstTheStatusItWasOpenedWith) {
  write(u"source.rtf", "as opened");
  ScopedDescriptor input(::open(pathOf(u"source.rtf").c_str(), O_RDONLY | O_CLOEXEC));
  struct stat opened {};
  ASSERT_EQ(::fstat(input.get(), &opened), 0);
  // Written to between the opening and the copy: the size it was opened with no longer holds.
  ASSERT_TRUE(std::ofstream(pathOf(u"source.rtf"), std::ios::app) << ", then more");
  const struct stat* const statuses[] = {&opened, nullptr};
  for (const struct stat* given : statuses) {
    SCOPED_TRACE(given != nullptr ? "status from the opening" : "status taken now");
    const std::u16string name = given != nullptr ? u"stale.rtf" : u"fresh.rtf";
    auto file = ExclusiveFile::createAtURL(at(name));
    ASSERT_THAT(file, IsOk());
    Result<void> copied = file->copyContentFrom(input.get(), "source.rtf", nullptr, nullptr, given);
    if (given != nullptr) {
      EXPECT_THAT(copied, IsPlatformError(FileErrorCode::kChangedWhileCopied, HasSubstr("source")));
    } else {
      EXPECT_THAT(copied, IsOk());
      ASSERT_THAT(file->finish(), IsOk());
      EXPECT_EQ(read(name), "as opened, then more");
    }
  }
}

}  // namespace
}  // namespace zv::platform
