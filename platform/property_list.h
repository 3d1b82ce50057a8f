#pragma once

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/date.h"
#include "platform/result.h"

namespace zv::platform {

/// Containers nest at most this deep (the root counts as depth 1), on read and on write.
inline constexpr std::size_t kPropertyListMaximumDepth = 512;
/// Readers refuse larger inputs outright.
inline constexpr std::size_t kPropertyListMaximumInputSize = std::size_t{256} << 20;

/// A keyed archive's object reference (binary property lists only; XML carries it as a
/// dictionary {"CF$UID": integer}).
struct PropertyListUid {
  std::uint64_t value = 0;

  // clang-tidy 14 takes the standard library's comparison with literal 0 for a null pointer.
  // NOLINTNEXTLINE(modernize-use-nullptr)
  friend auto operator<=>(const PropertyListUid&, const PropertyListUid&) = default;
};

/// An integer as the binary format can hold it: any signed 64-bit value, or an unsigned value
/// up to 2^64 - 1. Values that fit a signed 64-bit integer are always held as signed, so two
/// integers are equal exactly when their numeric values are.
class PropertyListInteger {
 public:
  constexpr PropertyListInteger() = default;
  template <std::integral T>
  requires(!std::same_as<T, bool>) constexpr PropertyListInteger(
      T value)  // NOLINT(google-explicit-constructor)
      : bits_(static_cast<std::uint64_t>(value)),
        isUnsigned_(std::is_unsigned_v<T> && static_cast<std::uint64_t>(value) > kInt64Max) {}

  /// The value when it fits a signed 64-bit integer.
  constexpr std::optional<std::int64_t> signedValue() const {
    if (isUnsigned_) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(bits_);
  }
  /// The value when it is not negative.
  constexpr std::optional<std::uint64_t> unsignedValue() const {
    if (!isUnsigned_ && static_cast<std::int64_t>(bits_) < 0) {
      return std::nullopt;
    }
    return bits_;
  }
  constexpr bool isNegative() const { return !isUnsigned_ && static_cast<std::int64_t>(bits_) < 0; }
  /// True for values above the signed 64-bit range (2^63 to 2^64 - 1).
  constexpr bool isAboveInt64() const { return isUnsigned_; }
  /// The two's-complement bits (the value itself when isAboveInt64()).
  constexpr std::uint64_t bits() const { return bits_; }

  friend constexpr bool operator==(const PropertyListInteger&,
                                   const PropertyListInteger&) = default;

 private:
  static constexpr std::uint64_t kInt64Max = 0x7fff'ffff'ffff'ffffULL;
  std::uint64_t bits_ = 0;
  bool isUnsigned_ = false;
};

class PropertyList;
struct PropertyListDictionaryEntry;

/// A dictionary with string keys that keeps its keys in insertion order (so that written files
/// are deterministic) and finds a key in constant expected time.
class PropertyListDictionary {
 public:
  using Entry = PropertyListDictionaryEntry;

  PropertyListDictionary() noexcept;
  PropertyListDictionary(const PropertyListDictionary&);
  PropertyListDictionary(PropertyListDictionary&&) noexcept;
  PropertyListDictionary& operator=(const PropertyListDictionary&);
  PropertyListDictionary& operator=(PropertyListDictionary&&) noexcept;
  ~PropertyListDictionary();

  std::size_t size() const;
  bool empty() const;
  /// The entries in insertion order.
  const std::vector<Entry>& entries() const { return entries_; }
  const Entry* begin() const;
  const Entry* end() const;

  /// The value stored under key, or null.
  const PropertyList* find(std::u16string_view key) const;
  PropertyList* find(std::u16string_view key);
  bool contains(std::u16string_view key) const;

  /// Stores value under key: a new key goes last, an existing key keeps its place and gets the
  /// new value. Returns the stored value.
  PropertyList& set(std::u16string key, PropertyList value);
  /// The value stored under key; when key is new, an empty dictionary stored last under it.
  /// Lets a reader build a value where it will live instead of building and then moving it; the
  /// reference holds until an added key outgrows the room reserve() made.
  PropertyList& findOrAdd(std::u16string key);
  /// Removes key if present (later keys move up one place); returns whether it was present.
  bool erase(std::u16string_view key);
  void reserve(std::size_t count);
  void clear();

  /// Equal when both hold the same keys in the same order with equal values.
  friend bool operator==(const PropertyListDictionary&, const PropertyListDictionary&);

 private:
  std::size_t indexOf(std::u16string_view key) const;
  void rebuildIndex();
  void indexEntry(std::size_t entryIndex);
  void indexLastEntry();

