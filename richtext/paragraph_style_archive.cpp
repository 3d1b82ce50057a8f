#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "richtext/rich_text_archive.h"

namespace zv::richtext {

using platform::Archivable;
using platform::ArchivedObject;
using platform::KeyedArchiveClassRegistry;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Result;

namespace {

constexpr char16_t kArrayClassName[] = u"NSArray";

// Paragraph style keys.
constexpr char16_t kAlignmentKey[] = u"NSAlignment";
constexpr char16_t kTabStopsKey[] = u"NSTabStops";
constexpr char16_t kTextListsKey[] = u"NSTextLists";
constexpr char16_t kHeaderLevelKey[] = u"NSHeaderLevel";
struct MeasurementKey {
  const char16_t* key;
  double ParagraphStyle::*member;
};
constexpr std::array<MeasurementKey, 10> kMeasurementKeys = {{
    {u"NSLineSpacing", &ParagraphStyle::lineSpacing},
    {u"NSParagraphSpacing", &ParagraphStyle::paragraphSpacing},
    {u"NSHeadIndent", &ParagraphStyle::headIndent},
    {u"NSFirstLineHeadIndent", &ParagraphStyle::firstLineHeadIndent},
    {u"NSTailIndent", &ParagraphStyle::tailIndent},
    {u"NSMinLineHeight", &ParagraphStyle::minimumLineHeight},
    {u"NSMaxLineHeight", &ParagraphStyle::maximumLineHeight},
    {u"NSLineHeightMultiple", &ParagraphStyle::lineHeightMultiple},
    {u"NSParagraphSpacingBefore", &ParagraphStyle::paragraphSpacingBefore},
    {u"NSDefaultTabInterval", &ParagraphStyle::defaultTabInterval},
}};

// Tab stop keys; NSType is the older tab type (left, right, centre, decimal).
constexpr char16_t kLocationKey[] = u"NSLocation";
constexpr char16_t kTabAlignmentKey[] = u"NSTextAlignment";
constexpr char16_t kTabTypeKey[] = u"NSType";

// Text list keys.
constexpr char16_t kMarkerFormatKey[] = u"NSMarkerFormat";
constexpr char16_t kStartKey[] = u"NSStart";

// Presentation intent keys.
constexpr char16_t kIntentKindKey[] = u"NS.intentKind";
constexpr char16_t kParentIntentKey[] = u"NS.parentIntent";
constexpr char16_t kIdentityKey[] = u"NS.identity";
constexpr char16_t kOrdinalKey[] = u"NS.ordinal";
constexpr char16_t kColumnAlignmentsKey[] = u"NS.columnAlignments";
constexpr char16_t kColumnCountKey[] = u"NS.columnCount";
constexpr char16_t kIntentHeaderLevelKey[] = u"NS.headerLevel";
constexpr char16_t kLanguageHintKey[] = u"NS.languageHint";
constexpr char16_t kColumnKey[] = u"NS.column";
constexpr char16_t kRowKey[] = u"NS.row";
constexpr char16_t kIndentationLevelKey[] = u"NS.indentationLevel";

// A decoded value, or nothing when the archived object was damaged: a damaged value is left out
// by its reader instead of costing the whole archive.
template <typename Value>
class ArchivedValue : public Archivable {
 public:
  explicit ArchivedValue(std::optional<Value> value) : value_(std::move(value)) {}
  const std::optional<Value>& value() const { return value_; }

  void encodeWithCoder(KeyedArchiver& coder) const final {
    // A damaged object read back is archived again as an empty one, which reads as damaged.
    if (value_) {
      encodeValue(coder, *value_);
    }
  }

 protected:
  virtual void encodeValue(KeyedArchiver& coder, const Value& value) const = 0;

 private:
  std::optional<Value> value_;
};

template <typename Archived>
Result<std::shared_ptr<const Archivable>> decoded(std::optional<typename Archived::Value> value) {
  return std::shared_ptr<const Archivable>(std::make_shared<Archived>(std::move(value)));
}

template <typename Archived>
std::optional<typename Archived::Value> valueOf(const ArchivedObject& object) {
  if (auto archived = object.as<Archived>()) {
    return archived->value();
  }
  return std::nullopt;
}

// The elements of an array under key that all decode as Archived, at most limit of them; an
// absent or nil value gives fallback, anything else nothing.
template <typename Archived>
std::optional<std::vector<typename Archived::Value>> decodeValueArray(
    KeyedUnarchiver& coder, std::u16string_view key, const char16_t* className, std::size_t limit,
    std::vector<typename Archived::Value> fallback) {
  if (!coder.containsValueForKey(key)) {
    return fallback;
  }
  Result<ArchivedObject> object = coder.decodeObjectForKey(key, {kArrayClassName, className});
  if (!object) {
    return std::nullopt;
  }
  if (object->isNil()) {
    return fallback;
  }
  const ArchivedObject::Array* elements = object->asArray();
  if (!elements || elements->size() > limit) {
    return std::nullopt;
  }
  std::vector<typename Archived::Value> values;
  values.reserve(elements->size());
  for (const ArchivedObject& element : *elements) {
    std::optional<typename Archived::Value> value = valueOf<Archived>(element);
    if (!value) {
      return std::nullopt;
    }
    values.push_back(std::move(*value));
  }
  return values;
}

std::optional<std::u16string> decodeBoundedString(KeyedUnarchiver& coder, std::u16string_view key,
                                                  bool* damaged) {
  Result<std::optional<std::u16string>> text = coder.decodeStringForKey(key);
  if (!text || (*text && (*text)->size() > kMaximumArchivedStringLength)) {
    *damaged = true;
    return std::nullopt;
  }
  return std::move(*text);
}

class ArchivedTextTab final : public ArchivedValue<TextTab> {
 public:
  using Value = TextTab;
  using ArchivedValue::ArchivedValue;

