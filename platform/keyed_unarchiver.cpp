#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/keyed_archive.h"
#include "platform/keyed_archive_internal.h"
#include "platform/localization.h"

namespace zv::platform {

using namespace keyed_archive_detail;

namespace {

Error corrupt(std::u16string_view what) {
  return makePlatformError(
      PlatformErrorCode::kKeyedArchiveReadCorrupt,
      formatLocalized(u"The keyed archive is damaged: %@.", {localized(what)}));
}

Error corruptAt(std::u16string_view format, std::uint64_t uid) {
  const std::string number = std::to_string(uid);
  return makePlatformError(PlatformErrorCode::kKeyedArchiveReadCorrupt,
                           formatLocalized(format, {std::u16string(number.begin(), number.end())}));
}

Error typeMismatch(std::u16string_view key, std::u16string_view expected) {
  return makePlatformError(PlatformErrorCode::kKeyedArchiveReadCorrupt,
                           formatLocalized(u"The value for key “%@” is not %@.",
                                           {std::u16string(key), localized(expected)}));
}

// A resolved class record: the class the archive names and what we know of it.
struct ClassInfo {
  std::u16string name;
  const BuiltInClassInfo* builtIn = nullptr;
  const KeyedArchiveClassRegistry::Registration* registration = nullptr;

  const std::vector<std::u16string>& hierarchy() const {
    return builtIn ? builtIn->hierarchy : registration->classHierarchy;
  }
};

}  // namespace

struct KeyedUnarchiver::State {
  PropertyList archive;
  const KeyedArchiveClassRegistry* registry = nullptr;
  const PropertyList::Array* objects = nullptr;
  const PropertyListDictionary* top = nullptr;

  struct Frame {
    const PropertyListDictionary* object;
    std::u16string_view className;
  };
  std::vector<Frame> frames;
  std::vector<bool> inProgress;
  std::unordered_map<std::uint64_t, ClassInfo> classes;
  // Sets of allowed classes, each sorted; a decoded container is remembered per set because its
  // elements were checked against that set only.
  std::vector<std::vector<std::u16string>> allowedSets;
  std::vector<std::unordered_map<std::uint64_t, ArchivedObject>> containersBySet;
  // Objects whose decoding does not depend on the allowed classes beyond their own class.
  std::unordered_map<std::uint64_t, ArchivedObject> objectsByUid;

