#include "richtext/paragraph_style.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>
#include <utility>

namespace zv::richtext {

namespace {

// Measurements that differ by less than this many points are equal: a layout that went through
// an archive of 32-bit floats must still match the one it came from.
constexpr double kMeasurementTolerance = 0.001;

constexpr int kDefaultTabStopCount = 12;
constexpr double kDefaultTabStopSpacing = 28;

// The list layout: the marker sits at the first stop, the item's text at the head indent.
constexpr double kListMarkerLocation = 11;
constexpr double kListHeadIndent = 36;

bool sameMeasurement(double a, double b) {
  return std::fabs(a - b) < kMeasurementTolerance;
}

bool sameTabStops(const std::vector<TextTab>& a, const std::vector<TextTab>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t index = 0; index < a.size(); ++index) {
    if (a[index].alignment != b[index].alignment ||
        !sameMeasurement(a[index].location, b[index].location)) {
      return false;
    }
  }
  return true;
}

// The measurements of line spacing, as member pointers so that compare and apply cannot drift.
constexpr std::array kLineSpacingMembers = {
    &ParagraphStyle::lineSpacing,
    &ParagraphStyle::paragraphSpacing,
    &ParagraphStyle::paragraphSpacingBefore,
    &ParagraphStyle::lineHeightMultiple,
    &ParagraphStyle::minimumLineHeight,
    &ParagraphStyle::maximumLineHeight,
};

// Lengths in points; the line height multiple is a ratio and stays as it is.
constexpr std::array kScaledMembers = {
    &ParagraphStyle::lineSpacing,
    &ParagraphStyle::paragraphSpacing,
    &ParagraphStyle::paragraphSpacingBefore,
    &ParagraphStyle::minimumLineHeight,
    &ParagraphStyle::maximumLineHeight,
    &ParagraphStyle::headIndent,
    &ParagraphStyle::firstLineHeadIndent,
    &ParagraphStyle::tailIndent,
    &ParagraphStyle::defaultTabInterval,
};

void appendInBase(std::u16string& out, std::int64_t number, int base, bool upper) {
  std::array<char, 72> digits{};
  const auto [end, failure] =
      std::to_chars(digits.data(), digits.data() + digits.size(), number, base);
  for (const char* digit = digits.data(); failure == std::errc() && digit != end; ++digit) {
    const char c =
        upper && *digit >= 'a' && *digit <= 'z' ? static_cast<char>(*digit - 'a' + 'A') : *digit;
    out.push_back(static_cast<char16_t>(c));
  }
}

// Letters count like a spreadsheet's columns: a..z, aa, ab...
void appendAlphabetic(std::u16string& out, std::int64_t number, bool upper) {
  std::u16string letters;
  const char16_t first = upper ? u'A' : u'a';
  for (std::int64_t rest = number; rest > 0; rest = (rest - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char16_t>(first + (rest - 1) % 26));
  }
  out += letters;
}

constexpr std::int64_t kLargestRomanNumber = 3999;

void appendRoman(std::u16string& out, std::int64_t number, bool upper) {
  static constexpr std::pair<int, std::string_view> kNumerals[] = {
      {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
      {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"},
  };
  for (const auto& [value, numeral] : kNumerals) {
    for (; number >= value; number -= value) {
      for (char letter : numeral) {
        out.push_back(static_cast<char16_t>(upper ? letter - 'a' + 'A' : letter));
      }
    }
  }
}

enum class Counting : std::uint8_t { kDecimal, kOctal, kHexadecimal, kAlphabetic, kRoman };

struct CountingToken {
  std::u16string_view token;
  Counting counting;
  bool upper;
};
constexpr CountingToken kCountingTokens[] = {
    {u"decimal", Counting::kDecimal, false},
    {u"octal", Counting::kOctal, false},
    {u"lower-hexadecimal", Counting::kHexadecimal, false},
    {u"upper-hexadecimal", Counting::kHexadecimal, true},
    {u"lower-alpha", Counting::kAlphabetic, false},
    {u"lower-latin", Counting::kAlphabetic, false},
    {u"upper-alpha", Counting::kAlphabetic, true},
    {u"upper-latin", Counting::kAlphabetic, true},
    {u"lower-roman", Counting::kRoman, false},
    {u"upper-roman", Counting::kRoman, true},
};

void appendCounted(std::u16string& out, const CountingToken& entry, std::int64_t itemNumber) {
  // Letters and numerals have no zero or negatives, numerals nothing from 4000 on: such items
  // count in decimal.
  switch (entry.counting) {
    case Counting::kOctal:
      return appendInBase(out, itemNumber, 8, false);
    case Counting::kHexadecimal:
      return appendInBase(out, itemNumber, 16, entry.upper);
    case Counting::kAlphabetic:
      if (itemNumber > 0) {
        return appendAlphabetic(out, itemNumber, entry.upper);
      }
      break;
    case Counting::kRoman:
      if (itemNumber > 0 && itemNumber <= kLargestRomanNumber) {
        return appendRoman(out, itemNumber, entry.upper);
      }
      break;
    case Counting::kDecimal:
      break;
  }
  appendInBase(out, itemNumber, 10, false);
}

// Appends the marker of a token such as "disc"; false for a token we do not know.
bool appendMarker(std::u16string& out, std::u16string_view token, std::int64_t itemNumber) {
  static constexpr std::pair<std::u16string_view, std::u16string_view> kBullets[] = {
      {u"disc", u"\u2022"},  {u"circle", u"\u25E6"},  {u"square", u"\u25AA"}, {u"hyphen", u"-"},
      {u"check", u"\u2713"}, {u"diamond", u"\u25C6"}, {u"box", u"\u25A1"},
  };
  for (const auto& [name, bullet] : kBullets) {
    if (token == name) {
      out += bullet;
      return true;
    }
  }
  for (const CountingToken& entry : kCountingTokens) {
    if (token == entry.token) {
      appendCounted(out, entry, itemNumber);
      return true;
    }
  }
  return false;
}

}  // namespace

std::u16string TextList::markerForItemNumber(std::int64_t itemNumber) const {
  std::u16string marker;
  std::u16string_view rest = markerFormat;
  while (!rest.empty()) {
    std::size_t open = rest.find(u'{');
    std::size_t close = open == std::u16string_view::npos ? open : rest.find(u'}', open);
    if (close == std::u16string_view::npos) {
      marker += rest;
      break;
    }
    marker += rest.substr(0, open);
    std::u16string_view token = rest.substr(open + 1, close - open - 1);
    if (!appendMarker(marker, token, itemNumber)) {
      marker += rest.substr(open, close - open + 1);
    }
    rest.remove_prefix(close + 1);
  }
  return marker;
}

const ParagraphStyle& ParagraphStyle::defaultParagraphStyle() {
  static const ParagraphStyle style = [] {
    ParagraphStyle result;
    for (int stop = 1; stop <= kDefaultTabStopCount; ++stop) {
      result.tabStops.push_back({TextAlignment::kLeft, stop * kDefaultTabStopSpacing});
    }
    return result;
  }();
  return style;
}

ParagraphStyle ParagraphStyle::listParagraphStyle() {
  ParagraphStyle style = defaultParagraphStyle();
  style.tabStops = {{TextAlignment::kLeft, kListMarkerLocation},
                    {TextAlignment::kLeft, kListHeadIndent}};
  style.headIndent = kListHeadIndent;
  style.firstLineHeadIndent = 0;
  style.defaultTabInterval = kListHeadIndent;
  return style;
}

bool ParagraphStyle::isEqualToParagraphStyle(const ParagraphStyle& other) const {
  return alignment == other.alignment && lineSpacingMatchesStyle(other) &&
         sameMeasurement(headIndent, other.headIndent) &&
         sameMeasurement(firstLineHeadIndent, other.firstLineHeadIndent) &&
         sameMeasurement(tailIndent, other.tailIndent) &&
         sameMeasurement(defaultTabInterval, other.defaultTabInterval) &&
         sameTabStops(tabStops, other.tabStops) && textLists == other.textLists &&
         headerLevel == other.headerLevel;
}

bool ParagraphStyle::lineSpacingMatchesStyle(const ParagraphStyle& other) const {
  for (double ParagraphStyle::*member : kLineSpacingMembers) {
    if (!sameMeasurement(this->*member, other.*member)) {
      return false;
    }
  }
  return true;
}

void ParagraphStyle::applyLineSpacingFromStyle(const ParagraphStyle& other) {
  for (double ParagraphStyle::*member : kLineSpacingMembers) {
    this->*member = other.*member;
  }
}

bool ParagraphStyle::isListParagraphStyle() const {
  if (!textLists.empty()) {
    return true;
  }
  // A list without a text list (as pasted from a web page) hangs its lines at a tab stop.
  if (headIndent <= firstLineHeadIndent + kMeasurementTolerance) {
    return false;
  }
  for (const TextTab& tab : tabStops) {
    if (sameMeasurement(tab.location, headIndent)) {
      return true;
    }
  }
  return false;
}

ParagraphStyle ParagraphStyle::scaledParagraphStyle(double factor) const {
  ParagraphStyle scaled = *this;
  if (!std::isfinite(factor) || factor <= 0) {
    return scaled;
  }
  for (double ParagraphStyle::*member : kScaledMembers) {
    scaled.*member *= factor;
  }
  for (TextTab& tab : scaled.tabStops) {
    tab.location *= factor;
  }
  return scaled;
}

}  // namespace zv::richtext
