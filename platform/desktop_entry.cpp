#include "platform/desktop_entry.h"

#include <expat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::platform {

namespace {

constexpr std::string_view kDesktopEntryGroup = "[Desktop Entry]";

Error invalidEntry(std::u16string reason) {
  return Error{kWorkspaceErrorDomain, kInvalidDesktopEntryErrorCode, std::move(reason)};
}

bool isKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string fileText(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

}  // namespace

Result<DesktopEntry> DesktopEntry::parse(std::string_view text) {
  if (text.size() > kMaximumSize) {
    return invalidEntry(localized(u"The desktop entry is too large."));
  }
  if (!isValidUtf8(text)) {
    return invalidEntry(localized(u"The desktop entry is not UTF-8 text."));
  }
  DesktopEntry entry;
  bool seenGroup = false;
  bool inMainGroup = false;
  bool seenMainGroup = false;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const std::string_view content = trimmed(line);
    if (content.empty() || content.front() == '#') {
      continue;
    }
    const auto badLine = [&] {
      return invalidEntry(formatLocalized(u"The desktop entry has an invalid line %ld.",
                                          {static_cast<std::int64_t>(lineNumber)}));
    };
    if (content.front() == '[') {
      if (content.back() != ']') {
        return badLine();
      }
      // The main group must come first; later groups (actions) are skipped.
      inMainGroup = content == kDesktopEntryGroup;
      if (!seenGroup && !inMainGroup) {
        return invalidEntry(localized(u"The desktop entry does not start with its main group."));
      }
      if (inMainGroup && seenMainGroup) {
        return badLine();
      }
      seenMainGroup = seenMainGroup || inMainGroup;
      seenGroup = true;
      continue;
    }
    const std::size_t equals = content.find('=');
    if (!seenGroup || equals == std::string_view::npos) {
      return badLine();
    }
    std::string_view key = trimmed(content.substr(0, equals));
    const std::string_view value = trimmed(content.substr(equals + 1));
    std::string_view locale;
    if (const std::size_t bracket = key.find('['); bracket != std::string_view::npos) {
      if (key.back() != ']' || bracket + 2 >= key.size()) {
        return badLine();
      }
      locale = key.substr(bracket + 1, key.size() - bracket - 2);
      key = key.substr(0, bracket);
    }
    if (key.empty() || !std::all_of(key.begin(), key.end(), isKeyCharacter)) {
      return badLine();
    }
    if (!inMainGroup || !locale.empty()) {
      continue;
    }
    // A key given twice leaves it open which value counts; for Exec that decides what runs.
    if (!entry.values_.emplace(key, value).second) {
      return invalidEntry(
          formatLocalized(u"The desktop entry gives the key %@ twice.", {fromUtf8(key)}));
    }
  }
  if (!seenMainGroup) {
    return invalidEntry(localized(u"The desktop entry has no main group."));
  }
  return entry;
}

std::optional<std::string> DesktopEntry::stringValue(std::string_view key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) {
    return std::nullopt;
  }
  const std::string& raw = found->second;
  std::string value;
  value.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      value += raw[i];
      continue;
    }
    switch (raw[i + 1]) {
      case 's':
        value += ' ';
        break;
      case 'n':
        value += '\n';
        break;
      case 't':
        value += '\t';
        break;
      case 'r':
        value += '\r';
        break;
      case '\\':
        value += '\\';
        break;
      default:
        value += '\\';
        value += raw[i + 1];
        break;
    }
    ++i;
  }
  return value;
}

bool DesktopEntry::booleanValue(std::string_view key) const {
  const auto found = values_.find(key);
  return found != values_.end() && found->second == "true";
}

std::vector<std::string> xdgDataFolders(const char* dataHome, const char* dataDirs,
                                        const char* home) {
  std::vector<std::string> folders;
  // A relative value is invalid and counts as unset.
  if (dataHome != nullptr && dataHome[0] == '/') {
    folders.emplace_back(dataHome);
  } else if (home != nullptr && home[0] == '/') {
    folders.push_back(std::string(home) + "/.local/share");
  }
  std::string_view dirs = dataDirs != nullptr && dataDirs[0] != '\0'
                              ? std::string_view(dataDirs)
                              : std::string_view("/usr/local/share:/usr/share");
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    if (!dir.empty() && dir.front() == '/') {
      folders.emplace_back(dir);
    }
    if (colon == std::string_view::npos) {
      break;
    }
    dirs.remove_prefix(colon + 1);
  }
  return folders;
}

std::vector<std::string> xdgDataFoldersFromEnvironment() {
  // NOLINTBEGIN(concurrency-mt-unsafe): read once, nothing here sets the environment.
  return xdgDataFolders(std::getenv("XDG_DATA_HOME"), std::getenv("XDG_DATA_DIRS"),
                        std::getenv("HOME"));
  // NOLINTEND(concurrency-mt-unsafe)
}

