#include "source/library_snapshot.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/date.h"
#include "platform/file_name_extension.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"

namespace zv::source {
namespace {

using nlohmann::json;
using platform::Error;
using platform::fromUtf8;
using platform::Result;

// Snapshots come from other tools and from users: cap what we are willing to read.
constexpr std::size_t kMaximumDescriptionSize = std::size_t{512} * 1024 * 1024;
// A real description nests four levels deep. Each level costs the parse tree far more memory
// than its one bracket in the file, so a file of nothing but brackets would need gigabytes.
constexpr std::size_t kMaximumNesting = 512;

Error malformed(const std::string& where, const std::string& what) {
  return Error{kLibrarySnapshotErrorDomain, kSnapshotMalformed,
               fromUtf8(std::string(kLibrarySnapshotFileName) + ": " + where + ": " + what)};
}

// Reads the typed fields of one JSON object, remembering the first fault with its place. The
// fault is sticky rather than returned by each read: an item has a dozen optional fields, and
// reading each in one line with a single check at the end keeps the readers below legible.
class FieldReader {
 public:
  FieldReader(const json& object, std::string where) : object_(object), where_(std::move(where)) {}

  bool failed() const { return error_.has_value(); }
  Result<void> result() const {
    if (error_) {
      return *error_;
    }
    return {};
  }
  const std::string& where() const { return where_; }

  const json* find(const char* key) {
    auto found = object_.find(key);
    return found == object_.end() ? nullptr : &*found;
  }

  // A string that must be present.
  std::u16string requiredString(const char* key) {
    const json* value = find(key);
    if (value == nullptr || value->is_null()) {
      fail(key, "is missing");
      return {};
    }
    return string(key, *value);
  }

  // Absent or null: none.
  std::optional<std::u16string> optionalString(const char* key) {
    const json* value = find(key);
    if (value == nullptr || value->is_null()) {
      return std::nullopt;
    }
    return string(key, *value);
  }

  std::optional<bool> optionalBool(const char* key) {
    const json* value = find(key);
    if (value == nullptr) {
      return std::nullopt;
    }
    if (!value->is_boolean()) {
      fail(key, "must be true or false");
      return std::nullopt;
    }
    return value->get<bool>();
  }

  std::optional<platform::Date> optionalDate(const char* key) {
    std::optional<std::u16string> text = optionalString(key);
    if (!text) {
      return std::nullopt;
    }
    std::optional<platform::Date> date = platform::dateFromISO8601String(*text);
    if (!date) {
      fail(key, "is not an ISO 8601 date with a time zone");
    }
    return date;
  }

  // An array (absent: empty); each element is passed to the callback with its index.
  template <typename Callback>
  void forEachElement(const char* key, Callback&& callback) {
    const json* value = find(key);
    if (value == nullptr) {
      return;
    }
    if (!value->is_array()) {
      fail(key, "must be a list");
      return;
    }
    for (size_t i = 0; i < value->size() && !error_; ++i) {
      callback((*value)[i], i);
    }
  }

  void fail(const std::string& key, const std::string& what) {
    failWith(malformed(where_, "\"" + key + "\" " + what));
  }

  // Takes over a fault found elsewhere, such as in one element of a list this reader walks.
  void failWith(Error error) {
    if (!error_) {
      error_ = std::move(error);
    }
  }

 private:
  std::u16string string(const char* key, const json& value) {
    if (!value.is_string()) {
      fail(key, "must be a string");
      return {};
    }
    return fromUtf8(value.get_ref<const std::string&>());
  }

