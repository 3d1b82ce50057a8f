// zelvar-export: exports a library snapshot into the target application's container and prints
// the URL that hands the export over.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/dry_run_report.h"
#include "app/export_report.h"
#include "app/handover_url.h"
#include "app/live_source.h"
#include "app/progress_line.h"
#include "app/run_log.h"
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/item_report.h"
#include "platform/app_group_containers.h"
#include "platform/bundle_info.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/retry_on_interrupt.h"
#include "platform/run_loop_main_queue.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"
#include "platform/workspace.h"
#include "source/library_snapshot.h"

namespace {

using zv::app::ExportOptions;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Ctrl-C and a plain kill both give 130, as the shell reports Ctrl-C; other signals that cancel
// give 128 plus their number.
constexpr int kExitCancelled = 130;
constexpr char kProgramName[] = "zelvar-export";
constexpr char kDemoLibraryPath[] = "data/demo-library";
constexpr char kInstalledDemoLibraryPath[] = ZV_DEMO_LIBRARY_FROM_BINDIR;
// Redrawing more often only costs time; the eye cannot follow it anyway.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

constexpr char kUsage[] =
    "Usage: zelvar-export [OPTION]...\n"
    "Export a Zelvar library snapshot into Quennet's app-group container.\n"
    "\n"
    "  --library DIR     the library snapshot folder (holding library.json); default: the\n"
    "                    demo library installed with this program (in\n"
    "                    share/zelvar-importer/demo-library), or data/demo-library of the\n"
    "                    source tree whose build folder holds this program\n"
    "  --from-app        export from the running Zelvar application over the session bus\n"
    "                    instead, once it has been found, is new enough, has started and\n"
    "                    allows this program to control it\n"
    "  --container DIR   the app-group container to export into; default: Quennet's container\n"
    "                    in the user's data folder ($XDG_DATA_HOME or ~/.local/share)\n"
    "  --no-passwords    leave password items out\n"
    "  --no-encrypted    leave encrypted items out\n"
    "  --verbose         print the export's log lines to standard error too\n"
    "  --no-log          keep no log file of this run\n"
    "  --dry-run         tell what an export would do, and write nothing anywhere\n"
    "  --list            with --dry-run: each item with the file name it would get\n"
    "  --json            with --dry-run: print one JSON document (version 1)\n"
    "  --report FILE     write a record of every item (outcome, file, size, SHA-256) to FILE,\n"
    "                    JSON Lines for FILE.jsonl, CSV for FILE.csv (version 1); never\n"
    "                    replaces a file, never in the export folder\n"
    "  --help            display this help and exit\n"
    "  --version         output version information and exit\n"
    "\n"
    "On success the last line of standard output is the URL that hands the export to Quennet,\n"
    "and a summary goes to standard error. Ctrl-C (SIGINT), SIGTERM, SIGHUP and SIGQUIT cancel\n"
    "the export and remove what it wrote to temporary folders.\n"
    "\n"
    "Each run keeps its log lines in a file of its own in Library/Zelvar Importer/Logs inside\n"
    "the container; the ten newest logs are kept.\n"
    "\n"
    "Exit status: 0 on success, 1 if the export failed or its URL could not be written, 2 for a\n"
    "usage error or an unreadable library, 130 if the export was cancelled by SIGINT or SIGTERM,\n"
    "129 by SIGHUP, 131 by SIGQUIT. With --dry-run: 0 when an export would start, 1 with the\n"
    "reason when it could not (not enough space, no container, a faulty item).\n";

// 0 once the whole text is written, else the errno of the write that failed.
int writeAll(int descriptor, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = zv::platform::retryOnInterrupt(
        [&] { return ::write(descriptor, text.data(), text.size()); });
    if (written < 0) {
      return errno;
    }
    if (written == 0) {
      return EIO;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// One line to standard error. Messages carry names and paths from the library and the command
// line; escaped, none of them can drive the terminal.
void printLine(std::string_view message) {
  writeAll(STDERR_FILENO, zv::platform::escapedControlCharacters(message) + "\n");
}

void printLine(std::u16string_view message) {
  printLine(zv::platform::toUtf8(message));
}

// Writes to standard output; a failure (a full disk, a closed pipe) is reported and gives exit
// status 1, since a script reading the output would otherwise miss it.
int printToStandardOutput(std::string_view text) {
  if (const int error = writeAll(STDOUT_FILENO, text); error != 0) {
    printLine(std::string(kProgramName) +
              ": cannot write to standard output: " + std::strerror(error));
    return kExitFailure;
  }
  return 0;
}

int usageError(const std::string& message) {
  printLine(std::string(kProgramName) + ": " + message);
  printLine("Try '" + std::string(kProgramName) + " --help' for more information.");
  return kExitUsage;
}

int exitStatusForSignal(int number) {
  if (number == 0 || number == SIGINT || number == SIGTERM) {
    return kExitCancelled;
  }
  return 128 + number;
}

// The demo library: beside an installed program under <prefix>/share, or in the source tree of a
// build, whose executables lie in <tree>/<build folder>/bin. Both are found from the executable
// alone, so that the program never depends on where it was built.
std::optional<std::filesystem::path> defaultLibraryFolder() {
  std::vector<std::filesystem::path> candidates;
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return std::nullopt;
  }
  const std::filesystem::path programFolder = executable.parent_path();
  candidates.push_back((programFolder / kInstalledDemoLibraryPath).lexically_normal());
  candidates.push_back(programFolder.parent_path().parent_path() / kDemoLibraryPath);
  for (const auto& candidate : candidates) {
    if (std::filesystem::is_regular_file(candidate / zv::source::kLibrarySnapshotFileName, error)) {
      return candidate;
    }
  }
  return std::nullopt;
}

// Standard error as the export sees it: log lines and, on a terminal, one progress line redrawn
// in place below them. Log lines arrive on a thread of their own, so both go through one lock.
class StatusOutput {
 public:
  explicit StatusOutput(bool terminal) : terminal_(terminal) {}

  // Main thread: the progress object changed.
  void showProgress(const zv::platform::ProgressState& state) {
    if (!terminal_) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
    std::optional<double> remaining = estimator_.update(state, seconds);
    // Text changes show at once; counts at a calmer pace.
    if (state.localizedDescription == lastDescription_ &&
        state.isIndeterminate() == lastIndeterminate_ && now - lastDraw_ < kRedrawInterval) {
      return;
    }
    lastDescription_ = state.localizedDescription;
    lastIndeterminate_ = state.isIndeterminate();
    lastDraw_ = now;
    std::lock_guard lock(mutex_);
    line_ = zv::app::progressLine(state, remaining, terminalWidth() - 1);
    writeAll(STDERR_FILENO, "\r\033[K" + line_);
  }

  // Any thread: one log line, complete with its newline.
  void writeLogLine(std::string_view line) {
    std::lock_guard lock(mutex_);
    if (!terminal_ || line_.empty()) {
      writeAll(STDERR_FILENO, line);
      return;
    }
    writeAll(STDERR_FILENO, "\r\033[K" + std::string(line) + line_);
  }

  // Removes the progress line so that what follows starts on a clean line.
  void clear() {
    std::lock_guard lock(mutex_);
    if (terminal_ && !line_.empty()) {
      writeAll(STDERR_FILENO, "\r\033[K");
    }
    line_.clear();
  }

 private:
  static std::size_t terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
      return size.ws_col;
    }
    return 80;
  }

