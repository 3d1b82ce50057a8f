#include "export/verify_export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "export/file_digest.h"
#include "export/item_report.h"
#include "export/metadata_keys.h"
#include "platform/binary_property_list.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/property_list.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"
#include "platform/url.h"
#include "source/library_snapshot.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {
namespace {

using platform::FolderHandle;
using platform::PropertyList;
using Dictionary = platform::PropertyList::Dictionary;

constexpr char kMetadataFileName[] = "Zelvar.plist";
constexpr char kRootFolderName[] = "Zelvar";
constexpr char16_t kRootFolderName16[] = u"Zelvar";
// Web link files hold a URL, a title and perhaps a page archive; anything this large is not one
// the exporter wrote, and reading it whole would let a hostile export fill memory.
constexpr std::size_t kMaximumWebLinkSize = std::size_t{64} << 20;
// Identifiers and names are shown in problems; a megabyte-long one would drown the output.
constexpr std::size_t kMaximumShownLength = 200;

std::string shown(std::u16string_view text) {
  const bool cut = text.size() > kMaximumShownLength;
  std::size_t length = std::min(text.size(), kMaximumShownLength);
  // Cutting between the two halves of a surrogate pair would leave invalid text.
  if (cut && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) {
    --length;
  }
  std::string utf8 = platform::toUtf8(text.substr(0, length));
  return "\"" + platform::escapedControlCharacters(utf8) + (cut ? "…\"" : "\"");
}

std::string shown(std::string_view text) {
  return shown(platform::fromUtf8(text));
}

std::u16string extensionOf(std::u16string_view name) {
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) {
    return {};
  }
  return std::u16string(name.substr(dot + 1));
}

// The traits of each kind, by kind: which files become notes, which kinds are always encrypted.
constexpr unsigned kItemKindTraits[] = {
#define ZV_ITEM_KIND(kind, snapshotName, pluralName, exportPhase, logLine, progressText, traits) \
  (traits),
#include "source/item_kinds.def"
};
static_assert(std::size(kItemKindTraits) == source::kItemKindCount);

std::string describe(const platform::Error& error) {
  return platform::escapedControlCharacters(platform::toUtf8(error.description));
}

// What an item record says about its file, kept for the checks that need all records at once.
struct RecordedFile {
  std::u16string identifier;
  std::string name;  // in the root folder, UTF-8 as on disk; empty when the record had none
  bool wasNote = false;
  bool wasEncrypted = false;
  bool seenInLibrary = false;
  bool seenInReport = false;
};

// The whole content of an open regular file no larger than maximumSize.
std::optional<std::vector<std::uint8_t>> readWhole(int descriptor, std::size_t maximumSize) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::uint64_t>(status.st_size) > maximumSize) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = platform::retryOnInterrupt([&] {
      return ::pread(descriptor, bytes.data() + done, bytes.size() - done,
                     static_cast<off_t>(done));
    });
    if (count <= 0) {
      return std::nullopt;
    }
    done += static_cast<std::size_t>(count);
  }
  return bytes;
}

class Verifier {
 public:
  explicit Verifier(std::function<bool(std::size_t, std::size_t)> progress = {})
      : progress_(std::move(progress)) {}

  VerifyReport takeReport() { return std::move(report_); }
  bool stopped() const { return report_.stopped; }

  void problem(std::string text) {
    ++report_.problemCount;
    if (report_.problems.size() < VerifyReport::kMaximumListedProblems) {
      report_.problems.push_back(std::move(text));
    }
  }

  void checkMetadata(std::span<const std::uint8_t> bytes);
  void checkExportFolder(const std::filesystem::path& exportFolder);
  void checkLibrary(const std::filesystem::path& libraryFolder);
  void checkLibrary(source::SourceLibrary& library);
  void checkReport(const std::filesystem::path& reportFile);

 private:
  // Shape helpers: each reports what it finds wrong and answers null then.
  void checkKeys(const Dictionary& dictionary, std::initializer_list<std::u16string_view> known,
                 const std::string& where);
  const PropertyList* required(const Dictionary& dictionary, std::u16string_view key,
                               PropertyList::Type type, const std::string& where);
  const PropertyList* optional(const Dictionary& dictionary, std::u16string_view key,
                               PropertyList::Type type, const std::string& where);
  void checkIdentifierMatchesKey(const Dictionary& record, std::u16string_view key,
                                 const std::string& where);

