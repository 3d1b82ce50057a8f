#include "richtext/rtf_reader.h"

#include <unicode/ucnv.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace zv::richtext {
namespace {

using platform::Error;
using platform::Result;

// Bounds that keep a hostile document from costing more than a sound one of the same size.
constexpr std::size_t kMaximumDocumentSize = std::size_t{16} * 1024 * 1024;
constexpr std::size_t kMaximumGroupDepth = 256;
constexpr std::size_t kMaximumControlWordLength = 32;
// Parameters are nominally 16-bit, but writers put 32-bit values into revision marks and sizes,
// so those are clamped rather than refused; only a run of digits no writer emits is an error.
constexpr std::size_t kMaximumParameterDigits = 10;
// PostScript names end at 63 characters, and every run carries a copy of its font's name.
constexpr std::size_t kMaximumFontNameLength = 63;
constexpr std::size_t kMaximumFontNameBytes = 4 * kMaximumFontNameLength;
// Tables are numbered with 16-bit parameters; entries beyond that are ignored.
constexpr std::size_t kMaximumTableEntries = std::size_t{1} << 16;
// Each run costs a few hundred bytes, so a document that changes its formatting at every
// letter would otherwise grow a hundredfold in memory; no text we show has this many.
constexpr std::size_t kMaximumRuns = std::size_t{1} << 18;
// Each code page costs an open converter; a document naming more than this gets the default.
constexpr std::size_t kMaximumCodePages = 32;
// Fields, tab stops and the text of list levels and field instructions are bounded like the
// tables, so that a document cannot make every paragraph or run carry an unbounded copy.
constexpr std::size_t kMaximumFields = std::size_t{1} << 16;
constexpr std::size_t kMaximumTabStops = 64;
constexpr std::size_t kMaximumSideTextLength = 4096;
constexpr std::size_t kMaximumListLevels = 9;
constexpr int kMaximumItemNumber = 1'000'000;
constexpr int kMaximumTwips = 20 * 10'000;
constexpr int kDefaultCodePage = 1252;
constexpr int kDefaultFontSizeHalfPoints = 24;
constexpr int kMaximumFontSizeHalfPoints = 32767;
constexpr std::u16string_view kDefaultFontName = u"Helvetica";
constexpr std::string_view kSignature = "{\\rtf";

Error rtfError(RTFReaderErrorCode code, std::u16string description) {
  return Error{kRTFReaderErrorDomain, static_cast<std::int64_t>(code), std::move(description)};
}

Error malformed(std::u16string description) {
  return rtfError(RTFReaderErrorCode::kMalformed, std::move(description));
}

// What a control word does; the words themselves are the rows of kControlWords.
enum class Action : std::uint8_t {
  kSkipDestination,  // a destination whose body is no text of ours
  kFontTable,
  kColorTable,
  kCharacter,  // stands for the character in the row's value
  kParagraphEnd,
  kFont,
  kFontSize,
  kBold,
  kItalic,
  kUnderline,  // the row's value is the underline style
  kUnderlineNone,
  kStrikethrough,
  kForegroundColor,
  kBackgroundColor,
  kPlain,
  kUnicode,
  kUnicodeSkipCount,
  kDocumentCharset,  // the row's value is the code page
  kDocumentCodePage,
  kDefaultFont,
  kBinary,
  kFontCharset,
  kFontCodePage,
  kRed,
  kGreen,
  kBlue,
  // Paragraph formatting.
  kParagraphDefault,
  kAlignment,  // the row's value is the TextAlignment
  kSpaceBefore,
  kSpaceAfter,
  kLineSpacing,
  kLineSpacingMultiple,
  kLineLeading,
  kLineMinimum,
  kLineMaximum,
  kLeftIndent,
  kFirstLineIndent,
  kRightIndent,
  kTabAlignment,  // the row's value is the TextAlignment of the next tab stop
  kTabStop,
  kOutlineLevel,
  kListOverride,
  kListLevel,
  // Fields.
  kField,
  kFieldInstruction,
  kFieldResult,
  // The list table and its overrides.
  kListTable,
  kListOverrideTable,
  kList,
  kListLevelDefinition,
  kListIdentifier,
  kListOverrideEntry,
  kLevelFormat,
  kLevelStart,
  kLevelText,
  kLevelMarker,
  // Old-style paragraph numbering.
  kParagraphNumbering,
  kNumberingBullet,
  kNumberingBody,
  kNumberingFormat,  // the row's value is the level format (as \levelnfc numbers it)
  kNumberingStart,
};

struct ControlWord {
  std::string_view word;
  Action action;
  int value = 0;
};

constexpr int kAlignLeft = static_cast<int>(TextAlignment::kLeft);
constexpr int kAlignRight = static_cast<int>(TextAlignment::kRight);
constexpr int kAlignCenter = static_cast<int>(TextAlignment::kCenter);
constexpr int kAlignJustified = static_cast<int>(TextAlignment::kJustified);

// Level formats as \levelnfc numbers them.
constexpr int kLevelFormatDecimal = 0;
constexpr int kLevelFormatUpperRoman = 1;
constexpr int kLevelFormatLowerRoman = 2;
constexpr int kLevelFormatUpperLetter = 3;
constexpr int kLevelFormatLowerLetter = 4;
constexpr int kLevelFormatBullet = 23;

// Sorted by word for the binary search in findControlWord; any word not here is ignored.
constexpr auto kControlWords = std::to_array<ControlWord>({
    {"annotation", Action::kSkipDestination},
    {"ansi", Action::kDocumentCharset, 1252},
    {"ansicpg", Action::kDocumentCodePage},
    {"author", Action::kSkipDestination},
    {"b", Action::kBold},
    {"bin", Action::kBinary},
    {"blue", Action::kBlue},
    {"bullet", Action::kCharacter, 0x2022},
    {"cb", Action::kBackgroundColor},
    {"cell", Action::kCharacter, '\t'},
    {"cf", Action::kForegroundColor},
    {"chcbpat", Action::kBackgroundColor},
    {"colortbl", Action::kColorTable},
    {"comment", Action::kSkipDestination},
    {"cpg", Action::kFontCodePage},
    {"datastore", Action::kSkipDestination},
    {"deff", Action::kDefaultFont},
    {"doccomm", Action::kSkipDestination},
    {"emdash", Action::kCharacter, 0x2014},
    {"emspace", Action::kCharacter, 0x2003},
    {"endash", Action::kCharacter, 0x2013},
    {"enspace", Action::kCharacter, 0x2002},
    {"expandedcolortbl", Action::kSkipDestination},
    {"f", Action::kFont},
    {"fcharset", Action::kFontCharset},
    {"fi", Action::kFirstLineIndent},
    {"field", Action::kField},
    {"filetbl", Action::kSkipDestination},
    {"fldinst", Action::kFieldInstruction},
    {"fldrslt", Action::kFieldResult},
    {"fonttbl", Action::kFontTable},
    {"footer", Action::kSkipDestination},
    {"footerf", Action::kSkipDestination},
    {"footerl", Action::kSkipDestination},
    {"footerr", Action::kSkipDestination},
    {"footnote", Action::kSkipDestination},
    {"fs", Action::kFontSize},
    {"generator", Action::kSkipDestination},
    {"green", Action::kGreen},
    {"header", Action::kSkipDestination},
    {"headerf", Action::kSkipDestination},
    {"headerl", Action::kSkipDestination},
    {"headerr", Action::kSkipDestination},
    {"highlight", Action::kBackgroundColor},
    {"i", Action::kItalic},
    {"ilvl", Action::kListLevel},
    {"info", Action::kSkipDestination},
    {"keywords", Action::kSkipDestination},
    {"latentstyles", Action::kSkipDestination},
    {"ldblquote", Action::kCharacter, 0x201C},
    {"levelmarker", Action::kLevelMarker},
    {"levelnfc", Action::kLevelFormat},
    {"levelnfcn", Action::kLevelFormat},
    {"levelnumbers", Action::kSkipDestination},
    {"levelstartat", Action::kLevelStart},
    {"leveltext", Action::kLevelText},
    {"li", Action::kLeftIndent},
    {"line", Action::kCharacter, '\n'},
    {"list", Action::kList},
    {"listid", Action::kListIdentifier},
    {"listlevel", Action::kListLevelDefinition},
    {"listname", Action::kSkipDestination},
    {"listoverride", Action::kListOverrideEntry},
    {"listoverridetable", Action::kListOverrideTable},
    {"listpicture", Action::kSkipDestination},
    {"listtable", Action::kListTable},
    {"lquote", Action::kCharacter, 0x2018},
    {"ls", Action::kListOverride},
    {"mac", Action::kDocumentCharset, 10000},
    {"object", Action::kSkipDestination},
    {"operator", Action::kSkipDestination},
    {"outlinelevel", Action::kOutlineLevel},
    {"page", Action::kParagraphEnd},
    {"par", Action::kParagraphEnd},
    {"pard", Action::kParagraphDefault},
    {"pc", Action::kDocumentCharset, 437},
    {"pca", Action::kDocumentCharset, 850},
    {"pict", Action::kSkipDestination},
    {"plain", Action::kPlain},
    {"pn", Action::kParagraphNumbering},
    {"pndec", Action::kNumberingFormat, kLevelFormatDecimal},
    {"pnlcltr", Action::kNumberingFormat, kLevelFormatLowerLetter},
    {"pnlcrm", Action::kNumberingFormat, kLevelFormatLowerRoman},
    {"pnlvlblt", Action::kNumberingBullet},
    {"pnlvlbody", Action::kNumberingBody},
    {"pnseclvl", Action::kSkipDestination},
    {"pnstart", Action::kNumberingStart},
    {"pntext", Action::kSkipDestination},
    {"pntxta", Action::kSkipDestination},
    {"pntxtb", Action::kSkipDestination},
    {"pnucltr", Action::kNumberingFormat, kLevelFormatUpperLetter},
    {"pnucrm", Action::kNumberingFormat, kLevelFormatUpperRoman},
    {"qc", Action::kAlignment, kAlignCenter},
    {"qj", Action::kAlignment, kAlignJustified},
    {"ql", Action::kAlignment, kAlignLeft},
    {"qr", Action::kAlignment, kAlignRight},
    {"rdblquote", Action::kCharacter, 0x201D},
    {"red", Action::kRed},
    {"revtbl", Action::kSkipDestination},
    {"ri", Action::kRightIndent},
    {"row", Action::kParagraphEnd},
    {"rquote", Action::kCharacter, 0x2019},
    {"rsidtbl", Action::kSkipDestination},
    {"sa", Action::kSpaceAfter},
    {"sb", Action::kSpaceBefore},
    {"sect", Action::kParagraphEnd},
    {"sl", Action::kLineSpacing},
    {"slleading", Action::kLineLeading},
    {"slmaximum", Action::kLineMaximum},
    {"slminimum", Action::kLineMinimum},
    {"slmult", Action::kLineSpacingMultiple},
    {"strike", Action::kStrikethrough},
    {"stylesheet", Action::kSkipDestination},
    {"subject", Action::kSkipDestination},
    {"tab", Action::kCharacter, '\t'},
    {"themedata", Action::kSkipDestination},
    {"title", Action::kSkipDestination},
    {"tqc", Action::kTabAlignment, kAlignCenter},
    {"tqdec", Action::kTabAlignment, kAlignRight},
    {"tqr", Action::kTabAlignment, kAlignRight},
    {"tx", Action::kTabStop},
    {"u", Action::kUnicode},
    {"uc", Action::kUnicodeSkipCount},
    {"ul", Action::kUnderline, 1},
    {"uld", Action::kUnderline, 1},
    {"uldash", Action::kUnderline, 1},
    {"uldb", Action::kUnderline, 9},
    {"ulnone", Action::kUnderlineNone},
    {"ulth", Action::kUnderline, 2},
    {"ulw", Action::kUnderline, 1},
    {"ulwave", Action::kUnderline, 1},
    {"xmlnstbl", Action::kSkipDestination},
});
static_assert(std::ranges::is_sorted(kControlWords, {}, &ControlWord::word));

const ControlWord* findControlWord(std::string_view word) {
  const auto found = std::ranges::lower_bound(kControlWords, word, {}, &ControlWord::word);
  if (found == kControlWords.end() || found->word != word) {
    return nullptr;
  }
  return found;
}

struct CharsetCodePage {
  int charset;
  int codePage;
};

// The Windows character sets a font table names, with the code pages their bytes are in. The
// ANSI and default sets (0, 1) and any set not here use the document's code page.
constexpr auto kCharsetCodePages = std::to_array<CharsetCodePage>({
    {77, 10000},
    {78, 10001},
    {128, 932},
    {129, 949},
    {130, 1361},
    {134, 936},
    {136, 950},
    {161, 1253},
    {162, 1254},
    {163, 1258},
    {177, 1255},
    {178, 1256},
    {186, 1257},
    {204, 1251},
    {222, 874},
    {238, 1250},
    {254, 437},
    {255, 850},
});

int codePageForCharset(int charset) {
  const auto found = std::ranges::find(kCharsetCodePages, charset, &CharsetCodePage::charset);
  return found == kCharsetCodePages.end() ? 0 : found->codePage;
}

// Decodes bytes in Windows and Mac code pages through ICU, keeping one converter per page.
class CodePageDecoder {
 public:
  void decode(int codePage, std::span<const std::uint8_t> bytes, std::u16string& out) {
    if (bytes.empty()) {
      return;
    }
    UConverter* converter = converterFor(codePage);
    if (converter == nullptr) {
      // Without ICU data every byte still becomes one character, as in Latin-1.
      out.append(bytes.begin(), bytes.end());
      return;
    }
    static_assert(std::is_same_v<UChar, char16_t>);
    const std::size_t offset = out.size();
    const auto sourceLength = static_cast<std::int32_t>(bytes.size());
    const char* source = reinterpret_cast<const char*>(bytes.data());
    out.resize(offset + (2 * bytes.size()) + 1);
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = ucnv_toUChars(converter, out.data() + offset,
                                        static_cast<std::int32_t>(out.size() - offset), source,
                                        sourceLength, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(offset + static_cast<std::size_t>(length) + 1);
      status = U_ZERO_ERROR;
      length = ucnv_toUChars(converter, out.data() + offset,
                             static_cast<std::int32_t>(out.size() - offset), source, sourceLength,
                             &status);
    }
    if (U_FAILURE(status)) {
      out.resize(offset);
      out.append(bytes.size(), u'\uFFFD');
      return;
    }
    out.resize(offset + static_cast<std::size_t>(length));
  }

