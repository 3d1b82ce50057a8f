#include "text/character_sets.h"

#include <unicode/utf16.h>

#include <cassert>

namespace zv::text {
namespace {

// Sets are built once and frozen: a frozen set is immutable and safe to share between threads.
const icu::UnicodeSet& frozenSet(const char16_t* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  auto* set = new icu::UnicodeSet(icu::UnicodeString(pattern), status);
  assert(U_SUCCESS(status));
  set->freeze();
  return *set;
}

}  // namespace

const icu::UnicodeSet& whitespaceCharacterSet() {
  static const icu::UnicodeSet& set = frozenSet(u"[\\p{Zs}\\u0009]");
  return set;
}

const icu::UnicodeSet& whitespaceAndNewlineCharacterSet() {
  static const icu::UnicodeSet& set = frozenSet(u"[\\p{Z}\\u0009-\\u000D\\u0085]");
  return set;
}

const icu::UnicodeSet& newlineCharacterSet() {
  static const icu::UnicodeSet& set = frozenSet(u"[\\u000A-\\u000D\\u0085\\u2028\\u2029]");
  return set;
}

const icu::UnicodeSet& controlCharacterSet() {
  static const icu::UnicodeSet& set = frozenSet(u"[\\p{Cc}\\p{Cf}]");
  return set;
}

const icu::UnicodeSet& illegalCharacterSet() {
  // ICU's age property is cumulative: Age=3.2 holds everything assigned up to Unicode 3.2.
  static const icu::UnicodeSet& set = frozenSet(u"[[:^Age=3.2:][:Noncharacter_Code_Point:]]");
  return set;
}

const icu::UnicodeSet& uppercaseLetterCharacterSet() {
  static const icu::UnicodeSet& set = frozenSet(u"[\\p{Lu}\\p{Lt}]");
  return set;
}

char32_t codePointAt(std::u16string_view text, std::size_t index, std::size_t& length) {
  char16_t unit = text[index];
  if (U16_IS_LEAD(unit) && index + 1 < text.size() && U16_IS_TRAIL(text[index + 1])) {
    length = 2;
    return U16_GET_SUPPLEMENTARY(unit, text[index + 1]);
  }
  length = 1;
  return unit;
}

std::u16string_view stringByTrimmingCharactersInSet(std::u16string_view text,
                                                    const icu::UnicodeSet& set) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t length = 0;
    if (!set.contains(static_cast<UChar32>(codePointAt(text, start, length)))) {
      break;
    }
    start += length;
  }
  std::size_t end = text.size();
  while (end > start) {
    std::size_t length = 1;
    std::size_t begin = end - 1;
    if (begin > start && U16_IS_TRAIL(text[begin]) && U16_IS_LEAD(text[begin - 1])) {
      begin -= 1;
    }
    if (!set.contains(static_cast<UChar32>(codePointAt(text, begin, length)))) {
      break;
    }
    end = begin;
  }
  return text.substr(start, end - start);
}

std::size_t indexOfFirstCharacterInSet(std::u16string_view text, const icu::UnicodeSet& set,
                                       std::size_t limit) {
  std::size_t end = std::min(limit, text.size());
  for (std::size_t index = 0; index < end;) {
    std::size_t length = 0;
    if (set.contains(static_cast<UChar32>(codePointAt(text, index, length)))) {
      return index;
    }
    index += length;
  }
  return std::u16string_view::npos;
}

std::u16string_view prefixWithinLength(std::u16string_view text, std::size_t maxLength) {
  if (text.size() <= maxLength) {
    return text;
  }
  std::size_t cut = maxLength;
  if (cut > 0 && U16_IS_LEAD(text[cut - 1]) && U16_IS_TRAIL(text[cut])) {
    --cut;
  }
  return text.substr(0, cut);
}

std::u16string_view suffixWithinLength(std::u16string_view text, std::size_t maxLength) {
  if (text.size() <= maxLength) {
    return text;
  }
  std::size_t start = text.size() - maxLength;
  if (U16_IS_TRAIL(text[start]) && U16_IS_LEAD(text[start - 1])) {
    ++start;
  }
  return text.substr(start);
}

}  // namespace zv::text
