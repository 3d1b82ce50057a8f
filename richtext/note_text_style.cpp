#include "richtext/note_text_style.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <random>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/localization.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "richtext/rich_text_archive.h"

namespace zv::richtext {

using platform::ArchivedObject;
using platform::Error;
using platform::KeyedArchiveClassRegistry;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::PlatformErrorCode;
using platform::PropertyList;
using platform::Result;
using platform::UserDefaults;

namespace {

// Keys of a style's archive, in the order they are decoded.
constexpr char16_t kTypeKey[] = u"type";
constexpr char16_t kNameKey[] = u"name";
constexpr char16_t kFontNameKey[] = u"fontName";
constexpr char16_t kFontSizeKey[] = u"fontSize";
constexpr char16_t kParagraphStyleKey[] = u"paragraphStyle";
constexpr char16_t kUnderlineStyleKey[] = u"underlineStyle";
constexpr char16_t kStrikethroughKey[] = u"strikethrough";
constexpr char16_t kForegroundColorKey[] = u"foregroundColor";
constexpr char16_t kResetOnNewLineKey[] = u"resetOnNewLine";
constexpr char16_t kApplyToParagraphKey[] = u"applyToParagraph";
constexpr char16_t kCustomStyleIdentifierKey[] = u"customStyleIdentifier";

constexpr char16_t kHelveticaNeue[] = u"Helvetica Neue";
// Larger sizes than any text system lays out; an archive claiming one is damaged or hostile.
constexpr double kMaximumFontSize = 10000;

// One row per standard type, indexed by the type's value.
struct StandardType {
  const char16_t* identifier;
  const char16_t* displayName;
  QNTNoteTextStylePtr (*defaultFactory)();
};

const std::array<StandardType, 5>& standardTypes() {
  static const std::array<StandardType, 5> types = {{
      {u"QNTNoteStyleIdentifierBody", u"Body", &QNTNoteTextStyle::defaultBodyNoteTextStyle},
      {u"QNTNoteStyleIdentifierTitle", u"Title", &QNTNoteTextStyle::defaultTitleNoteTextStyle},
      {u"QNTNoteStyleIdentifierHeading", u"Heading",
       &QNTNoteTextStyle::defaultHeadingNoteTextStyle},
      {u"QNTNoteStyleIdentifierMonospace", u"Monospaced",
       &QNTNoteTextStyle::defaultMonospacedNoteTextStyle},
      {u"QNTNoteStyleIdentifierSubheading", u"Subheading",
       &QNTNoteTextStyle::defaultSubheadingNoteTextStyle},
  }};
  return types;
}

// The catalogue's caches: one slot per standard type (by type value) and the custom styles.
struct Catalogue {
  std::array<QNTNoteTextStylePtr, 5> standard;
  std::optional<std::vector<QNTNoteTextStylePtr>> custom;
  UserDefaults* defaults = nullptr;
};

Catalogue& catalogue() {
#ifndef NDEBUG
  // The caches have no lock: a second thread would race with the first.
  static const std::thread::id owner = std::this_thread::get_id();
  assert(owner == std::this_thread::get_id() &&
         "the note text style catalogue serves one thread only");
#endif
  static Catalogue instance;
  return instance;
}

// --- Fonts ---

// Guesses the weight and slant a face name stands for, so that a face of another machine
// falls back to the matching face of a family that is installed here.
std::pair<FontTraitMask, double> traitsFromFaceName(std::u16string_view faceName) {
  const auto contains = [faceName](std::u16string_view word) {
    return faceName.find(word) != std::u16string_view::npos;
  };
  const bool bold = contains(u"Bold") || contains(u"Heavy") || contains(u"Black");
  const bool italic = contains(u"Italic") || contains(u"Oblique");
  return {italic ? kItalicFontMask : 0, bold ? kFontWeightBold : kFontWeightRegular};
}

// A Helvetica Neue face of a weight. Helvetica Neue is rarely installed outside macOS; without
// a fallback every built-in style would have no font and read as the 13-point body font, so
// titles would be as small as body text. The user's standard family stands in for it.
Font helveticaNeueFont(FontTraitMask traits, double weight, double pointSize) {
  const FontManager& fonts = sharedFontManager();
  if (std::optional<Font> font = fonts.fontWithFamily(kHelveticaNeue, traits, weight, pointSize)) {
    return *font;
  }
  Font userFont = fonts.userFontOfSize(pointSize);
  if (!userFont.family.empty()) {
    if (std::optional<Font> font =
            fonts.fontWithFamily(userFont.family, traits, weight, pointSize)) {
      return *font;
    }
  }
  return userFont;
}

// The font an archive names: the face itself, else Helvetica Neue, else the user's family with
// the weight the face name suggests, always at the archived size.
Font archivedFont(std::u16string_view faceName, double pointSize) {
  const FontManager& fonts = sharedFontManager();
  if (std::optional<Font> font = fonts.fontWithName(faceName, pointSize)) {
    return *font;
  }
  if (std::optional<Font> font = fonts.fontWithName(kHelveticaNeue, pointSize)) {
    return *font;
  }
  const auto [traits, weight] = traitsFromFaceName(faceName);
  return helveticaNeueFont(traits, weight, pointSize);
}

// --- Attribute values ---

std::optional<std::int64_t> integerValue(const AttributeValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    return *integer;
  }
  if (const auto* real = std::get_if<double>(&value)) {
    if (std::isfinite(*real) && std::abs(*real) < 9.2e18) {
      return static_cast<std::int64_t>(*real);
    }
    return std::nullopt;
  }
  if (const auto* boolean = std::get_if<bool>(&value)) {
    return *boolean ? 1 : 0;
  }
  return std::nullopt;
}

bool contains(std::span<const std::u16string> keys, std::u16string_view key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// The computed other-allowed names, built once: matching runs over every style for every run.
const std::vector<std::u16string>& computedOtherAllowedAttributeNames(bool applyToParagraph) {
  const auto build = [](bool withParagraphStyle) {
    std::vector<std::u16string> names = {
        NSLigatureAttributeName,
        NSAttachmentAttributeName,
        NSLinkAttributeName,
        NSWritingDirectionAttributeName,
        NSVerticalGlyphFormAttributeName,
        QNTHighlightAttributeName,
    };
    if (withParagraphStyle) {
      names.emplace_back(NSParagraphStyleAttributeName);
    }
    names.emplace_back(NSTextHighlightStyleAttributeName);
    names.emplace_back(NSTextHighlightColorSchemeAttributeName);
    return names;
  };
  static const std::vector<std::u16string> paragraphStyleNames = build(false);
  static const std::vector<std::u16string> characterStyleNames = build(true);
  return applyToParagraph ? paragraphStyleNames : characterStyleNames;
}

std::vector<std::u16string> withColorKeys(std::vector<std::u16string> names) {
  names.emplace_back(NSForegroundColorAttributeName);
  names.emplace_back(NSBackgroundColorAttributeName);
  return names;
}

// --- Custom style order ---

// Case-insensitive, digits by numeric value, in the user's locale; equal names keep a fixed
// order by their exact text so that the catalogue reads the same on every run.
class NameOrder {
 public:
  NameOrder() {
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale (an unset or C LANG) collates ASCII by code point and so would tell case
    // apart; the root locale stands in for it.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::string_view(locale.getVariant()) == "POSIX") {
      locale = icu::Locale::getRoot();
    }
    collator_.reset(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator_) {
      collator_.reset();
      return;
    }
    collator_->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator_->setStrength(icu::Collator::SECONDARY);
  }

  bool operator()(const QNTNoteTextStylePtr& a, const QNTNoteTextStylePtr& b) const {
    const std::u16string left = a->name().value_or(u"");
    const std::u16string right = b->name().value_or(u"");
    if (collator_) {
      UErrorCode status = U_ZERO_ERROR;
      const UCollationResult order =
          collator_->compare(left.data(), static_cast<std::int32_t>(left.size()), right.data(),
                             static_cast<std::int32_t>(right.size()), status);
      if (U_SUCCESS(status) && order != UCOL_EQUAL) {
        return order == UCOL_LESS;
      }
    }
    return left < right;
  }

 private:
  std::unique_ptr<icu::Collator> collator_;
};

// --- The store ---

const KeyedArchiveClassRegistry& styleRegistry() {
  static const KeyedArchiveClassRegistry registry = [] {
    KeyedArchiveClassRegistry built;
    Result<void> registered = registerNoteTextStyleClasses(built);
    assert(registered.ok() && "the style classes register once into a fresh registry");
    registered.ignoreError();
    return built;
  }();
  return registry;
}

// The saved styles; nothing when none are saved, or (logged) when they cannot be read.
std::optional<std::vector<QNTNoteTextStylePtr>> readSavedStyles() {
  std::optional<PropertyList> stored =
      QNTNoteTextStyle::userDefaults().objectForKey(QNTNoteTextStylesDefaultsKey);
  const PropertyList::Data* data = stored ? stored->asData() : nullptr;
  if (!data) {
    return std::nullopt;
  }
  Result<std::vector<QNTNoteTextStylePtr>> styles = noteTextStylesWithArchivedData(*data);
  if (!styles) {
    platform::logFormat(u"Error unarchiving saved note styles: %@", {styles.error().description});
    return std::nullopt;
  }
  return std::move(*styles);
}

std::u16string utcTimestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::array<char, 32> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%Y%m%dT%H%M%SZ", &utc);
  return {text.data(), text.data() + length};
}

