#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

/// A hash of an attribute value that agrees with its ==: values that compare equal hash
/// equal (a font by face and size only, -0.0 as +0.0).
std::size_t hashAttributeValue(const AttributeValue& value);
/// A hash of a whole dictionary, keys and values, agreeing with its ==.
std::size_t hashAttributes(const Attributes& attributes);

namespace detail {
struct RunNode;
struct RunNodeDeleter {
  void operator()(RunNode* node) const;
};
using RunTree = std::unique_ptr<RunNode, RunNodeDeleter>;
class AttributePool;
struct AttributePoolDeleter {
  void operator()(AttributePool* pool) const;
};
using AttributePoolPtr = std::unique_ptr<AttributePool, AttributePoolDeleter>;
}  // namespace detail

/// Rich text: a UTF-16 string plus runs of attribute dictionaries. The runs always cover the
/// whole string in order, none is empty, and no two neighbours carry equal attributes, so two
/// texts that look the same compare equal, and the run at an index is always the longest
/// stretch around it with the same attributes.
///
/// Runs live in a balanced tree keyed by their lengths: finding the run at an index costs
/// O(log n) in the number of runs, and visiting k runs from there O(k) more. Runs share their
/// dictionaries, so splitting a run copies no attributes, and copying a text costs O(n) in its
/// runs plus its characters.
///
/// Each text keeps its dictionaries in a pool, found by a hash of their contents, so that equal
/// dictionaries anywhere in the text are one allocation: a text of many runs but few styles
/// stays small and its lookups stay in the cache, and within one text equal dictionaries are the
/// same pointer. The pool belongs to the text rather than to the process, so that texts on
/// different threads share no mutable state and need no lock; copies of a text share the
/// dictionaries themselves (they are immutable) and copy only the pool's index. Dictionaries no
/// run uses any more are swept from the pool once it has doubled since the last sweep.
///
/// Indices and ranges count UTF-16 code units. Ranges are clamped, never refused: a range that
/// starts past the end means the empty range at the end, one that reaches past the end is cut
/// there. References and pointers into the attributes stay valid until the next change.
class AttributedString {
 public:
  AttributedString();
  explicit AttributedString(std::u16string string, Attributes attributes = {});
  AttributedString(const AttributedString& other);
  AttributedString(AttributedString&& other) noexcept;
  AttributedString& operator=(const AttributedString& other);
  AttributedString& operator=(AttributedString&& other) noexcept;
  ~AttributedString();

  const std::u16string& string() const { return string_; }
  std::size_t length() const { return string_.size(); }
  bool empty() const { return string_.empty(); }

  /// The number of runs, in constant time.
  std::size_t runCount() const;
  /// Every run in order, as a copy: for archives and tests; prefer enumeration elsewhere.
  std::vector<AttributeRun> runs() const;

  /// The attributes at a position inside the string (an empty dictionary outside it);
  /// effectiveRange, when given, receives the run that holds the position, which is also the
  /// longest stretch with these attributes ({length(), 0} outside the string).
  const Attributes& attributesAtIndex(std::size_t index, Range* effectiveRange = nullptr) const;

  /// The value of one attribute at a position, null when the run there lacks it or the
  /// position is outside the string. effectiveRange, when given, receives the longest stretch
  /// around the position where the attribute has this value (or is absent throughout).
  const AttributeValue* attributeAtIndex(std::u16string_view key, std::size_t index,
                                         Range* effectiveRange = nullptr) const;
  /// As attributeAtIndex, with the effective range searched only inside limit.
  const AttributeValue* attributeAtIndex(std::u16string_view key, std::size_t index,
                                         Range* longestEffectiveRange, Range limit) const;

  using AttributesVisitor = std::function<void(const Attributes&, Range, bool& stop)>;
  using AttributeVisitor = std::function<void(const AttributeValue*, Range, bool& stop)>;

  /// Visits the runs inside range in text order, each cut to the range; setting stop ends the
  /// visit. The visitor may read this text and may change attributes anywhere in it, the
  /// visited run included: the visit goes on after the visited range, with the attributes as
  /// they are then. It may also change characters; the visit then goes on at the index where
  /// the visited range ended, cut to the new length, without following moved text.
  void enumerateAttributesInRange(Range range, const AttributesVisitor& visitor) const;
  /// Visits the runs of one attribute inside range: the longest stretches in which it has one
  /// value, stretches without it included (the visitor then gets null). Same rules for the
  /// visitor as enumerateAttributesInRange.
  void enumerateAttribute(std::u16string_view key, Range range,
                          const AttributeVisitor& visitor) const;

  /// The characters and attributes inside range.
  AttributedString attributedSubstringFromRange(Range range) const;

  /// A copy that keeps only the attributes whose keys are in names.
  AttributedString attributedStringKeepingAttributeNames(
      const std::set<std::u16string, std::less<>>& names) const;

  friend bool operator==(const AttributedString& a, const AttributedString& b);

 private:
  friend class MutableAttributedString;

  Range clamped(Range range) const;
  detail::AttributePool& pool();
  // Counts changes, so that an enumeration knows whether its place in the tree still holds.
  void changed() { ++version_; }

  std::u16string string_;
  detail::RunTree runs_;
  detail::AttributePoolPtr pool_;
  std::uint64_t version_ = 0;
};

/// Rich text that can change in place. Every change keeps the run invariants of
/// AttributedString and costs O(log n + k) for the k runs it touches, plus moving the
/// characters after a change of length.
class MutableAttributedString : public AttributedString {
 public:
  MutableAttributedString() = default;
  explicit MutableAttributedString(std::u16string string, Attributes attributes = {})
      : AttributedString(std::move(string), std::move(attributes)) {}
  explicit MutableAttributedString(AttributedString text) : AttributedString(std::move(text)) {}

  /// Gives the range exactly these attributes.
  void setAttributes(const Attributes& attributes, Range range);
  /// Sets one attribute (or several) over the range, keeping the others of each run.
  void addAttribute(std::u16string_view key, const AttributeValue& value, Range range);
  void addAttributes(const Attributes& attributes, Range range);
  void removeAttribute(std::u16string_view key, Range range);

  /// Replaces the characters in range. The new characters take the attributes of the first
  /// replaced character; replacing an empty range, those of the character before it, or at the
  /// start those of the first character; in an empty string, none.
  void replaceCharactersInRange(Range range, std::u16string_view text);
  /// Replaces the characters in range with text, attributes and all.
  void replaceCharactersInRange(Range range, const AttributedString& text);
  /// Inserts text before index (clamped to the end).
  void insertAttributedString(const AttributedString& text, std::size_t index);
  void deleteCharactersInRange(Range range);
  void appendAttributedString(const AttributedString& text);
  /// Appends text with exactly the given attributes.
  void appendString(std::u16string_view text, const Attributes& attributes = {});

 private:
  template <typename Edit>
  void editRuns(Range range, Edit edit);
  template <typename Change>
  bool changeInPlace(Range range, Change change);
  template <typename Change>
  void changeAttributes(Range range, Change change);
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
