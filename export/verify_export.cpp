#include "export/verify_export.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "export/file_digest.h"
#include "export/item_report.h"
#include "export/metadata_keys.h"
#include "platform/binary_property_list_view.h"
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
using Value = platform::BinaryPropertyListView::Value;
using ViewString = platform::PropertyListViewString;

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

// Hashes and compares record numbers by one text of their records, so that a set of numbers
// finds a record by that text without a second copy of every text.
template <auto kText>
struct ByRecordText {
  using is_transparent = void;
  using Text = std::basic_string_view<
      typename std::remove_cvref_t<decltype(std::declval<RecordedFile>().*kText)>::value_type>;

  const std::vector<RecordedFile>* records;

  Text text(std::size_t index) const { return (*records)[index].*kText; }
  static Text text(Text value) { return value; }
  std::size_t operator()(const auto& key) const { return std::hash<Text>{}(text(key)); }
  bool operator()(const auto& a, const auto& b) const { return text(a) == text(b); }
};

template <auto kText>
using RecordSet = std::unordered_set<std::size_t, ByRecordText<kText>, ByRecordText<kText>>;

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
  // The record sets point at records_.
  Verifier(const Verifier&) = delete;
  Verifier& operator=(const Verifier&) = delete;

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
  // Shape helpers: each reports what it finds wrong and answers nothing then.
  void checkKeys(const Value& dictionary, std::initializer_list<std::u16string_view> known,
                 const std::string& where);
  std::optional<Value> required(const Value& dictionary, std::u16string_view key,
                                PropertyList::Type type, const std::string& where);
  std::optional<Value> optional(const Value& dictionary, std::u16string_view key,
                                PropertyList::Type type, const std::string& where);
  void checkIdentifierMatchesKey(const Value& record, const ViewString& key,
                                 const std::string& where);

  void checkFiles(const Value& files);
  void checkItemRecord(const Value& record, std::size_t index);
  void checkLabels(const Value& labels);
  void checkGroups(const Value& groups);
  /// The record's member list: strings naming item records; withoutRecord hears the others.
  void checkMembers(const Value& record, const std::string& where,
                    const std::function<void(const std::u16string&)>& withoutRecord);
  void checkSearches(const Value& searches);
  void checkExporter(const Value& exporter);
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
  // In the file's order, so that problems come out in the same order every time.
  std::vector<RecordedFile> records_;
  // records_ by identifier; the identifiers listed in labels and groups are looked up here.
  RecordSet<&RecordedFile::identifier> recordIndex_{
      0, ByRecordText<&RecordedFile::identifier>{&records_},
      ByRecordText<&RecordedFile::identifier>{&records_}};
  // records_ by file name: the first record that claims each name.
  RecordSet<&RecordedFile::name> recordByName_{0, ByRecordText<&RecordedFile::name>{&records_},
                                               ByRecordText<&RecordedFile::name>{&records_}};
  std::unordered_set<std::u16string> labelIdentifiers_;
  // Records that name a label the labels record lacks, told after the records' own problems.
  std::vector<std::pair<std::size_t, std::u16string>> unknownLabels_;
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

void Verifier::checkKeys(const Value& dictionary, std::initializer_list<std::u16string_view> known,
                         const std::string& where) {
  for (std::size_t i = 0; i < dictionary.size(); ++i) {
    const ViewString key = dictionary.key(i);
    if (std::none_of(known.begin(), known.end(),
                     [&](std::u16string_view name) { return key == name; })) {
      problem(where + ": unexpected key " + shown(key.decoded()));
    }
  }
}

std::optional<Value> Verifier::optional(const Value& dictionary, std::u16string_view key,
                                        PropertyList::Type type, const std::string& where) {
  std::optional<Value> value = dictionary.find(key);
  if (value && value->type() != type) {
    problem(where + ": " + shown(key) + " has the wrong type");
    return std::nullopt;
  }
  return value;
}

