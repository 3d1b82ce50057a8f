#include "richtext/html_reader.h"

#include <gumbo.h>
#include <unicode/ucnv.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/property_list.h"
#include "platform/property_list_serialization.h"
#include "platform/unicode.h"

namespace zv::richtext {
namespace {

using platform::Error;
using platform::Result;

// As large as an RTF document we read; pages beyond this are not text for a note.
constexpr std::size_t kMaximumDocumentSize = std::size_t{16} * 1024 * 1024;
constexpr std::u16string_view kDefaultFontFamily = u"Times";
constexpr std::u16string_view kMonospaceFontFamily = u"Courier";
constexpr double kDefaultFontSize = 12;
constexpr double kMinimumFontSize = 1;
constexpr double kMaximumFontSize = 1000;
// CSS pixels are 3/4 of a point.
constexpr double kPointsPerPixel = 0.75;
// A <meta> charset is looked for in the document's first bytes only, as browsers do.
constexpr std::size_t kCharsetSniffLength = 1024;

Error htmlError(HTMLReaderErrorCode code, std::u16string description) {
  return Error{kHTMLReaderErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

char lowered(char character) {
  return character >= 'A' && character <= 'Z' ? static_cast<char>(character + 32) : character;
}

std::string loweredString(std::string_view text) {
  std::string result(text);
  std::ranges::transform(result, result.begin(), lowered);
  return result;
}

std::string_view trimmedView(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// ---- Text encodings ----------------------------------------------------------------------

std::optional<std::string> sniffedCharset(std::span<const std::uint8_t> html) {
  if (html.size() >= 3 && html[0] == 0xEF && html[1] == 0xBB && html[2] == 0xBF) {
    return "utf-8";
  }
  if (html.size() >= 2 && html[0] == 0xFF && html[1] == 0xFE) {
    return "utf-16le";
  }
  if (html.size() >= 2 && html[0] == 0xFE && html[1] == 0xFF) {
    return "utf-16be";
  }
  const std::string head = loweredString(std::string_view(
      reinterpret_cast<const char*>(html.data()), std::min(html.size(), kCharsetSniffLength)));
  const auto at = head.find("charset=");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  std::string_view rest = std::string_view(head).substr(at + 8);
  if (!rest.empty() && (rest.front() == '"' || rest.front() == '\'')) {
    rest.remove_prefix(1);
  }
  const auto end = rest.find_first_of("\"'; />\t\n\r");
  rest = rest.substr(0, end);
  if (rest.empty()) {
    return std::nullopt;
  }
  return std::string(rest);
}

bool isUtf8Name(std::string_view name) {
  const std::string lower = loweredString(name);
  return lower == "utf-8" || lower == "utf8" || lower == "unicode-1-1-utf-8";
}

// The bytes as UTF-8, which is what the parser reads. An encoding that ICU does not know is
// taken as UTF-8, whose damaged sequences the parser replaces.
std::string asUtf8(std::span<const std::uint8_t> bytes, std::string_view encoding) {
  const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (encoding.empty() || isUtf8Name(encoding)) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    return std::string(raw.starts_with(kByteOrderMark) ? raw.substr(kByteOrderMark.size()) : raw);
  }
  UErrorCode status = U_ZERO_ERROR;
  const std::string name(encoding);
  UConverter* opened = ucnv_open(name.c_str(), &status);
  std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(opened, &ucnv_close);
  if (U_FAILURE(status) || !converter) {
    return std::string(raw);
  }
  std::u16string text(bytes.size() + 1, u'\0');
  status = U_ZERO_ERROR;
  const std::int32_t length =
      ucnv_toUChars(converter.get(), text.data(), static_cast<std::int32_t>(text.size()), raw.data(),
                    static_cast<std::int32_t>(raw.size()), &status);
  if (U_FAILURE(status)) {
    return std::string(raw);
  }
  text.resize(static_cast<std::size_t>(length));
  if (text.starts_with(u'\uFEFF')) {
    text.erase(0, 1);
  }
  return platform::toUtf8(text);
}

// ---- Nesting -----------------------------------------------------------------------------

// The parser looks through all open elements for most start tags, so its cost is the number of
// elements times their depth: a megabyte of nested <div> takes minutes. Real pages nest a few
// dozen levels, sloppy ones that leave inline elements open a few hundred.
constexpr std::size_t kMaximumNesting = 512;

// Elements that never stay open, or that the next sibling closes, and so add no depth.
constexpr auto kUnnestedElements = std::to_array<std::string_view>({
    "area", "base", "br",   "col",   "dd",   "dt",   "embed",  "hr",    "img",
    "input", "li",  "link", "meta",  "option", "p",  "param",  "source", "tbody", "td",
    "tfoot", "th",  "thead", "tr",   "track", "wbr", "html",   "head",  "body",
});

// Elements whose content is text up to their end tag, whatever it looks like.
constexpr auto kRawTextElements =
    std::to_array<std::string_view>({"script", "style", "textarea", "title", "xmp"});

// An estimate of how deep the page's elements nest, from its tags alone: start tags open a
// level and end tags close one, except for the elements above.
std::size_t estimatedNesting(std::string_view html) {
  const std::string lower = loweredString(html);
  std::size_t depth = 0;
  std::size_t deepest = 0;
  std::size_t position = 0;
  while ((position = lower.find('<', position)) != std::string::npos) {
    if (lower.compare(position, 4, "<!--") == 0) {
      position = lower.find("-->", position + 4);
      if (position == std::string::npos) {
        break;
      }
      position += 3;
      continue;
    }
    const bool closing = position + 1 < lower.size() && lower[position + 1] == '/';
    const std::size_t nameStart = position + (closing ? 2 : 1);
    std::size_t nameEnd = nameStart;
    while (nameEnd < lower.size() &&
           ((lower[nameEnd] >= 'a' && lower[nameEnd] <= 'z') ||
            (lower[nameEnd] >= '0' && lower[nameEnd] <= '9') || lower[nameEnd] == '-')) {
      ++nameEnd;
    }
    const std::size_t tagEnd = lower.find('>', nameEnd);
    if (nameEnd == nameStart || tagEnd == std::string::npos) {
      position = nameStart;
      continue;
    }
    const std::string_view name = std::string_view(lower).substr(nameStart, nameEnd - nameStart);
    position = tagEnd + 1;
    if (std::ranges::find(kUnnestedElements, name) != kUnnestedElements.end()) {
      continue;
    }
    if (closing) {
      depth -= depth > 0 ? 1 : 0;
      continue;
    }
    if (lower[tagEnd - 1] == '/') {
      continue;
    }
    if (std::ranges::find(kRawTextElements, name) != kRawTextElements.end()) {
      const std::size_t end = lower.find("</" + std::string(name), position);
      position = end == std::string::npos ? lower.size() : end;
      continue;
    }
    deepest = std::max(deepest, ++depth);
  }
  return deepest;
}

// ---- CSS values --------------------------------------------------------------------------

struct NamedColor {
  std::string_view name;
  std::uint32_t rgb;
};

// The colours pages name most; others are ignored, leaving the inherited colour.
constexpr auto kNamedColors = std::to_array<NamedColor>({
    {"aqua", 0x00FFFF},   {"black", 0x000000},  {"blue", 0x0000FF},   {"cyan", 0x00FFFF},
    {"fuchsia", 0xFF00FF}, {"gray", 0x808080},  {"green", 0x008000},  {"grey", 0x808080},
    {"lime", 0x00FF00},   {"magenta", 0xFF00FF}, {"maroon", 0x800000}, {"navy", 0x000080},
    {"olive", 0x808000},  {"orange", 0xFFA500}, {"purple", 0x800080}, {"red", 0xFF0000},
    {"silver", 0xC0C0C0}, {"teal", 0x008080},   {"white", 0xFFFFFF},  {"yellow", 0xFFFF00},
});

Color colorFromRGB(double red, double green, double blue, double alpha = 1) {
  return Color{.space = Color::Space::kSRGB,
               .red = std::clamp(red, 0.0, 1.0),
               .green = std::clamp(green, 0.0, 1.0),
               .blue = std::clamp(blue, 0.0, 1.0),
               .alpha = std::clamp(alpha, 0.0, 1.0)};
}

std::optional<double> number(std::string_view text) {
  text = trimmedView(text);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value)) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// A number with its unit ("12px", "1.5em", "50%"): the value and the unit in lower case.
std::optional<std::pair<double, std::string>> dimension(std::string_view text) {
  text = trimmedView(text);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return std::make_pair(value, loweredString(trimmedView(
                                   text.substr(static_cast<std::size_t>(end - text.data())))));
}

// Nothing for a colour we do not understand; a transparent colour is a colour that is no
// colour (the inherited one is dropped).
std::optional<std::optional<Color>> parseColor(std::string_view value) {
  const std::string text = loweredString(trimmedView(value));
  if (text == "transparent") {
    return std::optional<Color>();
  }
  if (text.starts_with('#')) {
    const std::string_view hex = std::string_view(text).substr(1);
    std::uint32_t bits = 0;
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), bits, 16);
    if (error != std::errc() || end != hex.data() + hex.size()) {
      return std::nullopt;
    }
    if (hex.size() == 3) {
      return colorFromRGB(((bits >> 8) & 15) / 15.0, ((bits >> 4) & 15) / 15.0, (bits & 15) / 15.0);
    }
    if (hex.size() == 6) {
      return colorFromRGB(((bits >> 16) & 255) / 255.0, ((bits >> 8) & 255) / 255.0,
                          (bits & 255) / 255.0);
    }
    return std::nullopt;
  }
  if (text.starts_with("rgb(") || text.starts_with("rgba(")) {
    const auto open = text.find('(');
    const auto close = text.find(')', open);
    if (close == std::string::npos) {
      return std::nullopt;
    }
    std::string_view arguments = std::string_view(text).substr(open + 1, close - open - 1);
    std::array<double, 4> components{0, 0, 0, 1};
    std::size_t count = 0;
    while (!arguments.empty() && count < components.size()) {
      const auto separator = arguments.find_first_of(",/ ");
      const std::string_view argument = arguments.substr(0, separator);
      arguments.remove_prefix(separator == std::string_view::npos ? arguments.size()
                                                                  : separator + 1);
      if (trimmedView(argument).empty()) {
        continue;
      }
      const auto parsed = dimension(argument);
      if (!parsed) {
        return std::nullopt;
      }
      const bool percent = parsed->second == "%";
      components[count] = count == 3 ? (percent ? parsed->first / 100 : parsed->first)
                                     : (percent ? parsed->first / 100 : parsed->first / 255);
      ++count;
    }
    if (count < 3) {
      return std::nullopt;
    }
    return colorFromRGB(components[0], components[1], components[2], components[3]);
  }
  const auto named = std::ranges::find(kNamedColors, text, &NamedColor::name);
  if (named == kNamedColors.end()) {
    return std::nullopt;
  }
  return colorFromRGB(((named->rgb >> 16) & 255) / 255.0, ((named->rgb >> 8) & 255) / 255.0,
                      (named->rgb & 255) / 255.0);
}

struct SizeKeyword {
  std::string_view name;
  double points;
};

constexpr auto kSizeKeywords = std::to_array<SizeKeyword>({
    {"xx-small", 6.75},
    {"x-small", 7.5},
    {"small", 9.75},
    {"medium", 12},
    {"large", 13.5},
    {"x-large", 18},
    {"xx-large", 24},
    {"xxx-large", 36},
});

// The sizes of <font size="1"> to "7", in points.
constexpr std::array<double, 7> kFontElementSizes = {7.5, 9.75, 12, 13.5, 18, 24, 36};

std::optional<double> parseFontSize(std::string_view value, double current) {
  const std::string text = loweredString(trimmedView(value));
  if (const auto keyword = std::ranges::find(kSizeKeywords, text, &SizeKeyword::name);
      keyword != kSizeKeywords.end()) {
    return keyword->points;
  }
  if (text == "smaller") {
    return current / 1.2;
  }
  if (text == "larger") {
    return current * 1.2;
  }
  const auto parsed = dimension(text);
  if (!parsed || parsed->first <= 0) {
    return std::nullopt;
  }
  const auto& [amount, unit] = *parsed;
  if (unit == "px" || unit.empty()) {
    return amount * kPointsPerPixel;
  }
  if (unit == "pt") {
    return amount;
  }
  if (unit == "em" || unit == "rem") {
    return amount * (unit == "rem" ? kDefaultFontSize : current);
  }
  if (unit == "%") {
    return amount / 100 * current;
  }
  return std::nullopt;
}

// The first family of a font-family list; the generic families become the faces the
// platform's import gives them.
std::u16string parseFontFamily(std::string_view value) {
  std::string_view first = value.substr(0, value.find(','));
  first = trimmedView(first);
  if (first.size() >= 2 && (first.front() == '"' || first.front() == '\'') &&
      first.back() == first.front()) {
    first = trimmedView(first.substr(1, first.size() - 2));
  }
  const std::string lower = loweredString(first);
  if (lower == "serif") {
    return std::u16string(kDefaultFontFamily);
  }
  if (lower == "sans-serif" || lower == "system-ui" || lower == "-apple-system") {
    return u"Helvetica";
  }
  if (lower == "monospace") {
    return std::u16string(kMonospaceFontFamily);
  }
  return platform::fromUtf8(first);
}

// ---- Elements ----------------------------------------------------------------------------

enum class Kind : std::uint8_t { kInline, kBlock, kSkip, kLineBreak, kListItem, kList, kCell };

struct ElementRow {
  GumboTag tag;
  Kind kind;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikethrough = false;
  bool monospace = false;
  double sizeFactor = 1;
  int headerLevel = 0;
};

// How each element we know shows; any other element is inline and plain.
constexpr auto kElements = std::to_array<ElementRow>({
    {GUMBO_TAG_HEAD, Kind::kSkip},
    {GUMBO_TAG_SCRIPT, Kind::kSkip},
    {GUMBO_TAG_STYLE, Kind::kSkip},
    {GUMBO_TAG_TEMPLATE, Kind::kSkip},
    {GUMBO_TAG_NOSCRIPT, Kind::kSkip},
    {GUMBO_TAG_IFRAME, Kind::kSkip},
    {GUMBO_TAG_OBJECT, Kind::kSkip},
    {GUMBO_TAG_SVG, Kind::kSkip},
    {GUMBO_TAG_MATH, Kind::kSkip},
    {GUMBO_TAG_CANVAS, Kind::kSkip},
    {GUMBO_TAG_SELECT, Kind::kSkip},
    {GUMBO_TAG_BR, Kind::kLineBreak},
    {GUMBO_TAG_P, Kind::kBlock},
    {GUMBO_TAG_DIV, Kind::kBlock},
    {GUMBO_TAG_SECTION, Kind::kBlock},
    {GUMBO_TAG_ARTICLE, Kind::kBlock},
    {GUMBO_TAG_HEADER, Kind::kBlock},
    {GUMBO_TAG_FOOTER, Kind::kBlock},
    {GUMBO_TAG_NAV, Kind::kBlock},
    {GUMBO_TAG_ASIDE, Kind::kBlock},
    {GUMBO_TAG_MAIN, Kind::kBlock},
    {GUMBO_TAG_ADDRESS, Kind::kBlock, false, true},
    {GUMBO_TAG_BLOCKQUOTE, Kind::kBlock},
    {GUMBO_TAG_FIGURE, Kind::kBlock},
    {GUMBO_TAG_FIGCAPTION, Kind::kBlock},
    {GUMBO_TAG_FORM, Kind::kBlock},
    {GUMBO_TAG_FIELDSET, Kind::kBlock},
    {GUMBO_TAG_HR, Kind::kBlock},
    {GUMBO_TAG_DL, Kind::kBlock},
    {GUMBO_TAG_DT, Kind::kBlock},
    {GUMBO_TAG_DD, Kind::kBlock},
    {GUMBO_TAG_TABLE, Kind::kBlock},
    {GUMBO_TAG_TR, Kind::kBlock},
    {GUMBO_TAG_CAPTION, Kind::kBlock},
    {GUMBO_TAG_TD, Kind::kCell},
    {GUMBO_TAG_TH, Kind::kCell, true},
    {GUMBO_TAG_PRE, Kind::kBlock, false, false, false, false, true},
    {GUMBO_TAG_UL, Kind::kList},
    {GUMBO_TAG_OL, Kind::kList},
    {GUMBO_TAG_LI, Kind::kListItem},
    {GUMBO_TAG_H1, Kind::kBlock, true, false, false, false, false, 2.0, 1},
    {GUMBO_TAG_H2, Kind::kBlock, true, false, false, false, false, 1.5, 2},
    {GUMBO_TAG_H3, Kind::kBlock, true, false, false, false, false, 1.17, 3},
    {GUMBO_TAG_H4, Kind::kBlock, true, false, false, false, false, 1.0, 4},
    {GUMBO_TAG_H5, Kind::kBlock, true, false, false, false, false, 0.83, 5},
    {GUMBO_TAG_H6, Kind::kBlock, true, false, false, false, false, 0.67, 6},
    {GUMBO_TAG_B, Kind::kInline, true},
    {GUMBO_TAG_STRONG, Kind::kInline, true},
    {GUMBO_TAG_I, Kind::kInline, false, true},
    {GUMBO_TAG_EM, Kind::kInline, false, true},
    {GUMBO_TAG_CITE, Kind::kInline, false, true},
    {GUMBO_TAG_VAR, Kind::kInline, false, true},
    {GUMBO_TAG_U, Kind::kInline, false, false, true},
    {GUMBO_TAG_INS, Kind::kInline, false, false, true},
    {GUMBO_TAG_S, Kind::kInline, false, false, false, true},
    {GUMBO_TAG_STRIKE, Kind::kInline, false, false, false, true},
    {GUMBO_TAG_DEL, Kind::kInline, false, false, false, true},
    {GUMBO_TAG_CODE, Kind::kInline, false, false, false, false, true},
    {GUMBO_TAG_TT, Kind::kInline, false, false, false, false, true},
    {GUMBO_TAG_KBD, Kind::kInline, false, false, false, false, true},
    {GUMBO_TAG_SAMP, Kind::kInline, false, false, false, false, true},
    {GUMBO_TAG_SMALL, Kind::kInline, false, false, false, false, false, 0.83},
    {GUMBO_TAG_BIG, Kind::kInline, false, false, false, false, false, 1.2},
});

const ElementRow* elementRow(GumboTag tag) {
  const auto found = std::ranges::find(kElements, tag, &ElementRow::tag);
  return found == kElements.end() ? nullptr : &*found;
}

const char* attribute(const GumboElement& element, const char* name) {
  const GumboAttribute* found = gumbo_get_attribute(&element.attributes, name);
  return found == nullptr ? nullptr : found->value;
}

// How the text inside an element looks, inherited from its parent.
struct Style {
  std::u16string family{kDefaultFontFamily};
  double size = kDefaultFontSize;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikethrough = false;
  bool preformatted = false;
  std::optional<Color> color;
  std::optional<Color> background;
  std::optional<AttributeValue> link;
  int headerLevel = 0;
  TextAlignment alignment = TextAlignment::kNatural;
  std::vector<TextList> lists;
};

void applyDeclaration(Style& style, std::string_view property, std::string_view value) {
  const std::string lower = loweredString(trimmedView(value));
  if (property == "font-family") {
    if (std::u16string family = parseFontFamily(value); !family.empty()) {
      style.family = std::move(family);
    }
  } else if (property == "font-size") {
    if (std::optional<double> size = parseFontSize(value, style.size)) {
      style.size = std::clamp(*size, kMinimumFontSize, kMaximumFontSize);
    }
  } else if (property == "font-weight") {
    const std::optional<double> weight = number(lower);
    style.bold = lower == "bold" || lower == "bolder" || (weight && *weight >= 600);
  } else if (property == "font-style") {
    style.italic = lower == "italic" || lower.starts_with("oblique");
  } else if (property == "text-decoration" || property == "text-decoration-line") {
    if (lower.find("none") != std::string::npos) {
      style.underline = style.strikethrough = false;
    }
    style.underline = style.underline || lower.find("underline") != std::string::npos;
    style.strikethrough = style.strikethrough || lower.find("line-through") != std::string::npos;
  } else if (property == "color") {
    if (auto color = parseColor(value)) {
      style.color = *color;
    }
  } else if (property == "background-color" || property == "background") {
    if (auto color = parseColor(value)) {
      style.background = *color;
    }
  } else if (property == "text-align") {
    if (lower == "left") {
      style.alignment = TextAlignment::kLeft;
    } else if (lower == "right") {
      style.alignment = TextAlignment::kRight;
    } else if (lower == "center") {
      style.alignment = TextAlignment::kCenter;
    } else if (lower == "justify") {
      style.alignment = TextAlignment::kJustified;
    }
  }
}

// True when the declarations hide the element.
bool applyInlineStyle(Style& style, std::string_view declarations) {
  bool hidden = false;
  while (!declarations.empty()) {
    const auto end = declarations.find(';');
    const std::string_view declaration = declarations.substr(0, end);
    declarations.remove_prefix(end == std::string_view::npos ? declarations.size() : end + 1);
    const auto colon = declaration.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    const std::string property = loweredString(trimmedView(declaration.substr(0, colon)));
    std::string_view value = trimmedView(declaration.substr(colon + 1));
    if (const auto important = value.find('!'); important != std::string_view::npos) {
      value = trimmedView(value.substr(0, important));
    }
    if (property == "display" && loweredString(value) == "none") {
      hidden = true;
    }
    applyDeclaration(style, property, value);
  }
  return hidden;
}

// ---- Links -------------------------------------------------------------------------------

// A parsed URI and the text it points into, which must outlive it.
class ParsedURI {
 public:
  ParsedURI() = default;
  ParsedURI(const ParsedURI&) = delete;
  ParsedURI& operator=(const ParsedURI&) = delete;
  ~ParsedURI() {
    if (parsed_) {
      uriFreeUriMembersA(&uri_);
    }
  }

