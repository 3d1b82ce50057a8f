#include "platform/binary_property_list.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/binary_property_list_encoding.h"
#include "platform/localization.h"

namespace zv::platform {
namespace {

using namespace bplist;  // NOLINT(google-build-using-namespace): the format's own names

// ---------------------------------------------------------------------------------------------
// Writer

Error writeError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListWriteInvalid, std::move(description));
}

// The first failure is kept in a member and each step returns a plain bool: this runs once per
// value of a library-sized tree, and a Result per step would build and test an Error-sized
// variant at every one of them.
class BinaryWriter {
 public:
  Result<std::vector<std::uint8_t>> write(const PropertyList& root) {
    // No counting pass to reserve exactly: a second walk through a large tree cost more time
    // than growing these by doubling costs memory, and the one large list we write, the
    // metadata file, is streamed instead.
    std::uint32_t rootIndex = 0;
    if (!flatten(root, 1, rootIndex)) {
      return std::move(error_);
    }
    return emit();
  }

 private:
  // Strings (values and keys alike) point at their code units, everything else at its value.
  // Strings are encoded as they are found, containers need only their reference count: writing
  // them out then never reaches back into the tree, whose text is long out of the cache.
  enum class Kind : std::uint8_t { kValue, kString, kArray, kDictionary };

  // One object of the file in index order. Containers take their references from refs_ in the
  // same order, `count` each; a string's count is its length, so that comparing one reads the
  // units and nothing on the way to them, except past kLongString, when item is the string.
  struct Object {
    const void* item;
    std::uint32_t count;
    Kind kind;
    bool ascii;
  };
  static constexpr std::uint32_t kLongString = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t addObject(Object object, std::size_t encodedSize) {
    objects_.push_back(object);
    objectBytes_ += encodedSize;
    lastObjectBytes_ = encodedSize;
    return static_cast<std::uint32_t>(objects_.size() - 1);
  }

  static std::uint32_t referenceCount(const Object& object) {
    return object.kind == Kind::kArray || object.kind == Kind::kDictionary ? object.count : 0;
  }

  bool fail(std::u16string description) {
    error_ = writeError(std::move(description));
    return false;
  }

  std::u16string_view stringAt(std::uint32_t index) const {
    const Object& object = objects_[index];
    if (object.count == kLongString) [[unlikely]] {
      return *static_cast<const std::u16string*>(object.item);
    }
    return {static_cast<const char16_t*>(object.item), object.count};
  }

  auto stringText() const {
    return [this](std::uint32_t index) -> std::u16string_view { return stringAt(index); };
  }

  bool flattenString(const std::u16string& text, std::uint32_t& index) {
    return internString(text, hashText(text), index);
  }

  bool flattenKey(const std::u16string& key, std::uint32_t& index) {
    std::uint32_t& recent = recentKeys_.line(key);
    if (recent != 0 && sameText(stringAt(recent - 1), key)) {
      index = recent - 1;
      return true;
    }
    if (!flattenString(key, index)) {
      return false;
    }
    recent = index + 1;
    return true;
  }

  bool internString(const std::u16string& text, std::uint64_t hash, std::uint32_t& index) {
    strings_.reserveOneMore();
    StringTable::Slot& slot = strings_.find(text, hash, stringText());
    if (slot.numberPlusOne != 0) {
      index = slot.numberPlusOne - 1;
      return true;
    }
    // ASCII text is valid UTF-16 as it stands; only the rest needs the full check.
    const bool ascii = isAscii(text);
    if (!ascii && !isValidUtf16(text)) {
      return fail(localized(u"Property list string is not valid UTF-16."));
    }
    const std::size_t size = stringSize(text.size(), ascii);
    index = text.size() < kLongString
                ? addObject(
                      {text.data(), static_cast<std::uint32_t>(text.size()), Kind::kString, ascii},
                      size)
                : addObject({&text, kLongString, Kind::kString, ascii}, size);
    const std::size_t at = stringBytes_.size();
    stringBytes_.resize(at + size);
    bplist::putString(stringBytes_.data() + at, text, ascii);
    strings_.store(slot, index, hash);
    return true;
  }

  template <typename Map>
  std::uint32_t uniqueScalar(Map& map, typename Map::key_type key, const PropertyList& value,
                             std::size_t encodedSize) {
    auto [found, inserted] = map.try_emplace(key, 0);
    if (inserted) {
      found->second = addObject({&value, 0, Kind::kValue, false}, encodedSize);
    }
    return found->second;
  }

  static std::size_t integerSize(PropertyListInteger integer) {
    if (integer.isAboveInt64()) {
      return 17;
    }
    if (integer.isNegative()) {
      return 9;
    }
    return 1 + widthFor(integer.bits());
  }

