#include "richtext/rtf_writer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace zv::richtext {
namespace {

constexpr std::u16string_view kDefaultFontName = u"Helvetica";
constexpr double kDefaultFontSize = 12;
constexpr int kMaximumFontSizeHalfPoints = 32767;
// Readers know nine list levels and nine outline levels.
constexpr std::size_t kMaximumListLevels = 9;
constexpr std::int64_t kMaximumHeaderLevel = 9;
// The longest marker between the tabs that opens a list item we write for list-less readers.
constexpr std::size_t kMaximumMarkerLength = 16;

struct StyleSuffix {
  std::u16string_view text;
  bool bold;
  bool italic;
};

// The suffixes that the reader appends, and so takes off again; longest first.
constexpr auto kStyleSuffixes = std::to_array<StyleSuffix>({
    {u"-BoldItalic", true, true},
    {u"-Italic", false, true},
    {u"-Bold", true, false},
});

// A font as RTF states it: the family in the font table, and \b, \i, \fs on the text.
struct FontFace {
  std::u16string family;
  bool bold = false;
  bool italic = false;
  int halfPoints = 24;
};

FontFace fontFace(const Attributes& attributes) {
  const auto found = attributes.find(NSFontAttributeName);
  const Font* font = found == attributes.end() ? nullptr : std::get_if<Font>(&found->second);
  if (font == nullptr) {
    return {std::u16string(kDefaultFontName), false, false,
            static_cast<int>(kDefaultFontSize * 2)};
  }
  FontFace face;
  face.family = font->name.empty() ? std::u16string(kDefaultFontName) : font->name;
  face.bold = (font->traits & kBoldFontMask) != 0;
  face.italic = (font->traits & kItalicFontMask) != 0;
  for (const StyleSuffix& suffix : kStyleSuffixes) {
    if (face.family.size() > suffix.text.size() && face.family.ends_with(suffix.text)) {
      face.family.resize(face.family.size() - suffix.text.size());
      face.bold = face.bold || suffix.bold;
      face.italic = face.italic || suffix.italic;
      break;
    }
  }
  // The font table ends each name at a semicolon.
  std::erase(face.family, u';');
  const double size = font->pointSize > 0 ? font->pointSize : kStandardFontSize;
  face.halfPoints = static_cast<int>(
      std::clamp(std::lround(size * 2), 1L, static_cast<long>(kMaximumFontSizeHalfPoints)));
  return face;
}

using RGB = std::array<int, 3>;

// The colour's 8-bit components; nothing for a dynamic colour, which RTF knows only as the
// automatic colour.
std::optional<RGB> rgbOfColor(const AttributeValue* value) {
  const Color* color = value == nullptr ? nullptr : std::get_if<Color>(value);
  if (color == nullptr || color->isDynamic()) {
    return std::nullopt;
  }
  auto component = [](double value) {
    return static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
  };
  return RGB{component(color->red), component(color->green), component(color->blue)};
}

const AttributeValue* attributeValue(const Attributes& attributes, std::u16string_view key) {
  const auto found = attributes.find(key);
  return found == attributes.end() ? nullptr : &found->second;
}

std::int64_t integerAttribute(const Attributes& attributes, std::u16string_view key) {
  const AttributeValue* value = attributeValue(attributes, key);
  const std::int64_t* integer = value == nullptr ? nullptr : std::get_if<std::int64_t>(value);
  return integer == nullptr ? 0 : *integer;
}

std::optional<std::u16string> linkTarget(const Attributes& attributes) {
  const AttributeValue* value = attributeValue(attributes, NSLinkAttributeName);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (const auto* url = std::get_if<platform::URL>(value)) {
    return url->absoluteString();
  }
  if (const auto* string = std::get_if<std::u16string>(value)) {
    return *string;
  }
  return std::nullopt;
}

const ParagraphStyle* paragraphStyle(const Attributes& attributes) {
  const AttributeValue* value = attributeValue(attributes, NSParagraphStyleAttributeName);
  return value == nullptr ? nullptr : std::get_if<ParagraphStyle>(value);
}

int twips(double points) {
  constexpr double kLimit = 20.0 * 10'000;
  return static_cast<int>(std::lround(std::clamp(points * 20, -kLimit, kLimit)));
}

// How a list level's marker format is numbered, as \levelnfc counts.
struct MarkerKind {
  std::u16string_view token;
  int levelFormat;
  char16_t bullet;  // for bullets: the character; 0 for numbers
};

constexpr auto kMarkerKinds = std::to_array<MarkerKind>({
    {u"{decimal}", 0, 0},
    {u"{upper-roman}", 1, 0},
    {u"{lower-roman}", 2, 0},
    {u"{upper-alpha}", 3, 0},
    {u"{lower-alpha}", 4, 0},
    {u"{disc}", 23, u'\u2022'},
    {u"{hyphen}", 23, u'-'},
    {u"{circle}", 23, u'\u25E6'},
    {u"{square}", 23, u'\u25AA'},
});

// Orders lists of text lists for the table of lists, which TextList itself does not need.
struct TextListsLess {
  bool operator()(const std::vector<TextList>& a, const std::vector<TextList>& b) const {
    return std::ranges::lexicographical_compare(a, b, {}, key, key);
  }
  static std::pair<std::u16string_view, std::int64_t> key(const TextList& list) {
    return {list.markerFormat, list.startingItemNumber};
  }
};

// Collects the RTF text of one document.
class Writer {
 public:
  explicit Writer(const AttributedString& text) : text_(text) {}

