#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/binary_property_list.h"
#include "platform/binary_property_list_view.h"
#include "platform/binary_property_list_view_comparison.h"

// Whatever the input, reading must end in a value or an error, never a crash, hang or huge
// allocation. The view must accept exactly what the tree reader accepts, fail with the same
// error otherwise, and show the same values. A value that was read and written must read back and
// write again to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto read = zv::platform::readBinaryPropertyList(bytes);
  auto view = zv::platform::BinaryPropertyListView::open(bytes);
  if (read.ok() != view.ok()) {
    __builtin_trap();
  }
  if (!read.ok()) {
    if (read.error().description != view.error().description) {
      __builtin_trap();
    }
    return 0;
  }
  if (!zv::platform::viewDifference(view->root(), *read).empty()) {
    __builtin_trap();
  }
  auto written = zv::platform::writeBinaryPropertyList(*read);
  if (!written.ok()) {
    return 0;
  }
  auto again = zv::platform::readBinaryPropertyList(*written);
  if (!again.ok()) {
    __builtin_trap();
  }
  auto rewritten = zv::platform::writeBinaryPropertyList(*again);
  if (!rewritten.ok() || *rewritten != *written) {
    __builtin_trap();
  }
  return 0;
}