  std::u16string className() const override { return kTextTabClassName; }
  void encodeValue(KeyedArchiver& coder, const TextTab& tab) const override {
    coder.encodeDouble(kLocationKey, tab.location);
    coder.encodeInt64(kTabAlignmentKey, static_cast<std::int64_t>(tab.alignment));
    coder.encodeInt64(kTabTypeKey, tabType(tab.alignment));
  }

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    Result<double> location = coder.decodeDoubleForKey(kLocationKey);
    if (!location || !std::isfinite(*location)) {
      return decoded<ArchivedTextTab>(std::nullopt);
    }
    std::optional<TextAlignment> alignment;
    if (coder.containsValueForKey(kTabAlignmentKey)) {
      Result<std::int64_t> number = coder.decodeInt64ForKey(kTabAlignmentKey);
      if (number && *number >= 0 && *number <= static_cast<std::int64_t>(TextAlignment::kNatural)) {
        alignment = static_cast<TextAlignment>(*number);
      }
    } else {
      Result<std::int64_t> type = coder.decodeInt64ForKey(kTabTypeKey);
      alignment = type ? alignmentOfTabType(*type) : std::nullopt;
    }
    if (!alignment) {
      return decoded<ArchivedTextTab>(std::nullopt);
    }
    return decoded<ArchivedTextTab>(TextTab{*alignment, *location});
  }

 private:
  static std::int64_t tabType(TextAlignment alignment) {
    switch (alignment) {
      case TextAlignment::kRight:
        return 1;
      case TextAlignment::kCenter:
        return 2;
      default:
        return 0;
    }
  }
  static std::optional<TextAlignment> alignmentOfTabType(std::int64_t type) {
    // The decimal tab (3) lines numbers up on the right.
    static constexpr std::array kAlignments = {TextAlignment::kLeft, TextAlignment::kRight,
                                               TextAlignment::kCenter, TextAlignment::kRight};
    if (type < 0 || type >= static_cast<std::int64_t>(kAlignments.size())) {
      return std::nullopt;
    }
    return kAlignments[static_cast<std::size_t>(type)];
  }
};

class ArchivedTextList final : public ArchivedValue<TextList> {
 public:
  using Value = TextList;
  using ArchivedValue::ArchivedValue;

  std::u16string className() const override { return kTextListClassName; }
  void encodeValue(KeyedArchiver& coder, const TextList& list) const override {
    coder.encodeObject(kMarkerFormatKey, ArchivedObject(list.markerFormat));
    if (list.startingItemNumber != 1) {
      coder.encodeInt64(kStartKey, list.startingItemNumber);
    }
  }

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    bool damaged = false;
    std::optional<std::u16string> format = decodeBoundedString(coder, kMarkerFormatKey, &damaged);
    std::int64_t start = 1;
    if (coder.containsValueForKey(kStartKey)) {
      Result<std::int64_t> number = coder.decodeInt64ForKey(kStartKey);
      damaged = damaged || !number;
      start = number ? *number : 1;
    }
    if (damaged || !format) {
      return decoded<ArchivedTextList>(std::nullopt);
    }
    return decoded<ArchivedTextList>(TextList{std::move(*format), start});
  }
};

class ArchivedParagraphStyle final : public ArchivedValue<ParagraphStyle> {
 public:
  using Value = ParagraphStyle;
  using ArchivedValue::ArchivedValue;

