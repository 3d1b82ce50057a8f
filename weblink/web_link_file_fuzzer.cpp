#include <cstddef>
#include <cstdint>
#include <span>

#include "weblink/web_link_file.h"

using zv::weblink::QNTWebLinkFile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QNTWebLinkFile link;
  if (!link.readFromData(std::span<const std::uint8_t>(data, size))) {
    return 0;
  }
  static_cast<void>(link.title());
  static_cast<void>(link.summaryString());
  static_cast<void>(link.indexableText());
  // Whatever reads with a URL must write again, in both encodings, and read back.
  for (const auto& type :
       {QNTWebLinkFile::fileType(), QNTWebLinkFile::internetLocationFileType()}) {
    auto bytes = link.webLinkDataForType(type);
    if (link.URL() && !bytes) {
      __builtin_trap();
    }
    QNTWebLinkFile again;
    if (bytes && !again.readFromData(*bytes)) {
      __builtin_trap();
    }
  }
  return 0;
}
