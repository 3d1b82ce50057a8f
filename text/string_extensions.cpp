#include "text/string_extensions.h"

#include <unicode/coll.h>
#include <unicode/stsearch.h>
#include <unicode/tblcoll.h>
#include <unicode/utf16.h>

#include <memory>

#include "platform/unicode.h"
#include "text/character_sets.h"

namespace zv::text {
namespace {

constexpr char16_t kEllipsis[] = u"\u2026";

std::u16string replacingUnits(std::u16string_view text, char16_t unit,
                              std::u16string_view replacement) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t current : text) {
    if (current == unit) {
      out += replacement;
    } else {
      out.push_back(current);
    }
  }
  return out;
}

// Primary strength ignores case, diacritics and width; normalisation makes canonically
// equivalent sequences compare equal. Comparing through a const collator is thread-safe.
std::unique_ptr<icu::Collator> makePrimaryStrengthCollator(const icu::Locale& locale) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status)) {
    return nullptr;
  }
  collator->setStrength(icu::Collator::PRIMARY);
  collator->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
  return collator;
}

const icu::Collator* rootPrimaryStrengthCollator() {
  static const icu::Collator* collator =
      makePrimaryStrengthCollator(icu::Locale::getRoot()).release();
  return collator;
}

// The current locale, except that the POSIX locale (what an unset LANG gives) collates ASCII by
// code point and so would tell case apart; the root locale stands in for it.
icu::Locale searchLocale() {
  const icu::Locale& current = icu::Locale::getDefault();
  if (std::string_view(current.getVariant()) == "POSIX") {
    return icu::Locale::getRoot();
  }
  return current;
}

// A primary-strength collator ignores width along with case and diacritics, but search tells
// full-width and half-width forms apart. Each such form is preceded by a private-use marker,
// which has a weight of its own, so it only matches a form of the same width.
struct WidthMarkedText {
  icu::UnicodeString text;
  // For every unit of the marked text, and one past its end, the index in the original text.
  std::vector<std::size_t> originalIndex;
};

WidthMarkedText markWidthVariants(std::u16string_view text) {
  constexpr char16_t kWideMarker = u'\uE000';
  constexpr char16_t kNarrowMarker = u'\uE001';
  WidthMarkedText marked;
  marked.originalIndex.reserve(text.size() + 1);
  for (std::size_t index = 0; index < text.size();) {
    UChar32 codePoint = 0;
    const std::size_t start = index;
    U16_NEXT(text.data(), index, text.size(), codePoint);
    const auto decomposition =
        static_cast<UDecompositionType>(u_getIntPropertyValue(codePoint, UCHAR_DECOMPOSITION_TYPE));
    if (decomposition == U_DT_WIDE || decomposition == U_DT_NARROW) {
      marked.text.append(decomposition == U_DT_WIDE ? kWideMarker : kNarrowMarker);
      marked.originalIndex.push_back(start);
    }
    for (std::size_t unit = start; unit < index; ++unit) {
      marked.text.append(text[unit]);
      marked.originalIndex.push_back(unit);
    }
  }
  marked.originalIndex.push_back(text.size());
  return marked;
}

bool isAllowedInURL(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
      (unit >= u'0' && unit <= u'9')) {
    return true;
  }
  return std::u16string_view(u"-._~:/?#[]@!$&'()*+,;=").find(unit) != std::u16string_view::npos;
}

bool isHexDigit(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

}  // namespace

std::u16string stringByRemovingNewlines(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& unit : out) {
    if (unit == u'\n' || unit == u'\r') {
      unit = u' ';
    }
  }
  return std::u16string(stringByTrimmingCharactersInSet(out, whitespaceCharacterSet()));
}