  std::u16string className() const override { return kParagraphStyleClassName; }
  void encodeValue(KeyedArchiver& coder, const ParagraphStyle& style) const override {
    if (style.alignment != TextAlignment::kLeft) {
      coder.encodeInt64(kAlignmentKey, static_cast<std::int64_t>(style.alignment));
    }
    for (const MeasurementKey& entry : kMeasurementKeys) {
      if (style.*entry.member != 0) {
        coder.encodeDouble(entry.key, style.*entry.member);
      }
    }
    if (style.headerLevel != 0) {
      coder.encodeDouble(kHeaderLevelKey, static_cast<double>(style.headerLevel));
    }
    ArchivedObject::Array tabs;
    for (const TextTab& tab : style.tabStops) {
      tabs.emplace_back(std::shared_ptr<const Archivable>(std::make_shared<ArchivedTextTab>(tab)));
    }
    coder.encodeObject(kTabStopsKey, ArchivedObject(std::move(tabs)));
    if (!style.textLists.empty()) {
      ArchivedObject::Array lists;
      for (const TextList& list : style.textLists) {
        lists.emplace_back(archivableTextList(list));
      }
      coder.encodeObject(kTextListsKey, ArchivedObject(std::move(lists)));
    }
  }

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    return decoded<ArchivedParagraphStyle>(decodeStyle(coder));
  }

 private:
  static std::optional<ParagraphStyle> decodeStyle(KeyedUnarchiver& coder) {
    ParagraphStyle style;
    Result<std::int64_t> alignment = coder.decodeInt64ForKey(kAlignmentKey);
    if (!alignment) {
      return std::nullopt;
    }
    // An alignment we do not know (a newer one) reads as natural rather than losing the style.
    style.alignment =
        *alignment >= 0 && *alignment <= static_cast<std::int64_t>(TextAlignment::kNatural)
            ? static_cast<TextAlignment>(*alignment)
            : TextAlignment::kNatural;
    for (const MeasurementKey& entry : kMeasurementKeys) {
      Result<double> value = coder.decodeDoubleForKey(entry.key);
      if (!value || !std::isfinite(*value)) {
        return std::nullopt;
      }
      style.*entry.member = *value;
    }
    Result<double> level = coder.decodeDoubleForKey(kHeaderLevelKey);
    if (!level || !(*level >= 0) || *level > kMaximumArchivedHeaderLevel ||
        *level != std::floor(*level)) {
      return std::nullopt;
    }
    style.headerLevel = static_cast<std::int64_t>(*level);
    std::optional<std::vector<TextTab>> tabs = decodeValueArray<ArchivedTextTab>(
        coder, kTabStopsKey, kTextTabClassName, kMaximumArchivedTabStops,
        ParagraphStyle::defaultParagraphStyle().tabStops);
    std::optional<std::vector<TextList>> lists = decodeValueArray<ArchivedTextList>(
        coder, kTextListsKey, kTextListClassName, kMaximumArchivedTextLists, {});
    if (!tabs || !lists) {
      return std::nullopt;
    }
    style.tabStops = std::move(*tabs);
    style.textLists = std::move(*lists);
    return style;
  }
};

std::size_t depthOf(const PresentationIntent& intent) {
  std::size_t depth = 1;
  for (const PresentationIntent* parent = intent.parentIntent(); parent != nullptr;
       parent = parent->parentIntent()) {
    ++depth;
  }
  return depth;
}

// How far the platform indents an intent: list items and block quotes one level deeper than
// their parent, other containers at their parent's level, paragraphs and breaks at none.
std::int64_t indentationLevelOf(const PresentationIntent& intent) {
  const PresentationIntent* parent = intent.parentIntent();
  switch (intent.kind()) {
    case PresentationIntent::Kind::kParagraph:
    case PresentationIntent::Kind::kThematicBreak:
      return 0;
    case PresentationIntent::Kind::kListItem:
    case PresentationIntent::Kind::kBlockQuote:
      return parent != nullptr ? indentationLevelOf(*parent) + 1 : 0;
    default:
      return parent != nullptr ? indentationLevelOf(*parent) : 0;
  }
}

class ArchivedPresentationIntent final : public ArchivedValue<PresentationIntent> {
 public:
  using Value = PresentationIntent;
  using ArchivedValue::ArchivedValue;

  std::u16string className() const override { return kPresentationIntentClassName; }
  void encodeValue(KeyedArchiver& coder, const PresentationIntent& intent) const override {
    coder.encodeInt64(kIntentKindKey, static_cast<std::int64_t>(intent.kind()));
    const PresentationIntent* parent = intent.parentIntent();
    coder.encodeObject(kParentIntentKey, parent != nullptr
                                             ? ArchivedObject(archivablePresentationIntent(*parent))
                                             : ArchivedObject());
    coder.encodeInt64(kIdentityKey, intent.identity());
    coder.encodeInt64(kOrdinalKey, intent.ordinal());
    coder.encodeObject(kColumnAlignmentsKey, ArchivedObject());
    coder.encodeInt64(kColumnCountKey, 0);
    coder.encodeInt64(kIntentHeaderLevelKey, intent.headerLevel());
    coder.encodeObject(kLanguageHintKey, intent.languageHint().empty()
                                             ? ArchivedObject()
                                             : ArchivedObject(intent.languageHint()));
    coder.encodeInt64(kColumnKey, 0);
    coder.encodeInt64(kRowKey, 0);
    coder.encodeInt64(kIndentationLevelKey, indentationLevelOf(intent));
  }

