// Loading and saving a defaults file that holds 1,000 saved note styles: the catalogue reads it
// at first use after every change, and every saved style rewrites it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "platform/keyed_archive.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "platform/user_defaults.h"

namespace {

using zv::platform::ArchivedObject;

constexpr int kStyles = 1000;
constexpr char16_t kStylesKey[] = u"QNTNoteTextStyles";

// About 300 bytes of archive per style, shaped like a saved note style.
ArchivedObject styleLike(int index) {
  char identifier[40];
  std::snprintf(identifier, sizeof identifier, "5F0C9B3E-0D41-4C8A-9E2B-%012d", index);
  ArchivedObject::Dictionary color = {
      {u"red", 0.1 * (index % 10)}, {u"green", 0.2}, {u"blue", 0.3}, {u"alpha", 1.0}};
  ArchivedObject::Dictionary style = {
      {u"identifier", zv::platform::fromUtf8(identifier)},
      {u"name", zv::platform::fromUtf8("Custom style " + std::to_string(index))},
      {u"type", 9999},
      {u"fontName", u"HelveticaNeue-Bold"},
      {u"fontSize", 13.0 + index % 7},
      {u"foregroundColor", color},
      {u"highlight", index % 2 == 0},
      {u"paragraphSpacing", 2.0},
      {u"lineHeightMultiple", 1.2},
      {u"headerLevel", index % 4},
  };
  return style;
}

struct Fixture {
  Fixture() : folder(zv::platform::TemporaryDirectory::create(u"zv-defaults-bench")) {
    ArchivedObject::Array styles;
    for (int index = 0; index < kStyles; ++index) {
      styles.push_back(styleLike(index));
    }
    archive = styles;
    styles.front() = styleLike(kStyles);
    changedArchive = styles;
    path = std::filesystem::path(folder->url().fileSystemPath()) / "defaults.plist";
  }
  zv::platform::Result<zv::platform::TemporaryDirectory> folder;
  ArchivedObject archive;
  // The same with one style changed, so that each save has something to write.
  ArchivedObject changedArchive;
  std::filesystem::path path;
};

void BM_UserDefaultsLoad(benchmark::State& state) {
  Fixture fixture;
  zv::platform::UserDefaults defaults(fixture.path);
  if (!defaults.archiveObject(fixture.archive, kStylesKey)) {
    state.SkipWithError("could not write the defaults");
    return;
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    defaults.reload();
    const auto stored = defaults.objectForKey(kStylesKey);
    bytes = stored && stored->asData() ? stored->asData()->size() : 0;
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["archive_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_UserDefaultsLoad)->Unit(benchmark::kMillisecond);

// A save archives the styles, reads the file again under the lock and writes it durably.
void BM_UserDefaultsSave(benchmark::State& state) {
  Fixture fixture;
  zv::platform::UserDefaults defaults(fixture.path);
  bool changed = false;
  for (auto _ : state) {
    changed = !changed;
    if (!defaults.archiveObject(changed ? fixture.changedArchive : fixture.archive, kStylesKey)) {
      state.SkipWithError("could not write the defaults");
      return;
    }
  }
}
BENCHMARK(BM_UserDefaultsSave)->Unit(benchmark::kMillisecond);

}  // namespace
