#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <system_error>
#include <utility>

#include "platform/file_attributes.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

FileErrorCode codeForErrno(int errorNumber) {
  switch (errorNumber) {
    case ENOENT:
      return FileErrorCode::kFileNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return FileErrorCode::kFileExists;
    case EACCES:
    case EPERM:
      return FileErrorCode::kPermissionDenied;
    case ENOTDIR:
      return FileErrorCode::kNotADirectory;
    case EISDIR:
      return FileErrorCode::kIsADirectory;
    case ELOOP:
      return FileErrorCode::kSymbolicLink;
    case ENOSPC:
    case EDQUOT:
      return FileErrorCode::kVolumeFull;
    case EROFS:
      return FileErrorCode::kReadOnlyVolume;
    case ENAMETOOLONG:
      return FileErrorCode::kNameTooLong;
    default:
      return FileErrorCode::kUnknown;
  }
}

std::u16string describedPath(std::string_view path) {
  return fromUtf8(path);
}

Error errorForPath(FileErrorCode code, std::u16string_view reason, std::string_view path) {
  return makeFileError(
      code, formatLocalized(u"%@ (“%@”)", {std::u16string(reason), describedPath(path)}));
}

// The file-system path of a file URL, refused when it cannot name the item safely.
Result<std::string> checkedPath(const URL& url) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {url.absoluteString()}));
  }
  std::string path = url.fileSystemPath();
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    return errorForPath(FileErrorCode::kInvalidPath, localized(u"Invalid file path"), path);
  }
  return path;
}

// Both ends of a move or copy, each refused when it cannot name an item safely.
Result<std::pair<std::string, std::string>> checkedPaths(const URL& source,
                                                         const URL& destination) {
  ZV_ASSIGN_OR_RETURN(std::string from, checkedPath(source));
  ZV_ASSIGN_OR_RETURN(std::string to, checkedPath(destination));
  return std::pair(std::move(from), std::move(to));
}

std::pair<std::string, std::string> splitParentAndName(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  return {parent, path.substr(slash + 1)};
}

bool hasDotComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view component = path.substr(start, slash - start);
    if (component == "." || component == "..") {
      return true;
    }
    if (slash == std::string_view::npos) {
      return false;
    }
    start = slash + 1;
  }
  return false;
}

std::optional<std::string> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home);
  }
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

bool sameItem(const struct stat& a, const char* path) {
  struct stat b {};
  return ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::vector<std::string> directoryEntryNames(DIR* directory) {
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

// Where a folder lies: its device and, where the system tells, its mount. A bind mount of a
// folder of the same file system shares the device, so only the mount tells it apart.
struct FileSystemPlace {
  dev_t device = 0;
  std::optional<std::uint64_t> mount;

  bool sameAs(const FileSystemPlace& other) const {
    return device == other.device && (!mount || !other.mount || *mount == *other.mount);
  }
};

std::optional<FileSystemPlace> placeOfOpenItem(int descriptor) {
  struct statx status {};
  if (::statx(descriptor, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) == 0) {
    FileSystemPlace place{::makedev(status.stx_dev_major, status.stx_dev_minor), std::nullopt};
    if ((status.stx_mask & STATX_MNT_ID) != 0) {
      place.mount = status.stx_mnt_id;
    }
    return place;
  }
  struct stat plain {};
  if (::fstat(descriptor, &plain) != 0) {
    return std::nullopt;
  }
  return FileSystemPlace{plain.st_dev, std::nullopt};
}

Result<void> removeEntryAt(int parent, const std::string& name, const std::string& path,
                           const std::optional<FileSystemPlace>& top);

// Removes a folder's content through descriptors opened without following links, so a link
// planted anywhere in the tree (even while we work) is unlinked, never descended. Nor is a
// folder mounted inside the tree: its content belongs to another file system, not to us. The
// check is made on the descriptor we descend through, so a mount made meanwhile cannot slip by.
Result<void> removeTreeAt(int parent, const std::string& name, const std::string& path,
                          const std::optional<FileSystemPlace>& top) {
  ScopedDescriptor folder(
      ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) {
    if (errno == ENOTDIR || errno == ELOOP) {
      return removeEntryAt(parent, name, path, top);
    }
    return makeFileErrorFromErrno(errno, path);
  }
  std::optional<FileSystemPlace> place = placeOfOpenItem(folder.get());
  if (!place) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (top && !place->sameAs(*top)) {
    return errorForPath(FileErrorCode::kOnAnotherFileSystem,
                        localized(u"Refusing to remove a folder that lies on another file system"),
                        path);
  }
  // A folder without write permission for us would keep its content; it is ours to delete, so
  // give ourselves the right first.
  struct stat status {};
  if (::fstat(folder.get(), &status) == 0 && status.st_uid == ::geteuid() &&
      (status.st_mode & S_IRWXU) != S_IRWXU) {
    ::fchmod(folder.get(), (status.st_mode & 07777) | S_IRWXU);
  }
  ScopedDirectoryStream listing = directoryStreamOf(ScopedDescriptor(::dup(folder.get())));
  if (!listing) {
    return makeFileErrorFromErrno(errno, path);
  }
  std::vector<std::string> names = directoryEntryNames(listing.get());
  // Closed before descending, so that a deep tree does not hold a stream open per level.
  listing.reset();
  for (const std::string& child : names) {
    std::string childPath = path + "/" + child;
    ZV_TRY(removeEntryAt(folder.get(), child, childPath, top ? top : place));
  }
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  return {};
}

// `top` is where the tree being removed lies; nothing when this entry is the tree itself.
Result<void> removeEntryAt(int parent, const std::string& name, const std::string& path,
                           const std::optional<FileSystemPlace>& top) {
  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Result<void>() : makeFileErrorFromErrno(errno, path);
  }
  if (S_ISDIR(status.st_mode)) {
    return removeTreeAt(parent, name, path, top);
  }
  if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
    return makeFileErrorFromErrno(errno, path);
  }
  return {};
}

