#pragma once

// What the parts of the keyed archive share: the object representation, and the built-in classes
// the platform's archiver and unarchiver know. Only keyed_archive's own source files include it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/keyed_archive.h"

namespace zv::platform {

struct ArchivedObject::Node {
  Type type = Type::kNil;
  bool isMutable = false;
  std::variant<std::monostate, std::u16string, PropertyListInteger, double, bool, Date, Data, Array,
               Dictionary, std::shared_ptr<const Archivable>>
      value;
};

namespace keyed_archive_detail {

// The frame every archive has: "$null" as its first object, the archiver's name, the version.
constexpr std::u16string_view kNullMarker = u"$null";
constexpr std::u16string_view kArchiverName = u"NSKeyedArchiver";
constexpr std::int64_t kArchiveVersion = 100000;

enum class BuiltInClass : std::uint8_t {
  kString,
  kMutableString,
  kNumber,
  kData,
  kMutableData,
  kDate,
  kNull,
  kArray,
  kMutableArray,
  kDictionary,
  kMutableDictionary,
};

struct BuiltInClassInfo {
  BuiltInClass kind;
  std::vector<std::u16string> hierarchy;
};

// Every built-in class, in the order of BuiltInClass.
const std::vector<BuiltInClassInfo>& builtInClasses();

const BuiltInClassInfo& builtInClass(BuiltInClass kind);

// The built-in class of that name, or null.
const BuiltInClassInfo* findBuiltInClass(std::u16string_view name);

// Keys starting with "$" belong to the archive format, never to an object's values.
bool isReservedKey(std::u16string_view key);

}  // namespace keyed_archive_detail
}  // namespace zv::platform
