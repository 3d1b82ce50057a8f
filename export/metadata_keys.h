#pragma once

// The keys of the metadata file, Zelvar.plist, which the target application reads to import an
// export. Every phase that builds a record takes its keys from here, so that the format can be
// read in one place.

namespace zv::exporter {

// The root dictionary: five records, all always present.
/// The root folder record.
inline constexpr char16_t kFilesKey[] = u"Files";
/// Label identifier → label record.
inline constexpr char16_t kLabelsKey[] = u"Labels";
/// Folder collection identifier → group record.
inline constexpr char16_t kGroupsKey[] = u"Groups";
/// Tag collection identifier → saved search record.
inline constexpr char16_t kSearchesKey[] = u"Searches";
/// The exporting program's bundle identifier and versions (the platform's bundle keys).
inline constexpr char16_t kExporterKey[] = u"Exporter";

// Keys that several records share.
/// The name of the root folder, a label, a group or a saved search.
inline constexpr char16_t kNameKey[] = u"name";
/// The source identifier of an item, a label, a group or a saved search.
inline constexpr char16_t kIdentifierKey[] = u"identifier";
/// The root folder's item records; the item identifiers of a label or a group.
inline constexpr char16_t kItemsKey[] = u"items";

// The root folder record.
inline constexpr char16_t kFolderURLKey[] = u"folderURL";

// An item record.
inline constexpr char16_t kFileURLKey[] = u"fileURL";
inline constexpr char16_t kWasEncryptedKey[] = u"wasEncrypted";
inline constexpr char16_t kIsFavoriteKey[] = u"isFavorite";
/// Present, and true, only when the file is to become a note.
inline constexpr char16_t kWasNoteKey[] = u"wasNote";
inline constexpr char16_t kCommentsKey[] = u"comments";
/// The identifier of the item's label, a key of the labels record.
inline constexpr char16_t kLabelKey[] = u"label";
/// The item's tag names, joined with ",".
inline constexpr char16_t kTagsKey[] = u"tags";

// A label record: the colour in device RGB.
inline constexpr char16_t kRedComponentKey[] = u"redComponent";
inline constexpr char16_t kGreenComponentKey[] = u"greenComponent";
inline constexpr char16_t kBlueComponentKey[] = u"blueComponent";
inline constexpr char16_t kAlphaComponentKey[] = u"alphaComponent";

// A saved search record and its search options.
inline constexpr char16_t kMatchAllKey[] = u"matchAll";
inline constexpr char16_t kSearchOptionsKey[] = u"searchOptions";
/// The property a search option matches: kTagNameSearchKey for tag collections.
inline constexpr char16_t kSearchOptionKeyKey[] = u"key";
inline constexpr char16_t kSearchOptionStringValueKey[] = u"stringValue";
/// The value under kSearchOptionKeyKey: the option matches an item's tag names.
inline constexpr char16_t kTagNameSearchKey[] = u"tags.name";

}  // namespace zv::exporter