Result<void> writeAll(int descriptor, std::span<const std::uint8_t> bytes,
                      const std::string& path) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = retryOnInterrupt(
        [&] { return ::write(descriptor, bytes.data() + written, bytes.size() - written); });
    if (count < 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    written += static_cast<size_t>(count);
  }
  return {};
}

// What one read gives, up to the buffer's size (zero at the end of the file); a read that a
// signal interrupts is tried again.
Result<size_t> readSome(int descriptor, std::span<std::uint8_t> buffer, const std::string& path) {
  const ssize_t count =
      retryOnInterrupt([&] { return ::read(descriptor, buffer.data(), buffer.size()); });
  if (count < 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  return static_cast<size_t>(count);
}

// User extended attributes carry our creation dates and hidden-extension flags; losing them on
// a copy would lose those. Best effort: a volume without them is no reason to fail.
void copyExtendedAttributes(int source, int destination) {
  ssize_t size = ::flistxattr(source, nullptr, 0);
  if (size <= 0) {
    return;
  }
  std::string names(static_cast<size_t>(size), '\0');
  size = ::flistxattr(source, names.data(), names.size());
  if (size <= 0) {
    return;
  }
  names.resize(static_cast<size_t>(size));
  for (size_t start = 0; start < names.size();) {
    std::string name = names.c_str() + start;
    start += name.size() + 1;
    if (!name.starts_with("user.")) {
      continue;
    }
    ssize_t valueSize = ::fgetxattr(source, name.c_str(), nullptr, 0);
    if (valueSize < 0) {
      continue;
    }
    std::vector<char> value(static_cast<size_t>(valueSize));
    valueSize = ::fgetxattr(source, name.c_str(), value.data(), value.size());
    if (valueSize >= 0) {
      ::fsetxattr(destination, name.c_str(), value.data(), static_cast<size_t>(valueSize), 0);
    }
  }
}

void copyMetadata(int destination, const struct stat& status, int source) {
  copyExtendedAttributes(source, destination);
  ::fchmod(destination, status.st_mode & 07777);
  const struct timespec times[2] = {status.st_atim, status.st_mtim};
  ::futimens(destination, times);
}

std::atomic<ContentCopyObserver> contentCopyObserver{nullptr};

void reportCopyProgress(std::uint64_t copied) {
  if (ContentCopyObserver observer = contentCopyObserver.load(std::memory_order_relaxed)) {
    observer(copied);
  }
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether the open source is still what `before` saw, now that `copied` bytes of it were copied:
// otherwise the copy mixes two versions of the file, or misses its end.
Result<void> checkUnchangedAfterCopy(int input, const struct stat& before, std::uint64_t copied,
                                     const std::string& source) {
  // One byte more than the size promised: a file growing, or one whose size means nothing.
  std::uint8_t beyond = 0;
  ZV_ASSIGN_OR_RETURN(size_t extra, readSome(input, std::span(&beyond, 1), source));
  struct stat after {};
  if (::fstat(input, &after) != 0) {
    return makeFileErrorFromErrno(errno, source);
  }
  if (copied != static_cast<std::uint64_t>(before.st_size) || extra != 0 ||
      after.st_size != before.st_size || !sameTime(after.st_mtim, before.st_mtim) ||
      !sameTime(after.st_ctim, before.st_ctim)) {
    return makeFileError(FileErrorCode::kChangedWhileCopied,
                         formatLocalized(u"The file “%@” changed while it was being copied.",
                                         {describedPath(source)}));
  }
  return {};
}

// Copies `input` to `output` up to the size `status` saw, and no further, so that a file that
// keeps growing cannot keep the copy going. copy_file_range keeps the bytes in the kernel; where
// it cannot serve these two files, read and write take over from where it stopped.
Result<void> copyContent(int input, int output, const struct stat& status,
                         const std::string& source, const std::string& destination) {
  const auto size = static_cast<std::uint64_t>(status.st_size);
  std::uint64_t copied = 0;
  while (copied < size) {
    const std::uint64_t chunk = std::min<std::uint64_t>(size - copied, 1 << 30);
    const ssize_t count = retryOnInterrupt(
        [&] { return ::copy_file_range(input, nullptr, output, nullptr, chunk, 0); });
    if (count > 0) {
      copied += static_cast<std::uint64_t>(count);
      reportCopyProgress(copied);
      continue;
    }
    // Nothing: the file ended early, or lives on a file system whose sizes mean something else.
    if (count == 0) {
      break;
    }
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EPERM) {
      return makeFileErrorFromErrno(errno, copied == 0 ? source : destination);
    }
    break;
  }
  if (copied < size) {
    // Left uninitialised: zeroing 64 KiB for every small file cost more than copying it.
    constexpr size_t kBufferSize = 1 << 16;
    std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[kBufferSize]);
    std::span<std::uint8_t> buffer(storage.get(), kBufferSize);
    while (copied < size) {
      ZV_ASSIGN_OR_RETURN(
          size_t count,
          readSome(input, buffer.first(std::min<std::uint64_t>(size - copied, kBufferSize)),
                   source));
      if (count == 0) {
        break;
      }
      ZV_TRY(writeAll(output, buffer.first(count), destination));
      copied += count;
      reportCopyProgress(copied);
    }
  }
  return checkUnchangedAfterCopy(input, status, copied, source);
}