bool isValidApplicationIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > 255) {
    return false;
  }
  int elements = 0;
  while (true) {
    const std::size_t dot = identifier.find('.');
    const std::string_view element = identifier.substr(0, dot);
    const bool valid = !element.empty() && !(element.front() >= '0' && element.front() <= '9') &&
                       std::all_of(element.begin(), element.end(),
                                   [](char c) { return isKeyCharacter(c) || c == '_'; });
    if (!valid) {
      return false;
    }
    ++elements;
    if (dot == std::string_view::npos) {
      return elements >= 2;
    }
    identifier.remove_prefix(dot + 1);
  }
}

std::optional<std::string> findDesktopEntryFile(std::string_view identifier,
                                                const std::vector<std::string>& dataFolders) {
  if (!isValidApplicationIdentifier(identifier)) {
    return std::nullopt;
  }
  for (const std::string& folder : dataFolders) {
    std::string path = folder + "/applications/" + std::string(identifier) + ".desktop";
    Result<DesktopEntry> entry = readDesktopEntryFile(path);
    if (entry.ok()) {
      if (entry->booleanValue("Hidden")) {
        return std::nullopt;
      }
      return path;
    }
    // Only a file that is not there lets a less important folder speak.
    if (isFileError(entry.error(), FileErrorCode::kFileNotFound) ||
        isFileError(entry.error(), FileErrorCode::kNotADirectory)) {
      continue;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

Result<DesktopEntry> readDesktopEntryFile(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(
      auto bytes, readFileAtURL(URL::fileURLWithFileSystemPath(path), DesktopEntry::kMaximumSize));
  return DesktopEntry::parse(fileText(bytes));
}

namespace {

// Reads the releases of a metainfo document as a stream and stops at the first version, so
// only the head of a long release history is ever looked at.
class MetainfoReader {
 public:
  static constexpr std::size_t kMaximumSize = 1 << 20;
  static constexpr std::size_t kMaximumDepth = 64;
  static constexpr std::size_t kMaximumVersionLength = 256;

  std::optional<std::string> read(std::string_view xml) {
    if (xml.size() > kMaximumSize) {
      return std::nullopt;
    }
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"),
                                                                        &XML_ParserFree);
    if (!parser) {
      return std::nullopt;
    }
    parser_ = parser.get();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &MetainfoReader::onStart, &MetainfoReader::onEnd);
    // No document type, hence no entities to expand: a metainfo file has no use for them.
    XML_SetStartDoctypeDeclHandler(parser_, &MetainfoReader::onDoctype);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    const XML_Status status =
        XML_Parse(parser_, xml.data(), static_cast<int>(xml.size()), XML_TRUE);
    if (status != XML_STATUS_OK && !version_) {
      return std::nullopt;
    }
    return version_;
  }

 private:
  static MetainfoReader& self(void* data) { return *static_cast<MetainfoReader*>(data); }

  static void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                int) {
    XML_StopParser(self(data).parser_, XML_FALSE);
  }

  static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    MetainfoReader& reader = self(data);
    reader.path_.emplace_back(name);
    if (reader.path_.size() > kMaximumDepth) {
      XML_StopParser(reader.parser_, XML_FALSE);
      return;
    }
    const bool isRelease = reader.path_.size() == 3 && reader.path_[0] == "component" &&
                           reader.path_[1] == "releases" && reader.path_[2] == "release";
    if (!isRelease) {
      return;
    }
    for (const XML_Char** attribute = attributes; attribute[0] != nullptr; attribute += 2) {
      const std::string_view value = attribute[1];
      if (std::string_view(attribute[0]) == "version" && !trimmed(value).empty() &&
          value.size() <= kMaximumVersionLength) {
        reader.version_ = std::string(trimmed(value));
        XML_StopParser(reader.parser_, XML_FALSE);
        return;
      }
    }
  }

  static void XMLCALL onEnd(void* data, const XML_Char*) { self(data).path_.pop_back(); }

  XML_Parser parser_ = nullptr;
  std::vector<std::string> path_;
  std::optional<std::string> version_;
};

}  // namespace

std::optional<std::string> metainfoReleaseVersion(std::string_view xml) {
  return MetainfoReader().read(xml);
}

std::optional<std::string> applicationVersion(std::string_view identifier,
                                              const DesktopEntry& entry,
                                              const std::vector<std::string>& dataFolders) {
  if (isValidApplicationIdentifier(identifier)) {
    for (const std::string& folder : dataFolders) {
      const std::string path = folder + "/metainfo/" + std::string(identifier) + ".metainfo.xml";
      Result<std::vector<std::uint8_t>> bytes =
          readFileAtURL(URL::fileURLWithFileSystemPath(path), MetainfoReader::kMaximumSize);
      if (!bytes.ok()) {
        continue;
      }
      if (std::optional<std::string> version = metainfoReleaseVersion(fileText(*bytes))) {
        return version;
      }
      break;
    }
  }
  std::optional<std::string> version = entry.stringValue("X-AppVersion");
  if (version && trimmed(*version).empty()) {
    return std::nullopt;
  }
  return version;
}