  std::vector<std::uint8_t> write() {
    collectTables();
    raw("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n");
    writeFontTable();
    writeColorTable();
    writeListTables();
    writeBody();
    raw("}\n");
    return {out_.begin(), out_.end()};
  }

 private:
  struct CharacterState {
    int font = -1;
    int halfPoints = -1;
    bool bold = false;
    bool italic = false;
    int underline = 0;
    bool strikethrough = false;
    int foregroundColor = 0;
    int backgroundColor = 0;

    friend bool operator==(const CharacterState&, const CharacterState&) = default;
  };

  void collectTables() {
    for (const AttributeRun& run : text_.runs()) {
      const std::u16string family = fontFace(run.attributes).family;
      if (!fonts_.contains(family)) {
        fonts_.emplace(family, static_cast<int>(fontOrder_.size()));
        fontOrder_.push_back(family);
      }
      for (std::u16string_view key : {NSForegroundColorAttributeName,
                                      NSBackgroundColorAttributeName}) {
        if (std::optional<RGB> rgb = rgbOfColor(attributeValue(run.attributes, key));
            rgb && !colors_.contains(*rgb)) {
          // Entry 0 is the automatic colour.
          colors_.emplace(*rgb, static_cast<int>(colorOrder_.size()) + 1);
          colorOrder_.push_back(*rgb);
        }
      }
      if (const ParagraphStyle* style = paragraphStyle(run.attributes);
          style != nullptr && !style->textLists.empty()) {
        std::vector<TextList> levels(
            style->textLists.begin(),
            style->textLists.begin() +
                static_cast<std::ptrdiff_t>(std::min(style->textLists.size(), kMaximumListLevels)));
        if (!lists_.contains(levels)) {
          lists_.emplace(levels, static_cast<int>(listOrder_.size()) + 1);
          listOrder_.push_back(std::move(levels));
        }
      }
    }
    if (fontOrder_.empty()) {
      fontOrder_.emplace_back(kDefaultFontName);
    }
  }

  void writeFontTable() {
    raw("{\\fonttbl");
    for (std::size_t index = 0; index < fontOrder_.size(); ++index) {
      raw("{\\f" + std::to_string(index) + "\\fnil\\fcharset0 ");
      writeText(fontOrder_[index]);
      raw(";}");
    }
    raw("}\n");
  }

  void writeColorTable() {
    raw("{\\colortbl;");
    for (const RGB& rgb : colorOrder_) {
      raw("\\red" + std::to_string(rgb[0]) + "\\green" + std::to_string(rgb[1]) + "\\blue" +
              std::to_string(rgb[2]) + ";");
    }
    raw("}\n");
  }