 private:
  struct CloseConverter {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
  };
  using ConverterPointer = std::unique_ptr<UConverter, CloseConverter>;

  UConverter* converterFor(int codePage) {
    if (auto found = converters_.find(codePage); found != converters_.end() && found->second) {
      return found->second.get();
    }
    if (codePage <= 0 || codePage == kDefaultCodePage || converters_.size() >= kMaximumCodePages ||
        converters_.contains(codePage)) {
      return defaultConverter();
    }
    ConverterPointer converter = openConverter(codePage);
    UConverter* opened = converter.get();
    converters_.emplace(codePage, std::move(converter));
    return opened != nullptr ? opened : defaultConverter();
  }

  UConverter* defaultConverter() {
    if (!converters_.contains(kDefaultCodePage)) {
      converters_.emplace(kDefaultCodePage, openConverter(kDefaultCodePage));
    }
    return converters_[kDefaultCodePage].get();
  }

  // ICU knows the pages under different aliases: Windows pages as "windows-N", the DOS and
  // East Asian ones as "cpN" or "ibm-N".
  static ConverterPointer openConverter(int codePage) {
    const std::string number = std::to_string(codePage);
    for (const char* prefix : {"windows-", "cp", "ibm-"}) {
      const std::string name = prefix + number;
      UErrorCode status = U_ZERO_ERROR;
      ConverterPointer converter(ucnv_open(name.c_str(), &status));
      if (U_SUCCESS(status) && converter) {
        return converter;
      }
    }
    return nullptr;
  }

