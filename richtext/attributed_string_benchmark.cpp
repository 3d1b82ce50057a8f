#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "richtext/attributed_string.h"

namespace zv::richtext {
namespace {

// 1 MiB of UTF-16: 524,288 code units.
constexpr std::size_t kTextLength = std::size_t{1} << 19;

// Dictionaries as a styled note has them: a font, often a colour, sometimes a link or a style.
std::vector<Attributes> attributePool() {
  std::vector<Attributes> pool;
  for (int i = 0; i < 8; ++i) {
    Attributes attributes = {
        {NSFontAttributeName, Font{i % 2 == 0 ? u"Helvetica" : u"Menlo", 12.0 + i}}};
    if (i % 3 != 0) {
      attributes.emplace(NSForegroundColorAttributeName,
                         Color{Color::Space::kSRGB, 0.1 * i, 0.2, 0.3, 1});
    }
    if (i == 5) {
      attributes.emplace(QNTNoteTextStyleIdentifierAttributeName,
                         std::u16string(u"QNTNoteStyleIdentifierBody"));
    }
    pool.push_back(std::move(attributes));
  }
  return pool;
}

// The text split into runCount runs of random lengths, neighbours always different.
MutableAttributedString sampleText(std::size_t runCount) {
  const std::vector<Attributes> pool = attributePool();
  std::mt19937 random(7);
  std::set<std::size_t> distinctCuts;
  while (distinctCuts.size() < runCount - 1) {
    distinctCuts.insert(1 + random() % (kTextLength - 1));
  }
  std::vector<std::size_t> cuts(distinctCuts.begin(), distinctCuts.end());
  cuts.push_back(kTextLength);
  std::u16string characters(kTextLength, u'x');
  for (std::size_t i = 0; i < characters.size(); ++i) {
    characters[i] = static_cast<char16_t>(u'a' + i % 26);
  }
  MutableAttributedString text;
  std::size_t start = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    text.appendString(std::u16string_view(characters).substr(start, cuts[i] - start),
                      pool[i % pool.size()]);
    start = cuts[i];
  }
  return text;
}

std::vector<Range> shortRanges(std::size_t count) {
  std::mt19937 random(11);
  std::vector<Range> ranges(count);
  for (Range& range : ranges) {
    range.location = random() % (kTextLength - 16);
    range.length = 1 + random() % 16;
  }
  return ranges;
}

void setRunCounters(benchmark::State& state, const AttributedString& text) {
  state.counters["runs"] = static_cast<double>(text.runCount());
}

void BM_RunLookupAtRandomIndex(benchmark::State& state) {
  const MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  const std::vector<Range> ranges = shortRanges(4096);
  std::size_t next = 0;
  for (auto _ : state) {
    Range run;
    benchmark::DoNotOptimize(
        &text.attributesAtIndex(ranges[next++ % ranges.size()].location, &run));
    benchmark::DoNotOptimize(run);
  }
  setRunCounters(state, text);
}
BENCHMARK(BM_RunLookupAtRandomIndex)->Arg(10'000)->Arg(100'000);

// Adding and then removing the mark leaves the runs as they were, so every iteration edits the
// same kind of text.
void BM_AddThenRemoveAttributeOverShortRange(benchmark::State& state) {
  MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  const std::vector<Range> ranges = shortRanges(4096);
  std::size_t next = 0;
  for (auto _ : state) {
    const Range range = ranges[next++ % ranges.size()];
    text.addAttribute(QNTHighlightAttributeName, true, range);
    text.removeAttribute(QNTHighlightAttributeName, range);
  }
  setRunCounters(state, text);
}
BENCHMARK(BM_AddThenRemoveAttributeOverShortRange)->Arg(10'000)->Arg(100'000);

void BM_SetAttributesOverShortRange(benchmark::State& state) {
  MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  const std::vector<Attributes> pool = attributePool();
  const std::vector<Range> ranges = shortRanges(4096);
  std::size_t next = 0;
  for (auto _ : state) {
    const std::size_t index = next++;
    text.setAttributes(pool[index % pool.size()], ranges[index % ranges.size()]);
  }
  setRunCounters(state, text);
}
BENCHMARK(BM_SetAttributesOverShortRange)->Arg(10'000)->Arg(100'000);

// Same-length replacements, so the characters after the range stay where they are and the
// figure is the cost of the runs.
void BM_ReplaceCharactersOfShortRange(benchmark::State& state) {
  MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  const std::vector<Range> ranges = shortRanges(4096);
  const std::u16string replacement(16, u'z');
  std::size_t next = 0;
  for (auto _ : state) {
    const Range range = ranges[next++ % ranges.size()];
    text.replaceCharactersInRange(range, std::u16string_view(replacement).substr(0, range.length));
  }
  setRunCounters(state, text);
}
BENCHMARK(BM_ReplaceCharactersOfShortRange)->Arg(10'000)->Arg(100'000);

void BM_EnumerateAllRuns(benchmark::State& state) {
  const MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t visited = 0;
    text.enumerateAttributesInRange({0, text.length()},
                                    [&visited](const Attributes&, Range, bool&) { ++visited; });
    benchmark::DoNotOptimize(visited);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.runCount()));
  setRunCounters(state, text);
}
BENCHMARK(BM_EnumerateAllRuns)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

void BM_EnumerateOneAttribute(benchmark::State& state) {
  const MutableAttributedString text = sampleText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t visited = 0;
    text.enumerateAttribute(NSForegroundColorAttributeName, {0, text.length()},
                            [&visited](const AttributeValue*, Range, bool&) { ++visited; });
    benchmark::DoNotOptimize(visited);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.runCount()));
  setRunCounters(state, text);
}
BENCHMARK(BM_EnumerateOneAttribute)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

// Every run with a dictionary of its own (a font size per run), the archive's worst case.
void BM_ArchiveDistinctDictionaries(benchmark::State& state) {
  const auto runCount = static_cast<std::size_t>(state.range(0));
  MutableAttributedString text;
  for (std::size_t i = 0; i < runCount; ++i) {
    text.appendString(u"run ", {{NSFontAttributeName, Font{u"Helvetica", 8.0 + 0.001 * i}}});
  }
  for (auto _ : state) {
    auto data = archivedDataWithAttributedString(text);
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(runCount));
  setRunCounters(state, text);
}
BENCHMARK(BM_ArchiveDistinctDictionaries)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::richtext
