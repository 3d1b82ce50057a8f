#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/localization.h"
#include "platform/property_list_serialization.h"
#include "richtext/attributed_string.h"
#include "richtext/rich_text_archive.h"

namespace zv::richtext {

using platform::Archivable;
using platform::ArchivedObject;
using platform::Error;
using platform::KeyedArchiveClassRegistry;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Result;

const std::set<std::u16string, std::less<>>& archivableAttributeNames() {
  static const std::set<std::u16string, std::less<>> names = {
      NSFontAttributeName,
      NSForegroundColorAttributeName,
      NSBackgroundColorAttributeName,
      NSUnderlineStyleAttributeName,
      NSStrikethroughStyleAttributeName,
      NSLinkAttributeName,
      NSLigatureAttributeName,
      NSVerticalGlyphFormAttributeName,
      NSParagraphStyleAttributeName,
      NSPresentationIntentAttributeName,
      NSWritingDirectionAttributeName,
      QNTHighlightAttributeName,
      QNTNoteTextStyleIdentifierAttributeName,
  };
  return names;
}

namespace {

constexpr char16_t kAttributedStringClassName[] = u"NSAttributedString";
constexpr char16_t kMutableAttributedStringClassName[] = u"NSMutableAttributedString";
constexpr char16_t kFontClassName[] = u"NSFont";
constexpr char16_t kColorClassName[] = u"NSColor";
constexpr char16_t kURLClassName[] = u"NSURL";
// Objects whose class we cannot decode are read as this class and then left out, so that one
// unknown attribute never costs the whole text.
constexpr char16_t kUndecodableClassName[] = u"ZVUndecodableObject";

// The platform's colour space numbers in archived colours.
constexpr std::int64_t kCalibratedRGBColorSpace = 1;
constexpr std::int64_t kDeviceRGBColorSpace = 2;
constexpr std::int64_t kCalibratedWhiteColorSpace = 3;
constexpr std::int64_t kDeviceWhiteColorSpace = 4;
constexpr std::int64_t kCatalogColorSpace = 6;
// The dynamic colours are the platform's catalog colours of the "System" catalog; beside the
// name an archived catalog colour carries a fixed colour for readers without the catalog.
constexpr char16_t kSystemCatalogName[] = u"System";
struct CatalogColorName {
  Color::Dynamic dynamic;
  const char16_t* name;
  Color (*make)();
};
constexpr std::array<CatalogColorName, 3> kCatalogColorNames = {{
    {Color::Dynamic::kText, u"textColor", &Color::textColor},
    {Color::Dynamic::kLabel, u"labelColor", &Color::labelColor},
    {Color::Dynamic::kSecondaryLabel, u"secondaryLabelColor", &Color::secondaryLabelColor},
}};
// Writing directions nest one entry per embedding; more than this is not text.
constexpr std::size_t kMaximumWritingDirections = 64;
// The font flags the platform writes for an ordinary font.
constexpr std::int64_t kFontFlags = 16;

using Decoded = Result<std::shared_ptr<const Archivable>>;

class UndecodableObject final : public Archivable {
 public:
  std::u16string className() const override { return kUndecodableClassName; }
  void encodeWithCoder(KeyedArchiver&) const override {}

  static Decoded make() {
    return std::shared_ptr<const Archivable>(std::make_shared<UndecodableObject>());
  }
  static Decoded decode(KeyedUnarchiver&) { return make(); }
};

class ArchivedFont final : public Archivable {
 public:
  explicit ArchivedFont(Font font) : font_(std::move(font)) {}
  const Font& font() const { return font_; }

  std::u16string className() const override { return kFontClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeString(u"NSName", font_.name);
    coder.encodeDouble(u"NSSize", font_.pointSize);
    coder.encodeInt64(u"NSfFlags", kFontFlags);
  }

  static Decoded decode(KeyedUnarchiver& coder) {
    Result<std::optional<std::u16string>> name = coder.decodeStringForKey(u"NSName");
    Result<double> size = coder.decodeDoubleForKey(u"NSSize");
    if (!name || !*name || (*name)->empty() || !size || !std::isfinite(*size) || *size < 0) {
      return UndecodableObject::make();
    }
    return std::shared_ptr<const Archivable>(
        std::make_shared<ArchivedFont>(Font{std::move(**name), *size}));
  }

