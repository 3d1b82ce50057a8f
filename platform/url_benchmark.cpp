#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/content_type.h"
#include "platform/url.h"

namespace zv::platform {
namespace {

// Bookmark locations as they come out of a library: plain, with queries, with text fragments,
// with non-ASCII paths and with spaces pasted in.
const std::vector<std::u16string>& bookmarkLocations() {
  static const std::vector<std::u16string> locations = {
      u"https://example.com/",
      // One location, split for width.
      // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
      u"https://www.example.org/articles/2021/03/05/a-long-slug-for-an-article?utm_source=feed"
      u"&utm_medium=rss&id=12345#section-2",
      u"https://de.example.org/wiki/K\u00e4sefondue",
      u"https://example.com/search?q=two words&lang=en",
      u"https://example.com/page#:~:text=start%20of,end%20text",
      u"http://[2001:db8::1]:8080/path/to/resource",
  };
  return locations;
}

void BM_ParseBookmarkLocations(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::u16string& location : bookmarkLocations()) {
      benchmark::DoNotOptimize(URL::fromString(location));
    }
  }
  state.SetItemsProcessed(state.iterations() * bookmarkLocations().size());
}
BENCHMARK(BM_ParseBookmarkLocations);

void BM_ExportFileURL(benchmark::State& state) {
  URL root = URL::fileURLWithPath(
      u"/home/user/.local/share/QN7T3AM0RG.org.example.quennet/Zelvar/"
      u"Zelvar",
      true);
  for (auto _ : state) {
    URL file = root.appendingPathComponent(u"Einkaufsliste f\u00fcr Samstag #2.rtf");
    benchmark::DoNotOptimize(file.fileSystemPath());
    benchmark::DoNotOptimize(file.pathExtension());
  }
}
BENCHMARK(BM_ExportFileURL);

void BM_HandOverURL(benchmark::State& state) {
  URL metadata = URL::fileURLWithPath(u"/home/user/.local/share/group/Zelvar/Zelvar.plist");
  for (auto _ : state) {
    URLComponents components;
    components.setScheme(u"quennet");
    components.setHost(u"library");
    components.setQueryItems(std::vector<URLQueryItem>{{u"location", metadata.absoluteString()}});
    benchmark::DoNotOptimize(components.url());
  }
}
BENCHMARK(BM_HandOverURL);

void BM_ContentTypeForMIMEType(benchmark::State& state) {
  const std::u16string mimeTypes[] = {u"text/html", u"image/jpeg", u"application/pdf",
                                      u"application/vnd.oasis.opendocument.text"};
  MimeDatabase::system();  // loaded once per process, outside the measurement
  for (auto _ : state) {
    for (const std::u16string& mimeType : mimeTypes) {
      auto type = ContentType::withMIMEType(mimeType);
      benchmark::DoNotOptimize(type && type->conformsTo(ContentType::webArchive()));
    }
  }
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_ContentTypeForMIMEType);

void BM_LoadSystemMimeDatabase(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        MimeDatabase::loadFromFolders({"/usr/local/share/mime", "/usr/share/mime"}));
  }
}
BENCHMARK(BM_LoadSystemMimeDatabase)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::platform
