#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/keyed_archive.h"
#include "platform/result.h"
#include "platform/url.h"
#include "richtext/color.h"
#include "richtext/font.h"
#include "richtext/paragraph_style.h"
#include "richtext/presentation_intent.h"

namespace zv::richtext {

/// Attribute keys under the platform's names, so that archives carry what the target
/// application's text system expects.
inline constexpr char16_t NSFontAttributeName[] = u"NSFont";
inline constexpr char16_t NSForegroundColorAttributeName[] = u"NSColor";
inline constexpr char16_t NSBackgroundColorAttributeName[] = u"NSBackgroundColor";
inline constexpr char16_t NSParagraphStyleAttributeName[] = u"NSParagraphStyle";
inline constexpr char16_t NSUnderlineStyleAttributeName[] = u"NSUnderline";
inline constexpr char16_t NSStrikethroughStyleAttributeName[] = u"NSStrikethrough";
inline constexpr char16_t NSLinkAttributeName[] = u"NSLink";
inline constexpr char16_t NSLigatureAttributeName[] = u"NSLigature";
inline constexpr char16_t NSVerticalGlyphFormAttributeName[] = u"CTVerticalForms";
inline constexpr char16_t NSPresentationIntentAttributeName[] = u"NSPresentationIntent";
inline constexpr char16_t NSAttachmentAttributeName[] = u"NSAttachment";
inline constexpr char16_t NSWritingDirectionAttributeName[] = u"NSWritingDirection";
inline constexpr char16_t NSTextHighlightStyleAttributeName[] = u"NSTextHighlightStyle";
inline constexpr char16_t NSTextHighlightColorSchemeAttributeName[] = u"NSTextHighlightColorScheme";
/// The program's own highlight mark: a boolean, true on highlighted text.
inline constexpr char16_t QNTHighlightAttributeName[] = u"QNTHighlight";
/// The identifier of the note text style a run was given.
inline constexpr char16_t QNTNoteTextStyleIdentifierAttributeName[] = u"QNTNoteTextStyleIdentifier";

/// One attribute value: font, colour, URL, boolean, integer (underline and strikethrough
/// styles, ligatures), real number, string (a link given as text, a style identifier),
/// paragraph style, presentation intent, or a list of integers (writing directions).
using AttributeValue =
    std::variant<Font, Color, platform::URL, bool, std::int64_t, double, std::u16string,
                 ParagraphStyle, PresentationIntent, std::vector<std::int64_t>>;

/// The attributes of one run, by key.
using Attributes = std::map<std::u16string, AttributeValue, std::less<>>;

/// A span of UTF-16 code units.
struct Range {
  std::size_t location = 0;
  std::size_t length = 0;

  std::size_t end() const { return location + length; }
  friend bool operator==(const Range&, const Range&) = default;
};

/// A stretch of text that carries one attribute dictionary.
struct AttributeRun {
  Range range;
  Attributes attributes;

  friend bool operator==(const AttributeRun&, const AttributeRun&) = default;
};

/// Rich text: a UTF-16 string plus runs of attribute dictionaries. The runs always cover the
/// whole string in order, none is empty, and no two neighbours carry equal attributes, so two
/// texts that look the same compare equal.
class AttributedString {
 public:
  AttributedString() = default;
  explicit AttributedString(std::u16string string, Attributes attributes = {});

  const std::u16string& string() const { return string_; }
  std::size_t length() const { return string_.size(); }
  bool empty() const { return string_.empty(); }
  const std::vector<AttributeRun>& runs() const { return runs_; }

  /// The attributes at a position inside the string (an empty dictionary outside it); range,
  /// when given, receives the extent of the run that holds the position.
  const Attributes& attributesAtIndex(std::size_t index, Range* range = nullptr) const;

  /// Ranges reaching past the end are cut at the end of the string.
  void setAttributes(const Attributes& attributes, Range range);
  void addAttribute(std::u16string_view key, const AttributeValue& value, Range range);
  void removeAttribute(std::u16string_view key, Range range);

  void append(const AttributedString& other);
  void appendString(std::u16string_view text, const Attributes& attributes = {});

  /// A copy that keeps only the attributes whose keys are in names.
  AttributedString attributedStringKeepingAttributeNames(
      const std::set<std::u16string, std::less<>>& names) const;

  friend bool operator==(const AttributedString&, const AttributedString&) = default;

 private:
  Range clamped(Range range) const;
  // Splits the run containing position so that a run starts there; returns that run's index.
  std::size_t splitAt(std::size_t position);
  void mergeNeighbours();
  template <typename Change>
  void changeAttributes(Range range, Change change);

  std::u16string string_;
  std::vector<AttributeRun> runs_;
};

/// The attribute keys that are archived with rich text shared with the target application.
const std::set<std::u16string, std::less<>>& archivableAttributeNames();

/// Registers the keyed-archive decoders of attributed strings and of the attribute values we
/// know (fonts, colours, URLs) with registry.
platform::Result<void> registerAttributedStringClasses(
    platform::KeyedArchiveClassRegistry& registry);

/// The attributed string as an object for the keyed archiver (class NSAttributedString).
std::shared_ptr<const platform::Archivable> archivableAttributedString(
    const AttributedString& text);

/// The attributed string inside a decoded archive object, if the object is one.
std::optional<AttributedString> attributedStringFromArchivedObject(
    const platform::ArchivedObject& object);

/// The text as a binary keyed archive whose root is the attributed string.
platform::Result<std::vector<std::uint8_t>> archivedDataWithAttributedString(
    const AttributedString& text);

/// Reads a keyed archive whose root is an attributed string. Attributes of classes or shapes we
/// do not know are left out; only a damaged archive or a root that is no attributed string is
/// an error.
platform::Result<AttributedString> attributedStringWithArchivedData(
    std::span<const std::uint8_t> bytes);

}  // namespace zv::richtext