 private:
  Font font_;
};

// Components as the platform archives them: decimal numbers separated by spaces, ended by NUL.
std::vector<std::uint8_t> componentBytes(std::span<const double> components) {
  std::vector<std::uint8_t> bytes;
  for (double component : components) {
    std::array<char, 32> buffer{};
    const auto [end, failure] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), component);
    if (!bytes.empty()) {
      bytes.push_back(' ');
    }
    bytes.insert(bytes.end(), buffer.data(), failure == std::errc() ? end : buffer.data());
  }
  bytes.push_back(0);
  return bytes;
}

std::optional<std::vector<double>> parseComponents(const std::vector<std::uint8_t>& bytes) {
  const auto terminator = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  const std::string text(bytes.begin(), terminator);
  std::vector<double> components;
  const char* position = text.data();
  const char* const end = text.data() + text.size();
  while (position < end && components.size() <= 4) {
    if (*position == ' ') {
      ++position;
      continue;
    }
    double value = 0;
    const auto [next, failure] = std::from_chars(position, end, value);
    if (failure != std::errc() || !std::isfinite(value)) {
      return std::nullopt;
    }
    components.push_back(value);
    position = next;
  }
  return components;
}

class ArchivedColor final : public Archivable {
 public:
  explicit ArchivedColor(Color color) : color_(color) {}
  const Color& color() const { return color_; }

  std::u16string className() const override { return kColorClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    if (color_.isDynamic()) {
      encodeCatalogColor(coder);
      return;
    }
    coder.encodeInt64(u"NSColorSpace", color_.space == Color::Space::kDeviceRGB
                                           ? kDeviceRGBColorSpace
                                           : kCalibratedRGBColorSpace);
    std::vector<double> components = {color_.red, color_.green, color_.blue};
    // An opaque colour leaves its alpha out, as the platform does.
    if (color_.alpha != 1) {
      components.push_back(color_.alpha);
    }
    coder.encodeBytes(u"NSRGB", componentBytes(components));
  }

  static Decoded decode(KeyedUnarchiver& coder) {
    Result<std::int64_t> space = coder.decodeInt64ForKey(u"NSColorSpace");
    if (!space) {
      return UndecodableObject::make();
    }
    if (*space == kCatalogColorSpace) {
      return decodeCatalogColor(coder);
    }
    const bool isRGB = *space == kCalibratedRGBColorSpace || *space == kDeviceRGBColorSpace;
    const bool isWhite = *space == kCalibratedWhiteColorSpace || *space == kDeviceWhiteColorSpace;
    if (!isRGB && !isWhite) {
      return UndecodableObject::make();
    }
    Result<std::vector<std::uint8_t>> bytes =
        coder.decodeBytesForKey(isRGB ? u"NSRGB" : u"NSWhite");
    std::optional<std::vector<double>> components = bytes ? parseComponents(*bytes) : std::nullopt;
    const std::size_t needed = isRGB ? 3 : 1;
    if (!components || components->size() < needed || components->size() > needed + 1) {
      return UndecodableObject::make();
    }
    Color color;
    color.space = (*space == kDeviceRGBColorSpace || *space == kDeviceWhiteColorSpace)
                      ? Color::Space::kDeviceRGB
                      : Color::Space::kCalibratedRGB;
    color.red = (*components)[0];
    color.green = isRGB ? (*components)[1] : color.red;
    color.blue = isRGB ? (*components)[2] : color.red;
    color.alpha = components->size() > needed ? std::clamp((*components)[needed], 0.0, 1.0) : 1.0;
    return std::shared_ptr<const Archivable>(std::make_shared<ArchivedColor>(color));
  }

 private:
  void encodeCatalogColor(KeyedArchiver& coder) const {
    coder.encodeInt64(u"NSColorSpace", kCatalogColorSpace);
    coder.encodeObject(u"NSCatalogName", ArchivedObject(kSystemCatalogName));
    for (const CatalogColorName& entry : kCatalogColorNames) {
      if (entry.dynamic == color_.dynamic) {
        coder.encodeObject(u"NSColorName", ArchivedObject(entry.name));
      }
    }
    const Color fallback = color_.resolvedForAppearance(Appearance::kLight);
    coder.encodeObject(u"NSColor", ArchivedObject(std::shared_ptr<const Archivable>(
                                       std::make_shared<ArchivedColor>(fallback))));
  }

