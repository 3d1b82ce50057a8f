#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"

namespace zv::platform {

/// File operations name their failures so; the codes are the platform domain's own.
using FileErrorCode = PlatformErrorCode;

/// An error of kPlatformErrorDomain with the given code.
Error makeFileError(FileErrorCode code, std::u16string description);

/// Turns an errno value of a failed operation on `path` into an error naming the path.
Error makeFileErrorFromErrno(int errorNumber, std::string_view path);

/// True when an error is the file error with this code.
bool isFileError(const Error& error, FileErrorCode code);

/// True when an item (file, folder, or a symbolic link itself, which is not followed) exists at
/// the file URL. An unreachable folder reads as "nothing there".
bool itemIsReachableAtURL(const URL& url);

/// True when a real folder (not a link to one) stands at the file URL.
bool directoryExistsAtURL(const URL& url);

/// Removes the item and, for a folder, everything in it. Symbolic links inside are removed as
/// links; what they point to stays. A folder mounted inside the tree is never descended into:
/// the removal fails there (kOnAnotherFileSystem) and the mounted content stays. Refuses "/",
/// the home folder and paths with "." or ".." components, which could name either of them.
Result<void> removeItemAtURL(const URL& url);

/// Creates the folder with `mode` (less the umask). With intermediates, missing parents are made
/// with the same mode and an existing folder is success; without, the parent must exist and the
/// folder must not. A symbolic link where the folder should be is an error, never followed.
Result<void> createDirectoryAtURL(const URL& url, bool withIntermediateDirectories, mode_t mode);

/// Moves an item to a destination that must not exist; the destination is never replaced
/// (kFileExists when taken). Across file systems the item is copied, then the original removed.
Result<void> moveItemAtURLWithoutReplacing(const URL& source, const URL& destination);

/// Puts a file into `folder` under the first free name: `nameForAttempt(n)` proposes the n-th name
/// (from 0), and `placeAt(url)` tries to put the file there without replacing anything, as a
/// move, copy or new file of this layer does. kFileExists moves on to the next name; any other
/// failure, or the failure of the last of `maximumAttempts` names, is returned as it stands.
/// The bound keeps a folder that refuses every name from holding the caller forever.
template <typename NameForAttempt, typename PlaceAt>
Result<URL> placeFileUnderFreeName(const URL& folder, int maximumAttempts,
                                   NameForAttempt&& nameForAttempt, PlaceAt&& placeAt) {
  Error lastError = makeFileError(FileErrorCode::kFileExists, folder.path());
  for (int attempt = 0; attempt < maximumAttempts; ++attempt) {
    URL candidate = folder.appendingPathComponent(nameForAttempt(attempt));
    Result<void> placed = placeAt(candidate);
    if (placed) {
      return candidate;
    }
    lastError = placed.error();
    if (!isFileError(lastError, FileErrorCode::kFileExists)) {
      break;
    }
  }
  return lastError;
}

/// Copies a file or a folder tree to a destination that must not exist. Symbolic links are
/// copied as links; modes, modification dates and user extended attributes go along.
Result<void> copyItemAtURL(const URL& source, const URL& destination);

/// Copies the content of a regular file to a new file at `destination`, which must not exist.
/// A symbolic link at the source is refused (kSymbolicLink), not followed. The copy is a new file
/// private to the user (0600): the source's mode, dates and attributes stay behind. A source that
/// changes while it is copied fails the copy with kChangedWhileCopied; so does every other copy
/// of a file's content here.
Result<void> copyFileContentsAtURL(const URL& source, const URL& destination);

/// Called after each chunk a copy of a file's content moves, with the bytes copied so far.
using ContentCopyObserver = void (*)(std::uint64_t bytesCopied);

/// For tests only: lets a test change a source in the middle of its copy. Null, the default,
/// calls nothing. Set it only while no copy runs on another thread.
void setContentCopyObserverForTesting(ContentCopyObserver observer);

/// The whole content of a regular file (a link to one is followed). A file larger than
/// maximumSize is refused (kFileTooLarge) before it is read, so that a huge or growing file
/// handed to us cannot fill memory.
Result<std::vector<std::uint8_t>> readFileAtURL(const URL& url, std::size_t maximumSize = SIZE_MAX);

/// A regular file read a piece at a time, with the checks and errors of readFileAtURL: for a file
/// too large to be worth holding whole while it is read.
class FileReader {
 public:
  static Result<FileReader> openAtURL(const URL& url, std::size_t maximumSize = SIZE_MAX);

  /// The file's size when it was opened; a hint only, since the file may change.
  std::size_t sizeHint() const { return sizeHint_; }
  /// The next bytes, up to the buffer's size; 0 at the end. Past maximumSize bytes in all it
  /// fails with kFileTooLarge.
  Result<std::size_t> read(std::span<std::uint8_t> buffer);