  std::vector<Entry> entries_;
  // Open-addressing table of entry positions plus one (0 marks a free slot); built only once a
  // dictionary outgrows a short linear scan.
  std::vector<std::uint32_t> slots_;
};

/// One value of a property list: string, integer, real, boolean, date, data, array,
/// dictionary or UID. Values own their children; copies are deep.
class PropertyList {
 public:
  using Array = std::vector<PropertyList>;
  using Dictionary = PropertyListDictionary;
  using Data = std::vector<std::uint8_t>;

  enum class Type : std::uint8_t {
    kString,
    kInteger,
    kReal,
    kBoolean,
    kDate,
    kData,
    kArray,
    kDictionary,
    kUid,
  };

  /// An empty dictionary, the usual root.
  PropertyList() : value_(Dictionary()) {}
  // Out of line: inlined, this constructor trips a false GCC 12 -Wmaybe-uninitialized warning
  // in callers such as Array::emplace_back(std::u16string).
  PropertyList(std::u16string value);                                         // NOLINT
  PropertyList(std::u16string_view value) : value_(std::u16string(value)) {}  // NOLINT
  PropertyList(const char16_t* value) : value_(std::u16string(value)) {}      // NOLINT
  // UTF-8 text must be converted explicitly; without this a literal would become a boolean.
  PropertyList(const char*) = delete;
  PropertyList(PropertyListInteger value) : value_(value) {}  // NOLINT
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char> && !std::same_as<T, char16_t>)
      PropertyList(T value)
      : value_(PropertyListInteger(value)) {}    // NOLINT
  PropertyList(double value) : value_(value) {}  // NOLINT
  template <typename T>
  requires std::same_as<T, bool> PropertyList(T value) : value_(value) {}  // NOLINT
  PropertyList(Date value) : value_(value) {}                              // NOLINT
  PropertyList(Data value) : value_(std::move(value)) {}                   // NOLINT
  PropertyList(Array value) : value_(std::move(value)) {}                  // NOLINT
  PropertyList(Dictionary value) : value_(std::move(value)) {}             // NOLINT
  PropertyList(PropertyListUid value) : value_(value) {}                   // NOLINT

  Type type() const { return static_cast<Type>(value_.index()); }

  /// Each accessor answers null (or nothing) when the value is of another type.
  const std::u16string* asString() const { return std::get_if<std::u16string>(&value_); }
  std::u16string* asString() { return std::get_if<std::u16string>(&value_); }
  std::optional<PropertyListInteger> asInteger() const;
  /// The integer when it fits a signed 64-bit integer.
  std::optional<std::int64_t> asInt64() const;
  /// The integer when it is not negative.
  std::optional<std::uint64_t> asUint64() const;
  std::optional<double> asReal() const;
  std::optional<bool> asBoolean() const;
  std::optional<Date> asDate() const;
  std::optional<PropertyListUid> asUid() const;
  const Data* asData() const { return std::get_if<Data>(&value_); }
  Data* asData() { return std::get_if<Data>(&value_); }
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  Array* asArray() { return std::get_if<Array>(&value_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&value_); }

  /// For a dictionary, the value under key; null for a missing key or another type.
  const PropertyList* find(std::u16string_view key) const;
  PropertyList* find(std::u16string_view key);

  /// Deep equality; reals compare as numbers (so NaN is unequal to itself).
  friend bool operator==(const PropertyList&, const PropertyList&) = default;

 private:
  // The order matches Type.
  std::variant<std::u16string, PropertyListInteger, double, bool, Date, Data, Array, Dictionary,
               PropertyListUid>
      value_;
};

struct PropertyListDictionaryEntry {
  // Spelled out, so that entries are built in place on every compiler.
  PropertyListDictionaryEntry() = default;
  explicit PropertyListDictionaryEntry(std::u16string&& entryKey) : key(std::move(entryKey)) {}
  PropertyListDictionaryEntry(std::u16string&& entryKey, PropertyList&& entryValue)
      : key(std::move(entryKey)), value(std::move(entryValue)) {}

  std::u16string key;
  PropertyList value;

  friend bool operator==(const PropertyListDictionaryEntry&,
                         const PropertyListDictionaryEntry&) = default;
};

// Defined here, where the entry type is complete (some compilers need it in inline bodies).
inline std::size_t PropertyListDictionary::size() const {
  return entries_.size();
}
inline bool PropertyListDictionary::empty() const {
  return entries_.empty();
}
inline bool PropertyListDictionary::contains(std::u16string_view key) const {
  return find(key) != nullptr;
}

/// The name of a type as messages show it ("string", "dictionary", ...).
std::u16string_view propertyListTypeName(PropertyList::Type type);

/// True when text is well-formed UTF-16 (every surrogate paired), as both formats require.
bool isValidUtf16(std::u16string_view text);

/// A read error when an input of byteCount bytes is above kPropertyListMaximumInputSize, which
/// both formats refuse before reading.
Result<void> checkPropertyListInputSize(std::size_t byteCount);

}  // namespace zv::platform
