#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"

namespace zv::platform {

/// Which side of a content copy failed.
enum class CopyStep { kReading, kWriting };

/// A regular file this process has just created under a name where nothing stood, written
/// through its open descriptor. Until finish() succeeds the file is ours to take back: going
/// away unfinished removes it, and only it (a file put in its place since is left alone).
class ExclusiveFile {
 public:
  /// Creates the file with `mode` (less the umask). kFileExists when anything stands at the
  /// path, a dangling symbolic link included; a link is never followed.
  static Result<ExclusiveFile> createAtURL(const URL& url, mode_t mode = 0600);

  ExclusiveFile(ExclusiveFile&& other) noexcept;
  ExclusiveFile& operator=(ExclusiveFile&&) = delete;
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;
  ~ExclusiveFile();

  int descriptor() const { return output_.get(); }
  const std::string& path() const { return path_; }

  /// Replaces the content with the whole of the open regular file `input`, read from its start
  /// whatever its position. copy_file_range keeps the bytes in the kernel; read and write take
  /// over where it cannot serve the two files. An input that changes while it is copied fails
  /// with kChangedWhileCopied, one that is not a regular file with kNotARegularFile. Between
  /// chunks `shouldStop` is asked, and a yes fails the copy with the user-cancelled error.
  /// `inputName` names the input in errors; `failedStep` (optional) tells which side failed.
  /// `openedStatus` (optional) is the input's status taken when it was opened, which spares
  /// asking again; the input is then checked against it.
  Result<void> copyContentFrom(int input, std::string_view inputName,
                               const std::function<bool()>& shouldStop,
                               CopyStep* failedStep = nullptr,
                               const struct stat* openedStatus = nullptr);

  /// Replaces the content with the bytes.
  Result<void> writeContent(std::span<const std::uint8_t> bytes);

  /// Closes the file and keeps it. A failed close (a write the file system could not complete)
  /// removes it and is returned.
  Result<void> finish();

  /// Removes the file now, when it is still the one we created.
  void discard();

 private:
  ExclusiveFile(ScopedDescriptor output, std::string path)
      : output_(std::move(output)), path_(std::move(path)) {}
  Result<void> truncate();

  ScopedDescriptor output_;
  std::string path_;
  // Whether anything was written that another try must empty first.
  bool hasContent_ = false;
  bool finished_ = false;
};

/// The whole content of the open regular file `input`, from its start, when it is at most
/// maximumSize bytes (kFileTooLarge otherwise, before anything is read). An input that changes
/// while it is read fails with kChangedWhileCopied.
Result<std::vector<std::uint8_t>> readOpenFileContent(int input, std::string_view inputName,
                                                      std::size_t maximumSize);

}  // namespace zv::platform
