#include "source/library_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <iterator>
#include <new>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/date.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "source/snapshot_contents.h"

namespace zv::source {
namespace {

using nlohmann::json;
using platform::Error;
using platform::fromUtf8;
using platform::Result;
using Contents = SnapshotSourceLibrary::Contents;

// Snapshots come from other tools and from users: cap what we are willing to read.
constexpr std::size_t kMaximumDescriptionSize = std::size_t{512} * 1024 * 1024;
// A real description nests four levels deep; deeper nesting is refused before reading, as
// hostile rather than useful.
constexpr std::size_t kMaximumNesting = 512;

Error malformed(const std::string& where, const std::string& what) {
  return Error{kLibrarySnapshotErrorDomain, kSnapshotMalformed,
               fromUtf8(std::string(kLibrarySnapshotFileName) + ": " + where + ": " + what)};
}

std::string describe(const char* kind, size_t index, std::string_view id) {
  std::string where = std::string(kind) + " " + std::to_string(index + 1);
  if (!id.empty()) {
    where += " (\"" + std::string(id) + "\")";
  }
  return where;
}

std::optional<std::uint32_t> fourCharCode(std::string_view text) {
  if (text.size() != 4) {
    return std::nullopt;
  }
  std::uint32_t code = 0;
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) {
      return std::nullopt;
    }
    code = (code << 8) | static_cast<std::uint32_t>(c);
  }
  return code;
}

// The kind an item names, as itemKindFromName finds it, without widening the name first: the
// names are ASCII, and a byte beyond ASCII widens to no ASCII character.
std::optional<ItemKind> kindNamed(std::string_view name) {
  for (const ItemKindNames& names : kItemKindNames) {
    if (std::equal(
            name.begin(), name.end(), names.snapshotName.begin(), names.snapshotName.end(),
            [](char byte, char16_t unit) { return static_cast<unsigned char>(byte) == unit; })) {
      return names.kind;
    }
  }
  return std::nullopt;
}
static_assert(
    [] {
      for (const ItemKindNames& names : kItemKindNames) {
        for (char16_t unit : names.snapshotName) {
          if (unit >= 0x80) {
            return false;
          }
        }
      }
      return true;
    }(),
    "kindNamed compares an item's kind byte by byte with ASCII names");

// Dates are ASCII: widened on the stack, without a string of their own.
std::optional<platform::Date> dateNamed(std::string_view text) {
  std::array<char16_t, 64> units{};
  if (text.size() > units.size() || !std::all_of(text.begin(), text.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80;
      })) {
    return platform::dateFromISO8601String(fromUtf8(text));
  }
  std::copy(text.begin(), text.end(), units.begin());
  return platform::dateFromISO8601String(std::u16string_view(units.data(), text.size()));
}

// Whether payload paths may be used: each must stay inside the library folder. A missing file
// is not a fault until the item is exported. Where the payload's folder cannot vouch for a name
// (a link, an unusual path), the path is resolved the careful way. Nothing is kept per payload,
// so that a million of them cost no memory.
class PayloadPathChecker {
 public:
  explicit PayloadPathChecker(LibraryFolder& library) : library_(library) {}
  ~PayloadPathChecker() { library_.payloadFolders.forgetListings(); }
  PayloadPathChecker(const PayloadPathChecker&) = delete;
  PayloadPathChecker& operator=(const PayloadPathChecker&) = delete;

  std::optional<std::string> problem(std::string_view relative) {
    if (const std::optional<PayloadFolders::Place> place = PayloadFolders::placeOf(relative);
        place && vouchesFor(*place)) {
      return std::nullopt;
    }
    return resolvePayloadPath(library_.root, relative, false).problem;
  }

