#include "export/completed_items.h"

#include <functional>
#include <utility>

namespace zv::exporter {
namespace {

std::uint64_t fingerprintOf(std::u16string_view identifier) {
  const std::uint64_t hash = std::hash<std::u16string_view>{}(identifier);
  return hash == 0 ? 1 : hash;
}

// Places the fingerprint in slots whose size is a power of two; false when it is there already.
bool place(std::vector<std::uint64_t>& slots, std::uint64_t fingerprint) {
  const std::size_t mask = slots.size() - 1;
  // The low bits pick the slot; the hash's high bits are as good, so mix them in.
  for (std::size_t at = (fingerprint ^ (fingerprint >> 32)) & mask;; at = (at + 1) & mask) {
    if (slots[at] == fingerprint) {
      return false;
    }
    if (slots[at] == 0) {
      slots[at] = fingerprint;
      return true;
    }
  }
}

}  // namespace

bool CompletedItems::insert(std::u16string_view identifier) {
  if (static_cast<std::size_t>(count_ + 1) * 2 > slots_.size()) {
    grow();
  }
  if (!place(slots_, fingerprintOf(identifier))) {
    return false;
  }
  ++count_;
  return true;
}

void CompletedItems::grow() {
  std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
  while (size < static_cast<std::size_t>(count_ + 1) * 2) {
    size *= 2;
  }
  std::vector<std::uint64_t> larger(size, 0);
  for (std::uint64_t fingerprint : slots_) {
    if (fingerprint != 0) {
      place(larger, fingerprint);
    }
  }
  slots_ = std::move(larger);
}

void CompletedItems::forgetIdentifiers() {
  slots_ = {};
}

}  // namespace zv::exporter