  void writeListTables() {
    if (listOrder_.empty()) {
      return;
    }
    raw("{\\*\\listtable");
    for (std::size_t index = 0; index < listOrder_.size(); ++index) {
      const std::string number = std::to_string(index + 1);
      raw("{\\list\\listtemplateid" + number + "\\listhybrid");
      for (std::size_t level = 0; level < listOrder_[index].size(); ++level) {
        writeListLevel(listOrder_[index][level], level);
      }
      raw("{\\listname ;}\\listid" + number + "}");
    }
    raw("}\n{\\*\\listoverridetable");
    for (std::size_t index = 1; index <= listOrder_.size(); ++index) {
      const std::string number = std::to_string(index);
      raw("{\\listoverride\\listid" + number + "\\listoverridecount0\\ls" + number + "}");
    }
    raw("}\n");
  }

  // A level with the exact marker format for readers that keep it, and the level text and
  // number places that word processors draw the marker from.
  void writeListLevel(const TextList& list, std::size_t level) {
    const std::u16string& format = list.markerFormat;
    const MarkerKind* kind = nullptr;
    std::size_t tokenAt = std::u16string::npos;
    for (const MarkerKind& candidate : kMarkerKinds) {
      if (const auto at = format.find(candidate.token); at != std::u16string::npos) {
        kind = &candidate;
        tokenAt = at;
        break;
      }
    }
    const int levelFormat = kind == nullptr ? 23 : kind->levelFormat;
    const std::string nfc = std::to_string(levelFormat);
    raw("{\\listlevel\\levelnfc" + nfc + "\\levelnfcn" + nfc +
            "\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat" +
            std::to_string(std::max<std::int64_t>(0, list.startingItemNumber)) +
            "\\levelspace360\\levelindent0{\\*\\levelmarker ");
    writeText(format);
    raw("}{\\leveltext\\leveltemplateid" + std::to_string(level + 1) + " ");
    std::string numbers;
    if (kind == nullptr || kind->bullet != 0) {
      raw("\\'01");
      writeText(std::u16string(1, kind == nullptr ? u'\u2022' : kind->bullet));
    } else {
      const std::u16string_view prefix = std::u16string_view(format).substr(0, tokenAt);
      const std::u16string_view suffix =
          std::u16string_view(format).substr(tokenAt + kind->token.size());
      const std::size_t length = std::min<std::size_t>(prefix.size() + 1 + suffix.size(), 255);
      raw(hexByte(length));
      writeText(prefix);
      raw(hexByte(level));
      writeText(suffix);
      numbers = hexByte(prefix.size() + 1);
    }
    raw(";}{\\levelnumbers" + numbers + ";}\\fi-360\\li" + std::to_string(720 * (level + 1)) +
            "\\lin" + std::to_string(720 * (level + 1)) + " }");
  }

  static std::string hexByte(std::size_t value) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    const std::size_t byte = std::min<std::size_t>(value, 255);
    return {'\\', '\'', kDigits[byte >> 4], kDigits[byte & 15]};
  }

  void writeBody() {
    const std::u16string& string = text_.string();
    std::size_t start = 0;
    while (start < string.size()) {
      const std::size_t lineFeed = string.find(u'\n', start);
      const std::size_t end = lineFeed == std::u16string::npos ? string.size() : lineFeed + 1;
      writeParagraph(start, end);
      start = end;
    }
  }

  void writeParagraph(std::size_t start, std::size_t end) {
    const Attributes& first = text_.attributesAtIndex(start);
    const ParagraphStyle* style = paragraphStyle(first);
    word("\\pard");
    if (style != nullptr) {
      writeParagraphStyle(*style);
    }
    start = writeListMarker(style, start, end);
    std::size_t position = start;
    while (position < end) {
      Range run;
      const Attributes& attributes = text_.attributesAtIndex(position, &run);
      const std::size_t pieceEnd = std::min(end, run.end());
      writePiece(attributes, position, pieceEnd);
      position = pieceEnd;
    }
    raw('\n');
  }

