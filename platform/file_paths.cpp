#include <sys/stat.h>

#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/localization.h"

namespace zv::platform {

namespace file_detail {

// The file-system path of a file URL, refused when it cannot name the item safely.
Result<std::string> checkedPath(const URL& url) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {url.absoluteString()}));
  }
  std::string path = url.fileSystemPath();
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
    return errorForPath(FileErrorCode::kInvalidPath, localized(u"Invalid file path"), path);
  }
  return path;
}

// Both ends of a move or copy, each refused when it cannot name an item safely.
Result<std::pair<std::string, std::string>> checkedPaths(const URL& source,
                                                         const URL& destination) {
  ZV_ASSIGN_OR_RETURN(std::string from, checkedPath(source));
  ZV_ASSIGN_OR_RETURN(std::string to, checkedPath(destination));
  return std::pair(std::move(from), std::move(to));
}

std::pair<std::string, std::string> splitParentAndName(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  return {parent, path.substr(slash + 1)};
}

bool hasDotComponent(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view component = path.substr(start, slash - start);
    if (component == "." || component == "..") {
      return true;
    }
    if (slash == std::string_view::npos) {
      return false;
    }
    start = slash + 1;
  }
  return false;
}

}  // namespace file_detail

using namespace file_detail;

bool itemIsReachableAtURL(const URL& url) {
  Result<std::string> path = checkedPath(url);
  struct stat status {};
  return path && ::lstat(path->c_str(), &status) == 0;
}

bool directoryExistsAtURL(const URL& url) {
  Result<std::string> path = checkedPath(url);
  struct stat status {};
  return path && ::lstat(path->c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace zv::platform
