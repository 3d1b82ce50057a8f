#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/keyed_archive.h"
#include "platform/keyed_archive_internal.h"
#include "platform/localization.h"

namespace zv::platform {

using namespace keyed_archive_detail;

KeyedArchiver::KeyedArchiver() {
  objects_.emplace_back(std::u16string(kNullMarker));
  openObjects_.emplace_back();
}

void KeyedArchiver::failWithError(Error error) {
  if (!error_) {
    error_ = std::move(error);
  }
}

bool KeyedArchiver::beginKey(std::u16string_view key) {
  if (error_) {
    return false;
  }
  if (finished_) {
    failWithError(makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                                    localized(u"The archive is already finished.")));
    return false;
  }
  if (isReservedKey(key)) {
    failWithError(
        makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                          formatLocalized(u"The key “%@” is reserved by the archive format.",
                                          {std::u16string(key)})));
    return false;
  }
  return true;
}

void KeyedArchiver::encodeObject(std::u16string_view key, const ArchivedObject& object) {
  if (!beginKey(key)) {
    return;
  }
  const std::uint64_t uid = uidForObject(object);
  if (!error_) {
    currentObject().set(std::u16string(key), PropertyListUid{uid});
  }
}

void KeyedArchiver::encodeString(std::u16string_view key, std::u16string_view value) {
  encodeObject(key, ArchivedObject(value));
}

void KeyedArchiver::encodeInt64(std::u16string_view key, std::int64_t value) {
  if (beginKey(key)) {
    currentObject().set(std::u16string(key), value);
  }
}

void KeyedArchiver::encodeDouble(std::u16string_view key, double value) {
  if (beginKey(key)) {
    currentObject().set(std::u16string(key), value);
  }
}

void KeyedArchiver::encodeFloat(std::u16string_view key, float value) {
  encodeDouble(key, static_cast<double>(value));
}

void KeyedArchiver::encodeBool(std::u16string_view key, bool value) {
  if (beginKey(key)) {
    currentObject().set(std::u16string(key), value);
  }
}

void KeyedArchiver::encodeBytes(std::u16string_view key, std::span<const std::uint8_t> bytes) {
  if (beginKey(key)) {
    currentObject().set(std::u16string(key), PropertyList::Data(bytes.begin(), bytes.end()));
  }
}

std::uint64_t KeyedArchiver::appendObject(PropertyList value) {
  objects_.push_back(std::move(value));
  return objects_.size() - 1;
}

std::uint64_t KeyedArchiver::uidForClass(const std::vector<std::u16string>& hierarchy) {
  if (hierarchy.empty() || hierarchy.front().empty()) {
    failWithError(makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                                    localized(u"An archived object has no class name.")));
    return 0;
  }
  if (auto found = uidByClassName_.find(hierarchy.front()); found != uidByClassName_.end()) {
    return found->second;
  }
  PropertyList::Array classes(hierarchy.begin(), hierarchy.end());
  PropertyListDictionary record;
  record.set(u"$classes", std::move(classes));
  record.set(u"$classname", hierarchy.front());
  const std::uint64_t uid = appendObject(std::move(record));
  uidByClassName_.emplace(hierarchy.front(), uid);
  return uid;
}

std::uint64_t KeyedArchiver::uidForObject(const ArchivedObject& object) {
  if (object.isNil() || error_) {
    return 0;
  }
  // Our own objects are identified by the object itself, so that two handles of one object
  // are archived once, as the platform archives one object once.
  const std::shared_ptr<const Archivable>* archivable = object.asArchivable();
  const void* identity = archivable ? static_cast<const void*>(archivable->get())
                                    : static_cast<const void*>(object.node_.get());
  if (auto found = uidByObject_.find(identity); found != uidByObject_.end()) {
    return found->second;
  }
  // A temporary handle that died could leave its address to the next one; holding every
  // encoded object keeps identities unique for the life of the archive.
  if (archivable) {
    encodedObjects_.push_back(*archivable);
  } else {
    encodedObjects_.push_back(object.node_);
  }
  const ArchivedObject::Node& node = *object.node_;
  using Type = ArchivedObject::Type;
  std::optional<PropertyList> inlineValue;
  switch (node.type) {
    case Type::kString:
      if (!node.isMutable) {
        inlineValue = PropertyList(std::get<std::u16string>(node.value));
      }
      break;
    case Type::kData:
      if (!node.isMutable) {
        inlineValue = PropertyList(std::get<ArchivedObject::Data>(node.value));
      }
      break;
    case Type::kInteger:
      inlineValue = PropertyList(std::get<PropertyListInteger>(node.value));
      break;
    case Type::kReal:
      inlineValue = PropertyList(std::get<double>(node.value));
      break;
    case Type::kBoolean:
      inlineValue = PropertyList(std::get<bool>(node.value));
      break;
    default:
      break;
  }
  if (inlineValue) {
    const std::uint64_t uid = appendObject(std::move(*inlineValue));
    uidByObject_.emplace(identity, uid);
    return uid;
  }
  if (openObjects_.size() > kKeyedArchiveMaximumDepth) {
    failWithError(makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                                    localized(u"Archived objects are nested too deeply.")));
    return 0;
  }
  // The object's number is taken before its contents are encoded so that an object reached
  // again from inside itself refers back to it instead of recursing.
  const std::uint64_t uid = appendObject(PropertyList());
  uidByObject_.emplace(identity, uid);
  openObjects_.emplace_back();
  encodeNode(node);
  objects_[uid] = PropertyList(std::move(openObjects_.back()));
  openObjects_.pop_back();
  return uid;
}

