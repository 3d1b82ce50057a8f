#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "platform/file_name_extension.h"
#include "platform/unicode.h"
#include "source/library_snapshot.h"
#include "source/memory_source_library.h"
#include "source/snapshot_contents.h"

namespace zv::source {

using platform::fromUtf8;
using platform::Result;

TextRef TextArena::add(std::string_view text) {
  // Room for the longest length, so that the next text's offset still fits below kNone.
  constexpr std::size_t kLimit = TextRef::kNone - 5;
  if (text.size() >= kLimit || bytes_.size() >= kLimit - text.size()) {
    throw std::length_error("the library's texts exceed 4 GiB");
  }
  const TextRef ref{static_cast<std::uint32_t>(bytes_.size())};
  std::size_t length = text.size();
  while (length >= 0x80) {
    bytes_.push_back(static_cast<char>(0x80 | (length & 0x7F)));
    length >>= 7;
  }
  bytes_.push_back(static_cast<char>(length));
  bytes_.append(text);
  return ref;
}

TextRef TextArena::addShared(std::string_view text) {
  const auto known = shared_.find(text);
  if (known != shared_.end()) {
    return known->second;
  }
  const TextRef ref = add(text);
  shared_.emplace(text, ref);
  return ref;
}

std::string_view TextArena::longView(const char* at) {
  std::size_t length = 0;
  unsigned shift = 0;
  unsigned char byte = 0;
  do {
    byte = static_cast<unsigned char>(*at++);
    length |= std::size_t{byte & 0x7Fu} << shift;
    shift += 7;
  } while (byte >= 0x80);
  return {at, length};
}

std::u16string TextArena::text(TextRef ref) const {
  return fromUtf8(view(ref));
}

std::optional<std::u16string> TextArena::optionalText(TextRef ref) const {
  if (!ref.present()) {
    return std::nullopt;
  }
  return text(ref);
}

namespace {

// Identifiers and file names are short: read a few bytes at a time, each piece mixed in by one
// multiply, they cost a fraction of what a general-purpose hash of the bytes does.
template <typename Word>
std::uint64_t bytesAt(const char* at) {
  Word word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

std::size_t hashOf(std::string_view text) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15;
  const char* const bytes = text.data();
  const std::size_t size = text.size();
  std::uint64_t hash = size;
  const auto mix = [&](std::uint64_t word) {
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 32;
  };
  if (size >= 8) {
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
      mix(bytesAt<std::uint64_t>(bytes + at));
    }
    // The last eight bytes, some of them mixed in already: the size tells such texts apart.
    if (at < size) {
      mix(bytesAt<std::uint64_t>(bytes + size - 8));
    }
  } else if (size >= 4) {
    mix(bytesAt<std::uint32_t>(bytes) | (bytesAt<std::uint32_t>(bytes + size - 4) << 32));
  } else if (size > 0) {
    mix(static_cast<unsigned char>(bytes[0]) |
        (std::uint64_t{static_cast<unsigned char>(bytes[size / 2])} << 8) |
        (std::uint64_t{static_cast<unsigned char>(bytes[size - 1])} << 16));
  }
  // Probes start at the low bits and slots keep the high ones: every byte has to reach both.
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCD;
  hash ^= hash >> 33;
  return static_cast<std::size_t>(hash);
}

// A slot holds the item reference plus one (0: free) and, above it, the upper half of the
// identifier's hash, so that a probe compares texts only where the hashes agree.
constexpr std::uint64_t slotOf(std::size_t hash, ItemReference reference) {
  return (static_cast<std::uint64_t>(hash >> 32) << 32) | (std::uint64_t{reference} + 1);
}
constexpr bool slotHashMatches(std::uint64_t slot, std::size_t hash) {
  return (slot >> 32) == static_cast<std::uint64_t>(hash >> 32);
}
constexpr ItemReference referenceInSlot(std::uint64_t slot) {
  return static_cast<ItemReference>((slot & 0xFFFFFFFF) - 1);
}

}  // namespace

