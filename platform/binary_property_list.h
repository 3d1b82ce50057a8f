#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// Serialises value as a binary property list, format "bplist00". Equal strings, numbers,
/// dates and data are stored once, containers never; references and offsets take the fewest
/// bytes that hold them. Fails (PlatformErrorCode::kPropertyListWriteInvalid) on containers nested
/// deeper than kPropertyListMaximumDepth and on strings that are not valid UTF-16.
Result<std::vector<std::uint8_t>> writeBinaryPropertyList(const PropertyList& value);

/// Parses a binary property list, format "bplist00". The input is treated as hostile: any
/// inconsistency, reference cycle, nesting deeper than kPropertyListMaximumDepth, invalid
/// UTF-16 or input above kPropertyListMaximumInputSize is an error
/// (PlatformErrorCode::kPropertyListReadCorrupt), and the result never grows far beyond the input
/// size.
Result<PropertyList> readBinaryPropertyList(std::span<const std::uint8_t> bytes);

/// True when bytes start as a binary property list does.
bool hasBinaryPropertyListHeader(std::span<const std::uint8_t> bytes);

}  // namespace zv::platform
