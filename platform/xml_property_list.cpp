#include "platform/xml_property_list.h"

#include <expat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/date.h"
#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

constexpr std::string_view kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr std::string_view kEpilogue = "</plist>\n";
constexpr std::u16string_view kUidKey = u"CF$UID";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineLength = 76;

// The date range that the format's four-digit years can spell, in seconds since 1970.
constexpr std::int64_t kFirstWritableSecond = -62135596800;  // 0001-01-01T00:00:00Z
constexpr std::int64_t kLastWritableSecond = 253402300799;   // 9999-12-31T23:59:59Z

// ---------------------------------------------------------------------------------------------
// Writer

Error writeError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListWriteInvalid, std::move(description));
}

// The first failure is kept in a member and each step returns a plain bool: this runs once per
// value of a library-sized tree, and a Result per step would build and test an Error-sized
// variant at every one of them.
class XmlWriter {
 public:
  Result<std::vector<std::uint8_t>> write(const PropertyList& root) {
    out_.append(kPrologue);
    if (!writeValue(root, 0)) {
      return std::move(error_);
    }
    out_.append(kEpilogue);
    return std::vector<std::uint8_t>(out_.begin(), out_.end());
  }

 private:
  bool fail(std::u16string description) {
    error_ = writeError(std::move(description));
    return false;
  }

  void indent(std::size_t level) { out_.append(level, '\t'); }

  // Escapes what XML would misread; a carriage return is escaped because parsers turn a raw one
  // into a line feed.
  bool appendText(std::u16string_view text) {
    if (!isValidUtf16(text)) {
      return fail(localized(u"Property list string is not valid UTF-16."));
    }
    for (char16_t unit : text) {
      if ((unit < 0x20 && unit != u'\t' && unit != u'\n' && unit != u'\r') || unit == 0xFFFE ||
          unit == 0xFFFF) {
        return fail(localized(u"Property list string holds a character that XML cannot carry."));
      }
    }
    for (char byte : toUtf8(text)) {
      switch (byte) {
        case '&':
          out_.append("&amp;");
          break;
        case '<':
          out_.append("&lt;");
          break;
        case '>':
          out_.append("&gt;");
          break;
        case '\r':
          out_.append("&#13;");
          break;
        default:
          out_.push_back(byte);
      }
    }
    return true;
  }

  bool writeLeaf(std::string_view tag, std::u16string_view text, std::size_t level) {
    indent(level);
    out_.append("<").append(tag).append(">");
    if (!appendText(text)) {
      return false;
    }
    out_.append("</").append(tag).append(">\n");
    return true;
  }

  void writeAsciiLeaf(std::string_view tag, std::string_view text, std::size_t level) {
    indent(level);
    out_.append("<").append(tag).append(">").append(text).append("</").append(tag).append(">\n");
  }

  static std::string integerText(PropertyListInteger integer) {
    if (integer.isAboveInt64()) {
      return std::to_string(integer.bits());
    }
    return std::to_string(*integer.signedValue());
  }

  static std::string realText(double real) {
    if (std::isnan(real)) {
      return "nan";
    }
    if (std::isinf(real)) {
      return real > 0 ? "+infinity" : "-infinity";
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, real);
    return std::string(buffer, result.ptr);
  }

