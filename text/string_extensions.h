#pragma once

#include <unicode/uniset.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zv::text {

/// A stretch of text in UTF-16 code units.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;

  friend bool operator==(const Range&, const Range&) = default;
};

/// Every U+000A and U+000D becomes a space; then blanks (not line breaks) are trimmed.
std::u16string stringByRemovingNewlines(std::u16string_view text);

/// Line breaks and tabs become spaces, runs of spaces become one, and the ends are trimmed.
std::u16string stringByRemovingNewlinesAndTabs(std::u16string_view text);

/// "\r\n", "\n\r" and a lone "\r" each become one "\n".
std::u16string stringByStandardizingNewlines(std::u16string_view text);

/// The text without whitespace and line breaks at both ends.
std::u16string stringByTrimmingWhitespace(std::u16string_view text);

/// Every backslash doubled.
std::u16string stringByEscapingBackslashes(std::u16string_view text);

/// A backslash before every "'" and every double quote.
std::u16string stringByEscapingQuotes(std::u16string_view text);

/// The text without any character of the set. A surrogate pair is judged by its code point, an
/// unpaired surrogate by its own value; surrogates that meet once the characters between them
/// are gone form a pair, as they would if the characters were deleted one by one. Linear time.
std::u16string stringByRemovingCharactersInSet(std::u16string_view text,
                                               const icu::UnicodeSet& set);

/// The text without control characters, illegal characters and unpaired surrogates.
std::u16string stringByRemovingControlAndIllegalCharacters(std::u16string_view text);

/// The text without attachment placeholders (U+FFFC).
std::u16string stringWithoutAttachments(std::u16string_view text);

/// Each space-separated piece without an uppercase letter is capitalised in the current locale;
/// pieces that have one (acronyms, names) stay as they are.
std::u16string smartCapitalizedString(std::u16string_view text);

/// The text when it has at most maxLength code units, else its first maxLength units and "…".
std::u16string truncatedStringWithMaxLength(std::u16string_view text, std::size_t maxLength);

/// The text when it has at most maxLength code units, else its first and last maxLength / 2
/// units around "…".
std::u16string stringByTruncatingMiddleWithMaxLength(std::u16string_view text,
                                                     std::size_t maxLength);

/// True when the texts are the same but for case, diacritics, character width and canonically
/// equivalent forms.
bool isCaseInsensitiveEqualToString(std::u16string_view text, std::u16string_view other);

/// Every non-overlapping occurrence of the searched text, in order, ignoring case and diacritics
/// in the current locale. Character width counts: a full-width "Ａ" does not match "a".
std::vector<Range> localizedStandardRangesOfString(std::u16string_view text,
                                                   std::u16string_view searched);

/// True when the text, or the text with blanks trimmed from both ends, begins with the prefix.
/// Line breaks are not skipped. The empty prefix is never found.
bool hasPrefixIgnoringWhitespace(std::u16string_view text, std::u16string_view prefix);

/// The text's UTF-8 bytes with every byte that may not stand in a URL written as "%XX".
std::u16string percentEncodedURLString(std::u16string_view text);

}  // namespace zv::text
