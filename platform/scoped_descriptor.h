#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

namespace zv::platform {

/// Owns an open file descriptor and closes it when it goes, so that no early return leaks one:
/// a long export opens one for every file it writes. Move-only; -1 stands for none. Closing
/// leaves errno alone, so a failure's errno can still be read while the descriptor goes.
class ScopedDescriptor {
 public:
  ScopedDescriptor() = default;
  explicit ScopedDescriptor(int descriptor) : descriptor_(descriptor) {}
  ScopedDescriptor(ScopedDescriptor&& other) noexcept : descriptor_(other.release()) {}
  ScopedDescriptor& operator=(ScopedDescriptor&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  ~ScopedDescriptor() { reset(); }

  int get() const { return descriptor_; }
  bool valid() const { return descriptor_ >= 0; }

  /// Hands the descriptor over to the caller, who closes it from then on.
  int release() { return std::exchange(descriptor_, -1); }

  /// Closes the descriptor held (its close error is lost: use release() and close() where that
  /// matters, as after writing) and takes `descriptor` instead.
  void reset(int descriptor = -1) {
    const int previous = std::exchange(descriptor_, descriptor);
    if (previous >= 0) {
      const int savedErrno = errno;
      ::close(previous);
      errno = savedErrno;
    }
  }

 private:
  int descriptor_ = -1;
};

/// Closes a directory stream, and with it the descriptor it was made from.
struct DirectoryStreamCloser {
  void operator()(DIR* stream) const noexcept {
    const int savedErrno = errno;
    ::closedir(stream);
    errno = savedErrno;
  }
};

/// An open directory stream, closed when it goes.
using ScopedDirectoryStream = std::unique_ptr<DIR, DirectoryStreamCloser>;

/// A stream listing the folder open at `folder`, which the stream owns from then on. Null when
/// it cannot be made, errno saying why; the descriptor is closed then too.
inline ScopedDirectoryStream directoryStreamOf(ScopedDescriptor folder) {
  ScopedDirectoryStream stream(folder.valid() ? ::fdopendir(folder.get()) : nullptr);
  if (stream) {
    folder.release();
  }
  return stream;
}

/// A stream listing the folder at the path (a link to a folder is followed); null when it cannot
/// be opened, errno saying why.
inline ScopedDirectoryStream openDirectoryStream(const char* path) {
  return ScopedDirectoryStream(::opendir(path));
}

}  // namespace zv::platform