  void writeParagraphStyle(const ParagraphStyle& style) {
    for (const TextTab& tab : style.tabStops) {
      if (tab.alignment == TextAlignment::kRight) {
        word("\\tqr");
      } else if (tab.alignment == TextAlignment::kCenter) {
        word("\\tqc");
      }
      word("\\tx" + std::to_string(twips(tab.location)));
    }
    switch (style.alignment) {
      case TextAlignment::kLeft:
        word("\\ql");
        break;
      case TextAlignment::kRight:
        word("\\qr");
        break;
      case TextAlignment::kCenter:
        word("\\qc");
        break;
      case TextAlignment::kJustified:
        word("\\qj");
        break;
      case TextAlignment::kNatural:
        break;
    }
    writeMeasure("\\li", style.headIndent);
    writeMeasure("\\fi", style.firstLineHeadIndent - style.headIndent);
    // Only a tail indent from the trailing margin (zero or negative) is a right indent.
    writeMeasure("\\ri", style.tailIndent < 0 ? -style.tailIndent : 0);
    writeMeasure("\\sb", style.paragraphSpacingBefore);
    writeMeasure("\\sa", style.paragraphSpacing);
    writeLineHeight(style);
    writeMeasure("\\slleading", style.lineSpacing);
    if (style.headerLevel > 0) {
      word("\\outlinelevel" + std::to_string(std::min(style.headerLevel, kMaximumHeaderLevel) - 1));
    }
    if (!style.textLists.empty()) {
      const std::size_t levels = std::min(style.textLists.size(), kMaximumListLevels);
      std::vector<TextList> key(style.textLists.begin(),
                                style.textLists.begin() + static_cast<std::ptrdiff_t>(levels));
      word("\\ls" + std::to_string(lists_.at(key)) + "\\ilvl" + std::to_string(levels - 1));
    }
  }

  void writeLineHeight(const ParagraphStyle& style) {
    if (style.lineHeightMultiple > 0) {
      word("\\sl" + std::to_string(std::lround(std::min(style.lineHeightMultiple, 100.0) * 240)) +
              "\\slmult1");
      writeMeasure("\\slminimum", style.minimumLineHeight);
      writeMeasure("\\slmaximum", style.maximumLineHeight);
      return;
    }
    if (style.minimumLineHeight > 0 && style.minimumLineHeight == style.maximumLineHeight) {
      word("\\sl-" + std::to_string(twips(style.minimumLineHeight)) + "\\slmult0");
      return;
    }
    if (style.minimumLineHeight > 0) {
      word("\\sl" + std::to_string(twips(style.minimumLineHeight)) + "\\slmult0");
    }
    writeMeasure("\\slmaximum", style.maximumLineHeight);
  }

  void writeMeasure(std::string_view name, double points) {
    if (const int value = twips(points); value != 0) {
      word(std::string(name) + std::to_string(value));
    }
  }

  // Writes the marker of a list item, when its text begins with one between tabs in one run,
  // for readers without lists; returns where the rest of the paragraph starts.
  std::size_t writeListMarker(const ParagraphStyle* style, std::size_t start, std::size_t end) {
    const std::u16string& string = text_.string();
    if (style == nullptr || style->textLists.empty() || string[start] != u'\t') {
      return start;
    }
    const std::size_t closing = string.find(u'\t', start + 1);
    if (closing == std::u16string::npos || closing >= end ||
        closing - start - 1 > kMaximumMarkerLength ||
        string.find(u'\n', start) < closing) {
      return start;
    }
    Range run;
    const Attributes& attributes = text_.attributesAtIndex(start, &run);
    if (run.end() <= closing || attributes.contains(NSLinkAttributeName)) {
      return start;
    }
    const CharacterState outer = current_;
    word("{\\listtext");
    writeCharacterState(attributes);
    writeText(std::u16string_view(string).substr(start, closing + 1 - start));
    raw('}');
    current_ = outer;
    return closing + 1;
  }

  void writePiece(const Attributes& attributes, std::size_t start, std::size_t end) {
    const std::u16string_view piece = std::u16string_view(text_.string()).substr(start, end - start);
    const std::optional<std::u16string> link = linkTarget(attributes);
    if (!link) {
      writeCharacterState(attributes);
      writeText(piece);
      return;
    }
    // The field's result is a group, so its formatting ends with it.
    const CharacterState outer = current_;
    raw("{\\field{\\*\\fldinst{HYPERLINK \"");
    std::u16string escaped;
    for (char16_t character : *link) {
      if (character == u'"' || character == u'\\') {
        escaped += u'\\';
      }
      escaped += character;
    }
    writeText(escaped);
    word("\"}}{\\fldrslt");
    writeCharacterState(attributes);
    writeText(piece);
    raw("}}");
    current_ = outer;
  }