  bool flatten(const PropertyList& value, std::size_t depth, std::uint32_t& index) {
    switch (value.type()) {
      case PropertyList::Type::kString:
        return flattenString(*value.asString(), index);
      case PropertyList::Type::kInteger: {
        const PropertyListInteger integer = *value.asInteger();
        auto& map = integer.isAboveInt64() ? unsignedIntegers_ : integers_;
        index = uniqueScalar(map, integer.bits(), value, integerSize(integer));
        return true;
      }
      case PropertyList::Type::kReal:
        index = uniqueScalar(reals_, std::bit_cast<std::uint64_t>(*value.asReal()), value, 9);
        return true;
      case PropertyList::Type::kBoolean: {
        // Two possible values, looked up in every record: no map needed.
        std::uint32_t& known = booleans_[*value.asBoolean() ? 1 : 0];
        if (known == 0) {
          known = addObject({&value, 0, Kind::kValue, false}, 1) + 1;
        }
        index = known - 1;
        return true;
      }
      case PropertyList::Type::kDate:
        index = uniqueScalar(
            dates_, std::bit_cast<std::uint64_t>(value.asDate()->secondsSinceReferenceDate), value,
            9);
        return true;
      case PropertyList::Type::kUid: {
        const std::uint64_t uid = value.asUid()->value;
        index = uniqueScalar(uids_, uid, value, 1 + widthFor(uid));
        return true;
      }
      case PropertyList::Type::kData: {
        const PropertyList::Data& data = *value.asData();
        const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
        index = uniqueScalar(data_, bytes, value, countSize(data.size()) + data.size());
        return true;
      }
      case PropertyList::Type::kArray:
      case PropertyList::Type::kDictionary:
        return flattenContainer(value, depth, index);
    }
    return fail(localized(u"Property list value has an unknown type."));
  }

