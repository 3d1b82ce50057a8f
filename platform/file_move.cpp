#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/files_internal.h"

namespace zv::platform {

using namespace file_detail;

namespace {

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

}  // namespace

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

}  // namespace zv::platform