  std::map<int, ConverterPointer> converters_;
};

// Which text a group's body is.
enum class Destination : std::uint8_t {
  kText,
  kFontTable,
  kColorTable,
  kSkip,
  kFieldInstruction,
  kListTable,
  kLevelText,
  kLevelMarker,
  kListOverrideTable,
  kParagraphNumbering,
};

// Paragraph formatting as the document states it, in twips; the paragraph style is made from
// it when the paragraph ends, since the settings in force there hold for the whole paragraph.
struct ParagraphState {
  int alignment = static_cast<int>(TextAlignment::kNatural);
  int spaceBefore = 0;
  int spaceAfter = 0;
  int lineSpacing = 0;  // \sl: at least this much, exactly -this much, or in 240ths of a line
  bool lineSpacingMultiple = false;
  int leading = 0;
  int minimumLineHeight = 0;
  int maximumLineHeight = 0;
  int leftIndent = 0;
  int firstLineIndent = 0;  // relative to leftIndent
  int rightIndent = 0;
  int nextTabAlignment = kAlignLeft;
  std::vector<TextTab> tabStops;
  int outlineLevel = -1;
  int listOverride = 0;  // \ls; 0: none
  int listLevel = 0;
  std::optional<TextList> numbering;  // from an old-style \pn

  friend bool operator==(const ParagraphState&, const ParagraphState&) = default;
};

// The state a group inherits from its parent and that closing it restores.
struct GroupState {
  Destination destination = Destination::kText;
  int font = -1;  // -1: the document's default font
  int fontSizeHalfPoints = kDefaultFontSizeHalfPoints;
  int foregroundColor = -1;  // -1: no colour attribute
  int backgroundColor = -1;
  int unicodeSkipCount = 1;
  bool bold = false;
  bool italic = false;
  int underline = 0;
  bool strikethrough = false;
  int field = -1;  // the field whose instruction or result this group is in
  int link = -1;   // the field whose link the text carries
  ParagraphState paragraph;
};

struct FontEntry {
  std::u16string name;
  int codePage = 0;  // 0: the document's
};

struct FontSuffix {
  std::u16string_view text;
  bool bold;
  bool italic;
};

// Longest first, so that "-BoldItalic" is not read as "-Italic".
constexpr auto kFontSuffixes = std::to_array<FontSuffix>({
    {u"-BoldItalic", true, true},
    {u"-BoldOblique", true, true},
    {u"-Regular", false, false},
    {u"-Oblique", false, true},
    {u"-Italic", false, true},
    {u"-Roman", false, false},
    {u"-Bold", true, false},
});

// The face for a font table name in bold or italic text, with the traits the face has.
Font faceFont(std::u16string_view name, bool bold, bool italic, double pointSize) {
  std::u16string_view family = name;
  bool faceBold = bold;
  bool faceItalic = italic;
  for (const FontSuffix& suffix : kFontSuffixes) {
    if (name.size() > suffix.text.size() && name.ends_with(suffix.text)) {
      family = name.substr(0, name.size() - suffix.text.size());
      faceBold = bold || suffix.bold;
      faceItalic = italic || suffix.italic;
      break;
    }
  }
  Font font;
  font.pointSize = pointSize;
  font.traits = (faceBold ? kBoldFontMask : 0) | (faceItalic ? kItalicFontMask : 0);
  font.weight = faceBold ? kFontWeightBold : kFontWeightRegular;
  if (!bold && !italic) {
    font.name = std::u16string(name);
    return font;
  }
  font.name = std::u16string(family);
  font.name += faceBold && faceItalic ? u"-BoldItalic" : faceBold ? u"-Bold" : u"-Italic";
  return font;
}

// One level of a list in the list table.
struct ListLevel {
  int format = kLevelFormatDecimal;
  int startAt = 1;
  std::u16string text;    // \leveltext: a length byte, the marker's text and number places
  std::u16string marker;  // \levelmarker: the marker format itself, when the writer gave it
};

struct ListDefinition {
  int identifier = 0;
  std::vector<ListLevel> levels;
};

std::u16string markerFormatForLevelFormat(int format, std::u16string_view levelText) {
  switch (format) {
    case kLevelFormatUpperRoman:
      return u"{upper-roman}";
    case kLevelFormatLowerRoman:
      return u"{lower-roman}";
    case kLevelFormatUpperLetter:
      return u"{upper-alpha}";
    case kLevelFormatLowerLetter:
      return u"{lower-alpha}";
    case kLevelFormatBullet: {
      const bool hyphen =
          levelText.find_first_of(u"-\u2013\u2012\u2043\u2212") != std::u16string_view::npos;
      return hyphen ? TextList::kMarkerHyphen : TextList::kMarkerDisc;
    }
    default:
      return TextList::kMarkerDecimal;
  }
}

TextList textListForLevel(const ListLevel& level) {
  TextList list;
  list.startingItemNumber = level.startAt;
  list.markerFormat =
      level.marker.empty() ? markerFormatForLevelFormat(level.format, level.text) : level.marker;
  return list;
}

// A HYPERLINK field instruction's target: the first argument, with a \l argument as its
// fragment. Empty when the instruction is no hyperlink.
std::u16string hyperlinkTarget(std::u16string_view instruction) {
  constexpr std::u16string_view kHyperlink = u"HYPERLINK";
  const auto start = instruction.find_first_not_of(u" \t\n");
  if (start == std::u16string_view::npos) {
    return {};
  }
  instruction.remove_prefix(start);
  if (instruction.size() < kHyperlink.size() ||
      !std::equal(kHyperlink.begin(), kHyperlink.end(), instruction.begin(),
                  [](char16_t upper, char16_t c) { return c == upper || c == upper + 32; })) {
    return {};
  }
  instruction.remove_prefix(kHyperlink.size());
  std::u16string address;
  std::u16string fragment;
  bool nextIsFragment = false;
  bool skipNext = false;
  while (!instruction.empty()) {
    const auto begin = instruction.find_first_not_of(u" \t\n");
    if (begin == std::u16string_view::npos) {
      break;
    }
    instruction.remove_prefix(begin);
    std::u16string argument;
    if (instruction.front() == u'"') {
      // Inside quotes a backslash takes the next character as it is (\" and \\).
      std::size_t index = 1;
      for (; index < instruction.size() && instruction[index] != u'"'; ++index) {
        if (instruction[index] == u'\\' && index + 1 < instruction.size()) {
          ++index;
        }
        argument += instruction[index];
      }
      instruction.remove_prefix(std::min(instruction.size(), index + 1));
    } else {
      const auto end = instruction.find_first_of(u" \t\n");
      argument = instruction.substr(0, end);
      instruction.remove_prefix(end == std::u16string_view::npos ? instruction.size() : end);
      if (argument.starts_with(u'\\')) {
        // \l names a bookmark; the other switches (\o tip, \t target, ...) take an argument
        // that is no part of the address, and \m, \n take none.
        nextIsFragment = argument == u"\\l";
        skipNext = !nextIsFragment && argument != u"\\m" && argument != u"\\n";
        continue;
      }
    }
    if (std::exchange(skipNext, false)) {
      continue;
    }
    if (std::exchange(nextIsFragment, false)) {
      fragment = argument;
    } else if (address.empty()) {
      address = argument;
    }
  }
  if (!fragment.empty()) {
    address += u'#';
    address += fragment;
  }
  return address;
}

struct Field {
  std::u16string instruction;
  std::optional<AttributeValue> link;
  bool resolved = false;
};

bool isLetter(std::uint8_t byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

bool isDigit(std::uint8_t byte) {
  return byte >= '0' && byte <= '9';
}

std::optional<int> hexValue(std::uint8_t byte) {
  if (isDigit(byte)) {
    return byte - '0';
  }
  if (byte >= 'a' && byte <= 'f') {
    return byte - 'a' + 10;
  }
  if (byte >= 'A' && byte <= 'F') {
    return byte - 'A' + 10;
  }
  return std::nullopt;
}

std::u16string trimmed(std::u16string_view text) {
  const auto first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(u' ');
  return std::u16string(text.substr(first, last - first + 1));
}

// Reads one document front to back. Text is gathered as bytes until a control word or a group
// boundary (so that double-byte characters written as two \'hh escapes decode together), then
// as UTF-16 until the formatting changes, when it becomes one run of the paragraph; when the
// paragraph ends its runs get its paragraph style and join the text.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> input) : input_(input) {}

  Result<AttributedString> read() {
    if (input_.size() > kMaximumDocumentSize) {
      return rtfError(RTFReaderErrorCode::kTooLarge, u"The RTF document is too large.");
    }
    if (input_.size() < kSignature.size() ||
        !std::equal(kSignature.begin(), kSignature.end(), input_.begin())) {
      return rtfError(RTFReaderErrorCode::kNotRTF, u"The document is not RTF.");
    }
    while (position_ < input_.size()) {
      if (result_.runCount() + paragraphRuns_.size() > kMaximumRuns) {
        return tooManyRuns();
      }
      const std::uint8_t byte = input_[position_++];
      if (byte == '{') {
        ZV_TRY(openGroup());
      } else if (byte == '}') {
        closeGroup();
        if (groups_.empty()) {
          break;
        }
      } else if (byte == '\\') {
        ZV_TRY(readControl());
      } else if (byte == '\t' || byte >= 0x20) {
        // Line breaks and other control bytes in the file only wrap its lines.
        acceptByte(byte);
      }
    }
    // Groups left open at the end are closed there.
    if (!groups_.empty()) {
      endParagraph();
    }
    if (result_.runCount() > kMaximumRuns) {
      return tooManyRuns();
    }
    return std::move(result_);
  }

 private:
  static Error tooManyRuns() {
    return rtfError(RTFReaderErrorCode::kTooLarge,
                    u"The RTF document changes its formatting too often.");
  }

  Result<void> openGroup() {
    if (groups_.size() >= kMaximumGroupDepth) {
      return rtfError(RTFReaderErrorCode::kNestedTooDeeply,
                      u"The RTF document's groups are nested too deeply.");
    }
    skipRemaining_ = 0;
    starredDepth_ = 0;
    groups_.push_back(groups_.empty() ? GroupState{} : groups_.back());
    return {};
  }

  void closeGroup() {
    skipRemaining_ = 0;
    starredDepth_ = 0;
    if (groups_.size() == 1) {
      endParagraph();
    } else {
      flushText();
    }
    const GroupState& closing = groups_.back();
    const bool endsDestination =
        groups_.size() < 2 || groups_[groups_.size() - 2].destination != closing.destination;
    if (endsDestination) {
      endDestination(closing.destination);
    }
    groups_.pop_back();
  }

  void endDestination(Destination destination) {
    switch (destination) {
      case Destination::kFontTable:
        endFontEntry();
        return;
      case Destination::kListTable:
        endList();
        return;
      case Destination::kParagraphNumbering:
        if (groups_.size() >= 2 && (numbering_.bullet || numbering_.body)) {
          TextList list;
          list.markerFormat =
              numbering_.bullet
                  ? std::u16string(TextList::kMarkerDisc)
                  : markerFormatForLevelFormat(numbering_.format, {});
          list.startingItemNumber = numbering_.start;
          groups_[groups_.size() - 2].paragraph.numbering = std::move(list);
        }
        return;
      default:
        return;
    }
  }

  Result<void> readControl() {
    if (position_ >= input_.size()) {
      return malformed(u"The RTF document ends after a backslash.");
    }
    if (!isLetter(input_[position_])) {
      return readControlSymbol(input_[position_++]);
    }
    const std::size_t start = position_;
    while (position_ < input_.size() && isLetter(input_[position_])) {
      if (position_ - start >= kMaximumControlWordLength) {
        return malformed(u"The RTF document has a control word longer than 32 letters.");
      }
      ++position_;
    }
    const std::string_view word(reinterpret_cast<const char*>(input_.data() + start),
                                position_ - start);
    ZV_ASSIGN_OR_RETURN(const std::optional<int> parameter, readParameter());
    if (position_ < input_.size() && input_[position_] == ' ') {
      ++position_;
    }
    controlWord(word, parameter);
    return {};
  }

  Result<std::optional<int>> readParameter() {
    const bool negative =
        position_ + 1 < input_.size() && input_[position_] == '-' && isDigit(input_[position_ + 1]);
    if (negative) {
      ++position_;
    }
    const std::size_t start = position_;
    std::int64_t value = 0;
    while (position_ < input_.size() && isDigit(input_[position_])) {
      if (position_ - start >= kMaximumParameterDigits) {
        return malformed(u"The RTF document has a control word parameter that is too long.");
      }
      value = (value * 10) + (input_[position_] - '0');
      ++position_;
    }
    if (position_ == start) {
      return std::optional<int>();
    }
    value = negative ? -value : value;
    return std::optional<int>(static_cast<int>(std::clamp<std::int64_t>(
        value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())));
  }

  Result<void> readControlSymbol(std::uint8_t symbol) {
    switch (symbol) {
      case '\'':
        return readHexEscape();
      case '\\':
      case '{':
      case '}':
        acceptByte(symbol);
        return {};
      case '~':
        acceptCharacter(u'\u00A0');
        return {};
      case '_':
        acceptCharacter(u'\u2011');
        return {};
      case '\n':
      case '\r':
        if (consumeSkipped()) {
          return {};
        }
        if (groups_.back().destination == Destination::kText) {
          flushBytes();
          pendingText_ += u'\n';
          endParagraph();
        }
        return {};
      case '*':
        // An ignorable destination: skipped unless its word names one we read.
        flushBytes();
        starredFrom_ = groups_.back().destination;
        starredDepth_ = groups_.size();
        groups_.back().destination = Destination::kSkip;
        return {};
      default:
        // The optional hyphen (\-) and the index and formula marks show nothing.
        consumeSkipped();
        return {};
    }
  }

  Result<void> readHexEscape() {
    if (position_ + 2 > input_.size()) {
      return malformed(u"The RTF document ends inside a \\' escape.");
    }
    const std::optional<int> high = hexValue(input_[position_]);
    const std::optional<int> low = hexValue(input_[position_ + 1]);
    if (!high || !low) {
      return malformed(u"The RTF document has a \\' escape without two hexadecimal digits.");
    }
    position_ += 2;
    const auto byte = static_cast<std::uint8_t>((*high * 16) + *low);
    if (consumeSkipped()) {
      return {};
    }
    switch (groups_.back().destination) {
      case Destination::kFontTable:
        appendFontNameByte(byte);
        return {};
      case Destination::kText:
        pendingBytes_.push_back(byte);
        return {};
      default:
        appendToSideText(byte);
        return {};
    }
  }

  // True when the token is one of the fallback characters after \u, which are dropped.
  bool consumeSkipped() {
    if (skipRemaining_ == 0) {
      return false;
    }
    --skipRemaining_;
    return true;
  }

  void acceptByte(std::uint8_t byte) {
    if (consumeSkipped()) {
      return;
    }
    switch (groups_.back().destination) {
      case Destination::kText:
        pendingBytes_.push_back(byte);
        return;
      case Destination::kFontTable:
        if (byte == ';') {
          endFontEntry();
          return;
        }
        appendFontNameByte(byte);
        return;
      case Destination::kColorTable:
        if (byte == ';') {
          endColorEntry();
        }
        return;
      default:
        appendToSideText(byte);
        return;
    }
  }

  void acceptCharacter(char16_t character) {
    if (consumeSkipped()) {
      return;
    }
    flushBytes();
    if (groups_.back().destination == Destination::kText) {
      pendingText_ += character;
      return;
    }
    appendToSideText(character);
  }

  // The text of the destinations we read besides the document's: a field's instruction and a
  // list level's text and marker. Their bytes are taken as Latin-1, which covers the ASCII that
  // writers put there; anything else comes as \u.
  std::u16string* sideText() {
    const GroupState& state = groups_.back();
    switch (state.destination) {
      case Destination::kFieldInstruction:
        return state.field >= 0 ? &fields_[static_cast<std::size_t>(state.field)].instruction
                                : nullptr;
      case Destination::kLevelText:
        return currentLevel() != nullptr ? &currentLevel()->text : nullptr;
      case Destination::kLevelMarker:
        return currentLevel() != nullptr ? &currentLevel()->marker : nullptr;
      default:
        return nullptr;
    }
  }

  void appendToSideText(char16_t character) {
    std::u16string* text = sideText();
    if (text != nullptr && text->size() < kMaximumSideTextLength) {
      *text += character;
    }
  }

  ListLevel* currentLevel() {
    return list_ && !list_->levels.empty() ? &list_->levels.back() : nullptr;
  }

  void controlWord(std::string_view word, std::optional<int> parameter) {
    const ControlWord* control = findControlWord(word);
    if (control != nullptr && control->action == Action::kBinary) {
      // The data is skipped whatever the destination: its bytes would read as anything.
      const auto length = static_cast<std::size_t>(std::max(0, parameter.value_or(0)));
      position_ += std::min(length, input_.size() - position_);
    }
    if (consumeSkipped() || control == nullptr) {
      starredDepth_ = 0;
      return;
    }
    flushBytes();
    if (std::exchange(starredDepth_, 0) == groups_.size()) {
      // After \* the group is read only when its word opens a destination we know here.
      Destination& destination = groups_.back().destination;
      destination = starredFrom_;
      dispatch(*control, parameter);
      if (destination == starredFrom_) {
        destination = Destination::kSkip;
      }
      return;
    }
    dispatch(*control, parameter);
  }

  void dispatch(const ControlWord& control, std::optional<int> parameter) {
    GroupState& state = groups_.back();
    if (state.destination == Destination::kSkip) {
      return;
    }
    if (control.action == Action::kSkipDestination) {
      state.destination = Destination::kSkip;
      return;
    }
    if (control.action == Action::kUnicodeSkipCount) {
      state.unicodeSkipCount = std::max(0, parameter.value_or(1));
      return;
    }
    if (control.action == Action::kUnicode && state.destination != Destination::kText) {
      std::u16string unit;
      appendUnicode(parameter.value_or(0), unit);
      if (state.destination == Destination::kFontTable) {
        appendFontNameCharacters(unit);
      } else {
        for (char16_t character : unit) {
          appendToSideText(character);
        }
      }
      skipRemaining_ = static_cast<std::size_t>(state.unicodeSkipCount);
      return;
    }
    if (state.destination != Destination::kText &&
        (control.action == Action::kCharacter || control.action == Action::kParagraphEnd)) {
      appendToSideText(control.action == Action::kCharacter ? static_cast<char16_t>(control.value)
                                                            : u'\n');
      return;
    }
    switch (state.destination) {
      case Destination::kFontTable:
        fontTableWord(control, parameter);
        return;
      case Destination::kColorTable:
        colorTableWord(control, parameter);
        return;
      case Destination::kText:
        textWord(control, parameter);
        return;
      case Destination::kListTable:
        listTableWord(control, parameter);
        return;
      case Destination::kListOverrideTable:
        listOverrideWord(control, parameter);
        return;
      case Destination::kParagraphNumbering:
        numberingWord(control, parameter);
        return;
      default:
        return;
    }
  }

  // Starts a table; true when the word was one.
  bool startTable(Action action) {
    Destination& destination = groups_.back().destination;
    switch (action) {
      case Action::kFontTable:
        destination =
            std::exchange(fontTableRead_, true) ? Destination::kSkip : Destination::kFontTable;
        return true;
      case Action::kColorTable:
        destination =
            std::exchange(colorTableRead_, true) ? Destination::kSkip : Destination::kColorTable;
        return true;
      case Action::kListTable:
        destination =
            std::exchange(listTableRead_, true) ? Destination::kSkip : Destination::kListTable;
        return true;
      case Action::kListOverrideTable:
        destination = std::exchange(listOverrideTableRead_, true)
                          ? Destination::kSkip
                          : Destination::kListOverrideTable;
        return true;
      default:
        return false;
    }
  }

  void fontTableWord(const ControlWord& control, std::optional<int> parameter) {
    if (startTable(control.action)) {
      return;
    }
    if (control.action == Action::kFont) {
      endFontEntry();
      fontEntry_ = std::make_pair(parameter.value_or(0), FontEntry{});
      return;
    }
    if (!fontEntry_) {
      return;
    }
    if (control.action == Action::kFontCharset) {
      fontEntry_->second.codePage = codePageForCharset(parameter.value_or(0));
    } else if (control.action == Action::kFontCodePage) {
      fontEntry_->second.codePage = std::max(0, parameter.value_or(0));
    }
  }

  void colorTableWord(const ControlWord& control, std::optional<int> parameter) {
    if (startTable(control.action)) {
      return;
    }
    const double component = std::clamp(parameter.value_or(0), 0, 255) / 255.0;
    switch (control.action) {
      case Action::kRed:
        colorEntry_.red = component;
        break;
      case Action::kGreen:
        colorEntry_.green = component;
        break;
      case Action::kBlue:
        colorEntry_.blue = component;
        break;
      default:
        return;
    }
    colorEntryHasComponent_ = true;
  }

  void listTableWord(const ControlWord& control, std::optional<int> parameter) {
    switch (control.action) {
      case Action::kList:
        endList();
        list_.emplace();
        return;
      case Action::kListIdentifier:
        if (list_) {
          list_->identifier = parameter.value_or(0);
        }
        return;
      case Action::kListLevelDefinition:
        // Levels beyond the ninth are no part of any list that readers show.
        if (list_ && list_->levels.size() < kMaximumListLevels) {
          list_->levels.emplace_back();
        }
        return;
      case Action::kLevelFormat:
        if (currentLevel() != nullptr) {
          currentLevel()->format = parameter.value_or(kLevelFormatDecimal);
        }
        return;
      case Action::kLevelStart:
        if (currentLevel() != nullptr) {
          currentLevel()->startAt = std::clamp(parameter.value_or(1), 0, kMaximumItemNumber);
        }
        return;
      case Action::kLevelText:
        groups_.back().destination = Destination::kLevelText;
        return;
      case Action::kLevelMarker:
        groups_.back().destination = Destination::kLevelMarker;
        if (currentLevel() != nullptr) {
          currentLevel()->marker.clear();
        }
        return;
      default:
        return;
    }
  }

  void endList() {
    if (!list_) {
      return;
    }
    ListDefinition list = std::move(*list_);
    list_.reset();
    if (lists_.size() >= kMaximumTableEntries && !lists_.contains(list.identifier)) {
      return;
    }
    std::vector<TextList> levels;
    levels.reserve(list.levels.size());
    for (const ListLevel& level : list.levels) {
      levels.push_back(textListForLevel(level));
    }
    lists_.insert_or_assign(list.identifier, std::move(levels));
  }

  void listOverrideWord(const ControlWord& control, std::optional<int> parameter) {
    switch (control.action) {
      case Action::kListOverrideEntry:
        overrideListIdentifier_ = 0;
        return;
      case Action::kListIdentifier:
        overrideListIdentifier_ = parameter.value_or(0);
        return;
      case Action::kListOverride: {
        const int number = parameter.value_or(0);
        if (overrides_.size() < kMaximumTableEntries || overrides_.contains(number)) {
          overrides_.insert_or_assign(number, overrideListIdentifier_);
        }
        return;
      }
      default:
        return;
    }
  }

  void numberingWord(const ControlWord& control, std::optional<int> parameter) {
    switch (control.action) {
      case Action::kNumberingBullet:
        numbering_.bullet = true;
        return;
      case Action::kNumberingBody:
        numbering_.body = true;
        return;
      case Action::kNumberingFormat:
        numbering_.format = control.value;
        return;
      case Action::kNumberingStart:
        numbering_.start = std::clamp(parameter.value_or(1), 0, kMaximumItemNumber);
        return;
      default:
        return;
    }
  }

  void textWord(const ControlWord& control, std::optional<int> parameter) {
    if (startTable(control.action)) {
      return;
    }
    GroupState& state = groups_.back();
    switch (control.action) {
      case Action::kCharacter:
        pendingText_ += static_cast<char16_t>(control.value);
        return;
      case Action::kParagraphEnd:
        pendingText_ += u'\n';
        endParagraph();
        return;
      case Action::kUnicode:
        appendUnicode(parameter.value_or(0), pendingText_);
        skipRemaining_ = static_cast<std::size_t>(state.unicodeSkipCount);
        return;
      case Action::kDocumentCharset:
        documentCodePage_ = control.value;
        return;
      case Action::kDocumentCodePage:
        documentCodePage_ = std::max(0, parameter.value_or(kDefaultCodePage));
        return;
      case Action::kDefaultFont:
        defaultFont_ = parameter.value_or(0);
        return;
      case Action::kFieldInstruction:
        state.destination =
            state.field >= 0 ? Destination::kFieldInstruction : Destination::kSkip;
        return;
      case Action::kParagraphNumbering:
        state.destination = Destination::kParagraphNumbering;
        numbering_ = Numbering{};
        return;
      default:
        break;
    }
    if (paragraphWord(control, parameter)) {
      return;
    }
    // Everything below changes how the text looks, so the text so far becomes a run first.
    flushText();
    characterWord(control, parameter);
  }

  void characterWord(const ControlWord& control, std::optional<int> parameter) {
    GroupState& state = groups_.back();
    const bool on = parameter.value_or(1) != 0;
    switch (control.action) {
      case Action::kFont:
        state.font = parameter.value_or(0);
        return;
      case Action::kFontSize: {
        const int size = parameter.value_or(kDefaultFontSizeHalfPoints);
        state.fontSizeHalfPoints =
            size <= 0 ? kDefaultFontSizeHalfPoints : std::min(size, kMaximumFontSizeHalfPoints);
        return;
      }
      case Action::kBold:
        state.bold = on;
        return;
      case Action::kItalic:
        state.italic = on;
        return;
      case Action::kUnderline:
        state.underline = on ? control.value : 0;
        return;
      case Action::kUnderlineNone:
        state.underline = 0;
        return;
      case Action::kStrikethrough:
        state.strikethrough = on;
        return;
      case Action::kForegroundColor:
        state.foregroundColor = parameter.value_or(0);
        return;
      case Action::kBackgroundColor:
        state.backgroundColor = parameter.value_or(0);
        return;
      case Action::kPlain:
        state = GroupState{.destination = state.destination,
                           .unicodeSkipCount = state.unicodeSkipCount,
                           .field = state.field,
                           .link = state.link,
                           .paragraph = std::move(state.paragraph)};
        return;
      case Action::kField:
        if (fields_.size() < kMaximumFields) {
          state.field = static_cast<int>(fields_.size());
          fields_.emplace_back();
        }
        return;
      case Action::kFieldResult:
        if (state.field >= 0 && linkOfField(state.field) != nullptr) {
          state.link = state.field;
        }
        return;
      default:
        return;
    }
  }

  // Handles the words of paragraph formatting; true when the word was one.
  bool paragraphWord(const ControlWord& control, std::optional<int> parameter) {
    ParagraphState& paragraph = groups_.back().paragraph;
    // Measurements are twips; a page is far narrower than this, whatever the parameter says.
    const int twips = std::clamp(parameter.value_or(0), -kMaximumTwips, kMaximumTwips);
    switch (control.action) {
      case Action::kParagraphDefault:
        paragraph = ParagraphState{};
        return true;
      case Action::kAlignment:
        paragraph.alignment = control.value;
        return true;
      case Action::kSpaceBefore:
        paragraph.spaceBefore = twips;
        return true;
      case Action::kSpaceAfter:
        paragraph.spaceAfter = twips;
        return true;
      case Action::kLineSpacing:
        paragraph.lineSpacing = twips;
        return true;
      case Action::kLineSpacingMultiple:
        paragraph.lineSpacingMultiple = parameter.value_or(1) != 0;
        return true;
      case Action::kLineLeading:
        paragraph.leading = twips;
        return true;
      case Action::kLineMinimum:
        paragraph.minimumLineHeight = std::max(0, twips);
        return true;
      case Action::kLineMaximum:
        paragraph.maximumLineHeight = std::max(0, twips);
        return true;
      case Action::kLeftIndent:
        paragraph.leftIndent = twips;
        return true;
      case Action::kFirstLineIndent:
        paragraph.firstLineIndent = twips;
        return true;
      case Action::kRightIndent:
        paragraph.rightIndent = twips;
        return true;
      case Action::kTabAlignment:
        paragraph.nextTabAlignment = control.value;
        return true;
      case Action::kTabStop:
        if (paragraph.tabStops.size() < kMaximumTabStops) {
          paragraph.tabStops.push_back(
              {static_cast<TextAlignment>(paragraph.nextTabAlignment), twips / 20.0});
        }
        paragraph.nextTabAlignment = kAlignLeft;
        return true;
      case Action::kOutlineLevel:
        paragraph.outlineLevel = parameter.value_or(-1);
        return true;
      case Action::kListOverride:
        paragraph.listOverride = parameter.value_or(0);
        return true;
      case Action::kListLevel:
        paragraph.listLevel =
            std::clamp(parameter.value_or(0), 0, static_cast<int>(kMaximumListLevels) - 1);
        return true;
      default:
        return false;
    }
  }

  const AttributeValue* linkOfField(int index) {
    Field& field = fields_[static_cast<std::size_t>(index)];
    if (!std::exchange(field.resolved, true)) {
      std::u16string target = hyperlinkTarget(field.instruction);
      if (std::optional<platform::URL> url = platform::URL::fromString(target)) {
        field.link = std::move(*url);
      } else if (!target.empty()) {
        field.link = std::move(target);
      }
    }
    return field.link ? &*field.link : nullptr;
  }

  static void appendUnicode(int value, std::u16string& out) {
    // \u is written as a signed 16-bit number, so the upper half of the BMP comes negative.
    if (value < 0) {
      value += 0x10000;
    }
    if (value <= 0 || value > 0x10FFFF) {
      if (value != 0) {
        out += u'\uFFFD';
      }
      return;
    }
    if (value < 0x10000) {
      out += static_cast<char16_t>(value);
      return;
    }
    value -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (value >> 10));
    out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
  }

