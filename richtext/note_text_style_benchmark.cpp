#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "richtext/fake_font_manager.h"
#include "richtext/note_text_style.h"

namespace zv::richtext {
namespace {

// A private store in a fresh folder, with fake fonts, for the life of one benchmark.
class StyleStore {
 public:
  StyleStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zv-bench-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    setSharedFontManager(std::make_shared<FakeFontManager>());
    defaults_ = std::make_unique<platform::UserDefaults>(folder_ / "defaults.plist");
    QNTNoteTextStyle::setUserDefaults(defaults_.get());
  }
  StyleStore(const StyleStore&) = delete;
  StyleStore& operator=(const StyleStore&) = delete;
  ~StyleStore() {
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  platform::UserDefaults& defaults() { return *defaults_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<platform::UserDefaults> defaults_;
};

std::vector<QNTNoteTextStylePtr> customStyles(std::size_t count) {
  const char16_t* faces[] = {u"Menlo-Regular", u"Menlo-Bold", u"Helvetica", u"Helvetica-Bold",
                             u"HelveticaNeue-Italic"};
  std::vector<QNTNoteTextStylePtr> styles;
  for (std::size_t i = 0; i < count; ++i) {
    auto style = std::make_shared<QNTNoteTextStyle>();
    style->setType(QNTNoteTextStyleTypeCustom);
    style->setName(u"Style " + platform::fromUtf8(std::to_string(i)));
    style->setFont(Font(faces[i % std::size(faces)], 10 + static_cast<double>(i % 17)));
    style->setForegroundColor(
        Color{Color::Space::kSRGB, 0.1 * static_cast<double>(i % 10), 0.2, 0.3, 1});
    style->setApplyToParagraph(i % 3 == 0);
    styles.push_back(std::move(style));
  }
  return styles;
}

// Runs as imported text has them: mostly body text, some headings, some custom-styled runs,
// links and colours mixed in, and runs of fonts no style has.
std::vector<Attributes> runs(std::size_t count) {
  std::mt19937 random(7);
  const platform::URL link = *platform::URL::fromString(u"https://example.com/page");
  std::vector<Attributes> result;
  result.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Attributes run;
    switch (random() % 5) {
      case 0:
        run.emplace(NSFontAttributeName, Font(u"HelveticaNeue-Bold", 16));
        break;
      case 1:
        run.emplace(NSFontAttributeName, Font(u"Menlo-Bold", 10 + static_cast<double>(i % 17)));
        break;
      case 2:
        run.emplace(NSFontAttributeName, Font(u"Times-Roman", 12));
        break;
      default:
        run.emplace(NSFontAttributeName, Font(u"HelveticaNeue", 13));
        run.emplace(NSParagraphStyleAttributeName, ParagraphStyle::defaultParagraphStyle());
        break;
    }
    if (random() % 4 == 0) {
      run.emplace(NSLinkAttributeName, link);
      run.emplace(NSForegroundColorAttributeName, Color{Color::Space::kSRGB, 0, 0, 1, 1});
    }
    result.push_back(std::move(run));
  }
  return result;
}

void BM_StyleThatMatchesAttributes100kRuns50CustomStyles(benchmark::State& state) {
  StyleStore store;
  if (!QNTNoteTextStyle::saveStylesToDefaults(customStyles(50))) {
    state.SkipWithError("cannot save the styles");
    return;
  }
  const std::vector<Attributes> text = runs(100'000);
  std::size_t matched = 0;
  for (auto _ : state) {
    for (const Attributes& run : text) {
      matched += QNTNoteTextStyle::styleThatMatchesAttributes(run) ? 1 : 0;
    }
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_StyleThatMatchesAttributes100kRuns50CustomStyles)->Unit(benchmark::kMillisecond);

void BM_LoadAndDecode1000CustomStyles(benchmark::State& state) {
  StyleStore store;
  if (!QNTNoteTextStyle::saveStylesToDefaults(customStyles(1000))) {
    state.SkipWithError("cannot save the styles");
    return;
  }
  for (auto _ : state) {
    store.defaults().reload();  // read the file again, as a new process would
    QNTNoteTextStyle::reloadStylesFromDefaults();
    benchmark::DoNotOptimize(QNTNoteTextStyle::customStyles());
  }
}
BENCHMARK(BM_LoadAndDecode1000CustomStyles)->Unit(benchmark::kMillisecond);

void BM_EncodeAndSave1000CustomStyles(benchmark::State& state) {
  StyleStore store;
  const std::vector<QNTNoteTextStylePtr> styles = customStyles(1000);
  for (auto _ : state) {
    if (!QNTNoteTextStyle::saveStylesToDefaults(styles)) {
      state.SkipWithError("cannot save the styles");
      return;
    }
  }
}
BENCHMARK(BM_EncodeAndSave1000CustomStyles)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::richtext
