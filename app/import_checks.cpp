#include "app/import_checks.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "platform/bundle_info.h"
#include "platform/localization.h"
#include "platform/main_queue.h"

namespace zv::app {

namespace {

using platform::localized;

using CheckResult = std::variant<std::shared_ptr<source::SourceLibrary>, Alert>;
using CheckCompletion = std::function<void(CheckResult)>;

Alert cannotStartImport(std::u16string informativeText) {
  return Alert{localized(u"Cannot start import."), std::move(informativeText)};
}

// Every answer goes through the main queue, including the ones known before any call returns,
// so that the caller sees one behaviour whichever check ends the attempt.
void finishOnMainQueue(CheckCompletion done, CheckResult result) {
  platform::MainQueue* queue = platform::mainQueue();
  if (queue == nullptr) {
    done(std::move(result));
    return;
  }
  queue->post(
      [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
}

// The integer value of a version piece's leading digits; a piece too long for the type stays at
// the largest value rather than wrapping round to a small one.
std::uint64_t leadingNumber(std::u16string_view piece) {
  constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char16_t c : piece) {
    if (c < u'0' || c > u'9') {
      break;
    }
    const auto digit = static_cast<std::uint64_t>(c - u'0');
    value = value > (kLargest - digit) / 10 ? kLargest : value * 10 + digit;
  }
  return value;
}

// Runs on the main queue once Zelvar has reported back from the launch.
void continueAfterLaunch(platform::Workspace& workspace,
                         std::shared_ptr<source::SourceLibrary> zelvarApp,
                         std::optional<platform::RunningApplication> application,
                         std::optional<platform::Error> error, const CheckCompletion& done) {
  if (!application) {
    std::u16string reason = error && !error->description.empty()
                                ? error->description
                                : localized(u"Could not open Zelvar.");
    done(cannotStartImport(std::move(reason)));
    return;
  }
  if (workspace.determinePermissionToAutomateTarget(*application) ==
      platform::kAutomationNotPermitted) {
    done(Alert{localized(u"This app does not have authority to control Zelvar."),
               localized(u"Allow this app to control Zelvar in Security & Privacy System "
                         u"Settings.")});
    return;
  }
  done(std::move(zelvarApp));
}

}  // namespace

bool isSupportedZelvarVersion(std::u16string_view version) {
  constexpr std::uint64_t kRequired[] = {1, 4, 2};
  std::uint64_t pieces[3] = {0, 0, 0};
  std::size_t start = 0;
  for (std::uint64_t& piece : pieces) {
    const std::size_t dot = version.find(u'.', start);
    piece = leadingNumber(version.substr(start, dot - start));
    if (dot == std::u16string_view::npos) {
      break;
    }
    start = dot + 1;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    if (pieces[i] != kRequired[i]) {
      return pieces[i] > kRequired[i];
    }
  }
  return true;
}

void checkZelvar(
    platform::Workspace& workspace, const SourceApplicationFactory& makeSource,
    std::function<void(std::variant<std::shared_ptr<source::SourceLibrary>, Alert>)> done) {
  std::u16string_view identifier = platform::kZelvar4BundleIdentifier;
  std::shared_ptr<source::SourceLibrary> zelvarApp = makeSource(identifier);
  if (!zelvarApp) {
    identifier = platform::kZelvarBundleIdentifier;
    zelvarApp = makeSource(identifier);
  }
  if (!zelvarApp) {
    finishOnMainQueue(std::move(done),
                      cannotStartImport(localized(u"Unable to locate the Zelvar application.")));
    return;
  }

  const std::optional<platform::URL> applicationURL =
      workspace.URLForApplicationWithBundleIdentifier(identifier);
  std::optional<std::u16string> version;
  if (applicationURL) {
    version = workspace.shortVersionStringOfApplicationAtURL(*applicationURL);
  }
  if (!version || !isSupportedZelvarVersion(*version)) {
    finishOnMainQueue(std::move(done),
                      cannotStartImport(localized(u"This version of Zelvar is too old. Version "
                                                  u"1.4.2 or later is required.")));
    return;
  }

  workspace.openApplicationAtURL(
      *applicationURL, /*activates=*/false,
      [&workspace, zelvarApp = std::move(zelvarApp), done = std::move(done)](
          std::optional<platform::RunningApplication> application,
          std::optional<platform::Error> error) mutable {
        // The launch reports back on any thread; the rest of the checks belong to the main one.
        auto next = [&workspace, zelvarApp = std::move(zelvarApp), done = std::move(done),
                     application = std::move(application), error = std::move(error)]() mutable {
          continueAfterLaunch(workspace, std::move(zelvarApp), std::move(application),
                              std::move(error), done);
        };
        platform::MainQueue* queue = platform::mainQueue();
        if (queue == nullptr) {
          next();
          return;
        }
        queue->post(std::move(next));
      });
}

std::variant<platform::URL, Alert> checkQuennet(const platform::Workspace& workspace) {
  std::optional<platform::URL> quennet =
      workspace.URLForApplicationWithBundleIdentifier(platform::kQuennetBundleIdentifier);
  if (!quennet) {
    return cannotStartImport(localized(u"Unable to locate the Quennet application."));
  }
  return *std::move(quennet);
}

}  // namespace zv::app
