#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/exclusive_file.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform {

namespace file_detail {

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

}  // namespace file_detail

using namespace file_detail;

namespace {

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

// Big enough that a large file costs few calls, small enough that a stop is noticed within a
// fraction of a second.
constexpr std::uint64_t kKernelCopyChunk = std::uint64_t{1} << 26;
// Left uninitialised: zeroing it for every small file would cost more than copying the file.
constexpr std::size_t kBufferSize = std::size_t{1} << 16;

}  // namespace

namespace file_detail {

Result<void> writeAllAt(int output, std::span<const std::uint8_t> bytes, off_t offset,
                        std::string_view name) {
  while (!bytes.empty()) {
    const ssize_t count =
        retryOnInterrupt([&] { return ::pwrite(output, bytes.data(), bytes.size(), offset); });
    if (count < 0) {
      return makeFileErrorFromErrno(errno, name);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(count));
    offset += count;
  }
  return {};
}

Result<void> checkUnchangedAfterCopy(int input, const struct stat& before, std::uint64_t copied,
                                     std::string_view source) {
  // One byte more than the size promised: a file growing, or one whose size means nothing.
  std::uint8_t beyond = 0;
  const ssize_t extra =
      retryOnInterrupt([&] { return ::pread(input, &beyond, 1, static_cast<off_t>(copied)); });
  struct stat after {};
  if (extra < 0 || ::fstat(input, &after) != 0) {
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

// Copied up to the size `status` saw and no further, so that a file that keeps growing cannot
// keep the copy going. copy_file_range keeps the bytes in the kernel; whatever it cannot do,
// read and write take over from where it stopped, and either do or say which side failed.
Result<void> copyContent(int input, int output, const struct stat& status, std::string_view source,
                         std::string_view destination, const std::function<bool()>& shouldStop,
                         CopyStep* failedStep) {
  auto failed = [&](CopyStep step, Error error) {
    if (failedStep != nullptr) {
      *failedStep = step;
    }
    return error;
  };
  const auto size = static_cast<std::uint64_t>(status.st_size);
  std::uint64_t copied = 0;
  bool kernelCopies = true;
  std::unique_ptr<std::uint8_t[]> buffer;
  do {
    if (shouldStop && shouldStop()) {
      return makeUserCancelledError();
    }
    const std::uint64_t chunk = std::min(size - copied, kKernelCopyChunk);
    if (chunk == 0) {
      break;
    }
    if (kernelCopies) {
      auto inputOffset = static_cast<off_t>(copied);
      auto outputOffset = static_cast<off_t>(copied);
      const ssize_t count = retryOnInterrupt(
          [&] { return ::copy_file_range(input, &inputOffset, output, &outputOffset, chunk, 0); });
      if (count > 0) {
        copied += static_cast<std::uint64_t>(count);
        reportCopyProgress(copied);
        continue;
      }
      // Nothing: the file ended early, which the check below reports.
      if (count == 0) {
        break;
      }
      kernelCopies = false;
    }
    if (!buffer) {
      buffer.reset(new std::uint8_t[kBufferSize]);
    }
    const std::size_t wanted = std::min<std::uint64_t>(chunk, kBufferSize);
    const ssize_t count = retryOnInterrupt(
        [&] { return ::pread(input, buffer.get(), wanted, static_cast<off_t>(copied)); });
    if (count < 0) {
      return failed(CopyStep::kReading, makeFileErrorFromErrno(errno, source));
    }
    if (count == 0) {
      break;
    }
    if (auto written = writeAllAt(output, std::span(buffer.get(), static_cast<size_t>(count)),
                                  static_cast<off_t>(copied), destination);
        !written) {
      return failed(CopyStep::kWriting, std::move(written).error());
    }
    copied += static_cast<std::uint64_t>(count);
    reportCopyProgress(copied);
  } while (copied < size);
  if (auto unchanged = checkUnchangedAfterCopy(input, status, copied, source); !unchanged) {
    return failed(CopyStep::kReading, std::move(unchanged).error());
  }
  return {};
}

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

}  // namespace file_detail

namespace {

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

}  // namespace

namespace file_detail {

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

}  // namespace file_detail

Result<void> copyItemAtURL(const URL& source, const URL& destination) {
  ZV_ASSIGN_OR_RETURN(auto paths, checkedPaths(source, destination));
  // The destination is checked only: the copy works from its URL.
  return copyTreeRemovingPartialCopy(paths.first, destination);
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

}  // namespace zv::platform
