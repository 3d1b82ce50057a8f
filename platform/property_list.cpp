#include "platform/property_list.h"

#include <functional>
#include <utility>

#include "platform/localization.h"

namespace zv::platform {
namespace {

// Up to this many keys a linear scan beats hashing, and most dictionaries (records of a handful
// of keys) then carry no index at all.
constexpr std::size_t kLinearScanLimit = 8;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

std::size_t hashKey(std::u16string_view key) {
  return std::hash<std::u16string_view>{}(key);
}

// A copy of the value when the variant holds a T; the scalar kinds are cheap to copy.
template <typename T, typename Variant>
std::optional<T> scalarIf(const Variant& value) {
  if (const auto* held = std::get_if<T>(&value)) {
    return *held;
  }
  return std::nullopt;
}

}  // namespace

PropertyListDictionary::PropertyListDictionary() noexcept = default;
PropertyListDictionary::PropertyListDictionary(const PropertyListDictionary&) = default;
PropertyListDictionary::PropertyListDictionary(PropertyListDictionary&&) noexcept = default;
PropertyListDictionary& PropertyListDictionary::operator=(const PropertyListDictionary&) = default;
PropertyListDictionary& PropertyListDictionary::operator=(PropertyListDictionary&&) noexcept =
    default;
PropertyListDictionary::~PropertyListDictionary() = default;

const PropertyListDictionary::Entry* PropertyListDictionary::begin() const {
  return entries_.data();
}
const PropertyListDictionary::Entry* PropertyListDictionary::end() const {
  return entries_.data() + entries_.size();
}

std::size_t PropertyListDictionary::indexOf(std::u16string_view key) const {
  if (slots_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].key == key) {
        return i;
      }
    }
    return kNotFound;
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t stored = slots_[slot];
    if (stored == 0) {
      return kNotFound;
    }
    if (entries_[stored - 1].key == key) {
      return stored - 1;
    }
  }
}

void PropertyListDictionary::indexEntry(std::size_t entryIndex) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hashKey(entries_[entryIndex].key) & mask;
  while (slots_[slot] != 0) {
    slot = (slot + 1) & mask;
  }
  slots_[slot] = static_cast<std::uint32_t>(entryIndex + 1);
}

void PropertyListDictionary::rebuildIndex() {
  slots_.clear();
  if (entries_.size() <= kLinearScanLimit) {
    return;
  }
  // At most half full, so probe sequences stay short and always end at a free slot.
  std::size_t capacity = 16;
  while (capacity < entries_.size() * 2) {
    capacity *= 2;
  }
  slots_.assign(capacity, 0);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    indexEntry(i);
  }
}

const PropertyList* PropertyListDictionary::find(std::u16string_view key) const {
  const std::size_t index = indexOf(key);
  return index == kNotFound ? nullptr : &entries_[index].value;
}

PropertyList* PropertyListDictionary::find(std::u16string_view key) {
  const std::size_t index = indexOf(key);
  return index == kNotFound ? nullptr : &entries_[index].value;
}

PropertyList& PropertyListDictionary::set(std::u16string key, PropertyList value) {
  if (const std::size_t index = indexOf(key); index != kNotFound) {
    entries_[index].value = std::move(value);
    return entries_[index].value;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  indexLastEntry();
  return entries_.back().value;
}

PropertyList& PropertyListDictionary::findOrAdd(std::u16string key) {
  if (const std::size_t index = indexOf(key); index != kNotFound) {
    return entries_[index].value;
  }
  entries_.emplace_back(std::move(key));
  indexLastEntry();
  return entries_.back().value;
}

void PropertyListDictionary::indexLastEntry() {
  if (entries_.size() > kLinearScanLimit) {
    if (entries_.size() * 2 > slots_.size()) {
      rebuildIndex();
    } else {
      indexEntry(entries_.size() - 1);
    }
  }
}

bool PropertyListDictionary::erase(std::u16string_view key) {
  const std::size_t index = indexOf(key);
  if (index == kNotFound) {
    return false;
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  rebuildIndex();
  return true;
}

void PropertyListDictionary::reserve(std::size_t count) {
  entries_.reserve(count);
}

void PropertyListDictionary::clear() {
  entries_.clear();
  slots_.clear();
}

bool operator==(const PropertyListDictionary& left, const PropertyListDictionary& right) {
  return left.entries_ == right.entries_;
}

PropertyList::PropertyList(std::u16string value) : value_(std::move(value)) {}

std::optional<PropertyListInteger> PropertyList::asInteger() const {
  return scalarIf<PropertyListInteger>(value_);
}

std::optional<std::int64_t> PropertyList::asInt64() const {
  if (const auto* integer = std::get_if<PropertyListInteger>(&value_)) {
    return integer->signedValue();
  }
  return std::nullopt;
}

std::optional<std::uint64_t> PropertyList::asUint64() const {
  if (const auto* integer = std::get_if<PropertyListInteger>(&value_)) {
    return integer->unsignedValue();
  }
  return std::nullopt;
}

std::optional<double> PropertyList::asReal() const {
  return scalarIf<double>(value_);
}

std::optional<bool> PropertyList::asBoolean() const {
  return scalarIf<bool>(value_);
}

std::optional<Date> PropertyList::asDate() const {
  return scalarIf<Date>(value_);
}

std::optional<PropertyListUid> PropertyList::asUid() const {
  return scalarIf<PropertyListUid>(value_);
}

const PropertyList* PropertyList::find(std::u16string_view key) const {
  const Dictionary* dictionary = asDictionary();
  return dictionary ? dictionary->find(key) : nullptr;
}

PropertyList* PropertyList::find(std::u16string_view key) {
  Dictionary* dictionary = asDictionary();
  return dictionary ? dictionary->find(key) : nullptr;
}

std::u16string_view propertyListTypeName(PropertyList::Type type) {
  switch (type) {
    case PropertyList::Type::kString:
      return u"string";
    case PropertyList::Type::kInteger:
      return u"integer";
    case PropertyList::Type::kReal:
      return u"real";
    case PropertyList::Type::kBoolean:
      return u"boolean";
    case PropertyList::Type::kDate:
      return u"date";
    case PropertyList::Type::kData:
      return u"data";
    case PropertyList::Type::kArray:
      return u"array";
    case PropertyList::Type::kDictionary:
      return u"dictionary";
    case PropertyList::Type::kUid:
      return u"UID";
  }
  return u"unknown";
}

bool isValidUtf16(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0xD800 || unit > 0xDFFF) {
      continue;
    }
    if (unit > 0xDBFF || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
      return false;
    }
    ++i;
  }
  return true;
}

Result<void> checkPropertyListInputSize(std::size_t byteCount) {
  if (byteCount <= kPropertyListMaximumInputSize) {
    return {};
  }
  return makePlatformError(
      PlatformErrorCode::kPropertyListReadCorrupt,
      formatLocalized(u"Property list is too large: %ld bytes (at most %ld).",
                      {static_cast<std::int64_t>(byteCount),
                       static_cast<std::int64_t>(kPropertyListMaximumInputSize)}));
}

}  // namespace zv::platform