enum class CopiedMetadata { kContentOnly, kModeDatesAndAttributes };

// Copies the open regular file to a new file at `destination`, created private to the user; a
// file that cannot be copied whole is removed again.
Result<void> copyOpenRegularFile(int input, const struct stat& status, const std::string& source,
                                 const std::string& destination, CopiedMetadata metadata) {
  if (!S_ISREG(status.st_mode)) {
    return errorForPath(FileErrorCode::kNotARegularFile, localized(u"Not a regular file"), source);
  }
  ScopedDescriptor output(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!output.valid()) {
    return makeFileErrorFromErrno(errno, destination);
  }
  Result<void> result = copyContent(input, output.get(), status, source, destination);
  if (result && metadata == CopiedMetadata::kModeDatesAndAttributes) {
    copyMetadata(output.get(), status, input);
  }
  if (::close(output.release()) != 0 && result) {
    result = makeFileErrorFromErrno(errno, destination);
  }
  if (!result) {
    ::unlink(destination.c_str());
  }
  return result;
}

Result<void> copyRegularFile(const std::string& source, const std::string& destination) {
  ScopedDescriptor input(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!input.valid() || ::fstat(input.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, source);
  }
  return copyOpenRegularFile(input.get(), status, source, destination,
                             CopiedMetadata::kModeDatesAndAttributes);
}

Result<void> copyTree(const std::string& source, const std::string& destination);

