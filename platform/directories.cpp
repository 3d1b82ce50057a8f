#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform {

namespace file_detail {

std::vector<std::string> directoryEntryNames(DIR* directory) {
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(directory)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

}  // namespace file_detail

using namespace file_detail;

namespace {

void listDirectory(const std::string& path, DirectoryListingOptions options,
                   std::vector<URL>& items, int depth) {
  ScopedDirectoryStream listing = openDirectoryStream(path.c_str());
  if (!listing) {
    return;
  }
  std::vector<std::string> names = directoryEntryNames(listing.get());
  // Closed before descending, so that a deep tree does not hold a stream open per level.
  listing.reset();
  for (const std::string& name : names) {
    if (options.skipsHiddenFiles && name.starts_with('.')) {
      continue;
    }
    std::string childPath = path == "/" ? "/" + name : path + "/" + name;
    struct stat status {};
    bool isDirectory = ::lstat(childPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    items.push_back(URL::fileURLWithFileSystemPath(childPath, isDirectory));
    // Deep enough for any real tree; a bound keeps a pathological one from exhausting the stack.
    if (isDirectory && options.recursive && depth < 256) {
      listDirectory(childPath, options, items, depth + 1);
    }
  }
}

}  // namespace

Result<void> createDirectoryAtURL(const URL& url, bool withIntermediateDirectories, mode_t mode) {
  ZV_ASSIGN_OR_RETURN(const std::string path, checkedPath(url));
  size_t start = withIntermediateDirectories ? 1 : path.size();
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    bool last = slash == std::string::npos;
    std::string prefix = path.substr(0, last ? path.size() : slash);
    start = last ? path.size() + 1 : slash + 1;
    if (::mkdir(prefix.c_str(), mode) == 0) {
      continue;
    }
    if (errno != EEXIST) {
      return makeFileErrorFromErrno(errno, prefix);
    }
    struct stat status {};
    if (!last) {
      if (::stat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return makeFileErrorFromErrno(ENOTDIR, prefix);
      }
      continue;
    }
    if (!withIntermediateDirectories || ::lstat(prefix.c_str(), &status) != 0) {
      return makeFileErrorFromErrno(EEXIST, prefix);
    }
    if (S_ISLNK(status.st_mode)) {
      return makeFileErrorFromErrno(ELOOP, prefix);
    }
    if (!S_ISDIR(status.st_mode)) {
      return makeFileErrorFromErrno(EEXIST, prefix);
    }
  }
  return {};
}

Result<std::vector<URL>> contentsOfDirectoryAtURL(const URL& url, DirectoryListingOptions options) {
  ZV_ASSIGN_OR_RETURN(std::string path, checkedPath(url));
  if (!openDirectoryStream(path.c_str())) {
    return makeFileErrorFromErrno(errno, path);
  }
  std::vector<URL> items;
  listDirectory(path, options, items, 0);
  std::sort(items.begin(), items.end(),
            [](const URL& a, const URL& b) { return a.fileSystemPath() < b.fileSystemPath(); });
  return items;
}

}  // namespace zv::platform