  void appendFontNameByte(std::uint8_t byte) {
    if (fontEntry_ && fontNameBytes_.size() < kMaximumFontNameBytes) {
      fontNameBytes_.push_back(byte);
    }
  }

  // Decodes the name's bytes so far in the font's code page.
  void flushFontNameBytes() {
    if (fontEntry_) {
      const int codePage = fontEntry_->second.codePage;
      decoder_.decode(codePage != 0 ? codePage : documentCodePage_, fontNameBytes_, fontName_);
    }
    fontNameBytes_.clear();
  }

  void appendFontNameCharacters(std::u16string_view characters) {
    if (!fontEntry_) {
      return;
    }
    flushFontNameBytes();
    if (fontName_.size() < kMaximumFontNameBytes) {
      fontName_ += characters;
    }
  }

  void endFontEntry() {
    flushFontNameBytes();
    if (!fontEntry_) {
      fontName_.clear();
      return;
    }
    auto [number, entry] = std::move(*fontEntry_);
    fontEntry_.reset();
    entry.name = trimmed(fontName_).substr(0, kMaximumFontNameLength);
    fontName_.clear();
    if (fonts_.size() < kMaximumTableEntries || fonts_.contains(number)) {
      fonts_.insert_or_assign(number, std::move(entry));
    }
  }

