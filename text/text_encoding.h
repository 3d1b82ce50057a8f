#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zv::text {

/// The text encodings that counted byte strings can be decoded from.
enum class TextEncoding {
  kUTF8,
  kASCII,
  kISOLatin1,
  kISOLatin2,
  kWindowsCP1251,
  kWindowsCP1252,
  kMacOSRoman,
  kShiftJIS,
  kJapaneseEUC,
  kUTF16LittleEndian,
  kUTF16BigEndian,
};

/// Decodes at most length bytes, ending early at the terminator (a zero byte, or a zero code
/// unit in the UTF-16 encodings). No bytes or a length of 0 give the empty string; bytes that
/// are not valid in the encoding give nothing. Never reads past the end of bytes.
std::optional<std::u16string> stringWithCString(std::span<const std::uint8_t> bytes,
                                                TextEncoding encoding, std::size_t length);

}  // namespace zv::text
