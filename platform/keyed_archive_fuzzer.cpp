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
    static_cast<void>(coder.decodeInt64ForKey(u"i"));
    static_cast<void>(coder.decodeDoubleForKey(u"d"));
    static_cast<void>(coder.decodeFloatForKey(u"f"));
    static_cast<void>(coder.decodeBoolForKey(u"b"));
    static_cast<void>(coder.decodeBytesForKey(u"bytes"));
    static_cast<void>(coder.decodeStringForKey(u"s"));
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
    static_cast<void>(created->registerClass({u"ZVFuzzObject", u"NSObject"}, FuzzObject::decode));
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
