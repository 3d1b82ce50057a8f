#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace zv::exporter {

/// Linux limits one file name to 255 bytes of UTF-8, not 255 UTF-16 units.
inline constexpr std::size_t kMaximumFileNameBytes = 255;

/// A title made fit to name a file: control characters are removed before it is sanitised, so
/// that a title of nothing else comes out empty (the caller then picks another name) and a "."
/// behind them still counts as leading. Tabs and line breaks keep their sanitising rules.
std::u16string sanitizedFileNameForTitle(std::u16string_view title);

/// Cuts the name so that its UTF-8 form fits the file system: the extension and the suffix
/// (" 12" for a numbered copy) are kept, the base is shortened at a character boundary. An
/// extension too long to keep is treated as part of the base. Control characters, which no file
/// name should hold, are removed first.
std::u16string fileNameFittedToFileSystem(std::u16string_view name,
                                          std::u16string_view suffix = {});

/// The names taken in the export's root folder. The folder is ours and new, so the index knows
/// every name in it, and the n-th copy of a name costs O(1) instead of n probes of the disk.
class RootFolderNames {
 public:
  /// How many names placeFileUnderFreeName tries before it gives up.
  static constexpr int kMaximumNameAttempts = 1000;

  /// The first free name of "B.E", "B 1.E", "B 2.E", ... (B: base, E: extension), each fitted to
  /// the file system, now marked taken.
  std::u16string reserveUniqueName(std::u16string_view name);

  /// Puts a file into the root folder under the first free name for wantedName, as
  /// platform::placeFileUnderFreeName does with names from reserveUniqueName. A name taken on
  /// disk behind the index's back stays reserved and is passed over, since a file in the root
  /// folder is never replaced.
  template <typename PlaceAt>
  platform::Result<platform::URL> placeFileUnderFreeName(const platform::URL& rootFolder,
                                                         std::u16string_view wantedName,
                                                         PlaceAt&& placeAt) {
    return platform::placeFileUnderFreeName(
        rootFolder, kMaximumNameAttempts, [&](int) { return reserveUniqueName(wantedName); },
        std::forward<PlaceAt>(placeAt));
  }

  void clear();

  /// How many names the index has tried so far, for holding it to constant work per name.
  std::int64_t probeCount() const { return probes_; }

  /// Bytes the index holds, for holding it to a few dozen bytes per name.
  std::size_t memoryBytes() const;

 private:
  /// Every name reserved, each once. A million items each take a name of their own, so a hash
  /// node and a string object per name would cost more than the names: the names lie one after
  /// another in one buffer (a byte per character where each fits in one), found through a table
  /// of offsets tagged with part of their hash, so that texts are compared only on a likely match.
  class NameSet {
   public:
    /// False when the name was there already.
    bool insert(std::u16string_view name);
    std::size_t memoryBytes() const;

   private:
    // The name's encoded form: a header (width flag, length) and its characters.
    static void encode(std::u16string_view name, std::string& out);
    static std::size_t encodedSize(const char* entry);
    static std::uint64_t hashOf(std::string_view encoded);
    std::uint64_t* findSlot(std::string_view encoded, std::uint64_t hash);
    void grow();

    std::string bytes_;
    // Each slot: the hash's top bits above the entry's offset in bytes_ plus one; 0 is free.
    std::vector<std::uint64_t> slots_;
    std::size_t count_ = 0;
    std::string scratch_;
  };

  NameSet taken_;
  // The number to try next, by fitted name with the number's place marked.
  std::unordered_map<std::u16string, std::int64_t> nextNumber_;
  // By fitted name: the width of number its copies have reached, so full widths are skipped.
  std::unordered_map<std::u16string, size_t> widthInUse_;
  std::int64_t probes_ = 0;
};

}  // namespace zv::exporter