  const bool terminal_;
  std::mutex mutex_;
  std::string line_;
  std::u16string lastDescription_;
  bool lastIndeterminate_ = true;
  std::chrono::steady_clock::time_point lastDraw_;
  zv::app::TimeRemainingEstimator estimator_;
};

// Where the export's log lines go while it runs: into the run log (`logFile`, -1 for none) and,
// with --verbose, through a pipe to StatusOutput as well; with neither, nowhere. Restored when
// the object goes, which must be after the export thread ended.
class LogRedirection {
 public:
  LogRedirection(bool verbose, int logFile, StatusOutput& output) : logFile_(logFile) {
    if (!verbose) {
      previous_ = zv::platform::setLogFileDescriptor(logFile);
      direct_ = true;
      return;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      return;  // the log then goes to standard error directly, which --verbose asked for anyway
    }
    sink_.reset(ends[1]);
    readEnd_.reset(ends[0]);
    previous_ = zv::platform::setLogFileDescriptor(sink_.get());
    reader_ = std::thread([this, &output] { forward(output); });
  }

  ~LogRedirection() {
    if (direct_) {
      zv::platform::setLogFileDescriptor(previous_);
      return;
    }
    if (!sink_.valid()) {
      return;
    }
    zv::platform::setLogFileDescriptor(previous_);
    // The reader stops at the end of the pipe, which comes once the sink is closed.
    sink_.reset();
    if (reader_.joinable()) {
      reader_.join();
    }
  }