  bool parse(std::string text) {
    text_ = std::move(text);
    const char* error = nullptr;
    parsed_ = uriParseSingleUriA(&uri_, text_.c_str(), &error) == URI_SUCCESS;
    return parsed_;
  }

  bool resolve(const ParsedURI& reference, const ParsedURI& base) {
    parsed_ = uriAddBaseUriA(&uri_, &reference.uri_, &base.uri_) == URI_SUCCESS;
    return parsed_;
  }

  std::optional<std::string> string() const {
    int length = 0;
    if (uriToStringCharsRequiredA(&uri_, &length) != URI_SUCCESS) {
      return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    if (uriToStringA(text.data(), &uri_, length + 1, nullptr) != URI_SUCCESS) {
      return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(length));
    return text;
  }

 private:
  std::string text_;
  UriUriA uri_{};
  bool parsed_ = false;
};

// The reference resolved against the base (RFC 3986); nothing when either is no URL.
std::optional<platform::URL> resolvedURL(const std::u16string& reference,
                                         const std::optional<platform::URL>& base) {
  if (std::optional<platform::URL> absolute = platform::URL::fromString(reference)) {
    return absolute;
  }
  if (!base) {
    return std::nullopt;
  }
  // The platform's parser percent-encodes what may not stand in a URL, which uriparser needs.
  const std::optional<platform::URL> relative = platform::URL::fromStringAllowingRelative(reference);
  if (!relative) {
    return std::nullopt;
  }
  ParsedURI baseURI;
  ParsedURI relativeURI;
  ParsedURI result;
  if (!baseURI.parse(platform::toUtf8(base->absoluteString())) ||
      !relativeURI.parse(platform::toUtf8(relative->absoluteString())) ||
      !result.resolve(relativeURI, baseURI)) {
    return std::nullopt;
  }
  const std::optional<std::string> text = result.string();
  if (!text) {
    return std::nullopt;
  }
  return platform::URL::fromString(platform::fromUtf8(*text));
}

bool isScriptLink(std::string_view href) {
  const std::string lower = loweredString(trimmedView(href));
  return lower.starts_with("javascript:") || lower.starts_with("vbscript:");
}

// ---- The reader --------------------------------------------------------------------------

struct GumboOutputDeleter {
  void operator()(GumboOutput* output) const {
    gumbo_destroy_output(&kGumboDefaultOptions, output);
  }
};

// Walks the parsed tree with an explicit stack, since pages nest deeper than a thread's stack
// allows recursion to go.
class Reader {
 public:
  explicit Reader(const platform::URL* baseURL) {
    if (baseURL != nullptr) {
      base_ = *baseURL;
    }
  }