  std::size_t internAllowedSet(const std::vector<std::u16string>& allowed);
  bool allows(std::size_t setId, const std::vector<std::u16string>& hierarchy) const;
  Result<ArchivedObject> decodeUid(std::uint64_t uid, std::size_t setId, std::u16string_view key);
  Result<ArchivedObject> decodeInline(std::uint64_t uid, std::size_t setId,
                                      std::u16string_view key);
  Result<ArchivedObject> decodeRecord(std::uint64_t uid, const PropertyListDictionary& record,
                                      std::size_t setId, std::u16string_view key);
  Result<const ClassInfo*> classOf(const PropertyListDictionary& record);
  Result<ArchivedObject> decodeBuiltIn(const ClassInfo& info, const PropertyListDictionary& record,
                                       std::size_t setId);
  Result<ArchivedObject::Array> decodeReferences(const PropertyListDictionary& record,
                                                 std::u16string_view key, std::size_t setId);
  Error notAllowed(std::u16string_view key, std::u16string_view className, std::size_t setId) const;
  const PropertyList* valueForKey(std::u16string_view key) const;
};

std::size_t KeyedUnarchiver::State::internAllowedSet(const std::vector<std::u16string>& allowed) {
  std::vector<std::u16string> sorted = allowed;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  for (std::size_t i = 0; i < allowedSets.size(); ++i) {
    if (allowedSets[i] == sorted) {
      return i;
    }
  }
  allowedSets.push_back(std::move(sorted));
  containersBySet.emplace_back();
  return allowedSets.size() - 1;
}

bool KeyedUnarchiver::State::allows(std::size_t setId,
                                    const std::vector<std::u16string>& hierarchy) const {
  const std::vector<std::u16string>& allowed = allowedSets[setId];
  return std::any_of(hierarchy.begin(), hierarchy.end(), [&allowed](const std::u16string& name) {
    return std::binary_search(allowed.begin(), allowed.end(), name);
  });
}

Error KeyedUnarchiver::State::notAllowed(std::u16string_view key, std::u16string_view className,
                                         std::size_t setId) const {
  std::u16string allowedList;
  for (const std::u16string& name : allowedSets[setId]) {
    allowedList += allowedList.empty() ? u"" : u", ";
    allowedList += name;
  }
  return makePlatformError(
      PlatformErrorCode::kKeyedArchiveReadCorrupt,
      formatLocalized(u"The value for key “%@” is of unexpected class “%@”; allowed are: %@.",
                      {std::u16string(key), std::u16string(className), allowedList}));
}

const PropertyList* KeyedUnarchiver::State::valueForKey(std::u16string_view key) const {
  if (isReservedKey(key)) {
    return nullptr;
  }
  return frames.back().object->find(key);
}

Result<ArchivedObject> KeyedUnarchiver::State::decodeUid(std::uint64_t uid, std::size_t setId,
                                                         std::u16string_view key) {
  if (uid == 0) {
    return ArchivedObject();
  }
  if (uid >= objects->size()) {
    return corruptAt(u"The keyed archive is damaged: object %@ is referenced but does not exist.",
                     uid);
  }
  const PropertyListDictionary* record = (*objects)[uid].asDictionary();
  if (!record) {
    return decodeInline(uid, setId, key);
  }
  return decodeRecord(uid, *record, setId, key);
}

Result<ArchivedObject> KeyedUnarchiver::State::decodeInline(std::uint64_t uid, std::size_t setId,
                                                            std::u16string_view key) {
  const PropertyList& value = (*objects)[uid];
  BuiltInClass kind = BuiltInClass::kNumber;
  switch (value.type()) {
    case PropertyList::Type::kString:
      kind = BuiltInClass::kString;
      break;
    case PropertyList::Type::kData:
      kind = BuiltInClass::kData;
      break;
    case PropertyList::Type::kInteger:
    case PropertyList::Type::kReal:
    case PropertyList::Type::kBoolean:
      break;
    default:
      return corruptAt(u"The keyed archive is damaged: object %@ is not a valid object.", uid);
  }
  const BuiltInClassInfo& info = builtInClass(kind);
  if (!allows(setId, info.hierarchy)) {
    return notAllowed(key, info.hierarchy.front(), setId);
  }
  if (auto found = objectsByUid.find(uid); found != objectsByUid.end()) {
    return found->second;
  }
  ArchivedObject object;
  if (const std::u16string* text = value.asString()) {
    object = ArchivedObject(*text);
  } else if (const PropertyList::Data* data = value.asData()) {
    object = ArchivedObject(*data);
  } else if (auto integer = value.asInteger()) {
    object = ArchivedObject(*integer);
  } else if (auto real = value.asReal()) {
    object = ArchivedObject(*real);
  } else {
    object = ArchivedObject(*value.asBoolean());
  }
  objectsByUid.emplace(uid, object);
  return object;
}

Result<const ClassInfo*> KeyedUnarchiver::State::classOf(const PropertyListDictionary& record) {
  const PropertyList* classReference = record.find(u"$class");
  if (!classReference) {
    return corrupt(u"an object has no class");
  }
  const std::optional<PropertyListUid> classUid = classReference->asUid();
  if (!classUid) {
    return corrupt(u"an object's class is not a reference");
  }
  if (auto found = classes.find(classUid->value); found != classes.end()) {
    return &found->second;
  }
  if (classUid->value == 0 || classUid->value >= objects->size()) {
    return corruptAt(u"The keyed archive is damaged: class %@ is referenced but does not exist.",
                     classUid->value);
  }
  const PropertyList& classRecord = (*objects)[classUid->value];
  const PropertyList* name = classRecord.find(u"$classname");
  if (!name || !name->asString() || name->asString()->empty()) {
    return corruptAt(u"The keyed archive is damaged: object %@ is not a class record.",
                     classUid->value);
  }
  if (const PropertyList* chain = classRecord.find(u"$classes")) {
    const PropertyList::Array* names = chain->asArray();
    if (!names || !std::all_of(names->begin(), names->end(),
                               [](const PropertyList& entry) { return entry.asString(); })) {
      return corruptAt(u"The keyed archive is damaged: object %@ is not a class record.",
                       classUid->value);
    }
  }
  ClassInfo info;
  info.name = *name->asString();
  info.builtIn = findBuiltInClass(info.name);
  info.registration = info.builtIn ? nullptr : registry->find(info.name);
  if (!info.builtIn && !info.registration) {
    return makePlatformError(
        PlatformErrorCode::kKeyedArchiveReadCorrupt,
        formatLocalized(u"The archive holds an object of class “%@”, which cannot be decoded.",
                        {info.name}));
  }
  return &classes.emplace(classUid->value, std::move(info)).first->second;
}

Result<ArchivedObject> KeyedUnarchiver::State::decodeRecord(std::uint64_t uid,
                                                            const PropertyListDictionary& record,
                                                            std::size_t setId,
                                                            std::u16string_view key) {
  ZV_ASSIGN_OR_RETURN(const ClassInfo* classInfo, classOf(record));
  const ClassInfo& info = *classInfo;
  if (!allows(setId, info.hierarchy())) {
    return notAllowed(key, info.name, setId);
  }
  const bool isContainer = info.builtIn && (info.builtIn->kind == BuiltInClass::kArray ||
                                            info.builtIn->kind == BuiltInClass::kMutableArray ||
                                            info.builtIn->kind == BuiltInClass::kDictionary ||
                                            info.builtIn->kind == BuiltInClass::kMutableDictionary);
  // Nested decoding may add allowed sets, so the table is looked up afresh each time.
  auto memo = [this, isContainer, setId]() -> std::unordered_map<std::uint64_t, ArchivedObject>& {
    return isContainer ? containersBySet[setId] : objectsByUid;
  };
  if (auto found = memo().find(uid); found != memo().end()) {
    return found->second;
  }
  if (inProgress[uid]) {
    return corruptAt(u"The keyed archive is damaged: object %@ contains itself.", uid);
  }
  if (frames.size() > kKeyedArchiveMaximumDepth) {
    return corrupt(u"objects are nested too deeply");
  }
  inProgress[uid] = true;
  frames.push_back({&record, info.name});
  Result<ArchivedObject> decoded = ArchivedObject();
  if (info.builtIn) {
    decoded = decodeBuiltIn(info, record, setId);
  } else {
    KeyedUnarchiver coder(this);
    Result<std::shared_ptr<const Archivable>> object = info.registration->decode(coder);
    if (!object) {
      decoded = std::move(object).error();
    } else if (!*object) {
      decoded = makePlatformError(
          PlatformErrorCode::kKeyedArchiveReadCorrupt,
          formatLocalized(u"An object of class “%@” could not be decoded.", {info.name}));
    } else {
      decoded = ArchivedObject(std::move(*object));
    }
  }
  frames.pop_back();
  inProgress[uid] = false;
  if (decoded) {
    memo().emplace(uid, *decoded);
  }
  return decoded;
}

Result<ArchivedObject::Array> KeyedUnarchiver::State::decodeReferences(
    const PropertyListDictionary& record, std::u16string_view key, std::size_t setId) {
  const PropertyList* value = record.find(key);
  const PropertyList::Array* references = value ? value->asArray() : nullptr;
  if (!references) {
    return typeMismatch(key, u"an array");
  }
  ArchivedObject::Array elements;
  elements.reserve(references->size());
  for (const PropertyList& reference : *references) {
    const std::optional<PropertyListUid> uid = reference.asUid();
    if (!uid) {
      return typeMismatch(key, u"an array of references");
    }
    if (uid->value == 0) {
      return corrupt(u"a collection holds nil");
    }
    ZV_ASSIGN_OR_RETURN(ArchivedObject element, decodeUid(uid->value, setId, key));
    elements.push_back(std::move(element));
  }
  return elements;
}

Result<ArchivedObject> KeyedUnarchiver::State::decodeBuiltIn(const ClassInfo& info,
                                                             const PropertyListDictionary& record,
                                                             std::size_t setId) {
  switch (info.builtIn->kind) {
    case BuiltInClass::kString:
    case BuiltInClass::kMutableString: {
      const PropertyList* text = record.find(u"NS.string");
      if (!text || !text->asString()) {
        return typeMismatch(u"NS.string", u"a string");
      }
      return ArchivedObject(*text->asString())
          .withMutableClass(info.builtIn->kind == BuiltInClass::kMutableString);
    }
    case BuiltInClass::kData:
    case BuiltInClass::kMutableData: {
      const PropertyList* data = record.find(u"NS.data");
      if (!data || !data->asData()) {
        return typeMismatch(u"NS.data", u"data");
      }
      return ArchivedObject(*data->asData())
          .withMutableClass(info.builtIn->kind == BuiltInClass::kMutableData);
    }
    case BuiltInClass::kDate: {
      const PropertyList* time = record.find(u"NS.time");
      std::optional<double> seconds = time ? time->asReal() : std::nullopt;
      if (!seconds && time && time->asInt64()) {
        seconds = static_cast<double>(*time->asInt64());
      }
      if (!seconds) {
        return typeMismatch(u"NS.time", u"a number");
      }
      return ArchivedObject(Date{*seconds});
    }
    case BuiltInClass::kNull:
      return ArchivedObject(ArchivedNull{});
    case BuiltInClass::kArray:
    case BuiltInClass::kMutableArray: {
      ZV_ASSIGN_OR_RETURN(ArchivedObject::Array elements,
                          decodeReferences(record, u"NS.objects", setId));
      return ArchivedObject(std::move(elements))
          .withMutableClass(info.builtIn->kind == BuiltInClass::kMutableArray);
    }
    case BuiltInClass::kDictionary:
    case BuiltInClass::kMutableDictionary: {
      ZV_ASSIGN_OR_RETURN(ArchivedObject::Array keys, decodeReferences(record, u"NS.keys", setId));
      ZV_ASSIGN_OR_RETURN(ArchivedObject::Array values,
                          decodeReferences(record, u"NS.objects", setId));
      if (keys.size() != values.size()) {
        return corrupt(u"a dictionary has unequal numbers of keys and values");
      }
      ArchivedObject::Dictionary entries;
      entries.reserve(keys.size());
      std::unordered_map<std::u16string_view, std::size_t> positions;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::u16string* name = keys[i].asString();
        if (!name) {
          return corrupt(u"a dictionary key is not a string");
        }
        // A repeated key keeps its first place and takes the later value, as a dictionary
        // built from the pairs in order would.
        if (auto found = positions.find(*name); found != positions.end()) {
          entries[found->second].value = std::move(values[i]);
          continue;
        }
        positions.emplace(*name, entries.size());
        entries.push_back({*name, std::move(values[i])});
      }
      return ArchivedObject(std::move(entries))
          .withMutableClass(info.builtIn->kind == BuiltInClass::kMutableDictionary);
    }
    case BuiltInClass::kNumber:
      break;
  }
  return makePlatformError(
      PlatformErrorCode::kKeyedArchiveReadCorrupt,
      formatLocalized(u"The archive holds an object of class “%@”, which cannot be decoded.",
                      {info.name}));
}

