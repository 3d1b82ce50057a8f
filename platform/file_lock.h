#pragma once

#include <optional>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// An exclusive lock on a lock file, held until the object goes. Another FileLock on the same
/// file, in this process or any other, cannot be taken meanwhile; the lock goes with the process
/// however it ends, so a crashed run never leaves it stuck.
class FileLock {
 public:
  /// Takes the lock without waiting. The file is created private to the user when missing and
  /// is never removed: removing it would let two runs lock two different files. Nothing when
  /// someone else holds the lock; an error when the file cannot serve as a lock (a symbolic
  /// link or anything but a regular file stands there, or it cannot be opened).
  static Result<std::optional<FileLock>> tryLockAtURL(const URL& url);
  /// Like tryLockAtURL, but waits for as long as someone else holds the lock.
  static Result<FileLock> lockAtURL(const URL& url);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  explicit FileLock(int descriptor) : descriptor_(descriptor) {}
  static Result<FileLock> openLockFile(const URL& url);

  int descriptor_ = -1;
};

}  // namespace zv::platform
