#include "export/root_folder_names.h"

#include <unicode/utf16.h>

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
  if (taken_.insert(plain).second) {
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
      if (taken_.insert(candidate).second) {
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

}  // namespace zv::exporter
