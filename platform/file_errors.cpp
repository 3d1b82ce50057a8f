#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::platform {

namespace file_detail {

std::u16string describedPath(std::string_view path) {
  return fromUtf8(path);
}

Error errorForPath(FileErrorCode code, std::u16string_view reason, std::string_view path) {
  return makeFileError(
      code, formatLocalized(u"%@ (“%@”)", {std::u16string(reason), describedPath(path)}));
}

}  // namespace file_detail

using namespace file_detail;

namespace {

FileErrorCode codeForErrno(int errorNumber) {
  switch (errorNumber) {
    case ENOENT:
      return FileErrorCode::kFileNotFound;
    case EEXIST:
    case ENOTEMPTY:
      return FileErrorCode::kFileExists;
    case EACCES:
    case EPERM:
      return FileErrorCode::kPermissionDenied;
    case ENOTDIR:
      return FileErrorCode::kNotADirectory;
    case EISDIR:
      return FileErrorCode::kIsADirectory;
    case ELOOP:
      return FileErrorCode::kSymbolicLink;
    case ENOSPC:
    case EDQUOT:
      return FileErrorCode::kVolumeFull;
    case EROFS:
      return FileErrorCode::kReadOnlyVolume;
    case ENAMETOOLONG:
      return FileErrorCode::kNameTooLong;
    default:
      return FileErrorCode::kUnknown;
  }
}

}  // namespace

Error makeFileError(FileErrorCode code, std::u16string description) {
  return makePlatformError(static_cast<std::int64_t>(code), std::move(description));
}

Error makeFileErrorFromErrno(int errorNumber, std::string_view path) {
  std::string reason = std::system_category().message(errorNumber);
  return errorForPath(codeForErrno(errorNumber), localized(fromUtf8(reason)), path);
}

bool isFileError(const Error& error, FileErrorCode code) {
  return error.domain == kPlatformErrorDomain && error.code == static_cast<std::int64_t>(code);
}

}  // namespace zv::platform
