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

/// True when a Zelvar short version string is 1.4.2 or later (a missing version is 0.0.0).
bool isSupportedZelvarVersion(std::u16string_view version);

/// The checks on the source before an import: Zelvar located (the version-4 identifier
/// first), new enough, launched behind this program and willing to be controlled. done is
/// called once, on the main queue, with the scripting handle or with the alert that ended the
/// checks. The identifiers are those of platform/bundle_info.h. The workspace must outlive the
/// call of done; the permission question is asked on the main thread and may block it.
void checkZelvar(
    platform::Workspace& workspace, const SourceApplicationFactory& makeSource,
    std::function<void(std::variant<std::shared_ptr<source::SourceLibrary>, Alert>)> done);

/// The check on the target: where Quennet is installed, or the alert when it is not.
std::variant<platform::URL, Alert> checkQuennet(const platform::Workspace& workspace);

}  // namespace zv::app