  bool writeDate(Date date, std::size_t level) {
    const double seconds = std::floor(unixTimeFromDate(date));
    if (!(seconds >= static_cast<double>(kFirstWritableSecond) &&
          seconds <= static_cast<double>(kLastWritableSecond))) {
      return fail(localized(u"Property list date lies outside the years 1 to 9999."));
    }
    const CivilDateTime time = civilDateTimeFromUnixSeconds(static_cast<std::int64_t>(seconds));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<long long>(time.year), time.month, time.day, time.hour, time.minute,
                  time.second);
    writeAsciiLeaf("date", buffer, level);
    return true;
  }

  void writeData(const PropertyList::Data& data, std::size_t level) {
    indent(level);
    out_.append("<data>\n");
    std::string line;
    auto flush = [&] {
      indent(level);
      out_.append(line).push_back('\n');
      line.clear();
    };
    for (std::size_t i = 0; i < data.size(); i += 3) {
      const std::uint32_t chunk = static_cast<std::uint32_t>(data[i]) << 16 |
                                  (i + 1 < data.size() ? data[i + 1] << 8 : 0) |
                                  (i + 2 < data.size() ? data[i + 2] : 0);
      line.push_back(kBase64Alphabet[chunk >> 18 & 63]);
      line.push_back(kBase64Alphabet[chunk >> 12 & 63]);
      line.push_back(i + 1 < data.size() ? kBase64Alphabet[chunk >> 6 & 63] : '=');
      line.push_back(i + 2 < data.size() ? kBase64Alphabet[chunk & 63] : '=');
      if (line.size() >= kBase64LineLength) {
        flush();
      }
    }
    if (!line.empty()) {
      flush();
    }
    indent(level);
    out_.append("</data>\n");
  }

  bool writeContainer(const PropertyList& value, std::size_t level) {
    if (level >= kPropertyListMaximumDepth) {
      return fail(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                  {static_cast<std::int64_t>(kPropertyListMaximumDepth)}));
    }
    if (const PropertyList::Array* array = value.asArray()) {
      indent(level);
      if (array->empty()) {
        out_.append("<array/>\n");
        return true;
      }
      out_.append("<array>\n");
      for (const PropertyList& element : *array) {
        if (!writeValue(element, level + 1)) {
          return false;
        }
      }
      indent(level);
      out_.append("</array>\n");
      return true;
    }
    const PropertyList::Dictionary& dictionary = *value.asDictionary();
    indent(level);
    if (dictionary.empty()) {
      out_.append("<dict/>\n");
      return true;
    }
    out_.append("<dict>\n");
    for (const auto& entry : dictionary) {
      if (!writeLeaf("key", entry.key, level + 1) || !writeValue(entry.value, level + 1)) {
        return false;
      }
    }
    indent(level);
    out_.append("</dict>\n");
    return true;
  }

  bool writeValue(const PropertyList& value, std::size_t level) {
    switch (value.type()) {
      case PropertyList::Type::kString:
        return writeLeaf("string", *value.asString(), level);
      case PropertyList::Type::kInteger:
        writeAsciiLeaf("integer", integerText(*value.asInteger()), level);
        return true;
      case PropertyList::Type::kReal:
        writeAsciiLeaf("real", realText(*value.asReal()), level);
        return true;
      case PropertyList::Type::kBoolean:
        indent(level);
        out_.append(*value.asBoolean() ? "<true/>\n" : "<false/>\n");
        return true;
      case PropertyList::Type::kDate:
        return writeDate(*value.asDate(), level);
      case PropertyList::Type::kData:
        writeData(*value.asData(), level);
        return true;
      case PropertyList::Type::kUid: {
        PropertyList::Dictionary uid;
        uid.set(std::u16string(kUidKey), PropertyListInteger(value.asUid()->value));
        return writeContainer(PropertyList(std::move(uid)), level);
      }
      case PropertyList::Type::kArray:
      case PropertyList::Type::kDictionary:
        return writeContainer(value, level);
    }
    return fail(localized(u"Property list value has an unknown type."));
  }

  std::string out_;
  Error error_;
};

// ---------------------------------------------------------------------------------------------
// Reader

Error readError(std::u16string description) {
  return makePlatformError(PlatformErrorCode::kPropertyListReadCorrupt, std::move(description));
}

bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isXmlSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isXmlSpace(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<PropertyListInteger> parseInteger(std::string_view text) {
  text = trimmed(text);
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) {
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  if (!negative) {
    return PropertyListInteger(magnitude);
  }
  if (magnitude > std::uint64_t{1} << 63) {
    return std::nullopt;
  }
  return PropertyListInteger(static_cast<std::int64_t>(0 - magnitude));
}

std::optional<double> parseReal(std::string_view text) {
  text = trimmed(text);
  if (text.starts_with('+') && text.size() > 1 && text[1] != '-') {
    text.remove_prefix(1);
  }
  double real = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), real);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return real;
}

// Exactly "YYYY-MM-DDTHH:MM:SSZ", as every writer of the format produces it.
std::optional<Date> parseDate(std::string_view text) {
  text = trimmed(text);
  static constexpr std::string_view kPattern = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kPattern.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i]) {
      return std::nullopt;
    }
  }
  auto number = [text](std::size_t at, std::size_t length) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  const CivilDateTime time{number(0, 4),  number(5, 2),  number(8, 2),
                           number(11, 2), number(14, 2), number(17, 2)};
  if (time.year < 1 || !isValidCivilDateTime(time)) {
    return std::nullopt;
  }
  return dateFromUnixTime(static_cast<double>(unixSecondsFromCivilDateTime(time)));
}

std::optional<PropertyList::Data> parseBase64(std::string_view text) {
  PropertyList::Data data;
  data.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int bitCount = 0;
  bool padding = false;
  for (char c : text) {
    if (isXmlSpace(c)) {
      continue;
    }
    if (c == '=') {
      padding = true;
      continue;
    }
    const char* found = std::char_traits<char>::find(kBase64Alphabet, 64, c);
    if (found == nullptr || padding) {
      return std::nullopt;
    }
    bits = bits << 6 | static_cast<std::uint32_t>(found - kBase64Alphabet);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      data.push_back(static_cast<std::uint8_t>(bits >> bitCount));
    }
  }
  return data;
}