  const json& object_;
  std::string where_;
  std::optional<Error> error_;
};

std::string describe(const char* kind, size_t index, const std::u16string& id) {
  std::string where = std::string(kind) + " " + std::to_string(index + 1);
  if (!id.empty()) {
    where += " (\"" + platform::toUtf8(id) + "\")";
  }
  return where;
}

// The tags of an item or tag collection: names, or null for a tag without a name.
std::vector<Tag> readTags(FieldReader& reader) {
  std::vector<Tag> tags;
  reader.forEachElement("tags", [&](const json& tag, size_t) {
    if (tag.is_null()) {
      tags.push_back(Tag{});
    } else if (tag.is_string()) {
      tags.push_back(Tag{fromUtf8(tag.get_ref<const std::string&>())});
    } else {
      reader.fail("tags", "must hold strings or null");
    }
  });
  return tags;
}

std::optional<DeviceRGBColor> readColor(FieldReader& reader) {
  const json* value = reader.find("color");
  if (value == nullptr || value->is_null()) {
    return std::nullopt;
  }
  if (!value->is_array() || (value->size() != 3 && value->size() != 4)) {
    reader.fail("color", "must be [r, g, b] or [r, g, b, a]");
    return std::nullopt;
  }
  double components[4] = {0, 0, 0, 1};
  for (size_t i = 0; i < value->size(); ++i) {
    const json& component = (*value)[i];
    if (!component.is_number() || !std::isfinite(component.get<double>()) ||
        component.get<double>() < 0 || component.get<double>() > 1) {
      reader.fail("color", "components must be numbers from 0 to 1");
      return std::nullopt;
    }
    components[i] = component.get<double>();
  }
  return DeviceRGBColor{components[0], components[1], components[2], components[3]};
}

std::optional<std::uint32_t> fourCharCode(const std::u16string& text) {
  if (text.size() != 4) {
    return std::nullopt;
  }
  std::uint32_t code = 0;
  for (char16_t c : text) {
    if (c < 0x20 || c > 0x7E) {
      return std::nullopt;
    }
    code = (code << 8) | c;
  }
  return code;
}

// Where a payload path leads: relative, without "..", resolved through every symbolic link along
// it. A fault names what is wrong; a missing file is not a fault until the item is exported.
struct PayloadPath {
  std::optional<std::filesystem::path> resolved;
  std::optional<std::string> problem;
};

PayloadPath resolvePayloadPath(const std::filesystem::path& root, const std::u16string& file,
                               bool mustExist) {
  // The system would read the path only up to a NUL, and so open a file other than the one named.
  if (file.find(u'\0') != std::u16string::npos) {
    return {std::nullopt, "must not contain a NUL character"};
  }
  std::filesystem::path relative(platform::toUtf8(file));
  if (file.empty() || relative.is_absolute()) {
    return {std::nullopt, "must be a relative path inside the library folder"};
  }
  for (const auto& part : relative) {
    if (part == "..") {
      return {std::nullopt, "must not contain \"..\""};
    }
  }
  std::error_code error;
  std::filesystem::path resolved = mustExist
                                       ? std::filesystem::canonical(root / relative, error)
                                       : std::filesystem::weakly_canonical(root / relative, error);
  if (error) {
    return {};
  }
  auto [rootEnd, unused] =
      std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end());
  if (rootEnd != root.end()) {
    return {std::nullopt, "leads out of the library folder"};
  }
  return {resolved, std::nullopt};
}

// The library folder, by its resolved path and held open.
struct LibraryFolder {
  std::filesystem::path root;
  platform::FolderHandle handle;
};

// Whether payload paths may be used: each must stay inside the library folder. A missing file
// is not a fault until the item is exported. Payloads mostly sit side by side in a few folders,
// so each folder is listed once rather than every path looked up; anything a listing cannot
// vouch for (a link, an unusual path) is resolved the careful way.
class PayloadPathChecker {
 public:
  explicit PayloadPathChecker(const LibraryFolder& library) : library_(library) {}

  std::optional<std::string> problem(const std::u16string& file) {
    const std::string relative = platform::toUtf8(file);
    const std::size_t slash = relative.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : relative.substr(0, slash);
    const std::string name = relative.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!name.empty() && name != "." && name != "..") {
      auto [listing, added] = listings_.try_emplace(parent);
      if (added) {
        if (auto entries = library_.handle.entriesWithoutLinks(parent)) {
          listing->second = std::move(*entries);
        }
      }
      if (listing->second && vouchesFor(*listing->second, name)) {
        return std::nullopt;
      }
    }
    return resolvePayloadPath(library_.root, file, false).problem;
  }

 private:
  using Entries = platform::FolderHandle::FolderEntries;
  using Kind = platform::FolderHandle::EntryKind;

  // A name the listing lacks is left to the careful way too: on a file system that ignores case
  // it may still name a link.
  static bool vouchesFor(const Entries& listing, const std::string& name) {
    if (!listing.exists) {
      return true;
    }
    auto entry = listing.entries.find(name);
    return entry != listing.entries.end() && entry->second != Kind::kSymbolicLink &&
           entry->second != Kind::kUnknown;
  }

