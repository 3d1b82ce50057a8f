#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// An application that the workspace launched or found running.
struct RunningApplication {
  std::u16string bundleIdentifier;
  /// Its well-known name on the session bus; empty when it has none.
  std::string busName;
  /// Its process, when the workspace knows it.
  std::optional<pid_t> processIdentifier;
};

/// What the automation-permission query answers when this program may not control the target.
inline constexpr std::int32_t kAutomationNotPermitted = -1743;

/// Finds other applications, launches them and hands them documents. The completions of the
/// two open calls run once, on any thread: a caller that touches windows posts to the main queue.
class Workspace {
 public:
  virtual ~Workspace() = default;

  /// Either the running application or the reason it could not be opened.
  using OpenCompletion = std::function<void(std::optional<RunningApplication> application,
                                            std::optional<Error> error)>;

  /// Where the installed application with this identifier is, or nothing when none is installed.
  virtual std::optional<URL> URLForApplicationWithBundleIdentifier(
      std::u16string_view bundleIdentifier) const = 0;

  /// The application's short version string ("CFBundleShortVersionString"); nothing when it has
  /// none or its information cannot be read.
  virtual std::optional<std::u16string> shortVersionStringOfApplicationAtURL(
      const URL& applicationURL) const = 0;

  /// Launches the application, or finds it running; with activates false it stays behind this
  /// program.
  virtual void openApplicationAtURL(const URL& applicationURL, bool activates,
                                    OpenCompletion completion) = 0;

  /// May this program control the target? 0 when it may, kAutomationNotPermitted when it may
  /// not, another status otherwise. May block while the user is asked.
  virtual std::int32_t determinePermissionToAutomateTarget(const RunningApplication& target) = 0;

  /// Hands the URLs to the application, which comes to the front.
  virtual void openURLsWithApplicationAtURL(const std::vector<URL>& urls, const URL& applicationURL,
                                            OpenCompletion completion) = 0;

  /// Shows the file, selected, in the file viewer, in a viewer rooted at rootFolder.
  virtual void selectFileInFileViewer(const URL& file, const URL& rootFolder) = 0;
};

/// The workspace of this desktop: desktop entries and metainfo files in the XDG data folders,
/// applications reached over the session bus.
std::unique_ptr<Workspace> makeDesktopWorkspace();

/// The same over the given data folders, most important first, instead of the XDG ones.
std::unique_ptr<Workspace> makeDesktopWorkspace(std::vector<std::string> dataFolders);

}  // namespace zv::platform
