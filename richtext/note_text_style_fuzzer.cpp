#include <cstddef>
#include <cstdint>
#include <span>

#include "richtext/note_text_style.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto styles =
      zv::richtext::noteTextStylesWithArchivedData(std::span<const std::uint8_t>(data, size));
  if (!styles) {
    return 0;
  }
  // Whatever was read must archive again and read back as as many styles of the same kinds.
  auto archived = zv::richtext::archivedDataWithNoteTextStyles(*styles);
  if (!archived) {
    __builtin_trap();
  }
  auto again = zv::richtext::noteTextStylesWithArchivedData(*archived);
  if (!again || again->size() != styles->size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < styles->size(); ++i) {
    if ((*again)[i]->type() != (*styles)[i]->type() ||
        (*again)[i]->customStyleIdentifier() != (*styles)[i]->customStyleIdentifier()) {
      __builtin_trap();
    }
  }
  return 0;
}