void KeyedArchiver::encodeNode(const ArchivedObject::Node& node) {
  using Type = ArchivedObject::Type;
  std::vector<std::u16string> hierarchy;
  switch (node.type) {
    case Type::kString:
      currentObject().set(u"NS.string", std::get<std::u16string>(node.value));
      hierarchy = builtInClass(BuiltInClass::kMutableString).hierarchy;
      break;
    case Type::kData:
      currentObject().set(u"NS.data", std::get<ArchivedObject::Data>(node.value));
      hierarchy = builtInClass(BuiltInClass::kMutableData).hierarchy;
      break;
    case Type::kDate:
      currentObject().set(u"NS.time", std::get<Date>(node.value).secondsSinceReferenceDate);
      hierarchy = builtInClass(BuiltInClass::kDate).hierarchy;
      break;
    case Type::kNull:
      hierarchy = builtInClass(BuiltInClass::kNull).hierarchy;
      break;
    case Type::kArray: {
      PropertyList::Array uids;
      for (const ArchivedObject& element : std::get<ArchivedObject::Array>(node.value)) {
        uids.emplace_back(PropertyListUid{uidForObject(element)});
      }
      currentObject().set(u"NS.objects", std::move(uids));
      hierarchy = builtInClass(node.isMutable ? BuiltInClass::kMutableArray : BuiltInClass::kArray)
                      .hierarchy;
      break;
    }
    case Type::kDictionary: {
      PropertyList::Array keys;
      PropertyList::Array values;
      for (const ArchivedDictionaryEntry& entry :
           std::get<ArchivedObject::Dictionary>(node.value)) {
        keys.emplace_back(PropertyListUid{appendObject(entry.key)});
        values.emplace_back(PropertyListUid{uidForObject(entry.value)});
      }
      currentObject().set(u"NS.keys", std::move(keys));
      currentObject().set(u"NS.objects", std::move(values));
      hierarchy = builtInClass(node.isMutable ? BuiltInClass::kMutableDictionary
                                              : BuiltInClass::kDictionary)
                      .hierarchy;
      break;
    }
    case Type::kArchivable: {
      const Archivable& object = *std::get<std::shared_ptr<const Archivable>>(node.value);
      object.encodeWithCoder(*this);
      hierarchy = object.classHierarchy();
      break;
    }
    default:
      break;
  }
  currentObject().set(u"$class", PropertyListUid{uidForClass(hierarchy)});
}

Result<PropertyList> KeyedArchiver::finishEncoding() {
  if (error_) {
    return *error_;
  }
  if (finished_) {
    return makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                             localized(u"The archive is already finished."));
  }
  finished_ = true;
  PropertyListDictionary archive;
  archive.set(u"$version", kArchiveVersion);
  archive.set(u"$archiver", std::u16string(kArchiverName));
  archive.set(u"$top", std::move(openObjects_.front()));
  archive.set(u"$objects", std::move(objects_));
  return PropertyList(std::move(archive));
}

Result<PropertyList> archivedRoot(const ArchivedObject& root) {
  KeyedArchiver archiver;
  archiver.encodeObject(kKeyedArchiveRootObjectKey, root);
  return archiver.finishEncoding();
}

Result<std::vector<std::uint8_t>> archivedDataWithRootObject(const ArchivedObject& root) {
  ZV_ASSIGN_OR_RETURN(PropertyList archive, archivedRoot(root));
  return writeBinaryPropertyList(archive);
}

}  // namespace zv::platform
