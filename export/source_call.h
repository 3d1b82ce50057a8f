#pragma once

#include <string>
#include <utility>

#include "platform/result.h"

namespace zv::exporter {

/// A failed call to the source library. It never leaves the export operation: the operation
/// turns it into kSourceFailedErrorCode with the source's reason, ending the run wherever it
/// stood.
class SourceCallFailed {
 public:
  explicit SourceCallFailed(std::u16string reason) : reason_(std::move(reason)) {}
  const std::u16string& reason() const { return reason_; }

 private:
  std::u16string reason_;
};

/// The value of a source call, or the end of the run with the source's reason.
template <typename T>
T sourceValue(platform::Result<T> result) {
  if (!result) {
    throw SourceCallFailed(std::move(result).error().description);
  }
  return std::move(result).value();
}

/// The end of the run with the source's reason, when a call that returns nothing failed.
inline void sourceValue(platform::Result<void> result) {
  if (!result) {
    throw SourceCallFailed(std::move(result).error().description);
  }
}

}  // namespace zv::exporter