  void checkFiles(const Dictionary& files);
  void checkItemRecord(const PropertyList& value, std::size_t index);
  void checkLabels(const Dictionary& labels);
  void checkGroups(const Dictionary& groups);
  /// The record's member list: strings naming item records; withoutRecord hears the others.
  void checkMembers(const Dictionary& record, const std::string& where,
                    const std::function<void(const std::u16string&)>& withoutRecord);
  void checkSearches(const Dictionary& searches);
  void checkExporter(const Dictionary& exporter);
  void checkRootFolderFiles(const FolderHandle& exportFolder);
  void checkRecordedFile(const FolderHandle& exportFolder, const std::u16string& identifier,
                         const RecordedFile& file, FolderHandle::EntryKind kind);
  void checkReportItem(const ReportRecord& item);
  void checkLibraryItem(source::SourceLibrary& library, const source::DatabaseItem& item);
  void compareWithPayload(source::SourceLibrary& library, const source::DatabaseItem& item,
                          const RecordedFile& file);
  void compareBookmark(const source::DatabaseItem& item, const RecordedFile& file);

  // False once the check is to stop; says so once.
  bool keepGoing(std::size_t checked);

  VerifyReport report_;
  std::function<bool(std::size_t, std::size_t)> progress_;
  std::size_t filesChecked_ = 0;
  bool metadataLoaded_ = false;
  // The report answers for the files' bytes; payloads are not read again.
  bool bytesCheckedByReport_ = false;
  std::u16string folderPath_;  // of "folderURL", without a trailing "/"
  // By identifier; the identifiers listed in labels and groups are looked up here.
  // In the file's order, so that problems come out in the same order every time.
  std::vector<RecordedFile> records_;
  std::unordered_map<std::u16string, std::size_t> recordIndex_;
  std::unordered_set<std::u16string> labelIdentifiers_;
  std::vector<std::pair<std::u16string, std::u16string>> itemLabels_;  // identifier, label
  std::optional<FolderHandle> exportFolder_;
  std::vector<unsigned char> hashBuffer_ = std::vector<unsigned char>(kDigestChunkSize);
};

bool Verifier::keepGoing(std::size_t checked) {
  if (report_.stopped) {
    return false;
  }
  if (!progress_ || progress_(checked, records_.size())) {
    return true;
  }
  report_.stopped = true;
  problem("the check was stopped before its end");
  return false;
}

void Verifier::checkKeys(const Dictionary& dictionary,
                         std::initializer_list<std::u16string_view> known,
                         const std::string& where) {
  for (const auto& entry : dictionary) {
    if (std::find(known.begin(), known.end(), std::u16string_view(entry.key)) == known.end()) {
      problem(where + ": unexpected key " + shown(entry.key));
    }
  }
}

const PropertyList* Verifier::optional(const Dictionary& dictionary, std::u16string_view key,
                                       PropertyList::Type type, const std::string& where) {
  const PropertyList* value = dictionary.find(key);
  if (value != nullptr && value->type() != type) {
    problem(where + ": " + shown(key) + " has the wrong type");
    return nullptr;
  }
  return value;
}

const PropertyList* Verifier::required(const Dictionary& dictionary, std::u16string_view key,
                                       PropertyList::Type type, const std::string& where) {
  if (!dictionary.contains(key)) {
    problem(where + ": " + shown(key) + " is missing");
    return nullptr;
  }
  return optional(dictionary, key, type, where);
}

void Verifier::checkIdentifierMatchesKey(const Dictionary& record, std::u16string_view key,
                                         const std::string& where) {
  const PropertyList* identifier =
      required(record, kIdentifierKey, PropertyList::Type::kString, where);
  if (identifier != nullptr && *identifier->asString() != key) {
    problem(where + ": \"identifier\" differs from its key");
  }
}

