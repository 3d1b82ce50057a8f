#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// What the container lookup reads from the environment; tests pass their own.
struct ContainerEnvironment {
  std::optional<std::string> dataHome;  ///< XDG_DATA_HOME
  std::optional<std::string> home;      ///< HOME, else the password database's entry

  /// The process's own environment.
  static ContainerEnvironment current();
};

/// The path made absolute against `currentFolder` (an absolute path) and normalised: no empty or
/// "." components and no trailing "/". A ".." leaves the folder that the path before it reaches
/// as the file system resolves it, links included, so the result names the folder the path
/// names. A folder named this way can be removed again: the removal refuses paths with "." or
/// "..".
std::string absoluteNormalizedPath(std::string_view path, std::string_view currentFolder);

/// The folder that holds the app-group containers: `baseFolder` when given, else the user's
/// data folder ($XDG_DATA_HOME when it is an absolute path, else ~/.local/share). Without a
/// usable absolute home the result is kNoHomeFolder, never a relative path.
Result<URL> applicationGroupContainersFolderURL(
    const std::optional<URL>& baseFolder = std::nullopt,
    const ContainerEnvironment& environment = ContainerEnvironment::current());

/// The shared container of an app group: the containers folder plus the group identifier, as a
/// directory URL. The folder is not created here. An identifier that is empty, "." or "..", or
/// holds "/" or NUL, is refused.
Result<URL> containerURLForSecurityApplicationGroupIdentifier(
    std::u16string_view groupIdentifier, const std::optional<URL>& baseFolder = std::nullopt,
    const ContainerEnvironment& environment = ContainerEnvironment::current());

}  // namespace zv::platform
