#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/binary_property_list.h"

// Whatever the input, reading must end in a value or an error, never a crash, hang or huge
// allocation. A value that was read and written must read back and write again to the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto read = zv::platform::readBinaryPropertyList(std::span<const std::uint8_t>(data, size));
  if (!read.ok()) {
    return 0;
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
