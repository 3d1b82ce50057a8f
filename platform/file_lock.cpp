#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"

namespace zv::platform {

Result<FileLock> FileLock::openLockFile(const URL& url) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {url.absoluteString()}));
  }
  const std::string path = url.fileSystemPath();
  if (path.empty() || path.find('\0') != std::string::npos) {
    return makeFileErrorFromErrno(EINVAL, path);
  }
  // A planted link must not make us create or lock a file elsewhere, and a planted FIFO must
  // not block the open.
  int descriptor = -1;
  do {
    descriptor =
        ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  FileLock lock(descriptor);
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (!S_ISREG(status.st_mode)) {
    return makeFileError(FileErrorCode::kNotARegularFile,
                         formatLocalized(u"Not a regular file: %@", {url.path()}));
  }
  return lock;
}

Result<std::optional<FileLock>> FileLock::tryLockAtURL(const URL& url) {
  ZV_ASSIGN_OR_RETURN(FileLock lock, openLockFile(url));
  while (::flock(lock.descriptor_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return std::optional<FileLock>();
    }
    if (errno != EINTR) {
      return makeFileErrorFromErrno(errno, url.fileSystemPath());
    }
  }
  return std::optional<FileLock>(std::move(lock));
}

Result<FileLock> FileLock::lockAtURL(const URL& url) {
  ZV_ASSIGN_OR_RETURN(FileLock lock, openLockFile(url));
  if (retryOnInterrupt([&] { return ::flock(lock.descriptor_, LOCK_EX); }) != 0) {
    return makeFileErrorFromErrno(errno, url.fileSystemPath());
  }
  return lock;
}

FileLock::FileLock(FileLock&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) {
      ::close(descriptor_);
    }
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

FileLock::~FileLock() {
  // Closing the only descriptor of the open file releases the lock.
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

}  // namespace zv::platform