enum class Leaf { kNone, kKey, kString, kInteger, kReal, kDate, kData, kTrue, kFalse };

Leaf leafNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, Leaf> kLeaves[] = {
      {"key", Leaf::kKey},   {"string", Leaf::kString}, {"integer", Leaf::kInteger},
      {"real", Leaf::kReal}, {"date", Leaf::kDate},     {"data", Leaf::kData},
      {"true", Leaf::kTrue}, {"false", Leaf::kFalse},
  };
  for (const auto& [leafName, leaf] : kLeaves) {
    if (name == leafName) {
      return leaf;
    }
  }
  return Leaf::kNone;
}

// The first failure is kept in a member: expat's callbacks cannot return one, so a failure
// stops the parser and waits there for read() to report it.
class XmlReader {
 public:
  XmlReader() : parser_(XML_ParserCreate(nullptr)) {}

  Result<PropertyList> read(std::span<const std::uint8_t> bytes) {
    if (!parser_) {
      return readError(localized(u"Property list XML parser could not be created."));
    }
    XML_SetUserData(parser_.get(), this);
    XML_SetElementHandler(parser_.get(), &XmlReader::onStart, &XmlReader::onEnd);
    XML_SetCharacterDataHandler(parser_.get(), &XmlReader::onText);
    XML_SetStartDoctypeDeclHandler(parser_.get(), &XmlReader::onDoctype);
    XML_SetEntityDeclHandler(parser_.get(), &XmlReader::onEntity);
    XML_SetSkippedEntityHandler(parser_.get(), &XmlReader::onSkippedEntity);
    XML_SetParamEntityParsing(parser_.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    const auto status = XML_Parse(parser_.get(), reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<int>(bytes.size()), XML_TRUE);
    if (failed_) {
      return std::move(error_);
    }
    if (status != XML_STATUS_OK) {
      return readError(
          formatLocalized(u"Property list XML is not well-formed: %@ (line %ld).",
                          {fromUtf8(XML_ErrorString(XML_GetErrorCode(parser_.get()))),
                           static_cast<std::int64_t>(XML_GetCurrentLineNumber(parser_.get()))}));
    }
    if (!root_) {
      return readError(localized(u"Property list XML holds no value."));
    }
    return std::move(*root_);
  }

 private:
  struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
  };

  struct Frame {
    PropertyList container;
    std::optional<std::u16string> key;
  };

  static XmlReader& self(void* data) { return *static_cast<XmlReader*>(data); }

  void fail(std::u16string description) {
    if (failed_) {
      return;
    }
    failed_ = true;
    error_ = readError(std::move(description));
    XML_StopParser(parser_.get(), XML_FALSE);
  }

  void failWith(std::u16string_view what) {
    fail(formatLocalized(u"Property list XML is invalid: %@.", {localized(what)}));
  }