  LogRedirection(const LogRedirection&) = delete;
  LogRedirection& operator=(const LogRedirection&) = delete;

 private:
  void forward(StatusOutput& output) {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t count = zv::platform::retryOnInterrupt(
          [&] { return ::read(readEnd_.get(), buffer, sizeof buffer); });
      if (count <= 0) {
        break;
      }
      // The file gets the lines as they were logged; they are escaped already.
      if (logFile_ >= 0) {
        writeAll(logFile_, std::string_view(buffer, static_cast<std::size_t>(count)));
      }
      pending.append(buffer, static_cast<std::size_t>(count));
      std::size_t end = pending.rfind('\n');
      if (end != std::string::npos) {
        output.writeLogLine(zv::platform::escapedControlCharacters(
            std::string_view(pending).substr(0, end + 1), true));
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) {
      output.writeLogLine(zv::platform::escapedControlCharacters(pending) + "\n");
    }
  }

  // The lines go straight to the run log or nowhere; no pipe.
  bool direct_ = false;
  int logFile_ = -1;
  zv::platform::ScopedDescriptor sink_;
  zv::platform::ScopedDescriptor readEnd_;
  int previous_ = STDERR_FILENO;
  std::thread reader_;
};

// The signals that cancel a run, received by one thread with sigwait(), so no code runs in a
// signal handler. Construct it first, before any other thread starts (the threads inherit the
// blocked mask) and before the library is read, so that a signal never ends the program on the
// spot once it has begun.
class TerminationSignals {
 public:
  TerminationSignals() {
    sigemptyset(&signals_);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      sigaddset(&signals_, number);
    }
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    watcher_ = std::thread([this] { watch(); });
  }

  // The signals stay blocked: the program is about to end, and a late Ctrl-C must not kill it
  // before it has reported how the export ended.
  ~TerminationSignals() {
    stopping_ = true;
    // Blocked everywhere, SIGTERM only wakes the watcher's sigwait(); it kills no thread.
    // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
  }

  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // From here on a signal calls `cancel` (on the watching thread) instead of ending the program.
  void exportStarted(std::function<void()> cancel) {
    std::lock_guard lock(mutex_);
    cancel_ = std::move(cancel);
  }

  // The export has reported how it ended; later signals change nothing.
  void exportEnded() {
    std::lock_guard lock(mutex_);
    cancel_ = [] {};
  }

  // The first signal received, 0 when none came.
  int firstSignal() const { return firstSignal_.load(); }

 private:
  void watch() {
    for (;;) {
      int received = 0;
      if (sigwait(&signals_, &received) != 0 || stopping_) {
        return;
      }
      int none = 0;
      firstSignal_.compare_exchange_strong(none, received);
      std::lock_guard lock(mutex_);
      if (!cancel_) {
        // The library is still being read: nothing is written yet that would need cleaning up,
        // and reading a large one to the end would only keep the user waiting.
        printLine(zv::platform::localized(u"Export cancelled."));
        std::_Exit(exitStatusForSignal(firstSignal_.load()));
      }
      cancel_();
    }
  }

  sigset_t signals_{};
  std::atomic<bool> stopping_{false};
  std::atomic<int> firstSignal_{0};
  std::mutex mutex_;
  std::function<void()> cancel_;
  std::thread watcher_;
};

// With --verbose, how long each step took: a slow one shows at once where to look.
void printStepTime(std::u16string_view step, double seconds) {
  char figure[32];
  std::snprintf(figure, sizeof figure, "%.3f s", seconds);
  printLine("time: " + zv::platform::toUtf8(step) + " " + figure);
}