namespace {

Result<PropertyList::Array const*> validateFrame(const PropertyList& archive,
                                                 const PropertyListDictionary*& top) {
  const PropertyList* archiver = archive.find(u"$archiver");
  if (!archive.asDictionary() || !archiver || !archiver->asString() ||
      *archiver->asString() != kArchiverName) {
    return corrupt(u"the data is not a keyed archive");
  }
  const PropertyList* version = archive.find(u"$version");
  if (!version || version->asInt64() != kArchiveVersion) {
    return corrupt(u"the archive's version is not supported");
  }
  const PropertyList* topValue = archive.find(u"$top");
  top = topValue ? topValue->asDictionary() : nullptr;
  if (!top) {
    return corrupt(u"the archive has no top-level objects");
  }
  const PropertyList* objectsValue = archive.find(u"$objects");
  const PropertyList::Array* objects = objectsValue ? objectsValue->asArray() : nullptr;
  if (!objects || objects->empty() || !objects->front().asString() ||
      *objects->front().asString() != kNullMarker) {
    return corrupt(u"the archive's object table is missing or does not start with \"$null\"");
  }
  return objects;
}

}  // namespace

KeyedUnarchiver::KeyedUnarchiver(std::unique_ptr<State> state)
    : ownedState_(std::move(state)), state_(ownedState_.get()) {}
