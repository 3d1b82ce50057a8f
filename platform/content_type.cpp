#include "platform/content_type.h"

#include <dirent.h>
#include <expat.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

using Definition = ContentType::Definition;

constexpr std::u16string_view kDynamicMimePrefix = u"dyn.mime.";
constexpr std::u16string_view kDynamicExtensionPrefix = u"dyn.ext.";

// The types the system reasons about by name, in the platform's own vocabulary.
const std::vector<Definition>& builtInDefinitions() {
  static const std::vector<Definition> definitions = {
      {u"public.item", {}, {}, {}},
      {u"public.content", {}, {}, {}},
      {u"public.composite-content", {u"public.content"}, {}, {}},
      {u"public.data", {u"public.item"}, {}, {u"application/octet-stream"}},
      {u"public.directory", {u"public.item"}, {}, {}},
      {u"public.folder", {u"public.directory"}, {}, {}},
      {u"com.apple.package", {u"public.directory"}, {}, {}},
      {u"public.symlink", {u"public.item"}, {}, {}},
      {u"public.archive", {u"public.data"}, {}, {}},
      {u"public.text", {u"public.data", u"public.content"}, {}, {}},
      {u"public.plain-text", {u"public.text"}, {u"txt", u"text"}, {u"text/plain"}},
      {u"public.html", {u"public.text"}, {u"html", u"htm"}, {u"text/html"}},
      {u"public.xml", {u"public.text"}, {u"xml"}, {u"application/xml", u"text/xml"}},
      {u"public.json", {u"public.text"}, {u"json"}, {u"application/json"}},
      {u"public.comma-separated-values-text", {u"public.text"}, {u"csv"}, {u"text/csv"}},
      {u"public.rtf", {u"public.text"}, {u"rtf"}, {u"text/rtf", u"application/rtf"}},
      {u"com.apple.rtfd", {u"com.apple.package", u"public.composite-content"}, {u"rtfd"}, {}},
      {u"com.apple.flat-rtfd", {u"public.data", u"public.composite-content"}, {u"rtfd"}, {}},
      {u"com.adobe.pdf",
       {u"public.data", u"public.composite-content"},
       {u"pdf"},
       {u"application/pdf"}},
      {u"com.apple.webarchive",
       {u"public.data", u"public.composite-content"},
       {u"webarchive"},
       {u"application/x-webarchive"}},
      {u"public.image", {u"public.data", u"public.content"}, {}, {}},
      {u"public.jpeg", {u"public.image"}, {u"jpeg", u"jpg", u"jpe"}, {u"image/jpeg"}},
      {u"public.png", {u"public.image"}, {u"png"}, {u"image/png"}},
      {u"com.compuserve.gif", {u"public.image"}, {u"gif"}, {u"image/gif"}},
      {u"public.tiff", {u"public.image"}, {u"tiff", u"tif"}, {u"image/tiff"}},
      {u"public.heif-standard", {u"public.image"}, {u"heif"}, {u"image/heif"}},
      {u"public.heic", {u"public.heif-standard"}, {u"heic"}, {u"image/heic"}},
      {u"com.microsoft.bmp", {u"public.image"}, {u"bmp"}, {u"image/bmp"}},
      {u"public.svg-image", {u"public.image"}, {u"svg"}, {u"image/svg+xml"}},
      {u"public.audiovisual-content", {u"public.data", u"public.content"}, {}, {}},
      {u"public.audio", {u"public.audiovisual-content"}, {}, {}},
      {u"public.mp3", {u"public.audio"}, {u"mp3"}, {u"audio/mpeg"}},
      {u"public.movie", {u"public.audiovisual-content"}, {}, {}},
      {u"public.mpeg-4", {u"public.movie"}, {u"mp4"}, {u"video/mp4"}},
      {u"com.apple.quicktime-movie", {u"public.movie"}, {u"mov"}, {u"video/quicktime"}},
      {u"public.zip-archive", {u"public.archive"}, {u"zip"}, {u"application/zip"}},
      {u"com.apple.web-internet-location", {u"public.data"}, {u"webloc"}, {}},
      {kWebLinkTypeIdentifier, {u"public.data", u"public.content"}, {kWebLinkFileExtension}, {}},
  };
  return definitions;
}

std::string lowercasedASCII(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lowered;
}

std::u16string lowercasedASCII(std::u16string_view text) {
  std::u16string lowered(text);
  for (char16_t& c : lowered) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c - u'A' + u'a');
    }
  }
  return lowered;
}