// Before a save replaces the stored styles, keeps a value that cannot be read as styles under
// a key of its own that no earlier copy holds. Without this, the first save after a damaged
// (or newer) archive would silently drop every custom style of the user.
Result<void> keepUnreadableSavedStylesAside(UserDefaults& defaults) {
  std::optional<PropertyList> stored = defaults.objectForKey(QNTNoteTextStylesDefaultsKey);
  if (!stored) {
    return {};
  }
  if (const PropertyList::Data* data = stored->asData()) {
    Result<std::vector<QNTNoteTextStylePtr>> styles = noteTextStylesWithArchivedData(*data);
    if (styles) {
      return {};
    }
  }
  const std::u16string base = QNTNoteTextStylesUnreadableDefaultsKeyPrefix + utcTimestamp();
  std::u16string key = base;
  for (int attempt = 2; defaults.objectForKey(key); ++attempt) {
    key = base + u"-" + platform::formatString(u"%ld", {std::int64_t{attempt}});
  }
  ZV_TRY(defaults.setObject(std::move(*stored), key));
  platform::logFormat(u"Kept unreadable saved note styles under “%@”", {key});
  return {};
}

Error corruptStyle(std::u16string_view what) {
  return platform::makePlatformError(
      PlatformErrorCode::kKeyedArchiveReadCorrupt,
      platform::formatLocalized(u"The note text style archive is damaged: %@.",
                                {std::u16string(what)}));
}

