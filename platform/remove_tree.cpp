#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform {

using namespace file_detail;

namespace {

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

}  // namespace

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

}  // namespace zv::platform