void Verifier::checkMetadata(std::span<const std::uint8_t> bytes) {
  platform::Result<PropertyList> root = platform::readBinaryPropertyList(bytes);
  if (!root) {
    problem(std::string("the metadata file does not load: ") + describe(root.error()));
    return;
  }
  const Dictionary* top = root->asDictionary();
  if (top == nullptr) {
    problem("the metadata file does not hold a dictionary");
    return;
  }
  metadataLoaded_ = true;
  checkKeys(*top, {kFilesKey, kLabelsKey, kGroupsKey, kSearchesKey, kExporterKey},
            "the metadata file");
  auto section = [&](std::u16string_view key) -> const Dictionary* {
    const PropertyList* value =
        required(*top, key, PropertyList::Type::kDictionary, "the metadata file");
    return value == nullptr ? nullptr : value->asDictionary();
  };
  // Labels first: item records name them.
  const Dictionary* labels = section(kLabelsKey);
  if (labels != nullptr) {
    for (const auto& entry : *labels) {
      labelIdentifiers_.insert(entry.key);
    }
  }
  if (const Dictionary* files = section(kFilesKey)) {
    checkFiles(*files);
  }
  if (labels != nullptr) {
    checkLabels(*labels);
  }
  if (const Dictionary* groups = section(kGroupsKey)) {
    checkGroups(*groups);
  }
  if (const Dictionary* searches = section(kSearchesKey)) {
    checkSearches(*searches);
  }
  if (const Dictionary* exporter = section(kExporterKey)) {
    checkExporter(*exporter);
  }
}

void Verifier::checkFiles(const Dictionary& files) {
  const std::string where = "the root folder record";
  checkKeys(files, {kNameKey, kItemsKey, kFolderURLKey}, where);
  if (const PropertyList* name = required(files, kNameKey, PropertyList::Type::kString, where);
      name != nullptr && *name->asString() != kRootFolderName16) {
    problem(where + ": \"name\" is " + shown(*name->asString()) + ", not \"Zelvar\"");
  }
  if (const PropertyList* folder =
          required(files, kFolderURLKey, PropertyList::Type::kString, where)) {
    std::optional<platform::URL> url = platform::URL::fromString(*folder->asString());
    if (!url || !url->isFileURL()) {
      problem(where + ": \"folderURL\" is no file URL");
    } else {
      folderPath_ = url->path();
      while (folderPath_.size() > 1 && folderPath_.back() == u'/') {
        folderPath_.pop_back();
      }
    }
  }
  const PropertyList* items = required(files, kItemsKey, PropertyList::Type::kArray, where);
  if (items == nullptr) {
    return;
  }
  records_.reserve(items->asArray()->size());
  recordIndex_.reserve(items->asArray()->size());
  std::unordered_map<std::string, std::u16string> claimed;  // file name -> first identifier
  std::size_t index = 0;
  for (const PropertyList& item : *items->asArray()) {
    checkItemRecord(item, index++);
  }
  for (const RecordedFile& file : records_) {
    if (file.name.empty()) {
      continue;
    }
    auto [first, isNew] = claimed.try_emplace(file.name, file.identifier);
    if (!isNew) {
      problem("the file " + shown(file.name) + " is claimed by the records " +
              shown(first->second) + " and " + shown(file.identifier));
    }
  }
  for (const auto& [identifier, label] : itemLabels_) {
    if (!labelIdentifiers_.contains(label)) {
      problem("item " + shown(identifier) + " names the label " + shown(label) +
              ", which does not exist");
    }
  }
  itemLabels_.clear();
  itemLabels_.shrink_to_fit();
}