  void endColorEntry() {
    // An entry without components is the automatic colour: text in it gets no colour.
    if (colors_.size() < kMaximumTableEntries) {
      colors_.push_back(colorEntryHasComponent_ ? std::optional<Color>(colorEntry_)
                                                : std::nullopt);
    }
    colorEntry_ = Color{};
    colorEntryHasComponent_ = false;
  }

  const FontEntry* fontFor(const GroupState& state) const {
    const auto found = fonts_.find(state.font >= 0 ? state.font : defaultFont_);
    return found == fonts_.end() ? nullptr : &found->second;
  }

  int codePageFor(const GroupState& state) const {
    const FontEntry* font = fontFor(state);
    return font != nullptr && font->codePage != 0 ? font->codePage : documentCodePage_;
  }

  const Color* colorAt(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= colors_.size() ||
        !colors_[static_cast<std::size_t>(index)]) {
      return nullptr;
    }
    return &*colors_[static_cast<std::size_t>(index)];
  }

  Attributes attributesFor(const GroupState& state) const {
    const FontEntry* font = fontFor(state);
    const std::u16string_view name =
        font != nullptr && !font->name.empty() ? std::u16string_view(font->name) : kDefaultFontName;
    Attributes attributes;
    attributes.emplace(NSFontAttributeName, faceFont(name, state.bold, state.italic,
                                                     state.fontSizeHalfPoints / 2.0));
    if (const Color* color = colorAt(state.foregroundColor)) {
      attributes.emplace(NSForegroundColorAttributeName, *color);
    }
    if (const Color* color = colorAt(state.backgroundColor)) {
      attributes.emplace(NSBackgroundColorAttributeName, *color);
    }
    if (state.underline != 0) {
      attributes.emplace(NSUnderlineStyleAttributeName, std::int64_t{state.underline});
    }
    if (state.strikethrough) {
      attributes.emplace(NSStrikethroughStyleAttributeName, std::int64_t{1});
    }
    if (state.link >= 0) {
      attributes.emplace(NSLinkAttributeName, *fields_[static_cast<std::size_t>(state.link)].link);
    }
    return attributes;
  }

  std::vector<TextList> textListsFor(const ParagraphState& paragraph) const {
    if (paragraph.listOverride != 0) {
      const auto override = overrides_.find(paragraph.listOverride);
      if (override == overrides_.end()) {
        return {};
      }
      const auto list = lists_.find(override->second);
      if (list == lists_.end()) {
        return {};
      }
      const std::size_t count =
          std::min(list->second.size(), static_cast<std::size_t>(paragraph.listLevel) + 1);
      return {list->second.begin(), list->second.begin() + static_cast<std::ptrdiff_t>(count)};
    }
    if (paragraph.numbering) {
      return {*paragraph.numbering};
    }
    return {};
  }

  ParagraphStyle paragraphStyleFor(const ParagraphState& paragraph) const {
    ParagraphStyle style;
    style.alignment = static_cast<TextAlignment>(paragraph.alignment);
    style.paragraphSpacingBefore = paragraph.spaceBefore / 20.0;
    style.paragraphSpacing = paragraph.spaceAfter / 20.0;
    style.lineSpacing = paragraph.leading / 20.0;
    if (paragraph.lineSpacingMultiple) {
      style.lineHeightMultiple = paragraph.lineSpacing / 240.0;
    } else if (paragraph.lineSpacing > 0) {
      style.minimumLineHeight = paragraph.lineSpacing / 20.0;
    } else if (paragraph.lineSpacing < 0) {
      style.minimumLineHeight = style.maximumLineHeight = -paragraph.lineSpacing / 20.0;
    }
    if (paragraph.minimumLineHeight > 0) {
      style.minimumLineHeight = paragraph.minimumLineHeight / 20.0;
    }
    if (paragraph.maximumLineHeight > 0) {
      style.maximumLineHeight = paragraph.maximumLineHeight / 20.0;
    }
    style.headIndent = paragraph.leftIndent / 20.0;
    style.firstLineHeadIndent = (paragraph.leftIndent + paragraph.firstLineIndent) / 20.0;
    // The right indent is measured from the right margin, which a negative tail indent is too.
    style.tailIndent = paragraph.rightIndent == 0 ? 0.0 : -paragraph.rightIndent / 20.0;
    style.tabStops = paragraph.tabStops;
    style.textLists = textListsFor(paragraph);
    if (paragraph.outlineLevel >= 0 && paragraph.outlineLevel < 9) {
      style.headerLevel = paragraph.outlineLevel + 1;
    }
    return style;
  }

  void flushBytes() {
    if (pendingBytes_.empty()) {
      return;
    }
    decoder_.decode(codePageFor(groups_.back()), pendingBytes_, pendingText_);
    pendingBytes_.clear();
  }

  void flushText() {
    flushBytes();
    if (pendingText_.empty()) {
      return;
    }
    Attributes attributes = attributesFor(groups_.back());
    if (!paragraphRuns_.empty() && paragraphRuns_.back().second == attributes) {
      paragraphRuns_.back().first += pendingText_;
    } else {
      paragraphRuns_.emplace_back(pendingText_, std::move(attributes));
    }
    pendingText_.clear();
  }

  void endParagraph() {
    flushText();
    if (paragraphRuns_.empty()) {
      return;
    }
    const ParagraphState& paragraph = groups_.back().paragraph;
    std::optional<ParagraphStyle> style;
    if (paragraph != ParagraphState{}) {
      style = paragraphStyleFor(paragraph);
      if (*style == ParagraphStyle{}) {
        style.reset();
      }
    }
    for (auto& [text, attributes] : paragraphRuns_) {
      if (style) {
        attributes.insert_or_assign(NSParagraphStyleAttributeName, *style);
      }
      result_.appendString(text, attributes);
    }
    paragraphRuns_.clear();
  }

  struct Numbering {
    bool bullet = false;
    bool body = false;
    int format = kLevelFormatDecimal;
    int start = 1;
  };

  std::span<const std::uint8_t> input_;
  std::size_t position_ = 0;
  std::vector<GroupState> groups_;
  // Fallback characters still to drop after a \u.
  std::size_t skipRemaining_ = 0;
  // The group that a \* marked (its depth; 0 for none), and what it was before.
  std::size_t starredDepth_ = 0;
  Destination starredFrom_ = Destination::kText;

  int documentCodePage_ = kDefaultCodePage;
  int defaultFont_ = 0;
  std::map<int, FontEntry> fonts_;
  std::optional<std::pair<int, FontEntry>> fontEntry_;
  std::vector<std::uint8_t> fontNameBytes_;
  std::u16string fontName_;
  bool fontTableRead_ = false;
  std::vector<std::optional<Color>> colors_;
  Color colorEntry_;
  bool colorEntryHasComponent_ = false;
  bool colorTableRead_ = false;

  std::vector<Field> fields_;
  std::map<int, std::vector<TextList>> lists_;  // by list identifier
  std::optional<ListDefinition> list_;
  bool listTableRead_ = false;
  std::map<int, int> overrides_;  // list identifiers by override number
  int overrideListIdentifier_ = 0;
  bool listOverrideTableRead_ = false;
  Numbering numbering_;

  CodePageDecoder decoder_;
  std::vector<std::uint8_t> pendingBytes_;
  std::u16string pendingText_;
  std::vector<std::pair<std::u16string, Attributes>> paragraphRuns_;
  MutableAttributedString result_;
};

}  // namespace

platform::Result<AttributedString> attributedStringFromRTF(std::span<const std::uint8_t> rtf) {
  return Reader(rtf).read();
}

}  // namespace zv::richtext
