#include "platform/app_group_containers.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/localization.h"

namespace zv::platform {
namespace {

bool isAbsolute(const std::optional<std::string>& path) {
  return path && !path->empty() && path->front() == '/' && path->find('\0') == std::string::npos;
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
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

}  // namespace zv::platform