 private:
  FileReader(ScopedDescriptor file, std::string path, std::size_t sizeHint,
             std::size_t maximumSize);

  ScopedDescriptor file_;
  std::string path_;
  std::size_t sizeHint_;
  std::size_t maximumSize_;
  std::size_t bytesRead_ = 0;
};

/// A folder held open: paths below it are looked up from it, whatever happens to the path that
/// led to it, and never through a symbolic link. Lookups fail with kSymbolicLink when a link
/// stands on the path, and also where the system cannot look paths up without following links:
/// the caller then has to resolve the path its own careful way. An absolute path or one with
/// "." or ".." is kInvalidPath.
class FolderHandle {
 public:
  /// Opens the folder at a path (a link to the folder is followed).
  static Result<FolderHandle> openAtPath(const std::string& path);

  enum class EntryKind { kRegularFile, kFolder, kSymbolicLink, kOther, kUnknown };
  struct FolderEntries {
    /// False when the folder does not exist; the entries are then empty.
    bool exists = true;
    /// By name; kUnknown where the file system does not say.
    std::unordered_map<std::string, EntryKind> entries;
  };

  /// The entries of the folder at a path relative to this one ("" for this one itself). One
  /// listing answers for many files.
  Result<FolderEntries> entriesWithoutLinks(const std::string& relativePath) const;

  /// Copies the content of the regular file at a path relative to the folder to `destination`,
  /// which must not exist (kFileExists), as copyFileContentsAtURL does.
  Result<void> copyFileWithoutLinks(const std::string& relativePath, const URL& destination) const;

  /// Opens the file at a path relative to the folder for reading, as copyFileWithoutLinks reads
  /// it; the caller checks that it is a regular file.
  Result<ScopedDescriptor> openForReadingWithoutLinks(const std::string& relativePath) const {
    return openWithoutLinks(relativePath, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  }

  /// Opens the folder at a path relative to this one only to look names up in it (O_PATH).
  Result<ScopedDescriptor> openFolderWithoutLinks(const std::string& relativePath) const {
    return openWithoutLinks(relativePath, O_PATH | O_DIRECTORY);
  }

 private:
  explicit FolderHandle(ScopedDescriptor descriptor) : descriptor_(std::move(descriptor)) {}
  // An open descriptor for the file at the path, or one of the lookup errors above.
  Result<ScopedDescriptor> openWithoutLinks(const std::string& relativePath, int flags) const;

  ScopedDescriptor descriptor_;
};

enum class WriteMode {
  /// Fails with kFileExists when anything, a dangling link included, stands at the path.
  kCreateNew,
  /// Creates the file or replaces the content of an existing regular file in place; a symbolic
  /// link or a non-regular file at the path is refused.
  kReplaceExisting,
};

/// Writes the bytes as the file's whole content. A new file gets `mode` (less the umask). A new
/// file that cannot be written completely is removed again.
Result<void> writeFileAtURL(const URL& url, std::span<const std::uint8_t> bytes, WriteMode mode,
                            mode_t permissions = 0644);

/// Like writeFileAtURL with bytes, with the whole content of the open regular file `content`
/// (read from its start) as the bytes: a file too large to hold in memory.
Result<void> writeFileAtURL(const URL& url, int content, WriteMode mode, mode_t permissions = 0644);

/// Writes the bytes as the file's whole content so that neither a reader nor a crash ever meets
/// a half-written file: they go to a new temporary file in the same folder, which then takes the
/// name. kCreateNew never replaces what stands at the path (kFileExists) and gives the new file
/// `permissions` (less the umask). kReplaceExisting takes the place of a regular file there,
/// keeping its permissions, owner where allowed, creation date, hidden-extension flag and other
/// user extended attributes, and reaches the disk before and after the rename, so that after a
/// crash the path holds the old content or the new, whole; a symbolic link or a non-regular file
/// at the path is refused. A failed write leaves what stood at the path untouched and no
/// temporary file behind. With kAlways, a new file reaches the disk the same way, for files
/// whose loss after a crash costs the user more than the wait does (settings, not exports).
enum class WriteDurability { kWhenReplacing, kAlways };
Result<void> writeFileAtomicallyAtURL(const URL& url, std::span<const std::uint8_t> bytes,
                                      WriteMode mode, mode_t permissions = 0644,
                                      WriteDurability durability = WriteDurability::kWhenReplacing);

struct DirectoryListingOptions {
  /// Descends into subfolders (never through symbolic links).
  bool recursive = false;
  /// Leaves out items whose name starts with "." (and, when recursive, what is inside them).
  bool skipsHiddenFiles = false;
};

/// The items in a folder, sorted by path; folders come as directory URLs.
Result<std::vector<URL>> contentsOfDirectoryAtURL(const URL& url,
                                                  DirectoryListingOptions options = {});

}  // namespace zv::platform
