#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "source/library_snapshot.h"

namespace {

// One library folder for the whole run, which payload paths are checked against: a payload, a
// link to it inside the library and one leading out. Made once and never written again, so
// that every run sees the same folder.
const std::filesystem::path& libraryFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "zv-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    std::filesystem::path root(pattern);
    std::filesystem::create_directory(root / "payload");
    std::ofstream(root / "payload" / "a.rtf") << "a";
    std::filesystem::create_symlink("a.rtf", root / "payload" / "link.rtf");
    std::filesystem::create_symlink("/", root / "payload" / "escape");
    return root;
  }();
  static const bool removedAtExit = [] {
    return std::atexit([] { std::filesystem::remove_all(folder); }) == 0;
  }();
  (void)removedAtExit;
  return folder;
}

}  // namespace

// Whatever library.json holds, reading it must end in a library or an error, never a crash, an
// escaping exception or a hang. A library that was read must answer every question about it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zv::source;
  auto library = parseLibrarySnapshot(std::string_view(reinterpret_cast<const char*>(data), size),
                                      libraryFolder());
  if (!library) {
    if (library.error().description.empty()) {
      __builtin_trap();
    }
    return 0;
  }
  for (ItemKind kind : kAllItemKinds) {
    auto count = (*library)->countItems(kind);
    auto items = (*library)->getItems(kind);
    if (!count || !items || *count != static_cast<std::int64_t>(items->size())) {
      __builtin_trap();
    }
    // Every item is found again by its identifier; a payload handed over is open and named.
    for (const DatabaseItem& item : *items) {
      auto payload = (*library)->openItemPayload(item);
      if (payload && payload->has_value() &&
          (!(*payload)->file.valid() || (*payload)->fileName.empty())) {
        __builtin_trap();
      }
    }
  }
  if (!(*library)->getLabels() || !(*library)->getFolderCollections() ||
      !(*library)->getTagCollections()) {
    __builtin_trap();
  }
  return 0;
}
