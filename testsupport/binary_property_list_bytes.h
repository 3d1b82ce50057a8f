#pragma once

#include <cstdint>
#include <vector>

namespace zv::testsupport {

/// A binary property list assembled by hand from encoded objects (header, the objects in order,
/// offset table, trailer), for files our writer would never produce.
std::vector<std::uint8_t> assembleBinaryPropertyList(
    const std::vector<std::vector<std::uint8_t>>& objects, std::uint64_t top = 0,
    std::uint8_t refWidth = 1, std::uint8_t offsetWidth = 2);

}  // namespace zv::testsupport
