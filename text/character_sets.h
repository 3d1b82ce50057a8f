#pragma once

#include <unicode/uniset.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace zv::text {

/// General category Zs plus U+0009 (tab).
const icu::UnicodeSet& whitespaceCharacterSet();

/// General category Z plus U+0009 to U+000D and U+0085.
const icu::UnicodeSet& whitespaceAndNewlineCharacterSet();

/// U+000A to U+000D, U+0085, U+2028 and U+2029.
const icu::UnicodeSet& newlineCharacterSet();

/// General categories Cc and Cf.
const icu::UnicodeSet& controlCharacterSet();

/// Noncharacters and every code point that was not yet assigned in Unicode 3.2.
const icu::UnicodeSet& illegalCharacterSet();

/// General categories Lu and Lt.
const icu::UnicodeSet& uppercaseLetterCharacterSet();

/// The code point that starts at index (a lone surrogate stands for itself) and its length in
/// code units (1 or 2). index must be below text.size().
char32_t codePointAt(std::u16string_view text, std::size_t index, std::size_t& length);

/// The text without the characters of the set at both ends; whole code points are tested.
std::u16string_view stringByTrimmingCharactersInSet(std::u16string_view text,
                                                    const icu::UnicodeSet& set);

/// Index of the first code point of the set that starts below limit, or npos.
std::size_t indexOfFirstCharacterInSet(std::u16string_view text, const icu::UnicodeSet& set,
                                       std::size_t limit = std::u16string_view::npos);

/// The longest prefix of at most maxLength code units that does not end inside a surrogate pair.
std::u16string_view prefixWithinLength(std::u16string_view text, std::size_t maxLength);

/// The longest suffix of at most maxLength code units that does not start inside a surrogate
/// pair.
std::u16string_view suffixWithinLength(std::u16string_view text, std::size_t maxLength);

}  // namespace zv::text