bool SnapshotSourceLibrary::Contents::indexItem(ItemKind kind) {
  const auto& list = items[static_cast<std::size_t>(kind)];
  const ItemReference reference = referenceOf(kind, list.size() - 1);
  // At most half full, so that probes stay short.
  if ((indexedItems_ + 1) * 2 > idSlots_.size()) {
    std::vector<std::uint64_t> old(std::max<std::size_t>(idSlots_.size() * 2, 1024), 0);
    old.swap(idSlots_);
    const std::size_t mask = idSlots_.size() - 1;
    for (std::uint64_t slot : old) {
      if (slot != 0) {
        std::size_t at = hashOf(texts.view(record(referenceInSlot(slot)).id)) & mask;
        while (idSlots_[at] != 0) {
          at = (at + 1) & mask;
        }
        idSlots_[at] = slot;
      }
    }
  }
  const std::string_view id = texts.view(record(reference).id);
  const std::size_t hash = hashOf(id);
  const std::size_t mask = idSlots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const std::uint64_t slot = idSlots_[at];
    if (slot == 0) {
      idSlots_[at] = slotOf(hash, reference);
      ++indexedItems_;
      return true;
    }
    if (slotHashMatches(slot, hash) && texts.view(record(referenceInSlot(slot)).id) == id) {
      return false;
    }
  }
}

std::optional<ItemReference> SnapshotSourceLibrary::Contents::findItem(std::string_view id) const {
  if (idSlots_.empty()) {
    return std::nullopt;
  }
  const std::size_t hash = hashOf(id);
  const std::size_t mask = idSlots_.size() - 1;
  for (std::size_t at = hash & mask; idSlots_[at] != 0; at = (at + 1) & mask) {
    const std::uint64_t slot = idSlots_[at];
    if (slotHashMatches(slot, hash) && texts.view(record(referenceInSlot(slot)).id) == id) {
      return referenceInSlot(slot);
    }
  }
  return std::nullopt;
}

void SnapshotSourceLibrary::Contents::clearItems() {
  for (auto& list : items) {
    list.clear();
  }
  tags.clear();
  idSlots_.clear();
  indexedItems_ = 0;
}

DatabaseItem SnapshotSourceLibrary::Contents::databaseItem(ItemKind kind,
                                                           const ItemRecord& record) const {
  DatabaseItem item;
  item.kind = kind;
  item.id = texts.text(record.id);
  item.name = texts.text(record.name);
  if (record.flags & ItemRecord::kHasEncrypted) {
    item.encrypted = (record.flags & ItemRecord::kEncrypted) != 0;
  }
  if (record.flags & ItemRecord::kHasCreationDate) {
    item.creationDate = platform::Date{record.creationDate};
  }
  if (record.flags & ItemRecord::kHasModificationDate) {
    item.modificationDate = platform::Date{record.modificationDate};
  }
  item.flagged = (record.flags & ItemRecord::kFlagged) != 0;
  item.comments = texts.optionalText(record.comments);
  item.label = texts.optionalText(record.label);
  item.tags.reserve(record.tagCount);
  for (std::uint32_t tag = 0; tag < record.tagCount; ++tag) {
    item.tags.push_back(Tag{texts.optionalText(tags[record.firstTag + tag])});
  }
  item.location = texts.optionalText(record.location);
  return item;
}

PayloadPath resolvePayloadPath(const std::filesystem::path& root, std::string_view file,
                               bool mustExist) {
  // The system would read the path only up to a NUL, and so open a file other than the one named.
  if (file.find('\0') != std::string_view::npos) {
    return {std::nullopt, "must not contain a NUL character"};
  }
  std::filesystem::path relative(file);
  if (file.empty() || relative.is_absolute()) {
    return {std::nullopt, "must be a relative path inside the library folder"};
  }
  for (const auto& part : relative) {
    if (part == "..") {
      return {std::nullopt, "must not contain \"..\""};
    }
  }
  std::error_code error;
  std::filesystem::path resolved = mustExist
                                       ? std::filesystem::canonical(root / relative, error)
                                       : std::filesystem::weakly_canonical(root / relative, error);
  if (error) {
    return {};
  }
  auto [rootEnd, unused] =
      std::mismatch(root.begin(), root.end(), resolved.begin(), resolved.end());
  if (rootEnd != root.end()) {
    return {std::nullopt, "leads out of the library folder"};
  }
  return {resolved, std::nullopt};
}

