#include "platform/files.h"

#include <sys/stat.h>

namespace zv::platform {

bool itemIsReachableAtURL(const URL& url) {
  if (!url.isFileURL()) {
    return false;
  }
  struct stat status {};
  return ::lstat(url.fileSystemPath().c_str(), &status) == 0;
}

}  // namespace zv::platform
