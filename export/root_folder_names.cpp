#include "export/root_folder_names.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <limits>

#include "platform/localization.h"
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

std::u16string withoutControlCharacters(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size());
  for (char16_t unit : name) {
    if (u_charType(unit) != U_CONTROL_CHAR) {
      out.push_back(unit);
    }
  }
  return out;
}

}  // namespace

std::pair<std::u16string_view, std::u16string_view> splitFileNameExtension(
    std::u16string_view name) {
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return {name, {}};
  }
  return {name.substr(0, dot), name.substr(dot + 1)};
}

std::u16string sanitizedFileNameForTitle(std::u16string_view title) {
  std::u16string kept;
  kept.reserve(title.size());
  for (char16_t unit : title) {
    const bool whitespace = (unit >= u'\t' && unit <= u'\r') || unit == u'\u0085';
    if (whitespace || u_charType(unit) != U_CONTROL_CHAR) {
      kept.push_back(unit);
    }
  }
  return text::stringSanitizedForFileName(kept);
}

std::u16string fileNameFittedToFileSystem(std::u16string_view name, std::u16string_view suffix) {
  std::u16string clean = withoutControlCharacters(name);
  auto [base, extension] = splitFileNameExtension(clean);
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
  constexpr std::int64_t kLargestNumber = std::numeric_limits<std::int64_t>::max();
  std::int64_t first = 1;
  for (size_t digits = 1;; ++digits) {
    const std::int64_t end = first > kLargestNumber / 10 ? kLargestNumber : first * 10;
    std::u16string family = fileNameFittedToFileSystem(name, std::u16string(digits + 1, u'\0'));
    std::int64_t& next = nextNumber_.try_emplace(std::move(family), first).first->second;
    while (next < end) {
      std::u16string candidate =
          fileNameFittedToFileSystem(name, platform::formatString(u" %ld", {next++}));
      ++probes_;
      if (taken_.insert(candidate).second) {
        return candidate;
      }
    }
    first = end;
  }
}

void RootFolderNames::clear() {
  taken_ = {};
  nextNumber_ = {};
}

}  // namespace zv::exporter