struct Registry {
  std::map<std::u16string, std::shared_ptr<const Definition>> byIdentifier;
  std::map<std::u16string, std::shared_ptr<const Definition>> byExtension;
  std::map<std::u16string, std::shared_ptr<const Definition>> byMimeType;
  // For each built-in type whose ancestry is all built in: the identifiers it conforms to, itself
  // included. Asked for every exported file, so worked out once.
  std::map<const Definition*, std::vector<std::u16string>> conformances;
};

// The identifiers a built-in type conforms to, or nothing when one of its ancestors is not built
// in (the database then has its say, on every call).
std::optional<std::vector<std::u16string>> builtInConformances(const Registry& registry,
                                                               const Definition& definition) {
  std::vector<std::u16string> identifiers;
  std::vector<const Definition*> pending = {&definition};
  while (!pending.empty()) {
    const Definition* type = pending.back();
    pending.pop_back();
    if (std::find(identifiers.begin(), identifiers.end(), type->identifier) != identifiers.end()) {
      continue;
    }
    identifiers.push_back(type->identifier);
    for (const std::u16string& parent : type->parents) {
      auto found = registry.byIdentifier.find(lowercasedASCII(parent));
      if (found == registry.byIdentifier.end()) {
        return std::nullopt;
      }
      pending.push_back(found->second.get());
    }
  }
  return identifiers;
}

const Registry& registry() {
  static const Registry table = [] {
    Registry built;
    for (const Definition& definition : builtInDefinitions()) {
      auto shared = std::make_shared<const Definition>(definition);
      built.byIdentifier.emplace(lowercasedASCII(definition.identifier), shared);
      // The first type to claim an extension keeps it: "rtfd" names the package, not the flat
      // form, as on the platform.
      for (const std::u16string& extension : definition.extensions) {
        built.byExtension.emplace(extension, shared);
      }
      for (const std::u16string& mimeType : definition.mimeTypes) {
        built.byMimeType.emplace(mimeType, shared);
      }
    }
    for (const auto& [identifier, definition] : built.byIdentifier) {
      if (auto identifiers = builtInConformances(built, *definition)) {
        built.conformances.emplace(definition.get(), std::move(*identifiers));
      }
    }
    return built;
  }();
  return table;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

bool isSimpleExtension(std::string_view extension) {
  return !extension.empty() && extension.find_first_of("*?[]\\") == std::string_view::npos;
}

std::u16string topLevelParent(std::string_view mimeType) {
  if (mimeType.starts_with("text/")) {
    return u"public.text";
  }
  if (mimeType.starts_with("image/")) {
    return u"public.image";
  }
  if (mimeType.starts_with("audio/")) {
    return u"public.audio";
  }
  if (mimeType.starts_with("video/")) {
    return u"public.movie";
  }
  return u"public.data";
}

// A type name as the database writes it ("media/subtype"), safe to use as a file name below a
// database folder: the name may come from a web archive, so nothing may lead out of the folder.
bool isPlainMimeTypeName(std::string_view mimeType) {
  size_t slash = mimeType.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash + 1 == mimeType.size() ||
      mimeType.find('/', slash + 1) != std::string_view::npos || mimeType.front() == '.' ||
      mimeType[slash + 1] == '.') {
    return false;
  }
  return std::all_of(mimeType.begin(), mimeType.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '+' ||
           c == '-' || c == '_';
  });
}