void Verifier::checkItemRecord(const PropertyList& value, std::size_t index) {
  std::string where = "item record " + std::to_string(index);
  const Dictionary* record = value.asDictionary();
  if (record == nullptr) {
    problem(where + " is not a dictionary");
    return;
  }
  ++report_.summary.itemRecords;
  const PropertyList* identifier =
      required(*record, kIdentifierKey, PropertyList::Type::kString, where);
  if (identifier == nullptr) {
    return;
  }
  const std::u16string& id = *identifier->asString();
  where += " (" + shown(id) + ")";
  checkKeys(*record,
            {kIdentifierKey, kFileURLKey, kWasEncryptedKey, kIsFavoriteKey, kWasNoteKey,
             kCommentsKey, kLabelKey, kTagsKey},
            where);
  RecordedFile file;
  if (const PropertyList* p =
          required(*record, kWasEncryptedKey, PropertyList::Type::kBoolean, where)) {
    file.wasEncrypted = *p->asBoolean();
  }
  required(*record, kIsFavoriteKey, PropertyList::Type::kBoolean, where);
  required(*record, kTagsKey, PropertyList::Type::kString, where);
  optional(*record, kCommentsKey, PropertyList::Type::kString, where);
  if (const PropertyList* p = optional(*record, kWasNoteKey, PropertyList::Type::kBoolean, where)) {
    file.wasNote = *p->asBoolean();
    if (!file.wasNote) {
      problem(where + ": \"wasNote\" is false; the exporter writes it only as true");
    }
  }
  if (const PropertyList* p = optional(*record, kLabelKey, PropertyList::Type::kString, where)) {
    itemLabels_.emplace_back(id, *p->asString());
  }
  if (const PropertyList* p = required(*record, kFileURLKey, PropertyList::Type::kString, where)) {
    std::optional<platform::URL> url = platform::URL::fromString(*p->asString());
    std::u16string path = url && url->isFileURL() ? url->path() : std::u16string();
    const std::size_t slash = path.rfind(u'/');
    const std::u16string name = slash == std::u16string::npos ? u"" : path.substr(slash + 1);
    if (path.empty()) {
      problem(where + ": \"fileURL\" is no file URL");
    } else if (path.substr(0, slash) != folderPath_ || name.empty() || name == u"." ||
               name == u"..") {
      problem(where + ": the file " + shown(path) + " lies outside the root folder");
    } else {
      file.name = platform::toUtf8(name);
    }
  }
  if (!recordIndex_.try_emplace(id, records_.size()).second) {
    problem(where + ": a second record for the same identifier");
    return;
  }
  file.identifier = id;
  records_.push_back(std::move(file));
}