 private:
  bool vouchesFor(const PayloadFolders::Place& place) {
    PayloadFolders::Folder& folder = library_.payloadFolders.at(library_, place.folder);
    if (folder.missing) {
      return true;
    }
    if (folder.descriptor.valid() && ++folder.lookups == kLookupsBeforeListing) {
      folder.plainNames = plainNamesIn(folder.descriptor.get());
    }
    if (folder.plainNames && folder.plainNames->contains(place.name)) {
      return true;
    }
    struct stat status {};
    // A name it lacks is left to the careful way too: on a file system that ignores case it may
    // still name a link.
    return folder.descriptor.valid() &&
           ::fstatat(folder.descriptor.get(), place.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           !S_ISLNK(status.st_mode);
  }

  // The names in a folder that are no link, as far as the listing tells; none where it cannot
  // be listed. A folder of more names than a listing may hold is listed only in part, since
  // names beyond it are still looked up one by one.
  static std::optional<NameSet> plainNamesIn(int folder) {
    platform::ScopedDescriptor listed(
        ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    DIR* stream = listed.valid() ? ::fdopendir(listed.get()) : nullptr;
    if (stream == nullptr) {
      return std::nullopt;
    }
    static_cast<void>(listed.release());  // the stream owns it now
    NameSet names;
    while (names.size() < kMaximumListedNames) {
      const dirent* entry = ::readdir(stream);
      if (entry == nullptr) {
        break;
      }
      // An entry of unknown type may be a link; it is looked up alone.
      if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
        names.add(entry->d_name);
      }
    }
    ::closedir(stream);
    return names;
  }

  // A folder holding a few payloads is not worth listing.
  static constexpr std::size_t kLookupsBeforeListing = 64;
  // About 40 MB of names at most, held only while the library is read.
  static constexpr std::size_t kMaximumListedNames = std::size_t{1} << 20;
  LibraryFolder& library_;
};

// The lists of a description, and the header's "application" read the same way.
enum class Section { labels, items, folderCollections, tagCollections, application };
constexpr std::size_t kSectionCount = 5;

// A repeatedString is one that many items share, such as a label's identifier: stored once.
enum class FieldType {
  string,
  repeatedString,
  kind,
  boolean,
  date,
  behavior,
  tags,
  color,
  members
};

struct FieldRule {
  std::string_view key;
  FieldType type;
};

// The fields of each section, in the order their faults are told: an element with several
// faults names the first of them here, whatever its order in the file.
constexpr FieldRule kItemFields[] = {
    {"kind", FieldType::kind},
    {"name", FieldType::string},
    {"encrypted", FieldType::boolean},
    {"flagged", FieldType::boolean},
    {"comments", FieldType::string},
    {"label", FieldType::repeatedString},
    {"tags", FieldType::tags},
    {"creationDate", FieldType::date},
    {"modificationDate", FieldType::date},
    {"location", FieldType::string},
    {"file", FieldType::string},
    {"exportError", FieldType::string},
};
enum ItemField : int {
  kKind,
  kName,
  kEncrypted,
  kFlagged,
  kComments,
  kLabel,
  kTags,
  kCreationDate,
  kModificationDate,
  kLocation,
  kFile,
  kExportError,
  // Faults told after those of the fields' own values.
  kLabelExists,
  kFileInsideLibrary,
  kItemFaultCount,
};
static_assert(kLabelExists == std::size(kItemFields), "one rank per item field, in table order");
constexpr FieldRule kLabelFields[] = {{"name", FieldType::string}, {"color", FieldType::color}};
constexpr FieldRule kFolderCollectionFields[] = {{"name", FieldType::string},
                                                 {"items", FieldType::members}};
constexpr FieldRule kTagCollectionFields[] = {
    {"name", FieldType::string}, {"tags", FieldType::tags}, {"behavior", FieldType::behavior}};
constexpr FieldRule kApplicationFields[] = {{"bundleIdentifier", FieldType::string},
                                            {"version", FieldType::string}};
constexpr std::size_t kMaximumFields = std::size(kItemFields);

struct SectionSpec {
  std::string_view key;
  // How faults name an element.
  const char* kind;
  std::span<const FieldRule> fields;
};
constexpr SectionSpec kSections[kSectionCount] = {
    {"labels", "label", kLabelFields},
    {"items", "item", kItemFields},
    {"folderCollections", "folder collection", kFolderCollectionFields},
    {"tagCollections", "tag collection", kTagCollectionFields},
    {"application", "application", kApplicationFields},
};

// A value as the parser reports it; containers are followed by their content and an end.
struct Value {
  enum class Type { null, boolean, integer, floating, string, object, array };
  Type type = Type::null;
  bool boolean = false;
  double number = 0;
  bool isOne = false;
  const std::string* text = nullptr;

  bool isContainer() const { return type == Type::object || type == Type::array; }
  bool isNumber() const { return type == Type::integer || type == Type::floating; }
};

// The element being read: what its fields held so far, and the fault of each field. A key that
// comes twice counts with its last value, as in any JSON reader that keeps one value per key.
struct Element {
  Section section = Section::items;
  std::size_t index = 0;
  enum class Id { absent, null, notString, present } id = Id::absent;
  TextRef idText;
  std::uint32_t faults = 0;
  std::array<std::string, kItemFaultCount> faultTexts;
  std::array<TextRef, kMaximumFields> strings{};
  std::array<std::optional<bool>, kMaximumFields> booleans{};
  std::array<std::optional<double>, kMaximumFields> dates{};
  bool kindSeen = false;
  ItemKind kind = ItemKind::note;
  std::vector<TextRef> tags;
  bool listStopped = false;
  std::optional<DeviceRGBColor> color;
  std::array<double, 4> components{};
  std::size_t componentCount = 0;
  bool componentFault = false;
  std::size_t firstMember = 0;
  std::uint32_t behavior = 0;

  void fail(int field, std::string_view key, const std::string& what) {
    faults |= 1u << field;
    faultTexts[static_cast<std::size_t>(field)] = "\"" + std::string(key) + "\" " + what;
  }
  void clearField(int field) {
    faults &= ~(1u << field);
    strings[static_cast<std::size_t>(field)] = TextRef{};
    booleans[static_cast<std::size_t>(field)].reset();
    dates[static_cast<std::size_t>(field)].reset();
  }
  int firstFault() const { return faults == 0 ? -1 : __builtin_ctz(faults); }
};

// A fault found in an element whose other checks wait for the end of the description, where
// the lists they refer to are complete.
struct PendingFault {
  std::size_t index = 0;
  int field = 0;
  std::string where;
  Error error;
  // An item's label, still to be checked; a collection's members, likewise.
  std::optional<std::string> label;
  std::size_t firstMember = 0;
  std::size_t memberCount = 0;
};

// Reads library.json in one pass, as the parser reports it, straight into the compact contents:
// no tree of the whole description is built, and values of keys nobody reads are passed over.
// Faults are told as if each part were checked in turn (header, labels, items, collections),
// the first fault of the first faulty part, whatever the order of the parts in the file.
class DescriptionReader {
 public:
  DescriptionReader(Contents& contents, std::optional<Error> folderError)
      : contents_(contents), folderError_(std::move(folderError)) {
    if (contents_.folder) {
      payloadPaths_.emplace(*contents_.folder);
    }
  }