  bool flattenContainer(const PropertyList& value, std::size_t depth, std::uint32_t& index) {
    if (depth > kPropertyListMaximumDepth) {
      return fail(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                  {static_cast<std::int64_t>(kPropertyListMaximumDepth)}));
    }
    const PropertyList::Array* array = value.asArray();
    const PropertyList::Dictionary* dictionary = value.asDictionary();
    const std::size_t entries = array ? array->size() : dictionary->size();
    const std::size_t refCount = array ? entries : entries * 2;
    if (objects_.size() >= std::numeric_limits<std::uint32_t>::max()) {
      return fail(localized(u"Property list has too many objects."));
    }
    const auto firstRef = refs_.size();
    index = addObject({&value, static_cast<std::uint32_t>(refCount),
                       array ? Kind::kArray : Kind::kDictionary, false},
                      countSize(entries));
    refs_.resize(refs_.size() + refCount);
    std::uint32_t child = 0;
    if (array) {
      for (std::size_t i = 0; i < entries; ++i) {
        if (!flatten((*array)[i], depth + 1, child)) {
          return false;
        }
        refs_[firstRef + i] = child;
      }
      return true;
    }
    // Keys first, then values, as readers expect.
    std::size_t i = 0;
    for (const auto& entry : *dictionary) {
      if (!flattenKey(entry.key, child)) {
        return false;
      }
      refs_[firstRef + i++] = child;
    }
    for (const auto& entry : *dictionary) {
      if (!flatten(entry.value, depth + 1, child)) {
        return false;
      }
      refs_[firstRef + i++] = child;
    }
    return true;
  }

  void put(std::uint8_t byte) { out_[cursor_++] = byte; }

  void putBigEndian(std::uint64_t value, unsigned width) {
    cursor_ =
        static_cast<std::size_t>(bplist::putBigEndian(&out_[cursor_], value, width) - out_.data());
  }

  void putMarker(std::uint8_t marker, std::uint64_t count) {
    cursor_ =
        static_cast<std::size_t>(bplist::putMarker(&out_[cursor_], marker, count) - out_.data());
  }

  // The next string that flatten() encoded: strings follow one another there in object order.
  void putEncodedString(bool ascii) {
    const std::uint8_t* encoded = stringBytes_.data() + nextStringByte_;
    const ObjectHead head = readOwnObjectHead(encoded);
    const std::size_t size = head.size + static_cast<std::size_t>(head.count) * (ascii ? 1 : 2);
    std::memcpy(&out_[cursor_], encoded, size);
    cursor_ += size;
    nextStringByte_ += size;
  }

  void putInteger(PropertyListInteger integer) {
    if (integer.isAboveInt64()) {
      put(kIntegerMarker | 4);
      putBigEndian(0, 8);
      putBigEndian(integer.bits(), 8);
      return;
    }
    // Negative values always take eight bytes: readers take shorter integers as unsigned.
    const unsigned width = integer.isNegative() ? 8 : widthFor(integer.bits());
    put(static_cast<std::uint8_t>(kIntegerMarker | log2OfWidth(width)));
    putBigEndian(integer.bits(), width);
  }

  void putValue(const Object& object, unsigned refWidth) {
    switch (object.kind) {
      case Kind::kString:
        return putEncodedString(object.ascii);
      case Kind::kArray:
      case Kind::kDictionary:
        putMarker(object.kind == Kind::kArray ? kArrayMarker : kDictionaryMarker,
                  object.kind == Kind::kArray ? object.count : object.count / 2);
        for (std::uint32_t i = 0; i < object.count; ++i) {
          putBigEndian(refs_[nextRef_++], refWidth);
        }
        return;
      case Kind::kValue:
        break;
    }
    const auto& value = *static_cast<const PropertyList*>(object.item);
    switch (value.type()) {
      case PropertyList::Type::kString:
      case PropertyList::Type::kArray:
      case PropertyList::Type::kDictionary:
        return;  // Written by kind above.
      case PropertyList::Type::kInteger:
        putInteger(*value.asInteger());
        return;
      case PropertyList::Type::kReal:
        put(kRealMarker | 3);
        putBigEndian(std::bit_cast<std::uint64_t>(*value.asReal()), 8);
        return;
      case PropertyList::Type::kBoolean:
        put(*value.asBoolean() ? kTrueMarker : kFalseMarker);
        return;
      case PropertyList::Type::kDate:
        put(kDateMarker);
        putBigEndian(std::bit_cast<std::uint64_t>(value.asDate()->secondsSinceReferenceDate), 8);
        return;
      case PropertyList::Type::kUid: {
        const std::uint64_t uid = value.asUid()->value;
        const unsigned width = widthFor(uid);
        put(static_cast<std::uint8_t>(kUidMarker | (width - 1)));
        putBigEndian(uid, width);
        return;
      }
      case PropertyList::Type::kData: {
        const PropertyList::Data& data = *value.asData();
        putMarker(kDataMarker, data.size());
        if (!data.empty()) {
          std::memcpy(&out_[cursor_], data.data(), data.size());
          cursor_ += data.size();
        }
        return;
      }
    }
  }

  std::vector<std::uint8_t> emit() {
    const std::uint64_t objectCount = objects_.size();
    const unsigned refWidth = widthFor(objectCount - 1);
    const std::uint64_t offsetTableOffset = kHeaderSize + objectBytes_ + refs_.size() * refWidth;
    // The last object starts at the largest offset.
    const std::uint64_t lastOffset = offsetTableOffset - lastObjectBytes_ -
                                     std::uint64_t{referenceCount(objects_.back())} * refWidth;
    const unsigned offsetWidth = widthFor(lastOffset);
    // The whole file in one allocation, objects and offset table filled side by side.
    out_.resize(offsetTableOffset + objectCount * offsetWidth + kTrailerSize);
    std::memcpy(out_.data(), kMagic, kHeaderSize);
    cursor_ = kHeaderSize;
    std::size_t offsetPosition = offsetTableOffset;
    for (const Object& object : objects_) {
      const std::size_t offset = cursor_;
      cursor_ = offsetPosition;
      putBigEndian(offset, offsetWidth);
      offsetPosition = cursor_;
      cursor_ = offset;
      putValue(object, refWidth);
    }
    assert(cursor_ == offsetTableOffset);
    cursor_ = offsetPosition + 6;
    put(static_cast<std::uint8_t>(offsetWidth));
    put(static_cast<std::uint8_t>(refWidth));
    putBigEndian(objectCount, 8);
    putBigEndian(0, 8);
    putBigEndian(offsetTableOffset, 8);
    return std::move(out_);
  }

  std::vector<Object> objects_;
  std::vector<std::uint32_t> refs_;
  std::size_t objectBytes_ = 0;
  std::size_t lastObjectBytes_ = 0;
  // Hashed, not searched: a linear look-up per value makes writing quadratic.
  StringTable strings_;
  RecentStrings recentKeys_;
  std::unordered_map<std::uint64_t, std::uint32_t> integers_;
  std::unordered_map<std::uint64_t, std::uint32_t> unsignedIntegers_;
  std::unordered_map<std::uint64_t, std::uint32_t> reals_;
  std::unordered_map<std::uint64_t, std::uint32_t> dates_;
  std::array<std::uint32_t, 2> booleans_{};  // object numbers plus one
  std::unordered_map<std::uint64_t, std::uint32_t> uids_;
  std::unordered_map<std::string_view, std::uint32_t> data_;
  std::vector<std::uint8_t> out_;
  std::size_t cursor_ = 0;
  std::size_t nextRef_ = 0;
  std::vector<std::uint8_t> stringBytes_;
  std::size_t nextStringByte_ = 0;
  Error error_;
};

}  // namespace

Result<std::vector<std::uint8_t>> writeBinaryPropertyList(const PropertyList& value) {
  return BinaryWriter().write(value);
}

}  // namespace zv::platform