void Verifier::checkLabels(const Dictionary& labels) {
  for (const auto& entry : labels) {
    ++report_.summary.labels;
    const std::string where = "label " + shown(entry.key);
    const Dictionary* label = entry.value.asDictionary();
    if (label == nullptr) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(*label,
              {kNameKey, kIdentifierKey, kRedComponentKey, kGreenComponentKey, kBlueComponentKey,
               kAlphaComponentKey, kItemsKey},
              where);
    optional(*label, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(*label, entry.key, where);
    for (std::u16string_view key :
         {kRedComponentKey, kGreenComponentKey, kBlueComponentKey, kAlphaComponentKey}) {
      const PropertyList* component = required(*label, key, PropertyList::Type::kReal, where);
      if (component != nullptr && !(*component->asReal() >= 0 && *component->asReal() <= 1)) {
        problem(where + ": " + shown(key) + " lies outside 0 to 1");
      }
    }
    checkMembers(*label, where, [&](const std::u16string& id) {
      problem(where + ": the member " + shown(id) + " has no item record");
    });
  }
}

void Verifier::checkMembers(const Dictionary& record, const std::string& where,
                            const std::function<void(const std::u16string&)>& withoutRecord) {
  const PropertyList* items = required(record, kItemsKey, PropertyList::Type::kArray, where);
  if (items == nullptr) {
    return;
  }
  for (const PropertyList& member : *items->asArray()) {
    const std::u16string* id = member.asString();
    if (id == nullptr) {
      problem(where + ": a member is not a string");
    } else if (!recordIndex_.contains(*id)) {
      withoutRecord(*id);
    }
  }
}

void Verifier::checkGroups(const Dictionary& groups) {
  for (const auto& entry : groups) {
    ++report_.summary.groups;
    const std::string where = "group " + shown(entry.key);
    const Dictionary* group = entry.value.asDictionary();
    if (group == nullptr) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(*group, {kNameKey, kIdentifierKey, kItemsKey}, where);
    required(*group, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(*group, entry.key, where);
    // A folder collection may hold items the export skipped: they are counted, not wrong.
    checkMembers(*group, where,
                 [&](const std::u16string&) { ++report_.summary.groupMembersNotExported; });
  }
}

void Verifier::checkSearches(const Dictionary& searches) {
  for (const auto& entry : searches) {
    ++report_.summary.searches;
    const std::string where = "saved search " + shown(entry.key);
    const Dictionary* search = entry.value.asDictionary();
    if (search == nullptr) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(*search, {kNameKey, kIdentifierKey, kMatchAllKey, kSearchOptionsKey}, where);
    optional(*search, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(*search, entry.key, where);
    required(*search, kMatchAllKey, PropertyList::Type::kBoolean, where);
    const PropertyList* options =
        required(*search, kSearchOptionsKey, PropertyList::Type::kArray, where);
    if (options == nullptr) {
      continue;
    }
    for (const PropertyList& value : *options->asArray()) {
      const Dictionary* option = value.asDictionary();
      if (option == nullptr) {
        problem(where + ": a search option is not a dictionary");
        continue;
      }
      checkKeys(*option, {kSearchOptionKeyKey, kSearchOptionStringValueKey}, where);
      required(*option, kSearchOptionStringValueKey, PropertyList::Type::kString, where);
      const PropertyList* key =
          required(*option, kSearchOptionKeyKey, PropertyList::Type::kString, where);
      if (key != nullptr && *key->asString() != kTagNameSearchKey) {
        problem(where + ": a search option matches " + shown(*key->asString()) +
                ", not \"tags.name\"");
      }
    }
  }
}

void Verifier::checkExporter(const Dictionary& exporter) {
  const std::string where = "the exporter record";
  checkKeys(exporter, {u"CFBundleIdentifier", u"CFBundleVersion", u"CFBundleShortVersionString"},
            where);
  for (std::u16string_view key :
       {u"CFBundleIdentifier", u"CFBundleVersion", u"CFBundleShortVersionString"}) {
    required(exporter, key, PropertyList::Type::kString, where);
  }
}

void Verifier::checkExportFolder(const std::filesystem::path& exportFolder) {
  platform::Result<FolderHandle> folder = FolderHandle::openAtPath(exportFolder.string());
  if (!folder) {
    problem("no export at " + shown(exportFolder.string()) + ": " + describe(folder.error()));
    return;
  }
  platform::Result<FolderHandle::FolderEntries> entries = folder->entriesWithoutLinks("");
  if (!entries) {
    problem("the export folder cannot be read: " + describe(entries.error()));
    return;
  }
  auto kindOf = [&](const std::string& name) {
    auto found = entries->entries.find(name);
    return found == entries->entries.end() ? std::optional<FolderHandle::EntryKind>()
                                           : found->second;
  };
  if (!kindOf(kMetadataFileName)) {
    problem("no export at " + shown(exportFolder.string()) + ": \"Zelvar.plist\" is missing");
    return;
  }
  platform::Result<platform::ScopedDescriptor> metadata =
      folder->openForReadingWithoutLinks(kMetadataFileName);
  if (!metadata) {
    problem("the metadata file cannot be opened: " + describe(metadata.error()));
    return;
  }
  std::optional<std::vector<std::uint8_t>> bytes =
      readWhole(metadata->get(), platform::kPropertyListMaximumInputSize);
  if (!bytes) {
    problem("the metadata file cannot be read: not a regular file, or larger than " +
            std::to_string(platform::kPropertyListMaximumInputSize >> 20) + " MiB");
    return;
  }
  checkMetadata(*bytes);
  bytes.reset();
  if (kindOf(kRootFolderName) != FolderHandle::EntryKind::kFolder &&
      kindOf(kRootFolderName) != FolderHandle::EntryKind::kUnknown) {
    problem("the root folder \"Zelvar\" is missing or is no folder");
    return;
  }
  // Quennet follows the recorded URLs, so an export moved away from where it was written, or a
  // record naming another folder, would import nothing.
  std::error_code error;
  const std::filesystem::path real =
      std::filesystem::weakly_canonical(exportFolder / kRootFolderName, error);
  if (!folderPath_.empty() && platform::fromUtf8(real.string()) != folderPath_ &&
      platform::fromUtf8((exportFolder / kRootFolderName).lexically_normal().string()) !=
          folderPath_) {
    problem("\"folderURL\" names " + shown(folderPath_) + ", not this export's root folder");
  }
  checkRootFolderFiles(*folder);
  exportFolder_.emplace(std::move(*folder));
}

void Verifier::checkRootFolderFiles(const FolderHandle& exportFolder) {
  platform::Result<FolderHandle::FolderEntries> entries =
      exportFolder.entriesWithoutLinks(kRootFolderName);
  if (!entries || !entries->exists) {
    problem("the root folder cannot be read" +
            (entries ? std::string() : ": " + describe(entries.error())));
    return;
  }
  report_.summary.filesInRootFolder = entries->entries.size();
  std::unordered_set<std::string> recorded;
  recorded.reserve(records_.size());
  for (const RecordedFile& file : records_) {
    if (!keepGoing(filesChecked_++)) {
      return;
    }
    if (file.name.empty()) {
      continue;
    }
    recorded.insert(file.name);
    auto found = entries->entries.find(file.name);
    if (found == entries->entries.end()) {
      problem("item " + shown(file.identifier) + ": its file " + shown(file.name) + " is missing");
      continue;
    }
    checkRecordedFile(exportFolder, file.identifier, file, found->second);
  }
  std::vector<std::string> unrecorded;
  for (const auto& [name, kind] : entries->entries) {
    if (!recorded.contains(name)) {
      unrecorded.push_back(name);
    }
  }
  std::sort(unrecorded.begin(), unrecorded.end());
  for (const std::string& name : unrecorded) {
    problem("the file " + shown(name) + " in the root folder has no item record");
  }
}

void Verifier::checkRecordedFile(const FolderHandle& exportFolder, const std::u16string& identifier,
                                 const RecordedFile& file, FolderHandle::EntryKind kind) {
  const std::string where = "item " + shown(identifier) + ": its file " + shown(file.name);
  if (kind == FolderHandle::EntryKind::kSymbolicLink) {
    problem(where + " is a symbolic link");
    return;
  }
  platform::Result<platform::ScopedDescriptor> opened =
      exportFolder.openForReadingWithoutLinks(std::string(kRootFolderName) + "/" + file.name);
  struct stat status {};
  if (!opened || ::fstat(opened->get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    problem(where + " is not a regular file");
    return;
  }
  if (extensionOf(platform::fromUtf8(file.name)) != weblink::QNTWebLinkFileExtension) {
    return;
  }
  ++report_.summary.webLinks;
  std::optional<std::vector<std::uint8_t>> bytes = readWhole(opened->get(), kMaximumWebLinkSize);
  weblink::QNTWebLinkFile link;
  platform::Error error;
  if (!bytes) {
    problem(where + " is too large for a web link");
  } else if (!link.readFromData(*bytes, &error)) {
    problem(where + " does not load as a web link: " + describe(error));
  }
}

void Verifier::checkLibrary(const std::filesystem::path& libraryFolder) {
  if (!metadataLoaded_) {
    return;  // Every item would read as missing; the metadata file's problem says it all.
  }
  platform::Result<std::unique_ptr<source::SnapshotSourceLibrary>> library =
      source::openLibrarySnapshot(libraryFolder);
  if (!library) {
    problem("the library cannot be read: " + describe(library.error()));
    return;
  }
  checkLibrary(**library);
}

void Verifier::checkLibrary(source::SourceLibrary& library) {
  if (!metadataLoaded_) {
    return;
  }
  for (source::ItemKind kind : source::kAllItemKinds) {
    platform::Result<void> visited =
        library.forEachItem(kind, [&](const source::DatabaseItem& item) {
          if (!keepGoing(filesChecked_)) {
            return false;
          }
          checkLibraryItem(library, item);
          return true;
        });
    if (!visited) {
      problem("the library's items cannot be read: " + describe(visited.error()));
      return;
    }
    if (report_.stopped) {
      return;
    }
  }
  for (const RecordedFile& file : records_) {
    if (!file.seenInLibrary) {
      problem("item " + shown(file.identifier) + " is not in the library");
    }
  }
}

void Verifier::checkLibraryItem(source::SourceLibrary& library, const source::DatabaseItem& item) {
  ++report_.summary.libraryItems;
  const bool isBookmark = item.kind == source::ItemKind::bookmark;
  const unsigned traits = kItemKindTraits[static_cast<std::size_t>(item.kind)];
  const bool encrypted =
      (traits & source::kAlwaysEncrypt) != 0 || (!isBookmark && item.encrypted.value_or(false));
  const std::string where = "item " + shown(item.id) + " (" +
                            platform::toUtf8(source::itemKindName(item.kind)) + ", " +
                            shown(item.name) + ")";
  auto found = recordIndex_.find(item.id);
  if (found == recordIndex_.end()) {
    if (isBookmark ? !item.location || item.location->empty() : item.name.empty()) {
      ++report_.summary.skippedByExport;
    } else if (encrypted) {
      ++report_.summary.encryptedLeftOut;
    } else {
      problem(where + " is missing from the export");
    }
    return;
  }
  RecordedFile& file = records_[found->second];
  if (file.seenInLibrary) {
    return;  // A library listing one identifier twice; the record answers for the first.
  }
  file.seenInLibrary = true;
  if (file.wasEncrypted != encrypted) {
    problem(where + ": \"wasEncrypted\" is " + (file.wasEncrypted ? "true" : "false"));
  }
  if (file.wasNote != ((traits & source::kConvertToNotes) != 0)) {
    problem(where + ": \"wasNote\" does not match its kind");
  }
  if (file.name.empty() || !exportFolder_) {
    return;
  }
  if (isBookmark) {
    compareBookmark(item, file);
  } else if (!bytesCheckedByReport_) {
    compareWithPayload(library, item, file);
  }
}

void Verifier::compareWithPayload(source::SourceLibrary& library, const source::DatabaseItem& item,
                                  const RecordedFile& file) {
  const std::string where = "item " + shown(item.id) + ": its file " + shown(file.name);
  // A source that only writes files itself hands over nothing to compare with.
  if (!library.canOpenItemPayloads()) {
    ++report_.summary.comparedByPresence;
    return;
  }
  platform::Result<std::optional<source::ItemPayload>> payload = library.openItemPayload(item);
  if (!payload || !*payload) {
    problem(where + " has no payload in the library to compare with");
    return;
  }
  // A web archive whose main resource is another type becomes a file of that type: its bytes
  // are the resource's, not the archive's, so only its presence can be checked.
  if (extensionOf((*payload)->fileName) != extensionOf(platform::fromUtf8(file.name))) {
    ++report_.summary.comparedByPresence;
    return;
  }
  platform::Result<platform::ScopedDescriptor> exported =
      exportFolder_->openForReadingWithoutLinks(std::string(kRootFolderName) + "/" + file.name);
  if (!exported) {
    return;  // Already reported as missing or not a regular file.
  }
  const std::optional<FileDigest> expected = digestOfFile((*payload)->file.get(), hashBuffer_);
  const std::optional<FileDigest> actual = digestOfFile(exported->get(), hashBuffer_);
  if (!expected || !actual) {
    problem(where + " cannot be read to compare it with its payload");
    return;
  }
  ++report_.summary.comparedByContent;
  report_.summary.bytesHashed += expected->size + actual->size;
  if (expected->size != actual->size) {
    problem(where + " has " + std::to_string(actual->size) + " bytes, its payload " +
            std::to_string(expected->size));
  } else if (*expected != *actual) {
    problem(where + " differs from its payload (SHA-256)");
  }
}

void Verifier::compareBookmark(const source::DatabaseItem& item, const RecordedFile& file) {
  ++report_.summary.comparedByPresence;
  platform::Result<platform::ScopedDescriptor> opened =
      exportFolder_->openForReadingWithoutLinks(std::string(kRootFolderName) + "/" + file.name);
  std::optional<std::vector<std::uint8_t>> bytes =
      opened ? readWhole(opened->get(), kMaximumWebLinkSize) : std::nullopt;
  weblink::QNTWebLinkFile link;
  if (!bytes || !link.readFromData(*bytes)) {
    return;  // Already reported by the file checks.
  }
  // The exporter stores the location as it parses, scheme or not; the file must hold the same.
  const std::optional<platform::URL> expected =
      platform::URL::fromStringAllowingRelative(item.location.value_or(u""));
  if (!expected || !link.URL() || link.URL()->absoluteString() != expected->absoluteString()) {
    problem("item " + shown(item.id) + ": its web link " + shown(file.name) +
            " does not hold the bookmark's location");
  }
}

void Verifier::checkReport(const std::filesystem::path& reportFile) {
  if (!metadataLoaded_ || !exportFolder_) {
    return;
  }
  platform::Result<ItemReportReader> reader = ItemReportReader::open(reportFile);
  if (!reader) {
    problem("the report " + shown(reportFile.string()) +
            " cannot be used: " + describe(reader.error()));
    return;
  }
  bytesCheckedByReport_ = true;
  std::optional<ReportRecord> end;
  std::uint64_t items = 0;
  for (;;) {
    platform::Result<std::optional<ReportRecord>> record = reader->next();
    if (!record) {
      problem(describe(record.error()));
      return;
    }
    if (!*record) {
      break;
    }
    if (end) {
      problem("the report goes on after its last line");
      return;
    }
    if ((*record)->type == ReportRecord::Type::end) {
      end = std::move(**record);
      continue;
    }
    ++items;
    checkReportItem(**record);
  }
  if (!end) {
    problem(
        "the report is incomplete: it has no last line (the export was interrupted, or the "
        "report was cut short)");
  } else if (!end->complete) {
    problem("the report is marked incomplete: " +
            platform::escapedControlCharacters(end->error.substr(0, kMaximumShownLength)));
  } else if (end->items && *end->items != items) {
    problem("the report's last line counts " + std::to_string(*end->items) +
            " items, but it lists " + std::to_string(items));
  }
  for (const RecordedFile& file : records_) {
    if (!file.seenInReport) {
      problem("item " + shown(file.identifier) + " has a record but is not in the report as " +
              "exported");
    }
  }
}

void Verifier::checkReportItem(const ReportRecord& item) {
  ++report_.summary.reportItems;
  const std::u16string id = platform::fromUtf8(item.id);
  const std::string where = "item " + shown(id);
  auto found = recordIndex_.find(id);
  if (item.outcome == "skipped") {
    if (found != recordIndex_.end()) {
      problem(where + " is in the export, but the report says it was skipped");
    }
    return;
  }
  if (found == recordIndex_.end()) {
    problem(where + " is in the report as exported, but has no item record");
    return;
  }
  RecordedFile& file = records_[found->second];
  if (std::exchange(file.seenInReport, true)) {
    problem(where + " is in the report twice");
    return;
  }
  const std::string recorded = std::string(kRootFolderName) + "/" + file.name;
  if (file.name.empty() || item.file != recorded) {
    problem(where + ": the report names the file " + shown(item.file) + ", its record " +
            shown(recorded));
    return;
  }
  if (!item.size || !item.sha256) {
    problem(where + ": the report has no size and SHA-256 for its file");
    return;
  }
  platform::Result<platform::ScopedDescriptor> exported =
      exportFolder_->openForReadingWithoutLinks(recorded);
  if (!exported) {
    return;  // Already reported as missing or not a regular file.
  }
  const std::optional<FileDigest> actual = digestOfFile(exported->get(), hashBuffer_);
  if (!actual) {
    problem(where + ": its file " + shown(file.name) + " cannot be read");
    return;
  }
  ++report_.summary.comparedWithReport;
  report_.summary.bytesHashed += actual->size;
  if (actual->size != *item.size) {
    problem(where + ": its file " + shown(file.name) + " has " + std::to_string(actual->size) +
            " bytes, the report says " + std::to_string(*item.size));
  } else if (actual->sha256 != *item.sha256) {
    problem(where + ": its file " + shown(file.name) + " differs from the report (SHA-256)");
  }
}

}  // namespace

VerifyReport verifyExport(const std::filesystem::path& exportFolder, const VerifyOptions& options) {
  Verifier verifier(options.progress);
  verifier.checkExportFolder(exportFolder);
  if (options.reportFile && !verifier.stopped()) {
    verifier.checkReport(*options.reportFile);
  }
  if (options.libraryFolder && !verifier.stopped()) {
    verifier.checkLibrary(*options.libraryFolder);
  } else if (options.library && !verifier.stopped()) {
    verifier.checkLibrary(*options.library);
  }
  return verifier.takeReport();
}

VerifyReport verifyMetadataBytes(std::span<const std::uint8_t> bytes) {
  Verifier verifier;
  verifier.checkMetadata(bytes);
  return verifier.takeReport();
}

}  // namespace zv::exporter