  // The parser's callbacks.
  bool null() { return value(Value{}); }
  bool boolean(bool boolean) {
    Value value{Value::Type::boolean};
    value.boolean = boolean;
    return this->value(value);
  }
  bool number_integer(std::int64_t number) {
    return integer(static_cast<double>(number), number == 1);
  }
  bool number_unsigned(std::uint64_t number) {
    return integer(static_cast<double>(number), number == 1);
  }
  bool number_float(double number, const std::string&) {
    Value value{Value::Type::floating};
    value.number = number;
    return this->value(value);
  }
  bool string(std::string& text) {
    Value value{Value::Type::string};
    value.text = &text;
    return this->value(value);
  }
  // JSON text has no binary values.
  bool binary(json::binary_t&) { return true; }
  bool start_object(std::size_t) { return value(Value{Value::Type::object}); }
  bool start_array(std::size_t) { return value(Value{Value::Type::array}); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }
  bool key(std::string& key);
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    if (dynamic_cast<const json::out_of_range*>(&error) != nullptr) {
      // A number beyond what a double holds, such as 1e400.
      parseError_ = malformed("library", std::string("a number is out of range: ") + error.what());
    } else {
      parseError_ = malformed("library", std::string("not valid JSON: ") + error.what());
    }
    return false;
  }

  // The first fault, once the parser is done; then the contents hold every part.
  Result<void> result();

 private:
  enum class Frame { root, list, element, fieldList };
  struct Open {
    Frame frame;
    Section section;
  };

  bool integer(double number, bool isOne) {
    Value value{Value::Type::integer};
    value.number = number;
    value.isOne = isOne;
    return this->value(value);
  }
  bool value(const Value& value);
  bool end();
  // Each takes the value where it stands and says whether it opened a frame for its content.
  bool rootValue(const Value& value);
  bool sectionValue(Section section, const Value& value);
  bool listElement(Section section, const Value& value);
  bool fieldValue(const Value& value);
  void fieldListElement(const Value& value);
  void finishFieldList();
  void finishElement();
  void finishApplication();
  bool checkId();
  void store();
  void resetSection(Section section);
  void failSection(Section section, Error error) {
    std::size_t at = static_cast<std::size_t>(section);
    if (!sectionFaults_[at]) {
      sectionFaults_[at] = std::move(error);
    }
  }
  bool sectionFailed(Section section) const {
    return sectionFaults_[static_cast<std::size_t>(section)].has_value() ||
           (section == Section::items && pendingItem_) ||
           (section == Section::folderCollections && pendingCollection_);
  }
  const FieldRule& field() const {
    return kSections[static_cast<std::size_t>(element_.section)]
        .fields[static_cast<std::size_t>(field_)];
  }
  std::optional<Error> itemsFault() const;
  std::optional<Error> folderCollectionsFault() const;

  Contents& contents_;
  std::optional<Error> folderError_;
  std::optional<PayloadPathChecker> payloadPaths_;
  std::vector<Open> open_;
  // Containers being passed over, however deep.
  std::size_t skipping_ = 0;
  // The key whose value comes next: a section, or a field of the element (-1: its id).
  std::optional<Section> rootKey_;
  bool formatKey_ = false;
  static constexpr int kIdField = -1;
  static constexpr int kUnknownField = -2;
  int field_ = kUnknownField;

  Element element_;
  std::optional<Error> parseError_;
  bool rootIsObject_ = false;
  bool formatIsOne_ = false;
  std::array<std::optional<Error>, kSectionCount> sectionFaults_;
  std::array<std::size_t, kSectionCount> elementCounts_{};
  std::optional<PendingFault> pendingItem_;
  std::optional<PendingFault> pendingCollection_;
  std::unordered_set<std::string> labelIds_;
  std::unordered_set<std::string> folderCollectionIds_;
  std::unordered_set<std::string> tagCollectionIds_;
};

bool DescriptionReader::value(const Value& value) {
  if (skipping_ > 0) {
    skipping_ += value.isContainer() ? 1 : 0;
    return true;
  }
  bool opened = false;
  if (open_.empty()) {
    opened = rootValue(value);
  } else {
    const Open& top = open_.back();
    switch (top.frame) {
      case Frame::root:
        if (rootKey_) {
          opened = sectionValue(*rootKey_, value);
        } else if (formatKey_) {
          formatIsOne_ = value.type == Value::Type::integer && value.isOne;
        }
        break;
      case Frame::list:
        opened = listElement(top.section, value);
        break;
      case Frame::element:
        opened = fieldValue(value);
        break;
      case Frame::fieldList:
        fieldListElement(value);
        break;
    }
  }
  if (value.isContainer() && !opened) {
    skipping_ = 1;
  }
  return true;
}

