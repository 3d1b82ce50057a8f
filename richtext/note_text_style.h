#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keyed_archive.h"
#include "platform/result.h"
#include "platform/user_defaults.h"
#include "richtext/attributed_string.h"
#include "richtext/color.h"
#include "richtext/font.h"
#include "richtext/paragraph_style.h"
#include "richtext/presentation_intent.h"

namespace zv::richtext {

/// The kind of a note text style. Standard types are 0 to 4; every test for a standard type
/// treats the value as unsigned, so negative values are no standard type.
using QNTNoteTextStyleType = std::int64_t;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeBody = 0;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeTitle = 1;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeHeading = 2;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeMonospaced = 3;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeSubheading = 4;
inline constexpr QNTNoteTextStyleType QNTNoteTextStyleTypeCustom = 9999;

/// User-defaults keys of the saved styles (a keyed archive of an array of styles) and of the
/// identifier of the user's default style.
inline constexpr char16_t QNTNoteTextStylesDefaultsKey[] = u"QNTNoteTextStyles";
inline constexpr char16_t QNTNoteTextStyleDefaultIdentifierDefaultsKey[] =
    u"QNTNoteTextStyleDefaultIdentifier";
/// Saved styles that could not be read are kept under this key plus a UTC time stamp before a
/// save replaces them, so that a damaged or newer archive never costs the user their styles.
inline constexpr char16_t QNTNoteTextStylesUnreadableDefaultsKeyPrefix[] =
    u"QNTNoteTextStyles.unreadable-";
/// Posted (no sender, no user info) whenever the catalogue's caches are emptied.
inline constexpr char16_t QNTNoteTextStyleDefaultsDidChangeNotification[] =
    u"QNTNoteTextStyleDefaultsDidChangeNotification";
/// The class name of a style in keyed archives.
inline constexpr char16_t QNTNoteTextStyleClassName[] = u"QNTNoteTextStyle";

class QNTNoteTextStyle;
using QNTNoteTextStylePtr = std::shared_ptr<QNTNoteTextStyle>;

/// A named paragraph or character style of note text, and the process-wide catalogue of them.
///
/// A style is a shared mutable value holder: the catalogue answers its cached objects
/// themselves, so a change to one shows to every user until the next reload, and is kept across
/// runs only when the changed styles are passed to saveStylesToDefaults.
///
/// The catalogue (every static member) serves one thread at a time by design: its caches are
/// unsynchronised. Debug builds assert that it is always used from the thread that used it
/// first.
class QNTNoteTextStyle final : public platform::Archivable {
 public:
  QNTNoteTextStyle() = default;

  // --- Identity ---

  QNTNoteTextStyleType type() const { return type_; }
  /// Going to the custom type gives a style without an identifier a new random UUID.
  void setType(QNTNoteTextStyleType type);
  /// The localized display name for a standard type, the stored name otherwise.
  std::optional<std::u16string> name() const;
  const std::optional<std::u16string>& storedName() const { return name_; }
  void setName(std::optional<std::u16string> name) { name_ = std::move(name); }
  /// The fixed identifier of a standard type, customStyleIdentifier otherwise.
  std::optional<std::u16string> identifier() const;
  const std::optional<std::u16string>& customStyleIdentifier() const {
    return customStyleIdentifier_;
  }
  void setCustomStyleIdentifier(std::optional<std::u16string> identifier) {
    customStyleIdentifier_ = std::move(identifier);
  }

  // --- Attributes the style puts on text; each getter falls back, never answers nothing ---

  /// The stored font, or the user's standard font at 13 points.
  Font font() const;
  const std::optional<Font>& storedFont() const { return font_; }
  void setFont(std::optional<Font> font) { font_ = std::move(font); }
  std::u16string fontName() const { return font().name; }
  double fontSize() const { return font().pointSize; }
  /// The face at the current size; a face that is not installed leaves no stored font.
  void setFontName(std::u16string_view faceName);
  /// The current face at the size; leaves no stored font when the face cannot be found.
  void setFontSize(double pointSize);

  /// The stored colour, or the standard text colour when none (or black or white) is stored.
  Color foregroundColor() const;
  const std::optional<Color>& storedForegroundColor() const { return foregroundColor_; }
  /// Black and white are stored as no colour, so they follow the appearance as text colour.
  void setForegroundColor(std::optional<Color> color);

