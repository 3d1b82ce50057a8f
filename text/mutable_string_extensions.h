#pragma once

#include <string>

namespace zv::text {

/// Deletes the leading code units that are whitespace or line breaks.
void trimLeadingWhitespace(std::u16string& text);

/// Deletes the trailing code units that are whitespace or line breaks.
void trimTrailingWhitespace(std::u16string& text);

/// trimLeadingWhitespace, then trimTrailingWhitespace.
void trimWhitespace(std::u16string& text);

}  // namespace zv::text
