#pragma once

// The reader's checks shared by the tree reader and the view: one pass over a hostile
// "bplist00" file that either builds the values or only checks them, so that both accept exactly
// the same files with the same errors. Internal to the property-list component.

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

namespace zv::platform::bplist {

/// Where the objects of a file are, as its trailer gives them.
struct Layout {
  unsigned offsetWidth = 0;
  unsigned refWidth = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t topObject = 0;
  std::uint64_t offsetTableOffset = 0;
};

/// One entry of a dictionary that repeats a key: the first place of the key, and the place of
/// its last value.
struct DistinctEntry {
  std::uint64_t keyIndex;
  std::uint64_t valueIndex;
};

/// What checking a file found: its layout, and for the rare dictionaries that repeat a key (by
/// object number), their distinct entries in first-occurrence order.
struct CheckedFile {
  Layout layout;
  std::unordered_map<std::uint64_t, std::vector<DistinctEntry>> repeatedKeys;
};

/// Checks bytes exactly as readBinaryPropertyList() reads them, without building any value.
Result<CheckedFile> checkBinaryPropertyList(std::span<const std::uint8_t> bytes);

}  // namespace zv::platform::bplist
