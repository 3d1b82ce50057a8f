#include "platform/binary_property_list_reader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/binary_property_list.h"
#include "platform/binary_property_list_encoding.h"
#include "platform/localization.h"

namespace zv::platform {
namespace {

using namespace bplist;  // NOLINT(google-build-using-namespace): the format's own names

Error readError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListReadCorrupt, std::move(description));
}

// Stands for a value where only checking is asked for.
struct Unbuilt {};

// A string object in place, its units big-endian (or ASCII bytes).
struct StoredText {
  const std::uint8_t* bytes;
  std::uint64_t count;
  bool ascii;

  char16_t unit(std::uint64_t i) const {
    return ascii ? char16_t{bytes[i]} : static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  }

  friend bool operator==(const StoredText& a, const StoredText& b) {
    if (a.count != b.count) {
      return false;
    }
    if (a.ascii == b.ascii) {
      return std::memcmp(a.bytes, b.bytes, a.count * (a.ascii ? 1 : 2)) == 0;
    }
    for (std::uint64_t i = 0; i < a.count; ++i) {
      if (a.unit(i) != b.unit(i)) {
        return false;
      }
    }
    return true;
  }

  // Equal for equal units, whichever encoding holds them.
  std::uint64_t hash() const {
    std::uint64_t hash = count * 0x9E37'79B9'7F4A'7C15ULL;
    for (std::uint64_t i = 0; i < count; ++i) {
      hash = (hash ^ unit(i)) * 0x0000'0100'0000'01B3ULL;
    }
    return hash;
  }
};

// The first failure is kept in a member and each step returns a plain bool: this runs once per
// value of a library-sized tree, and a Result per step would build and test an Error-sized
// variant at every one of them. kBuild reads values into a tree; without it the same walk only
// checks, so the view accepts exactly what the tree reader does, with the same first error.
template <bool kBuild>
class BinaryReader {
 public:
  using Out = std::conditional_t<kBuild, PropertyList, Unbuilt>;

  explicit BinaryReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  Result<PropertyList> read() requires kBuild {
    if (!readTrailer()) {
      return std::move(error_);
    }
    PropertyList root;
    if (!readObject(layout_.topObject, 1, root)) {
      return std::move(error_);
    }
    return root;
  }

  Result<CheckedFile> check() requires(!kBuild) {
    if (!readTrailer()) {
      return std::move(error_);
    }
    Unbuilt root;
    if (!readObject(layout_.topObject, 1, root)) {
      return std::move(error_);
    }
    return CheckedFile{layout_, std::move(repeatedKeys_)};
  }