struct ExportOutcome {
  std::optional<zv::platform::Error> error;
  std::optional<zv::platform::URL> metadataFileURL;
};

int report(const ExportOutcome& outcome, const zv::exporter::ExportSummary& summary,
           int cancellingSignal) {
  using zv::platform::toUtf8;
  if (outcome.error && zv::app::isUserCancelledError(*outcome.error)) {
    printLine(zv::platform::localized(u"Export cancelled."));
    return exitStatusForSignal(cancellingSignal);
  }
  if (outcome.error) {
    printLine(zv::app::exportFailureMessage(*outcome.error));
    return kExitFailure;
  }
  std::optional<zv::platform::URL> handOver =
      outcome.metadataFileURL ? zv::app::importURLForMetadataFileAtURL(*outcome.metadataFileURL)
                              : std::nullopt;
  // Success without a usable URL must not read as success to a script.
  if (!handOver) {
    printLine(zv::app::exportFailureMessage(zv::exporter::makeImportError(
        zv::exporter::kSourceFailedErrorCode,
        zv::platform::localized(u"The export wrote no metadata file."))));
    return kExitFailure;
  }
  printLine(zv::app::exportSummaryLine(summary));
  return printToStandardOutput(toUtf8(handOver->absoluteString()) + "\n");
}

// The run's log file, begun with its header line; none with --no-log or when it cannot be made.
// A run without a log exports all the same: the log is for finding faults, not a result.
std::optional<zv::app::NewLogFile> beginRunLog(const ExportOptions& options) {
  if (!options.keepsLog) {
    return std::nullopt;
  }
  std::optional<zv::platform::URL> container;
  if (options.containerFolder) {
    container = zv::platform::URL::fileURLWithFileSystemPath(*options.containerFolder, true);
  }
  auto folder = zv::app::logFolderURL(container);
  auto file = folder ? zv::app::createRunLogFile(*folder, zv::app::currentLocalTime())
                     : zv::platform::Result<zv::app::NewLogFile>(folder.error());
  if (!file) {
    if (options.verbose) {
      printLine(std::string(kProgramName) +
                ": keeping no log of this run: " + zv::platform::toUtf8(file.error().description));
    }
    return std::nullopt;
  }
  const int previous = zv::platform::setLogFileDescriptor(file->descriptor.get());
  zv::app::logHeaderLine();
  zv::platform::setLogFileDescriptor(previous);
  return std::move(*file);
}

// True when `file` would lie in the export folder of `container` (the platform's when none),
// which every export removes and whose every file Quennet imports.
bool liesInExportFolder(const std::filesystem::path& file,
                        const std::optional<std::string>& containerFolder) {
  auto container = containerFolder
                       ? zv::platform::Result<zv::platform::URL>(
                             zv::platform::URL::fileURLWithFileSystemPath(*containerFolder, true))
                       : zv::platform::containerURLForSecurityApplicationGroupIdentifier(
                             zv::platform::kQuennetApplicationGroupIdentifier);
  if (!container) {
    return false;  // The export cannot start either, and says why.
  }
  std::error_code error;
  const std::filesystem::path exportFolder =
      std::filesystem::weakly_canonical(container->fileSystemPath(), error) / "Zelvar";
  const std::filesystem::path real =
      std::filesystem::weakly_canonical(std::filesystem::absolute(file, error).parent_path(),
                                        error) /
      file.filename();
  if (error) {
    return false;
  }
  return std::mismatch(exportFolder.begin(), exportFolder.end(), real.begin(), real.end()).first ==
         exportFolder.end();
}

