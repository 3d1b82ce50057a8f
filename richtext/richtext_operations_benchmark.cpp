#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/user_defaults.h"
#include "richtext/dynamic_colors.h"
#include "richtext/fake_font_manager.h"
#include "richtext/formatting.h"
#include "richtext/note_text_style_application.h"
#include "richtext/web_page_text.h"

namespace zv::richtext {
namespace {

constexpr std::size_t kTextLength = std::size_t{1} << 20;

// Fake fonts and a private, empty store for the life of one benchmark.
class Setting {
 public:
  Setting() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zv-bench-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    setSharedFontManager(std::make_shared<FakeFontManager>());
    defaults_ = std::make_unique<platform::UserDefaults>(folder_ / "defaults.plist");
    QNTNoteTextStyle::setUserDefaults(defaults_.get());
  }
  Setting(const Setting&) = delete;
  Setting& operator=(const Setting&) = delete;
  ~Setting() {
    QNTNoteTextStyle::setUserDefaults(nullptr);
    setSharedFontManager(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<platform::UserDefaults> defaults_;
};

// Distinct dictionaries in a text made with few styles; a page has a few hundred at most.
constexpr std::size_t kFewStyles = 420;

// A 1 MB web-like text of `runs` runs: lines with CR LF and blank-line runs, list-marked lines,
// fonts, colours, backgrounds, list layouts, intents and style tags mixed. With all styles,
// their periods make up to 60,060 distinct dictionaries, the worst case for sharing them; with
// few, the pattern repeats every kFewStyles runs.
MutableAttributedString webText(std::size_t runs, bool fewStyles) {
  const FontManager& fonts = sharedFontManager();
  const Font faces[] = {
      *fonts.fontWithName(u"Helvetica", 16), *fonts.fontWithName(u"Helvetica-Bold", 20),
      *fonts.fontWithName(u"HelveticaNeue-Bold", 16), *fonts.fontWithName(u"Menlo-Regular", 13)};
  const Color colors[] = {Color::blackColor(), Color::textColor(),
                          Color{Color::Space::kCalibratedRGB, 1, 0, 0, 1}};
  ParagraphStyle listLayout = ParagraphStyle::listParagraphStyle();
  const std::u16string pieces[] = {u"\t\u2022\tSome item text ", u"Words and words\r\n",
                                   u"\t12.\tNumbered ", u"More prose\n\n\n\n"};
  MutableAttributedString text;
  const std::size_t runLength = kTextLength / runs;
  for (std::size_t i = 0; i < runs; ++i) {
    std::u16string piece;
    while (piece.size() < runLength) {
      piece += pieces[(i + piece.size()) % std::size(pieces)];
    }
    piece.resize(runLength);
    const std::size_t style = fewStyles ? i % kFewStyles : i;
    Attributes attributes = {{NSFontAttributeName, faces[style % std::size(faces)]},
                             {NSForegroundColorAttributeName, colors[style % std::size(colors)]}};
    if (style % 5 == 0) {
      attributes.emplace(NSBackgroundColorAttributeName, colors[2]);
    }
    if (style % 7 < 3) {
      attributes.emplace(NSParagraphStyleAttributeName, listLayout);
    }
    if (style % 11 == 0) {
      attributes.emplace(QNTNoteTextStyleIdentifierAttributeName,
                         std::u16string(u"QNTNoteStyleIdentifierBody"));
    }
    if (style % 13 == 0) {
      attributes.emplace(NSPresentationIntentAttributeName,
                         PresentationIntent::blockQuote(1, nullptr));
    }
    text.appendString(piece, attributes);
  }
  return text;
}

void runOperation(benchmark::State& state, bool fewStyles,
                  const std::function<void(MutableAttributedString&)>& operation) {
  const Setting setting;
  const MutableAttributedString original =
      webText(static_cast<std::size_t>(state.range(0)), fewStyles);
  // Copying the text and freeing the changed one stay outside the timing.
  MutableAttributedString text;
  for (auto _ : state) {
    state.PauseTiming();
    text = original;
    state.ResumeTiming();
    operation(text);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kTextLength * 2));
}

#define ZV_RICHTEXT_OPERATION_BENCHMARK(name, body)                               \
  void BM_##name(benchmark::State& state) {                                       \
    runOperation(state, false, [](MutableAttributedString& text) { body; });      \
  }                                                                               \
  BENCHMARK(BM_##name)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond); \
  void BM_##name##FewStyles(benchmark::State& state) {                            \
    runOperation(state, true, [](MutableAttributedString& text) { body; });       \
  }                                                                               \
  BENCHMARK(BM_##name##FewStyles)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond)

ZV_RICHTEXT_OPERATION_BENCHMARK(CleanupWebPageText,
                                web_page_text::cleanupWebPageText(text, true, true, true));
ZV_RICHTEXT_OPERATION_BENCHMARK(CleanupHTMLNewlines,
                                web_page_text::cleanupHTMLNewlinesInRange(text,
                                                                          {0, text.length()}));
ZV_RICHTEXT_OPERATION_BENCHMARK(CheckForTextLists,
                                web_page_text::checkForTextListsAndConvertIfNecessary(text));
ZV_RICHTEXT_OPERATION_BENCHMARK(ScaleWithFactor, formatting::scaleWithFactor(text, 1.25));
ZV_RICHTEXT_OPERATION_BENCHMARK(IdentifyAndApplyStyles,
                                identifyAndApplyMatchingStylesDefaultingToBody(text, true));
ZV_RICHTEXT_OPERATION_BENCHMARK(
    ApplyFontColorsAndSpacing,
    applyFontColorsAndSpacingFromStyle(text, *QNTNoteTextStyle::bodyNoteTextStyle()));
ZV_RICHTEXT_OPERATION_BENCHMARK(UpdateNoteStyles, updateNoteStyles(text));
ZV_RICHTEXT_OPERATION_BENCHMARK(UpdateFixedAttributesOfNoteStyles,
                                updateFixedAttributesOfNoteStyles(text));
ZV_RICHTEXT_OPERATION_BENCHMARK(ConvertToDynamicColors,
                                dynamic_colors::convertToDynamicColors(text));
ZV_RICHTEXT_OPERATION_BENCHMARK(ConvertFromDynamicColors,
                                dynamic_colors::convertFromDynamicColors(text));

}  // namespace
}  // namespace zv::richtext