  /// The stored paragraph style, or the default one.
  ParagraphStyle paragraphStyle() const;
  const std::optional<ParagraphStyle>& storedParagraphStyle() const { return paragraphStyle_; }
  void setParagraphStyle(std::optional<ParagraphStyle> style) {
    paragraphStyle_ = std::move(style);
  }

  const std::optional<PresentationIntent>& presentationIntent() const {
    return presentationIntent_;
  }
  void setPresentationIntent(std::optional<PresentationIntent> intent) {
    presentationIntent_ = std::move(intent);
  }

  std::int64_t underlineStyle() const { return underlineStyle_; }
  void setUnderlineStyle(std::int64_t style) { underlineStyle_ = style; }
  std::int64_t strikethrough() const { return strikethrough_; }
  void setStrikethrough(std::int64_t style) { strikethrough_ = style; }

  /// True for a paragraph style: it owns the paragraph layout of its text and a match needs an
  /// equal layout. False for a character style, whose text keeps its own layout.
  bool applyToParagraph() const { return applyToParagraph_; }
  void setApplyToParagraph(bool value) { applyToParagraph_ = value; }
  /// Stored, copied and archived only; nothing here reads it.
  bool resetOnNewLine() const { return resetOnNewLine_; }
  void setResetOnNewLine(bool value) { resetOnNewLine_ = value; }

  // --- Matching and attribute synthesis ---

  /// The keys text of this style may carry besides the style's own: the stored override, or
  /// ligature, attachment, link, writing direction, vertical forms, "QNTHighlight", the
  /// paragraph style for a character style, and the two system highlight keys.
  std::vector<std::u16string> otherAllowedAttributeNames() const;
  void setOtherAllowedAttributeNames(std::optional<std::vector<std::u16string>> names) {
    otherAllowedAttributeNamesOverride_ = std::move(names);
  }

  /// Font, paragraph style, colour, underline and strikethrough always; the style identifier
  /// and presentation intent when the style has them.
  Attributes attributes() const;

  /// Whether a run belongs to this style. A run with no key left after the ignored ones never
  /// matches; a key the run lacks never makes a mismatch.
  bool matchesAttributes(const Attributes& run, std::span<const std::u16string> ignoring) const;
  /// Ignores colours and the other allowed attributes.
  bool matchesAttributes(const Attributes& run) const;
  bool matchesStyle(const QNTNoteTextStyle& other) const;
  /// The run's attributes once this style is applied: the style's attributes plus the run's
  /// allowed ones, and with alwaysWithParagraphStyle the style's paragraph style in any case.
  Attributes attributesWithOtherAttributes(const Attributes& run,
                                           bool alwaysWithParagraphStyle) const;

  /// Standard styles are saved only when they differ from their built-in default; custom ones
  /// always.
  bool shouldSaveToDefaults() const;

  /// A new style with type, name, font, paragraph style, underline, strikethrough, colour and
  /// both flags of this one, and its identifier; not the presentation intent nor the override.
  QNTNoteTextStylePtr copy() const;

  // --- Keyed archiving ---

