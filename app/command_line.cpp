#include "app/command_line.h"

#include <string_view>

#include "export/item_report.h"
#include "platform/unicode.h"

namespace zv::app {
namespace {

platform::Error usageError(const std::string& description) {
  return platform::Error{kCommandLineErrorDomain, kUsageErrorCode, platform::fromUtf8(description)};
}

}  // namespace

platform::Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine commandLine;
  ExportOptions& options = commandLine.options;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--") {
      if (index + 1 < arguments.size()) {
        return usageError("unexpected argument '" + arguments[index + 1] + "'");
      }
      break;
    }
    if (!argument.starts_with("--")) {
      return usageError(argument.starts_with("-") && argument.size() > 1
                            ? "invalid option '" + argument + "'"
                            : "unexpected argument '" + argument + "'");
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    std::optional<std::string> inlineValue;
    if (equals != std::string::npos) {
      inlineValue = argument.substr(equals + 1);
    }

    if (name == "--report") {
      if (!inlineValue && index + 1 == arguments.size()) {
        return usageError("option '--report' requires a file");
      }
      std::string value = inlineValue ? *inlineValue : arguments[++index];
      if (!exporter::reportFormatForPath(value)) {
        return usageError("the report file '" + value + "' must end in .jsonl or .csv");
      }
      options.reportFile = std::move(value);
      continue;
    }
    if (name == "--library" || name == "--container") {
      std::string value;
      if (inlineValue) {
        value = *inlineValue;
      } else if (index + 1 < arguments.size()) {
        value = arguments[++index];
      } else {
        return usageError("option '" + name + "' requires a folder");
      }
      // An empty path would quietly mean the current folder.
      if (value.empty()) {
        return usageError("option '" + name + "' requires a folder");
      }
      (name == "--library" ? options.libraryFolder : options.containerFolder) = value;
      continue;
    }

    // The remaining options are flags.
    if (inlineValue) {
      if (name == "--help" || name == "--version" || name == "--verbose" ||
          name == "--no-passwords" || name == "--no-encrypted" || name == "--no-log" ||
          name == "--from-app" || name == "--dry-run" || name == "--list" || name == "--json") {
        return usageError("option '" + name + "' doesn't allow an argument");
      }
      return usageError("unrecognized option '" + argument + "'");
    }
    if (name == "--help") {
      commandLine.action = CommandLineAction::showHelp;
      return commandLine;
    }
    if (name == "--version") {
      commandLine.action = CommandLineAction::showVersion;
      return commandLine;
    }
    if (name == "--no-passwords") {
      options.exportPasswordItems = false;
    } else if (name == "--no-encrypted") {
      options.exportEncryptedItems = false;
    } else if (name == "--verbose") {
      options.verbose = true;
    } else if (name == "--no-log") {
      options.keepsLog = false;
    } else if (name == "--from-app") {
      options.fromApplication = true;
    } else if (name == "--dry-run") {
      options.dryRun = true;
    } else if (name == "--list") {
      options.listItems = true;
    } else if (name == "--json") {
      options.json = true;
    } else {
      return usageError("unrecognized option '" + argument + "'");
    }
  }
  // The two sources exclude each other; taking either silently would export the wrong library.
  if (options.fromApplication && options.libraryFolder) {
    return usageError("options '--from-app' and '--library' cannot be used together");
  }
  if (options.reportFile && options.dryRun) {
    return usageError("option '--report' cannot be used with '--dry-run', which writes nothing");
  }
  if ((options.listItems || options.json) && !options.dryRun) {
    return usageError(std::string("option '") + (options.listItems ? "--list" : "--json") +
                      "' requires '--dry-run'");
  }
  return commandLine;
}

}  // namespace zv::app
