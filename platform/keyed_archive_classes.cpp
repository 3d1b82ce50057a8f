#include <string>
#include <utility>
#include <vector>

#include "platform/keyed_archive.h"
#include "platform/keyed_archive_internal.h"
#include "platform/localization.h"

namespace zv::platform {

// Class names the platform's unarchiver knows, with the superclass chains it expects.
namespace keyed_archive_detail {

const std::vector<BuiltInClassInfo>& builtInClasses() {
  static const std::vector<BuiltInClassInfo> classes = {
      {BuiltInClass::kString, {u"NSString", u"NSObject"}},
      {BuiltInClass::kMutableString, {u"NSMutableString", u"NSString", u"NSObject"}},
      {BuiltInClass::kNumber, {u"NSNumber", u"NSValue", u"NSObject"}},
      {BuiltInClass::kData, {u"NSData", u"NSObject"}},
      {BuiltInClass::kMutableData, {u"NSMutableData", u"NSData", u"NSObject"}},
      {BuiltInClass::kDate, {u"NSDate", u"NSObject"}},
      {BuiltInClass::kNull, {u"NSNull", u"NSObject"}},
      {BuiltInClass::kArray, {u"NSArray", u"NSObject"}},
      {BuiltInClass::kMutableArray, {u"NSMutableArray", u"NSArray", u"NSObject"}},
      {BuiltInClass::kDictionary, {u"NSDictionary", u"NSObject"}},
      {BuiltInClass::kMutableDictionary, {u"NSMutableDictionary", u"NSDictionary", u"NSObject"}},
  };
  return classes;
}

const BuiltInClassInfo& builtInClass(BuiltInClass kind) {
  return builtInClasses()[static_cast<std::size_t>(kind)];
}

const BuiltInClassInfo* findBuiltInClass(std::u16string_view name) {
  for (const BuiltInClassInfo& info : builtInClasses()) {
    if (info.hierarchy.front() == name) {
      return &info;
    }
  }
  return nullptr;
}

bool isReservedKey(std::u16string_view key) {
  return !key.empty() && key.front() == u'$';
}

}  // namespace keyed_archive_detail

using namespace keyed_archive_detail;

Result<void> KeyedArchiveClassRegistry::registerClass(std::vector<std::u16string> classHierarchy,
                                                      DecodeFunction decode) {
  if (classHierarchy.empty() || classHierarchy.front().empty() || !decode) {
    return makePlatformError(PlatformErrorCode::kKeyedArchiveInvalidValue,
                             localized(u"A class needs a name and a decoding function."));
  }
  const std::u16string& name = classHierarchy.front();
  if (findBuiltInClass(name) || find(name)) {
    return makePlatformError(
        PlatformErrorCode::kKeyedArchiveInvalidValue,
        formatLocalized(u"The class “%@” is already known to the archive.", {name}));
  }
  registrations_.push_back({std::move(classHierarchy), std::move(decode)});
  return {};
}

const KeyedArchiveClassRegistry::Registration* KeyedArchiveClassRegistry::find(
    std::u16string_view className) const {
  for (const Registration& registration : registrations_) {
    if (registration.classHierarchy.front() == className) {
      return &registration;
    }
  }
  return nullptr;
}

}  // namespace zv::platform