std::u16string stringByRemovingNewlinesAndTabs(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t index = 0; index < text.size();) {
    std::size_t length = 0;
    char32_t codePoint = codePointAt(text, index, length);
    bool becomesSpace = codePoint == u'\t' || newlineCharacterSet().contains(codePoint);
    char16_t first = becomesSpace ? u' ' : text[index];
    // Collapsing while copying gives what repeated pair replacement would, in one pass.
    if (!(first == u' ' && !out.empty() && out.back() == u' ')) {
      out.push_back(first);
      if (!becomesSpace && length == 2) {
        out.push_back(text[index + 1]);
      }
    }
    index += length;
  }
  return std::u16string(stringByTrimmingCharactersInSet(out, whitespaceAndNewlineCharacterSet()));
}

std::u16string stringByStandardizingNewlines(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    char16_t unit = text[index];
    bool next = index + 1 < text.size();
    if ((unit == u'\r' && next && text[index + 1] == u'\n') ||
        (unit == u'\n' && next && text[index + 1] == u'\r')) {
      out.push_back(u'\n');
      ++index;
      continue;
    }
    out.push_back(unit == u'\r' ? u'\n' : unit);
  }
  return out;
}

std::u16string stringByTrimmingWhitespace(std::u16string_view text) {
  return std::u16string(stringByTrimmingCharactersInSet(text, whitespaceAndNewlineCharacterSet()));
}

std::u16string stringByEscapingBackslashes(std::u16string_view text) {
  return replacingUnits(text, u'\\', u"\\\\");
}

std::u16string stringByEscapingQuotes(std::u16string_view text) {
  return replacingUnits(replacingUnits(text, u'\'', u"\\'"), u'"', u"\\\"");
}

std::u16string stringByRemovingCharactersInSet(std::u16string_view text,
                                               const icu::UnicodeSet& set) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t index = 0; index < text.size();) {
    std::size_t length = 0;
    char32_t codePoint = codePointAt(text, index, length);
    // A lead surrogate left at the end of the output was kept as unpaired; the trail unit that
    // now follows it makes it a pair again, which is judged as one character.
    if (length == 1 && U16_IS_TRAIL(codePoint) && !out.empty() && U16_IS_LEAD(out.back())) {
      char32_t joined = U16_GET_SUPPLEMENTARY(out.back(), codePoint);
      if (set.contains(static_cast<UChar32>(joined))) {
        out.pop_back();
      } else {
        out.push_back(text[index]);
      }
      index += 1;
      continue;
    }
    if (!set.contains(static_cast<UChar32>(codePoint))) {
      out.append(text.substr(index, length));
    }
    index += length;
  }
  return out;
}

std::u16string stringByRemovingControlAndIllegalCharacters(std::u16string_view text) {
  static const icu::UnicodeSet* set = [] {
    auto* unwanted = static_cast<icu::UnicodeSet*>(controlCharacterSet().cloneAsThawed());
    unwanted->addAll(illegalCharacterSet());
    unwanted->add(0xD800, 0xDFFF);
    unwanted->freeze();
    return unwanted;
  }();
  return stringByRemovingCharactersInSet(text, *set);
}

std::u16string stringWithoutAttachments(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    if (unit != u'\uFFFC') {
      out.push_back(unit);
    }
  }
  return out;
}

std::u16string smartCapitalizedString(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t start = 0;
  while (true) {
    std::size_t space = text.find(u' ', start);
    std::u16string_view piece = text.substr(
        start, space == std::u16string_view::npos ? std::u16string_view::npos : space - start);
    if (indexOfFirstCharacterInSet(piece, uppercaseLetterCharacterSet()) ==
        std::u16string_view::npos) {
      icu::UnicodeString capitalized(piece.data(), static_cast<int32_t>(piece.size()));
      capitalized.toTitle(nullptr, icu::Locale::getDefault());
      out.append(capitalized.getBuffer(), static_cast<std::size_t>(capitalized.length()));
    } else {
      out += piece;
    }
    if (space == std::u16string_view::npos) {
      return out;
    }
    out.push_back(u' ');
    start = space + 1;
  }
}