  AttributedString read(const GumboNode* root) {
    findBase(root);
    struct Frame {
      const GumboNode* node;
      std::size_t next;
      Style style;
      Kind kind;
    };
    std::vector<Frame> stack;
    stack.push_back({root, 0, Style{}, Kind::kInline});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      const GumboVector* children = childrenOf(frame.node);
      if (children == nullptr || frame.next >= children->length) {
        leave(frame.kind, frame.style);
        stack.pop_back();
        continue;
      }
      const auto* child = static_cast<const GumboNode*>(children->data[frame.next++]);
      if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE ||
          child->type == GUMBO_NODE_CDATA) {
        appendText(child->v.text.text, frame.style);
        continue;
      }
      if (child->type != GUMBO_NODE_ELEMENT && child->type != GUMBO_NODE_TEMPLATE) {
        continue;
      }
      Style style = frame.style;
      const std::optional<Kind> kind = enter(child->v.element, style);
      if (kind) {
        stack.push_back({child, 0, std::move(style), *kind});
      }
    }
    endParagraph(Style{});
    return std::move(result_);
  }

 private:
  static const GumboVector* childrenOf(const GumboNode* node) {
    switch (node->type) {
      case GUMBO_NODE_DOCUMENT:
        return &node->v.document.children;
      case GUMBO_NODE_ELEMENT:
      case GUMBO_NODE_TEMPLATE:
        return &node->v.element.children;
      default:
        return nullptr;
    }
  }