std::optional<Value> Verifier::required(const Value& dictionary, std::u16string_view key,
                                        PropertyList::Type type, const std::string& where) {
  std::optional<Value> value = optional(dictionary, key, type, where);
  if (!value && !dictionary.find(key)) {
    problem(where + ": " + shown(key) + " is missing");
  }
  return value;
}

void Verifier::checkIdentifierMatchesKey(const Value& record, const ViewString& key,
                                         const std::string& where) {
  const std::optional<Value> identifier =
      required(record, kIdentifierKey, PropertyList::Type::kString, where);
  if (identifier && !(*identifier->asString() == key)) {
    problem(where + ": \"identifier\" differs from its key");
  }
}

void Verifier::checkMetadata(std::span<const std::uint8_t> bytes) {
  // Read in place: a tree of a library-sized file costs ten times the file.
  platform::Result<platform::BinaryPropertyListView> view =
      platform::BinaryPropertyListView::open(bytes);
  if (!view) {
    problem(std::string("the metadata file does not load: ") + describe(view.error()));
    return;
  }
  const Value top = view->root();
  if (!top.isDictionary()) {
    problem("the metadata file does not hold a dictionary");
    return;
  }
  metadataLoaded_ = true;
  checkKeys(top, {kFilesKey, kLabelsKey, kGroupsKey, kSearchesKey, kExporterKey},
            "the metadata file");
  auto section = [&](std::u16string_view key) {
    return required(top, key, PropertyList::Type::kDictionary, "the metadata file");
  };
  // Labels first: item records name them.
  const std::optional<Value> labels = section(kLabelsKey);
  if (labels) {
    for (std::size_t i = 0; i < labels->size(); ++i) {
      labelIdentifiers_.insert(labels->key(i).decoded());
    }
  }
  if (const std::optional<Value> files = section(kFilesKey)) {
    checkFiles(*files);
  }
  if (labels) {
    checkLabels(*labels);
  }
  if (const std::optional<Value> groups = section(kGroupsKey)) {
    checkGroups(*groups);
  }
  if (const std::optional<Value> searches = section(kSearchesKey)) {
    checkSearches(*searches);
  }
  if (const std::optional<Value> exporter = section(kExporterKey)) {
    checkExporter(*exporter);
  }
}

void Verifier::checkFiles(const Value& files) {
  const std::string where = "the root folder record";
  checkKeys(files, {kNameKey, kItemsKey, kFolderURLKey}, where);
  if (const std::optional<Value> name =
          required(files, kNameKey, PropertyList::Type::kString, where);
      name && !(*name->asString() == kRootFolderName16)) {
    problem(where + ": \"name\" is " + shown(name->asString()->decoded()) + ", not \"Zelvar\"");
  }
  if (const std::optional<Value> folder =
          required(files, kFolderURLKey, PropertyList::Type::kString, where)) {
    std::optional<platform::URL> url = platform::URL::fromString(folder->asString()->decoded());
    if (!url || !url->isFileURL()) {
      problem(where + ": \"folderURL\" is no file URL");
    } else {
      folderPath_ = url->path();
      while (folderPath_.size() > 1 && folderPath_.back() == u'/') {
        folderPath_.pop_back();
      }
    }
  }
  const std::optional<Value> items = required(files, kItemsKey, PropertyList::Type::kArray, where);
  if (!items) {
    return;
  }
  records_.reserve(items->size());
  recordIndex_.reserve(items->size());
  for (std::size_t index = 0; index < items->size(); ++index) {
    checkItemRecord(items->element(index), index);
  }
  recordByName_.reserve(records_.size());
  for (std::size_t index = 0; index < records_.size(); ++index) {
    const RecordedFile& file = records_[index];
    if (file.name.empty()) {
      continue;
    }
    auto [first, isNew] = recordByName_.insert(index);
    if (!isNew) {
      problem("the file " + shown(file.name) + " is claimed by the records " +
              shown(records_[*first].identifier) + " and " + shown(file.identifier));
    }
  }
  for (const auto& [index, label] : unknownLabels_) {
    problem("item " + shown(records_[index].identifier) + " names the label " + shown(label) +
            ", which does not exist");
  }
  unknownLabels_.clear();
  unknownLabels_.shrink_to_fit();
}

