#include "platform/exclusive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

// Big enough that a large payload costs few calls, small enough that a cancel is noticed within
// a fraction of a second.
constexpr std::uint64_t kKernelCopyChunk = std::uint64_t{1} << 26;
// Left uninitialised: zeroing it for every small file would cost more than copying the file.
constexpr std::size_t kBufferSize = std::size_t{1} << 16;

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

Error notARegularFile(std::string_view name) {
  return makeFileError(FileErrorCode::kNotARegularFile,
                       formatLocalized(u"“%@” is not a regular file.", {fromUtf8(name)}));
}

// Whether the input is still what `before` saw now that `copied` bytes of it were read:
// otherwise the copy mixes two versions of the file, or misses its end.
Result<void> checkUnchanged(int input, const struct stat& before, std::uint64_t copied,
                            std::string_view name) {
  // One byte more than the size promised: a file growing, or one whose size means nothing.
  std::uint8_t beyond = 0;
  const ssize_t extra =
      retryOnInterrupt([&] { return ::pread(input, &beyond, 1, static_cast<off_t>(copied)); });
  struct stat after {};
  if (extra < 0 || ::fstat(input, &after) != 0) {
    return makeFileErrorFromErrno(errno, name);
  }
  if (copied != static_cast<std::uint64_t>(before.st_size) || extra != 0 ||
      after.st_size != before.st_size || !sameTime(after.st_mtim, before.st_mtim) ||
      !sameTime(after.st_ctim, before.st_ctim)) {
    return makeFileError(
        FileErrorCode::kChangedWhileCopied,
        formatLocalized(u"The file “%@” changed while it was being copied.", {fromUtf8(name)}));
  }
  return {};
}

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

}  // namespace

Result<ExclusiveFile> ExclusiveFile::createAtURL(const URL& url, mode_t mode) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL, url.absoluteString());
  }
  std::string path = url.fileSystemPath();
  if (path.empty() || path.find('\0') != std::string::npos) {
    return makeFileErrorFromErrno(EINVAL, path);
  }
  ScopedDescriptor output(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!output.valid()) {
    return makeFileErrorFromErrno(errno, path);
  }
  return ExclusiveFile(std::move(output), std::move(path));
}

ExclusiveFile::ExclusiveFile(ExclusiveFile&& other) noexcept
    : output_(std::move(other.output_)),
      path_(std::move(other.path_)),
      hasContent_(other.hasContent_),
      finished_(std::exchange(other.finished_, true)) {}

ExclusiveFile::~ExclusiveFile() {
  if (!finished_) {
    discard();
  }
}

Result<void> ExclusiveFile::truncate() {
  if (hasContent_ && ::ftruncate(output_.get(), 0) != 0) {
    return makeFileErrorFromErrno(errno, path_);
  }
  hasContent_ = false;
  return {};
}

Result<void> ExclusiveFile::copyContentFrom(int input, std::string_view inputName,
                                            const std::function<bool()>& shouldStop,
                                            CopyStep* failedStep) {
  auto failed = [&](CopyStep step, Error error) {
    if (failedStep != nullptr) {
      *failedStep = step;
    }
    return error;
  };
  struct stat before {};
  if (::fstat(input, &before) != 0) {
    return failed(CopyStep::kReading, makeFileErrorFromErrno(errno, inputName));
  }
  if (!S_ISREG(before.st_mode)) {
    return failed(CopyStep::kReading, notARegularFile(inputName));
  }
  if (auto emptied = truncate(); !emptied) {
    return failed(CopyStep::kWriting, std::move(emptied).error());
  }
  hasContent_ = true;
  // Copied up to the size seen now and no further, so that a file that keeps growing cannot
  // keep the copy going.
  const auto size = static_cast<std::uint64_t>(before.st_size);
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
      const ssize_t count = retryOnInterrupt([&] {
        return ::copy_file_range(input, &inputOffset, output_.get(), &outputOffset, chunk, 0);
      });
      if (count > 0) {
        copied += static_cast<std::uint64_t>(count);
        continue;
      }
      // Nothing: the file ended early, which the check below reports.
      if (count == 0) {
        break;
      }
      // Whatever copy_file_range could not do, read and write either do or say which side
      // failed.
      kernelCopies = false;
    }
    if (!buffer) {
      buffer.reset(new std::uint8_t[kBufferSize]);
    }
    const std::size_t wanted = std::min<std::uint64_t>(chunk, kBufferSize);
    const ssize_t count = retryOnInterrupt(
        [&] { return ::pread(input, buffer.get(), wanted, static_cast<off_t>(copied)); });
    if (count < 0) {
      return failed(CopyStep::kReading, makeFileErrorFromErrno(errno, inputName));
    }
    if (count == 0) {
      break;
    }
    if (auto written =
            writeAllAt(output_.get(), std::span(buffer.get(), static_cast<size_t>(count)),
                       static_cast<off_t>(copied), path_);
        !written) {
      return failed(CopyStep::kWriting, std::move(written).error());
    }
    copied += static_cast<std::uint64_t>(count);
  } while (copied < size);
  if (auto unchanged = checkUnchanged(input, before, copied, inputName); !unchanged) {
    return failed(CopyStep::kReading, std::move(unchanged).error());
  }
  return {};
}

Result<void> ExclusiveFile::writeContent(std::span<const std::uint8_t> bytes) {
  ZV_TRY(truncate());
  hasContent_ = true;
  return writeAllAt(output_.get(), bytes, 0, path_);
}

Result<void> ExclusiveFile::finish() {
  struct stat ours {};
  const bool known = ::fstat(output_.get(), &ours) == 0;
  // Not retried: Linux has released the descriptor even when close reports a failure.
  if (::close(output_.release()) != 0) {
    Error error = makeFileErrorFromErrno(errno, path_);
    struct stat there {};
    if (known && ::lstat(path_.c_str(), &there) == 0 && there.st_dev == ours.st_dev &&
        there.st_ino == ours.st_ino) {
      ::unlink(path_.c_str());
    }
    finished_ = true;
    return error;
  }
  finished_ = true;
  return {};
}

void ExclusiveFile::discard() {
  if (finished_) {
    return;
  }
  finished_ = true;
  // Whoever can write in the folder may have put another file under the name since; that one
  // is not ours to remove.
  struct stat ours {};
  struct stat there {};
  if (::fstat(output_.get(), &ours) == 0 && ::lstat(path_.c_str(), &there) == 0 &&
      there.st_dev == ours.st_dev && there.st_ino == ours.st_ino) {
    ::unlink(path_.c_str());
  }
  output_.reset();
}

Result<std::vector<std::uint8_t>> readOpenFileContent(int input, std::string_view inputName,
                                                      std::size_t maximumSize) {
  struct stat before {};
  if (::fstat(input, &before) != 0) {
    return makeFileErrorFromErrno(errno, inputName);
  }
  if (!S_ISREG(before.st_mode)) {
    return notARegularFile(inputName);
  }
  if (static_cast<std::uint64_t>(before.st_size) > maximumSize) {
    return makeFileError(FileErrorCode::kFileTooLarge,
                         formatLocalized(u"The file “%@” is too large.", {fromUtf8(inputName)}));
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(before.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = retryOnInterrupt([&] {
      return ::pread(input, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    });
    if (count < 0) {
      return makeFileErrorFromErrno(errno, inputName);
    }
    if (count == 0) {
      break;
    }
    done += static_cast<std::size_t>(count);
  }
  ZV_TRY(checkUnchanged(input, before, done, inputName));
  return bytes;
}

}  // namespace zv::platform