  // A catalog colour we know by name becomes the dynamic colour; any other is read as its
  // fixed fallback colour.
  static Decoded decodeCatalogColor(KeyedUnarchiver& coder) {
    Result<std::optional<std::u16string>> catalog = coder.decodeStringForKey(u"NSCatalogName");
    Result<std::optional<std::u16string>> name = coder.decodeStringForKey(u"NSColorName");
    if (catalog && *catalog && **catalog == kSystemCatalogName && name && *name) {
      for (const CatalogColorName& entry : kCatalogColorNames) {
        if (**name == entry.name) {
          return std::shared_ptr<const Archivable>(std::make_shared<ArchivedColor>(entry.make()));
        }
      }
    }
    Result<ArchivedObject> fallback =
        coder.decodeObjectForKey(u"NSColor", {kColorClassName, kUndecodableClassName});
    if (fallback) {
      if (auto color = fallback->as<ArchivedColor>()) {
        return std::shared_ptr<const Archivable>(color);
      }
    }
    return UndecodableObject::make();
  }

  Color color_;
};

class ArchivedURL final : public Archivable {
 public:
  explicit ArchivedURL(platform::URL url) : url_(std::move(url)) {}
  const platform::URL& url() const { return url_; }

  std::u16string className() const override { return kURLClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeString(u"NS.relative", url_.absoluteString());
  }

  static Decoded decode(KeyedUnarchiver& coder) {
    Result<ArchivedObject> base =
        coder.decodeObjectForKey(u"NS.base", {kURLClassName, kUndecodableClassName});
    Result<std::optional<std::u16string>> relative = coder.decodeStringForKey(u"NS.relative");
    // A URL relative to a base would need resolving against it; links in text are absolute, so
    // such a URL is left out rather than guessed at.
    if (!base || !base->isNil() || !relative || !*relative) {
      return UndecodableObject::make();
    }
    std::optional<platform::URL> url = platform::URL::fromString(**relative);
    if (!url) {
      return UndecodableObject::make();
    }
    return std::shared_ptr<const Archivable>(std::make_shared<ArchivedURL>(std::move(*url)));
  }

 private:
  platform::URL url_;
};

ArchivedObject archivedValue(const AttributeValue& value) {
  struct Visitor {
    ArchivedObject operator()(const Font& font) const {
      return std::shared_ptr<const Archivable>(std::make_shared<ArchivedFont>(font));
    }
    ArchivedObject operator()(const Color& color) const {
      return std::shared_ptr<const Archivable>(std::make_shared<ArchivedColor>(color));
    }
    ArchivedObject operator()(const platform::URL& url) const {
      return std::shared_ptr<const Archivable>(std::make_shared<ArchivedURL>(url));
    }
    ArchivedObject operator()(bool flag) const { return ArchivedObject(flag); }
    ArchivedObject operator()(std::int64_t number) const { return ArchivedObject(number); }
    ArchivedObject operator()(double number) const { return ArchivedObject(number); }
    ArchivedObject operator()(const std::u16string& text) const { return ArchivedObject(text); }
    ArchivedObject operator()(const ParagraphStyle& style) const {
      return archivableParagraphStyle(style);
    }
    ArchivedObject operator()(const PresentationIntent& intent) const {
      return archivablePresentationIntent(intent);
    }
    ArchivedObject operator()(const std::vector<std::int64_t>& directions) const {
      ArchivedObject::Array numbers(directions.begin(), directions.end());
      return ArchivedObject(std::move(numbers));
    }
  };
  return std::visit(Visitor{}, value);
}

std::optional<AttributeValue> writingDirections(const ArchivedObject::Array& numbers) {
  if (numbers.size() > kMaximumWritingDirections) {
    return std::nullopt;
  }
  std::vector<std::int64_t> directions;
  for (const ArchivedObject& number : numbers) {
    std::optional<std::int64_t> direction = number.asInt64();
    if (!direction) {
      return std::nullopt;
    }
    directions.push_back(*direction);
  }
  return directions;
}

