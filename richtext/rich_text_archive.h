#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/keyed_archive.h"
#include "platform/result.h"
#include "richtext/paragraph_style.h"
#include "richtext/presentation_intent.h"

namespace zv::richtext {

/// Class names of the rich-text values in keyed archives, the platform's own so that archives
/// interoperate. Allow kParagraphStyleClassName to decode either paragraph style class.
inline constexpr char16_t kParagraphStyleClassName[] = u"NSParagraphStyle";
inline constexpr char16_t kMutableParagraphStyleClassName[] = u"NSMutableParagraphStyle";
inline constexpr char16_t kTextTabClassName[] = u"NSTextTab";
inline constexpr char16_t kTextListClassName[] = u"NSTextList";
inline constexpr char16_t kPresentationIntentClassName[] = u"NSPresentationIntent";

/// Bounds on what a decoded archive may hold; a value beyond them is damaged and left out.
inline constexpr std::size_t kMaximumArchivedTabStops = 1000;
inline constexpr std::size_t kMaximumArchivedTextLists = 100;
inline constexpr std::size_t kMaximumArchivedIntentDepth = 64;
inline constexpr std::size_t kMaximumArchivedStringLength = 1024;
inline constexpr std::int64_t kMaximumArchivedHeaderLevel = 100;

/// Registers the decoders of paragraph styles (both classes), tab stops, text lists and
/// presentation intents. registerAttributedStringClasses calls it: a registry takes one or the
/// other, not both.
platform::Result<void> registerRichTextValueClasses(platform::KeyedArchiveClassRegistry& registry);

/// The value as an object for the keyed archiver. A paragraph style is archived as
/// NSParagraphStyle (keys NSAlignment, NSTabStops, NSTextLists, NSHeadIndent,
/// NSFirstLineHeadIndent, NSTailIndent, NSLineSpacing, NSParagraphSpacing,
/// NSParagraphSpacingBefore, NSLineHeightMultiple, NSMinLineHeight, NSMaxLineHeight,
/// NSDefaultTabInterval, NSHeaderLevel; measurements that are 0 are left out). Its tab stops
/// are NSTextTab (NSLocation, NSTextAlignment, and NSType for older readers), its lists
/// NSTextList (NSMarkerFormat, NSStart when not 1). A presentation intent is
/// NSPresentationIntent (NS.intentKind, NS.identity, NS.ordinal, NS.headerLevel,
/// NS.languageHint, NS.indentationLevel, NS.parentIntent, and the table keys at zero).
std::shared_ptr<const platform::Archivable> archivableParagraphStyle(const ParagraphStyle& style);
std::shared_ptr<const platform::Archivable> archivableTextList(const TextList& list);
std::shared_ptr<const platform::Archivable> archivablePresentationIntent(
    const PresentationIntent& intent);

/// The value inside a decoded archive object; nothing when the object is of another class or
/// was damaged (a non-finite measurement, a bound above exceeded, a tab stop, list or parent
/// that could not be decoded). A paragraph style without NSTabStops has the default style's
/// tab stops; one with an empty array has none.
std::optional<ParagraphStyle> paragraphStyleFromArchivedObject(
    const platform::ArchivedObject& object);
std::optional<TextList> textListFromArchivedObject(const platform::ArchivedObject& object);
std::optional<PresentationIntent> presentationIntentFromArchivedObject(
    const platform::ArchivedObject& object);

}  // namespace zv::richtext