  const LibraryFolder& library_;
  // By folder path; none where the folder could not be listed without following a link.
  std::unordered_map<std::string, std::optional<Entries>> listings_;
};

}  // namespace

struct SnapshotSourceLibrary::Contents {
  std::optional<std::u16string> applicationBundleIdentifier;
  std::optional<std::u16string> applicationVersion;
  // By kind, each in library order.
  std::array<std::vector<DatabaseItem>, kItemKindCount> items;
  std::vector<Label> labels;
  std::vector<FolderCollection> folderCollections;
  std::vector<TagCollection> tagCollections;
  std::unordered_map<std::u16string, std::u16string> payloads;      // item id → "file"
  std::unordered_map<std::u16string, std::u16string> exportErrors;  // item id → reason
  std::optional<LibraryFolder> folder;
  std::optional<platform::URL> folderURL;
};

namespace {

using Snapshot = SnapshotSourceLibrary::Contents;

// Reads each object of the list under key: checks that it is an object with a non-empty id
// unique in the list, then hands it to read with a reader named after its kind, place and id.
// Stops at the first fault.
template <typename Read>
Result<void> forEachObject(const json& root, const char* key, const char* kind, Read&& read) {
  FieldReader top(root, "library");
  std::unordered_set<std::u16string> ids;
  // The walk stops at the first element whose fault top takes over.
  top.forEachElement(key, [&](const json& element, size_t index) {
    if (!element.is_object()) {
      top.failWith(malformed(describe(kind, index, u""), "must be an object"));
      return;
    }
    FieldReader reader(element, describe(kind, index, u""));
    std::u16string id = reader.requiredString("id");
    if (!reader.failed() && id.empty()) {
      reader.fail("id", "must not be empty");
    }
    if (auto checked = reader.result(); !checked) {
      top.failWith(std::move(checked).error());
      return;
    }
    FieldReader named(element, describe(kind, index, id));
    if (!ids.insert(id).second) {
      named.fail("id", std::string("is used by another ") + kind);
    } else {
      read(std::move(id), named);
    }
    if (auto checked = named.result(); !checked) {
      top.failWith(std::move(checked).error());
    }
  });
  return top.result();
}

Result<void> readLabels(const json& root, Snapshot& snapshot,
                        std::unordered_set<std::u16string>& labelIds) {
  return forEachObject(root, "labels", "label", [&](std::u16string id, FieldReader& reader) {
    Label label{std::move(id), reader.optionalString("name"), readColor(reader)};
    if (!reader.failed()) {
      labelIds.insert(label.id);
      snapshot.labels.push_back(std::move(label));
    }
  });
}

Result<void> readItems(const json& description, const LibraryFolder& library, Snapshot& snapshot,
                       const std::unordered_set<std::u16string>& labelIds) {
  PayloadPathChecker payloadPaths(library);
  return forEachObject(description, "items", "item", [&](std::u16string id, FieldReader& reader) {
    DatabaseItem item;
    item.id = std::move(id);
    std::u16string kindName = reader.requiredString("kind");
    if (auto kind = itemKindFromName(kindName)) {
      item.kind = *kind;
    } else if (!reader.failed()) {
      reader.fail("kind", "names no kind of item: \"" + platform::toUtf8(kindName) + "\"");
    }
    item.name = reader.optionalString("name").value_or(u"");
    item.encrypted = reader.optionalBool("encrypted");
    item.flagged = reader.optionalBool("flagged").value_or(false);
    item.comments = reader.optionalString("comments");
    item.label = reader.optionalString("label");
    item.tags = readTags(reader);
    item.creationDate = reader.optionalDate("creationDate");
    item.modificationDate = reader.optionalDate("modificationDate");
    item.location = reader.optionalString("location");
    std::optional<std::u16string> file = reader.optionalString("file");
    std::optional<std::u16string> exportError = reader.optionalString("exportError");
    if (item.label && !labelIds.contains(*item.label)) {
      reader.fail("label", "names no label: \"" + platform::toUtf8(*item.label) + "\"");
    }
    if (file) {
      if (auto problem = payloadPaths.problem(*file)) {
        reader.fail("file", *problem);
      }
    }
    if (reader.failed()) {
      return;
    }
    if (file) {
      snapshot.payloads[item.id] = *file;
    }
    if (exportError) {
      snapshot.exportErrors[item.id] = *exportError;
    }
    snapshot.items[static_cast<std::size_t>(item.kind)].push_back(std::move(item));
  });
}

Result<void> readCollections(const json& root, Snapshot& snapshot) {
  std::unordered_set<std::u16string> itemIds;
  for (const auto& items : snapshot.items) {
    for (const auto& item : items) {
      itemIds.insert(item.id);
    }
  }
  ZV_TRY(forEachObject(
      root, "folderCollections", "folder collection", [&](std::u16string id, FieldReader& reader) {
        FolderCollection collection{std::move(id), reader.optionalString("name"), {}};
        reader.forEachElement("items", [&](const json& member, size_t) {
          if (!member.is_string()) {
            reader.fail("items", "must hold item identifiers");
            return;
          }
          std::u16string itemId = fromUtf8(member.get_ref<const std::string&>());
          if (!itemIds.contains(itemId)) {
            reader.fail("items", "names no item: \"" + platform::toUtf8(itemId) + "\"");
            return;
          }
          collection.databaseItems.push_back(std::move(itemId));
        });
        if (!reader.failed()) {
          snapshot.folderCollections.push_back(std::move(collection));
        }
      }));
  return forEachObject(
      root, "tagCollections", "tag collection", [&](std::u16string id, FieldReader& reader) {
        TagCollection collection{std::move(id), reader.optionalString("name"), readTags(reader), 0};
        if (auto behavior = reader.optionalString("behavior")) {
          if (auto code = fourCharCode(*behavior)) {
            collection.tagCollectionBehavior = *code;
          } else {
            reader.fail("behavior", "must be a four-character code such as \"TgAl\"");
          }
        }
        if (!reader.failed()) {
          snapshot.tagCollections.push_back(std::move(collection));
        }
      });
}

Result<void> readHeader(const json& root, Snapshot& snapshot) {
  if (!root.is_object()) {
    return malformed("library", "the top level must be an object");
  }
  const auto format = root.find("format");
  if (format == root.end() || !format->is_number_integer() || format->get<std::int64_t>() != 1) {
    return malformed("library", "\"format\" must be 1");
  }
  if (auto application = root.find("application"); application != root.end()) {
    if (!application->is_object()) {
      return malformed("application", "must be an object");
    }
    FieldReader reader(*application, "application");
    snapshot.applicationBundleIdentifier = reader.optionalString("bundleIdentifier");
    snapshot.applicationVersion = reader.optionalString("version");
    ZV_TRY(reader.result());
  }
  return {};
}

// Copies a payload into the export directory under the given name; a name already taken there
// gets a number ("name 2.ext", "name 3.ext", ...), since the file there is not ours to replace.
// copy returns the copy's result.
template <typename Copy>
Result<std::optional<platform::URL>> copyUnderFreeName(const platform::URL& directory,
                                                       const std::filesystem::path& name,
                                                       const std::u16string& file, Copy&& copy) {
  constexpr int kMaximumAttempts = 10000;
  // Not const: the name is handed out by copy, and a const one trips the move check.
  std::u16string wholeName = fromUtf8(name.string());
  const platform::FileNameParts parts = platform::splitFileNameExtension(wholeName);
  auto nameForAttempt = [&](int attempt) {
    if (attempt == 0) {
      return wholeName;
    }
    std::u16string numbered =
        std::u16string(parts.base) + u" " + fromUtf8(std::to_string(attempt + 1));
    if (!parts.extension.empty()) {
      numbered += u'.';
      numbered += parts.extension;
    }
    return numbered;
  };
  Result<platform::URL> copied =
      platform::placeFileUnderFreeName(directory, kMaximumAttempts, nameForAttempt, copy);
  if (copied) {
    return std::optional<platform::URL>(*copied);
  }
  // Left to the caller, which copies such a file once more.
  if (platform::isFileError(copied.error(), platform::FileErrorCode::kChangedWhileCopied)) {
    return copied.error();
  }
  return makeSourceError(u"The file \"" + file + u"\" cannot be copied: " +
                         copied.error().description);
}

// The careful way, for payloads behind symbolic links: the path is resolved through every link,
// and what a link inside the library points to is copied, never the link itself.
Result<std::optional<platform::URL>> copyResolvedPayload(const std::filesystem::path& root,
                                                         const std::u16string& file,
                                                         const platform::URL& directory) {
  // Resolved again now: the library may have changed since it was read.
  PayloadPath path = resolvePayloadPath(root, file, true);
  if (path.problem) {
    return makeSourceError(u"The file \"" + file + u"\" " + fromUtf8(*path.problem) + u".");
  }
  std::error_code error;
  if (!path.resolved || !std::filesystem::is_regular_file(*path.resolved, error)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  const platform::URL sourceURL = platform::URL::fileURLWithFileSystemPath(path.resolved->string());
  return copyUnderFreeName(directory, path.resolved->filename(), file,
                           [&](const platform::URL& destination) {
                             return platform::copyFileContentsAtURL(sourceURL, destination);
                           });
}

// Most payloads are plain files reached without a link: those are copied straight from the open
// library folder, and the rest (links, anything unexpected) the careful way.
Result<std::optional<platform::URL>> copyPayloadOnce(const LibraryFolder& library,
                                                     const std::u16string& file,
                                                     const platform::URL& directory) {
  const std::string relative = platform::toUtf8(file);
  bool needsCareful = false;
  auto result = copyUnderFreeName(
      directory, std::filesystem::path(relative).filename(), file,
      [&](const platform::URL& destination) -> Result<void> {
        Result<void> copied = library.handle.copyFileWithoutLinks(relative, destination);
        // Any other failure ends the numbering; the careful way below gives the answer.
        needsCareful =
            !copied &&
            !platform::isFileError(copied.error(), platform::FileErrorCode::kFileExists) &&
            !platform::isFileError(copied.error(), platform::FileErrorCode::kChangedWhileCopied);
        return copied;
      });
  if (!needsCareful) {
    return result;
  }
  // The quick way's failure only says it could not vouch for the path; the careful way's answer
  // replaces it.
  result.ignoreError();
  return copyResolvedPayload(library.root, file, directory);
}

// A payload that changes while it is copied would give a torn file. It is copied once more, since
// whoever wrote it has mostly finished by then; one that changes again fails the item.
Result<std::optional<platform::URL>> copyPayload(const LibraryFolder& library,
                                                 const std::u16string& file,
                                                 const platform::URL& directory) {
  for (int attempt = 1;; ++attempt) {
    auto result = copyPayloadOnce(library, file, directory);
    if (result ||
        !platform::isFileError(result.error(), platform::FileErrorCode::kChangedWhileCopied)) {
      return result;
    }
    if (attempt == 2) {
      return makeSourceError(u"The file “" + file + u"” changed while it was being copied.");
    }
  }
}

// Whether lists and objects nest deeper than the limit. Brackets inside strings do not count;
// in text that is no JSON the count may be off, but the parser refuses such text anyway.
bool nestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        return true;
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

Result<json> parseDescription(std::string_view text) {
  if (nestsDeeperThan(text, kMaximumNesting)) {
    return malformed("library", "lists and objects nest deeper than " +
                                    std::to_string(kMaximumNesting) + " levels");
  }
  try {
    return json::parse(text.begin(), text.end());
  } catch (const json::parse_error& error) {
    return malformed("library", std::string("not valid JSON: ") + error.what());
  } catch (const json::out_of_range& error) {
    // A number beyond what a double holds, such as 1e400.
    return malformed("library", std::string("a number is out of range: ") + error.what());
  } catch (const json::exception& error) {
    return malformed("library", std::string("not valid JSON: ") + error.what());
  }
}

// Opens a payload for reading the way copyPayloadOnce copies it: straight from the open library
// folder where no link stands in the way, otherwise resolved the careful way. Named as its copy
// would be before numbering.
Result<std::optional<ItemPayload>> openPayload(const LibraryFolder& library,
                                               const std::u16string& file) {
  const std::string relative = platform::toUtf8(file);
  struct stat status {};
  if (Result<platform::ScopedDescriptor> quick =
          library.handle.openForReadingWithoutLinks(relative);
      quick) {
    if (::fstat(quick->get(), &status) == 0 && S_ISREG(status.st_mode)) {
      return std::optional<ItemPayload>(ItemPayload{
          std::move(*quick), fromUtf8(std::filesystem::path(relative).filename().string()), file});
    }
  } else {
    // It only says that the quick way cannot vouch for the path; the careful way answers.
    quick.ignoreError();
  }
  // Resolved again now: the library may have changed since it was read.
  PayloadPath path = resolvePayloadPath(library.root, file, true);
  if (path.problem) {
    return makeSourceError(u"The file \"" + file + u"\" " + fromUtf8(*path.problem) + u".");
  }
  std::error_code error;
  if (!path.resolved || !std::filesystem::is_regular_file(*path.resolved, error)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  const std::string resolved = path.resolved->string();
  platform::ScopedDescriptor opened(
      ::open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!opened.valid() || ::fstat(opened.get(), &status) != 0) {
    return makeSourceError(u"The file \"" + file + u"\" cannot be copied: " +
                           platform::makeFileErrorFromErrno(errno, resolved).description);
  }
  // Replaced by something else between the check and the open.
  if (!S_ISREG(status.st_mode)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  return std::optional<ItemPayload>(
      ItemPayload{std::move(opened), fromUtf8(path.resolved->filename().string()), file});
}

Result<std::unique_ptr<SnapshotSourceLibrary>> readLibrarySnapshot(
    std::string_view text, const std::filesystem::path& folder, bool namesFolder) {
  ZV_ASSIGN_OR_RETURN(const json root, parseDescription(text));
  auto snapshot = std::make_unique<Snapshot>();
  std::unordered_set<std::u16string> labelIds;
  ZV_TRY(readHeader(root, *snapshot));
  ZV_TRY(readLabels(root, *snapshot, labelIds));
  std::error_code canonicalError;
  std::filesystem::path libraryRoot = std::filesystem::canonical(folder, canonicalError);
  if (canonicalError) {
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 fromUtf8("Cannot read the library folder " + folder.string() + ": " +
                          canonicalError.message())};
  }
  auto handle = platform::FolderHandle::openAtPath(libraryRoot.string());
  if (!handle) {
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 u"Cannot read the library folder: " + handle.error().description};
  }
  // The export compares real paths, so that it never removes the folder it reads from.
  if (namesFolder) {
    snapshot->folderURL = platform::URL::fileURLWithFileSystemPath(libraryRoot.string(), true);
  }
  snapshot->folder.emplace(LibraryFolder{std::move(libraryRoot), std::move(*handle)});
  ZV_TRY(readItems(root, *snapshot->folder, *snapshot, labelIds));
  ZV_TRY(readCollections(root, *snapshot));
  return std::make_unique<SnapshotSourceLibrary>(std::move(snapshot));
}

// A file error's description ends by naming the path; our message names it first.
std::u16string reasonWithoutPath(const Error& error, const std::string& path) {
  const std::u16string suffix = u" (“" + fromUtf8(path) + u"”)";
  std::u16string reason = error.description;
  if (reason.ends_with(suffix)) {
    reason.resize(reason.size() - suffix.size());
  }
  return reason;
}

// Nothing a snapshot holds may escape as an exception: the caller gets an error to report.
template <typename Read>
Result<std::unique_ptr<SnapshotSourceLibrary>> readWithoutExceptions(Read&& read) {
  try {
    return read();
  } catch (const std::bad_alloc&) {
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 u"There is not enough memory to read the library snapshot."};
  } catch (const std::exception& error) {
    return malformed("library", std::string("cannot be read: ") + error.what());
  } catch (...) {
    return malformed("library", "cannot be read");
  }
}

Result<std::unique_ptr<SnapshotSourceLibrary>> readLibrarySnapshotFile(
    const std::filesystem::path& folder) {
  const std::filesystem::path description = folder / kLibrarySnapshotFileName;
  const platform::URL url = platform::URL::fileURLWithFileSystemPath(description.string());
  Result<std::vector<std::uint8_t>> bytes = platform::readFileAtURL(url, kMaximumDescriptionSize);
  if (!bytes && platform::isFileError(bytes.error(), platform::FileErrorCode::kFileTooLarge)) {
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 fromUtf8("The library snapshot " + description.string() + " is too large.")};
  }
  if (!bytes) {
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 fromUtf8("Cannot read the library snapshot " + description.string() + ": ") +
                     reasonWithoutPath(bytes.error(), url.fileSystemPath())};
  }
  return readLibrarySnapshot(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), folder, true);
}

}  // namespace