Result<void> copyDirectory(const std::string& source, const std::string& destination,
                           const struct stat& status) {
  // Private while it fills; the source's mode is put on at the end.
  if (::mkdir(destination.c_str(), 0700) != 0) {
    return makeFileErrorFromErrno(errno, destination);
  }
  ScopedDirectoryStream listing = openDirectoryStream(source.c_str());
  if (!listing) {
    return makeFileErrorFromErrno(errno, source);
  }
  std::vector<std::string> names = directoryEntryNames(listing.get());
  // Closed before descending, so that a deep tree does not hold a stream open per level.
  listing.reset();
  for (const std::string& name : names) {
    ZV_TRY(copyTree(source + "/" + name, destination + "/" + name));
  }
  ScopedDescriptor input(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  ScopedDescriptor output(
      ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (input.valid() && output.valid()) {
    copyMetadata(output.get(), status, input.get());
  }
  return {};
}

Result<void> copyTree(const std::string& source, const std::string& destination) {
  struct stat status {};
  if (::lstat(source.c_str(), &status) != 0) {
    return makeFileErrorFromErrno(errno, source);
  }
  if (S_ISLNK(status.st_mode)) {
    std::string target(static_cast<size_t>(status.st_size) + 1, '\0');
    ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size()) {
      return makeFileErrorFromErrno(length < 0 ? errno : EIO, source);
    }
    target.resize(static_cast<size_t>(length));
    if (::symlink(target.c_str(), destination.c_str()) != 0) {
      return makeFileErrorFromErrno(errno, destination);
    }
    return {};
  }
  if (S_ISDIR(status.st_mode)) {
    return copyDirectory(source, destination, status);
  }
  if (S_ISREG(status.st_mode)) {
    return copyRegularFile(source, destination);
  }
  return errorForPath(FileErrorCode::kNotARegularFile, localized(u"Not a regular file"), source);
}

// For volumes without RENAME_NOREPLACE: a hard link fails atomically when the name is taken.
// Folders, and volumes without hard links, fall back to a check before the rename, whose small
// window is the best such a volume allows.
Result<void> moveWithoutNoReplaceSupport(const std::string& source,
                                         const std::string& destination) {
  struct stat status {};
  if (::lstat(source.c_str(), &status) != 0) {
    return makeFileErrorFromErrno(errno, source);
  }
  if (!S_ISDIR(status.st_mode)) {
    if (::link(source.c_str(), destination.c_str()) == 0) {
      ::unlink(source.c_str());
      return {};
    }
    if (errno == EEXIST) {
      return makeFileErrorFromErrno(errno, destination);
    }
  }
  if (::lstat(destination.c_str(), &status) == 0) {
    return makeFileErrorFromErrno(EEXIST, destination);
  }
  if (::rename(source.c_str(), destination.c_str()) != 0) {
    return makeFileErrorFromErrno(errno, destination);
  }
  return {};
}

void listDirectory(const std::string& path, DirectoryListingOptions options,
                   std::vector<URL>& items, int depth) {
  ScopedDirectoryStream listing = openDirectoryStream(path.c_str());
  if (!listing) {
    return;
  }
  std::vector<std::string> names = directoryEntryNames(listing.get());
  // Closed before descending, so that a deep tree does not hold a stream open per level.
  listing.reset();
  for (const std::string& name : names) {
    if (options.skipsHiddenFiles && name.starts_with('.')) {
      continue;
    }
    std::string childPath = path == "/" ? "/" + name : path + "/" + name;
    struct stat status {};
    bool isDirectory = ::lstat(childPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    items.push_back(URL::fileURLWithFileSystemPath(childPath, isDirectory));
    // Deep enough for any real tree; a bound keeps a pathological one from exhausting the stack.
    if (isDirectory && options.recursive && depth < 256) {
      listDirectory(childPath, options, items, depth + 1);
    }
  }
}

Result<void> copyTreeRemovingPartialCopy(const std::string& source, const URL& destination) {
  const std::string to = destination.fileSystemPath();
  struct stat status {};
  if (::lstat(to.c_str(), &status) == 0) {
    return makeFileErrorFromErrno(EEXIST, to);
  }
  Result<void> copied = copyTree(source, to);
  // Another process may have taken the name since the check above; what it made is not ours.
  if (!copied && !isFileError(copied.error(), FileErrorCode::kFileExists) &&
      itemIsReachableAtURL(destination)) {
    // Whatever stands there now was made by this copy: the destination did not exist above and
    // the copy's top item is created exclusively, so a failed copy leaves nothing half-made.
    removeItemAtURL(destination).ignoreError();
  }
  return copied;
}

// Tries before giving up on an unused temporary name; a clash is already unlikely.
constexpr int kTemporaryNameAttempts = 16;

// Hidden, so that a listing of the folder skips a file left by a crash between creating and
// renaming it; short, so that it fits wherever the final name fits.
std::string randomTemporaryName() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = ".zv-write-";
  std::uint64_t bits = generator();
  for (int i = 0; i < 16; ++i, bits >>= 4) {
    name.push_back(kDigits[bits & 0xf]);
  }
  return name + ".tmp";
}

// The file an atomic write is to replace, opened without following a link; an invalid
// descriptor when there is none.
Result<ScopedDescriptor> openReplacedFile(int folder, const std::string& name, struct stat& status,
                                          const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted under the name from blocking until fstat refuses it.
  ScopedDescriptor file(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) {
      return ScopedDescriptor();
    }
    return makeFileErrorFromErrno(errno, path);
  }
  if (::fstat(file.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (!S_ISREG(status.st_mode)) {
    return errorForPath(FileErrorCode::kNotARegularFile, localized(u"Not a regular file"), path);
  }
  return file;
}

// Makes the new file what the old one was apart from its content: a replacing write must not
// widen a private file's permissions or reset the dates and flags the user sees.
Result<void> takeOverMetadata(int replaced, const struct stat& status, int file,
                              const std::string& path) {
  // Best effort: only root may give a file away, and a group we are not in is refused too.
  static_cast<void>(::fchown(file, status.st_uid, status.st_gid));
  if (::fchmod(file, status.st_mode & 07777) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  copyExtendedAttributes(replaced, file);
  return copyCreationDate(replaced, file, path);
}

// Writes the temporary file in full; the caller removes it when this fails.
Result<void> writeTemporaryFile(int file, std::span<const std::uint8_t> bytes, int replaced,
                                const struct stat& replacedStatus, const std::string& path) {
  ZV_TRY(writeAll(file, bytes, path));
  if (replaced >= 0) {
    ZV_TRY(takeOverMetadata(replaced, replacedStatus, file, path));
    if (::fsync(file) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
  }
  return {};
}

// Gives the temporary file its final name. A new file never takes a name that is taken; on
// volumes without RENAME_NOREPLACE a hard link, which fails when the name is taken, does it.
Result<void> renameTemporaryFile(int folder, const std::string& temporary, const std::string& name,
                                 WriteMode mode, const std::string& path) {
  if (mode == WriteMode::kReplaceExisting) {
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    return {};
  }
  if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  ::unlinkat(folder, temporary.c_str(), 0);
  return {};
}

}  // namespace

Error makeFileError(FileErrorCode code, std::u16string description) {
  return makePlatformError(static_cast<std::int64_t>(code), std::move(description));
}

Error makeFileErrorFromErrno(int errorNumber, std::string_view path) {
  std::string reason = std::system_category().message(errorNumber);
  return errorForPath(codeForErrno(errorNumber), localized(fromUtf8(reason)), path);
}

bool isFileError(const Error& error, FileErrorCode code) {
  return error.domain == kPlatformErrorDomain && error.code == static_cast<std::int64_t>(code);
}

bool itemIsReachableAtURL(const URL& url) {
  Result<std::string> path = checkedPath(url);
  struct stat status {};
  return path && ::lstat(path->c_str(), &status) == 0;
}

bool directoryExistsAtURL(const URL& url) {
  Result<std::string> path = checkedPath(url);
  struct stat status {};
  return path && ::lstat(path->c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

Result<void> removeItemAtURL(const URL& url) {
  ZV_ASSIGN_OR_RETURN(const std::string path, checkedPath(url));
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  std::optional<std::string> home = homeFolder();
  if (path == "/" || hasDotComponent(path) || sameItem(status, "/") ||
      (home && sameItem(status, home->c_str()))) {
    return errorForPath(FileErrorCode::kInvalidPath, localized(u"Refusing to remove this folder"),
                        path);
  }
  auto [parentPath, name] = splitParentAndName(path);
  ScopedDescriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) {
    return makeFileErrorFromErrno(errno, parentPath);
  }
  return removeEntryAt(parent.get(), name, path, std::nullopt);
}

Result<void> createDirectoryAtURL(const URL& url, bool withIntermediateDirectories, mode_t mode) {
  ZV_ASSIGN_OR_RETURN(const std::string path, checkedPath(url));
  size_t start = withIntermediateDirectories ? 1 : path.size();
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    bool last = slash == std::string::npos;
    std::string prefix = path.substr(0, last ? path.size() : slash);
    start = last ? path.size() + 1 : slash + 1;
    if (::mkdir(prefix.c_str(), mode) == 0) {
      continue;
    }
    if (errno != EEXIST) {
      return makeFileErrorFromErrno(errno, prefix);
    }
    struct stat status {};
    if (!last) {
      if (::stat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return makeFileErrorFromErrno(ENOTDIR, prefix);
      }
      continue;
    }
    if (!withIntermediateDirectories || ::lstat(prefix.c_str(), &status) != 0) {
      return makeFileErrorFromErrno(EEXIST, prefix);
    }
    if (S_ISLNK(status.st_mode)) {
      return makeFileErrorFromErrno(ELOOP, prefix);
    }
    if (!S_ISDIR(status.st_mode)) {
      return makeFileErrorFromErrno(EEXIST, prefix);
    }
  }
  return {};
}

Result<void> moveItemAtURLWithoutReplacing(const URL& source, const URL& destination) {
  ZV_ASSIGN_OR_RETURN(auto paths, checkedPaths(source, destination));
  const auto& [from, to] = paths;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
    return moveWithoutNoReplaceSupport(from, to);
  }
  if (errno != EXDEV) {
    int error = errno;
    // Name the side that failed: a missing destination folder is not a missing source.
    struct stat status {};
    bool sourceExists = ::lstat(from.c_str(), &status) == 0;
    return makeFileErrorFromErrno(error, error == EEXIST || sourceExists ? to : from);
  }
  ZV_TRY(copyTreeRemovingPartialCopy(from, destination));
  // The item is whole at its destination; a source that cannot be removed only leaves a
  // duplicate behind, which is no reason to report the move as failed.
  removeItemAtURL(source).ignoreError();
  return {};
}

Result<void> copyItemAtURL(const URL& source, const URL& destination) {
  ZV_ASSIGN_OR_RETURN(auto paths, checkedPaths(source, destination));
  // The destination is checked only: the copy works from its URL.
  return copyTreeRemovingPartialCopy(paths.first, destination);
}

Result<FolderHandle> FolderHandle::openAtPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    return errorForPath(FileErrorCode::kInvalidPath, localized(u"Invalid file path"), path);
  }
  ScopedDescriptor descriptor(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!descriptor.valid()) {
    return makeFileErrorFromErrno(errno, path);
  }
  return FolderHandle(std::move(descriptor));
}

