#include "platform/app_group_containers.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <vector>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

bool isAbsolute(const std::optional<std::string>& path) {
  return path && !path->empty() && path->front() == '/' && path->find('\0') == std::string::npos;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

// Resolved, because a folder made under a path with "." or ".." in it could not be removed
// again: the removal refuses such paths.
std::string temporaryFolderPath() {
  std::optional<std::string> folder = environmentValue("TMPDIR");
  if (!isAbsolute(folder)) {
    return "/tmp";
  }
  char* resolved = ::realpath(folder->c_str(), nullptr);
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

ContainerEnvironment ContainerEnvironment::current() {
  ContainerEnvironment environment;
  environment.dataHome = environmentValue("XDG_DATA_HOME");
  environment.home = environmentValue("HOME");
  if (!isAbsolute(environment.home)) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir != nullptr) {
      environment.home = std::string(found->pw_dir);
    }
  }
  return environment;
}

std::string absoluteNormalizedPath(std::string_view path, std::string_view currentFolder) {
  std::string whole(path);
  if (!path.starts_with('/')) {
    whole = std::string(currentFolder) + "/" + whole;
  }
  std::string normalized;  // "" stands for the root
  std::size_t start = 0;
  while (start <= whole.size()) {
    std::size_t end = whole.find('/', start);
    if (end == std::string::npos) {
      end = whole.size();
    }
    const std::string_view component = std::string_view(whole).substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") {
      continue;
    }
    if (component != "..") {
      normalized += '/';
      normalized += component;
      continue;
    }
    // The system goes up from the folder a link leads to, not from the link's own parent.
    if (!normalized.empty()) {
      if (char* resolved = ::realpath(normalized.c_str(), nullptr)) {
        normalized = resolved;
        ::free(resolved);
      }
    }
    normalized.erase(std::min(normalized.size(), normalized.rfind('/')));
  }
  return normalized.empty() ? "/" : normalized;
}

Result<URL> applicationGroupContainersFolderURL(const std::optional<URL>& baseFolder,
                                                const ContainerEnvironment& environment) {
  // Normalised, because an export folder named through "." or ".." could be written once but
  // never removed again.
  if (baseFolder) {
    if (!baseFolder->isFileURL()) {
      return makeFileError(FileErrorCode::kNotAFileURL,
                           formatLocalized(u"Not a file URL: %@", {baseFolder->absoluteString()}));
    }
    return URL::fileURLWithFileSystemPath(absoluteNormalizedPath(baseFolder->fileSystemPath(), "/"),
                                          true);
  }
  // The XDG base directory rules say a relative XDG_DATA_HOME is to be ignored.
  if (isAbsolute(environment.dataHome)) {
    return URL::fileURLWithFileSystemPath(absoluteNormalizedPath(*environment.dataHome, "/"), true);
  }
  const std::string home =
      isAbsolute(environment.home) ? absoluteNormalizedPath(*environment.home, "/") : "/";
  if (home == "/") {
    return makeFileError(FileErrorCode::kNoHomeFolder,
                         localized(u"The home folder cannot be found."));
  }
  return URL::fileURLWithFileSystemPath(home + "/.local/share", true);
}

Result<URL> containerURLForSecurityApplicationGroupIdentifier(
    std::u16string_view groupIdentifier, const std::optional<URL>& baseFolder,
    const ContainerEnvironment& environment) {
  if (groupIdentifier.empty() || groupIdentifier == u"." || groupIdentifier == u".." ||
      groupIdentifier.find_first_of(std::u16string_view(u"/\0", 2)) != std::u16string_view::npos) {
    return makeFileError(
        FileErrorCode::kInvalidPath,
        formatLocalized(u"Invalid app group identifier “%@”", {std::u16string(groupIdentifier)}));
  }
  ZV_ASSIGN_OR_RETURN(URL folder, applicationGroupContainersFolderURL(baseFolder, environment));
  return folder.appendingPathComponent(groupIdentifier, true);
}

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
