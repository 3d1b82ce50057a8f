#include <cstddef>
#include <cstdint>
#include <span>

#include "export/verify_export.h"

// Whatever the metadata file holds, checking it must end in a report, never a crash or a hang,
// and a report that says it is complete lists nothing.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zv::exporter::VerifyReport report =
      zv::exporter::verifyMetadataBytes(std::span<const std::uint8_t>(data, size));
  if (report.complete() != report.problems.empty()) {
    __builtin_trap();
  }
  return 0;
}
