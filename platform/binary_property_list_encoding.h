#pragma once

// The pieces of the "bplist00" format that the whole-tree writer, the streaming writer and the
// reader share: markers, integer widths, the encoders of single objects and the string table
// that finds equal strings. Internal to the property-list component.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zv::platform::bplist {

inline constexpr std::uint8_t kMagic[] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
inline constexpr std::size_t kHeaderSize = sizeof kMagic;
inline constexpr std::size_t kTrailerSize = 32;

// Object markers: the high nibble is the type, the low nibble a size or a count (0xF: the
// count follows as an integer object).
inline constexpr std::uint8_t kFalseMarker = 0x08;
inline constexpr std::uint8_t kTrueMarker = 0x09;
inline constexpr std::uint8_t kIntegerMarker = 0x10;
inline constexpr std::uint8_t kRealMarker = 0x20;
inline constexpr std::uint8_t kDateMarker = 0x33;
inline constexpr std::uint8_t kDataMarker = 0x40;
inline constexpr std::uint8_t kAsciiStringMarker = 0x50;
inline constexpr std::uint8_t kUtf16StringMarker = 0x60;
inline constexpr std::uint8_t kUidMarker = 0x80;
inline constexpr std::uint8_t kArrayMarker = 0xA0;
inline constexpr std::uint8_t kDictionaryMarker = 0xD0;
inline constexpr std::uint8_t kCountFollows = 0x0F;

/// The fewest of 1, 2, 4 or 8 bytes that hold value.
inline unsigned widthFor(std::uint64_t value) {
  if (value <= 0xFF) {
    return 1;
  }
  if (value <= 0xFFFF) {
    return 2;
  }
  if (value <= 0xFFFF'FFFF) {
    return 4;
  }
  return 8;
}

inline unsigned log2OfWidth(unsigned width) {
  return static_cast<unsigned>(std::countr_zero(width));
}

// Both loops below take several code units a step: strings are most of a metadata file.
inline bool isAscii(std::u16string_view text) {
  const char16_t* units = text.data();
  std::size_t size = text.size();
  std::uint64_t high = 0;
#if defined(__SSE2__)
  __m128i highUnits = _mm_setzero_si128();
  for (; size >= 8; units += 8, size -= 8) {
    highUnits = _mm_or_si128(highUnits, _mm_loadu_si128(reinterpret_cast<const __m128i*>(units)));
  }
  std::uint64_t halves[2];
  std::memcpy(halves, &highUnits, sizeof halves);
  high = halves[0] | halves[1];
#endif
  for (; size >= 4; units += 4, size -= 4) {
    std::uint64_t word = 0;
    std::memcpy(&word, units, 8);
    high |= word;
  }
  for (; size > 0; ++units, --size) {
    high |= *units;
  }
  return (high & 0xFF80'FF80'FF80'FF80ULL) == 0;
}

/// Equal code units; memcmp, where the character traits of char16_t compare unit by unit. An
/// empty view may have no data at all, which memcmp must not be given.
inline bool sameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}

/// Bytes a marker with this count takes.
inline std::size_t countSize(std::uint64_t count) {
  return count < kCountFollows ? 1 : 2 + widthFor(count);
}

/// Bytes a string object takes.
inline std::size_t stringSize(std::size_t length, bool ascii) {
  return countSize(length) + length * (ascii ? 1 : 2);
}

// The encoders write at out and return the position after what they wrote; the caller has made
// room (sizes above).
// One store per width: references and offsets are a third of a file's bytes.
inline std::uint8_t* putBigEndian(std::uint8_t* out, std::uint64_t value, unsigned width) {
  switch (width) {
    case 1:
      *out = static_cast<std::uint8_t>(value);
      return out + 1;
    case 2: {
      const std::uint16_t swapped = __builtin_bswap16(static_cast<std::uint16_t>(value));
      std::memcpy(out, &swapped, 2);
      return out + 2;
    }
    case 4: {
      const std::uint32_t swapped = __builtin_bswap32(static_cast<std::uint32_t>(value));
      std::memcpy(out, &swapped, 4);
      return out + 4;
    }
    default:
      break;
  }
  for (unsigned shift = width * 8; shift > 0; shift -= 8) {
    *out++ = static_cast<std::uint8_t>(value >> (shift - 8));
  }
  return out;
}

