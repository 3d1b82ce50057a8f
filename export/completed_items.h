#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zv::exporter {

/// The items a run has dealt with, counted once each however often a source hands one over. It
/// keeps an 8-byte fingerprint per identifier instead of the identifier: a million items take
/// 16 MB at most. Two identifiers sharing a fingerprint would count as one; among a million
/// identifiers that happens with a chance of about 1 in 30 million, and would only show one item
/// fewer in the progress count.
class CompletedItems {
 public:
  /// Notes the identifier; false when it was noted before.
  bool insert(std::u16string_view identifier);
  std::int64_t count() const { return count_; }
  /// Frees the fingerprints once no more items come; the count stays.
  void forgetIdentifiers();

 private:
  void grow();

  // Open addressing with linear probing, at most half full; 0 marks a free slot.
  std::vector<std::uint64_t> slots_;
  std::int64_t count_ = 0;
};

}  // namespace zv::exporter