// The report's writer, begun before the export so that a report that cannot be written stops
// the run before anything is removed. Exit status 2 in `failed` when it cannot.
std::shared_ptr<zv::exporter::ItemReportWriter> beginReport(const ExportOptions& options,
                                                            int& failed) {
  if (!options.reportFile) {
    return nullptr;
  }
  const std::filesystem::path file = *options.reportFile;
  if (liesInExportFolder(file, options.containerFolder)) {
    failed = usageError("the report " + file.string() +
                        " would lie in the export folder, which Quennet imports whole");
    return nullptr;
  }
  auto writer =
      zv::exporter::ItemReportWriter::create(file, *zv::exporter::reportFormatForPath(file));
  if (!writer) {
    failed = usageError("cannot begin the report " + file.string() + ": " +
                        zv::platform::toUtf8(writer.error().description));
    return nullptr;
  }
  return *writer;
}

int runExport(std::shared_ptr<zv::source::SourceLibrary> library, const ExportOptions& options,
              TerminationSignals& signals) {
  int reportFailed = 0;
  const std::shared_ptr<zv::exporter::ItemReportWriter> reportWriter =
      beginReport(options, reportFailed);
  if (reportFailed != 0) {
    return reportFailed;
  }
  const std::optional<zv::app::NewLogFile> runLog = beginRunLog(options);
  zv::platform::RunLoopMainQueue mainQueue;
  zv::platform::setMainQueue(&mainQueue);
  StatusOutput output(::isatty(STDERR_FILENO) == 1);
  std::optional<ExportOutcome> outcome;
  zv::exporter::ExportSummary summary;
  {
    std::unique_ptr<zv::platform::OperationQueue> queue;
    // The cancel goes through the main queue, as the progress sheet's cancel button does.
    signals.exportStarted([&mainQueue, &queue] {
      mainQueue.post([&queue] {
        if (queue) {
          queue->cancelAllOperations();
        }
      });
    });
    LogRedirection logRedirection(options.verbose, runLog ? runLog->descriptor.get() : -1, output);
    queue = std::make_unique<zv::platform::OperationQueue>();

    auto operation = std::make_shared<zv::exporter::ZVExportOperation>(library, mainQueue);
    operation->setExportEncryptedItems(options.exportEncryptedItems);
    operation->setExportPasswordItems(options.exportPasswordItems);
    operation->setItemObserver(reportWriter);
    if (options.containerFolder) {
      operation->setContainerURL(
          zv::platform::URL::fileURLWithFileSystemPath(*options.containerFolder, true));
    }
    auto progress = operation->progress();
    auto observer = progress->addObserver(
        [&output](const zv::platform::ProgressState& state) { output.showProgress(state); });
    operation->setExportCompletionBlock(
        [&outcome](std::optional<zv::platform::Error> error,
                   std::optional<zv::platform::URL> metadataFileURL) {
          outcome = ExportOutcome{std::move(error), std::move(metadataFileURL)};
        });
    queue->addOperation(operation);
    mainQueue.runUntil([&outcome] { return outcome.has_value(); });
    queue->waitUntilAllOperationsAreFinished();
    summary = operation->summary();
    progress->removeObserver(observer);
    // The cancel would reach a queue that is gone.
    signals.exportEnded();
    queue.reset();
    // logRedirection ends here, after the export thread.
  }
  output.clear();
  zv::platform::setMainQueue(nullptr);
  if (options.verbose) {
    for (const auto& [step, seconds] : summary.stepSeconds) {
      printStepTime(step, seconds);
    }
  }
  if (!outcome) {
    printLine(std::string(kProgramName) + ": the export ended without reporting");
    return kExitFailure;
  }
  // Finished however the export ended: what was done so far is kept, marked incomplete.
  zv::platform::Result<void> reportFinished;
  if (reportWriter) {
    reportFinished = reportWriter->finish(outcome->error);
  }
  const int status = report(*outcome, summary, signals.firstSignal());
  if (!reportFinished) {
    printLine(std::string(kProgramName) + ": the report is not whole: " +
              zv::platform::toUtf8(reportFinished.error().description));
    return status == 0 ? kExitFailure : status;
  }
  return status;
}

