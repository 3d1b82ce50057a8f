#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date.h"
#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

namespace bplist {
struct DistinctEntry;
}

/// A string of a checked binary property list, read where it is stored (ASCII bytes or
/// big-endian UTF-16 units); valid UTF-16.
class PropertyListViewString {
 public:
  PropertyListViewString(const std::uint8_t* units, std::size_t size, bool ascii)
      : units_(units), size_(size), ascii_(ascii) {}

  /// Length in UTF-16 code units.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char16_t operator[](std::size_t index) const {
    return ascii_ ? char16_t{units_[index]}
                  : static_cast<char16_t>(units_[2 * index] << 8 | units_[2 * index + 1]);
  }
  /// The ASCII text itself when the file stores it so, without decoding.
  std::optional<std::string_view> asciiText() const;
  std::u16string decoded() const;

  friend bool operator==(const PropertyListViewString& text, std::u16string_view other);
  friend bool operator==(const PropertyListViewString& a, const PropertyListViewString& b);

 private:
  const std::uint8_t* units_;
  std::size_t size_;
  bool ascii_;
};

/// A binary property list ("bplist00") read in place: opening checks the whole file exactly as
/// readBinaryPropertyList() does (it fails where that fails, with the same error), and then each
/// value is read from the bytes only when asked for, so memory stays at the size of the file.
/// What a value shows equals what the tree reader builds, a dictionary that repeats a key
/// included (each key once, in its first place, with its last value).
class BinaryPropertyListView {
 public:
  class Value;

  /// Checks bytes and views them; the caller keeps them alive and unchanged while the view and
  /// its values are used.
  static Result<BinaryPropertyListView> open(std::span<const std::uint8_t> bytes);
  /// The same over bytes the view keeps.
  static Result<BinaryPropertyListView> open(std::vector<std::uint8_t> bytes);

  BinaryPropertyListView(BinaryPropertyListView&&) noexcept;
  BinaryPropertyListView& operator=(BinaryPropertyListView&&) noexcept;
  ~BinaryPropertyListView();

  /// The top object. Values stay valid while the view lives, moved or not.
  Value root() const;

 private:
  struct File;

  explicit BinaryPropertyListView(std::unique_ptr<File> file);

  std::unique_ptr<File> file_;
};

/// One value of a view: a cheap handle, copied freely. Accessors of another type answer nothing
/// (or 0 for size()).
class BinaryPropertyListView::Value {
 public:
  PropertyList::Type type() const { return type_; }
  bool isArray() const { return type_ == PropertyList::Type::kArray; }
  bool isDictionary() const { return type_ == PropertyList::Type::kDictionary; }

  std::optional<PropertyListInteger> asInteger() const;
  std::optional<double> asReal() const;
  std::optional<bool> asBoolean() const;
  std::optional<Date> asDate() const;
  std::optional<PropertyListUid> asUid() const;
  std::optional<std::span<const std::uint8_t>> asData() const;
  std::optional<PropertyListViewString> asString() const;

  /// Elements of an array, or entries (distinct keys) of a dictionary.
  std::size_t size() const;
  /// Element index (< size()) of an array.
  Value element(std::size_t index) const;
  /// Key and value of entry index (< size()) of a dictionary, in the file's order.
  PropertyListViewString key(std::size_t index) const;
  Value value(std::size_t index) const;
  /// For a dictionary, the value under key, by a linear scan; nothing when absent.
  std::optional<Value> find(std::u16string_view key) const;

 private:
  friend class BinaryPropertyListView;
  Value(const File* file, std::uint64_t ref);
  // Reference index of a container (raw: keys, then values, for a dictionary).
  std::uint64_t reference(std::uint64_t index) const;
  // The raw key index and value index of entry index of a dictionary.
  std::uint64_t keyIndex(std::size_t index) const;
  std::uint64_t valueIndex(std::size_t index) const;

  const File* file_;
  // Set for a dictionary that repeats a key: its distinct entries.
  const std::vector<bplist::DistinctEntry>* distinct_ = nullptr;
  std::size_t content_ = 0;  // past the marker and its count
  std::uint64_t count_ = 0;  // of units, bytes or raw references; the low nibble for scalars
  PropertyList::Type type_ = PropertyList::Type::kDictionary;
  std::uint8_t marker_ = 0;
};

}  // namespace zv::platform