std::size_t NameSet::slotOf(std::string_view name) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hashOf(name) & mask;; at = (at + 1) & mask) {
    const std::uint32_t start = slots_[at];
    if (start == 0 || std::string_view(bytes_.c_str() + start - 1) == name) {
      return at;
    }
  }
}

void NameSet::add(std::string_view name) {
  // At most half full, so that probes stay short.
  if ((count_ + 1) * 2 > slots_.size()) {
    std::vector<std::uint32_t> old(std::max<std::size_t>(slots_.size() * 2, 1024), 0);
    old.swap(slots_);
    for (std::uint32_t start : old) {
      if (start != 0) {
        slots_[slotOf(std::string_view(bytes_.c_str() + start - 1))] = start;
      }
    }
  }
  const std::size_t at = slotOf(name);
  if (slots_[at] != 0) {
    return;
  }
  if (bytes_.size() + name.size() + 1 >= UINT32_MAX) {
    throw std::length_error("too many names");
  }
  slots_[at] = static_cast<std::uint32_t>(bytes_.size() + 1);
  bytes_.append(name);
  bytes_.push_back('\0');
  ++count_;
}

bool NameSet::contains(std::string_view name) const {
  return !slots_.empty() && name.find('\0') == std::string_view::npos && slots_[slotOf(name)] != 0;
}

void PayloadFolders::forgetListings() {
  for (auto& [path, folder] : folders_) {
    folder.plainNames.reset();
  }
}

std::optional<PayloadFolders::Place> PayloadFolders::placeOf(std::string_view relative) {
  const std::size_t slash = relative.rfind('/');
  // The folder's own path is checked as it is opened; the rest here. A NUL would end the name
  // early, at a file other than the one named.
  if (slash == 0 || relative.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  Place place{slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash),
              std::string(relative.substr(slash == std::string_view::npos ? 0 : slash + 1))};
  if (place.name.empty() || place.name == "." || place.name == "..") {
    return std::nullopt;
  }
  return place;
}