bool DescriptionReader::end() {
  if (skipping_ > 0) {
    --skipping_;
    return true;
  }
  const Open closed = open_.back();
  open_.pop_back();
  if (closed.frame == Frame::element) {
    if (closed.section == Section::application) {
      finishApplication();
    } else {
      finishElement();
    }
  } else if (closed.frame == Frame::fieldList) {
    finishFieldList();
  }
  return true;
}

bool DescriptionReader::key(std::string& text) {
  if (skipping_ > 0 || open_.empty()) {
    return true;
  }
  const std::string_view key = text;
  const Open& top = open_.back();
  if (top.frame == Frame::root) {
    rootKey_.reset();
    formatKey_ = key == "format";
    for (std::size_t section = 0; section < kSectionCount; ++section) {
      if (key == kSections[section].key) {
        rootKey_ = static_cast<Section>(section);
      }
    }
  } else if (top.frame == Frame::element) {
    field_ = kUnknownField;
    if (key == "id") {
      field_ = top.section == Section::application ? kUnknownField : kIdField;
      return true;
    }
    const auto& fields = kSections[static_cast<std::size_t>(top.section)].fields;
    for (std::size_t field = 0; field < fields.size(); ++field) {
      if (key == fields[field].key) {
        field_ = static_cast<int>(field);
        break;
      }
    }
  }
  return true;
}

bool DescriptionReader::rootValue(const Value& value) {
  if (value.type != Value::Type::object) {
    return false;
  }
  rootIsObject_ = true;
  open_.push_back({Frame::root, Section::items});
  return true;
}

bool DescriptionReader::sectionValue(Section section, const Value& value) {
  resetSection(section);
  const std::string_view key = kSections[static_cast<std::size_t>(section)].key;
  if (section == Section::application) {
    if (value.type != Value::Type::object) {
      failSection(section, malformed("application", "must be an object"));
      return false;
    }
    element_ = Element{};
    element_.section = section;
    open_.push_back({Frame::element, section});
    return true;
  }
  if (value.type != Value::Type::array) {
    failSection(section, malformed("library", "\"" + std::string(key) + "\" must be a list"));
    return false;
  }
  open_.push_back({Frame::list, section});
  return true;
}

bool DescriptionReader::listElement(Section section, const Value& value) {
  const std::size_t index = elementCounts_[static_cast<std::size_t>(section)]++;
  // Only the first faulty element is told; the rest is read for its syntax alone.
  if (sectionFailed(section)) {
    return false;
  }
  if (value.type != Value::Type::object) {
    failSection(section,
                malformed(describe(kSections[static_cast<std::size_t>(section)].kind, index, ""),
                          "must be an object"));
    return false;
  }
  element_.section = section;
  element_.index = index;
  element_.id = Element::Id::absent;
  element_.idText = TextRef{};
  element_.faults = 0;
  element_.strings.fill(TextRef{});
  element_.booleans.fill(std::nullopt);
  element_.dates.fill(std::nullopt);
  element_.kindSeen = false;
  element_.tags.clear();
  element_.color.reset();
  element_.firstMember = contents_.members.size();
  element_.behavior = 0;
  open_.push_back({Frame::element, section});
  return true;
}

bool DescriptionReader::fieldValue(const Value& value) {
  Element& element = element_;
  if (field_ == kIdField) {
    if (value.type == Value::Type::string) {
      element.id = Element::Id::present;
      element.idText = contents_.texts.add(*value.text);
    } else {
      element.id = value.type == Value::Type::null ? Element::Id::null : Element::Id::notString;
    }
    return false;
  }
  if (field_ == kUnknownField) {
    return false;
  }
  const FieldRule& rule = field();
  const std::size_t at = static_cast<std::size_t>(field_);
  element.clearField(field_);
  switch (rule.type) {
    case FieldType::string:
    case FieldType::repeatedString:
    case FieldType::date:
    case FieldType::behavior:
      if (value.type == Value::Type::null) {
        if (rule.type == FieldType::behavior) {
          element.behavior = 0;
        }
        return false;
      }
      if (value.type != Value::Type::string) {
        element.fail(field_, rule.key, "must be a string");
        return false;
      }
      if (rule.type == FieldType::date) {
        if (auto date = dateNamed(*value.text)) {
          element.dates[at] = date->secondsSinceReferenceDate;
        } else {
          element.fail(field_, rule.key, "is not an ISO 8601 date with a time zone");
        }
      } else if (rule.type == FieldType::behavior) {
        if (auto code = fourCharCode(*value.text)) {
          element.behavior = *code;
        } else {
          element.fail(field_, rule.key, "must be a four-character code such as \"TgAl\"");
        }
      } else if (rule.type == FieldType::repeatedString) {
        element.strings[at] = contents_.texts.addShared(*value.text);
      } else {
        element.strings[at] = contents_.texts.add(*value.text);
      }
      return false;
    case FieldType::kind:
      element.kindSeen = true;
      if (value.type == Value::Type::null) {
        element.fail(field_, rule.key, "is missing");
      } else if (value.type != Value::Type::string) {
        element.fail(field_, rule.key, "must be a string");
      } else if (auto kind = kindNamed(*value.text)) {
        element.kind = *kind;
      } else {
        element.fail(field_, rule.key, "names no kind of item: \"" + *value.text + "\"");
      }
      return false;
    case FieldType::boolean:
      if (value.type == Value::Type::boolean) {
        element.booleans[at] = value.boolean;
      } else {
        element.fail(field_, rule.key, "must be true or false");
      }
      return false;
    case FieldType::tags:
    case FieldType::members:
      if (rule.type == FieldType::tags) {
        element.tags.clear();
      } else {
        contents_.members.resize(element.firstMember);
      }
      element.listStopped = false;
      if (value.type == Value::Type::array) {
        open_.push_back({Frame::fieldList, element.section});
        return true;
      }
      element.fail(field_, rule.key, "must be a list");
      return false;
    case FieldType::color:
      element.color.reset();
      if (value.type == Value::Type::null) {
        return false;
      }
      if (value.type == Value::Type::array) {
        element.componentCount = 0;
        element.componentFault = false;
        open_.push_back({Frame::fieldList, element.section});
        return true;
      }
      element.fail(field_, rule.key, "must be [r, g, b] or [r, g, b, a]");
      return false;
  }
  return false;
}