 private:
  // Flags of onPath_, per object.
  static constexpr std::uint8_t kOnPath = 1;
  static constexpr std::uint8_t kKeysCompared = 2;

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
    layout_.offsetWidth = bytes_[trailer + 6];
    layout_.refWidth = bytes_[trailer + 7];
    layout_.objectCount = bigEndian(trailer + 8, 8);
    layout_.topObject = bigEndian(trailer + 16, 8);
    layout_.offsetTableOffset = bigEndian(trailer + 24, 8);
    offsetWidth_ = layout_.offsetWidth;
    refWidth_ = layout_.refWidth;
    objectCount_ = layout_.objectCount;
    offsetTableOffset_ = layout_.offsetTableOffset;
    if (!isValidWidth(offsetWidth_) || !isValidWidth(refWidth_)) {
      return failDamaged(u"the trailer gives an invalid integer width");
    }
    if (objectCount_ == 0 || layout_.topObject >= objectCount_) {
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

  bool readString(std::size_t position, bool ascii, Out& out) {
    if constexpr (kBuild) {
      std::u16string text;
      if (!decodeString(position, ascii, text)) {
        return false;
      }
      out = PropertyList(std::move(text));
      return true;
    } else {
      return checkString(position, ascii);
    }
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

  // What decodeString() checks, on the stored bytes.
  bool checkString(std::size_t position, bool ascii) {
    std::uint64_t count = 0;
    if (!readCount(position, count) || !fits(position, count, ascii ? 1 : 2) || !spend(count * 2)) {
      return false;
    }
    const std::uint8_t* text = &bytes_[position];
    if (ascii) {
      std::uint64_t high = 0;
      std::uint64_t i = 0;
      for (; i + 8 <= count; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text + i, 8);
        high |= word;
      }
      for (; i < count; ++i) {
        high |= text[i];
      }
      if ((high & 0x8080'8080'8080'8080ULL) != 0) {
        return failDamaged(u"an ASCII string holds a non-ASCII byte");
      }
      return true;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      const unsigned unit = text[2 * i] << 8 | text[2 * i + 1];
      if (unit < 0xD800 || unit > 0xDFFF) {
        continue;
      }
      const unsigned next = i + 1 < count ? (text[2 * i + 2] << 8 | text[2 * i + 3]) : 0;
      if (unit > 0xDBFF || i + 1 == count || next < 0xDC00 || next > 0xDFFF) {
        return failDamaged(u"a string is not valid UTF-16");
      }
      ++i;
    }
    return true;
  }

  // Reads dictionary key ref (into text when building) without building a value around it.
  bool readKey(std::uint64_t ref, std::size_t depth, std::u16string& text) {
    std::size_t position = 0;
    if (!objectStart(ref, position)) {
      return false;
    }
    const unsigned type = bytes_[position] >> 4;
    if (type == 0x5 || type == 0x6) {
      if constexpr (kBuild) {
        return decodeString(position, type == 0x5, text);
      } else {
        return checkString(position, type == 0x5);
      }
    }
    // Whatever else it is, it is read as a value would be, so a damaged key reports the same
    // fault as a damaged value.
    Out key;
    if (!readObject(ref, depth, key)) {
      return false;
    }
    return failDamaged(u"a dictionary key is not a string");
  }

  bool readInteger(std::size_t position, Out& out) {
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
      if constexpr (kBuild) {
        out = PropertyList(bigEndian(position + 1, width));
      }
      return true;
    }
    if (width == 8) {
      if constexpr (kBuild) {
        out = PropertyList(static_cast<std::int64_t>(bigEndian(position + 1, 8)));
      }
      return true;
    }
    // Sixteen bytes: a signed 128-bit value that must lie within [-2^63, 2^64).
    const std::uint64_t high = bigEndian(position + 1, 8);
    const std::uint64_t low = bigEndian(position + 9, 8);
    if (high == 0) {
      if constexpr (kBuild) {
        out = PropertyList(low);
      }
      return true;
    }
    if (high == ~std::uint64_t{0} && low >> 63 != 0) {
      if constexpr (kBuild) {
        out = PropertyList(static_cast<std::int64_t>(low));
      }
      return true;
    }
    return failDamaged(u"an integer is outside the 64-bit range");
  }

  bool readReal(std::size_t position, bool isDate, Out& out) {
    const unsigned log2Width = bytes_[position] & 0x0F;
    if ((isDate && log2Width != 3) || (log2Width != 2 && log2Width != 3)) {
      return failDamaged(u"a real has an invalid width");
    }
    const unsigned width = 1u << log2Width;
    if (!fits(position + 1, width, 1)) {
      return false;
    }
    if constexpr (kBuild) {
      double real = 0;
      if (width == 4) {
        real = std::bit_cast<float>(static_cast<std::uint32_t>(bigEndian(position + 1, 4)));
      } else {
        real = std::bit_cast<double>(bigEndian(position + 1, 8));
      }
      out = isDate ? PropertyList(Date{real}) : PropertyList(real);
    }
    return true;
  }

  bool readObject(std::uint64_t ref, std::size_t depth, Out& out) {
    std::size_t position = 0;
    if (!objectStart(ref, position)) {
      return false;
    }
    const std::uint8_t marker = bytes_[position];
    switch (marker >> 4) {
      case 0x0:
        if (marker == kFalseMarker || marker == kTrueMarker) {
          if constexpr (kBuild) {
            out = PropertyList(marker == kTrueMarker);
          }
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
        if constexpr (kBuild) {
          const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(position);
          out = PropertyList(PropertyList::Data(begin, begin + static_cast<std::ptrdiff_t>(count)));
        }
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
        if constexpr (kBuild) {
          out = PropertyList(PropertyListUid{bigEndian(position + 1, width)});
        }
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

  bool readContainer(std::uint64_t ref, std::size_t position, std::size_t depth, Out& out) {
    if (depth > kPropertyListMaximumDepth) {
      return fail(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                  {static_cast<std::int64_t>(kPropertyListMaximumDepth)}));
    }
    if ((onPath_[ref] & kOnPath) != 0) {
      return failDamaged(u"a container contains itself");
    }
    const bool isArray = bytes_[position] >> 4 == 0xA;
    std::uint64_t count = 0;
    if (!readCount(position, count) ||
        !fits(position, count, isArray ? refWidth_ : refWidth_ * 2)) {
      return false;
    }
    onPath_[ref] |= kOnPath;
    const bool ok = isArray ? readArray(position, count, depth, out)
                            : readDictionary(ref, position, count, depth, out);
    onPath_[ref] &= ~kOnPath;
    return ok;
  }

  bool readArray(std::size_t position, std::uint64_t count, std::size_t depth, Out& out) {
    if (!spend(count * sizeof(PropertyList))) {
      return false;
    }
    if constexpr (kBuild) {
      PropertyList::Array array;
      array.reserve(static_cast<std::size_t>(count));
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t child = bigEndian(position + i * refWidth_, refWidth_);
        if (!readObject(child, depth + 1, array.emplace_back())) {
          return false;
        }
      }
      out = PropertyList(std::move(array));
    } else {
      for (std::uint64_t i = 0; i < count; ++i) {
        Unbuilt child;
        if (!readObject(bigEndian(position + i * refWidth_, refWidth_), depth + 1, child)) {
          return false;
        }
      }
    }
    return true;
  }

  bool readDictionary(std::uint64_t ref, std::size_t position, std::uint64_t count,
                      std::size_t depth, Out& out) {
    if (!spend(count * sizeof(PropertyListDictionary::Entry))) {
      return false;
    }
    [[maybe_unused]] PropertyList::Dictionary dictionary;
    if constexpr (kBuild) {
      dictionary.reserve(static_cast<std::size_t>(count));
    }
    std::u16string key;
    const std::size_t valuesStart = position + count * refWidth_;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!readKey(bigEndian(position + i * refWidth_, refWidth_), depth + 1, key)) {
        return false;
      }
      const std::uint64_t valueRef = bigEndian(valuesStart + i * refWidth_, refWidth_);
      if constexpr (kBuild) {
        // Reserved above, so the entry stays where it is while its value is read into it; a
        // repeated key takes the later value in the earlier place.
        if (!readObject(valueRef, depth + 1, dictionary.findOrAdd(std::move(key)))) {
          return false;
        }
      } else {
        Unbuilt value;
        if (!readObject(valueRef, depth + 1, value)) {
          return false;
        }
      }
    }
    if constexpr (kBuild) {
      out = PropertyList(std::move(dictionary));
    } else if ((onPath_[ref] & kKeysCompared) == 0) {
      onPath_[ref] |= kKeysCompared;
      noteRepeatedKeys(ref, position, count);
    }
    return true;
  }

