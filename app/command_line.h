#pragma once

#include <optional>
#include <string>
#include <string_view>
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

/// The path made absolute against `currentFolder` (an absolute path) and normalised: no empty or
/// "." components and no trailing "/". A ".." leaves the folder that the path before it reaches
/// as the file system resolves it, links included, so the result names the folder the path
/// names. An export folder named this way can be removed by the next run, which refuses paths
/// with "." or "..".
std::string absoluteNormalizedPath(std::string_view path, std::string_view currentFolder);

}  // namespace zv::app