// Reads the library as an export would and tells what it would do; no log, lock or folder.
int runDryRun(zv::source::SourceLibrary& library, const ExportOptions& options) {
  // What the reading would log is for --verbose only; the answer is the report.
  zv::platform::setLogFileDescriptor(options.verbose ? STDERR_FILENO : -1);
  auto plan =
      zv::exporter::planExport(library, {.exportPasswordItems = options.exportPasswordItems,
                                         .exportEncryptedItems = options.exportEncryptedItems,
                                         .listItems = options.listItems});
  if (!plan) {
    printLine(std::string(kProgramName) +
              ": cannot read the library: " + zv::platform::toUtf8(plan.error().description));
    return kExitFailure;
  }
  std::optional<zv::platform::URL> container;
  if (options.containerFolder) {
    container = zv::platform::URL::fileURLWithFileSystemPath(*options.containerFolder, true);
  }
  zv::exporter::planContainer(*plan, container, zv::exporter::freeSpaceOfFileSystem);
  const std::string text = options.json ? zv::app::dryRunJson(*plan, options.listItems)
                                        : zv::app::dryRunText(*plan, options.listItems);
  if (const int failed = printToStandardOutput(text); failed != 0) {
    return failed;
  }
  for (const std::u16string& problem : plan->problems) {
    printLine(std::string(kProgramName) +
              ": an export would not succeed: " + zv::platform::toUtf8(problem));
  }
  return plan->problems.empty() ? 0 : kExitFailure;
}

// --from-app: the checks of the desktop program on Zelvar, then the export from it. Quennet is
// not looked for, since only the hand-over URL is printed.
int exportFromApplication(const ExportOptions& options, TerminationSignals& signals) {
  std::unique_ptr<zv::platform::Workspace> workspace = zv::platform::makeDesktopWorkspace();
  auto checked =
      zv::app::checkZelvarAndWait(*workspace, zv::app::makeLiveSourceFactory(*workspace));
  if (const auto* alert = std::get_if<zv::app::Alert>(&checked)) {
    printLine(zv::app::alertLine(kProgramName, *alert));
    return kExitFailure;
  }
  if (options.dryRun) {
    return runDryRun(*std::get<0>(checked), options);
  }
  return runExport(std::get<0>(std::move(checked)), options, signals);
}

}  // namespace

// Our code reports failure as values; what can still escape is the standard library failing to
// allocate or to start a thread, after which ending the program is all that is left.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int argc, char** argv) {
  // A closed pipe then shows as a write error, reported, not as a silent death.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  auto commandLine = zv::app::parseCommandLine(arguments);
  if (!commandLine) {
    return usageError(zv::platform::toUtf8(commandLine.error().description));
  }
  if (commandLine->action == zv::app::CommandLineAction::showHelp) {
    return printToStandardOutput(kUsage);
  }
  if (commandLine->action == zv::app::CommandLineAction::showVersion) {
    return printToStandardOutput(
        std::string(kProgramName) + " (" + zv::platform::toUtf8(zv::platform::kBundleName) + ") " +
        zv::platform::toUtf8(zv::platform::kBundleShortVersionString) + " (build " +
        zv::platform::toUtf8(zv::platform::kBundleVersion) + ")\n");
  }
  ExportOptions& options = commandLine->options;
  if (options.containerFolder) {
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    if (error && !options.containerFolder->starts_with('/')) {
      return usageError("cannot find the current folder: " + error.message());
    }
    options.containerFolder =
        zv::platform::absoluteNormalizedPath(*options.containerFolder, current.string());
  }
  TerminationSignals signals;
  if (options.fromApplication) {
    return exportFromApplication(options, signals);
  }

  std::optional<std::filesystem::path> folder;
  if (options.libraryFolder) {
    folder = *options.libraryFolder;
  } else {
    folder = defaultLibraryFolder();
    if (!folder) {
      return usageError("cannot find the demo library; name a library with --library");
    }
  }
  const auto loadStarted = std::chrono::steady_clock::now();
  auto library = zv::source::openLibrarySnapshot(*folder);
  if (options.verbose) {
    printStepTime(
        u"load",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStarted).count());
  }
  if (!library) {
    printLine(std::string(kProgramName) + ": cannot open the library " + folder->string() + ": " +
              zv::platform::toUtf8(library.error().description));
    return kExitUsage;
  }
  if (options.dryRun) {
    return runDryRun(**library, options);
  }
  return runExport(std::shared_ptr<zv::source::SourceLibrary>(std::move(*library)), options,
                   signals);
}