  // The key of a checked dictionary whose key references start at position.
  StoredText storedKey(std::size_t position, std::uint64_t index) const {
    const std::uint64_t ref = bigEndian(position + index * refWidth_, refWidth_);
    std::size_t start = static_cast<std::size_t>(
        bigEndian(static_cast<std::size_t>(offsetTableOffset_ + ref * offsetWidth_), offsetWidth_));
    const bool ascii = bytes_[start] >> 4 == 0x5;
    std::uint64_t keyCount = bytes_[start] & 0x0F;
    ++start;
    if (keyCount == kCountFollows) {
      const unsigned width = 1u << (bytes_[start] & 0x0F);
      keyCount = bigEndian(start + 1, width);
      start += 1 + width;
    }
    return {&bytes_[start], keyCount, ascii};
  }

  // Remembers, for a dictionary that repeats a key, what the tree reader makes of it: each key
  // once, in the place it first had, with the value it had last.
  void noteRepeatedKeys(std::uint64_t ref, std::size_t position, std::uint64_t count) {
    keys_.clear();
    for (std::uint64_t i = 0; i < count; ++i) {
      keys_.push_back(storedKey(position, i));
    }
    // first_[i]: the first index holding key i's text. Few keys are compared pairwise, many
    // sorted by hash first.
    first_.resize(count);
    bool repeats = false;
    if (count <= kPairwiseKeys) {
      for (std::uint64_t i = 0; i < count; ++i) {
        first_[i] = i;
        for (std::uint64_t j = 0; j < i; ++j) {
          if (keys_[j] == keys_[i]) {
            first_[i] = first_[j];
            repeats = true;
            break;
          }
        }
      }
    } else {
      order_.clear();
      for (std::uint64_t i = 0; i < count; ++i) {
        order_.emplace_back(keys_[i].hash(), i);
        first_[i] = i;
      }
      std::sort(order_.begin(), order_.end());
      for (std::size_t start = 0; start < order_.size();) {
        std::size_t end = start + 1;
        while (end < order_.size() && order_[end].first == order_[start].first) {
          ++end;
        }
        for (std::size_t a = start + 1; a < end; ++a) {
          for (std::size_t b = start; b < a; ++b) {
            if (keys_[order_[b].second] == keys_[order_[a].second]) {
              first_[order_[a].second] = first_[order_[b].second];
              repeats = true;
              break;
            }
          }
        }
        start = end;
      }
    }
    if (!repeats) {
      return;
    }
    std::vector<DistinctEntry>& entries = repeatedKeys_[ref];
    std::unordered_map<std::uint64_t, std::size_t> entryOfFirst;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (first_[i] == i) {
        entryOfFirst.emplace(i, entries.size());
        entries.push_back({i, i});
      } else {
        entries[entryOfFirst.at(first_[i])].valueIndex = i;
      }
    }
  }

  // What the parsed tree may cost, in bytes, beyond which shared objects are taken as an attack.
  static constexpr std::uint64_t kBudgetBase = std::uint64_t{16} << 20;
  static constexpr std::uint64_t kBudgetPerInputByte = 64;
  static constexpr std::uint64_t kPairwiseKeys = 16;

  std::span<const std::uint8_t> bytes_;
  Layout layout_;
  unsigned offsetWidth_ = 0;
  unsigned refWidth_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t offsetTableOffset_ = 0;
  std::uint64_t budget_ = 0;
  std::vector<std::uint8_t> onPath_;
  Error error_;
  // Checking only.
  std::unordered_map<std::uint64_t, std::vector<DistinctEntry>> repeatedKeys_;
  std::vector<StoredText> keys_;
  std::vector<std::uint64_t> first_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> order_;
};

// The checks both readers make before the first object.
Result<void> checkHeader(std::span<const std::uint8_t> bytes) {
  ZV_TRY(checkPropertyListInputSize(bytes.size()));
  if (!hasBinaryPropertyListHeader(bytes)) {
    return readError(localized(u"The data is not a binary property list."));
  }
  return {};
}

}  // namespace

bool hasBinaryPropertyListHeader(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kMagic, kHeaderSize) == 0;
}

Result<PropertyList> readBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  ZV_TRY(checkHeader(bytes));
  return BinaryReader<true>(bytes).read();
}

Result<CheckedFile> bplist::checkBinaryPropertyList(std::span<const std::uint8_t> bytes) {
  ZV_TRY(checkHeader(bytes));
  return BinaryReader<false>(bytes).check();
}

}  // namespace zv::platform