namespace {

// One argument of an Exec line before expansion: literal text and field codes in order.
struct ExecPiece {
  char fieldCode = 0;  // 0 for literal text
  std::string text;
};
struct ExecArgument {
  std::vector<ExecPiece> pieces;
  bool quoted = false;
};

Result<std::vector<ExecArgument>> splitExecLine(std::string_view exec) {
  std::vector<ExecArgument> arguments;
  std::optional<ExecArgument> current;
  bool inQuotes = false;
  const auto addText = [&](char c) {
    if (current->pieces.empty() || current->pieces.back().fieldCode != 0) {
      current->pieces.emplace_back();
    }
    current->pieces.back().text += c;
  };
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (!inQuotes && (c == ' ' || c == '\t' || c == '\n')) {
      if (current) {
        arguments.push_back(*std::exchange(current, std::nullopt));
      }
      continue;
    }
    if (!current) {
      current.emplace();
    }
    if (c == '"') {
      inQuotes = !inQuotes;
      current->quoted = true;
      continue;
    }
    if (inQuotes && c == '\\' && i + 1 < exec.size() &&
        std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
      addText(exec[++i]);
      continue;
    }
    if (c == '%') {
      if (i + 1 == exec.size()) {
        return invalidEntry(localized(u"The Exec line ends in a lone \"%\"."));
      }
      const char code = exec[++i];
      if (code == '%') {
        addText('%');
      } else {
        current->pieces.push_back(ExecPiece{code, {}});
      }
      continue;
    }
    addText(c);
  }
  if (inQuotes) {
    return invalidEntry(localized(u"The Exec line has an unterminated quote."));
  }
  if (current) {
    arguments.push_back(*std::move(current));
  }
  return arguments;
}

bool isListCode(char code) {
  return code == 'F' || code == 'U' || code == 'i';
}

}  // namespace

Result<std::vector<std::string>> expandExecLine(std::string_view exec,
                                                const ExecFieldValues& values) {
  ZV_ASSIGN_OR_RETURN(std::vector<ExecArgument> arguments, splitExecLine(exec));
  std::vector<std::string> filePaths;
  for (const URL& url : values.urls) {
    if (url.isFileURL()) {
      filePaths.push_back(url.fileSystemPath());
    }
  }
  std::vector<std::string> urlStrings;
  for (const URL& url : values.urls) {
    urlStrings.push_back(toUtf8(url.absoluteString()));
  }

  std::vector<std::string> argv;
  int documentCodes = 0;
  bool documentsTaken = false;
  for (const ExecArgument& argument : arguments) {
    if (argument.pieces.size() == 1 && isListCode(argument.pieces[0].fieldCode)) {
      const char code = argument.pieces[0].fieldCode;
      if (code == 'i') {
        if (!values.icon.empty()) {
          argv.insert(argv.end(), {"--icon", values.icon});
        }
        continue;
      }
      const std::vector<std::string>& list = code == 'F' ? filePaths : urlStrings;
      ++documentCodes;
      documentsTaken = documentsTaken || !list.empty();
      argv.insert(argv.end(), list.begin(), list.end());
      continue;
    }
    std::string text;
    bool onlyFieldCodes = true;
    for (const ExecPiece& piece : argument.pieces) {
      if (piece.fieldCode == 0) {
        text += piece.text;
        onlyFieldCodes = false;
        continue;
      }
      switch (piece.fieldCode) {
        case 'f':
        case 'u': {
          const std::vector<std::string>& list = piece.fieldCode == 'f' ? filePaths : urlStrings;
          ++documentCodes;
          if (!list.empty()) {
            text += list.front();
            documentsTaken = true;
          }
          break;
        }
        case 'c':
          text += values.name;
          break;
        case 'k':
          text += values.desktopFilePath;
          break;
        case 'd':
        case 'D':
        case 'n':
        case 'N':
        case 'v':
        case 'm':
          break;  // deprecated: they stand for nothing
        case 'F':
        case 'U':
        case 'i':
          return invalidEntry(
              formatLocalized(u"The Exec line uses %@ inside an argument.",
                              {u"%" + std::u16string(1, static_cast<char16_t>(piece.fieldCode))}));
        default:
          return invalidEntry(formatLocalized(u"The Exec line uses the unknown field code %@.",
                                              {u"%" + fromUtf8(std::string(1, piece.fieldCode))}));
      }
    }
    // A field code that stands for nothing removes its argument; quotes keep an empty one.
    if (onlyFieldCodes && text.empty() && !argument.quoted) {
      continue;
    }
    argv.push_back(std::move(text));
  }
  if (documentCodes > 1) {
    return invalidEntry(localized(u"The Exec line takes documents more than once."));
  }
  if (argv.empty() || argv.front().empty()) {
    return invalidEntry(localized(u"The Exec line names no program."));
  }
  if (!values.urls.empty() && !documentsTaken) {
    return invalidEntry(localized(u"The application cannot open these documents."));
  }
  return argv;
}

}  // namespace zv::platform