  std::u16string className() const override { return QNTNoteTextStyleClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  static platform::Result<std::shared_ptr<const platform::Archivable>> initWithCoder(
      platform::KeyedUnarchiver& coder);

  // --- The catalogue ---

  /// standardStyles followed by customStyles; a new array on each call.
  static std::vector<QNTNoteTextStylePtr> allStyles();
  /// Title, heading, subheading, body, monospaced.
  static std::vector<QNTNoteTextStylePtr> standardStyles();
  /// The saved custom styles sorted by name (localized, case-insensitive, numbers by value);
  /// nothing when no styles are saved or they cannot be read.
  static std::optional<std::vector<QNTNoteTextStylePtr>> customStyles();

  static QNTNoteTextStylePtr titleNoteTextStyle();
  static QNTNoteTextStylePtr headingNoteTextStyle();
  static QNTNoteTextStylePtr subheadingNoteTextStyle();
  static QNTNoteTextStylePtr bodyNoteTextStyle();
  static QNTNoteTextStylePtr monospacedNoteTextStyle();

  static QNTNoteTextStylePtr defaultTitleNoteTextStyle();
  static QNTNoteTextStylePtr defaultHeadingNoteTextStyle();
  static QNTNoteTextStylePtr defaultSubheadingNoteTextStyle();
  static QNTNoteTextStylePtr defaultBodyNoteTextStyle();
  static QNTNoteTextStylePtr defaultMonospacedNoteTextStyle();

  /// The style named by "QNTNoteTextStyleDefaultIdentifier", or the body style.
  static QNTNoteTextStylePtr defaultStyle();
  /// The first of allStyles with exactly this identifier, or null.
  static QNTNoteTextStylePtr styleWithIdentifier(std::u16string_view identifier);
  /// The effective style of a standard type; null for any other value.
  static QNTNoteTextStylePtr styleForType(QNTNoteTextStyleType type);
  /// A new built-in default of a standard type; null for any other value.
  static QNTNoteTextStylePtr defaultStyleForType(QNTNoteTextStyleType type);
  /// The first saved style of a standard type, read from the store afresh; null when none.
  static QNTNoteTextStylePtr savedStyleForType(QNTNoteTextStyleType type);
  /// Title, heading and subheading for levels 1 to 3; null otherwise.
  static QNTNoteTextStylePtr styleForParagraphHeaderLevel(std::int64_t level);
  /// 12, 13, 14, 15 points for the settings 1 to 4; 11 for any other value.
  static double bodyPointSizeForNoteTextSize(std::int64_t noteTextSize);
  static Color standardForegroundColor();

  /// Stores the styles that need saving (or removes the key when none does), reloads, and
  /// posts the change notification once more (observers hear two notifications per save).
  /// Saved styles that cannot be read are first kept aside (see the key prefix above); when
  /// that fails nothing is replaced and the error is answered.
  static platform::Result<void> saveStylesToDefaults(
      const std::vector<QNTNoteTextStylePtr>& styles);
  /// Saves allStyles with the style appended.
  static platform::Result<void> addCustomStyle(const QNTNoteTextStylePtr& style);
  /// Empties all six caches and posts the change notification.
  static void reloadStylesFromDefaults();

  /// The first of allStyles that matches the run, or null.
  static QNTNoteTextStylePtr styleThatMatchesAttributes(const Attributes& run);
  /// A new custom style named "New Style" with the run's font, paragraph style, colour,
  /// underline and strikethrough; not added to the catalogue.
  static QNTNoteTextStylePtr customStyleFromAttributes(const Attributes& run);

  /// The store the catalogue reads and writes: the standard user defaults unless replaced
  /// (null restores them). Empties the caches without notifying.
  static void setUserDefaults(platform::UserDefaults* defaults);
  static platform::UserDefaults& userDefaults();

 private:
  QNTNoteTextStyleType type_ = QNTNoteTextStyleTypeBody;
  std::optional<std::u16string> name_;
  std::optional<std::u16string> customStyleIdentifier_;
  std::optional<Font> font_;
  std::optional<Color> foregroundColor_;
  std::optional<ParagraphStyle> paragraphStyle_;
  std::optional<PresentationIntent> presentationIntent_;
  std::int64_t underlineStyle_ = 0;
  std::int64_t strikethrough_ = 0;
  bool applyToParagraph_ = false;
  bool resetOnNewLine_ = false;
  std::optional<std::vector<std::u16string>> otherAllowedAttributeNamesOverride_;
};

/// True for the standard types 0 to 4.
bool isStandardNoteTextStyleType(QNTNoteTextStyleType type);

/// A new random version-4 UUID in the upper-case 36-character hyphenated form.
std::u16string newUUIDString();

/// Registers the style class and every value class a style archive holds.
platform::Result<void> registerNoteTextStyleClasses(platform::KeyedArchiveClassRegistry& registry);

/// The styles as a keyed archive (secure coding) of an array, as the store keeps them.
platform::Result<std::vector<std::uint8_t>> archivedDataWithNoteTextStyles(
    const std::vector<QNTNoteTextStylePtr>& styles);
/// Reads such an archive; every element must be a style. The styles are new objects of the
/// caller's.
platform::Result<std::vector<QNTNoteTextStylePtr>> noteTextStylesWithArchivedData(
    std::span<const std::uint8_t> bytes);

}  // namespace zv::richtext