SnapshotSourceLibrary::SnapshotSourceLibrary(std::unique_ptr<Contents> contents)
    : contents_(std::move(contents)) {}

SnapshotSourceLibrary::~SnapshotSourceLibrary() = default;

std::optional<std::u16string> SnapshotSourceLibrary::applicationBundleIdentifier() const {
  return contents_->applicationBundleIdentifier;
}

std::optional<std::u16string> SnapshotSourceLibrary::applicationVersion() const {
  return contents_->applicationVersion;
}

Result<std::int64_t> SnapshotSourceLibrary::countItems(ItemKind kind) {
  return static_cast<std::int64_t>(contents_->items[static_cast<std::size_t>(kind)].size());
}

Result<std::vector<DatabaseItem>> SnapshotSourceLibrary::getItems(ItemKind kind) {
  return contents_->items[static_cast<std::size_t>(kind)];
}

Result<void> SnapshotSourceLibrary::forEachItem(
    ItemKind kind, const std::function<bool(const DatabaseItem&)>& visit) {
  for (const DatabaseItem& item : contents_->items[static_cast<std::size_t>(kind)]) {
    if (!visit(item)) {
      break;
    }
  }
  return {};
}

Result<std::int64_t> SnapshotSourceLibrary::countLabels() {
  return static_cast<std::int64_t>(contents_->labels.size());
}

