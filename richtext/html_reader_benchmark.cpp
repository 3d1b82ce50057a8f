#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>

#include "richtext/html_reader.h"

namespace zv::richtext {
namespace {

// About a megabyte of a web page: a head with styles and scripts, then headings, paragraphs
// with inline formatting and styles, links, nested lists and a table.
std::string webPage(std::size_t targetSize) {
  static constexpr std::string_view kInline[] = {
      "plain words and more words ",
      "<b>bold</b> ",
      "<i>italic text</i> ",
      "<a href=\"../other/page.html#part\">a relative link</a> ",
      "<span style=\"font-family: Georgia, serif; font-size: 15px; color: #336699\">styled</span> ",
      "caf&eacute; &amp; &lt;tags&gt; ",
      "<code>code()</code> ",
      "\n   spread\n   over   lines ",
  };
  std::mt19937 random(11);
  std::string html =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Page</title>"
      "<style>p { margin: 0 }</style><script>var x = '<div>';</script></head><body>";
  while (html.size() < targetSize) {
    switch (random() % 6) {
      case 0:
        html += "<h2>A heading</h2>";
        break;
      case 1:
        html += "<ul><li>one</li><li>two<ol><li>nested</li></ol></li></ul>";
        break;
      case 2:
        html += "<table><tr><td>cell</td><td>cell</td></tr></table>";
        break;
      default:
        html += "<p>";
        for (int piece = 0, count = 3 + static_cast<int>(random() % 10); piece < count; ++piece) {
          html += kInline[random() % std::size(kInline)];
        }
        html += "</p>\n";
    }
  }
  return html + "</body></html>";
}

void BM_HTMLReader(benchmark::State& state) {
  const std::string html = webPage(std::size_t{1} << 20);
  const auto base = platform::URL::fromString(u"https://example.com/dir/index.html");
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(html.data()),
                                            html.size());
  for (auto _ : state) {
    auto text = attributedStringFromHTML(bytes, &*base);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}
BENCHMARK(BM_HTMLReader)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::richtext
