#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// A private folder (mode 0700, made by mkdtemp under $TMPDIR or /tmp) that is removed with
/// everything in it when the object goes. Move-only.
class TemporaryDirectory {
 public:
  /// Creates a new folder named after `prefix` and a random suffix.
  static Result<TemporaryDirectory> create(std::u16string_view prefix = u"ZelvarImporter");
  /// The same inside `parent`, which must exist.
  static Result<TemporaryDirectory> createInDirectory(const URL& parent,
                                                      std::u16string_view prefix);
  /// Like create(), the name also naming the user and this process ("prefix-UID-PID-XXXXXX"), so
  /// that a later run can tell the folder was left behind when this process ended before it
  /// could remove it. `parent` (default: the system temporary folder) must exist.
  static Result<TemporaryDirectory> createForThisProcess(
      std::u16string_view prefix, const std::optional<URL>& parent = std::nullopt);
  /// Removes the folders that createForThisProcess() made with this prefix in `parent` for this
  /// user and whose process no longer exists. Only real folders of this user whose name names
  /// this user are touched: links, files and other users' folders stay. One entry per folder
  /// found abandoned: its URL once removed, or why it could not be.
  static std::vector<Result<URL>> removeAbandoned(std::u16string_view prefix,
                                                  const std::optional<URL>& parent = std::nullopt);

  TemporaryDirectory(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();

  /// The folder, as a directory URL.
  const URL& url() const { return *url_; }

  /// Removes the folder now and reports how that went; afterwards the object owns nothing.
  Result<void> remove();

 private:
  explicit TemporaryDirectory(URL url) : url_(std::move(url)) {}
  static Result<TemporaryDirectory> createAtPath(const std::string& parent,
                                                 const std::string& nameStart);
  std::optional<URL> url_;
};

}  // namespace zv::platform