Result<std::vector<Label>> SnapshotSourceLibrary::getLabels() {
  return contents_->labels;
}

Result<std::int64_t> SnapshotSourceLibrary::countFolderCollections() {
  return static_cast<std::int64_t>(contents_->folderCollections.size());
}

Result<std::vector<FolderCollection>> SnapshotSourceLibrary::getFolderCollections() {
  return contents_->folderCollections;
}

Result<std::int64_t> SnapshotSourceLibrary::countTagCollections() {
  return static_cast<std::int64_t>(contents_->tagCollections.size());
}

Result<std::vector<TagCollection>> SnapshotSourceLibrary::getTagCollections() {
  return contents_->tagCollections;
}

Result<std::optional<platform::URL>> SnapshotSourceLibrary::exportItem(
    const DatabaseItem& item, const platform::URL& directory) {
  if (auto reason = contents_->exportErrors.find(item.id);
      reason != contents_->exportErrors.end()) {
    return makeSourceError(reason->second);
  }
  auto payload = contents_->payloads.find(item.id);
  if (payload == contents_->payloads.end()) {
    return std::optional<platform::URL>{};
  }
  return copyPayload(*contents_->folder, payload->second, directory);
}

Result<std::optional<ItemPayload>> SnapshotSourceLibrary::openItemPayload(
    const DatabaseItem& item) {
  if (auto reason = contents_->exportErrors.find(item.id);
      reason != contents_->exportErrors.end()) {
    return makeSourceError(reason->second);
  }
  auto payload = contents_->payloads.find(item.id);
  if (payload == contents_->payloads.end()) {
    return std::optional<ItemPayload>{};
  }
  return openPayload(*contents_->folder, payload->second);
}

std::optional<platform::URL> SnapshotSourceLibrary::libraryFolderURL() const {
  return contents_->folderURL;
}

Result<std::unique_ptr<SnapshotSourceLibrary>> parseLibrarySnapshot(
    std::string_view text, const std::filesystem::path& folder) {
  return readWithoutExceptions([&] { return readLibrarySnapshot(text, folder, false); });
}

Result<std::unique_ptr<SnapshotSourceLibrary>> openLibrarySnapshot(
    const std::filesystem::path& folder) {
  auto library = readWithoutExceptions([&] { return readLibrarySnapshotFile(folder); });
  // The parse tree was several times the library's size; its freed pages lie scattered through
  // the heap, and the export would otherwise carry them as resident memory to the end.
  ::malloc_trim(0);
  return library;
}

}  // namespace zv::source
