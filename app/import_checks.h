#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/url.h"
#include "platform/workspace.h"
#include "source/source_library.h"

namespace zv::app {

inline constexpr char16_t kZelvarBundleIdentifier[] = u"org.example.zelvar";
inline constexpr char16_t kZelvar4BundleIdentifier[] = u"org.example.zelvar4";
inline constexpr char16_t kQuennetBundleIdentifier[] = u"org.example.quennet";

/// The alert that ends an import attempt.
struct Alert {
  std::u16string messageText;
  std::u16string informativeText;

  friend bool operator==(const Alert&, const Alert&) = default;
};

/// A scripting handle on the source application with this identifier; nullptr when no such
/// application is known.
using SourceApplicationFactory =
    std::function<std::shared_ptr<source::SourceLibrary>(std::u16string_view bundleIdentifier)>;

/// What an import needs once every check has passed.
struct CheckedApplications {
  std::shared_ptr<source::SourceLibrary> zelvar;
  platform::URL quennetURL;
};

/// True when a Zelvar short version string is 1.4.2 or later (a missing version is 0.0.0).
bool isSupportedZelvarVersion(std::u16string_view version);

/// The checks before an import: Zelvar located (the version-4 identifier first), new enough,
/// launched behind this program and willing to be controlled; Quennet located. done is called
/// once, on the main queue, with the applications or with the alert that ended the checks.
void checkApplications(platform::Workspace& workspace, SourceApplicationFactory makeSource,
                       std::function<void(std::variant<CheckedApplications, Alert>)> done);

}  // namespace zv::app
