#include "platform/containers.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/files.h"
#include "platform/localization.h"
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

std::string temporaryFolderPath() {
  std::optional<std::string> folder = environmentValue("TMPDIR");
  struct stat status {};
  if (isAbsolute(folder) && ::stat(folder->c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return *folder;
  }
  return "/tmp";
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

Result<URL> applicationGroupContainersFolderURL(const std::optional<URL>& baseFolder,
                                                const ContainerEnvironment& environment) {
  if (baseFolder) {
    if (!baseFolder->isFileURL()) {
      return makeFileError(FileErrorCode::kNotAFileURL,
                           formatLocalized(u"Not a file URL: %@", {baseFolder->absoluteString()}));
    }
    return URL::fileURLWithFileSystemPath(baseFolder->fileSystemPath(), true);
  }
  // The XDG base directory rules say a relative XDG_DATA_HOME is to be ignored.
  if (isAbsolute(environment.dataHome)) {
    return URL::fileURLWithFileSystemPath(*environment.dataHome, true);
  }
  if (!isAbsolute(environment.home) || *environment.home == "/") {
    return makeFileError(FileErrorCode::kNoHomeFolder,
                         localized(u"The home folder cannot be found."));
  }
  return URL::fileURLWithFileSystemPath(*environment.home + "/.local/share", true);
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
  Result<URL> folder = applicationGroupContainersFolderURL(baseFolder, environment);
  if (!folder) {
    return folder;
  }
  return folder->appendingPathComponent(groupIdentifier, true);
}

Result<TemporaryDirectory> TemporaryDirectory::create(std::u16string_view prefix) {
  return createAtPath(temporaryFolderPath(), prefix);
}

Result<TemporaryDirectory> TemporaryDirectory::createInDirectory(const URL& parent,
                                                                 std::u16string_view prefix) {
  if (!parent.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {parent.absoluteString()}));
  }
  return createAtPath(parent.fileSystemPath(), prefix);
}

Result<TemporaryDirectory> TemporaryDirectory::createAtPath(const std::string& parent,
                                                            std::u16string_view prefix) {
  std::u16string safePrefix(prefix);
  for (char16_t& c : safePrefix) {
    if (c == u'/' || c == u'\0') {
      c = u'-';
    }
  }
  std::string path = parent + (parent.ends_with('/') ? "" : "/") + toUtf8(safePrefix) + ".XXXXXX";
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
