// Feeds arbitrary text to the parsers that read untrusted input: URLs from bookmarks, URL
// components, and ISO 8601 dates from library snapshots.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/date.h"
#include "platform/unicode.h"
#include "platform/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zv::platform;
  std::u16string text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  // Whatever parses, and whatever is derived from it, must read back as itself.
  auto readsBack = [](const URL& url) {
    auto again = URL::fromString(url.absoluteString());
    if (!again || !(*again == url)) {
      __builtin_trap();
    }
  };
  if (auto url = URL::fromString(text)) {
    (void)url->path();
    (void)url->fileSystemPath();
    (void)url->pathComponents();
    readsBack(*url);
    for (const URL& derived :
         {url->appendingPathComponent(u"x y"), url->appendingPathComponent(text),
          url->appendingPathComponent(text, true), url->appendingPathExtension(u"ext"),
          url->appendingPathExtension(text), url->deletingLastPathComponent(),
          url->deletingPathExtension()}) {
      readsBack(derived);
      readsBack(derived.deletingLastPathComponent());
    }
    URLComponents components(*url);
    (void)components.queryItems();
    components.setQueryItems(components.queryItems());
    (void)components.url();
  }
  // A bookmark's location may be a relative reference; it must read back as itself too.
  if (auto reference = URL::fromStringAllowingRelative(text)) {
    auto again = URL::fromStringAllowingRelative(reference->absoluteString());
    if (!again || !(*again == *reference)) {
      __builtin_trap();
    }
    (void)reference->host();
    (void)reference->pathComponents();
    (void)URLComponents(*reference).url();
  }
  if (auto components = URLComponents::fromString(text)) {
    (void)components->url();
    (void)components->host();
  }
  if (auto date = dateFromISO8601String(text)) {
    (void)iso8601StringFromDate(*date);
  }
  return 0;
}
