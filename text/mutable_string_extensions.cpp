#include "text/mutable_string_extensions.h"

#include <cstddef>

#include "text/character_sets.h"

namespace zv::text {

// Whitespace and line breaks all lie in the Basic Multilingual Plane, so testing single code
// units finds exactly the characters that testing code points would.
void trimLeadingWhitespace(std::u16string& text) {
  std::size_t count = 0;
  while (count < text.size() && whitespaceAndNewlineCharacterSet().contains(text[count])) {
    ++count;
  }
  text.erase(0, count);
}

void trimTrailingWhitespace(std::u16string& text) {
  std::size_t end = text.size();
  while (end > 0 && whitespaceAndNewlineCharacterSet().contains(text[end - 1])) {
    --end;
  }
  text.erase(end);
}

void trimWhitespace(std::u16string& text) {
  trimLeadingWhitespace(text);
  trimTrailingWhitespace(text);
}

}  // namespace zv::text