std::optional<AttributeValue> attributeValue(const ArchivedObject& object) {
  if (auto font = object.as<ArchivedFont>()) {
    return font->font();
  }
  if (auto color = object.as<ArchivedColor>()) {
    return color->color();
  }
  if (auto url = object.as<ArchivedURL>()) {
    return url->url();
  }
  if (std::optional<ParagraphStyle> style = paragraphStyleFromArchivedObject(object)) {
    return std::move(*style);
  }
  if (std::optional<PresentationIntent> intent = presentationIntentFromArchivedObject(object)) {
    return std::move(*intent);
  }
  if (const ArchivedObject::Array* numbers = object.asArray()) {
    return writingDirections(*numbers);
  }
  if (const std::u16string* text = object.asString()) {
    return *text;
  }
  if (std::optional<bool> flag = object.asBoolean()) {
    return *flag;
  }
  if (std::optional<std::int64_t> number = object.asInt64()) {
    return *number;
  }
  if (std::optional<double> number = object.asReal()) {
    return *number;
  }
  return std::nullopt;
}

ArchivedObject archivedAttributes(const Attributes& attributes) {
  ArchivedObject::Dictionary entries;
  entries.reserve(attributes.size());
  for (const auto& [key, value] : attributes) {
    entries.push_back({key, archivedValue(value)});
  }
  return ArchivedObject(std::move(entries));
}

Attributes attributesFromArchivedObject(const ArchivedObject& object) {
  Attributes attributes;
  const ArchivedObject::Dictionary* entries = object.asDictionary();
  if (!entries) {
    return attributes;
  }
  // Keys outside our vocabulary are dropped before their values are copied: a hostile archive
  // could otherwise make thousands of keys share one huge value.
  const auto& known = archivableAttributeNames();
  for (const platform::ArchivedDictionaryEntry& entry : *entries) {
    if (!known.contains(entry.key)) {
      continue;
    }
    if (std::optional<AttributeValue> value = attributeValue(entry.value)) {
      attributes.insert_or_assign(entry.key, std::move(*value));
    }
  }
  return attributes;
}

// Roughly what one run's copy of the attributes costs, for the decoding budget below.
std::size_t approximateSize(const Attributes& attributes) {
  std::size_t size = 0;
  for (const auto& [key, value] : attributes) {
    size += 64 + key.size() * sizeof(char16_t);
    if (const auto* text = std::get_if<std::u16string>(&value)) {
      size += text->size() * sizeof(char16_t);
    } else if (const auto* font = std::get_if<Font>(&value)) {
      size += font->name.size() * sizeof(char16_t);
    } else if (const auto* url = std::get_if<platform::URL>(&value)) {
      size += url->absoluteString().size() * sizeof(char16_t);
    } else if (const auto* style = std::get_if<ParagraphStyle>(&value)) {
      size += sizeof(ParagraphStyle) + style->tabStops.size() * sizeof(TextTab);
      for (const TextList& list : style->textLists) {
        size += sizeof(TextList) + list.markerFormat.size() * sizeof(char16_t);
      }
    } else if (const auto* directions = std::get_if<std::vector<std::int64_t>>(&value)) {
      size += directions->size() * sizeof(std::int64_t);
    }
  }
  return size;
}

