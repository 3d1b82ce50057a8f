#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// Serialises value as an XML property list, version 1.0, in UTF-8. UIDs become
/// {"CF$UID": integer} dictionaries; dates keep whole seconds, as the format's date form does.
/// Fails (PlatformErrorCode::kPropertyListWriteInvalid) on nesting deeper than
/// kPropertyListMaximumDepth, on text that XML cannot carry (invalid UTF-16, control characters
/// other than tab, line feed and carriage return) and on dates outside the years 1 to 9999.
Result<std::vector<std::uint8_t>> writeXmlPropertyList(const PropertyList& value);

/// Parses an XML property list with a real XML parser. Document type declarations may name the
/// format's DTD but may not declare anything (no entity expansion, nothing fetched). A
/// {"CF$UID": integer} dictionary reads as a UID. Malformed or hostile input, nesting deeper
/// than kPropertyListMaximumDepth and input above kPropertyListMaximumInputSize are errors
/// (PlatformErrorCode::kPropertyListReadCorrupt).
Result<PropertyList> readXmlPropertyList(std::span<const std::uint8_t> bytes);

}  // namespace zv::platform