KeyedUnarchiver::KeyedUnarchiver(State* state) : state_(state) {}
KeyedUnarchiver::KeyedUnarchiver(KeyedUnarchiver&&) noexcept = default;
KeyedUnarchiver& KeyedUnarchiver::operator=(KeyedUnarchiver&&) noexcept = default;
KeyedUnarchiver::~KeyedUnarchiver() = default;

Result<KeyedUnarchiver> KeyedUnarchiver::fromPropertyList(
    PropertyList archive, const KeyedArchiveClassRegistry& registry) {
  auto state = std::make_unique<State>();
  state->archive = std::move(archive);
  ZV_ASSIGN_OR_RETURN(const PropertyList::Array* objects,
                      validateFrame(state->archive, state->top));
  state->objects = objects;
  state->registry = &registry;
  state->frames.push_back({state->top, u""});
  state->inProgress.assign(state->objects->size(), false);
  return KeyedUnarchiver(std::move(state));
}

Result<KeyedUnarchiver> KeyedUnarchiver::fromData(std::span<const std::uint8_t> bytes,
                                                  const KeyedArchiveClassRegistry& registry) {
  ZV_ASSIGN_OR_RETURN(PropertyList archive, readBinaryPropertyList(bytes));
  return fromPropertyList(std::move(archive), registry);
}

