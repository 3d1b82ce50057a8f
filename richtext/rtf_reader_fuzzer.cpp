#include <cstddef>
#include <cstdint>
#include <span>

#include "richtext/rtf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> rtf(data, size);
  zv::platform::Result<zv::richtext::AttributedString> text =
      zv::richtext::attributedStringFromRTF(rtf);
  if (!text) {
    return 0;
  }
  // No escape yields more than two code units per byte it spans, so a longer text means that
  // bytes were read twice or out of bounds.
  if (text->length() > 2 * size) {
    __builtin_trap();
  }
  for (const zv::richtext::AttributeRun& run : text->runs()) {
    if (!run.attributes.contains(zv::richtext::NSFontAttributeName)) {
      __builtin_trap();
    }
  }
  // Reading must not depend on anything a previous reading left behind.
  auto again = zv::richtext::attributedStringFromRTF(rtf);
  if (!again || *again != *text) {
    __builtin_trap();
  }
  return 0;
}