// The first "*.extension" glob of each type in a shared-mime-info XML file: a package file
// ("mime-info" with many types) or the database's file for one type. The order of the globs is
// the type's own, which "globs2" does not keep.
class FirstExtensionGlobs {
 public:
  static std::map<std::string, std::string> readFile(const std::string& path) {
    // The database's own package file is a few megabytes; anything far larger is not one.
    constexpr std::streamsize kMaximumSize = std::streamsize{64} << 20;
    std::ifstream input(path, std::ios::binary);
    FirstExtensionGlobs reader;
    if (!input) {
      return {};
    }
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr),
                                                                        &XML_ParserFree);
    if (!parser) {
      return {};
    }
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(parser.get(), &FirstExtensionGlobs::start, &FirstExtensionGlobs::end);
    char buffer[1 << 16];
    std::streamsize total = 0;
    while (input) {
      input.read(buffer, sizeof buffer);
      std::streamsize count = input.gcount();
      total += count;
      bool last = !input || total > kMaximumSize;
      if (XML_Parse(parser.get(), buffer, static_cast<int>(count), last) != XML_STATUS_OK) {
        break;
      }
      if (last) {
        break;
      }
    }
    return std::move(reader.found_);
  }

 private:
  static std::string_view localName(const XML_Char* name) {
    std::string_view full(name);
    size_t colon = full.rfind(':');
    return colon == std::string_view::npos ? full : full.substr(colon + 1);
  }

  static void start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* reader = static_cast<FirstExtensionGlobs*>(data);
    std::string_view element = localName(name);
    const char* wanted = element == "mime-type" ? "type" : element == "glob" ? "pattern" : nullptr;
    const char* value = nullptr;
    for (int index = 0; wanted != nullptr && attributes[index] != nullptr; index += 2) {
      if (std::string_view(attributes[index]) == wanted) {
        value = attributes[index + 1];
      }
    }
    if (element == "mime-type") {
      reader->currentType_ = value != nullptr ? lowercasedASCII(value) : std::string();
      return;
    }
    std::string_view pattern = value != nullptr ? value : "";
    if (element != "glob" || reader->currentType_.empty() || !pattern.starts_with("*.") ||
        !isSimpleExtension(pattern.substr(2))) {
      return;
    }
    reader->found_.emplace(reader->currentType_, std::string(pattern.substr(2)));
  }

  static void end(void* data, const XML_Char* name) {
    if (localName(name) == "mime-type") {
      static_cast<FirstExtensionGlobs*>(data)->currentType_.clear();
    }
  }

  std::string currentType_;
  std::map<std::string, std::string> found_;
};

}  // namespace

struct MimeDatabase::Data {
  std::map<std::string, std::string> extensionToMime;               // lower-cased extensions
  std::map<std::string, std::string> caseSensitiveExtensionToMime;  // exactly as written
  std::map<std::string, std::vector<std::string>> mimeToExtensions;
  std::map<std::string, std::string> aliases;
  std::map<std::string, std::vector<std::string>> parents;
  std::set<std::string> knownTypes;
  std::vector<std::string> folders;

  // Worked out on demand, as most types are never asked for, and shared by every thread.
  mutable std::mutex cacheMutex;
  mutable std::map<std::string, std::optional<std::string>> preferredExtensions;
  mutable std::map<std::string, std::map<std::string, std::string>> packageGlobsByFolder;

  // The type's preferred extension: the first extension glob of its entry in the database,
  // from the type's own file, else (a database built without those files) from the packages.
  std::optional<std::string> preferredExtension(const std::string& mimeType) const {
    if (!isPlainMimeTypeName(mimeType)) {
      return std::nullopt;
    }
    std::lock_guard lock(cacheMutex);
    if (auto cached = preferredExtensions.find(mimeType); cached != preferredExtensions.end()) {
      return cached->second;
    }
    std::optional<std::string> preferred;
    bool sawTypeFile = false;
    for (const std::string& folder : folders) {
      std::string typeFile = folder + "/" + mimeType + ".xml";
      struct stat status {};
      if (::stat(typeFile.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        continue;
      }
      sawTypeFile = true;
      auto globs = FirstExtensionGlobs::readFile(typeFile);
      if (auto found = globs.find(mimeType); found != globs.end()) {
        preferred = found->second;
        break;
      }
    }
    for (size_t index = 0; !sawTypeFile && !preferred && index < folders.size(); ++index) {
      const auto& globs = packageGlobs(folders[index]);
      if (auto found = globs.find(mimeType); found != globs.end()) {
        preferred = found->second;
      }
    }
    preferredExtensions.emplace(mimeType, preferred);
    return preferred;
  }

  // Called with cacheMutex held.
  const std::map<std::string, std::string>& packageGlobs(const std::string& folder) const {
    auto [entry, isNew] = packageGlobsByFolder.try_emplace(folder);
    if (!isNew) {
      return entry->second;
    }
    std::vector<std::string> names;
    std::string packages = folder + "/packages";
    if (ScopedDirectoryStream listing = openDirectoryStream(packages.c_str())) {
      while (struct dirent* item = ::readdir(listing.get())) {
        std::string_view name = item->d_name;
        if (name.ends_with(".xml") && name.front() != '.') {
          names.emplace_back(name);
        }
      }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      entry->second.merge(FirstExtensionGlobs::readFile(packages + "/" + name));
    }
    return entry->second;
  }

  void readGlobs(std::istream& input) {
    std::string line;
    while (std::getline(input, line)) {
      if (line.empty() || line.front() == '#') {
        continue;
      }
      // weight:type:pattern[:flags]; only "*.extension" patterns name an extension.
      std::vector<std::string> fields;
      std::stringstream stream(line);
      for (std::string field; std::getline(stream, field, ':');) {
        fields.push_back(field);
      }
      if (fields.size() < 3 || !fields[2].starts_with("*.")) {
        continue;
      }
      std::string mimeType = lowercasedASCII(fields[1]);
      std::string extension = fields[2].substr(2);
      if (!isSimpleExtension(extension) || mimeType.find('/') == std::string::npos) {
        continue;
      }
      knownTypes.insert(mimeType);
      bool caseSensitive = fields.size() > 3 && fields[3].find("cs") != std::string::npos;
      if (caseSensitive) {
        caseSensitiveExtensionToMime.emplace(extension, mimeType);
      } else {
        // The file lists higher weights first, so the first claim is the strongest.
        extensionToMime.emplace(lowercasedASCII(extension), mimeType);
      }
      std::vector<std::string>& extensions = mimeToExtensions[mimeType];
      if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end()) {
        extensions.push_back(extension);
      }
    }
  }

