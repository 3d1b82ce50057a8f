#include "platform/binary_property_list_view.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/binary_property_list_encoding.h"
#include "platform/binary_property_list_reader.h"

namespace zv::platform {

// The checked bytes and what checking found; values point here, so it stays put when the view
// moves.
struct BinaryPropertyListView::File {
  std::vector<std::uint8_t> owned;
  std::span<const std::uint8_t> bytes;
  bplist::CheckedFile checked;

  std::uint64_t bigEndian(std::size_t position, unsigned width) const {
    return bplist::readBigEndian(&bytes[position], width);
  }
};

std::optional<std::string_view> PropertyListViewString::asciiText() const {
  if (!ascii_) {
    return std::nullopt;
  }
  return std::string_view(reinterpret_cast<const char*>(units_), size_);
}

std::u16string PropertyListViewString::decoded() const {
  std::u16string text(size_, u'\0');
  if (ascii_) {
    bplist::widenAscii(text.data(), units_, size_);
    return text;
  }
  for (std::size_t i = 0; i < size_; ++i) {
    text[i] = (*this)[i];
  }
  return text;
}

bool operator==(const PropertyListViewString& text, std::u16string_view other) {
  if (text.size_ != other.size()) {
    return false;
  }
  for (std::size_t i = 0; i < other.size(); ++i) {
    if (text[i] != other[i]) {
      return false;
    }
  }
  return true;
}

bool operator==(const PropertyListViewString& a, const PropertyListViewString& b) {
  if (a.size_ != b.size_) {
    return false;
  }
  if (a.ascii_ == b.ascii_) {
    return a.size_ == 0 || std::memcmp(a.units_, b.units_, a.size_ * (a.ascii_ ? 1 : 2)) == 0;
  }
  for (std::size_t i = 0; i < a.size_; ++i) {
    if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

Result<BinaryPropertyListView> BinaryPropertyListView::open(std::span<const std::uint8_t> bytes) {
  ZV_ASSIGN_OR_RETURN(bplist::CheckedFile checked, bplist::checkBinaryPropertyList(bytes));
  auto file = std::make_unique<File>();
  file->bytes = bytes;
  file->checked = std::move(checked);
  return BinaryPropertyListView(std::move(file));
}

Result<BinaryPropertyListView> BinaryPropertyListView::open(std::vector<std::uint8_t> bytes) {
  ZV_ASSIGN_OR_RETURN(bplist::CheckedFile checked, bplist::checkBinaryPropertyList(bytes));
  auto file = std::make_unique<File>();
  file->owned = std::move(bytes);
  file->bytes = file->owned;
  file->checked = std::move(checked);
  return BinaryPropertyListView(std::move(file));
}

BinaryPropertyListView::BinaryPropertyListView(std::unique_ptr<File> file)
    : file_(std::move(file)) {}
BinaryPropertyListView::BinaryPropertyListView(BinaryPropertyListView&&) noexcept = default;
BinaryPropertyListView& BinaryPropertyListView::operator=(BinaryPropertyListView&&) noexcept =
    default;
BinaryPropertyListView::~BinaryPropertyListView() = default;

BinaryPropertyListView::Value BinaryPropertyListView::root() const {
  return Value(file_.get(), file_->checked.layout.topObject);
}

// Every object reachable from the top was checked on open, so nothing here checks again.
BinaryPropertyListView::Value::Value(const File* file, std::uint64_t ref) : file_(file) {
  const bplist::Layout& layout = file->checked.layout;
  const auto position = static_cast<std::size_t>(
      file->bigEndian(static_cast<std::size_t>(layout.offsetTableOffset + ref * layout.offsetWidth),
                      layout.offsetWidth));
  marker_ = file->bytes[position];
  count_ = marker_ & 0x0F;
  content_ = position + 1;
  switch (marker_ >> 4) {
    case 0x0:
      type_ = PropertyList::Type::kBoolean;
      return;
    case 0x1:
      type_ = PropertyList::Type::kInteger;
      return;
    case 0x2:
      type_ = PropertyList::Type::kReal;
      return;
    case 0x3:
      type_ = PropertyList::Type::kDate;
      return;
    case 0x8:
      type_ = PropertyList::Type::kUid;
      return;
    case 0x4:
      type_ = PropertyList::Type::kData;
      break;
    case 0x5:
    case 0x6:
      type_ = PropertyList::Type::kString;
      break;
    case 0xA:
      type_ = PropertyList::Type::kArray;
      break;
    default:
      type_ = PropertyList::Type::kDictionary;
      break;
  }
  if (count_ == bplist::kCountFollows) {
    const unsigned width = 1u << (file->bytes[content_] & 0x0F);
    count_ = file->bigEndian(content_ + 1, width);
    content_ += 1 + width;
  }
  if (type_ == PropertyList::Type::kDictionary && !file->checked.repeatedKeys.empty()) {
    auto found = file->checked.repeatedKeys.find(ref);
    if (found != file->checked.repeatedKeys.end()) {
      distinct_ = &found->second;
    }
  }
}

std::optional<PropertyListInteger> BinaryPropertyListView::Value::asInteger() const {
  if (type_ != PropertyList::Type::kInteger) {
    return std::nullopt;
  }
  const unsigned width = 1u << count_;
  if (width < 8) {
    return PropertyListInteger(file_->bigEndian(content_, width));
  }
  if (width == 8) {
    return PropertyListInteger(static_cast<std::int64_t>(file_->bigEndian(content_, 8)));
  }
  // Checked to lie in [-2^63, 2^64): the high half is all zeros or all ones.
  const std::uint64_t low = file_->bigEndian(content_ + 8, 8);
  if (file_->bigEndian(content_, 8) == 0) {
    return PropertyListInteger(low);
  }
  return PropertyListInteger(static_cast<std::int64_t>(low));
}

std::optional<double> BinaryPropertyListView::Value::asReal() const {
  if (type_ != PropertyList::Type::kReal && type_ != PropertyList::Type::kDate) {
    return std::nullopt;
  }
  if (count_ == 2) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(file_->bigEndian(content_, 4)));
  }
  return std::bit_cast<double>(file_->bigEndian(content_, 8));
}

std::optional<bool> BinaryPropertyListView::Value::asBoolean() const {
  if (type_ != PropertyList::Type::kBoolean) {
    return std::nullopt;
  }
  return count_ == (bplist::kTrueMarker & 0x0F);
}

std::optional<Date> BinaryPropertyListView::Value::asDate() const {
  if (type_ != PropertyList::Type::kDate) {
    return std::nullopt;
  }
  return Date{*asReal()};
}

std::optional<PropertyListUid> BinaryPropertyListView::Value::asUid() const {
  if (type_ != PropertyList::Type::kUid) {
    return std::nullopt;
  }
  return PropertyListUid{file_->bigEndian(content_, static_cast<unsigned>(count_) + 1)};
}

std::optional<std::span<const std::uint8_t>> BinaryPropertyListView::Value::asData() const {
  if (type_ != PropertyList::Type::kData) {
    return std::nullopt;
  }
  return file_->bytes.subspan(content_, static_cast<std::size_t>(count_));
}

std::optional<PropertyListViewString> BinaryPropertyListView::Value::asString() const {
  if (type_ != PropertyList::Type::kString) {
    return std::nullopt;
  }
  return PropertyListViewString(&file_->bytes[content_], static_cast<std::size_t>(count_),
                                marker_ >> 4 == 0x5);
}

std::size_t BinaryPropertyListView::Value::size() const {
  if (type_ == PropertyList::Type::kArray) {
    return static_cast<std::size_t>(count_);
  }
  if (type_ != PropertyList::Type::kDictionary) {
    return 0;
  }
  return distinct_ != nullptr ? distinct_->size() : static_cast<std::size_t>(count_);
}

std::uint64_t BinaryPropertyListView::Value::reference(std::uint64_t index) const {
  const unsigned width = file_->checked.layout.refWidth;
  return file_->bigEndian(static_cast<std::size_t>(content_ + index * width), width);
}

std::uint64_t BinaryPropertyListView::Value::keyIndex(std::size_t index) const {
  return distinct_ != nullptr ? (*distinct_)[index].keyIndex : index;
}

std::uint64_t BinaryPropertyListView::Value::valueIndex(std::size_t index) const {
  return count_ + (distinct_ != nullptr ? (*distinct_)[index].valueIndex : index);
}

// Nothing is checked past open(), so a reference read out of range would read beyond the object.
BinaryPropertyListView::Value BinaryPropertyListView::Value::element(std::size_t index) const {
  assert(isArray() && index < size());
  return Value(file_, reference(index));
}

PropertyListViewString BinaryPropertyListView::Value::key(std::size_t index) const {
  assert(isDictionary() && index < size());
  return *Value(file_, reference(keyIndex(index))).asString();
}

BinaryPropertyListView::Value BinaryPropertyListView::Value::value(std::size_t index) const {
  assert(isDictionary() && index < size());
  return Value(file_, reference(valueIndex(index)));
}

std::optional<BinaryPropertyListView::Value> BinaryPropertyListView::Value::find(
    std::u16string_view key) const {
  if (type_ != PropertyList::Type::kDictionary) {
    return std::nullopt;
  }
  // From the end: where a key repeats, its last value is the one that counts.
  for (std::uint64_t i = count_; i-- > 0;) {
    if (Value(file_, reference(i)).asString() == key) {
      return Value(file_, reference(count_ + i));
    }
  }
  return std::nullopt;
}

}  // namespace zv::platform