PayloadFolders::Folder& PayloadFolders::at(const LibraryFolder& library, std::string_view folder) {
  // Payloads of one folder mostly come one after another.
  if (last_ != nullptr && folder == last_->first) {
    return last_->second;
  }
  auto found = folders_.find(std::string(folder));
  if (found != folders_.end()) {
    last_ = &*found;
    return found->second;
  }
  // Payloads mostly sit in a few folders; a library with one per payload must not hold a
  // descriptor for each.
  if (folders_.size() >= kMaximumOpenFolders) {
    last_ = nullptr;
    folders_.clear();
  }
  Folder opened;
  if (folder.empty()) {
    opened.descriptor.reset(::open(library.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  } else if (auto descriptor = library.handle.openFolderWithoutLinks(std::string(folder))) {
    opened.descriptor = std::move(*descriptor);
  } else {
    opened.missing =
        platform::isFileError(descriptor.error(), platform::FileErrorCode::kFileNotFound);
  }
  last_ = &*folders_.emplace(std::string(folder), std::move(opened)).first;
  return last_->second;
}

namespace {

// Copies a payload into the export directory under the given name; a name already taken there
// gets a number ("name 2.ext", "name 3.ext", ...), since the file there is not ours to replace.
// copy returns the copy's result.
template <typename Copy>
Result<std::optional<platform::URL>> copyUnderFreeName(const platform::URL& directory,
                                                       const std::filesystem::path& name,
                                                       const std::u16string& file, Copy&& copy) {
  constexpr int kMaximumAttempts = 10000;
  // Not const: the name is handed out by copy, and a const one trips the move check.
  std::u16string wholeName = fromUtf8(name.string());
  const platform::FileNameParts parts = platform::splitFileNameExtension(wholeName);
  auto nameForAttempt = [&](int attempt) {
    if (attempt == 0) {
      return wholeName;
    }
    std::u16string numbered =
        std::u16string(parts.base) + u" " + fromUtf8(std::to_string(attempt + 1));
    if (!parts.extension.empty()) {
      numbered += u'.';
      numbered += parts.extension;
    }
    return numbered;
  };
  Result<platform::URL> copied =
      platform::placeFileUnderFreeName(directory, kMaximumAttempts, nameForAttempt, copy);
  if (copied) {
    return std::optional<platform::URL>(*copied);
  }
  // Left to the caller, which copies such a file once more.
  if (platform::isFileError(copied.error(), platform::FileErrorCode::kChangedWhileCopied)) {
    return copied.error();
  }
  return makeSourceError(u"The file \"" + file + u"\" cannot be copied: " +
                         copied.error().description);
}

// The careful way, for payloads behind symbolic links: the path is resolved through every link,
// and what a link inside the library points to is copied, never the link itself.
Result<std::optional<platform::URL>> copyResolvedPayload(const std::filesystem::path& root,
                                                         const std::u16string& file,
                                                         const platform::URL& directory) {
  // Resolved again now: the library may have changed since it was read.
  PayloadPath path = resolvePayloadPath(root, platform::toUtf8(file), true);
  if (path.problem) {
    return makeSourceError(u"The file \"" + file + u"\" " + fromUtf8(*path.problem) + u".");
  }
  std::error_code error;
  if (!path.resolved || !std::filesystem::is_regular_file(*path.resolved, error)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  const platform::URL sourceURL = platform::URL::fileURLWithFileSystemPath(path.resolved->string());
  return copyUnderFreeName(directory, path.resolved->filename(), file,
                           [&](const platform::URL& destination) {
                             return platform::copyFileContentsAtURL(sourceURL, destination);
                           });
}

// Most payloads are plain files reached without a link: those are copied straight from the open
// library folder, and the rest (links, anything unexpected) the careful way.
Result<std::optional<platform::URL>> copyPayloadOnce(const LibraryFolder& library,
                                                     const std::u16string& file,
                                                     const platform::URL& directory) {
  const std::string relative = platform::toUtf8(file);
  bool needsCareful = false;
  auto result = copyUnderFreeName(
      directory, std::filesystem::path(relative).filename(), file,
      [&](const platform::URL& destination) -> Result<void> {
        Result<void> copied = library.handle.copyFileWithoutLinks(relative, destination);
        // Any other failure ends the numbering; the careful way below gives the answer.
        needsCareful =
            !copied &&
            !platform::isFileError(copied.error(), platform::FileErrorCode::kFileExists) &&
            !platform::isFileError(copied.error(), platform::FileErrorCode::kChangedWhileCopied);
        return copied;
      });
  if (!needsCareful) {
    return result;
  }
  // The quick way's failure only says it could not vouch for the path; the careful way's answer
  // replaces it.
  result.ignoreError();
  return copyResolvedPayload(library.root, file, directory);
}

// A payload that changes while it is copied would give a torn file. It is copied once more, since
// whoever wrote it has mostly finished by then; one that changes again fails the item.
Result<std::optional<platform::URL>> copyPayload(const LibraryFolder& library,
                                                 const std::u16string& file,
                                                 const platform::URL& directory) {
  for (int attempt = 1;; ++attempt) {
    auto result = copyPayloadOnce(library, file, directory);
    if (result ||
        !platform::isFileError(result.error(), platform::FileErrorCode::kChangedWhileCopied)) {
      return result;
    }
    if (attempt == 2) {
      return makeSourceError(u"The file “" + file + u"” changed while it was being copied.");
    }
  }
}

// A payload path's name in its folder, where that folder is held open and so vouches that the
// name is reached without a link; none where only the careful way can answer.
struct VouchedName {
  int folder;
  std::string name;
};
std::optional<VouchedName> vouchedName(LibraryFolder& library, std::string_view relative) {
  std::optional<PayloadFolders::Place> place = PayloadFolders::placeOf(relative);
  if (!place) {
    return std::nullopt;
  }
  const PayloadFolders::Folder& folder = library.payloadFolders.at(library, place->folder);
  if (!folder.descriptor.valid()) {
    return std::nullopt;
  }
  return VouchedName{folder.descriptor.get(), std::move(place->name)};
}

// Opens a payload for reading the way copyPayloadOnce copies it: straight from the open library
// folder where no link stands in the way, otherwise resolved the careful way. Named as its copy
// would be before numbering.
Result<std::optional<ItemPayload>> openPayload(LibraryFolder& library, const std::u16string& file) {
  const std::string relative = platform::toUtf8(file);
  struct stat status {};
  // Any failure here only says that the quick way cannot vouch for the path; the careful way
  // answers.
  if (const std::optional<VouchedName> vouched = vouchedName(library, relative)) {
    platform::ScopedDescriptor quick(
        ::openat(vouched->folder, vouched->name.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (quick.valid() && ::fstat(quick.get(), &status) == 0 && S_ISREG(status.st_mode)) {
      return std::optional<ItemPayload>(
          ItemPayload{std::move(quick), fromUtf8(vouched->name), file, status});
    }
  }
  // Resolved again now: the library may have changed since it was read.
  PayloadPath path = resolvePayloadPath(library.root, relative, true);
  if (path.problem) {
    return makeSourceError(u"The file \"" + file + u"\" " + fromUtf8(*path.problem) + u".");
  }
  std::error_code error;
  if (!path.resolved || !std::filesystem::is_regular_file(*path.resolved, error)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  const std::string resolved = path.resolved->string();
  platform::ScopedDescriptor opened(
      ::open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!opened.valid() || ::fstat(opened.get(), &status) != 0) {
    return makeSourceError(u"The file \"" + file + u"\" cannot be copied: " +
                           platform::makeFileErrorFromErrno(errno, resolved).description);
  }
  // Replaced by something else between the check and the open.
  if (!S_ISREG(status.st_mode)) {
    return makeSourceError(u"The file \"" + file + u"\" of this item is missing.");
  }
  return std::optional<ItemPayload>(
      ItemPayload{std::move(opened), fromUtf8(path.resolved->filename().string()), file, status});
}

}  // namespace

SnapshotSourceLibrary::SnapshotSourceLibrary(std::unique_ptr<Contents> contents)
    : contents_(std::move(contents)) {}

SnapshotSourceLibrary::~SnapshotSourceLibrary() = default;

std::optional<std::u16string> SnapshotSourceLibrary::applicationBundleIdentifier() const {
  return contents_->applicationBundleIdentifier;
}

std::optional<std::u16string> SnapshotSourceLibrary::applicationVersion() const {
  return contents_->applicationVersion;
}

Result<std::int64_t> SnapshotSourceLibrary::countItems(ItemKind kind) {
  return static_cast<std::int64_t>(contents_->items[static_cast<std::size_t>(kind)].size());
}

Result<std::vector<DatabaseItem>> SnapshotSourceLibrary::getItems(ItemKind kind) {
  std::vector<DatabaseItem> items;
  items.reserve(contents_->items[static_cast<std::size_t>(kind)].size());
  ZV_TRY(forEachItem(kind, [&](const DatabaseItem& item) {
    items.push_back(item);
    return true;
  }));
  return items;
}

Result<void> SnapshotSourceLibrary::forEachItem(
    ItemKind kind, const std::function<bool(const DatabaseItem&)>& visit) {
  // One item is made at a time: a million of them as objects would not fit beside the export.
  // Past its visit, even one left by an exception, the item's address may hold another one.
  struct Restore {
    SnapshotSourceLibrary& library;
    const DatabaseItem* item;
    const ItemRecord* record;
    ~Restore() {
      library.visitedItem_ = item;
      library.visitedRecord_ = record;
    }
  } restore{*this, visitedItem_, visitedRecord_};
  bool more = true;
  for (auto record = contents_->items[static_cast<std::size_t>(kind)].begin();
       more && record != contents_->items[static_cast<std::size_t>(kind)].end(); ++record) {
    const DatabaseItem item = contents_->databaseItem(kind, *record);
    visitedItem_ = &item;
    visitedRecord_ = &*record;
    more = visit(item);
  }
  return {};
}

Result<std::int64_t> SnapshotSourceLibrary::countLabels() {
  return static_cast<std::int64_t>(contents_->labels.size());
}

Result<std::vector<Label>> SnapshotSourceLibrary::getLabels() {
  return contents_->labels;
}

Result<std::int64_t> SnapshotSourceLibrary::countFolderCollections() {
  return static_cast<std::int64_t>(contents_->folderCollections.size());
}

Result<std::vector<FolderCollection>> SnapshotSourceLibrary::getFolderCollections() {
  std::vector<FolderCollection> collections;
  collections.reserve(contents_->folderCollections.size());
  for (const CollectionRecord& record : contents_->folderCollections) {
    FolderCollection collection{
        contents_->texts.text(record.id), contents_->texts.optionalText(record.name), {}};
    collection.databaseItems.reserve(record.memberCount);
    for (std::uint32_t member = 0; member < record.memberCount; ++member) {
      collection.databaseItems.push_back(
          contents_->texts.text(contents_->members[record.firstMember + member]));
    }
    collections.push_back(std::move(collection));
  }
  return collections;
}

Result<std::int64_t> SnapshotSourceLibrary::countTagCollections() {
  return static_cast<std::int64_t>(contents_->tagCollections.size());
}

Result<std::vector<TagCollection>> SnapshotSourceLibrary::getTagCollections() {
  return contents_->tagCollections;
}

// The record of an item of this library; none for an item it does not hold.
const ItemRecord* SnapshotSourceLibrary::recordOf(const DatabaseItem& item) const {
  if (&item == visitedItem_) {
    return visitedRecord_;
  }
  const std::optional<ItemReference> found = contents_->findItem(platform::toUtf8(item.id));
  return found ? &contents_->record(*found) : nullptr;
}

Result<std::optional<platform::URL>> SnapshotSourceLibrary::exportItem(
    const DatabaseItem& item, const platform::URL& directory) {
  const ItemRecord* record = recordOf(item);
  if (record != nullptr && record->exportError.present()) {
    return makeSourceError(contents_->texts.text(record->exportError));
  }
  if (record == nullptr || !record->file.present()) {
    return std::optional<platform::URL>{};
  }
  return copyPayload(*contents_->folder, contents_->texts.text(record->file), directory);
}

Result<std::optional<ItemPayload>> SnapshotSourceLibrary::openItemPayload(
    const DatabaseItem& item) {
  const ItemRecord* record = recordOf(item);
  if (record != nullptr && record->exportError.present()) {
    return makeSourceError(contents_->texts.text(record->exportError));
  }
  if (record == nullptr || !record->file.present()) {
    return std::optional<ItemPayload>{};
  }
  return openPayload(*contents_->folder, contents_->texts.text(record->file));
}

std::optional<std::int64_t> SnapshotSourceLibrary::itemPayloadSize(const DatabaseItem& item) {
  const ItemRecord* record = recordOf(item);
  if (record == nullptr || record->exportError.present() || !record->file.present()) {
    return std::nullopt;
  }
  // Measured the way the export will open it, so that a link in the way is not measured. A
  // regular file in a folder that vouches for its names needs no opening: a stat of the name
  // itself, not following a link, costs a third of the calls.
  if (const std::optional<VouchedName> vouched =
          vouchedName(*contents_->folder, contents_->texts.view(record->file))) {
    struct stat status {};
    if (::fstatat(vouched->folder, vouched->name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      return static_cast<std::int64_t>(status.st_size);
    }
  }
  Result<std::optional<ItemPayload>> payload =
      openPayload(*contents_->folder, contents_->texts.text(record->file));
  if (!payload) {
    payload.ignoreError();
    return std::nullopt;
  }
  return *payload ? (*payload)->size() : std::nullopt;
}

std::optional<platform::URL> SnapshotSourceLibrary::libraryFolderURL() const {
  return contents_->folderURL;
}

}  // namespace zv::source
