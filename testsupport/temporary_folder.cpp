#include "testsupport/temporary_folder.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/unicode.h"

namespace zv::testsupport {
namespace fs = std::filesystem;

namespace {

// Tests make folders unreadable or unwritable on purpose; remove_all cannot empty those, so
// every real subfolder gets its owner's rights back first. Links are looked at, never through.
void restoreOwnerRights(const fs::path& folder) {
  ::chmod(folder.c_str(), S_IRWXU);
  std::error_code error;
  for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    std::error_code typeError;
    if (entry->symlink_status(typeError).type() == fs::file_type::directory) {
      restoreOwnerRights(entry->path());
    }
  }
}

}  // namespace

TemporaryFolder::TemporaryFolder(std::string_view prefix) {
  std::error_code error;
  fs::path parent = fs::temp_directory_path(error);
  if (error) {
    parent = "/tmp";
  }
  std::string pattern = (parent / prefix).string() + ".XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror(("TemporaryFolder: cannot create " + pattern).c_str());
    std::abort();
  }
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  restoreOwnerRights(path_);
  std::error_code error;
  fs::remove_all(path_, error);
  if (error) {
    ADD_FAILURE() << "cannot remove the temporary folder " << path_ << ": " << error.message();
  }
}

platform::URL TemporaryFolder::url() const {
  return platform::URL::fileURLWithFileSystemPath(path_.string(), true);
}

platform::URL TemporaryFolder::url(std::u16string_view relative, bool isDirectory) const {
  return platform::URL::fileURLWithFileSystemPath(path(platform::toUtf8(relative)).string(),
                                                  isDirectory);
}

std::string TemporaryFolderTest::pathOf(std::u16string_view relative) const {
  return folder_.path(platform::toUtf8(relative)).string();
}

}  // namespace zv::testsupport