void DescriptionReader::fieldListElement(const Value& value) {
  Element& element = element_;
  const FieldRule& rule = field();
  switch (rule.type) {
    case FieldType::tags:
      if (element.listStopped) {
        return;
      }
      if (value.type == Value::Type::null) {
        element.tags.push_back(TextRef{});
      } else if (value.type == Value::Type::string) {
        element.tags.push_back(contents_.texts.addShared(*value.text));
      } else {
        element.fail(field_, rule.key, "must hold strings or null");
        element.listStopped = true;
      }
      return;
    case FieldType::members:
      if (element.listStopped) {
        return;
      }
      if (value.type == Value::Type::string) {
        contents_.members.push_back(contents_.texts.add(*value.text));
      } else {
        element.fail(field_, rule.key, "must hold item identifiers");
        element.listStopped = true;
      }
      return;
    case FieldType::color:
      ++element.componentCount;
      if (!value.isNumber() || value.number < 0 || value.number > 1) {
        element.componentFault = true;
      } else if (element.componentCount <= element.components.size()) {
        element.components[element.componentCount - 1] = value.number;
      }
      return;
    default:
      return;
  }
}

void DescriptionReader::finishFieldList() {
  Element& element = element_;
  const FieldRule& rule = field();
  if (rule.type != FieldType::color) {
    return;
  }
  if (element.componentCount != 3 && element.componentCount != 4) {
    element.fail(field_, rule.key, "must be [r, g, b] or [r, g, b, a]");
  } else if (element.componentFault) {
    element.fail(field_, rule.key, "components must be numbers from 0 to 1");
  } else {
    const auto& c = element.components;
    element.color = DeviceRGBColor{c[0], c[1], c[2], element.componentCount == 4 ? c[3] : 1};
  }
}

void DescriptionReader::finishApplication() {
  if (int fault = element_.firstFault(); fault >= 0) {
    failSection(Section::application,
                malformed("application", element_.faultTexts[static_cast<std::size_t>(fault)]));
    return;
  }
  contents_.applicationBundleIdentifier = contents_.texts.optionalText(element_.strings[0]);
  contents_.applicationVersion = contents_.texts.optionalText(element_.strings[1]);
}

// The checks every list element starts with: an identifier, not empty, unique in its list.
bool DescriptionReader::checkId() {
  const Element& element = element_;
  const char* kind = kSections[static_cast<std::size_t>(element.section)].kind;
  const char* problem = element.id == Element::Id::present     ? nullptr
                        : element.id == Element::Id::notString ? "must be a string"
                                                               : "is missing";
  const std::string_view id = contents_.texts.view(element.idText);
  if (problem == nullptr && id.empty()) {
    problem = "must not be empty";
  }
  if (problem != nullptr) {
    failSection(element.section,
                malformed(describe(kind, element.index, ""), std::string("\"id\" ") + problem));
    return false;
  }
  bool unique = true;
  switch (element.section) {
    case Section::labels:
      unique = labelIds_.emplace(id).second;
      break;
    case Section::items:
      unique = !contents_.findItem(id).has_value();
      break;
    case Section::folderCollections:
      unique = folderCollectionIds_.emplace(id).second;
      break;
    case Section::tagCollections:
      unique = tagCollectionIds_.emplace(id).second;
      break;
    case Section::application:
      break;
  }
  if (!unique) {
    failSection(element.section, malformed(describe(kind, element.index, id),
                                           std::string("\"id\" is used by another ") + kind));
  }
  return unique;
}

void DescriptionReader::finishElement() {
  Element& element = element_;
  if (!checkId()) {
    return;
  }
  const std::string_view id = contents_.texts.view(element.idText);
  const char* kind = kSections[static_cast<std::size_t>(element.section)].kind;
  if (element.section == Section::items) {
    if (!element.kindSeen) {
      element.fail(kKind, "kind", "is missing");
    }
    if (element.faults == 0 && element.strings[kFile].present() && payloadPaths_) {
      if (auto problem = payloadPaths_->problem(contents_.texts.view(element.strings[kFile]))) {
        element.fail(kFileInsideLibrary, "file", *problem);
      }
    }
  }
  const int fault = element.firstFault();
  if (fault < 0) {
    store();
    return;
  }
  const std::string where = describe(kind, element.index, id);
  Error error = malformed(where, element.faultTexts[static_cast<std::size_t>(fault)]);
  if (element.section == Section::items) {
    pendingItem_ = PendingFault{element.index, fault, where, std::move(error), std::nullopt, 0, 0};
    if (element.strings[kLabel].present()) {
      pendingItem_->label = contents_.texts.view(element.strings[kLabel]);
    }
  } else if (element.section == Section::folderCollections) {
    pendingCollection_ = PendingFault{element.index,
                                      fault,
                                      where,
                                      std::move(error),
                                      std::nullopt,
                                      element.firstMember,
                                      contents_.members.size() - element.firstMember};
  } else {
    failSection(element.section, std::move(error));
  }
}