Result<ScopedDescriptor> FolderHandle::openWithoutLinks(const std::string& relativePath,
                                                        int flags) const {
  if (relativePath.empty() || relativePath.front() == '/' ||
      relativePath.find('\0') != std::string::npos || hasDotComponent(relativePath)) {
    return errorForPath(FileErrorCode::kInvalidPath, localized(u"Invalid file path"), relativePath);
  }
  struct open_how how {};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long descriptor =
      ::syscall(SYS_openat2, descriptor_.get(), relativePath.c_str(), &how, sizeof how);
  if (descriptor >= 0) {
    return ScopedDescriptor(static_cast<int>(descriptor));
  }
  const int error = errno;
  // ELOOP is the link; the others are kernels or sandboxes without openat2 or its resolve flags.
  if (error == ELOOP || error == EXDEV || error == ENOSYS || error == EPERM || error == E2BIG ||
      error == EINVAL || error == EAGAIN) {
    return errorForPath(FileErrorCode::kSymbolicLink,
                        localized(u"Cannot look this path up without following links"),
                        relativePath);
  }
  return makeFileErrorFromErrno(error, relativePath);
}

Result<FolderHandle::FolderEntries> FolderHandle::entriesWithoutLinks(
    const std::string& relativePath) const {
  Result<ScopedDescriptor> opened = ScopedDescriptor();
  if (relativePath.empty()) {
    opened = ScopedDescriptor(::openat(descriptor_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened->valid()) {
      return makeFileErrorFromErrno(errno, ".");
    }
  } else {
    opened = openWithoutLinks(relativePath, O_RDONLY | O_DIRECTORY);
  }
  FolderEntries listing;
  if (!opened) {
    if (isFileError(opened.error(), FileErrorCode::kFileNotFound)) {
      listing.exists = false;
      return listing;
    }
    return opened.error();
  }
  ScopedDirectoryStream folder = directoryStreamOf(std::move(*opened));
  if (!folder) {
    return makeFileErrorFromErrno(errno, relativePath);
  }
  errno = 0;
  while (struct dirent* entry = ::readdir(folder.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    EntryKind kind = EntryKind::kOther;
    switch (entry->d_type) {
      case DT_REG:
        kind = EntryKind::kRegularFile;
        break;
      case DT_DIR:
        kind = EntryKind::kFolder;
        break;
      case DT_LNK:
        kind = EntryKind::kSymbolicLink;
        break;
      case DT_UNKNOWN:
        kind = EntryKind::kUnknown;
        break;
      default:
        break;
    }
    listing.entries.emplace(name, kind);
  }
  const int error = errno;
  folder.reset();
  if (error != 0) {
    return makeFileErrorFromErrno(error, relativePath);
  }
  return listing;
}

Result<void> FolderHandle::copyFileWithoutLinks(const std::string& relativePath,
                                                const URL& destination) const {
  ZV_ASSIGN_OR_RETURN(std::string to, checkedPath(destination));
  ZV_ASSIGN_OR_RETURN(const ScopedDescriptor input,
                      openWithoutLinks(relativePath, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (::fstat(input.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, relativePath);
  }
  return copyOpenRegularFile(input.get(), status, relativePath, to, CopiedMetadata::kContentOnly);
}

void setContentCopyObserverForTesting(ContentCopyObserver observer) {
  contentCopyObserver.store(observer, std::memory_order_relaxed);
}

Result<void> copyFileContentsAtURL(const URL& source, const URL& destination) {
  ZV_ASSIGN_OR_RETURN(auto paths, checkedPaths(source, destination));
  const auto& [from, to] = paths;
  ScopedDescriptor input(
      ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (!input.valid() || ::fstat(input.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, from);
  }
  return copyOpenRegularFile(input.get(), status, from, to, CopiedMetadata::kContentOnly);
}

Result<std::vector<std::uint8_t>> readFileAtURL(const URL& url, std::size_t maximumSize) {
  ZV_ASSIGN_OR_RETURN(std::string path, checkedPath(url));
  // Non-blocking, so that a FIFO planted under the name cannot hang us in open.
  ScopedDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (S_ISDIR(status.st_mode)) {
    return makeFileErrorFromErrno(EISDIR, path);
  }
  if (!S_ISREG(status.st_mode)) {
    return errorForPath(FileErrorCode::kNotARegularFile, localized(u"Not a regular file"), path);
  }
  auto tooLarge = [&] {
    return errorForPath(FileErrorCode::kFileTooLarge,
                        formatLocalized(u"The file is larger than %ld bytes",
                                        {static_cast<std::int64_t>(maximumSize)}),
                        path);
  };
  if (static_cast<std::uintmax_t>(status.st_size) > maximumSize) {
    return tooLarge();
  }
  std::vector<std::uint8_t> bytes;
  // The size is a hint only: a sparse or growing file must not make us reserve without bound.
  bytes.reserve(std::min<size_t>(static_cast<size_t>(status.st_size), size_t{1} << 26));
  std::uint8_t buffer[1 << 16];
  while (true) {
    ZV_ASSIGN_OR_RETURN(size_t count, readSome(file.get(), buffer, path));
    if (count == 0) {
      return bytes;
    }
    if (count > maximumSize - bytes.size()) {
      return tooLarge();
    }
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}

namespace {

// What both writeFileAtURL variants share; fill writes the content to the open, empty file.
template <typename Fill>
Result<void> writeFileContent(const URL& url, WriteMode mode, mode_t permissions, Fill&& fill) {
  ZV_ASSIGN_OR_RETURN(const std::string path, checkedPath(url));
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
  int descriptor = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, permissions);
  bool created = descriptor >= 0;
  if (!created && (errno != EEXIST || mode == WriteMode::kCreateNew)) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (!created) {
    // O_NOFOLLOW refuses a link; O_NONBLOCK keeps a FIFO from blocking until fstat refuses it.
    ScopedDescriptor existing(::open(path.c_str(), kFlags | O_NONBLOCK));
    struct stat status {};
    if (!existing.valid() || ::fstat(existing.get(), &status) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    if (!S_ISREG(status.st_mode)) {
      return errorForPath(FileErrorCode::kNotARegularFile, localized(u"Not a regular file"), path);
    }
    if (::ftruncate(existing.get(), 0) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    descriptor = existing.release();
  }
  ScopedDescriptor file(descriptor);
  Result<void> result = fill(file.get(), path);
  if (::close(file.release()) != 0 && result) {
    result = makeFileErrorFromErrno(errno, path);
  }
  if (!result && created) {
    ::unlink(path.c_str());
  }
  return result;
}

}  // namespace

Result<void> writeFileAtURL(const URL& url, std::span<const std::uint8_t> bytes, WriteMode mode,
                            mode_t permissions) {
  return writeFileContent(url, mode, permissions, [&](int file, const std::string& path) {
    return writeAll(file, bytes, path);
  });
}

Result<void> writeFileAtURL(const URL& url, int content, WriteMode mode, mode_t permissions) {
  return writeFileContent(url, mode, permissions, [&](int file, const std::string& path) {
    struct stat status {};
    if (::fstat(content, &status) != 0 || ::lseek(content, 0, SEEK_SET) != 0) {
      return Result<void>(makeFileErrorFromErrno(errno, path));
    }
    return copyContent(content, file, status, path, path);
  });
}

Result<void> writeFileAtomicallyAtURL(const URL& url, std::span<const std::uint8_t> bytes,
                                      WriteMode mode, mode_t permissions) {
  ZV_ASSIGN_OR_RETURN(const std::string path, checkedPath(url));
  const auto [parent, name] = splitParentAndName(path);
  if (name.empty()) {
    return makeFileErrorFromErrno(EISDIR, path);
  }
  ScopedDescriptor folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    return makeFileErrorFromErrno(errno, parent);
  }
  struct stat replacedStatus {};
  ScopedDescriptor replaced;
  if (mode == WriteMode::kReplaceExisting) {
    ZV_ASSIGN_OR_RETURN(replaced, openReplacedFile(folder.get(), name, replacedStatus, path));
  } else {
    // Saves writing a file only to find the name taken; the rename checks again.
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      return makeFileErrorFromErrno(EEXIST, path);
    }
  }
  std::string temporary;
  int descriptor = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && descriptor < 0; ++attempt) {
    temporary = randomTemporaryName();
    // A replacing write starts private and takes the old file's mode once written.
    descriptor = ::openat(folder.get(), temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          replaced.valid() ? 0600 : permissions);
    if (descriptor < 0 && errno != EEXIST) {
      return makeFileErrorFromErrno(errno, parent);
    }
  }
  if (descriptor < 0) {
    return makeFileErrorFromErrno(EEXIST, parent);
  }
  ScopedDescriptor file(descriptor);
  Result<void> result = writeTemporaryFile(file.get(), bytes, replaced.get(), replacedStatus, path);
  if (::close(file.release()) != 0 && result) {
    result = makeFileErrorFromErrno(errno, path);
  }
  if (result) {
    result = renameTemporaryFile(folder.get(), temporary, name, mode, path);
  }
  if (!result) {
    ::unlinkat(folder.get(), temporary.c_str(), 0);
    return result;
  }
  if (replaced.valid()) {
    // The rename reaches the disk with the folder. The new file is in place already, so a
    // failure here is no reason to report the write as failed.
    static_cast<void>(::fsync(folder.get()));
  }
  return {};
}

Result<std::vector<URL>> contentsOfDirectoryAtURL(const URL& url, DirectoryListingOptions options) {
  ZV_ASSIGN_OR_RETURN(std::string path, checkedPath(url));
  if (!openDirectoryStream(path.c_str())) {
    return makeFileErrorFromErrno(errno, path);
  }
  std::vector<URL> items;
  listDirectory(path, options, items, 0);
  std::sort(items.begin(), items.end(),
            [](const URL& a, const URL& b) { return a.fileSystemPath() < b.fileSystemPath(); });
  return items;
}

}  // namespace zv::platform