  static Result<std::shared_ptr<const Archivable>> decode(KeyedUnarchiver& coder) {
    return decoded<ArchivedPresentationIntent>(decodeIntent(coder));
  }

 private:
  static std::optional<PresentationIntent> decodeIntent(KeyedUnarchiver& coder) {
    Result<std::int64_t> kind = coder.decodeInt64ForKey(kIntentKindKey);
    Result<std::int64_t> identity = coder.decodeInt64ForKey(kIdentityKey);
    Result<std::int64_t> ordinal = coder.decodeInt64ForKey(kOrdinalKey);
    Result<std::int64_t> level = coder.decodeInt64ForKey(kIntentHeaderLevelKey);
    bool damaged = !kind || !identity || !ordinal || !level;
    std::optional<std::u16string> hint = decodeBoundedString(coder, kLanguageHintKey, &damaged);
    // Nesting is bounded here, well inside the unarchiver's own depth limit, because every
    // level of a chain is copied into the value.
    Result<ArchivedObject> parentObject =
        coder.decodeObjectForKey(kParentIntentKey, {kPresentationIntentClassName});
    std::optional<PresentationIntent> parent;
    if (!parentObject) {
      damaged = true;
    } else if (!parentObject->isNil()) {
      parent = valueOf<ArchivedPresentationIntent>(*parentObject);
      damaged = damaged || !parent || depthOf(*parent) >= kMaximumArchivedIntentDepth;
    }
    if (damaged) {
      return std::nullopt;
    }
    const PresentationIntent* parentIntent = parent ? &*parent : nullptr;
    using Kind = PresentationIntent::Kind;
    switch (static_cast<Kind>(*kind)) {
      case Kind::kParagraph:
        return PresentationIntent::paragraph(*identity, parentIntent);
      case Kind::kHeader:
        return PresentationIntent::header(*level, *identity, parentIntent);
      case Kind::kOrderedList:
        return PresentationIntent::orderedList(*identity, parentIntent);
      case Kind::kUnorderedList:
        return PresentationIntent::unorderedList(*identity, parentIntent);
      case Kind::kListItem:
        return PresentationIntent::listItem(*ordinal, *identity, parentIntent);
      case Kind::kCodeBlock:
        return PresentationIntent::codeBlock(hint.value_or(u""), *identity, parentIntent);
      case Kind::kBlockQuote:
        return PresentationIntent::blockQuote(*identity, parentIntent);
      case Kind::kThematicBreak:
        return PresentationIntent::thematicBreak(*identity, parentIntent);
    }
    // Tables and kinds newer than ours.
    return std::nullopt;
  }
};

}  // namespace

Result<void> registerRichTextValueClasses(KeyedArchiveClassRegistry& registry) {
  ZV_TRY(registry.registerClass({kParagraphStyleClassName, u"NSObject"},
                                ArchivedParagraphStyle::decode));
  ZV_TRY(registry.registerClass(
      {kMutableParagraphStyleClassName, kParagraphStyleClassName, u"NSObject"},
      ArchivedParagraphStyle::decode));
  ZV_TRY(registry.registerClass({kTextTabClassName, u"NSObject"}, ArchivedTextTab::decode));
  ZV_TRY(registry.registerClass({kTextListClassName, u"NSObject"}, ArchivedTextList::decode));
  ZV_TRY(registry.registerClass({kPresentationIntentClassName, u"NSObject"},
                                ArchivedPresentationIntent::decode));
  return {};
}

std::shared_ptr<const Archivable> archivableParagraphStyle(const ParagraphStyle& style) {
  return std::make_shared<ArchivedParagraphStyle>(style);
}

std::shared_ptr<const Archivable> archivableTextList(const TextList& list) {
  return std::make_shared<ArchivedTextList>(list);
}

std::shared_ptr<const Archivable> archivablePresentationIntent(const PresentationIntent& intent) {
  return std::make_shared<ArchivedPresentationIntent>(intent);
}

std::optional<ParagraphStyle> paragraphStyleFromArchivedObject(const ArchivedObject& object) {
  return valueOf<ArchivedParagraphStyle>(object);
}

std::optional<TextList> textListFromArchivedObject(const ArchivedObject& object) {
  return valueOf<ArchivedTextList>(object);
}

std::optional<PresentationIntent> presentationIntentFromArchivedObject(
    const ArchivedObject& object) {
  return valueOf<ArchivedPresentationIntent>(object);
}

}  // namespace zv::richtext
