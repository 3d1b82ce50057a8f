#include <cstddef>
#include <cstdint>
#include <span>

#include "richtext/html_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> html(data, size);
  static const auto base = zv::platform::URL::fromString(u"https://example.com/dir/page.html");
  zv::platform::Result<zv::richtext::AttributedString> text =
      zv::richtext::attributedStringFromHTML(html, &*base);
  if (!text) {
    return 0;
  }
  for (const zv::richtext::AttributeRun& run : text->runs()) {
    if (!run.attributes.contains(zv::richtext::NSFontAttributeName)) {
      __builtin_trap();
    }
  }
  // The same bytes read as a web archive's main resource must not crash either.
  (void)zv::richtext::attributedStringFromWebArchive(html);
  return 0;
}
