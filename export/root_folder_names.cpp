#include "export/root_folder_names.h"

#include <unicode/utf16.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/unicode.h"
#include "text/file_name_extensions.h"

namespace zv::exporter {
namespace {

size_t utf8Length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

size_t utf8Length(std::u16string_view text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    bytes += utf8Length(static_cast<char32_t>(c));
  }
  return bytes;
}

// The longest prefix of text whose UTF-8 form fits in budget bytes, never splitting a pair.
std::u16string_view prefixFittingBytes(std::u16string_view text, size_t budget) {
  size_t bytes = 0;
  size_t i = 0;
  while (i < text.size()) {
    size_t start = i;
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    bytes += utf8Length(static_cast<char32_t>(c));
    if (bytes > budget) {
      return text.substr(0, start);
    }
  }
  return text;
}

// The control characters (general category Cc), a range that Unicode has fixed for good.
bool isControlCharacter(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit < 0xA0);
}

std::u16string withoutControlCharacters(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size());
  for (char16_t unit : name) {
    if (!isControlCharacter(unit)) {
      out.push_back(unit);
    }
  }
  return out;
}

// 10^exponent, or the largest count where that does not fit.
std::int64_t powerOfTen(size_t exponent) {
  std::int64_t power = 1;
  for (size_t i = 0; i < exponent; ++i) {
    if (power > std::numeric_limits<std::int64_t>::max() / 10) {
      return std::numeric_limits<std::int64_t>::max();
    }
    power *= 10;
  }
  return power;
}

}  // namespace

std::u16string sanitizedFileNameForTitle(std::u16string_view title) {
  std::u16string kept;
  kept.reserve(title.size());
  for (char16_t unit : title) {
    const bool whitespace = (unit >= u'\t' && unit <= u'\r') || unit == u'\u0085';
    if (whitespace || !isControlCharacter(unit)) {
      kept.push_back(unit);
    }
  }
  return text::stringSanitizedForFileName(kept);
}

std::u16string fileNameFittedToFileSystem(std::u16string_view name, std::u16string_view suffix) {
  // Nearly every name is short and clean, and stands as it is: no unit takes more than three
  // bytes of UTF-8 (a pair takes four for two).
  if (suffix.empty() && name.size() * 3 <= kMaximumFileNameBytes &&
      std::none_of(name.begin(), name.end(), isControlCharacter)) {
    return std::u16string(name);
  }
  std::u16string clean = withoutControlCharacters(name);
  auto [base, extension] = text::splitFileNameExtension(clean);
  size_t tailBytes = utf8Length(suffix) + (extension.empty() ? 0 : 1 + utf8Length(extension));
  // Keep at least a little of the base; an extension that leaves no room is not one to keep.
  constexpr size_t kMinimumBaseBytes = 16;
  if (tailBytes + kMinimumBaseBytes > kMaximumFileNameBytes) {
    base = clean;
    extension = {};
    tailBytes = utf8Length(suffix);
  }
  std::u16string fitted(prefixFittingBytes(base, kMaximumFileNameBytes - tailBytes));
  fitted += suffix;
  if (!extension.empty()) {
    fitted += u'.';
    fitted += extension;
  }
  return fitted;
}

std::u16string RootFolderNames::reserveUniqueName(std::u16string_view name) {
  std::u16string plain = fileNameFittedToFileSystem(name);
  ++probes_;
  if (taken_.insert(plain)) {
    return plain;
  }
  // Copies are counted per name as it stands after the cut, one count per width of the number
  // (the width decides the cut): names that differ only in what the cut removes share their
  // numbered names, so each number is tried once however many such names come. NUL stands in
  // for the number's characters, since no fitted name holds one.
  size_t& digits = widthInUse_.try_emplace(std::move(plain), 1).first->second;
  for (;; ++digits) {
    const std::int64_t first = powerOfTen(digits - 1);
    const std::int64_t end = powerOfTen(digits);
    auto family = nextNumber_.try_emplace(
        fileNameFittedToFileSystem(name, std::u16string(digits + 1, u'\0')), first);
    const std::u16string& pattern = family.first->first;
    std::int64_t& next = family.first->second;
    const size_t place = pattern.find(u'\0');
    while (next < end) {
      std::u16string candidate = pattern;
      candidate.replace(place, digits + 1, u" " + platform::fromUtf8(std::to_string(next++)));
      ++probes_;
      if (taken_.insert(candidate)) {
        return candidate;
      }
    }
  }
}