inline std::uint8_t* putMarker(std::uint8_t* out, std::uint8_t marker, std::uint64_t count) {
  if (count < kCountFollows) {
    *out++ = static_cast<std::uint8_t>(marker | count);
    return out;
  }
  *out++ = marker | kCountFollows;
  const unsigned width = widthFor(count);
  *out++ = static_cast<std::uint8_t>(kIntegerMarker | log2OfWidth(width));
  return putBigEndian(out, count, width);
}

inline void narrowAscii(std::uint8_t* out, const char16_t* text, std::size_t size) {
  static_assert(std::endian::native == std::endian::little, "the packing below is little-endian");
#if defined(__SSE2__)
  // The units are ASCII, so the saturating pack keeps each one as it is.
  for (; size >= 16; out += 16, text += 16, size -= 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
  }
#endif
  for (; size >= 4; out += 4, text += 4, size -= 4) {
    std::uint64_t word = 0;
    std::memcpy(&word, text, 8);
    // Little-endian units: the low byte of each is the character.
    const auto bytes =
        static_cast<std::uint32_t>((word & 0xFF) | (word >> 8 & 0xFF00) | (word >> 16 & 0xFF'0000) |
                                   (word >> 24 & 0xFF00'0000));
    std::memcpy(out, &bytes, 4);
  }
  for (; size > 0; ++out, ++text, --size) {
    *out = static_cast<std::uint8_t>(*text);
  }
}

inline std::uint8_t* putString(std::uint8_t* out, std::u16string_view text, bool ascii) {
  if (ascii) {
    out = putMarker(out, kAsciiStringMarker, text.size());
    narrowAscii(out, text.data(), text.size());
    return out + text.size();
  }
  out = putMarker(out, kUtf16StringMarker, text.size());
  for (char16_t unit : text) {
    *out++ = static_cast<std::uint8_t>(unit >> 8);
    *out++ = static_cast<std::uint8_t>(unit);
  }
  return out;
}

/// Reads a big-endian unsigned integer of width bytes (1, 2, 4 or 8).
inline std::uint64_t readBigEndian(const std::uint8_t* in, unsigned width) {
  switch (width) {
    case 1:
      return *in;
    case 2: {
      std::uint16_t value = 0;
      std::memcpy(&value, in, 2);
      return __builtin_bswap16(value);
    }
    case 4: {
      std::uint32_t value = 0;
      std::memcpy(&value, in, 4);
      return __builtin_bswap32(value);
    }
    default:
      break;
  }
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value = value << 8 | in[i];
  }
  return value;
}

/// The count in the head of an object that these encoders wrote, and the bytes the head takes.
/// It trusts the head: it reads our own output back, never a file's.
struct ObjectHead {
  std::uint64_t count;
  std::size_t size;
};

inline ObjectHead readOwnObjectHead(const std::uint8_t* in) {
  const std::uint64_t count = in[0] & kCountFollows;
  if (count != kCountFollows) {
    return {count, 1};
  }
  const unsigned width = 1u << (in[1] & 0x0F);
  return {readBigEndian(in + 2, width), 2 + std::size_t{width}};
}

/// Widens ASCII bytes into code units; false, with out partly filled, when a byte is not ASCII.
inline bool widenAscii(char16_t* out, const std::uint8_t* in, std::size_t size) {
  static_assert(std::endian::native == std::endian::little, "the spreading below is little-endian");
  std::uint32_t high = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step where the instruction set allows: strings are most of what we read.
  const __m128i zero = _mm_setzero_si128();
  int highBits = 0;
  for (; size >= 16; out += 16, in += 16, size -= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    highBits |= _mm_movemask_epi8(bytes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
  }
  high = highBits == 0 ? 0 : 0x80;
#endif
  for (; size >= 4; out += 4, in += 4, size -= 4) {
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, in, 4);
    high |= bytes;
    const std::uint64_t units = (bytes & 0xFFULL) | (bytes & 0xFF00ULL) << 8 |
                                (bytes & 0xFF'0000ULL) << 16 | (bytes & 0xFF00'0000ULL) << 24;
    std::memcpy(out, &units, 8);
  }
  for (; size > 0; ++out, ++in, --size) {
    high |= *in;
    *out = *in;
  }
  return (high & 0x8080'8080U) == 0;
}

/// A fast hash of a string's code units, eight bytes a step. Tables keyed by it hold our own
/// output's strings, not an attacker's choice of collisions.
inline std::uint64_t hashText(std::u16string_view text) {
  constexpr std::uint64_t kMultiplier = 0x9E37'79B9'7F4A'7C15ULL;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t remaining = text.size() * sizeof(char16_t);
  std::uint64_t hash = remaining * kMultiplier;
  while (remaining >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, 8);
    hash = std::rotl((hash ^ word) * kMultiplier, 29);
    bytes += 8;
    remaining -= 8;
  }
  if (remaining > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, remaining);
    hash = std::rotl((hash ^ word) * kMultiplier, 29);
  }
  hash ^= hash >> 32;
  hash *= kMultiplier;
  return hash ^ (hash >> 29);
}

/// Finds equal strings by open addressing. Each slot holds the string's number plus one (0: free)
/// beside 32 bits of its hash, which also place it: a probe reads only the table and looks at a
/// string only when the bits match, and growing the table never reads a string again. Reaching
/// back into strings scattered over a large tree, at every probe and again at every growth, was
/// most of the writer's time.
class StringTable {
 public:
  struct Slot {
    std::uint32_t numberPlusOne;
    std::uint32_t tag;
  };

  /// The slot holding a string equal to text (numberPlusOne != 0), or the free slot where it
  /// belongs. textOf(number) gives the text of a stored string. Call reserveOneMore() first.
  template <typename TextOf>
  Slot& find(std::u16string_view text, std::uint64_t hash, TextOf&& textOf) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tagOf(hash);
    for (std::size_t index = tag & mask;; index = (index + 1) & mask) {
      Slot& slot = slots_[index];
      if (slot.numberPlusOne == 0 ||
          (slot.tag == tag && sameText(textOf(slot.numberPlusOne - 1), text))) {
        return slot;
      }
    }
  }

  /// Fills the free slot that find() returned.
  void store(Slot& slot, std::uint32_t number, std::uint64_t hash) {
    slot = {number + 1, tagOf(hash)};
    ++count_;
  }

  /// Keeps the table at most half full; grows it when one more string would pass that.
  void reserveOneMore() {
    if ((count_ + 1) * 2 <= slots_.size()) {
      return;
    }
    std::vector<Slot> old(std::max<std::size_t>(slots_.size() * 2, 1024), Slot{0, 0});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& moved : old) {
      if (moved.numberPlusOne == 0) {
        continue;
      }
      std::size_t index = moved.tag & mask;
      while (slots_[index].numberPlusOne != 0) {
        index = (index + 1) & mask;
      }
      slots_[index] = moved;
    }
  }

  std::size_t size() const { return count_; }
  std::size_t memoryBytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  // The high half: the last steps of hashText() mix every input bit into it.
  static std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

/// The last string of each shape (length and end units) that a table took: records of one shape
/// repeat the same few keys, and this finds them again with one comparison, without hashing or
/// probing the table.
class RecentStrings {
 public:
  /// The line where a string like text is remembered: its number plus one, 0 while there is
  /// none. Whoever reads it compares the text; whoever stores a string may write it.
  std::uint32_t& line(std::u16string_view text) {
    const std::size_t size = text.size();
    const std::size_t shape = size * 31 + (size == 0 ? 0 : text.front() * 7 + text.back());
    return lines_[shape % kLines];
  }

 private:
  static constexpr std::size_t kLines = 64;
  std::array<std::uint32_t, kLines> lines_{};
};

}  // namespace zv::platform::bplist
