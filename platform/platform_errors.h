#pragma once

#include <cstdint>

namespace zv::platform {

/// Domain of failures raised by our own platform layer (files, property lists, archives).
inline constexpr char16_t kPlatformErrorDomain[] = u"ZVPlatformErrorDomain";

/// Every code of kPlatformErrorDomain, in one table so that no two failures share a number;
/// callers may branch on them. Property lists and archives keep the numbers their counterparts
/// on the target's platform use.
enum class PlatformErrorCode : std::int64_t {
  // File operations.
  kUnknown = 1,
  kNotAFileURL = 2,
  /// The path is empty, holds a NUL byte, or is one we refuse to change ("/", the home folder).
  kInvalidPath = 3,
  kFileNotFound = 4,
  /// The destination is taken: a move or a new file never replaces it, so pick another name.
  kFileExists = 5,
  kPermissionDenied = 6,
  kNotADirectory = 7,
  kIsADirectory = 8,
  /// A symbolic link stands where we would write or descend; we do not follow it.
  kSymbolicLink = 9,
  kNotARegularFile = 10,
  kVolumeFull = 11,
  kReadOnlyVolume = 12,
  kReadFailed = 13,
  kWriteFailed = 14,
  kNoHomeFolder = 15,
  kNameTooLong = 16,
  /// A value handed to a file operation that it cannot store (a date out of range, ...).
  kInvalidValue = 17,
  /// The file is larger than the reader was willing to take.
  kFileTooLarge = 18,
  /// A removal met a folder of another file system (a mount) inside the tree and left it alone.
  kOnAnotherFileSystem = 19,
  /// The source changed (size, content or dates) while it was copied; the partial copy is gone,
  /// and copying again may succeed.
  kChangedWhileCopied = 20,

  // Property lists.
  /// Reading failed: the input is not a property list, is damaged, hostile or too big.
  kPropertyListReadCorrupt = 3840,
  /// Writing failed: the value cannot be represented in the chosen format.
  kPropertyListWriteInvalid = 3851,

  // Keyed archives.
  /// An archive is damaged, hostile, or holds a value of a class or type the caller did not ask
  /// for.
  kKeyedArchiveReadCorrupt = 4864,
  /// A value the caller requires is missing from the archive.
  kKeyedArchiveValueNotFound = 4865,
  /// A value cannot be archived (reserved key, nesting too deep, class without a name).
  kKeyedArchiveInvalidValue = 4866,
};

}  // namespace zv::platform
