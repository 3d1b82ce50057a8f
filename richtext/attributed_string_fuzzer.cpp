#include <cstddef>
#include <cstdint>
#include <span>

#include "richtext/attributed_string.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zv::platform::Result<zv::richtext::AttributedString> text =
      zv::richtext::attributedStringWithArchivedData(std::span<const std::uint8_t>(data, size));
  if (text) {
    // Whatever reads must archive again and read back (NaN numbers make equality unfit here).
    auto archived = zv::richtext::archivedDataWithAttributedString(*text);
    if (!archived) {
      __builtin_trap();
    }
    auto again = zv::richtext::attributedStringWithArchivedData(*archived);
    if (!again || again->string() != text->string()) {
      __builtin_trap();
    }
  }
  return 0;
}
