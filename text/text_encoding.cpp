#include "text/text_encoding.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace zv::text {
namespace {

const char* converterName(TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::kUTF8:
      return "UTF-8";
    case TextEncoding::kASCII:
      return "US-ASCII";
    case TextEncoding::kISOLatin1:
      return "ISO-8859-1";
    case TextEncoding::kISOLatin2:
      return "ISO-8859-2";
    case TextEncoding::kWindowsCP1251:
      return "windows-1251";
    case TextEncoding::kWindowsCP1252:
      return "windows-1252";
    case TextEncoding::kMacOSRoman:
      return "macintosh";
    case TextEncoding::kShiftJIS:
      return "Shift_JIS";
    case TextEncoding::kJapaneseEUC:
      return "EUC-JP";
    case TextEncoding::kUTF16LittleEndian:
      return "UTF-16LE";
    case TextEncoding::kUTF16BigEndian:
      return "UTF-16BE";
  }
  return "UTF-8";
}

// In UTF-16 nearly every character has a zero byte, so the terminator there is a whole zero
// code unit; a zero byte would end most texts after their first byte.
std::size_t terminatedLength(std::span<const std::uint8_t> bytes, TextEncoding encoding) {
  if (encoding == TextEncoding::kUTF16LittleEndian || encoding == TextEncoding::kUTF16BigEndian) {
    for (std::size_t index = 0; index + 1 < bytes.size(); index += 2) {
      if (bytes[index] == 0 && bytes[index + 1] == 0) {
        return index;
      }
    }
    return bytes.size();
  }
  return static_cast<std::size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin());
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

}  // namespace

std::optional<std::u16string> stringWithCString(std::span<const std::uint8_t> bytes,
                                                TextEncoding encoding, std::size_t length) {
  if (bytes.data() == nullptr || length == 0) {
    return std::u16string();
  }
  bytes = bytes.first(std::min(length, bytes.size()));
  bytes = bytes.first(terminatedLength(bytes, encoding));
  if (bytes.empty()) {
    return std::u16string();
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> converter(
      ucnv_open(converterName(encoding), &status));
  if (U_FAILURE(status)) {
    return std::nullopt;
  }
  // Stop at the first invalid or incomplete sequence instead of substituting U+FFFD.
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  icu::UnicodeString decoded(reinterpret_cast<const char*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), converter.get(), status);
  if (U_FAILURE(status) || decoded.isBogus()) {
    return std::nullopt;
  }
  return std::u16string(decoded.getBuffer(), static_cast<std::size_t>(decoded.length()));
}

}  // namespace zv::text