  static void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*,
                                int hasInternalSubset) {
    if (hasInternalSubset) {
      self(data).failWith(u"the document type declares its own content");
    }
  }

  static void XMLCALL onEntity(void* data, const XML_Char*, int, const XML_Char*, int,
                               const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    self(data).failWith(u"the document declares an entity");
  }

  // Behind an external DTD, expat skips an unknown entity silently; its text would be lost.
  static void XMLCALL onSkippedEntity(void* data, const XML_Char*, int) {
    self(data).failWith(u"the document refers to an unknown entity");
  }

  static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    self(data).start(name);
  }
  static void XMLCALL onEnd(void* data, const XML_Char* name) { self(data).end(name); }
  static void XMLCALL onText(void* data, const XML_Char* text, int length) {
    self(data).characters(std::string_view(text, static_cast<std::size_t>(length)));
  }

  void start(std::string_view name) {
    if (failed_) {
      return;
    }
    if (leaf_ != Leaf::kNone) {
      return failWith(u"a value element holds another element");
    }
    ++elementCount_;
    if (name == "plist") {
      if (elementCount_ != 1) {
        return failWith(u"<plist> is not the document element");
      }
      return;
    }
    if (!readyForValue(name == "key")) {
      return;
    }
    if (name == "array" || name == "dict") {
      if (stack_.size() >= kPropertyListMaximumDepth) {
        return fail(formatLocalized(u"Property list is nested deeper than %ld levels.",
                                    {static_cast<std::int64_t>(kPropertyListMaximumDepth)}));
      }
      stack_.push_back(Frame{name == "array" ? PropertyList(PropertyList::Array{})
                                             : PropertyList(PropertyList::Dictionary{}),
                             std::nullopt});
      return;
    }
    leaf_ = leafNamed(name);
    if (leaf_ == Leaf::kNone) {
      return fail(
          formatLocalized(u"Property list XML holds an unknown element <%@>.", {fromUtf8(name)}));
    }
    text_.clear();
  }

  // Checks that a key, or a value, may start here.
  bool readyForValue(bool isKey) {
    if (stack_.empty()) {
      if (isKey) {
        failWith(u"a key stands outside a dictionary");
      } else if (root_) {
        failWith(u"the document holds more than one value");
      }
      return !failed_;
    }
    Frame& top = stack_.back();
    if (top.container.asArray()) {
      if (isKey) {
        failWith(u"a key stands inside an array");
      }
    } else if (isKey == top.key.has_value()) {
      failWith(isKey ? u"a dictionary key has no value" : u"a dictionary value has no key");
    }
    return !failed_;
  }

  void characters(std::string_view text) {
    if (failed_) {
      return;
    }
    if (leaf_ != Leaf::kNone) {
      text_.append(text);
      return;
    }
    if (!trimmed(text).empty()) {
      failWith(u"text stands outside a value");
    }
  }

  void end(std::string_view name) {
    if (failed_ || name == "plist") {
      return;
    }
    if (name == "array" || name == "dict") {
      Frame frame = std::move(stack_.back());
      stack_.pop_back();
      if (frame.key) {
        return failWith(u"a dictionary key has no value");
      }
      return deliver(uidOrDictionary(std::move(frame.container)));
    }
    const Leaf leaf = std::exchange(leaf_, Leaf::kNone);
    if (leaf == Leaf::kKey) {
      stack_.back().key = fromUtf8(text_);
      return;
    }
    std::optional<PropertyList> value = leafValue(leaf);
    if (!value) {
      return fail(formatLocalized(u"Property list XML holds an invalid <%@>.", {fromUtf8(name)}));
    }
    deliver(std::move(*value));
  }

  std::optional<PropertyList> leafValue(Leaf leaf) const {
    switch (leaf) {
      case Leaf::kString:
        return PropertyList(fromUtf8(text_));
      case Leaf::kInteger:
        if (auto integer = parseInteger(text_)) {
          return PropertyList(*integer);
        }
        return std::nullopt;
      case Leaf::kReal:
        if (auto real = parseReal(text_)) {
          return PropertyList(*real);
        }
        return std::nullopt;
      case Leaf::kDate:
        if (auto date = parseDate(text_)) {
          return PropertyList(*date);
        }
        return std::nullopt;
      case Leaf::kData:
        if (auto data = parseBase64(text_)) {
          return PropertyList(std::move(*data));
        }
        return std::nullopt;
      case Leaf::kTrue:
      case Leaf::kFalse:
        if (!trimmed(text_).empty()) {
          return std::nullopt;
        }
        return PropertyList(leaf == Leaf::kTrue);
      case Leaf::kKey:
      case Leaf::kNone:
        break;
    }
    return std::nullopt;
  }

  static PropertyList uidOrDictionary(PropertyList container) {
    const PropertyList::Dictionary* dictionary = container.asDictionary();
    if (dictionary == nullptr || dictionary->size() != 1 ||
        dictionary->entries().front().key != kUidKey) {
      return container;
    }
    if (auto uid = dictionary->entries().front().value.asUint64()) {
      return PropertyList(PropertyListUid{*uid});
    }
    return container;
  }

  void deliver(PropertyList value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return;
    }
    Frame& top = stack_.back();
    if (PropertyList::Array* array = top.container.asArray()) {
      array->push_back(std::move(value));
      return;
    }
    top.container.asDictionary()->set(std::move(*top.key), std::move(value));
    top.key.reset();
  }

  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
  std::vector<Frame> stack_;
  std::optional<PropertyList> root_;
  Leaf leaf_ = Leaf::kNone;
  std::string text_;
  std::size_t elementCount_ = 0;
  bool failed_ = false;
  Error error_;
};

}  // namespace

Result<std::vector<std::uint8_t>> writeXmlPropertyList(const PropertyList& value) {
  return XmlWriter().write(value);
}

Result<PropertyList> readXmlPropertyList(std::span<const std::uint8_t> bytes) {
  ZV_TRY(checkPropertyListInputSize(bytes.size()));
  return XmlReader().read(bytes);
}

}  // namespace zv::platform