  void readPairs(std::istream& input, bool isAliases) {
    std::string line;
    while (std::getline(input, line)) {
      size_t space = line.find(' ');
      if (line.empty() || line.front() == '#' || space == std::string::npos) {
        continue;
      }
      std::string first = lowercasedASCII(trimmed(std::string_view(line).substr(0, space)));
      std::string second = lowercasedASCII(trimmed(std::string_view(line).substr(space + 1)));
      if (first.empty() || second.empty()) {
        continue;
      }
      if (isAliases) {
        aliases.emplace(first, second);
        knownTypes.insert(second);
      } else {
        parents[first].push_back(second);
        knownTypes.insert(first);
      }
    }
  }
};

MimeDatabase MimeDatabase::loadFromFolders(const std::vector<std::string>& mimeFolders) {
  auto data = std::make_shared<Data>();
  data->folders = mimeFolders;
  for (const std::string& folder : mimeFolders) {
    if (std::ifstream globs(folder + "/globs2"); globs) {
      data->readGlobs(globs);
    }
    if (std::ifstream aliases(folder + "/aliases"); aliases) {
      data->readPairs(aliases, true);
    }
    if (std::ifstream subclasses(folder + "/subclasses"); subclasses) {
      data->readPairs(subclasses, false);
    }
  }
  MimeDatabase database;
  database.data_ = std::move(data);
  return database;
}

const MimeDatabase& MimeDatabase::system() {
  static const MimeDatabase database = [] {
    std::vector<std::string> folders;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
      folders.push_back(std::string(dataHome) + "/mime");
    } else if (home != nullptr && home[0] == '/') {
      folders.push_back(std::string(home) + "/.local/share/mime");
    }
    const char* dataFolders = std::getenv("XDG_DATA_DIRS");
    std::string list = dataFolders != nullptr && dataFolders[0] != '\0'
                           ? dataFolders
                           : "/usr/local/share:/usr/share";
    std::stringstream stream(list);
    for (std::string folder; std::getline(stream, folder, ':');) {
      if (!folder.empty() && folder.front() == '/') {
        folders.push_back(folder + "/mime");
      }
    }
    return loadFromFolders(folders);
  }();
  return database;
}

