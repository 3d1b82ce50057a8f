#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <span>
#include <string>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform {

namespace file_detail {

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

}  // namespace file_detail

using namespace file_detail;

namespace {

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
                                const struct stat& replacedStatus, bool durable,
                                const std::string& path) {
  ZV_TRY(writeAll(file, bytes, path));
  if (replaced >= 0) {
    ZV_TRY(takeOverMetadata(replaced, replacedStatus, file, path));
  }
  if (durable && ::fsync(file) != 0) {
    return makeFileErrorFromErrno(errno, path);
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

namespace {

Error fileTooLarge(std::size_t maximumSize, const std::string& path) {
  return errorForPath(FileErrorCode::kFileTooLarge,
                      formatLocalized(u"The file is larger than %ld bytes",
                                      {static_cast<std::int64_t>(maximumSize)}),
                      path);
}

}  // namespace

Result<FileReader> FileReader::openAtURL(const URL& url, std::size_t maximumSize) {
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
  if (static_cast<std::uintmax_t>(status.st_size) > maximumSize) {
    return fileTooLarge(maximumSize, path);
  }
  return FileReader(std::move(file), std::move(path), static_cast<std::size_t>(status.st_size),
                    maximumSize);
}

FileReader::FileReader(ScopedDescriptor file, std::string path, std::size_t sizeHint,
                       std::size_t maximumSize)
    : file_(std::move(file)),
      path_(std::move(path)),
      sizeHint_(sizeHint),
      maximumSize_(maximumSize) {}

Result<std::size_t> FileReader::read(std::span<std::uint8_t> buffer) {
  ZV_ASSIGN_OR_RETURN(const std::size_t count, readSome(file_.get(), buffer, path_));
  if (count > maximumSize_ - bytesRead_) {
    return fileTooLarge(maximumSize_, path_);
  }
  bytesRead_ += count;
  return count;
}

Result<std::vector<std::uint8_t>> readFileAtURL(const URL& url, std::size_t maximumSize) {
  ZV_ASSIGN_OR_RETURN(FileReader reader, FileReader::openAtURL(url, maximumSize));
  std::vector<std::uint8_t> bytes;
  // The size is a hint only: a sparse or growing file must not make us reserve without bound.
  bytes.reserve(std::min<size_t>(reader.sizeHint(), size_t{1} << 26));
  std::uint8_t buffer[1 << 16];
  while (true) {
    ZV_ASSIGN_OR_RETURN(const size_t count, reader.read(buffer));
    if (count == 0) {
      return bytes;
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
                                      WriteMode mode, mode_t permissions,
                                      WriteDurability durability) {
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
  const bool durable = replaced.valid() || durability == WriteDurability::kAlways;
  Result<void> result =
      writeTemporaryFile(file.get(), bytes, replaced.get(), replacedStatus, durable, path);
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
  if (durable) {
    // The rename reaches the disk with the folder. The new file is in place already, so a
    // failure here is no reason to report the write as failed.
    static_cast<void>(::fsync(folder.get()));
  }
  return {};
}

}  // namespace zv::platform
