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
  kFont,
  kFontSize,
  kBold,
  kItalic,
  kUnderline,
  kUnderlineNone,
  kStrikethrough,
  kForegroundColor,
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
};

struct ControlWord {
  std::string_view word;
  Action action;
  int value = 0;
};

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
    {"cell", Action::kCharacter, '\t'},
    {"cf", Action::kForegroundColor},
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
    {"filetbl", Action::kSkipDestination},
    {"fldinst", Action::kSkipDestination},
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
    {"i", Action::kItalic},
    {"info", Action::kSkipDestination},
    {"keywords", Action::kSkipDestination},
    {"latentstyles", Action::kSkipDestination},
    {"ldblquote", Action::kCharacter, 0x201C},
    {"line", Action::kCharacter, '\n'},
    {"listoverridetable", Action::kSkipDestination},
    {"listtable", Action::kSkipDestination},
    {"lquote", Action::kCharacter, 0x2018},
    {"mac", Action::kDocumentCharset, 10000},
    {"object", Action::kSkipDestination},
    {"operator", Action::kSkipDestination},
    {"page", Action::kCharacter, '\n'},
    {"par", Action::kCharacter, '\n'},
    {"pc", Action::kDocumentCharset, 437},
    {"pca", Action::kDocumentCharset, 850},
    {"pict", Action::kSkipDestination},
    {"plain", Action::kPlain},
    {"pn", Action::kSkipDestination},
    {"rdblquote", Action::kCharacter, 0x201D},
    {"red", Action::kRed},
    {"revtbl", Action::kSkipDestination},
    {"row", Action::kCharacter, '\n'},
    {"rquote", Action::kCharacter, 0x2019},
    {"rsidtbl", Action::kSkipDestination},
    {"sect", Action::kCharacter, '\n'},
    {"strike", Action::kStrikethrough},
    {"stylesheet", Action::kSkipDestination},
    {"subject", Action::kSkipDestination},
    {"tab", Action::kCharacter, '\t'},
    {"themedata", Action::kSkipDestination},
    {"title", Action::kSkipDestination},
    {"u", Action::kUnicode},
    {"uc", Action::kUnicodeSkipCount},
    {"ul", Action::kUnderline},
    {"uld", Action::kUnderline},
    {"uldash", Action::kUnderline},
    {"uldb", Action::kUnderline},
    {"ulnone", Action::kUnderlineNone},
    {"ulth", Action::kUnderline},
    {"ulw", Action::kUnderline},
    {"ulwave", Action::kUnderline},
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
enum class Destination : std::uint8_t { kText, kFontTable, kColorTable, kSkip };

// The state a group inherits from its parent and that closing it restores.
struct GroupState {
  Destination destination = Destination::kText;
  int font = -1;  // -1: the document's default font
  int fontSizeHalfPoints = kDefaultFontSizeHalfPoints;
  int foregroundColor = -1;  // -1: no colour attribute
  int unicodeSkipCount = 1;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikethrough = false;
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

std::u16string faceName(std::u16string_view name, bool bold, bool italic) {
  if (!bold && !italic) {
    return std::u16string(name);
  }
  std::u16string_view family = name;
  for (const FontSuffix& suffix : kFontSuffixes) {
    if (name.size() > suffix.text.size() && name.ends_with(suffix.text)) {
      family = name.substr(0, name.size() - suffix.text.size());
      bold = bold || suffix.bold;
      italic = italic || suffix.italic;
      break;
    }
  }
  std::u16string face(family);
  face += bold && italic ? u"-BoldItalic" : bold ? u"-Bold" : u"-Italic";
  return face;
}

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
// as UTF-16 until the formatting changes, when it becomes one run.
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
      if (result_.runCount() > kMaximumRuns) {
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
      flushText();
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
    groups_.push_back(groups_.empty() ? GroupState{} : groups_.back());
    return {};
  }

