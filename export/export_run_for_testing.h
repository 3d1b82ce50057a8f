#pragma once

// Runs an export to its end inside a test, the way the application does: the operation on a
// queue of its own, its completion on the test's thread. Only tests include this.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "export/export_operation.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/scoped_descriptor.h"

namespace zv::exporter {

/// How a run ended and what it logged.
struct ExportRun {
  std::optional<platform::Error> error;
  std::optional<platform::URL> metadataFile;
  int callbacks = 0;
  bool callbackOnMainThread = false;
  ExportSummary summary;
  std::int64_t total = 0;
  std::int64_t completed = 0;
};

/// Runs `operation`, made with `mainQueue` (a run loop that the test's thread turns with
/// runUntil() and runPendingBlocks()), until it has finished and its completion has run; the
/// run's log goes to the file at `logPath`, created or emptied first.
template <typename RunLoopQueue>
ExportRun runExportToEnd(std::shared_ptr<ZVExportOperation> operation, RunLoopQueue& mainQueue,
                         const std::string& logPath) {
  const platform::ScopedDescriptor log(
      ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const int previousLog = platform::setLogFileDescriptor(log.get());
  ExportRun run;
  operation->setExportCompletionBlock(
      [&](std::optional<platform::Error> error, std::optional<platform::URL> url) {
        ++run.callbacks;
        run.callbackOnMainThread = mainQueue.isCurrentThreadMain();
        run.error = std::move(error);
        run.metadataFile = std::move(url);
      });
  platform::OperationQueue queue;
  queue.addOperation(operation);
  mainQueue.runUntil([&] { return run.callbacks > 0; });
  queue.waitUntilAllOperationsAreFinished();
  mainQueue.runPendingBlocks();
  run.summary = operation->summary();
  run.total = operation->progress()->totalUnitCount();
  run.completed = operation->progress()->completedUnitCount();
  platform::setLogFileDescriptor(previousLog);
  return run;
}

}  // namespace zv::exporter
