#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/keyed_archive.h"

namespace {

using zv::platform::Archivable;
using zv::platform::ArchivedObject;
using zv::platform::KeyedArchiveClassRegistry;
using zv::platform::KeyedArchiver;
using zv::platform::KeyedUnarchiver;
using zv::platform::Result;

// A class of ours that reads every kind of key, so that hostile values reach each reader.
class FuzzObject : public Archivable {
 public:
  std::u16string className() const override { return u"ZVFuzzObject"; }
  void encodeWithCoder(KeyedArchiver&) const override {}

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    // Only reaching the readers matters; what they make of hostile values is theirs to check.
    coder.decodeInt64ForKey(u"i").ignoreError();
    coder.decodeDoubleForKey(u"d").ignoreError();
    coder.decodeFloatForKey(u"f").ignoreError();
    coder.decodeBoolForKey(u"b").ignoreError();
    coder.decodeBytesForKey(u"bytes").ignoreError();
    coder.decodeStringForKey(u"s").ignoreError();
    ZV_ASSIGN_OR_RETURN(
        ArchivedObject next,
        coder.decodeObjectForKey(u"next", {u"ZVFuzzObject", u"NSArray", u"NSDictionary"}));
    return std::shared_ptr<const Archivable>(std::make_shared<FuzzObject>());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const KeyedArchiveClassRegistry* const registry = [] {
    auto* created = new KeyedArchiveClassRegistry();
    created->registerClass({u"ZVFuzzObject", u"NSObject"}, FuzzObject::decode).ignoreError();
    return created;
  }();
  Result<KeyedUnarchiver> unarchiver =
      KeyedUnarchiver::fromData(std::span<const std::uint8_t>(data, size), *registry);
  if (!unarchiver) {
    return 0;
  }
  Result<ArchivedObject> root =
      unarchiver->decodeTopLevelObject({u"NSArray", u"NSDictionary", u"NSString", u"NSNumber",
                                        u"NSData", u"NSDate", u"NSNull", u"ZVFuzzObject"});
  if (root) {
    // Whatever decodes must archive again.
    static_cast<void>(zv::platform::archivedDataWithRootObject(*root));
  }
  return 0;
}
