#include "export/file_digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <memory>
#include <string_view>

#include "platform/retry_on_interrupt.h"

namespace zv::exporter {
namespace {

constexpr char kHexadecimalDigits[] = "0123456789abcdef";

int valueOfHexadecimalDigit(char digit) {
  if (digit >= '0' && digit <= '9') {
    return digit - '0';
  }
  if (digit >= 'a' && digit <= 'f') {
    return digit - 'a' + 10;
  }
  return -1;
}

}  // namespace

std::string FileDigest::hexadecimal() const {
  std::string text;
  text.reserve(2 * kLength);
  for (const unsigned char byte : sha256) {
    text += kHexadecimalDigits[byte >> 4];
    text += kHexadecimalDigits[byte & 0xF];
  }
  return text;
}

std::optional<FileDigest> digestOfFile(int descriptor, std::vector<unsigned char>& buffer) {
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  FileDigest result;
  for (off_t offset = 0;;) {
    const ssize_t count = platform::retryOnInterrupt(
        [&] { return ::pread(descriptor, buffer.data(), buffer.size(), offset); });
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      break;
    }
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
      return std::nullopt;
    }
    offset += count;
    result.size += static_cast<std::uint64_t>(count);
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), result.sha256.data(), &length) != 1 ||
      length != FileDigest::kLength) {
    return std::nullopt;
  }
  return result;
}

std::optional<std::array<unsigned char, FileDigest::kLength>> sha256FromHexadecimal(
    std::string_view text) {
  if (text.size() != 2 * FileDigest::kLength) {
    return std::nullopt;
  }
  std::array<unsigned char, FileDigest::kLength> bytes{};
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    const int high = valueOfHexadecimalDigit(text[2 * index]);
    const int low = valueOfHexadecimalDigit(text[2 * index + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes[index] = static_cast<unsigned char>(high << 4 | low);
  }
  return bytes;
}

}  // namespace zv::exporter