void DescriptionReader::store() {
  Element& element = element_;
  switch (element.section) {
    case Section::labels:
      contents_.labels.push_back(Label{contents_.texts.text(element.idText),
                                       contents_.texts.optionalText(element.strings[0]),
                                       element.color});
      return;
    case Section::items: {
      ItemRecord record;
      record.id = element.idText;
      record.name = element.strings[kName];
      record.comments = element.strings[kComments];
      record.label = element.strings[kLabel];
      record.location = element.strings[kLocation];
      record.file = element.strings[kFile];
      record.exportError = element.strings[kExportError];
      if (element.booleans[kEncrypted]) {
        record.flags |= ItemRecord::kHasEncrypted;
        record.flags |= *element.booleans[kEncrypted] ? ItemRecord::kEncrypted : 0;
      }
      if (element.booleans[kFlagged].value_or(false)) {
        record.flags |= ItemRecord::kFlagged;
      }
      if (element.dates[kCreationDate]) {
        record.flags |= ItemRecord::kHasCreationDate;
        record.creationDate = *element.dates[kCreationDate];
      }
      if (element.dates[kModificationDate]) {
        record.flags |= ItemRecord::kHasModificationDate;
        record.modificationDate = *element.dates[kModificationDate];
      }
      auto& list = contents_.items[static_cast<std::size_t>(element.kind)];
      // Out of reach of a description the size limit lets through; a text handed over directly
      // could still try.
      if (list.size() >= (std::size_t{1} << Contents::kKindShift) ||
          contents_.tags.size() + element.tags.size() > UINT32_MAX) {
        throw std::length_error("too many items");
      }
      record.firstTag = static_cast<std::uint32_t>(contents_.tags.size());
      record.tagCount = static_cast<std::uint32_t>(element.tags.size());
      contents_.tags.insert(contents_.tags.end(), element.tags.begin(), element.tags.end());
      record.position = static_cast<std::uint32_t>(element.index);
      list.push_back(record);
      contents_.indexItem(element.kind);
      return;
    }
    case Section::folderCollections:
      contents_.folderCollections.push_back(CollectionRecord{
          element.idText, element.strings[0], static_cast<std::uint32_t>(element.firstMember),
          static_cast<std::uint32_t>(contents_.members.size() - element.firstMember)});
      return;
    case Section::tagCollections: {
      TagCollection collection{contents_.texts.text(element.idText),
                               contents_.texts.optionalText(element.strings[0]),
                               {},
                               element.behavior};
      for (TextRef tag : element.tags) {
        collection.tags.push_back(Tag{contents_.texts.optionalText(tag)});
      }
      contents_.tagCollections.push_back(std::move(collection));
      return;
    }
    case Section::application:
      return;
  }
}

// A list given twice counts with its last value.
void DescriptionReader::resetSection(Section section) {
  sectionFaults_[static_cast<std::size_t>(section)].reset();
  elementCounts_[static_cast<std::size_t>(section)] = 0;
  switch (section) {
    case Section::labels:
      contents_.labels.clear();
      labelIds_.clear();
      return;
    case Section::items:
      contents_.clearItems();
      pendingItem_.reset();
      return;
    case Section::folderCollections:
      contents_.folderCollections.clear();
      contents_.members.clear();
      folderCollectionIds_.clear();
      pendingCollection_.reset();
      return;
    case Section::tagCollections:
      contents_.tagCollections.clear();
      tagCollectionIds_.clear();
      return;
    case Section::application:
      contents_.applicationBundleIdentifier.reset();
      contents_.applicationVersion.reset();
      return;
  }
}

// Labels may follow the items in the file, so an item's label is looked up once all are known.
std::optional<Error> DescriptionReader::itemsFault() const {
  const auto namesNoLabel = [&](std::string_view label) {
    return !labelIds_.contains(std::string(label));
  };
  const ItemRecord* first = nullptr;
  for (const auto& records : contents_.items) {
    for (const ItemRecord& record : records) {
      if (record.label.present() && (first == nullptr || record.position < first->position) &&
          namesNoLabel(contents_.texts.view(record.label))) {
        first = &record;
      }
    }
  }
  if (first != nullptr) {
    return malformed(
        describe("item", first->position, contents_.texts.view(first->id)),
        "\"label\" names no label: \"" + std::string(contents_.texts.view(first->label)) + "\"");
  }
  if (!pendingItem_) {
    return sectionFaults_[static_cast<std::size_t>(Section::items)];
  }
  if (pendingItem_->field > kLabelExists && pendingItem_->label &&
      namesNoLabel(*pendingItem_->label)) {
    return malformed(pendingItem_->where,
                     "\"label\" names no label: \"" + *pendingItem_->label + "\"");
  }
  return pendingItem_->error;
}