void Verifier::checkItemRecord(const Value& record, std::size_t index) {
  std::string where = "item record " + std::to_string(index);
  if (!record.isDictionary()) {
    problem(where + " is not a dictionary");
    return;
  }
  ++report_.summary.itemRecords;
  const std::optional<Value> identifier =
      required(record, kIdentifierKey, PropertyList::Type::kString, where);
  if (!identifier) {
    return;
  }
  std::u16string id = identifier->asString()->decoded();
  where += " (" + shown(id) + ")";
  checkKeys(record,
            {kIdentifierKey, kFileURLKey, kWasEncryptedKey, kIsFavoriteKey, kWasNoteKey,
             kCommentsKey, kLabelKey, kTagsKey},
            where);
  RecordedFile file;
  if (const std::optional<Value> p =
          required(record, kWasEncryptedKey, PropertyList::Type::kBoolean, where)) {
    file.wasEncrypted = *p->asBoolean();
  }
  required(record, kIsFavoriteKey, PropertyList::Type::kBoolean, where);
  required(record, kTagsKey, PropertyList::Type::kString, where);
  optional(record, kCommentsKey, PropertyList::Type::kString, where);
  if (const std::optional<Value> p =
          optional(record, kWasNoteKey, PropertyList::Type::kBoolean, where)) {
    file.wasNote = *p->asBoolean();
    if (!file.wasNote) {
      problem(where + ": \"wasNote\" is false; the exporter writes it only as true");
    }
  }
  std::optional<std::u16string> unknownLabel;
  if (const std::optional<Value> p =
          optional(record, kLabelKey, PropertyList::Type::kString, where)) {
    std::u16string label = p->asString()->decoded();
    if (!labelIdentifiers_.contains(label)) {
      unknownLabel = std::move(label);
    }
  }
  if (const std::optional<Value> p =
          required(record, kFileURLKey, PropertyList::Type::kString, where)) {
    std::optional<platform::URL> url = platform::URL::fromString(p->asString()->decoded());
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
  file.identifier = std::move(id);
  records_.push_back(std::move(file));
  if (!recordIndex_.insert(records_.size() - 1).second) {
    problem(where + ": a second record for the same identifier");
    // A label problem is told of the first record with this identifier, which holds it.
    if (unknownLabel) {
      unknownLabels_.emplace_back(*recordIndex_.find(records_.back().identifier),
                                  std::move(*unknownLabel));
    }
    records_.pop_back();
    return;
  }
  if (unknownLabel) {
    unknownLabels_.emplace_back(records_.size() - 1, std::move(*unknownLabel));
  }
}

void Verifier::checkLabels(const Value& labels) {
  for (std::size_t i = 0; i < labels.size(); ++i) {
    ++report_.summary.labels;
    const ViewString key = labels.key(i);
    const std::string where = "label " + shown(key.decoded());
    const Value label = labels.value(i);
    if (!label.isDictionary()) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(label,
              {kNameKey, kIdentifierKey, kRedComponentKey, kGreenComponentKey, kBlueComponentKey,
               kAlphaComponentKey, kItemsKey},
              where);
    optional(label, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(label, key, where);
    for (std::u16string_view component :
         {kRedComponentKey, kGreenComponentKey, kBlueComponentKey, kAlphaComponentKey}) {
      const std::optional<Value> value =
          required(label, component, PropertyList::Type::kReal, where);
      if (value && !(*value->asReal() >= 0 && *value->asReal() <= 1)) {
        problem(where + ": " + shown(component) + " lies outside 0 to 1");
      }
    }
    checkMembers(label, where, [&](const std::u16string& id) {
      problem(where + ": the member " + shown(id) + " has no item record");
    });
  }
}

void Verifier::checkMembers(const Value& record, const std::string& where,
                            const std::function<void(const std::u16string&)>& withoutRecord) {
  const std::optional<Value> items = required(record, kItemsKey, PropertyList::Type::kArray, where);
  if (!items) {
    return;
  }
  std::u16string id;
  for (std::size_t i = 0; i < items->size(); ++i) {
    const std::optional<ViewString> member = items->element(i).asString();
    if (!member) {
      problem(where + ": a member is not a string");
      continue;
    }
    id = member->decoded();
    if (!recordIndex_.contains(std::u16string_view(id))) {
      withoutRecord(id);
    }
  }
}

void Verifier::checkGroups(const Value& groups) {
  for (std::size_t i = 0; i < groups.size(); ++i) {
    ++report_.summary.groups;
    const ViewString key = groups.key(i);
    const std::string where = "group " + shown(key.decoded());
    const Value group = groups.value(i);
    if (!group.isDictionary()) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(group, {kNameKey, kIdentifierKey, kItemsKey}, where);
    required(group, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(group, key, where);
    // A folder collection may hold items the export skipped: they are counted, not wrong.
    checkMembers(group, where,
                 [&](const std::u16string&) { ++report_.summary.groupMembersNotExported; });
  }
}

void Verifier::checkSearches(const Value& searches) {
  for (std::size_t i = 0; i < searches.size(); ++i) {
    ++report_.summary.searches;
    const ViewString key = searches.key(i);
    const std::string where = "saved search " + shown(key.decoded());
    const Value search = searches.value(i);
    if (!search.isDictionary()) {
      problem(where + " is not a dictionary");
      continue;
    }
    checkKeys(search, {kNameKey, kIdentifierKey, kMatchAllKey, kSearchOptionsKey}, where);
    optional(search, kNameKey, PropertyList::Type::kString, where);
    checkIdentifierMatchesKey(search, key, where);
    required(search, kMatchAllKey, PropertyList::Type::kBoolean, where);
    const std::optional<Value> options =
        required(search, kSearchOptionsKey, PropertyList::Type::kArray, where);
    if (!options) {
      continue;
    }
    for (std::size_t j = 0; j < options->size(); ++j) {
      const Value option = options->element(j);
      if (!option.isDictionary()) {
        problem(where + ": a search option is not a dictionary");
        continue;
      }
      checkKeys(option, {kSearchOptionKeyKey, kSearchOptionStringValueKey}, where);
      required(option, kSearchOptionStringValueKey, PropertyList::Type::kString, where);
      const std::optional<Value> matched =
          required(option, kSearchOptionKeyKey, PropertyList::Type::kString, where);
      if (matched && !(*matched->asString() == kTagNameSearchKey)) {
        problem(where + ": a search option matches " + shown(matched->asString()->decoded()) +
                ", not \"tags.name\"");
      }
    }
  }
}

void Verifier::checkExporter(const Value& exporter) {
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
  for (const RecordedFile& file : records_) {
    if (!keepGoing(filesChecked_++)) {
      return;
    }
    if (file.name.empty()) {
      continue;
    }
    auto found = entries->entries.find(file.name);
    if (found == entries->entries.end()) {
      problem("item " + shown(file.identifier) + ": its file " + shown(file.name) + " is missing");
      continue;
    }
    checkRecordedFile(exportFolder, file.identifier, file, found->second);
  }
  std::vector<std::string> unrecorded;
  for (const auto& [name, kind] : entries->entries) {
    if (!recordByName_.contains(std::string_view(name))) {
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
  RecordedFile& file = records_[*found];
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
  RecordedFile& file = records_[*found];
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
