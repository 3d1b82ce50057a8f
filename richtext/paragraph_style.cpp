#include "richtext/paragraph_style.h"

#include <array>
#include <cmath>
#include <string_view>
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

void appendDecimal(std::u16string& out, std::int64_t number) {
  for (char digit : std::to_string(number)) {
    out.push_back(static_cast<char16_t>(digit));
  }
}

// Letters count like a spreadsheet's columns: a..z, aa, ab...
void appendAlphabetic(std::u16string& out, std::int64_t number, char16_t first) {
  std::u16string letters;
  for (std::int64_t rest = number; rest > 0; rest = (rest - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char16_t>(first + (rest - 1) % 26));
  }
  out += letters;
}

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
  // Letters and numerals have no zero or negatives; such items count in decimal.
  const bool positive = itemNumber > 0;
  if (token == u"decimal" || token == u"octal" || token == u"hexadecimal") {
    appendDecimal(out, itemNumber);
  } else if ((token == u"lower-alpha" || token == u"lower-latin") && positive) {
    appendAlphabetic(out, itemNumber, u'a');
  } else if ((token == u"upper-alpha" || token == u"upper-latin") && positive) {
    appendAlphabetic(out, itemNumber, u'A');
  } else if (token == u"lower-roman" && positive && itemNumber < 4000) {
    appendRoman(out, itemNumber, false);
  } else if (token == u"upper-roman" && positive && itemNumber < 4000) {
    appendRoman(out, itemNumber, true);
  } else if (token == u"lower-alpha" || token == u"upper-alpha" || token == u"lower-latin" ||
             token == u"upper-latin" || token == u"lower-roman" || token == u"upper-roman") {
    appendDecimal(out, itemNumber);
  } else {
    return false;
  }
  return true;
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