ArchivedObject colorDictionary(const Color& color) {
  ArchivedObject::Dictionary entries;
  for (const auto& [key, value] : color.propertyListRepresentation()) {
    entries.push_back({key, ArchivedObject(value)});
  }
  return {std::move(entries)};
}

Result<std::optional<Color>> colorFromDictionary(const ArchivedObject& object) {
  if (object.isNil()) {
    return std::optional<Color>();
  }
  const ArchivedObject::Dictionary* entries = object.asDictionary();
  if (!entries) {
    return corruptStyle(u"the colour is no dictionary");
  }
  Color::PropertyListRepresentation representation;
  for (const platform::ArchivedDictionaryEntry& entry : *entries) {
    std::optional<double> number = entry.value.asReal();
    if (!number) {
      if (std::optional<std::int64_t> integer = entry.value.asInt64()) {
        number = static_cast<double>(*integer);
      }
    }
    if (!number) {
      return corruptStyle(u"a colour component is no number");
    }
    representation.emplace(entry.key, *number);
  }
  return Color::colorFromPropertyListRepresentation(representation);
}

QNTNoteTextStylePtr newDefaultStyle(QNTNoteTextStyleType type, Font font, Color color,
                                    const ParagraphStyle& paragraphStyle, PresentationIntent intent,
                                    bool applyToParagraph, bool resetOnNewLine) {
  auto style = std::make_shared<QNTNoteTextStyle>();
  style->setType(type);
  style->setFont(std::move(font));
  style->setForegroundColor(color);
  style->setParagraphStyle(paragraphStyle);
  style->setPresentationIntent(std::move(intent));
  style->setApplyToParagraph(applyToParagraph);
  style->setResetOnNewLine(resetOnNewLine);
  return style;
}

QNTNoteTextStylePtr cachedStandardStyle(QNTNoteTextStyleType type) {
  QNTNoteTextStylePtr& slot = catalogue().standard[static_cast<std::size_t>(type)];
  if (!slot) {
    slot = QNTNoteTextStyle::savedStyleForType(type);
    if (!slot) {
      slot = standardTypes()[static_cast<std::size_t>(type)].defaultFactory();
    }
  }
  return slot;
}

// The custom cache slot, filled from the store when empty; null when nothing can be read.
const std::vector<QNTNoteTextStylePtr>* cachedCustomStyles() {
  Catalogue& state = catalogue();
  if (state.custom) {
    return &*state.custom;
  }
  std::optional<std::vector<QNTNoteTextStylePtr>> saved = readSavedStyles();
  if (!saved) {
    return nullptr;
  }
  std::vector<QNTNoteTextStylePtr> custom;
  std::copy_if(
      saved->begin(), saved->end(), std::back_inserter(custom),
      [](const QNTNoteTextStylePtr& style) { return style->type() == QNTNoteTextStyleTypeCustom; });
  const NameOrder order;
  std::stable_sort(custom.begin(), custom.end(), std::cref(order));
  state.custom = std::move(custom);
  return &*state.custom;
}

}  // namespace

bool isStandardNoteTextStyleType(QNTNoteTextStyleType type) {
  return static_cast<std::uint64_t>(type) <= static_cast<std::uint64_t>(4);
}

