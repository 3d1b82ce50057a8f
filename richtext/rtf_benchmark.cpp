#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"

namespace zv::richtext {
namespace {

// About a megabyte of note text: paragraphs of words in a few faces, sizes and colours, with
// links, list items and the odd non-ASCII word, changing formatting every few words.
AttributedString noteText(std::size_t targetLength) {
  static constexpr std::u16string_view kWords[] = {
      u"note ", u"library ", u"import ", u"caf\u00e9 ", u"Stra\u00dfe ", u"\u65e5\u672c ",
      u"{braces} ", u"back\\slash ", u"the ", u"and ", u"\U0001F4DD ", u"quennet "};
  static constexpr std::u16string_view kFaces[] = {u"Helvetica", u"Helvetica-Bold",
                                                   u"Times New Roman-Italic", u"Menlo"};
  std::mt19937 random(7);
  ParagraphStyle list;
  list.textLists = {TextList{TextList::kMarkerDisc, 1}};
  list.headIndent = 36;
  ParagraphStyle centred;
  centred.alignment = TextAlignment::kCenter;
  centred.paragraphSpacing = 6;
  MutableAttributedString text;
  while (text.length() < targetLength) {
    const ParagraphStyle* style = random() % 4 == 0 ? &list : random() % 4 == 0 ? &centred : nullptr;
    for (int run = 0, runs = 1 + static_cast<int>(random() % 8); run < runs; ++run) {
      Attributes attributes{
          {NSFontAttributeName, Font(std::u16string(kFaces[random() % 4]), 10 + (random() % 8))}};
      if (random() % 5 == 0) {
        attributes.emplace(NSForegroundColorAttributeName,
                           Color{.red = (random() % 256) / 255.0, .green = 0.5, .blue = 0});
      }
      if (random() % 20 == 0) {
        attributes.emplace(NSLinkAttributeName,
                           *platform::URL::fromString(u"https://example.com/page"));
      }
      if (style != nullptr) {
        attributes.emplace(NSParagraphStyleAttributeName, *style);
      }
      std::u16string words;
      for (int word = 0, count = 1 + static_cast<int>(random() % 6); word < count; ++word) {
        words += kWords[random() % std::size(kWords)];
      }
      if (run + 1 == runs) {
        words += u'\n';
      }
      text.appendString(words, attributes);
    }
  }
  return text;
}

void BM_RTFWriter(benchmark::State& state) {
  const AttributedString text = noteText(std::size_t{1} << 20);
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto rtf = rtfDataFromAttributedString(text);
    bytes = rtf->size();
    benchmark::DoNotOptimize(rtf);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  state.counters["runs"] = static_cast<double>(text.runs().size());
}
BENCHMARK(BM_RTFWriter)->Unit(benchmark::kMillisecond);

void BM_RTFReader(benchmark::State& state) {
  const AttributedString text = noteText(std::size_t{1} << 20);
  const std::vector<std::uint8_t> rtf = *rtfDataFromAttributedString(text);
  for (auto _ : state) {
    auto read = attributedStringFromRTF(rtf);
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(rtf.size()));
}
BENCHMARK(BM_RTFReader)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::richtext
