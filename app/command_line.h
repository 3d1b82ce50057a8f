#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace zv::app {

/// Error domain of command-line parsing: every error is a usage error.
inline constexpr char16_t kCommandLineErrorDomain[] = u"ZVCommandLineErrorDomain";
inline constexpr std::int64_t kUsageErrorCode = 1;

/// What one run of zelvar-export is to do.
struct ExportOptions {
  /// The snapshot folder (file-system bytes); none for the bundled demo library.
  std::optional<std::string> libraryFolder;
  /// The app-group container (file-system bytes); none for the platform's.
  std::optional<std::string> containerFolder;
  bool exportPasswordItems = true;
  bool exportEncryptedItems = true;
  bool verbose = false;
  /// Whether the run keeps a log file in the container's log folder.
  bool keepsLog = true;
  /// Export from the source application over the session bus, once it has passed the checks
  /// the desktop program makes, instead of from a snapshot.
  bool fromApplication = false;
  /// Only tells what an export would do, writing nothing; --list and --json shape the answer.
  bool dryRun = false;
  bool listItems = false;
  bool json = false;
  /// Where the per-item report goes (file-system bytes); its extension, ".jsonl" or ".csv",
  /// chooses the format.
  std::optional<std::string> reportFile{};
};

enum class CommandLineAction { exportLibrary, showHelp, showVersion };

struct CommandLine {
  CommandLineAction action = CommandLineAction::exportLibrary;
  ExportOptions options;
};

/// Reads the arguments that follow the program name as GNU tools do: "--name VALUE" or
/// "--name=VALUE", a later option overriding an earlier one, "--" ending the options. "--help"
/// and "--version" take effect where they stand. Anything else is a usage error whose
/// description names the offending argument.
platform::Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace zv::app