Result<ArchivedObject> KeyedUnarchiver::decodeTopLevelObject(
    const std::vector<std::u16string>& allowedClasses) {
  return decodeTopLevelObjectForKey(kKeyedArchiveRootObjectKey, allowedClasses);
}

Result<ArchivedObject> KeyedUnarchiver::decodeTopLevelObjectForKey(
    std::u16string_view key, const std::vector<std::u16string>& allowedClasses) {
  const PropertyList* value = isReservedKey(key) ? nullptr : state_->top->find(key);
  if (!value) {
    return makePlatformError(PlatformErrorCode::kKeyedArchiveValueNotFound,
                             formatLocalized(u"The archive has no top-level object for key “%@”.",
                                             {std::u16string(key)}));
  }
  const std::optional<PropertyListUid> uid = value->asUid();
  if (!uid) {
    return typeMismatch(key, u"an object reference");
  }
  return state_->decodeUid(uid->value, state_->internAllowedSet(allowedClasses), key);
}

bool KeyedUnarchiver::containsValueForKey(std::u16string_view key) const {
  return state_->valueForKey(key) != nullptr;
}

std::u16string_view KeyedUnarchiver::currentClassName() const {
  return state_->frames.back().className;
}

Result<ArchivedObject> KeyedUnarchiver::decodeObjectForKey(
    std::u16string_view key, const std::vector<std::u16string>& allowedClasses) {
  const PropertyList* value = state_->valueForKey(key);
  if (!value) {
    return ArchivedObject();
  }
  const std::optional<PropertyListUid> uid = value->asUid();
  if (!uid) {
    return typeMismatch(key, u"an object reference");
  }
  return state_->decodeUid(uid->value, state_->internAllowedSet(allowedClasses), key);
}

Result<std::optional<std::u16string>> KeyedUnarchiver::decodeStringForKey(std::u16string_view key) {
  ZV_ASSIGN_OR_RETURN(ArchivedObject object, decodeObjectForKey(key, {u"NSString"}));
  if (object.isNil()) {
    return std::optional<std::u16string>();
  }
  return std::optional<std::u16string>(*object.asString());
}

Result<std::int64_t> KeyedUnarchiver::decodeInt64ForKey(std::u16string_view key) {
  const PropertyList* value = state_->valueForKey(key);
  if (!value) {
    return std::int64_t{0};
  }
  const std::optional<std::int64_t> integer = value->asInt64();
  if (!integer) {
    return typeMismatch(key, u"a 64-bit integer");
  }
  return *integer;
}

Result<double> KeyedUnarchiver::decodeDoubleForKey(std::u16string_view key) {
  const PropertyList* value = state_->valueForKey(key);
  if (!value) {
    return 0.0;
  }
  if (const std::optional<double> real = value->asReal()) {
    return *real;
  }
  if (const std::optional<PropertyListInteger> integer = value->asInteger()) {
    return integer->isAboveInt64() ? static_cast<double>(integer->bits())
                                   : static_cast<double>(*integer->signedValue());
  }
  return typeMismatch(key, u"a number");
}

Result<float> KeyedUnarchiver::decodeFloatForKey(std::u16string_view key) {
  ZV_ASSIGN_OR_RETURN(double value, decodeDoubleForKey(key));
  return static_cast<float>(value);
}

Result<bool> KeyedUnarchiver::decodeBoolForKey(std::u16string_view key) {
  const PropertyList* value = state_->valueForKey(key);
  if (!value) {
    return false;
  }
  if (const std::optional<bool> flag = value->asBoolean()) {
    return *flag;
  }
  if (const std::optional<PropertyListInteger> integer = value->asInteger()) {
    return integer->bits() != 0;
  }
  return typeMismatch(key, u"a boolean");
}

Result<PropertyList::Data> KeyedUnarchiver::decodeBytesForKey(std::u16string_view key) {
  const PropertyList* value = state_->valueForKey(key);
  if (!value) {
    return PropertyList::Data();
  }
  if (const PropertyList::Data* data = value->asData()) {
    return *data;
  }
  return typeMismatch(key, u"data");
}

Result<ArchivedObject> unarchivedObject(std::span<const std::uint8_t> bytes,
                                        const std::vector<std::u16string>& allowedClasses,
                                        const KeyedArchiveClassRegistry& registry) {
  ZV_ASSIGN_OR_RETURN(KeyedUnarchiver unarchiver, KeyedUnarchiver::fromData(bytes, registry));
  return unarchiver.decodeTopLevelObject(allowedClasses);
}

}  // namespace zv::platform
