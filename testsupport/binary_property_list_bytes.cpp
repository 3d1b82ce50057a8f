#include "testsupport/binary_property_list_bytes.h"

namespace zv::testsupport {

std::vector<std::uint8_t> assembleBinaryPropertyList(
    const std::vector<std::vector<std::uint8_t>>& objects, std::uint64_t top, std::uint8_t refWidth,
    std::uint8_t offsetWidth) {
  std::vector<std::uint8_t> file = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<std::uint64_t> offsets;
  for (const std::vector<std::uint8_t>& object : objects) {
    offsets.push_back(file.size());
    file.insert(file.end(), object.begin(), object.end());
  }
  const std::uint64_t tableOffset = file.size();
  auto putBigEndian = [&file](std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
      file.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  };
  for (std::uint64_t offset : offsets) {
    putBigEndian(offset, offsetWidth);
  }
  file.insert(file.end(), 6, 0);
  file.push_back(offsetWidth);
  file.push_back(refWidth);
  putBigEndian(objects.size(), 8);
  putBigEndian(top, 8);
  putBigEndian(tableOffset, 8);
  return file;
}

}  // namespace zv::testsupport
