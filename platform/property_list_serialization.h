#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// The encodings we read and write.
enum class PropertyListFormat : std::uint8_t { kBinary, kXml };

/// Parses a property list in either encoding, telling them apart by their first bytes; format
/// (when given) receives the encoding found. Input that is neither is an error
/// (PlatformErrorCode::kPropertyListReadCorrupt).
Result<PropertyList> readPropertyList(std::span<const std::uint8_t> bytes,
                                      PropertyListFormat* format = nullptr);

/// Serialises value in the given encoding.
Result<std::vector<std::uint8_t>> writePropertyList(const PropertyList& value,
                                                    PropertyListFormat format);

}  // namespace zv::platform
