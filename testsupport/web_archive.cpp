#include "testsupport/web_archive.h"

#include <gtest/gtest.h>

#include "platform/binary_property_list.h"

namespace zv::testsupport {

std::string webArchive(std::u16string_view mimeType, std::string_view data,
                       std::u16string_view encoding, std::u16string_view url) {
  using platform::PropertyList;
  PropertyList::Dictionary resource;
  resource.set(u"WebResourceMIMEType", std::u16string(mimeType));
  resource.set(u"WebResourceData", PropertyList::Data(data.begin(), data.end()));
  if (!encoding.empty()) {
    resource.set(u"WebResourceTextEncodingName", std::u16string(encoding));
  }
  if (!url.empty()) {
    resource.set(u"WebResourceURL", std::u16string(url));
  }
  PropertyList::Dictionary archive;
  archive.set(u"WebMainResource", std::move(resource));
  auto bytes = platform::writeBinaryPropertyList(PropertyList(std::move(archive)));
  EXPECT_TRUE(bytes);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

}  // namespace zv::testsupport
