#include "platform/temporary_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

// Resolved, because a folder made under a path with "." or ".." in it could not be removed
// again: the removal refuses such paths.
std::string temporaryFolderPath() {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || folder[0] != '/') {
    return "/tmp";
  }
  char* resolved = ::realpath(folder, nullptr);
  if (resolved == nullptr) {
    return "/tmp";
  }
  std::string path(resolved);
  ::free(resolved);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return path;
  }
  return "/tmp";
}

// The prefix as the start of a file name: no separators, no NUL.
std::string nameStartForPrefix(std::u16string_view prefix) {
  std::u16string safePrefix(prefix);
  for (char16_t& c : safePrefix) {
    if (c == u'/' || c == u'\0') {
      c = u'-';
    }
  }
  return toUtf8(safePrefix);
}

std::string processNameStart(std::u16string_view prefix) {
  return nameStartForPrefix(prefix) + "-" + std::to_string(::geteuid()) + "-";
}

// The process named by "PID-XXXXXX" (what follows the user in a name made for a process), or
// nothing when the rest is not of that form.
std::optional<pid_t> processOfName(std::string_view rest) {
  constexpr std::size_t kRandomPartLength = 6;
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0 || rest.size() - dash - 1 != kRandomPartLength ||
      rest[0] == '0') {
    return std::nullopt;
  }
  long long process = 0;
  auto [end, status] = std::from_chars(rest.data(), rest.data() + dash, process);
  // Zero or a negative number would make kill() ask about whole process groups.
  if (status != std::errc() || end != rest.data() + dash || process <= 0 || process > INT_MAX) {
    return std::nullopt;
  }
  return static_cast<pid_t>(process);
}

std::vector<std::string> entryNames(int folder) {
  std::vector<std::string> names;
  ScopedDirectoryStream listing = directoryStreamOf(ScopedDescriptor(::dup(folder)));
  if (!listing) {
    return names;
  }
  while (struct dirent* entry = ::readdir(listing.get())) {
    names.emplace_back(entry->d_name);
  }
  return names;
}

}  // namespace

Result<TemporaryDirectory> TemporaryDirectory::create(std::u16string_view prefix) {
  return createAtPath(temporaryFolderPath(), nameStartForPrefix(prefix) + ".");
}

Result<TemporaryDirectory> TemporaryDirectory::createInDirectory(const URL& parent,
                                                                 std::u16string_view prefix) {
  if (!parent.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {parent.absoluteString()}));
  }
  return createAtPath(parent.fileSystemPath(), nameStartForPrefix(prefix) + ".");
}

Result<TemporaryDirectory> TemporaryDirectory::createForThisProcess(
    std::u16string_view prefix, const std::optional<URL>& parent) {
  const std::string name = processNameStart(prefix) + std::to_string(::getpid()) + "-";
  if (!parent) {
    return createAtPath(temporaryFolderPath(), name);
  }
  if (!parent->isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {parent->absoluteString()}));
  }
  return createAtPath(parent->fileSystemPath(), name);
}

std::vector<Result<URL>> TemporaryDirectory::removeAbandoned(std::u16string_view prefix,
                                                             const std::optional<URL>& parent) {
  std::vector<Result<URL>> outcomes;
  const std::string parentPath = parent ? parent->fileSystemPath() : temporaryFolderPath();
  const ScopedDescriptor folder(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    return outcomes;
  }
  const std::string nameStart = processNameStart(prefix);
  for (const std::string& name : entryNames(folder.get())) {
    if (!name.starts_with(nameStart)) {
      continue;
    }
    std::optional<pid_t> process = processOfName(std::string_view(name).substr(nameStart.size()));
    // Only a process that is gone for certain: a live one, or one we may not signal, keeps it.
    if (!process || ::kill(*process, 0) == 0 || errno != ESRCH) {
      continue;
    }
    // Not through a link, and never another user's folder, whatever its name claims.
    struct stat status {};
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()) {
      continue;
    }
    URL url = URL::fileURLWithFileSystemPath(
        parentPath + (parentPath.ends_with('/') ? "" : "/") + name, true);
    Result<void> removed = removeItemAtURL(url);
    outcomes.push_back(removed ? Result<URL>(std::move(url)) : Result<URL>(removed.error()));
  }
  return outcomes;
}

Result<TemporaryDirectory> TemporaryDirectory::createAtPath(const std::string& parent,
                                                            const std::string& nameStart) {
  std::string path = parent + (parent.ends_with('/') ? "" : "/") + nameStart + "XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    return makeFileErrorFromErrno(errno, path);
  }
  return TemporaryDirectory(URL::fileURLWithFileSystemPath(path, true));
}

TemporaryDirectory::TemporaryDirectory(TemporaryDirectory&& other) noexcept
    : url_(std::exchange(other.url_, std::nullopt)) {}

TemporaryDirectory& TemporaryDirectory::operator=(TemporaryDirectory&& other) noexcept {
  if (this != &other) {
    (void)remove();
    url_ = std::exchange(other.url_, std::nullopt);
  }
  return *this;
}

TemporaryDirectory::~TemporaryDirectory() {
  (void)remove();
}

Result<void> TemporaryDirectory::remove() {
  if (!url_) {
    return {};
  }
  URL url = *std::exchange(url_, std::nullopt);
  return removeItemAtURL(url);
}

}  // namespace zv::platform