  // A <base href> in the head changes what links are relative to.
  void findBase(const GumboNode* root) {
    const GumboVector* children = childrenOf(root);
    for (unsigned index = 0; children != nullptr && index < children->length; ++index) {
      const auto* html = static_cast<const GumboNode*>(children->data[index]);
      const GumboVector* parts = childrenOf(html);
      for (unsigned part = 0; parts != nullptr && part < parts->length; ++part) {
        const auto* head = static_cast<const GumboNode*>(parts->data[part]);
        if (head->type != GUMBO_NODE_ELEMENT || head->v.element.tag != GUMBO_TAG_HEAD) {
          continue;
        }
        const GumboVector& elements = head->v.element.children;
        for (unsigned item = 0; item < elements.length; ++item) {
          const auto* node = static_cast<const GumboNode*>(elements.data[item]);
          if (node->type != GUMBO_NODE_ELEMENT || node->v.element.tag != GUMBO_TAG_BASE) {
            continue;
          }
          if (const char* href = attribute(node->v.element, "href")) {
            if (auto resolved = resolvedURL(platform::fromUtf8(href), base_)) {
              base_ = std::move(resolved);
            }
            return;
          }
        }
      }
    }
  }

  // Applies the element to the style its content gets; nothing when the content is skipped.
  std::optional<Kind> enter(const GumboElement& element, Style& style) {
    const ElementRow* row = elementRow(element.tag);
    const Kind kind = row == nullptr ? Kind::kInline : row->kind;
    if (kind == Kind::kSkip) {
      return std::nullopt;
    }
    if (kind == Kind::kLineBreak) {
      lineBreak(style);
      return std::nullopt;
    }
    if (row != nullptr) {
      applyRow(*row, style);
    }
    applyAttributes(element, style);
    if (const char* css = attribute(element, "style"); css != nullptr && applyInlineStyle(style, css)) {
      return std::nullopt;
    }
    switch (kind) {
      case Kind::kBlock:
        blockBoundary(style);
        break;
      case Kind::kList:
        blockBoundary(style);
        startList(element, style);
        break;
      case Kind::kListItem:
        blockBoundary(style);
        startListItem(element, style);
        break;
      case Kind::kCell:
        if (lineHasContent_) {
          appendRaw(u"\t", style);
          suppressSpace_ = true;
        }
        break;
      default:
        break;
    }
    return kind;
  }