  void writeCharacterState(const Attributes& attributes) {
    const FontFace face = fontFace(attributes);
    CharacterState next;
    next.font = fonts_.contains(face.family) ? fonts_.at(face.family) : 0;
    next.halfPoints = face.halfPoints;
    next.bold = face.bold;
    next.italic = face.italic;
    next.underline = static_cast<int>(integerAttribute(attributes, NSUnderlineStyleAttributeName));
    next.strikethrough = integerAttribute(attributes, NSStrikethroughStyleAttributeName) != 0;
    next.foregroundColor = colorIndex(attributeValue(attributes, NSForegroundColorAttributeName));
    next.backgroundColor = colorIndex(attributeValue(attributes, NSBackgroundColorAttributeName));
    if (next.font != current_.font) {
      word("\\f" + std::to_string(next.font));
    }
    if (next.halfPoints != current_.halfPoints) {
      word("\\fs" + std::to_string(next.halfPoints));
    }
    if (next.bold != current_.bold) {
      word(next.bold ? "\\b" : "\\b0");
    }
    if (next.italic != current_.italic) {
      word(next.italic ? "\\i" : "\\i0");
    }
    if (next.underline != current_.underline) {
      word(underlineWord(next.underline));
    }
    if (next.strikethrough != current_.strikethrough) {
      word(next.strikethrough ? "\\strike" : "\\strike0");
    }
    if (next.foregroundColor != current_.foregroundColor) {
      word("\\cf" + std::to_string(next.foregroundColor));
    }
    if (next.backgroundColor != current_.backgroundColor) {
      // Cocoa reads \cb, word processors the shading \chcbpat.
      const std::string index = std::to_string(next.backgroundColor);
      word("\\cb" + index + "\\chcbpat" + index);
    }
    current_ = next;
  }

  static std::string_view underlineWord(int style) {
    if (style == 0) {
      return "\\ulnone";
    }
    // The low byte is the line; the pattern and by-word bits above it have no RTF word we read.
    switch (style & 0xFF) {
      case 2:
        return "\\ulth";
      case 9:
        return "\\uldb";
      default:
        return "\\ul";
    }
  }

  int colorIndex(const AttributeValue* value) const {
    const std::optional<RGB> rgb = rgbOfColor(value);
    return rgb ? colors_.at(*rgb) : 0;
  }

  void raw(std::string_view text) {
    out_ += text;
    afterWord_ = false;
  }

  void raw(char character) {
    out_ += character;
    afterWord_ = false;
  }

  void word(std::string_view text) {
    out_ += text;
    afterWord_ = true;
  }

  void writeText(std::u16string_view text) {
    if (text.empty()) {
      return;
    }
    if (afterWord_) {
      raw(' ');
    }
    for (char16_t character : text) {
      switch (character) {
        case u'\\':
          raw("\\\\");
          continue;
        case u'{':
          raw("\\{");
          continue;
        case u'}':
          raw("\\}");
          continue;
        case u'\t':
          raw("\\tab ");
          continue;
        case u'\n':
          raw("\\par ");
          continue;
        case u'\0':
          // RTF has no way to write a NUL character.
          continue;
        default:
          break;
      }
      if (character >= 0x20 && character < 0x7F) {
        raw(static_cast<char>(character));
        continue;
      }
      // \u takes a signed 16-bit number; the fallback is the Windows-1252 byte where Latin-1
      // and Windows-1252 agree, else a question mark.
      raw("\\u" + std::to_string(static_cast<std::int16_t>(character)));
      raw(character >= 0xA0 && character <= 0xFF ? hexByte(character) : "?");
    }
  }

  const AttributedString& text_;
  std::string out_;
  std::map<std::u16string, int> fonts_;
  std::vector<std::u16string> fontOrder_;
  std::map<RGB, int> colors_;
  std::vector<RGB> colorOrder_;
  std::map<std::vector<TextList>, int, TextListsLess> lists_;
  std::vector<std::vector<TextList>> listOrder_;
  CharacterState current_;
  // Whether the output ends in a control word, which text must be kept apart from by a space.
  bool afterWord_ = false;
};

}  // namespace

platform::Result<std::vector<std::uint8_t>> rtfDataFromAttributedString(
    const AttributedString& text) {
  return Writer(text).write();
}

}  // namespace zv::richtext
