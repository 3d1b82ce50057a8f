#include "platform/property_list_serialization.h"

#include "platform/binary_property_list.h"
#include "platform/localization.h"
#include "platform/xml_property_list.h"

namespace zv::platform {
namespace {

// XML may open with a byte-order mark and white space; in UTF-16 every other byte is zero.
bool looksLikeXml(std::span<const std::uint8_t> bytes) {
  for (std::uint8_t byte : bytes) {
    if (byte == '<') {
      return true;
    }
    if (byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r' && byte != 0 && byte != 0xEF &&
        byte != 0xBB && byte != 0xBF && byte != 0xFE && byte != 0xFF) {
      return false;
    }
  }
  return false;
}

}  // namespace

Result<PropertyList> readPropertyList(std::span<const std::uint8_t> bytes,
                                      PropertyListFormat* format) {
  if (hasBinaryPropertyListHeader(bytes)) {
    if (format) {
      *format = PropertyListFormat::kBinary;
    }
    return readBinaryPropertyList(bytes);
  }
  if (looksLikeXml(bytes)) {
    if (format) {
      *format = PropertyListFormat::kXml;
    }
    return readXmlPropertyList(bytes);
  }
  return makePlatformError(PlatformErrorCode::kPropertyListReadCorrupt,
                           localized(u"The data is not a property list in a known format."));
}

Result<std::vector<std::uint8_t>> writePropertyList(const PropertyList& value,
                                                    PropertyListFormat format) {
  if (format == PropertyListFormat::kBinary) {
    return writeBinaryPropertyList(value);
  }
  return writeXmlPropertyList(value);
}

}  // namespace zv::platform
