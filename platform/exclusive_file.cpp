#include "platform/exclusive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

Error notARegularFile(std::string_view name) {
  return makeFileError(FileErrorCode::kNotARegularFile,
                       formatLocalized(u"“%@” is not a regular file.", {fromUtf8(name)}));
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
                                            CopyStep* failedStep, const struct stat* openedStatus) {
  auto failed = [&](CopyStep step, Error error) {
    if (failedStep != nullptr) {
      *failedStep = step;
    }
    return error;
  };
  struct stat before {};
  if (openedStatus != nullptr) {
    before = *openedStatus;
  } else if (::fstat(input, &before) != 0) {
    return failed(CopyStep::kReading, makeFileErrorFromErrno(errno, inputName));
  }
  if (!S_ISREG(before.st_mode)) {
    return failed(CopyStep::kReading, notARegularFile(inputName));
  }
  if (auto emptied = truncate(); !emptied) {
    return failed(CopyStep::kWriting, std::move(emptied).error());
  }
  hasContent_ = true;
  return file_detail::copyContent(input, output_.get(), before, inputName, path_, shouldStop,
                                  failedStep);
}

Result<void> ExclusiveFile::writeContent(std::span<const std::uint8_t> bytes) {
  ZV_TRY(truncate());
  hasContent_ = true;
  return file_detail::writeAllAt(output_.get(), bytes, 0, path_);
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
  ZV_TRY(file_detail::checkUnchangedAfterCopy(input, before, done, inputName));
  return bytes;
}

}  // namespace zv::platform
