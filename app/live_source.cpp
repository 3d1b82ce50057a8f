#include "app/live_source.h"

#include <optional>
#include <utility>

#include "platform/main_queue.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/dbus_source_library.h"

namespace zv::app {

SourceApplicationFactory makeLiveSourceFactory(const platform::Workspace& workspace) {
  return [&workspace](std::u16string_view identifier) -> std::shared_ptr<source::SourceLibrary> {
    if (!workspace.URLForApplicationWithBundleIdentifier(identifier)) {
      return nullptr;
    }
    return source::makeDBusSourceLibrary(platform::toUtf8(identifier));
  };
}

std::variant<std::shared_ptr<source::SourceLibrary>, Alert> checkZelvarAndWait(
    platform::Workspace& workspace, const SourceApplicationFactory& makeSource) {
  platform::MainQueue* const previous = platform::mainQueue();
  std::optional<std::variant<std::shared_ptr<source::SourceLibrary>, Alert>> outcome;
  {
    platform::RunLoopMainQueue queue;
    platform::setMainQueue(&queue);
    checkZelvar(workspace, makeSource, [&outcome](auto result) { outcome = std::move(result); });
    queue.runUntil([&outcome] { return outcome.has_value(); });
    platform::setMainQueue(previous);
  }
  return *std::move(outcome);
}

std::string alertLine(std::string_view program, const Alert& alert) {
  return std::string(program) + ": " + platform::toUtf8(alert.messageText) + " " +
         platform::toUtf8(alert.informativeText);
}

}  // namespace zv::app
