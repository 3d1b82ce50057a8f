// Feeds arbitrary text, as links taken in from other applications would be, to every URL
// clean-up and highlighted-text operation. The input is split at its first newline: the link
// before it, the page text after it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unicode.h"
#include "platform/url.h"
#include "weblink/url_extensions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zv;
  std::u16string input =
      platform::fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t newline = input.find(u'\n');
  std::u16string_view link = std::u16string_view(input).substr(0, newline);
  std::u16string_view page = newline == std::u16string::npos
                                 ? std::u16string_view()
                                 : std::u16string_view(input).substr(newline + 1);
  // Relative links too: a bookmark's location need not have a scheme.
  std::optional<platform::URL> url = platform::URL::fromStringAllowingRelative(link);
  if (!url) {
    return 0;
  }
  (void)weblink::URLCleanedForImport(*url);
  bool contained = weblink::containsHighlightedText(*url);
  std::size_t count = weblink::highlightedTextComponents(*url).size();
  if (contained != (count >= 1 && count <= 4)) {
    __builtin_trap();
  }
  std::optional<std::u16string> passage = weblink::highlightedTextFromString(*url, page);
  // A passage that was searched for is a piece of the page; only a lone start text is not.
  if (passage && count > 1 && page.find(*passage) == std::u16string_view::npos) {
    bool loneStart = false;
    for (const std::u16string& part : weblink::highlightedTextComponents(*url)) {
      loneStart = loneStart || part == *passage;
    }
    if (!loneStart) {
      __builtin_trap();
    }
  }
  (void)weblink::matchesHost(*url, page);
  return 0;
}