std::optional<std::string> MimeDatabase::mimeTypeForExtension(std::string_view extension) const {
  if (auto exact = data_->caseSensitiveExtensionToMime.find(std::string(extension));
      exact != data_->caseSensitiveExtensionToMime.end()) {
    return exact->second;
  }
  auto found = data_->extensionToMime.find(lowercasedASCII(extension));
  if (found == data_->extensionToMime.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::vector<std::string> MimeDatabase::extensionsForMimeType(std::string_view mimeType) const {
  std::string canonical = canonicalMimeType(mimeType);
  auto found = data_->mimeToExtensions.find(canonical);
  if (found == data_->mimeToExtensions.end()) {
    return {};
  }
  // "globs2" lists a type's extensions by weight and then in no telling order (JavaScript's
  // "jsm" before "js"), so the preferred one comes from the type's own entry.
  std::vector<std::string> extensions = found->second;
  if (std::optional<std::string> preferred = data_->preferredExtension(canonical)) {
    std::erase(extensions, *preferred);
    extensions.insert(extensions.begin(), *preferred);
  }
  return extensions;
}

std::string MimeDatabase::canonicalMimeType(std::string_view mimeType) const {
  std::string lowered = lowercasedASCII(mimeType);
  auto found = data_->aliases.find(lowered);
  return found == data_->aliases.end() ? lowered : found->second;
}

std::vector<std::string> MimeDatabase::parentMimeTypes(std::string_view mimeType) const {
  auto found = data_->parents.find(canonicalMimeType(mimeType));
  return found == data_->parents.end() ? std::vector<std::string>() : found->second;
}

bool MimeDatabase::knowsMimeType(std::string_view mimeType) const {
  return data_->knownTypes.contains(canonicalMimeType(mimeType));
}

ContentType ContentType::known(std::u16string_view identifier) {
  const auto& types = registry().byIdentifier;
  auto found = types.find(lowercasedASCII(identifier));
  // Only called with identifiers of the built-in table.
  return ContentType(found->second);
}

std::optional<ContentType> ContentType::dynamicForMimeType(const std::string& mimeType,
                                                           const MimeDatabase& database) {
  if (!database.knowsMimeType(mimeType)) {
    return std::nullopt;
  }
  auto definition = std::make_shared<Definition>();
  definition->identifier = std::u16string(kDynamicMimePrefix) + fromUtf8(mimeType);
  for (const std::string& parent : database.parentMimeTypes(mimeType)) {
    auto known = registry().byMimeType.find(fromUtf8(parent));
    definition->parents.push_back(known != registry().byMimeType.end()
                                      ? known->second->identifier
                                      : std::u16string(kDynamicMimePrefix) + fromUtf8(parent));
  }
  definition->parents.push_back(topLevelParent(mimeType));
  for (const std::string& extension : database.extensionsForMimeType(mimeType)) {
    definition->extensions.push_back(fromUtf8(extension));
  }
  definition->mimeTypes.push_back(fromUtf8(mimeType));
  return ContentType(std::move(definition));
}

std::optional<ContentType> ContentType::withIdentifier(std::u16string_view identifier,
                                                       const MimeDatabase& database) {
  std::u16string lowered = lowercasedASCII(identifier);
  const auto& types = registry().byIdentifier;
  if (auto found = types.find(lowered); found != types.end()) {
    return ContentType(found->second);
  }
  if (lowered.starts_with(kDynamicMimePrefix)) {
    return withMIMEType(identifier.substr(kDynamicMimePrefix.size()), database);
  }
  if (lowered.starts_with(kDynamicExtensionPrefix)) {
    return withFilenameExtension(identifier.substr(kDynamicExtensionPrefix.size()), database);
  }
  return std::nullopt;
}

std::optional<ContentType> ContentType::withFilenameExtension(std::u16string_view extension,
                                                              const MimeDatabase& database) {
  if (extension.empty() || extension.find_first_of(u"/.") != std::u16string_view::npos) {
    return std::nullopt;
  }
  std::u16string lowered = lowercasedASCII(extension);
  if (auto found = registry().byExtension.find(lowered); found != registry().byExtension.end()) {
    return ContentType(found->second);
  }
  if (std::optional<std::string> mimeType = database.mimeTypeForExtension(toUtf8(extension))) {
    if (std::optional<ContentType> type = withMIMEType(fromUtf8(*mimeType), database)) {
      return type;
    }
  }
  auto definition = std::make_shared<Definition>();
  definition->identifier = std::u16string(kDynamicExtensionPrefix) + lowered;
  definition->parents = {u"public.data"};
  definition->extensions = {lowered};
  return ContentType(std::move(definition));
}

std::optional<ContentType> ContentType::withMIMEType(std::u16string_view mimeType,
                                                     const MimeDatabase& database) {
  std::string text = toUtf8(mimeType);
  std::string_view bare = trimmed(std::string_view(text).substr(0, text.find(';')));
  if (bare.empty() || bare.find('/') == std::string_view::npos) {
    return std::nullopt;
  }
  const auto& types = registry().byMimeType;
  std::string lowered = lowercasedASCII(bare);
  for (const std::string& candidate : {lowered, database.canonicalMimeType(lowered)}) {
    if (auto found = types.find(fromUtf8(candidate)); found != types.end()) {
      return ContentType(found->second);
    }
  }
  return dynamicForMimeType(database.canonicalMimeType(lowered), database);
}

ContentType ContentType::item() {
  return known(u"public.item");
}
ContentType ContentType::content() {
  return known(u"public.content");
}
ContentType ContentType::data() {
  return known(u"public.data");
}
ContentType ContentType::folder() {
  return known(u"public.folder");
}
ContentType ContentType::text() {
  return known(u"public.text");
}
ContentType ContentType::plainText() {
  return known(u"public.plain-text");
}
ContentType ContentType::html() {
  return known(u"public.html");
}
ContentType ContentType::rtf() {
  return known(u"public.rtf");
}
ContentType ContentType::rtfd() {
  return known(u"com.apple.rtfd");
}
ContentType ContentType::pdf() {
  return known(u"com.adobe.pdf");
}
ContentType ContentType::image() {
  return known(u"public.image");
}
ContentType ContentType::jpeg() {
  return known(u"public.jpeg");
}
ContentType ContentType::png() {
  return known(u"public.png");
}
ContentType ContentType::gif() {
  return known(u"com.compuserve.gif");
}
ContentType ContentType::tiff() {
  return known(u"public.tiff");
}
ContentType ContentType::heic() {
  return known(u"public.heic");
}
ContentType ContentType::webArchive() {
  return known(u"com.apple.webarchive");
}
ContentType ContentType::internetLocation() {
  return known(u"com.apple.web-internet-location");
}
ContentType ContentType::webLink() {
  return known(kWebLinkTypeIdentifier);
}

std::optional<std::u16string> ContentType::preferredFilenameExtension() const {
  if (definition_->extensions.empty()) {
    return std::nullopt;
  }
  return definition_->extensions.front();
}

std::optional<std::u16string> ContentType::preferredMIMEType() const {
  if (definition_->mimeTypes.empty()) {
    return std::nullopt;
  }
  return definition_->mimeTypes.front();
}

bool ContentType::isDynamic() const {
  return definition_->identifier.starts_with(u"dyn.");
}

bool ContentType::conformsTo(const ContentType& other, const MimeDatabase& database) const {
  const auto& conformances = registry().conformances;
  if (auto known = conformances.find(definition_.get()); known != conformances.end()) {
    return std::find(known->second.begin(), known->second.end(), other.identifier()) !=
           known->second.end();
  }
  std::vector<ContentType> pending = {*this};
  std::set<std::u16string> seen;
  // The database may hold cycles among parent types; each type is visited once.
  while (!pending.empty()) {
    ContentType type = std::move(pending.back());
    pending.pop_back();
    if (type == other) {
      return true;
    }
    if (!seen.insert(lowercasedASCII(type.identifier())).second) {
      continue;
    }
    for (const std::u16string& parent : type.definition_->parents) {
      if (std::optional<ContentType> resolved = withIdentifier(parent, database)) {
        pending.push_back(std::move(*resolved));
      }
    }
  }
  return false;
}

Result<ContentType> contentTypeOfItemAtURL(const URL& url, const MimeDatabase& database) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL, url.absoluteString());
  }
  std::string path = url.fileSystemPath();
  struct stat status {};
  if (path.find('\0') != std::string::npos || ::lstat(path.c_str(), &status) != 0) {
    return makeFileErrorFromErrno(path.find('\0') != std::string::npos ? EINVAL : errno, path);
  }
  if (S_ISLNK(status.st_mode)) {
    return ContentType::withIdentifier(u"public.symlink", database).value();
  }
  std::u16string extension = url.pathExtension();
  std::optional<ContentType> byName =
      extension.empty() ? std::nullopt : ContentType::withFilenameExtension(extension, database);
  const ContentType package = ContentType::withIdentifier(u"com.apple.package", database).value();
  bool namesPackage = byName && byName->conformsTo(package, database);
  if (S_ISDIR(status.st_mode)) {
    return namesPackage ? *byName : ContentType::folder();
  }
  if (namesPackage) {
    // A package's name on a plain file: the flat form of RTFD, else just data.
    return *byName == ContentType::rtfd()
               ? ContentType::withIdentifier(u"com.apple.flat-rtfd", database).value()
               : ContentType::data();
  }
  return byName ? *byName : ContentType::data();
}

}  // namespace zv::platform
