// zelvar-weblink: shows a web link or webloc file, or writes one, so that users can check the
// bookmarks an export wrote.
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date.h"
#include "platform/log.h"
#include "platform/result.h"
#include "platform/unicode.h"
#include "platform/url.h"
#include "weblink/web_link_file.h"

namespace {

using zv::platform::toUtf8;
using zv::weblink::QNTWebLinkFile;

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

constexpr char kUsage[] =
    "Usage: zelvar-weblink show FILE\n"
    "       zelvar-weblink create URL [--title TITLE] [--webloc] -o FILE\n"
    "\n"
    "Shows the fields of a web link (.qntweblink) or webloc file, or writes a new one.\n"
    "\n"
    "Commands:\n"
    "  show FILE              print title, URL, description, video flag and article text\n"
    "  create URL             write a web link to URL; an existing FILE is never replaced\n"
    "\n"
    "Options of create:\n"
    "  --title TITLE          the link's title (default: none, which shows the URL's host)\n"
    "  --webloc               write a webloc file (XML, URL only) instead of a web link\n"
    "  -o, --output FILE      the file to write (required)\n"
    "  --help                 this text\n";

// Everything shown comes from a file or the command line and may hold escape sequences that a
// terminal would obey; each field stays on its one line.
std::string shown(std::string_view text) {
  return zv::platform::escapedControlCharacters(text);
}

int usageError(std::string_view message) {
  std::cerr << "zelvar-weblink: " << shown(message) << "\n\n" << kUsage;
  return kUsageError;
}

int failure(std::string_view what, const zv::platform::Error& error) {
  std::cerr << "zelvar-weblink: " << shown(what) << ": " << shown(toUtf8(error.description))
            << "\n";
  return kFailure;
}

bool isHelpOption(std::string_view argument) {
  return argument == "--help" || argument == "-h";
}

void printField(std::string_view name, const std::optional<std::u16string>& value) {
  std::cout << name << ": " << (value ? shown(toUtf8(*value)) : std::string("(none)")) << "\n";
}

int show(const std::string& path) {
  const zv::platform::URL file = zv::platform::URL::fileURLWithFileSystemPath(path);
  zv::platform::Error error;
  std::optional<QNTWebLinkFile> link = QNTWebLinkFile::initWithFileURL(file, &error);
  if (!link) {
    return failure("cannot read " + path, error);
  }
  printField("Title", link->title());
  printField("URL", link->URL() ? std::optional(link->URL()->absoluteString()) : std::nullopt);
  printField("Description", link->shortDescription());
  if (link->siteName()) {
    printField("Site name", link->siteName());
  }
  if (link->byline()) {
    printField("Byline", link->byline());
  }
  if (link->datePublished()) {
    printField("Published", zv::platform::iso8601StringFromDate(*link->datePublished()));
  }
  std::cout << "Has video: " << (link->hasVideoURL() ? "yes" : "no") << "\n";
  if (link->articleText()) {
    std::cout << "Article text:\n"
              << zv::platform::escapedControlCharacters(toUtf8(link->articleText()->string()), true)
              << "\n";
  }
  return 0;
}

struct CreateOptions {
  std::optional<std::string> title;
  std::optional<std::string> output;
  bool webloc = false;
};

// Reads "--name VALUE" or "--name=VALUE"; the index moves past what was consumed.
std::optional<std::string> optionValue(const std::vector<std::string>& arguments,
                                       std::size_t& index, std::string_view name) {
  const std::string& argument = arguments[index];
  if (argument == name && index + 1 < arguments.size()) {
    return arguments[++index];
  }
  const std::string prefix = std::string(name) + "=";
  if (argument.starts_with(prefix)) {
    return argument.substr(prefix.size());
  }
  return std::nullopt;
}

int create(const std::vector<std::string>& arguments) {
  CreateOptions options;
  std::optional<std::string> url;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (isHelpOption(argument)) {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--webloc") {
      options.webloc = true;
    } else if (auto title = optionValue(arguments, i, "--title")) {
      options.title = title;
    } else if (auto output = optionValue(arguments, i, "--output")) {
      options.output = output;
    } else if (auto shortOutput = optionValue(arguments, i, "-o")) {
      options.output = shortOutput;
    } else if (argument.starts_with("-")) {
      return usageError("unknown or incomplete option " + argument);
    } else if (!url) {
      url = argument;
    } else {
      return usageError("more than one URL given");
    }
  }
  if (!url) {
    return usageError("create needs a URL");
  }
  if (!options.output || options.output->empty()) {
    return usageError("create needs an output file (-o FILE)");
  }
  std::optional<zv::platform::URL> parsed =
      zv::platform::URL::fromString(zv::platform::fromUtf8(*url));
  if (!parsed) {
    return usageError("not an absolute URL: " + *url);
  }
  QNTWebLinkFile link;
  link.setURL(parsed);
  if (options.title) {
    link.setTitle(zv::platform::fromUtf8(*options.title));
  }
  const zv::platform::URL file = zv::platform::URL::fileURLWithFileSystemPath(*options.output);
  const zv::platform::ContentType type =
      options.webloc ? QNTWebLinkFile::internetLocationFileType() : QNTWebLinkFile::fileType();
  zv::platform::Error error;
  // The help promises that an existing file is never replaced.
  if (!link.writeToURL(file, type, &error, zv::weblink::WebLinkWriteMode::kCreateNew)) {
    return failure("cannot write " + *options.output, error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    return usageError("no command given");
  }
  // Help only where an option may stand: "--title -h" is a title.
  const std::string command = arguments.front();
  arguments.erase(arguments.begin());
  if (isHelpOption(command) ||
      (command == "show" && arguments.size() == 1 && isHelpOption(arguments.front()))) {
    std::cout << kUsage;
    return 0;
  }
  if (command == "show") {
    if (arguments.size() != 1) {
      return usageError("show needs exactly one FILE");
    }
    return show(arguments.front());
  }
  if (command == "create") {
    return create(arguments);
  }
  return usageError("unknown command " + command);
}