// Collections may come before the items in the file, so members are looked up at the end.
std::optional<Error> DescriptionReader::folderCollectionsFault() const {
  const auto firstStranger = [&](std::size_t first, std::size_t count) -> std::optional<TextRef> {
    for (std::size_t member = first; member < first + count; ++member) {
      if (!contents_.findItem(contents_.texts.view(contents_.members[member]))) {
        return contents_.members[member];
      }
    }
    return std::nullopt;
  };
  const auto namesNoItem = [&](const std::string& where, TextRef member) {
    return malformed(
        where, "\"items\" names no item: \"" + std::string(contents_.texts.view(member)) + "\"");
  };
  for (std::size_t index = 0; index < contents_.folderCollections.size(); ++index) {
    const CollectionRecord& record = contents_.folderCollections[index];
    if (auto stranger = firstStranger(record.firstMember, record.memberCount)) {
      return namesNoItem(describe("folder collection", index, contents_.texts.view(record.id)),
                         *stranger);
    }
  }
  if (!pendingCollection_) {
    return sectionFaults_[static_cast<std::size_t>(Section::folderCollections)];
  }
  // Its members before the fault were read and come first; a fault of its name comes before them.
  if (pendingCollection_->field > 0) {
    if (auto stranger =
            firstStranger(pendingCollection_->firstMember, pendingCollection_->memberCount)) {
      return namesNoItem(pendingCollection_->where, *stranger);
    }
  }
  return pendingCollection_->error;
}

Result<void> DescriptionReader::result() {
  if (parseError_) {
    return *parseError_;
  }
  if (!rootIsObject_) {
    return malformed("library", "the top level must be an object");
  }
  if (!formatIsOne_) {
    return malformed("library", "\"format\" must be 1");
  }
  for (Section section : {Section::application, Section::labels}) {
    if (const auto& fault = sectionFaults_[static_cast<std::size_t>(section)]) {
      return *fault;
    }
  }
  if (folderError_) {
    return *folderError_;
  }
  // Elements before the first faulty one may still hold a fault that waited for the end.
  if (auto fault = itemsFault()) {
    return *fault;
  }
  if (auto fault = folderCollectionsFault()) {
    return *fault;
  }
  if (auto fault = sectionFaults_[static_cast<std::size_t>(Section::tagCollections)]) {
    return *fault;
  }
  return {};
}

// Counts how deep lists and objects nest, a piece of the text at a time. Brackets inside strings
// do not count; in text that is no JSON the count may be off, but the parser refuses such text
// anyway.
class NestingScanner {
 public:
  /// How much of the piece stays within the limit: all of it, or what comes before the list or
  /// object that goes too deep.
  std::size_t scan(std::string_view piece) {
    const char* const begin = piece.data();
    const char* const end = begin + piece.size();
    for (const char* at = begin; at != end; ++at) {
      if (escaped_) {
        escaped_ = false;
        continue;
      }
      // Most characters change nothing; they are passed over a table look-up each.
      const std::uint8_t counts = inString_ ? kCountsInString : kCountsOutside;
      while (at != end && (kClasses[static_cast<unsigned char>(*at)] & counts) == 0) {
        ++at;
      }
      if (at == end) {
        break;
      }
      const char c = *at;
      if (inString_) {
        escaped_ = c == '\\';
        inString_ = c != '"';
      } else if (c == '"') {
        inString_ = true;
      } else if (c == '[' || c == '{') {
        if (++depth_ > kMaximumNesting) {
          tooDeep_ = true;
          return static_cast<std::size_t>(at - begin);
        }
      } else if (depth_ > 0) {
        --depth_;
      }
    }
    return piece.size();
  }
  bool tooDeep() const { return tooDeep_; }

 private:
  static constexpr std::uint8_t kCountsInString = 1;
  static constexpr std::uint8_t kCountsOutside = 2;
  static constexpr std::array<std::uint8_t, 256> kClasses = [] {
    std::array<std::uint8_t, 256> classes{};
    classes['"'] = kCountsInString | kCountsOutside;
    classes['\\'] = kCountsInString;
    for (unsigned char bracket : {'[', '{', ']', '}'}) {
      classes[bracket] = kCountsOutside;
    }
    return classes;
  }();

  std::size_t depth_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool tooDeep_ = false;
};

// The description as the parser reads it: the text in memory, or library.json a piece at a time,
// so that a million items' description is never held whole beside what is read from it. The
// parser sees nothing beyond a list or object that nests too deep; it then meets the end.
class DescriptionInput {
 public:
  explicit DescriptionInput(std::string_view text) : whole_(text) {}
  explicit DescriptionInput(platform::FileReader& file) : file_(&file), buffer_(kPieceSize) {}

  // What the parser reads through, one character at a time; compared with a default-made one,
  // it is at the end once no more text comes.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    Iterator() = default;
    explicit Iterator(DescriptionInput* input) : input_(input) {}
    const char& operator*() const { return *input_->next_; }
    Iterator& operator++() {
      ++input_->next_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return atEnd() == other.atEnd(); }