  void leave(Kind kind, const Style& style) {
    switch (kind) {
      case Kind::kBlock:
      case Kind::kListItem:
        blockBoundary(style);
        return;
      case Kind::kList:
        blockBoundary(style);
        if (!counters_.empty()) {
          counters_.pop_back();
        }
        return;
      default:
        return;
    }
  }

  static void applyRow(const ElementRow& row, Style& style) {
    style.bold = style.bold || row.bold;
    style.italic = style.italic || row.italic;
    style.underline = style.underline || row.underline;
    style.strikethrough = style.strikethrough || row.strikethrough;
    if (row.monospace) {
      style.family = kMonospaceFontFamily;
    }
    style.size = std::clamp(style.size * row.sizeFactor, kMinimumFontSize, kMaximumFontSize);
    if (row.headerLevel != 0) {
      style.headerLevel = row.headerLevel;
    }
    if (row.tag == GUMBO_TAG_PRE) {
      style.preformatted = true;
    }
  }

  void applyAttributes(const GumboElement& element, Style& style) {
    if (element.tag == GUMBO_TAG_A) {
      if (const char* href = attribute(element, "href"); href != nullptr && !isScriptLink(href)) {
        const std::u16string reference = platform::fromUtf8(trimmedView(href));
        if (std::optional<platform::URL> url = resolvedURL(reference, base_)) {
          style.link = std::move(*url);
        } else if (!reference.empty()) {
          style.link = reference;
        }
      }
    }
    if (element.tag == GUMBO_TAG_FONT) {
      if (const char* face = attribute(element, "face")) {
        if (std::u16string family = parseFontFamily(face); !family.empty()) {
          style.family = std::move(family);
        }
      }
      if (const char* size = attribute(element, "size")) {
        applyFontElementSize(size, style);
      }
      if (const char* color = attribute(element, "color")) {
        if (auto parsed = parseColor(color)) {
          style.color = *parsed;
        }
      }
    }
    if (const char* align = attribute(element, "align")) {
      applyDeclaration(style, "text-align", align);
    }
  }

