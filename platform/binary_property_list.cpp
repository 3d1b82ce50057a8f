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

// ---------------------------------------------------------------------------------------------
// Reader

Error readError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListReadCorrupt, std::move(description));
}

// The first failure is kept in a member and each step returns a plain bool: this runs once per
// value of a library-sized tree, and a Result per step would build and test an Error-sized
// variant at every one of them.
class BinaryReader {
 public:
  explicit BinaryReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  Result<PropertyList> read() {
    if (!readTrailer()) {
      return std::move(error_);
    }
    PropertyList root;
    if (!readObject(topObject_, 1, root)) {
      return std::move(error_);
    }
    return root;
  }

 private:
  bool fail(std::u16string description) {
    error_ = readError(std::move(description));
    return false;
  }

  bool failTruncated(std::u16string_view what) {
    return fail(formatLocalized(u"Property list is truncated: %@.", {localized(what)}));
  }

  bool failDamaged(std::u16string_view what) {
    return fail(formatLocalized(u"Property list is damaged: %@.", {localized(what)}));
  }

  std::uint64_t bigEndian(std::size_t position, unsigned width) const {
    return readBigEndian(&bytes_[position], width);
  }

  static bool isValidWidth(unsigned width) {
    return width == 1 || width == 2 || width == 4 || width == 8;
  }

  bool readTrailer() {
    if (bytes_.size() < kHeaderSize + kTrailerSize + 1) {
      return failTruncated(u"the trailer is missing");
    }
    const std::size_t trailer = bytes_.size() - kTrailerSize;
    offsetWidth_ = bytes_[trailer + 6];
    refWidth_ = bytes_[trailer + 7];
    objectCount_ = bigEndian(trailer + 8, 8);
    topObject_ = bigEndian(trailer + 16, 8);
    offsetTableOffset_ = bigEndian(trailer + 24, 8);
    if (!isValidWidth(offsetWidth_) || !isValidWidth(refWidth_)) {
      return failDamaged(u"the trailer gives an invalid integer width");
    }
    if (objectCount_ == 0 || topObject_ >= objectCount_) {
      return failDamaged(u"the trailer gives an invalid object count or root");
    }
    if (offsetTableOffset_ <= kHeaderSize || offsetTableOffset_ > trailer ||
        objectCount_ > (trailer - offsetTableOffset_) / offsetWidth_) {
      return failDamaged(u"the offset table does not fit the file");
    }
    if (refWidth_ < 8 && (objectCount_ - 1) >> (refWidth_ * 8) != 0) {
      return failDamaged(u"object references are too narrow for the object count");
    }
    // Each object is at least one byte, so the count cannot exceed the object area.
    if (objectCount_ > offsetTableOffset_ - kHeaderSize) {
      return failDamaged(u"the trailer gives more objects than the file holds");
    }
    onPath_.assign(objectCount_, 0);
    budget_ = kBudgetBase + bytes_.size() * kBudgetPerInputByte;
    return true;
  }

  // The start of object ref, checked to lie in the object area.
  bool objectStart(std::uint64_t ref, std::size_t& start) {
    if (ref >= objectCount_) {
      return failDamaged(u"an object reference is out of range");
    }
    const std::uint64_t offset =
        bigEndian(static_cast<std::size_t>(offsetTableOffset_ + ref * offsetWidth_), offsetWidth_);
    if (offset < kHeaderSize || offset >= offsetTableOffset_) {
      return failDamaged(u"an object offset is out of range");
    }
    start = static_cast<std::size_t>(offset);
    return true;
  }

  // Reads the count of the object whose marker is at position; position moves past it.
  bool readCount(std::size_t& position, std::uint64_t& count) {
    const std::uint8_t low = bytes_[position] & 0x0F;
    ++position;
    if (low != kCountFollows) {
      count = low;
      return true;
    }
    if (position >= offsetTableOffset_) {
      return failTruncated(u"an object count is cut off");
    }
    const std::uint8_t marker = bytes_[position];
    if ((marker & 0xF0) != kIntegerMarker || (marker & 0x0F) > 3) {
      return failDamaged(u"an object count is not an integer");
    }
    const unsigned width = 1u << (marker & 0x0F);
    if (width > offsetTableOffset_ - position - 1) {
      return failTruncated(u"an object count is cut off");
    }
    count = bigEndian(position + 1, width);
    position += 1 + width;
    return true;
  }