std::u16string truncatedStringWithMaxLength(std::u16string_view text, std::size_t maxLength) {
  if (text.size() <= maxLength) {
    return std::u16string(text);
  }
  std::u16string out(prefixWithinLength(text, maxLength));
  out += kEllipsis;
  return out;
}

std::u16string stringByTruncatingMiddleWithMaxLength(std::u16string_view text,
                                                     std::size_t maxLength) {
  if (text.size() <= maxLength) {
    return std::u16string(text);
  }
  std::size_t half = maxLength / 2;
  std::u16string out(prefixWithinLength(text, half));
  out += kEllipsis;
  out += suffixWithinLength(text, half);
  return out;
}

bool isCaseInsensitiveEqualToString(std::u16string_view text, std::u16string_view other) {
  const icu::Collator* collator = rootPrimaryStrengthCollator();
  if (collator == nullptr) {
    return text == other;
  }
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult order =
      collator->compare(text.data(), static_cast<int32_t>(text.size()), other.data(),
                        static_cast<int32_t>(other.size()), status);
  return U_SUCCESS(status) && order == UCOL_EQUAL;
}

std::vector<Range> localizedStandardRangesOfString(std::u16string_view text,
                                                   std::u16string_view searched) {
  // Every occurrence is reported, up to the very end of the text: stopping early, as when the
  // rest is no longer than the searched text, would miss a match that ends the text.
  std::vector<Range> ranges;
  if (searched.empty() || text.empty()) {
    return ranges;
  }
  std::unique_ptr<icu::Collator> collator = makePrimaryStrengthCollator(searchLocale());
  auto* ruleBased = dynamic_cast<icu::RuleBasedCollator*>(collator.get());
  if (ruleBased == nullptr) {
    return ranges;
  }
  const WidthMarkedText markedText = markWidthVariants(text);
  const WidthMarkedText markedSearched = markWidthVariants(searched);
  UErrorCode status = U_ZERO_ERROR;
  icu::StringSearch search(markedSearched.text, markedText.text, ruleBased, nullptr, status);
  for (int32_t position = search.first(status); U_SUCCESS(status) && position != USEARCH_DONE;
       position = search.next(status)) {
    const std::size_t start = markedText.originalIndex[static_cast<std::size_t>(position)];
    const std::size_t end =
        markedText.originalIndex[static_cast<std::size_t>(position) +
                                 static_cast<std::size_t>(search.getMatchedLength())];
    ranges.push_back({start, end - start});
  }
  return ranges;
}

bool hasPrefixIgnoringWhitespace(std::u16string_view text, std::u16string_view prefix) {
  // As on the platform the system comes from, nothing has the empty prefix.
  if (prefix.empty()) {
    return false;
  }
  if (text.starts_with(prefix)) {
    return true;
  }
  if (text.find(prefix) == std::u16string_view::npos) {
    return false;
  }
  return stringByTrimmingCharactersInSet(text, whitespaceCharacterSet()).starts_with(prefix);
}

std::u16string percentEncodedURLString(std::u16string_view text) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string bytes = zv::platform::toUtf8(text);
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    auto byte = static_cast<unsigned char>(bytes[index]);
    // An existing "%XX" escape is kept, so text that is already encoded is not encoded twice.
    bool isEscape = byte == '%' && index + 2 < bytes.size() && isHexDigit(bytes[index + 1]) &&
                    isHexDigit(bytes[index + 2]);
    if (isEscape || (byte < 0x80 && isAllowedInURL(static_cast<char16_t>(byte)))) {
      out.push_back(static_cast<char16_t>(byte));
      continue;
    }
    out.push_back(u'%');
    out.push_back(static_cast<char16_t>(kHexDigits[byte >> 4]));
    out.push_back(static_cast<char16_t>(kHexDigits[byte & 0x0F]));
  }
  return out;
}

}  // namespace zv::text