  void closeGroup() {
    skipRemaining_ = 0;
    flushText();
    if (groups_.back().destination == Destination::kFontTable) {
      endFontEntry();
    }
    groups_.pop_back();
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
        acceptCharacter(u'\n');
        return {};
      case '*':
        // An ignorable destination: none carries text that we show.
        flushBytes();
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
    if (groups_.back().destination == Destination::kFontTable) {
      appendFontNameByte(byte);
      return {};
    }
    if (groups_.back().destination == Destination::kText) {
      pendingBytes_.push_back(byte);
    }
    return {};
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
      case Destination::kSkip:
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
    }
  }

  void controlWord(std::string_view word, std::optional<int> parameter) {
    const ControlWord* control = findControlWord(word);
    if (control != nullptr && control->action == Action::kBinary) {
      // The data is skipped whatever the destination: its bytes would read as anything.
      const auto length = static_cast<std::size_t>(std::max(0, parameter.value_or(0)));
      position_ += std::min(length, input_.size() - position_);
    }
    if (consumeSkipped() || control == nullptr) {
      return;
    }
    flushBytes();
    GroupState& state = groups_.back();
    switch (state.destination) {
      case Destination::kSkip:
        return;
      case Destination::kFontTable:
        fontTableWord(*control, parameter);
        return;
      case Destination::kColorTable:
        colorTableWord(*control, parameter);
        return;
      case Destination::kText:
        textWord(*control, parameter);
        return;
    }
  }

  // Starts a destination; true when the word was one.
  bool startDestination(Action action) {
    Destination& destination = groups_.back().destination;
    switch (action) {
      case Action::kSkipDestination:
        destination = Destination::kSkip;
        return true;
      case Action::kFontTable:
        destination =
            std::exchange(fontTableRead_, true) ? Destination::kSkip : Destination::kFontTable;
        return true;
      case Action::kColorTable:
        destination =
            std::exchange(colorTableRead_, true) ? Destination::kSkip : Destination::kColorTable;
        return true;
      default:
        return false;
    }
  }

  void fontTableWord(const ControlWord& control, std::optional<int> parameter) {
    if (startDestination(control.action)) {
      return;
    }
    if (control.action == Action::kUnicode) {
      skipRemaining_ = static_cast<std::size_t>(groups_.back().unicodeSkipCount);
      return;
    }
    if (control.action == Action::kUnicodeSkipCount) {
      groups_.back().unicodeSkipCount = std::max(0, parameter.value_or(1));
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
    if (startDestination(control.action)) {
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

  void textWord(const ControlWord& control, std::optional<int> parameter) {
    if (startDestination(control.action)) {
      return;
    }
    GroupState& state = groups_.back();
    const bool on = parameter.value_or(1) != 0;
    switch (control.action) {
      case Action::kCharacter:
        pendingText_ += static_cast<char16_t>(control.value);
        return;
      case Action::kUnicode:
        appendUnicode(parameter.value_or(0));
        skipRemaining_ = static_cast<std::size_t>(state.unicodeSkipCount);
        return;
      case Action::kUnicodeSkipCount:
        state.unicodeSkipCount = std::max(0, parameter.value_or(1));
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
      default:
        break;
    }
    // Everything below changes how the text looks, so the text so far becomes a run first.
    flushText();
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
        state.underline = on;
        return;
      case Action::kUnderlineNone:
        state.underline = false;
        return;
      case Action::kStrikethrough:
        state.strikethrough = on;
        return;
      case Action::kForegroundColor:
        state.foregroundColor = parameter.value_or(0);
        return;
      case Action::kPlain:
        state = GroupState{.destination = state.destination,
                           .unicodeSkipCount = state.unicodeSkipCount};
        return;
      default:
        return;
    }
  }

  void appendUnicode(int value) {
    // \u is written as a signed 16-bit number, so the upper half of the BMP comes negative.
    if (value < 0) {
      value += 0x10000;
    }
    if (value <= 0 || value > 0x10FFFF) {
      if (value != 0) {
        pendingText_ += u'\uFFFD';
      }
      return;
    }
    if (value < 0x10000) {
      pendingText_ += static_cast<char16_t>(value);
      return;
    }
    value -= 0x10000;
    pendingText_ += static_cast<char16_t>(0xD800 + (value >> 10));
    pendingText_ += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
  }

  void appendFontNameByte(std::uint8_t byte) {
    if (fontEntry_ && fontNameBytes_.size() < kMaximumFontNameBytes) {
      fontNameBytes_.push_back(byte);
    }
  }

  void endFontEntry() {
    if (!fontEntry_) {
      return;
    }
    auto [number, entry] = std::move(*fontEntry_);
    fontEntry_.reset();
    std::u16string name;
    decoder_.decode(entry.codePage != 0 ? entry.codePage : documentCodePage_, fontNameBytes_, name);
    fontNameBytes_.clear();
    entry.name = trimmed(name).substr(0, kMaximumFontNameLength);
    if (fonts_.size() < kMaximumTableEntries || fonts_.contains(number)) {
      fonts_.insert_or_assign(number, std::move(entry));
    }
  }

  void endColorEntry() {
    // An entry without components is the automatic colour: text in it gets no colour.
    colors_.push_back(colorEntryHasComponent_ ? std::optional<Color>(colorEntry_) : std::nullopt);
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

  Attributes attributesFor(const GroupState& state) const {
    const FontEntry* font = fontFor(state);
    const std::u16string_view name =
        font != nullptr && !font->name.empty() ? std::u16string_view(font->name) : kDefaultFontName;
    Attributes attributes;
    attributes.emplace(NSFontAttributeName, Font{faceName(name, state.bold, state.italic),
                                                 state.fontSizeHalfPoints / 2.0});
    if (state.foregroundColor >= 0 &&
        static_cast<std::size_t>(state.foregroundColor) < colors_.size() &&
        colors_[static_cast<std::size_t>(state.foregroundColor)]) {
      attributes.emplace(NSForegroundColorAttributeName,
                         *colors_[static_cast<std::size_t>(state.foregroundColor)]);
    }
    if (state.underline) {
      attributes.emplace(NSUnderlineStyleAttributeName, std::int64_t{1});
    }
    if (state.strikethrough) {
      attributes.emplace(NSStrikethroughStyleAttributeName, std::int64_t{1});
    }
    return attributes;
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
    result_.appendString(pendingText_, attributesFor(groups_.back()));
    pendingText_.clear();
  }

  std::span<const std::uint8_t> input_;
  std::size_t position_ = 0;
  std::vector<GroupState> groups_;
  // Fallback characters still to drop after a \u.
  std::size_t skipRemaining_ = 0;

  int documentCodePage_ = kDefaultCodePage;
  int defaultFont_ = 0;
  std::map<int, FontEntry> fonts_;
  std::optional<std::pair<int, FontEntry>> fontEntry_;
  std::vector<std::uint8_t> fontNameBytes_;
  bool fontTableRead_ = false;
  std::vector<std::optional<Color>> colors_;
  Color colorEntry_;
  bool colorEntryHasComponent_ = false;
  bool colorTableRead_ = false;

  CodePageDecoder decoder_;
  std::vector<std::uint8_t> pendingBytes_;
  std::u16string pendingText_;
  MutableAttributedString result_;
};

}  // namespace

platform::Result<AttributedString> attributedStringFromRTF(std::span<const std::uint8_t> rtf) {
  return Reader(rtf).read();
}

}  // namespace zv::richtext
