#include "app/command_line.h"

#include <stdlib.h>

#include <algorithm>
#include <string_view>

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
          name == "--no-passwords" || name == "--no-encrypted") {
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
    } else {
      return usageError("unrecognized option '" + argument + "'");
    }
  }
  return commandLine;
}

std::string absoluteNormalizedPath(std::string_view path, std::string_view currentFolder) {
  std::string whole(path);
  if (!path.starts_with('/')) {
    whole = std::string(currentFolder) + "/" + whole;
  }
  std::string normalized;  // "" stands for the root
  std::size_t start = 0;
  while (start <= whole.size()) {
    std::size_t end = whole.find('/', start);
    if (end == std::string::npos) {
      end = whole.size();
    }
    const std::string_view component = std::string_view(whole).substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") {
      continue;
    }
    if (component != "..") {
      normalized += '/';
      normalized += component;
      continue;
    }
    // The system goes up from the folder a link leads to, not from the link's own parent.
    if (!normalized.empty()) {
      if (char* resolved = ::realpath(normalized.c_str(), nullptr)) {
        normalized = resolved;
        ::free(resolved);
      }
    }
    normalized.erase(std::min(normalized.size(), normalized.rfind('/')));
  }
  return normalized.empty() ? "/" : normalized;
}

}  // namespace zv::app
