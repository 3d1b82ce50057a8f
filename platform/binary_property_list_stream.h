#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/property_list.h"
#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"

namespace zv::platform {

/// A new file in `folder`, open for reading and writing, that has no name (or loses it at once)
/// and is private to the user (0600): scratch space that nobody else can open and that vanishes
/// with its descriptor. A symbolic link in place of the folder is refused, not followed.
Result<ScopedDescriptor> createUnnamedScratchFile(const URL& folder);

/// Writes a binary property list ("bplist00") object by object to a file, so that a list too
/// large for memory can be written as its values are made. Children are added before the
/// containers that refer to them by their object numbers; finish() names the root. Memory grows
/// with the number of distinct shared strings only (bounded by kMaximumSharedStrings): the
/// offset table goes to a scratch file until finish() appends it.
///
/// Errors: an encoding failure (invalid UTF-16, too many objects, nesting too deep) is
/// PlatformErrorCode::kPropertyListWriteInvalid; a failed write is a file error. After a failure
/// every call fails with the first error.
class BinaryPropertyListStreamWriter {
 public:
  using ObjectNumber = std::uint32_t;

  /// Strings shared beyond this many are written again at each use.
  static constexpr std::size_t kMaximumSharedStrings = std::size_t{1} << 16;

  /// Writes into `output`, an empty file open for writing, from its current position. Object
  /// references take the fewest bytes that number maximumObjectCount objects; more fail. The
  /// offset table waits in a scratch file in `scratchFolder`.
  static Result<BinaryPropertyListStreamWriter> create(int output, std::uint64_t maximumObjectCount,
                                                       const URL& scratchFolder);

  BinaryPropertyListStreamWriter(BinaryPropertyListStreamWriter&&) noexcept;
  BinaryPropertyListStreamWriter& operator=(BinaryPropertyListStreamWriter&&) noexcept;
  ~BinaryPropertyListStreamWriter();

  /// A string written for this one use.
  Result<ObjectNumber> addString(std::u16string_view text);
  /// A string written once and referred to at every later use (keys, names, repeated values).
  Result<ObjectNumber> addSharedString(std::u16string_view text);
  /// Whether addSharedString still keeps a new string for later uses; it stops at
  /// kMaximumSharedStrings, and keeps those it has.
  bool keepsNewSharedStrings() const;
  /// true and false are written once each.
  Result<ObjectNumber> addBoolean(bool value);
  Result<ObjectNumber> addReal(double value);
  Result<ObjectNumber> addArray(std::span<const ObjectNumber> elements);
  /// keys and values pair up by position; keys must be strings.
  Result<ObjectNumber> addDictionary(std::span<const ObjectNumber> keys,
                                     std::span<const ObjectNumber> values);
  /// A whole value with its children; its strings are shared. Strings, booleans, reals, arrays
  /// and dictionaries only: what the other types would cost to stream has found no use yet.
  Result<ObjectNumber> addValue(const PropertyList& value);
  Result<ObjectNumber> addValue(const PropertyList::Dictionary& dictionary);

  /// The text of a string object written earlier, read back from the output (which must be open
  /// for reading too): for the rare comparison that keeping every string in memory would cost
  /// more than it saves.
  Result<std::u16string> stringAt(ObjectNumber number);

  /// Appends the offset table and the trailer with root as the top object. Nothing may be added
  /// after.
  Result<void> finish(ObjectNumber root);

  /// Objects written so far.
  std::uint64_t objectCount() const;
  /// Bytes held in memory for shared strings and buffers, for measurements.
  std::size_t memoryBytes() const;

 private:
  struct State;
  explicit BinaryPropertyListStreamWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace zv::platform