  // <font size>: 1 to 7, or relative to 3 with a sign.
  static void applyFontElementSize(std::string_view text, Style& style) {
    text = trimmedView(text);
    const bool relative = !text.empty() && (text.front() == '+' || text.front() == '-');
    const bool negative = !text.empty() && text.front() == '-';
    if (relative) {
      text.remove_prefix(1);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc()) {
      return;
    }
    const int size = relative ? 3 + (negative ? -value : value) : value;
    style.size = kFontElementSizes[static_cast<std::size_t>(std::clamp(size, 1, 7) - 1)];
  }

  struct Counter {
    std::int64_t next = 1;
  };

  void startList(const GumboElement& element, Style& style) {
    TextList list;
    if (element.tag == GUMBO_TAG_UL) {
      list.markerFormat = TextList::kMarkerDisc;
    } else {
      const char* type = attribute(element, "type");
      const std::string_view kind = type == nullptr ? "1" : type;
      list.markerFormat = kind == "a"   ? u"{lower-alpha}."
                          : kind == "A" ? u"{upper-alpha}."
                          : kind == "i" ? u"{lower-roman}."
                          : kind == "I" ? u"{upper-roman}."
                                        : u"{decimal}.";
      if (const char* start = attribute(element, "start")) {
        std::int64_t value = 1;
        const std::string_view text = trimmedView(start);
        if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc()) {
          list.startingItemNumber = std::clamp<std::int64_t>(value, 0, 1'000'000);
        }
      }
    }
    counters_.push_back({list.startingItemNumber});
    style.lists.push_back(std::move(list));
  }

  void startListItem(const GumboElement& element, const Style& style) {
    if (style.lists.empty() || counters_.empty()) {
      return;
    }
    Counter& counter = counters_.back();
    if (const char* value = attribute(element, "value")) {
      std::int64_t number = 0;
      const std::string_view text = trimmedView(value);
      if (std::from_chars(text.data(), text.data() + text.size(), number).ec == std::errc()) {
        counter.next = std::clamp<std::int64_t>(number, 0, 1'000'000);
      }
    }
    const std::u16string marker = style.lists.back().markerForItemNumber(counter.next++);
    appendRaw(u"\t" + marker + u"\t", style);
    suppressSpace_ = true;
  }

  Attributes attributesFor(const Style& style) const {
    Attributes attributes;
    Font font;
    font.name = style.family;
    if (style.bold || style.italic) {
      font.name += style.bold && style.italic ? u"-BoldItalic" : style.bold ? u"-Bold" : u"-Italic";
    }
    font.pointSize = style.size;
    font.traits = (style.bold ? kBoldFontMask : 0) | (style.italic ? kItalicFontMask : 0);
    font.weight = style.bold ? kFontWeightBold : kFontWeightRegular;
    attributes.emplace(NSFontAttributeName, std::move(font));
    if (style.color) {
      attributes.emplace(NSForegroundColorAttributeName, *style.color);
    }
    if (style.background) {
      attributes.emplace(NSBackgroundColorAttributeName, *style.background);
    }
    if (style.underline) {
      attributes.emplace(NSUnderlineStyleAttributeName, std::int64_t{1});
    }
    if (style.strikethrough) {
      attributes.emplace(NSStrikethroughStyleAttributeName, std::int64_t{1});
    }
    if (style.link) {
      attributes.emplace(NSLinkAttributeName, *style.link);
    }
    return attributes;
  }

  static std::optional<ParagraphStyle> paragraphStyleFor(const Style& style) {
    if (style.lists.empty() && style.headerLevel == 0 &&
        style.alignment == TextAlignment::kNatural) {
      return std::nullopt;
    }
    ParagraphStyle paragraph =
        style.lists.empty() ? ParagraphStyle{} : ParagraphStyle::listParagraphStyle();
    paragraph.textLists = style.lists;
    paragraph.headerLevel = style.headerLevel;
    paragraph.alignment = style.alignment;
    return paragraph;
  }

  void appendText(std::string_view utf8, const Style& style) {
    std::u16string text = platform::fromUtf8(utf8);
    const Attributes attributes = attributesFor(style);
    if (style.preformatted) {
      std::erase(text, u'\r');
      std::size_t start = 0;
      while (start <= text.size()) {
        const std::size_t lineFeed = text.find(u'\n', start);
        appendRun(std::u16string_view(text).substr(start, lineFeed - start), attributes);
        if (lineFeed == std::u16string::npos) {
          break;
        }
        lineBreak(style);
        start = lineFeed + 1;
      }
      return;
    }
    // A collapsed space takes the look of the text it followed, as in a browser, and shows
    // only when text follows on the same line.
    std::u16string collapsed;
    bool spaceWaiting = false;
    for (char16_t character : text) {
      if (character == u' ' || character == u'\t' || character == u'\n' || character == u'\r' ||
          character == u'\f') {
        spaceWaiting = spaceWaiting || ((lineHasContent_ || !collapsed.empty()) &&
                                        !suppressSpace_ && !pendingSpace_);
        continue;
      }
      if (pendingSpace_) {
        const Attributes space = std::move(*pendingSpace_);
        appendRun(u" ", space);
      } else if (spaceWaiting) {
        collapsed += u' ';
      }
      spaceWaiting = false;
      collapsed += character;
      suppressSpace_ = false;
    }
    appendRun(collapsed, attributes);
    if (spaceWaiting) {
      pendingSpace_ = attributes;
    }
  }

  void appendRaw(std::u16string_view text, const Style& style) {
    appendRun(text, attributesFor(style));
  }

  void appendRun(std::u16string_view text, const Attributes& attributes) {
    if (text.empty()) {
      return;
    }
    pendingSpace_.reset();
    if (!paragraphRuns_.empty() && paragraphRuns_.back().second == attributes) {
      paragraphRuns_.back().first += text;
    } else {
      paragraphRuns_.emplace_back(std::u16string(text), attributes);
    }
    lineHasContent_ = true;
  }

  void lineBreak(const Style& style) {
    pendingSpace_.reset();
    suppressSpace_ = false;
    appendRaw(u"\n", style);
    endParagraph(style);
    lineHasContent_ = false;
  }

  void blockBoundary(const Style& style) {
    if (lineHasContent_) {
      lineBreak(style);
    }
  }

  // The paragraph's runs get the paragraph style of the block that ends it.
  void endParagraph(const Style& style) {
    const std::optional<ParagraphStyle> paragraph = paragraphStyleFor(style);
    for (auto& [text, attributes] : paragraphRuns_) {
      if (paragraph) {
        attributes.insert_or_assign(NSParagraphStyleAttributeName, *paragraph);
      }
      result_.appendString(text, attributes);
    }
    paragraphRuns_.clear();
  }

  std::optional<platform::URL> base_;
  std::vector<Counter> counters_;
  std::vector<std::pair<std::u16string, Attributes>> paragraphRuns_;
  bool lineHasContent_ = false;
  // A collapsed space not shown yet, with the look of the text before it.
  std::optional<Attributes> pendingSpace_;
  // After a list marker or cell tab, whitespace in the source shows nothing.
  bool suppressSpace_ = false;
  MutableAttributedString result_;
};

