#include "platform/binary_property_list_stream.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/binary_property_list_encoding.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/retry_on_interrupt.h"

namespace zv::platform {
namespace {

using namespace bplist;  // NOLINT(google-build-using-namespace): the format's own names

// Writes are gathered to this size: a system call per object would cost more than the object.
constexpr std::size_t kBufferSize = std::size_t{256} << 10;
// Offsets wait in memory in chunks of this many before they go to the scratch file.
constexpr std::size_t kOffsetChunk = std::size_t{1} << 15;

Error encodingError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListWriteInvalid, std::move(description));
}

Result<void> writeAllAt(int descriptor, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t count = retryOnInterrupt([&] { return ::write(descriptor, bytes, size); });
    if (count < 0) {
      return makeFileErrorFromErrno(errno, "(property list)");
    }
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return {};
}

}  // namespace

Result<ScopedDescriptor> createUnnamedScratchFile(const URL& folder) {
  const std::string path = folder.fileSystemPath();
  ScopedDescriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) {
    return makeFileErrorFromErrno(errno, path);
  }
  ScopedDescriptor file(::openat(directory.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.valid()) {
    return file;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    return makeFileErrorFromErrno(errno, path);
  }
  // A file system without unnamed files: a new name of our own, removed as soon as it is open.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string name = ".scratch-" + std::to_string(::getpid()) + "-" +
                             std::to_string(now.tv_nsec) + "-" + std::to_string(attempt);
    file = ScopedDescriptor(::openat(directory.get(), name.c_str(),
                                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.valid()) {
      ::unlinkat(directory.get(), name.c_str(), 0);
      return file;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  return makeFileErrorFromErrno(errno, path);
}

struct BinaryPropertyListStreamWriter::State {
  int output = -1;
  ScopedDescriptor offsetSpill;
  unsigned refWidth = 1;
  std::uint64_t maximumObjectCount = 0;
  std::uint64_t objectCount = 0;
  // Bytes handed to the output, the buffer's included: the next object's offset.
  std::uint64_t position = 0;
  std::uint64_t lastOffset = 0;
  std::vector<std::uint8_t> buffer;
  std::size_t buffered = 0;
  std::vector<std::uint64_t> offsets;
  // Offsets already in the scratch file; offsets[0] is that of object number `spilled`.
  std::uint64_t spilled = 0;
  // Shared strings: their text in one arena, found through the table by their index here.
  StringTable sharedTable;
  RecentStrings recentShared;
  std::u16string sharedText;
  std::vector<std::pair<std::size_t, std::size_t>> sharedSpans;
  std::vector<ObjectNumber> sharedNumbers;
  std::array<ObjectNumber, 2> booleans{};  // object numbers plus one
  std::optional<Error> error;
  bool finished = false;

  // The test that every call makes; failure() builds the error only when it holds.
  bool failed() const { return error.has_value() || finished; }

  Result<void> failure() const {
    if (error) {
      return *error;
    }
    if (finished) {
      return encodingError(localized(u"The property list is finished already."));
    }
    return {};
  }

  template <typename T>
  Result<T> fail(Error failed) {
    error = failed;
    return failed;
  }

  Result<void> flush() {
    if (buffered == 0) {
      return {};
    }
    auto written = writeAllAt(output, buffer.data(), buffered);
    buffered = 0;
    if (!written) {
      error = written.error();
    }
    return written;
  }

  // Room for an object of `size` bytes, which becomes the next object; fill it and call commit.
  Result<std::uint8_t*> beginObject(std::size_t size) {
    if (failed()) {
      return failure().error();
    }
    if (objectCount >= maximumObjectCount) {
      return fail<std::uint8_t*>(encodingError(localized(u"Property list has too many objects.")));
    }
    if (buffered + size > buffer.size()) {
      ZV_TRY(flush());
      if (size > buffer.size()) {
        buffer.resize(size);
      }
    }
    offsets.push_back(position);
    lastOffset = position;
    if (offsets.size() == kOffsetChunk) {
      ZV_TRY(spillOffsets());
    }
    return buffer.data() + buffered;
  }

  ObjectNumber commit(const std::uint8_t* end) {
    const auto size = static_cast<std::size_t>(end - (buffer.data() + buffered));
    buffered += size;
    position += size;
    if (buffer.size() > kBufferSize) {
      // A huge string grew the buffer; hand it over and shrink back.
      static_cast<void>(flush());
      buffer.resize(kBufferSize);
      buffer.shrink_to_fit();
    }
    return static_cast<ObjectNumber>(objectCount++);
  }

  Result<void> spillOffsets() {
    auto written =
        writeAllAt(offsetSpill.get(), reinterpret_cast<const std::uint8_t*>(offsets.data()),
                   offsets.size() * sizeof(std::uint64_t));
    spilled += offsets.size();
    offsets.clear();
    if (!written) {
      error = written.error();
    }
    return written;
  }

  Result<ObjectNumber> addString(std::u16string_view text) {
    if (failed()) {
      return failure().error();
    }
    const bool ascii = isAscii(text);
    if (!ascii && !isValidUtf16(text)) {
      return fail<ObjectNumber>(
          encodingError(localized(u"Property list string is not valid UTF-16.")));
    }
    ZV_ASSIGN_OR_RETURN(std::uint8_t * out, beginObject(stringSize(text.size(), ascii)));
    return commit(putString(out, text, ascii));
  }

  Result<ObjectNumber> addSharedString(std::u16string_view text) {
    if (failed()) {
      return failure().error();
    }
    auto textOf = [this](std::uint32_t index) {
      return std::u16string_view(sharedText)
          .substr(sharedSpans[index].first, sharedSpans[index].second);
    };
    std::uint32_t& recent = recentShared.line(text);
    if (recent != 0 && sameText(textOf(recent - 1), text)) {
      return sharedNumbers[recent - 1];
    }
    const std::uint64_t hash = hashText(text);
    sharedTable.reserveOneMore();
    StringTable::Slot& slot = sharedTable.find(text, hash, textOf);
    if (slot.numberPlusOne != 0) {
      recent = slot.numberPlusOne;
      return sharedNumbers[slot.numberPlusOne - 1];
    }
    ZV_ASSIGN_OR_RETURN(const ObjectNumber number, addString(text));
    if (sharedSpans.size() < kMaximumSharedStrings) {
      recent = static_cast<std::uint32_t>(sharedSpans.size()) + 1;
      sharedTable.store(slot, static_cast<std::uint32_t>(sharedSpans.size()), hash);
      sharedSpans.emplace_back(sharedText.size(), text.size());
      sharedText.append(text);
      sharedNumbers.push_back(number);
    }
    return number;
  }

  // One width for the whole run, rather than choosing it at each reference.
  std::uint8_t* putReferences(std::uint8_t* out, std::span<const ObjectNumber> references) const {
    switch (refWidth) {
      case 4:
        for (ObjectNumber reference : references) {
          out = bplist::putBigEndian(out, reference, 4);
        }
        return out;
      case 2:
        for (ObjectNumber reference : references) {
          out = bplist::putBigEndian(out, reference, 2);
        }
        return out;
      default:
        for (ObjectNumber reference : references) {
          out = bplist::putBigEndian(out, reference, refWidth);
        }
        return out;
    }
  }

  Result<ObjectNumber> addContainer(std::uint8_t marker, std::size_t entries,
                                    std::span<const ObjectNumber> first,
                                    std::span<const ObjectNumber> second) {
    if (failed()) {
      return failure().error();
    }
    // The largest reference decides, found by a plain pass that the compiler can widen: a
    // container's references are a third of the file.
    ObjectNumber highest = 0;
    for (auto references : {first, second}) {
      for (ObjectNumber reference : references) {
        highest = std::max(highest, reference);
      }
    }
    if (!(first.empty() && second.empty()) && highest >= objectCount) {
      return fail<ObjectNumber>(
          encodingError(localized(u"Property list refers to an object not yet written.")));
    }
    const std::size_t size = countSize(entries) + (first.size() + second.size()) * refWidth;
    ZV_ASSIGN_OR_RETURN(std::uint8_t * out, beginObject(size));
    out = putMarker(out, marker, entries);
    for (auto references : {first, second}) {
      out = putReferences(out, references);
    }
    return commit(out);
  }

  Result<ObjectNumber> addBoolean(bool value) {
    ObjectNumber& known = booleans[value ? 1 : 0];
    if (known == 0) {
      ZV_ASSIGN_OR_RETURN(std::uint8_t * out, beginObject(1));
      *out++ = value ? kTrueMarker : kFalseMarker;
      known = commit(out) + 1;
    } else if (failed()) {
      return failure().error();
    }
    return known - 1;
  }

  Result<ObjectNumber> addValue(const PropertyList& value, std::size_t depth);

  Result<ObjectNumber> addDictionary(const PropertyList::Dictionary& dictionary,
                                     std::size_t depth) {
    std::vector<ObjectNumber> references;
    references.reserve(dictionary.size() * 2);
    for (const auto& entry : dictionary) {
      ZV_ASSIGN_OR_RETURN(const ObjectNumber number, addSharedString(entry.key));
      references.push_back(number);
    }
    for (const auto& entry : dictionary) {
      ZV_ASSIGN_OR_RETURN(const ObjectNumber number, addValue(entry.value, depth + 1));
      references.push_back(number);
    }
    const std::span<const ObjectNumber> all(references);
    return addContainer(kDictionaryMarker, dictionary.size(), all.first(dictionary.size()),
                        all.subspan(dictionary.size()));
  }
};

Result<BinaryPropertyListStreamWriter::ObjectNumber>
BinaryPropertyListStreamWriter::State::addValue(const PropertyList& value, std::size_t depth) {
  if (const std::u16string* text = value.asString()) {
    return addSharedString(*text);
  }
  if (auto boolean = value.asBoolean()) {
    return addBoolean(*boolean);
  }
  if (auto real = value.asReal()) {
    ZV_ASSIGN_OR_RETURN(std::uint8_t * out, beginObject(9));
    *out++ = kRealMarker | 3;
    return commit(bplist::putBigEndian(out, std::bit_cast<std::uint64_t>(*real), 8));
  }
  if (depth > kPropertyListMaximumDepth) {
    return fail<ObjectNumber>(
        encodingError(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                      {static_cast<std::int64_t>(kPropertyListMaximumDepth)})));
  }
  std::vector<ObjectNumber> references;
  if (const PropertyList::Array* array = value.asArray()) {
    references.reserve(array->size());
    for (const PropertyList& element : *array) {
      ZV_ASSIGN_OR_RETURN(const ObjectNumber number, addValue(element, depth + 1));
      references.push_back(number);
    }
    return addContainer(kArrayMarker, references.size(), references, {});
  }
  if (const PropertyList::Dictionary* dictionary = value.asDictionary()) {
    return addDictionary(*dictionary, depth);
  }
  // The metadata this writer serves holds no other types; refusing them keeps it small.
  return fail<ObjectNumber>(
      encodingError(formatLocalized(u"Property list value of type %@ cannot be streamed.",
                                    {std::u16string(propertyListTypeName(value.type()))})));
}

Result<BinaryPropertyListStreamWriter> BinaryPropertyListStreamWriter::create(
    int output, std::uint64_t maximumObjectCount, const URL& scratchFolder) {
  auto state = std::make_unique<State>();
  ZV_ASSIGN_OR_RETURN(state->offsetSpill, createUnnamedScratchFile(scratchFolder));
  state->output = output;
  state->maximumObjectCount = std::max<std::uint64_t>(maximumObjectCount, 1);
  state->refWidth = widthFor(state->maximumObjectCount - 1);
  state->buffer.resize(kBufferSize);
  state->offsets.reserve(kOffsetChunk);
  std::memcpy(state->buffer.data(), kMagic, kHeaderSize);
  state->buffered = kHeaderSize;
  state->position = kHeaderSize;
  return BinaryPropertyListStreamWriter(std::move(state));
}

BinaryPropertyListStreamWriter::BinaryPropertyListStreamWriter(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
BinaryPropertyListStreamWriter::BinaryPropertyListStreamWriter(
    BinaryPropertyListStreamWriter&&) noexcept = default;
BinaryPropertyListStreamWriter& BinaryPropertyListStreamWriter::operator=(
    BinaryPropertyListStreamWriter&&) noexcept = default;
BinaryPropertyListStreamWriter::~BinaryPropertyListStreamWriter() = default;

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addString(
    std::u16string_view text) {
  return state_->addString(text);
}

Result<BinaryPropertyListStreamWriter::ObjectNumber>
BinaryPropertyListStreamWriter::addSharedString(std::u16string_view text) {
  return state_->addSharedString(text);
}

bool BinaryPropertyListStreamWriter::keepsNewSharedStrings() const {
  return state_->sharedSpans.size() < kMaximumSharedStrings;
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addBoolean(
    bool value) {
  return state_->addBoolean(value);
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addReal(
    double value) {
  return state_->addValue(PropertyList(value), 1);
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addArray(
    std::span<const ObjectNumber> elements) {
  return state_->addContainer(kArrayMarker, elements.size(), elements, {});
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addDictionary(
    std::span<const ObjectNumber> keys, std::span<const ObjectNumber> values) {
  if (keys.size() != values.size()) {
    return state_->fail<ObjectNumber>(
        encodingError(localized(u"Property list dictionary has unpaired keys.")));
  }
  return state_->addContainer(kDictionaryMarker, keys.size(), keys, values);
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addValue(
    const PropertyList& value) {
  return state_->addValue(value, 1);
}

Result<BinaryPropertyListStreamWriter::ObjectNumber> BinaryPropertyListStreamWriter::addValue(
    const PropertyList::Dictionary& dictionary) {
  return state_->addDictionary(dictionary, 1);
}

namespace {

Result<void> readAllAt(int descriptor, std::uint8_t* bytes, std::size_t size,
                       std::uint64_t offset) {
  while (size > 0) {
    const ssize_t count = retryOnInterrupt(
        [&] { return ::pread(descriptor, bytes, size, static_cast<off_t>(offset)); });
    if (count <= 0) {
      return makeFileErrorFromErrno(count < 0 ? errno : EIO, "(property list)");
    }
    bytes += count;
    size -= static_cast<std::size_t>(count);
    offset += static_cast<std::uint64_t>(count);
  }
  return {};
}

}  // namespace

Result<std::u16string> BinaryPropertyListStreamWriter::stringAt(ObjectNumber number) {
  State& state = *state_;
  ZV_TRY(state.failure());
  if (number >= state.objectCount) {
    return encodingError(localized(u"Property list has no such object."));
  }
  ZV_TRY(state.flush());
  std::uint64_t offset = 0;
  if (number >= state.spilled) {
    offset = state.offsets[number - state.spilled];
  } else {
    ZV_TRY(readAllAt(state.offsetSpill.get(), reinterpret_cast<std::uint8_t*>(&offset),
                     sizeof offset, std::uint64_t{number} * sizeof offset));
  }
  std::array<std::uint8_t, 10> head{};
  const std::size_t headSize = std::min<std::uint64_t>(head.size(), state.position - offset);
  ZV_TRY(readAllAt(state.output, head.data(), headSize, offset));
  const std::uint8_t type = head[0] & 0xF0;
  if (type != kAsciiStringMarker && type != kUtf16StringMarker) {
    return encodingError(localized(u"Property list object is not a string."));
  }
  const auto [length, start] = readOwnObjectHead(head.data());
  const bool ascii = type == kAsciiStringMarker;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length) * (ascii ? 1 : 2));
  ZV_TRY(readAllAt(state.output, bytes.data(), bytes.size(), offset + start));
  std::u16string text(static_cast<std::size_t>(length), u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = ascii ? bytes[i] : static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  }
  return text;
}

Result<void> BinaryPropertyListStreamWriter::finish(ObjectNumber root) {
  State& state = *state_;
  ZV_TRY(state.failure());
  if (root >= state.objectCount) {
    return state.fail<void>(encodingError(localized(u"Property list has no such root object.")));
  }
  // The offset table starts here; the last object's offset is the largest of them.
  const std::uint64_t offsetTableOffset = state.position;
  const unsigned offsetWidth = widthFor(state.lastOffset);
  ZV_TRY(state.spillOffsets());
  ZV_TRY(state.flush());
  if (::lseek(state.offsetSpill.get(), 0, SEEK_SET) != 0) {
    return state.fail<void>(makeFileErrorFromErrno(errno, "(property list offsets)"));
  }
  std::vector<std::uint64_t> chunk(kOffsetChunk);
  for (std::uint64_t remaining = state.objectCount; remaining > 0;) {
    const std::size_t wanted = std::min<std::uint64_t>(remaining, kOffsetChunk);
    auto* bytes = reinterpret_cast<std::uint8_t*>(chunk.data());
    std::size_t got = 0;
    while (got < wanted * sizeof(std::uint64_t)) {
      const ssize_t count = retryOnInterrupt(
          [&] { return ::read(state.offsetSpill.get(), bytes + got, wanted * 8 - got); });
      if (count <= 0) {
        return state.fail<void>(
            makeFileErrorFromErrno(count < 0 ? errno : EIO, "(property list offsets)"));
      }
      got += static_cast<std::size_t>(count);
    }
    if (state.buffered + wanted * offsetWidth > state.buffer.size()) {
      ZV_TRY(state.flush());
    }
    std::uint8_t* out = state.buffer.data() + state.buffered;
    for (std::size_t i = 0; i < wanted; ++i) {
      out = bplist::putBigEndian(out, chunk[i], offsetWidth);
    }
    state.buffered += wanted * offsetWidth;
    remaining -= wanted;
  }
  if (state.buffered + kTrailerSize > state.buffer.size()) {
    ZV_TRY(state.flush());
  }
  std::uint8_t* out = state.buffer.data() + state.buffered;
  std::memset(out, 0, 6);
  out += 6;
  *out++ = static_cast<std::uint8_t>(offsetWidth);
  *out++ = static_cast<std::uint8_t>(state.refWidth);
  out = bplist::putBigEndian(out, state.objectCount, 8);
  out = bplist::putBigEndian(out, root, 8);
  out = bplist::putBigEndian(out, offsetTableOffset, 8);
  state.buffered += kTrailerSize;
  ZV_TRY(state.flush());
  state.finished = true;
  return {};
}

std::uint64_t BinaryPropertyListStreamWriter::objectCount() const {
  return state_->objectCount;
}

std::size_t BinaryPropertyListStreamWriter::memoryBytes() const {
  const State& state = *state_;
  return state.buffer.capacity() + state.offsets.capacity() * sizeof(std::uint64_t) +
         state.sharedTable.memoryBytes() + state.sharedText.capacity() * sizeof(char16_t) +
         state.sharedSpans.capacity() * sizeof(state.sharedSpans[0]) +
         state.sharedNumbers.capacity() * sizeof(ObjectNumber);
}

}  // namespace zv::platform