void RootFolderNames::clear() {
  taken_ = {};
  nextNumber_ = {};
  widthInUse_ = {};
}

std::size_t RootFolderNames::memoryBytes() const {
  // The families grow with the names that repeat, not with the items; only the set is counted.
  return taken_.memoryBytes();
}

namespace {

// A slot's low bits hold its entry's offset plus one; the rest is the top of the name's hash.
constexpr unsigned kOffsetBits = 40;
constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;
constexpr std::size_t kHeaderSize = sizeof(std::uint32_t);

}  // namespace

void RootFolderNames::NameSet::encode(std::u16string_view name, std::string& out) {
  // Nearly every name is Latin-1 and takes a byte per character; the width is part of the
  // entry, so a narrow and a wide entry never compare equal.
  const bool wide =
      std::any_of(name.begin(), name.end(), [](char16_t unit) { return unit > 0xFF; });
  // A fitted name has at most 255 bytes, far below the header's 2^31 characters.
  const auto header = static_cast<std::uint32_t>(name.size() << 1 | (wide ? 1 : 0));
  out.resize(kHeaderSize + name.size() * (wide ? 2 : 1));
  std::memcpy(out.data(), &header, kHeaderSize);
  char* at = out.data() + kHeaderSize;
  for (char16_t unit : name) {
    *at++ = static_cast<char>(unit & 0xFF);
    if (wide) {
      *at++ = static_cast<char>(unit >> 8);
    }
  }
}

std::size_t RootFolderNames::NameSet::encodedSize(const char* entry) {
  std::uint32_t header = 0;
  std::memcpy(&header, entry, kHeaderSize);
  return kHeaderSize + std::size_t{header >> 1} * ((header & 1) != 0 ? 2 : 1);
}

std::uint64_t RootFolderNames::NameSet::hashOf(std::string_view encoded) {
  return std::hash<std::string_view>{}(encoded);
}

std::uint64_t* RootFolderNames::NameSet::findSlot(std::string_view encoded, std::uint64_t hash) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    std::uint64_t& slot = slots_[at];
    if (slot == 0) {
      return &slot;
    }
    if ((slot & ~kOffsetMask) != (hash & ~kOffsetMask)) {
      continue;
    }
    const char* entry = bytes_.data() + ((slot & kOffsetMask) - 1);
    if (encodedSize(entry) == encoded.size() &&
        std::memcmp(entry, encoded.data(), encoded.size()) == 0) {
      return &slot;
    }
  }
}

void RootFolderNames::NameSet::grow() {
  std::vector<std::uint64_t> old = std::exchange(slots_, {});
  slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
  const std::size_t mask = slots_.size() - 1;
  for (std::uint64_t slot : old) {
    if (slot == 0) {
      continue;
    }
    const char* entry = bytes_.data() + ((slot & kOffsetMask) - 1);
    const std::uint64_t hash = hashOf(std::string_view(entry, encodedSize(entry)));
    std::size_t at = hash & mask;
    while (slots_[at] != 0) {
      at = (at + 1) & mask;
    }
    slots_[at] = slot;
  }
}

bool RootFolderNames::NameSet::insert(std::u16string_view name) {
  encode(name, scratch_);
  if ((count_ + 1) * 2 > slots_.size()) {
    grow();
  }
  const std::uint64_t hash = hashOf(scratch_);
  std::uint64_t* slot = findSlot(scratch_, hash);
  if (*slot != 0) {
    return false;
  }
  // Offsets have 40 bits: a terabyte of names, which memory runs out long before.
  assert(bytes_.size() + scratch_.size() < kOffsetMask);
  *slot = (hash & ~kOffsetMask) | (bytes_.size() + 1);
  bytes_ += scratch_;
  ++count_;
  return true;
}

std::size_t RootFolderNames::NameSet::memoryBytes() const {
  return bytes_.capacity() + slots_.capacity() * sizeof(std::uint64_t) + scratch_.capacity();
}

}  // namespace zv::exporter
