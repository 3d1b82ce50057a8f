#include "platform/unicode.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstring>

namespace zv::platform {

std::string toUtf8(std::u16string_view text) {
  // Measured first and then written by index: one allocation of the exact size, where appending
  // a code point at a time cost most of a log line. Lone surrogates become U+FFFD.
  std::size_t size = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      size += 1;
    } else if (unit < 0x800) {
      size += 2;
    } else if (U16_IS_LEAD(unit) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      size += 4;
      ++i;
    } else {
      size += 3;
    }
  }
  std::string out(size, '\0');
  auto* bytes = reinterpret_cast<uint8_t*>(out.data());
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] < 0x80) {
      bytes[written++] = static_cast<uint8_t>(text[i++]);
      continue;
    }
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c)) {
      c = 0xFFFD;
    }
    U8_APPEND_UNSAFE(bytes, written, c);
  }
  return out;
}

std::u16string fromUtf8(std::string_view text) {
  // Never longer than the bytes: every sequence, and every byte of a broken one, gives at most
  // one code unit per byte. Written by index, since most text is ASCII and this runs for every
  // path and name.
  std::u16string out(text.size(), u'\0');
  std::size_t written = 0;
  int32_t i = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  char16_t* units = out.data();
  while (i < length) {
    // Eight ASCII bytes a step where they come in a run, as in URLs and paths.
    if (length - i >= 8) {
      uint64_t word = 0;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080'8080'8080'8080ULL) == 0) {
        for (int32_t k = 0; k < 8; ++k) {
          units[written + k] = bytes[i + k];
        }
        written += 8;
        i += 8;
        continue;
      }
    }
    if (bytes[i] < 0x80) {
      out[written++] = static_cast<char16_t>(bytes[i++]);
      continue;
    }
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    if (U_IS_BMP(c)) {
      out[written++] = static_cast<char16_t>(c);
    } else {
      out[written++] = static_cast<char16_t>(U16_LEAD(c));
      out[written++] = static_cast<char16_t>(U16_TRAIL(c));
    }
  }
  out.resize(written);
  return out;
}

bool isValidUtf8(std::string_view text) {
  int32_t i = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace zv::platform
