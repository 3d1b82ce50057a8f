#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "export/export_operation.h"
#include "export/root_folder_names.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/run_loop_main_queue.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"

namespace zv::exporter {
namespace {

// n bookmarks, one in ten sharing a single title, so that the name index is exercised the way
// a library full of "Untitled" pages would.
source::LibraryContents bookmarkLibrary(std::int64_t count) {
  source::LibraryContents contents;
  contents.items.reserve(static_cast<size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    source::DatabaseItem bookmark;
    bookmark.kind = source::ItemKind::bookmark;
    bookmark.id = platform::fromUtf8("B" + std::to_string(i));
    bookmark.name = i % 10 == 0 ? u"Home" : platform::fromUtf8("Page " + std::to_string(i));
    bookmark.location = platform::fromUtf8("https://site" + std::to_string(i % 97) +
                                           ".example/articles/" + std::to_string(i));
    contents.items.push_back(std::move(bookmark));
  }
  return contents;
}

void BM_ExportBookmarks(benchmark::State& state) {
  auto library =
      std::make_shared<source::MemorySourceLibrary>(bookmarkLibrary(state.range(0)), nullptr);
  int devNull = ::open("/dev/null", O_WRONLY);
  int previous = platform::setLogFileDescriptor(devNull);
  for (auto _ : state) {
    state.PauseTiming();
    auto container = platform::TemporaryDirectory::create(u"zv-bookmark-benchmark");
    platform::RunLoopMainQueue mainQueue;
    auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
    operation->setExportPasswordItems(true);
    operation->setExportEncryptedItems(true);
    operation->setContainerURL(container->url());
    bool done = false;
    operation->setExportCompletionBlock([&](auto error, auto) {
      done = true;
      if (error) {
        state.SkipWithError(platform::toUtf8(error->description).c_str());
      }
    });
    state.ResumeTiming();
    platform::OperationQueue queue;
    queue.addOperation(operation);
    mainQueue.runUntil([&] { return done; });
    queue.waitUntilAllOperationsAreFinished();
    state.PauseTiming();
    container.value().remove().ok();
    state.ResumeTiming();
  }
  platform::setLogFileDescriptor(previous);
  ::close(devNull);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ExportBookmarks)
    ->Arg(5000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

// 16,000 names for the root folder: distinct short ones (0), or ones of 100 × "漢" and a distinct
// number (1), which collide only once cut to the file system's 255 bytes. Both must cost about
// the same per name.
void BM_ReserveUniqueNames(benchmark::State& state) {
  constexpr int kCount = 16000;
  const std::u16string prefix = state.range(0) == 0 ? u"Note" : std::u16string(100, u'漢');
  std::vector<std::u16string> wanted;
  wanted.reserve(kCount);
  for (int i = 0; i < kCount; ++i) {
    wanted.push_back(prefix + platform::fromUtf8(" " + std::to_string(i) + ".rtf"));
  }
  for (auto _ : state) {
    RootFolderNames names;
    for (const auto& name : wanted) {
      benchmark::DoNotOptimize(names.reserveUniqueName(name));
    }
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_ReserveUniqueNames)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::exporter