   private:
    // Asked before every character: a compare of two pointers, unless a piece is used up.
    bool atEnd() const {
      return input_ == nullptr || (input_->next_ == input_->end_ && !input_->more());
    }
    DescriptionInput* input_ = nullptr;
  };

  /// After the parser stopped, reads on to the end as reading it whole first would have, so that
  /// what lies beyond (nesting too deep, a read failure, too much text) is still found.
  void readToEnd() {
    while (more()) {
      next_ = end_;
    }
  }
  bool tooDeep() const { return scanner_.tooDeep(); }
  const std::optional<Error>& readError() const { return readError_; }

 private:
  static constexpr std::size_t kPieceSize = std::size_t{1} << 20;

  // True while text is left; takes the next piece when the last is used up. Once the text nests
  // too deep, the rest is only read, never handed on.
  [[gnu::noinline]] bool more() {
    while (next_ == end_) {
      const std::string_view piece = nextPiece();
      if (piece.empty()) {
        return false;
      }
      next_ = piece.data();
      end_ = next_ + (scanner_.tooDeep() ? 0 : scanner_.scan(piece));
    }
    return true;
  }

  // Empty at the end and after a failure.
  std::string_view nextPiece() {
    if (file_ == nullptr) {
      return std::exchange(whole_, {});
    }
    if (readError_) {
      return {};
    }
    Result<std::size_t> count = file_->read(buffer_);
    if (!count) {
      readError_ = count.error();
      return {};
    }
    return {reinterpret_cast<const char*>(buffer_.data()), *count};
  }

  platform::FileReader* file_ = nullptr;
  std::vector<std::uint8_t> buffer_;
  std::string_view whole_;
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  NestingScanner scanner_;
  std::optional<Error> readError_;
};

// A failure to read the description, and then nesting too deep, come before any fault the parser
// found, as though the text had been read whole and checked first. `unreadable` tells a failure
// to read.
Result<std::unique_ptr<SnapshotSourceLibrary>> readLibrarySnapshot(
    DescriptionInput& input, std::size_t sizeHint, const std::filesystem::path& folder,
    bool namesFolder, const std::function<Error(const Error&)>& unreadable) {
  auto contents = std::make_unique<Contents>();
  contents->texts.reserve(sizeHint);
  // Opened first, so that payload paths are checked as the items are read; a fault here is told
  // after those of the header and the labels.
  std::optional<Error> folderError;
  std::error_code canonicalError;
  std::filesystem::path libraryRoot = std::filesystem::canonical(folder, canonicalError);
  if (canonicalError) {
    folderError = Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                        fromUtf8("Cannot read the library folder " + folder.string() + ": " +
                                 canonicalError.message())};
  } else if (auto handle = platform::FolderHandle::openAtPath(libraryRoot.string()); !handle) {
    folderError = Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                        u"Cannot read the library folder: " + handle.error().description};
  } else {
    // The export compares real paths, so that it never removes the folder it reads from.
    if (namesFolder) {
      contents->folderURL = platform::URL::fileURLWithFileSystemPath(libraryRoot.string(), true);
    }
    contents->folder.emplace(LibraryFolder{std::move(libraryRoot), std::move(*handle)});
  }
  DescriptionReader reader(*contents, std::move(folderError));
  // Its answer is the reader's too: a syntax fault reaches the reader's parse_error.
  (void)json::sax_parse(DescriptionInput::Iterator(&input), DescriptionInput::Iterator(), &reader);
  input.readToEnd();
  if (input.readError()) {
    return unreadable(*input.readError());
  }
  if (input.tooDeep()) {
    return malformed("library", "lists and objects nest deeper than " +
                                    std::to_string(kMaximumNesting) + " levels");
  }
  ZV_TRY(reader.result());
  contents->texts.forgetShared();
  return std::make_unique<SnapshotSourceLibrary>(std::move(contents));
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
  auto unreadable = [&](const Error& error) {
    if (platform::isFileError(error, platform::FileErrorCode::kFileTooLarge)) {
      return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                   fromUtf8("The library snapshot " + description.string() + " is too large.")};
    }
    return Error{kLibrarySnapshotErrorDomain, kSnapshotUnreadable,
                 fromUtf8("Cannot read the library snapshot " + description.string() + ": ") +
                     reasonWithoutPath(error, url.fileSystemPath())};
  };
  Result<platform::FileReader> file = platform::FileReader::openAtURL(url, kMaximumDescriptionSize);
  if (!file) {
    return unreadable(file.error());
  }
  DescriptionInput input(*file);
  return readLibrarySnapshot(input, file->sizeHint(), folder, true, unreadable);
}

}  // namespace

Result<std::unique_ptr<SnapshotSourceLibrary>> parseLibrarySnapshot(
    std::string_view text, const std::filesystem::path& folder) {
  return readWithoutExceptions([&] {
    DescriptionInput input(text);
    // Text in memory cannot fail to be read.
    return readLibrarySnapshot(input, text.size(), folder, false,
                               [](const Error& error) { return error; });
  });
}

Result<std::unique_ptr<SnapshotSourceLibrary>> openLibrarySnapshot(
    const std::filesystem::path& folder) {
  auto library = readWithoutExceptions([&] { return readLibrarySnapshotFile(folder); });
  // What reading left free lies scattered through the heap; the export would otherwise carry it
  // as resident memory to the end.
  ::malloc_trim(0);
  return library;
}

}  // namespace zv::source