  // Checks that count items of itemSize bytes fit between position and the offset table.
  bool fits(std::size_t position, std::uint64_t count, std::uint64_t itemSize) {
    if (count > (offsetTableOffset_ - position) / itemSize) {
      return failTruncated(u"an object runs past the object area");
    }
    return true;
  }

  bool spend(std::uint64_t bytes) {
    if (bytes > budget_) {
      return failDamaged(u"shared objects expand beyond any plausible size");
    }
    budget_ -= bytes;
    return true;
  }

  bool readString(std::size_t position, bool ascii, PropertyList& out) {
    std::u16string text;
    if (!decodeString(position, ascii, text)) {
      return false;
    }
    out = PropertyList(std::move(text));
    return true;
  }

  // Decodes the string object whose marker is at position into text.
  bool decodeString(std::size_t position, bool ascii, std::u16string& text) {
    std::uint64_t count = 0;
    if (!readCount(position, count) || !fits(position, count, ascii ? 1 : 2) || !spend(count * 2)) {
      return false;
    }
    text.assign(static_cast<std::size_t>(count), u'\0');
    if (ascii) {
      if (!widenAscii(text.data(), &bytes_[position], text.size())) {
        return failDamaged(u"an ASCII string holds a non-ASCII byte");
      }
    } else {
      for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] =
            static_cast<char16_t>(bytes_[position + 2 * i] << 8 | bytes_[position + 2 * i + 1]);
      }
      if (!isValidUtf16(text)) {
        return failDamaged(u"a string is not valid UTF-16");
      }
    }
    return true;
  }

  // Reads dictionary key ref into text without building a value around it.
  bool readKey(std::uint64_t ref, std::size_t depth, std::u16string& text) {
    std::size_t position = 0;
    if (!objectStart(ref, position)) {
      return false;
    }
    const unsigned type = bytes_[position] >> 4;
    if (type == 0x5 || type == 0x6) {
      return decodeString(position, type == 0x5, text);
    }
    // Whatever else it is, it is read as a value would be, so a damaged key reports the same
    // fault as a damaged value.
    PropertyList key;
    if (!readObject(ref, depth, key)) {
      return false;
    }
    return failDamaged(u"a dictionary key is not a string");
  }

  bool readInteger(std::size_t position, PropertyList& out) {
    const unsigned log2Width = bytes_[position] & 0x0F;
    if (log2Width > 4) {
      return failDamaged(u"an integer has an invalid width");
    }
    const unsigned width = 1u << log2Width;
    if (!fits(position + 1, width, 1)) {
      return false;
    }
    if (width < 8) {
      // Integers shorter than eight bytes are unsigned.
      out = PropertyList(bigEndian(position + 1, width));
      return true;
    }
    if (width == 8) {
      out = PropertyList(static_cast<std::int64_t>(bigEndian(position + 1, 8)));
      return true;
    }
    // Sixteen bytes: a signed 128-bit value that must lie within [-2^63, 2^64).
    const std::uint64_t high = bigEndian(position + 1, 8);
    const std::uint64_t low = bigEndian(position + 9, 8);
    if (high == 0) {
      out = PropertyList(low);
      return true;
    }
    if (high == ~std::uint64_t{0} && low >> 63 != 0) {
      out = PropertyList(static_cast<std::int64_t>(low));
      return true;
    }
    return failDamaged(u"an integer is outside the 64-bit range");
  }

  bool readReal(std::size_t position, bool isDate, PropertyList& out) {
    const unsigned log2Width = bytes_[position] & 0x0F;
    if ((isDate && log2Width != 3) || (log2Width != 2 && log2Width != 3)) {
      return failDamaged(u"a real has an invalid width");
    }
    const unsigned width = 1u << log2Width;
    if (!fits(position + 1, width, 1)) {
      return false;
    }
    double real = 0;
    if (width == 4) {
      real = std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(position + 1, 4)));
    } else {
      real = std::bit_cast<double>(bigEndian(position + 1, 8));
    }
    out = isDate ? PropertyList(Date{real}) : PropertyList(real);
    return true;
  }

  bool readObject(std::uint64_t ref, std::size_t depth, PropertyList& out) {
    std::size_t position = 0;
    if (!objectStart(ref, position)) {
      return false;
    }
    const std::uint8_t marker = bytes_[position];
    switch (marker >> 4) {
      case 0x0:
        if (marker == kFalseMarker || marker == kTrueMarker) {
          out = PropertyList(marker == kTrueMarker);
          return true;
        }
        break;
      case 0x1:
        return readInteger(position, out);
      case 0x2:
        return readReal(position, false, out);
      case 0x3:
        if (marker == kDateMarker) {
          return readReal(position, true, out);
        }
        break;
      case 0x4: {
        std::uint64_t count = 0;
        if (!readCount(position, count) || !fits(position, count, 1) || !spend(count)) {
          return false;
        }
        const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(position);
        out = PropertyList(PropertyList::Data(begin, begin + static_cast<std::ptrdiff_t>(count)));
        return true;
      }
      case 0x5:
      case 0x6:
        return readString(position, marker >> 4 == 0x5, out);
      case 0x8: {
        const unsigned width = (marker & 0x0F) + 1u;
        if (width > 8) {
          return failDamaged(u"a UID is wider than 64 bits");
        }
        if (!fits(position + 1, width, 1)) {
          return false;
        }
        out = PropertyList(PropertyListUid{bigEndian(position + 1, width)});
        return true;
      }
      case 0xA:
      case 0xD:
        return readContainer(ref, position, depth, out);
      default:
        break;
    }
    return fail(formatLocalized(u"Property list holds an object of unsupported type %ld.",
                                {static_cast<std::int64_t>(marker)}));
  }

  bool readContainer(std::uint64_t ref, std::size_t position, std::size_t depth,
                     PropertyList& out) {
    if (depth > kPropertyListMaximumDepth) {
      return fail(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                  {static_cast<std::int64_t>(kPropertyListMaximumDepth)}));
    }
    if (onPath_[ref] != 0) {
      return failDamaged(u"a container contains itself");
    }
    const bool isArray = bytes_[position] >> 4 == 0xA;
    std::uint64_t count = 0;
    if (!readCount(position, count) ||
        !fits(position, count, isArray ? refWidth_ : refWidth_ * 2)) {
      return false;
    }
    onPath_[ref] = 1;
    const bool ok = isArray ? readArray(position, count, depth, out)
                            : readDictionary(position, count, depth, out);
    onPath_[ref] = 0;
    return ok;
  }

  bool readArray(std::size_t position, std::uint64_t count, std::size_t depth, PropertyList& out) {
    if (!spend(count * sizeof(PropertyList))) {
      return false;
    }
    PropertyList::Array array;
    array.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t child = bigEndian(position + i * refWidth_, refWidth_);
      if (!readObject(child, depth + 1, array.emplace_back())) {
        return false;
      }
    }
    out = PropertyList(std::move(array));
    return true;
  }

  bool readDictionary(std::size_t position, std::uint64_t count, std::size_t depth,
                      PropertyList& out) {
    if (!spend(count * sizeof(PropertyListDictionary::Entry))) {
      return false;
    }
    PropertyList::Dictionary dictionary;
    dictionary.reserve(static_cast<std::size_t>(count));
    std::u16string key;
    const std::size_t valuesStart = position + count * refWidth_;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!readKey(bigEndian(position + i * refWidth_, refWidth_), depth + 1, key)) {
        return false;
      }
      // Reserved above, so the entry stays where it is while its value is read into it; a
      // repeated key takes the later value in the earlier place.
      PropertyList& value = dictionary.findOrAdd(std::move(key));
      if (!readObject(bigEndian(valuesStart + i * refWidth_, refWidth_), depth + 1, value)) {
        return false;
      }
    }
    out = PropertyList(std::move(dictionary));
    return true;
  }

  // What the parsed tree may cost, in bytes, beyond which shared objects are taken as an attack.
  static constexpr std::uint64_t kBudgetBase = std::uint64_t{16} << 20;
  static constexpr std::uint64_t kBudgetPerInputByte = 64;

  std::span<const std::uint8_t> bytes_;
  unsigned offsetWidth_ = 0;
  unsigned refWidth_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t topObject_ = 0;
  std::uint64_t offsetTableOffset_ = 0;
  std::uint64_t budget_ = 0;
  std::vector<std::uint8_t> onPath_;
  Error error_;
};

}  // namespace

bool hasBinaryPropertyListHeader(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kMagic, kHeaderSize) == 0;
}

Result<std::vector<std::uint8_t>> writeBinaryPropertyList(const PropertyList& value) {
  return BinaryWriter().write(value);
}

Result<PropertyList> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  ZV_TRY(checkPropertyListInputSize(bytes.size()));
  if (!hasBinaryPropertyListHeader(bytes)) {
    return readError(localized(u"The data is not a binary property list."));
  }
  return BinaryReader(bytes).read();
}

}  // namespace zv::platform