Result<AttributedString> readHTML(std::span<const std::uint8_t> html, std::string_view encoding,
                                  const platform::URL* baseURL) {
  if (html.size() > kMaximumDocumentSize) {
    return htmlError(HTMLReaderErrorCode::kTooLarge, u"The HTML document is too large.");
  }
  std::string charset(encoding);
  if (charset.empty()) {
    charset = sniffedCharset(html).value_or("utf-8");
  }
  const std::string utf8 = asUtf8(html, charset);
  if (estimatedNesting(utf8) > kMaximumNesting) {
    return htmlError(HTMLReaderErrorCode::kNestedTooDeeply,
                     u"The HTML document's elements are nested too deeply.");
  }
  GumboOptions options = kGumboDefaultOptions;
  // Parse errors are of no use to us, and a hostile page could make their list long.
  options.max_errors = 0;
  const std::unique_ptr<GumboOutput, GumboOutputDeleter> output(
      gumbo_parse_with_options(&options, utf8.data(), utf8.size()));
  if (!output) {
    return AttributedString();
  }
  return Reader(baseURL).read(output->document);
}

}  // namespace

platform::Result<AttributedString> attributedStringFromHTML(std::span<const std::uint8_t> html,
                                                            const platform::URL* baseURL) {
  return readHTML(html, {}, baseURL);
}

