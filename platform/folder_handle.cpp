#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform {

using namespace file_detail;

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

}  // namespace zv::platform