std::u16string newUUIDString() {
  std::random_device source;
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const std::uint32_t word = source();
    for (std::size_t j = 0; j < 4; ++j) {
      bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      text.push_back(u'-');
    }
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

// --- Properties ---

void QNTNoteTextStyle::setType(QNTNoteTextStyleType type) {
  if (type == type_) {
    return;
  }
  type_ = type;
  if (type == QNTNoteTextStyleTypeCustom && !customStyleIdentifier_) {
    customStyleIdentifier_ = newUUIDString();
  }
}

std::optional<std::u16string> QNTNoteTextStyle::name() const {
  if (isStandardNoteTextStyleType(type_)) {
    return platform::localized(standardTypes()[static_cast<std::size_t>(type_)].displayName);
  }
  return name_;
}

std::optional<std::u16string> QNTNoteTextStyle::identifier() const {
  if (isStandardNoteTextStyleType(type_)) {
    return std::u16string(standardTypes()[static_cast<std::size_t>(type_)].identifier);
  }
  return customStyleIdentifier_;
}

Font QNTNoteTextStyle::font() const {
  if (font_) {
    return *font_;
  }
  return sharedFontManager().userFontOfSize(kStandardFontSize);
}

void QNTNoteTextStyle::setFontName(std::u16string_view faceName) {
  font_ = sharedFontManager().fontWithName(faceName, fontSize());
}

void QNTNoteTextStyle::setFontSize(double pointSize) {
  font_ = sharedFontManager().fontWithName(fontName(), pointSize);
}

Color QNTNoteTextStyle::foregroundColor() const {
  if (!foregroundColor_ || foregroundColor_->isBlackColor() || foregroundColor_->isWhiteColor()) {
    return standardForegroundColor();
  }
  return *foregroundColor_;
}

void QNTNoteTextStyle::setForegroundColor(std::optional<Color> color) {
  if (color && (color->isBlackColor() || color->isWhiteColor())) {
    color.reset();
  }
  foregroundColor_ = color;
}

ParagraphStyle QNTNoteTextStyle::paragraphStyle() const {
  return paragraphStyle_ ? *paragraphStyle_ : ParagraphStyle::defaultParagraphStyle();
}

bool QNTNoteTextStyle::shouldSaveToDefaults() const {
  if (type_ == QNTNoteTextStyleTypeCustom) {
    return true;
  }
  if (!isStandardNoteTextStyleType(type_)) {
    return false;
  }
  return !matchesStyle(*defaultStyleForType(type_));
}

QNTNoteTextStylePtr QNTNoteTextStyle::copy() const {
  auto copied = std::make_shared<QNTNoteTextStyle>();
  copied->setType(type_);
  copied->name_ = name_;
  copied->font_ = font_;
  copied->paragraphStyle_ = paragraphStyle_;
  copied->underlineStyle_ = underlineStyle_;
  copied->strikethrough_ = strikethrough_;
  copied->foregroundColor_ = foregroundColor_;
  copied->resetOnNewLine_ = resetOnNewLine_;
  copied->applyToParagraph_ = applyToParagraph_;
  copied->customStyleIdentifier_ = customStyleIdentifier_;
  return copied;
}

// --- Matching ---

std::vector<std::u16string> QNTNoteTextStyle::otherAllowedAttributeNames() const {
  if (otherAllowedAttributeNamesOverride_) {
    return *otherAllowedAttributeNamesOverride_;
  }
  return computedOtherAllowedAttributeNames(applyToParagraph_);
}

Attributes QNTNoteTextStyle::attributes() const {
  Attributes result;
  result.emplace(NSFontAttributeName, font());
  result.emplace(NSParagraphStyleAttributeName, paragraphStyle());
  result.emplace(NSForegroundColorAttributeName, foregroundColor());
  result.emplace(NSUnderlineStyleAttributeName, underlineStyle_);
  result.emplace(NSStrikethroughStyleAttributeName, strikethrough_);
  if (std::optional<std::u16string> styleIdentifier = identifier()) {
    result.emplace(QNTNoteTextStyleIdentifierAttributeName, std::move(*styleIdentifier));
  }
  if (presentationIntent_) {
    result.emplace(NSPresentationIntentAttributeName, *presentationIntent_);
  }
  return result;
}

bool QNTNoteTextStyle::matchesAttributes(const Attributes& run,
                                         std::span<const std::u16string> ignoring) const {
  const bool anyKeyLeft = std::any_of(run.begin(), run.end(), [ignoring](const auto& entry) {
    return !contains(ignoring, entry.first);
  });
  if (!anyKeyLeft) {
    return false;
  }
  // The keys of attributes(), each compared by its own rule. The style's values are looked at
  // only for keys the run has and not copied: matching runs over every style for every run.
  const auto runValue = [&run, ignoring](std::u16string_view key) -> const AttributeValue* {
    if (contains(ignoring, key)) {
      return nullptr;
    }
    const auto found = run.find(key);
    return found == run.end() ? nullptr : &found->second;
  };
  if (const AttributeValue* value = runValue(NSFontAttributeName)) {
    const auto* font = std::get_if<Font>(value);
    if (!font || !(font_ ? *font_ == *font : this->font() == *font)) {
      return false;
    }
  }
  if (const AttributeValue* value = runValue(NSParagraphStyleAttributeName)) {
    const auto* paragraph = std::get_if<ParagraphStyle>(value);
    const ParagraphStyle& own =
        paragraphStyle_ ? *paragraphStyle_ : ParagraphStyle::defaultParagraphStyle();
    if (!paragraph || !(applyToParagraph_ ? own.isEqualToParagraphStyle(*paragraph)
                                          : own.lineSpacingMatchesStyle(*paragraph))) {
      return false;
    }
  }
  if (const AttributeValue* value = runValue(NSForegroundColorAttributeName)) {
    const auto* color = std::get_if<Color>(value);
    const Color own = foregroundColor();
    const bool bothBlackOrWhite = color && ((own.isBlackColor() && color->isBlackColor()) ||
                                            (own.isWhiteColor() && color->isWhiteColor()));
    if (!bothBlackOrWhite && !(color && own == *color)) {
      return false;
    }
  }
  for (const auto& [key, own] : {std::pair{NSUnderlineStyleAttributeName, underlineStyle_},
                                 std::pair{NSStrikethroughStyleAttributeName, strikethrough_}}) {
    if (const AttributeValue* value = runValue(key)) {
      if (integerValue(*value) != own) {
        return false;
      }
    }
  }
  if (const AttributeValue* value = runValue(QNTNoteTextStyleIdentifierAttributeName)) {
    const auto* text = std::get_if<std::u16string>(value);
    const std::u16string_view own =
        isStandardNoteTextStyleType(type_)
            ? std::u16string_view(standardTypes()[static_cast<std::size_t>(type_)].identifier)
        : customStyleIdentifier_ ? std::u16string_view(*customStyleIdentifier_)
                                 : std::u16string_view();
    const bool hasIdentifier = isStandardNoteTextStyleType(type_) || customStyleIdentifier_;
    if (hasIdentifier && (!text || *text != own)) {
      return false;
    }
  }
  if (presentationIntent_) {
    if (const AttributeValue* value = runValue(NSPresentationIntentAttributeName)) {
      const auto* intent = std::get_if<PresentationIntent>(value);
      if (!intent || !(*intent == *presentationIntent_)) {
        return false;
      }
    }
  }
  return true;
}

bool QNTNoteTextStyle::matchesAttributes(const Attributes& run) const {
  if (otherAllowedAttributeNamesOverride_) {
    return matchesAttributes(run, withColorKeys(*otherAllowedAttributeNamesOverride_));
  }
  static const std::vector<std::u16string> paragraphStyleIgnored =
      withColorKeys(computedOtherAllowedAttributeNames(true));
  static const std::vector<std::u16string> characterStyleIgnored =
      withColorKeys(computedOtherAllowedAttributeNames(false));
  return matchesAttributes(run, applyToParagraph_ ? paragraphStyleIgnored : characterStyleIgnored);
}

bool QNTNoteTextStyle::matchesStyle(const QNTNoteTextStyle& other) const {
  return matchesAttributes(other.attributes(), {});
}

Attributes QNTNoteTextStyle::attributesWithOtherAttributes(const Attributes& run,
                                                           bool alwaysWithParagraphStyle) const {
  Attributes result = attributes();
  const std::vector<std::u16string> allowed = otherAllowedAttributeNames();
  for (const auto& [key, value] : run) {
    if (contains(allowed, key)) {
      result.insert_or_assign(key, value);
    }
  }
  if (alwaysWithParagraphStyle) {
    result.insert_or_assign(NSParagraphStyleAttributeName, paragraphStyle());
  }
  return result;
}

// --- Archiving ---

void QNTNoteTextStyle::encodeWithCoder(KeyedArchiver& coder) const {
  coder.encodeInt64(kTypeKey, type_);
  coder.encodeObject(kNameKey, name_ ? ArchivedObject(*name_) : ArchivedObject());
  if (font_) {
    coder.encodeObject(kFontNameKey, ArchivedObject(font_->name));
  }
  coder.encodeFloat(kFontSizeKey, font_ ? static_cast<float>(font_->pointSize) : 0.0F);
  coder.encodeObject(kParagraphStyleKey,
                     paragraphStyle_ ? ArchivedObject(archivableParagraphStyle(*paragraphStyle_))
                                     : ArchivedObject());
  coder.encodeInt64(kUnderlineStyleKey, underlineStyle_);
  coder.encodeInt64(kStrikethroughKey, strikethrough_);
  coder.encodeObject(kForegroundColorKey, colorDictionary(foregroundColor()));
  coder.encodeBool(kResetOnNewLineKey, resetOnNewLine_);
  coder.encodeBool(kApplyToParagraphKey, applyToParagraph_);
  coder.encodeObject(kCustomStyleIdentifierKey, customStyleIdentifier_
                                                    ? ArchivedObject(*customStyleIdentifier_)
                                                    : ArchivedObject());
}

Result<std::shared_ptr<const platform::Archivable>> QNTNoteTextStyle::initWithCoder(
    KeyedUnarchiver& coder) {
  auto style = std::make_shared<QNTNoteTextStyle>();
  ZV_ASSIGN_OR_RETURN(const std::int64_t type, coder.decodeInt64ForKey(kTypeKey));
  style->setType(type);
  ZV_ASSIGN_OR_RETURN(style->name_, coder.decodeStringForKey(kNameKey));
  ZV_ASSIGN_OR_RETURN(const std::optional<std::u16string> fontName,
                      coder.decodeStringForKey(kFontNameKey));
  ZV_ASSIGN_OR_RETURN(const float fontSize, coder.decodeFloatForKey(kFontSizeKey));
  if (!std::isfinite(fontSize) || fontSize < 0 || fontSize > kMaximumFontSize) {
    return corruptStyle(u"the font size is out of range");
  }
  // A style saved without a font reads back without one, so its fallback stays the user's.
  if (fontName) {
    style->font_ = archivedFont(*fontName, fontSize);
  }
  ZV_ASSIGN_OR_RETURN(
      const ArchivedObject paragraphStyle,
      coder.decodeObjectForKey(kParagraphStyleKey,
                               {kParagraphStyleClassName, kMutableParagraphStyleClassName}));
  if (!paragraphStyle.isNil()) {
    style->paragraphStyle_ = paragraphStyleFromArchivedObject(paragraphStyle);
    if (!style->paragraphStyle_) {
      return corruptStyle(u"the paragraph style is of another kind");
    }
  }
  ZV_ASSIGN_OR_RETURN(style->underlineStyle_, coder.decodeInt64ForKey(kUnderlineStyleKey));
  ZV_ASSIGN_OR_RETURN(style->strikethrough_, coder.decodeInt64ForKey(kStrikethroughKey));
  ZV_ASSIGN_OR_RETURN(
      const ArchivedObject colorObject,
      coder.decodeObjectForKey(kForegroundColorKey, {u"NSDictionary", u"NSString", u"NSNumber"}));
  if (!colorObject.isNil()) {
    ZV_ASSIGN_OR_RETURN(std::optional<Color> color, colorFromDictionary(colorObject));
    style->setForegroundColor(color);
  }
  ZV_ASSIGN_OR_RETURN(style->resetOnNewLine_, coder.decodeBoolForKey(kResetOnNewLineKey));
  ZV_ASSIGN_OR_RETURN(style->applyToParagraph_, coder.decodeBoolForKey(kApplyToParagraphKey));
  ZV_ASSIGN_OR_RETURN(style->customStyleIdentifier_,
                      coder.decodeStringForKey(kCustomStyleIdentifierKey));
  return std::shared_ptr<const platform::Archivable>(std::move(style));
}

Result<void> registerNoteTextStyleClasses(KeyedArchiveClassRegistry& registry) {
  ZV_TRY(registerAttributedStringClasses(registry));
  return registry.registerClass({QNTNoteTextStyleClassName, u"NSObject"},
                                &QNTNoteTextStyle::initWithCoder);
}

Result<std::vector<std::uint8_t>> archivedDataWithNoteTextStyles(
    const std::vector<QNTNoteTextStylePtr>& styles) {
  ArchivedObject::Array elements;
  elements.reserve(styles.size());
  for (const QNTNoteTextStylePtr& style : styles) {
    elements.emplace_back(std::shared_ptr<const platform::Archivable>(style));
  }
  return platform::archivedDataWithRootObject(ArchivedObject(std::move(elements)));
}

Result<std::vector<QNTNoteTextStylePtr>> noteTextStylesWithArchivedData(
    std::span<const std::uint8_t> bytes) {
  ZV_ASSIGN_OR_RETURN(
      const ArchivedObject root,
      platform::unarchivedObject(bytes, {u"NSArray", QNTNoteTextStyleClassName}, styleRegistry()));
  const ArchivedObject::Array* elements = root.asArray();
  if (!elements) {
    return corruptStyle(u"the root is not an array of styles");
  }
  std::vector<QNTNoteTextStylePtr> styles;
  styles.reserve(elements->size());
  for (const ArchivedObject& element : *elements) {
    std::shared_ptr<const QNTNoteTextStyle> style = element.as<QNTNoteTextStyle>();
    if (!style) {
      return corruptStyle(u"an element is not a style");
    }
    // The unarchiver shares an object met twice; every style the caller gets is its own.
    styles.push_back(std::make_shared<QNTNoteTextStyle>(*style));
  }
  return styles;
}

// --- The catalogue ---

std::vector<QNTNoteTextStylePtr> QNTNoteTextStyle::allStyles() {
  std::vector<QNTNoteTextStylePtr> styles = standardStyles();
  if (std::optional<std::vector<QNTNoteTextStylePtr>> custom = customStyles()) {
    styles.insert(styles.end(), custom->begin(), custom->end());
  }
  return styles;
}

std::vector<QNTNoteTextStylePtr> QNTNoteTextStyle::standardStyles() {
  return {titleNoteTextStyle(), headingNoteTextStyle(), subheadingNoteTextStyle(),
          bodyNoteTextStyle(), monospacedNoteTextStyle()};
}

std::optional<std::vector<QNTNoteTextStylePtr>> QNTNoteTextStyle::customStyles() {
  const std::vector<QNTNoteTextStylePtr>* custom = cachedCustomStyles();
  return custom ? std::optional(*custom) : std::nullopt;
}

QNTNoteTextStylePtr QNTNoteTextStyle::titleNoteTextStyle() {
  return cachedStandardStyle(QNTNoteTextStyleTypeTitle);
}
QNTNoteTextStylePtr QNTNoteTextStyle::headingNoteTextStyle() {
  return cachedStandardStyle(QNTNoteTextStyleTypeHeading);
}
QNTNoteTextStylePtr QNTNoteTextStyle::subheadingNoteTextStyle() {
  return cachedStandardStyle(QNTNoteTextStyleTypeSubheading);
}
QNTNoteTextStylePtr QNTNoteTextStyle::bodyNoteTextStyle() {
  return cachedStandardStyle(QNTNoteTextStyleTypeBody);
}
QNTNoteTextStylePtr QNTNoteTextStyle::monospacedNoteTextStyle() {
  return cachedStandardStyle(QNTNoteTextStyleTypeMonospaced);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultTitleNoteTextStyle() {
  ParagraphStyle paragraph = ParagraphStyle::defaultParagraphStyle();
  paragraph.headerLevel = 1;
  return newDefaultStyle(QNTNoteTextStyleTypeTitle, helveticaNeueFont(0, kFontWeightBold, 20),
                         Color::labelColor(), paragraph, PresentationIntent::header(1, 0, nullptr),
                         true, true);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultHeadingNoteTextStyle() {
  ParagraphStyle paragraph = ParagraphStyle::defaultParagraphStyle();
  paragraph.paragraphSpacing = 2.0;
  paragraph.headerLevel = 2;
  return newDefaultStyle(QNTNoteTextStyleTypeHeading, helveticaNeueFont(0, kFontWeightBold, 16),
                         Color::labelColor(), paragraph, PresentationIntent::header(2, 0, nullptr),
                         true, true);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultSubheadingNoteTextStyle() {
  ParagraphStyle paragraph = ParagraphStyle::defaultParagraphStyle();
  paragraph.paragraphSpacing = 2.0;
  paragraph.headerLevel = 3;
  return newDefaultStyle(QNTNoteTextStyleTypeSubheading, helveticaNeueFont(0, kFontWeightBold, 13),
                         Color::labelColor(), paragraph, PresentationIntent::header(3, 0, nullptr),
                         true, true);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultBodyNoteTextStyle() {
  const ParagraphStyle& standard = ParagraphStyle::defaultParagraphStyle();
  ParagraphStyle paragraph = standard;
  if (!standard.tabStops.empty()) {
    paragraph.defaultTabInterval = standard.tabStops.front().location;
  }
  paragraph.lineHeightMultiple = 1.2;
  return newDefaultStyle(QNTNoteTextStyleTypeBody, helveticaNeueFont(0, kFontWeightRegular, 13),
                         Color::labelColor(), paragraph, PresentationIntent::paragraph(0, nullptr),
                         false, false);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultMonospacedNoteTextStyle() {
  ParagraphStyle paragraph = ParagraphStyle::defaultParagraphStyle();
  paragraph.lineSpacing = 1.0;
  return newDefaultStyle(QNTNoteTextStyleTypeMonospaced,
                         sharedFontManager().userFixedPitchFontOfSize(13),
                         Color::secondaryLabelColor(), paragraph,
                         PresentationIntent::codeBlock(u"", 0, nullptr), true, false);
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultStyle() {
  std::optional<PropertyList> stored =
      userDefaults().objectForKey(QNTNoteTextStyleDefaultIdentifierDefaultsKey);
  if (const std::u16string* identifier = stored ? stored->asString() : nullptr) {
    if (QNTNoteTextStylePtr style = styleWithIdentifier(*identifier)) {
      return style;
    }
  }
  return bodyNoteTextStyle();
}

QNTNoteTextStylePtr QNTNoteTextStyle::styleWithIdentifier(std::u16string_view identifier) {
  for (QNTNoteTextStylePtr& style : allStyles()) {
    if (style->identifier() == identifier) {
      return std::move(style);
    }
  }
  return nullptr;
}

QNTNoteTextStylePtr QNTNoteTextStyle::styleForType(QNTNoteTextStyleType type) {
  return isStandardNoteTextStyleType(type) ? cachedStandardStyle(type) : nullptr;
}

QNTNoteTextStylePtr QNTNoteTextStyle::defaultStyleForType(QNTNoteTextStyleType type) {
  if (!isStandardNoteTextStyleType(type)) {
    return nullptr;
  }
  return standardTypes()[static_cast<std::size_t>(type)].defaultFactory();
}

QNTNoteTextStylePtr QNTNoteTextStyle::savedStyleForType(QNTNoteTextStyleType type) {
  if (type == QNTNoteTextStyleTypeCustom) {
    return nullptr;
  }
  std::optional<std::vector<QNTNoteTextStylePtr>> saved = readSavedStyles();
  if (!saved) {
    return nullptr;
  }
  for (QNTNoteTextStylePtr& style : *saved) {
    if (style->type() == type) {
      return std::move(style);
    }
  }
  return nullptr;
}

QNTNoteTextStylePtr QNTNoteTextStyle::styleForParagraphHeaderLevel(std::int64_t level) {
  switch (level) {
    case 1:
      return titleNoteTextStyle();
    case 2:
      return headingNoteTextStyle();
    case 3:
      return subheadingNoteTextStyle();
    default:
      return nullptr;
  }
}

double QNTNoteTextStyle::bodyPointSizeForNoteTextSize(std::int64_t noteTextSize) {
  if (noteTextSize >= 1 && noteTextSize <= 4) {
    return 11.0 + static_cast<double>(noteTextSize);
  }
  return 11.0;
}

Color QNTNoteTextStyle::standardForegroundColor() {
  return Color::textColor();
}

Result<void> QNTNoteTextStyle::saveStylesToDefaults(
    const std::vector<QNTNoteTextStylePtr>& styles) {
  std::vector<QNTNoteTextStylePtr> saved;
  std::copy_if(styles.begin(), styles.end(), std::back_inserter(saved),
               [](const QNTNoteTextStylePtr& style) { return style->shouldSaveToDefaults(); });
  UserDefaults& defaults = userDefaults();
  Result<void> stored = keepUnreadableSavedStylesAside(defaults);
  if (stored) {
    if (saved.empty()) {
      stored = defaults.removeObjectForKey(QNTNoteTextStylesDefaultsKey);
    } else if (Result<std::vector<std::uint8_t>> data = archivedDataWithNoteTextStyles(saved)) {
      stored = defaults.setObject(PropertyList(std::move(*data)), QNTNoteTextStylesDefaultsKey);
    } else {
      stored = std::move(data).error();
    }
  }
  reloadStylesFromDefaults();
  platform::NotificationCenter::defaultCenter().postNotificationName(
      QNTNoteTextStyleDefaultsDidChangeNotification);
  return stored;
}

Result<void> QNTNoteTextStyle::addCustomStyle(const QNTNoteTextStylePtr& style) {
  std::vector<QNTNoteTextStylePtr> styles = allStyles();
  styles.push_back(style);
  return saveStylesToDefaults(styles);
}

void QNTNoteTextStyle::reloadStylesFromDefaults() {
  Catalogue& state = catalogue();
  state.standard = {};
  state.custom.reset();
  platform::NotificationCenter::defaultCenter().postNotificationName(
      QNTNoteTextStyleDefaultsDidChangeNotification);
}

QNTNoteTextStylePtr QNTNoteTextStyle::styleThatMatchesAttributes(const Attributes& run) {
  // allStyles' order without its copy: this runs once per run of a text.
  for (QNTNoteTextStylePtr& style : standardStyles()) {
    if (style->matchesAttributes(run)) {
      return std::move(style);
    }
  }
  if (const std::vector<QNTNoteTextStylePtr>* custom = cachedCustomStyles()) {
    for (const QNTNoteTextStylePtr& style : *custom) {
      if (style->matchesAttributes(run)) {
        return style;
      }
    }
  }
  return nullptr;
}

QNTNoteTextStylePtr QNTNoteTextStyle::customStyleFromAttributes(const Attributes& run) {
  auto style = std::make_shared<QNTNoteTextStyle>();
  style->setName(platform::localized(u"New Style"));
  style->setType(QNTNoteTextStyleTypeCustom);
  const auto value = [&run](std::u16string_view key) -> const AttributeValue* {
    const auto found = run.find(key);
    return found == run.end() ? nullptr : &found->second;
  };
  if (const AttributeValue* font = value(NSFontAttributeName)) {
    if (const auto* given = std::get_if<Font>(font)) {
      style->setFont(*given);
    }
  }
  if (const AttributeValue* paragraph = value(NSParagraphStyleAttributeName)) {
    if (const auto* given = std::get_if<ParagraphStyle>(paragraph)) {
      style->setParagraphStyle(*given);
    }
  }
  if (const AttributeValue* color = value(NSForegroundColorAttributeName)) {
    if (const auto* given = std::get_if<Color>(color)) {
      style->setForegroundColor(*given);
    }
  }
  if (const AttributeValue* underline = value(NSUnderlineStyleAttributeName)) {
    style->setUnderlineStyle(integerValue(*underline).value_or(0));
  }
  if (const AttributeValue* strikethrough = value(NSStrikethroughStyleAttributeName)) {
    style->setStrikethrough(integerValue(*strikethrough).value_or(0));
  }
  return style;
}

void QNTNoteTextStyle::setUserDefaults(UserDefaults* defaults) {
  Catalogue& state = catalogue();
  state.defaults = defaults;
  state.standard = {};
  state.custom.reset();
}

UserDefaults& QNTNoteTextStyle::userDefaults() {
  Catalogue& state = catalogue();
  return state.defaults ? *state.defaults : UserDefaults::standardUserDefaults();
}

}  // namespace zv::richtext
