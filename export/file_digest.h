#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv::exporter {

/// An open file's SHA-256 and size.
struct FileDigest {
  static constexpr std::size_t kLength = 32;

  std::uint64_t size = 0;
  std::array<unsigned char, kLength> sha256{};

  /// 64 lowercase hexadecimal digits.
  std::string hexadecimal() const;

  friend bool operator==(const FileDigest&, const FileDigest&) = default;
};

/// Buffers of this size keep hashing at the speed of the page cache.
inline constexpr std::size_t kDigestChunkSize = std::size_t{256} << 10;

/// The digest of the open file `descriptor`, read from its start whatever its position; none
/// when it cannot be read. `buffer` is the caller's, reused from file to file (a fresh one per
/// file costs more than hashing a small one); it must not be empty.
std::optional<FileDigest> digestOfFile(int descriptor, std::vector<unsigned char>& buffer);

/// The digest whose hexadecimal() is `text`; none for anything else.
std::optional<std::array<unsigned char, FileDigest::kLength>> sha256FromHexadecimal(
    std::string_view text);

}  // namespace zv::exporter