platform::Result<AttributedString> attributedStringFromWebArchive(
    std::span<const std::uint8_t> bytes) {
  auto damaged = [](std::u16string description) {
    return htmlError(HTMLReaderErrorCode::kNotWebArchive, std::move(description));
  };
  if (bytes.size() > kMaximumDocumentSize * 4) {
    return htmlError(HTMLReaderErrorCode::kTooLarge, u"The web archive is too large.");
  }
  auto archive = platform::readPropertyList(bytes);
  if (!archive) {
    return damaged(u"The web archive is damaged: " + archive.error().description);
  }
  const platform::PropertyList* mainResource =
      archive->asDictionary() ? archive->asDictionary()->find(u"WebMainResource") : nullptr;
  if (mainResource == nullptr || mainResource->asDictionary() == nullptr) {
    return damaged(u"The web archive has no main resource.");
  }
  const auto& resource = *mainResource->asDictionary();
  const platform::PropertyList* data = resource.find(u"WebResourceData");
  if (data == nullptr || data->asData() == nullptr) {
    return damaged(u"The web archive's main resource has no data.");
  }
  if (const platform::PropertyList* mimeType = resource.find(u"WebResourceMIMEType")) {
    const std::u16string* type = mimeType->asString();
    if (type == nullptr || (*type != u"text/html" && *type != u"application/xhtml+xml")) {
      return htmlError(HTMLReaderErrorCode::kNotHTML, u"The web archive's main resource is no HTML.");
    }
  }
  std::string encoding = "utf-8";
  if (const platform::PropertyList* name = resource.find(u"WebResourceTextEncodingName");
      name != nullptr && name->asString() != nullptr && !name->asString()->empty()) {
    encoding = platform::toUtf8(*name->asString());
  }
  std::optional<platform::URL> base;
  if (const platform::PropertyList* url = resource.find(u"WebResourceURL");
      url != nullptr && url->asString() != nullptr) {
    base = platform::URL::fromString(*url->asString());
  }
  return readHTML(*data->asData(), encoding, base ? &*base : nullptr);
}

}  // namespace zv::richtext