void appendVarint(std::vector<std::uint8_t>& bytes, std::uint64_t value) {
  while (value >= 0x80) {
    bytes.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  bytes.push_back(static_cast<std::uint8_t>(value));
}

std::optional<std::uint64_t> readVarint(std::span<const std::uint8_t> bytes, std::size_t& offset) {
  std::uint64_t value = 0;
  for (unsigned shift = 0; offset < bytes.size() && shift < 64; shift += 7) {
    const std::uint8_t byte = bytes[offset++];
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

class ArchivedAttributedString final : public Archivable {
 public:
  explicit ArchivedAttributedString(AttributedString text) : text_(std::move(text)) {}
  const AttributedString& text() const { return text_; }

  std::u16string className() const override { return kAttributedStringClassName; }
  void encodeWithCoder(KeyedArchiver& coder) const override;
  static Decoded decode(KeyedUnarchiver& coder);

 private:
  AttributedString text_;
};

// One run over the whole text stores its dictionary alone; several runs store the distinct
// dictionaries and, as "NSAttributeInfo", each run's length and dictionary number as base-128
// integers.
void ArchivedAttributedString::encodeWithCoder(KeyedArchiver& coder) const {
  coder.encodeObject(u"NSString", ArchivedObject(text_.string()));
  const std::vector<AttributeRun> runs = text_.runs();
  if (runs.empty()) {
    return;
  }
  if (runs.size() == 1) {
    coder.encodeObject(u"NSAttributes", archivedAttributes(runs.front().attributes));
    return;
  }
  // By hash, so that a text with many distinct dictionaries is not searched run by run.
  std::unordered_multimap<std::size_t, std::size_t> dictionaryByHash;
  std::vector<const Attributes*> distinct;
  ArchivedObject::Array dictionaries;
  std::vector<std::uint8_t> info;
  for (const AttributeRun& run : runs) {
    const std::size_t hash = hashAttributes(run.attributes);
    const auto [first, last] = dictionaryByHash.equal_range(hash);
    const auto found = std::find_if(
        first, last, [&](const auto& entry) { return *distinct[entry.second] == run.attributes; });
    std::size_t index = distinct.size();
    if (found == last) {
      dictionaryByHash.emplace(hash, index);
      distinct.push_back(&run.attributes);
      dictionaries.push_back(archivedAttributes(run.attributes));
    } else {
      index = found->second;
    }
    appendVarint(info, run.range.length);
    appendVarint(info, index);
  }
  coder.encodeObject(u"NSAttributes", ArchivedObject(std::move(dictionaries)));
  coder.encodeObject(u"NSAttributeInfo", ArchivedObject(std::move(info)));
}

Decoded ArchivedAttributedString::decode(KeyedUnarchiver& coder) {
  ZV_ASSIGN_OR_RETURN(ArchivedObject string, coder.decodeObjectForKey(u"NSString", {u"NSString"}));
  if (string.isNil()) {
    return platform::makePlatformError(
        platform::PlatformErrorCode::kKeyedArchiveReadCorrupt,
        platform::localized(u"An archived attributed string has no text."));
  }
  // Attribute values may be of any class the archive can decode; those we do not use are left
  // out below rather than refused here.
  ZV_ASSIGN_OR_RETURN(
      ArchivedObject attributes,
      coder.decodeObjectForKey(u"NSAttributes", {u"NSDictionary", u"NSArray", u"NSObject"}));
  ZV_ASSIGN_OR_RETURN(ArchivedObject info,
                      coder.decodeObjectForKey(u"NSAttributeInfo", {u"NSData"}));
  const std::u16string& characters = *string.asString();
  const ArchivedObject::Data* runData = info.asData();
  if (!runData) {
    AttributedString text(characters, attributesFromArchivedObject(attributes));
    return std::shared_ptr<const Archivable>(
        std::make_shared<ArchivedAttributedString>(std::move(text)));
  }
  // Damaged run information costs the attributes it cannot place, never the text: runs past
  // the end are cut, unknown dictionary numbers give plain text, and what no run covers stays
  // plain.
  static const ArchivedObject::Array kNoDictionaries;
  const ArchivedObject::Array* dictionaries = attributes.asArray();
  if (!dictionaries) {
    dictionaries = &kNoDictionaries;
  }
  // Each dictionary is converted once. Every run holds its own copy of its attributes, so the
  // copies share a budget proportional to the text: runs past it stay plain rather than let a
  // small hostile archive fill memory.
  std::vector<std::optional<std::pair<Attributes, std::size_t>>> converted(dictionaries->size());
  const std::size_t budget = (std::size_t{1} << 24) + characters.size() * 256;
  std::size_t spent = 0;
  MutableAttributedString text;
  std::size_t offset = 0;
  while (text.length() < characters.size()) {
    const std::optional<std::uint64_t> length = readVarint(*runData, offset);
    const std::optional<std::uint64_t> index = readVarint(*runData, offset);
    if (!length || !index) {
      break;
    }
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(*length, characters.size() - text.length()));
    if (take == 0) {
      continue;
    }
    static const std::pair<Attributes, std::size_t> kPlain;
    const std::pair<Attributes, std::size_t>* run = &kPlain;
    if (*index < dictionaries->size()) {
      auto& slot = converted[static_cast<std::size_t>(*index)];
      if (!slot) {
        Attributes attributes = attributesFromArchivedObject((*dictionaries)[*index]);
        const std::size_t size = approximateSize(attributes);
        slot.emplace(std::move(attributes), size);
      }
      run = &*slot;
    }
    spent += run->second;
    if (spent > budget) {
      break;
    }
    text.appendString(std::u16string_view(characters).substr(text.length(), take), run->first);
  }
  text.appendString(std::u16string_view(characters).substr(text.length()));
  return std::shared_ptr<const Archivable>(
      std::make_shared<ArchivedAttributedString>(std::move(text)));
}

bool isBuiltInClassName(std::u16string_view name) {
  static constexpr std::array<std::u16string_view, 10> kDecodable = {
      u"NSString", u"NSMutableString", u"NSData",         u"NSMutableData", u"NSDate",
      u"NSNull",   u"NSArray",         u"NSMutableArray", u"NSDictionary",  u"NSMutableDictionary",
  };
  return std::find(kDecodable.begin(), kDecodable.end(), name) != kDecodable.end();
}

// Renames every class the registry cannot decode to the placeholder class, so that the secure
// unarchiver reads such objects as placeholders instead of refusing the archive. A number
// stored as an object record is renamed too: numbers are decodable only in their inline form.
void renameUndecodableClasses(platform::PropertyList& archive,
                              const KeyedArchiveClassRegistry& registry) {
  platform::PropertyList* objects = archive.find(u"$objects");
  platform::PropertyList::Array* table = objects ? objects->asArray() : nullptr;
  if (!table) {
    return;
  }
  for (platform::PropertyList& object : *table) {
    platform::PropertyList* name = object.find(u"$classname");
    const std::u16string* text = name ? name->asString() : nullptr;
    if (text && !isBuiltInClassName(*text) && !registry.find(*text)) {
      *name = platform::PropertyList(kUndecodableClassName);
    }
  }
}

const KeyedArchiveClassRegistry& attributedStringRegistry() {
  static const KeyedArchiveClassRegistry registry = [] {
    KeyedArchiveClassRegistry created;
    // Our own classes, each under its own name: registering them cannot fail.
    [[maybe_unused]] Result<void> registered = registerAttributedStringClasses(created);
    assert(registered.ok());
    return created;
  }();
  return registry;
}

Error notAnAttributedString() {
  return platform::makePlatformError(
      platform::PlatformErrorCode::kKeyedArchiveReadCorrupt,
      platform::localized(u"The archive does not hold an attributed string."));
}

}  // namespace

Result<void> registerAttributedStringClasses(KeyedArchiveClassRegistry& registry) {
  struct Registration {
    std::vector<std::u16string> hierarchy;
    KeyedArchiveClassRegistry::DecodeFunction decode;
  };
  const std::vector<Registration> registrations = {
      {{kAttributedStringClassName, u"NSObject"}, ArchivedAttributedString::decode},
      {{kMutableAttributedStringClassName, kAttributedStringClassName, u"NSObject"},
       ArchivedAttributedString::decode},
      {{kFontClassName, u"NSObject"}, ArchivedFont::decode},
      {{kColorClassName, u"NSObject"}, ArchivedColor::decode},
      {{kURLClassName, u"NSObject"}, ArchivedURL::decode},
      {{kUndecodableClassName, u"NSObject"}, UndecodableObject::decode},
  };
  for (const Registration& registration : registrations) {
    ZV_TRY(registry.registerClass(registration.hierarchy, registration.decode));
  }
  return registerRichTextValueClasses(registry);
}

std::shared_ptr<const Archivable> archivableAttributedString(const AttributedString& text) {
  return std::make_shared<ArchivedAttributedString>(text);
}

std::optional<AttributedString> attributedStringFromArchivedObject(const ArchivedObject& object) {
  if (auto archived = object.as<ArchivedAttributedString>()) {
    return archived->text();
  }
  return std::nullopt;
}

Result<std::vector<std::uint8_t>> archivedDataWithAttributedString(const AttributedString& text) {
  return platform::archivedDataWithRootObject(ArchivedObject(archivableAttributedString(text)));
}

Result<AttributedString> attributedStringWithArchivedData(std::span<const std::uint8_t> bytes) {
  ZV_ASSIGN_OR_RETURN(platform::PropertyList archive, platform::readPropertyList(bytes));
  const KeyedArchiveClassRegistry& registry = attributedStringRegistry();
  renameUndecodableClasses(archive, registry);
  ZV_ASSIGN_OR_RETURN(KeyedUnarchiver unarchiver,
                      KeyedUnarchiver::fromPropertyList(std::move(archive), registry));
  ZV_ASSIGN_OR_RETURN(ArchivedObject root,
                      unarchiver.decodeTopLevelObject({kAttributedStringClassName}));
  std::optional<AttributedString> text = attributedStringFromArchivedObject(root);
  if (!text) {
    return notAnAttributedString();
  }
  return std::move(*text);
}

}  // namespace zv::richtext
