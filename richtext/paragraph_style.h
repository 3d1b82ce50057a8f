#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zv::richtext {

/// Text alignment with the platform's (macOS) archived values.
enum class TextAlignment : std::int64_t {
  kLeft = 0,
  kRight = 1,
  kCenter = 2,
  kJustified = 3,
  kNatural = 4,
};

struct TextTab {
  TextAlignment alignment = TextAlignment::kLeft;
  double location = 0;

  friend bool operator==(const TextTab&, const TextTab&) = default;
};

/// A text list: a marker format such as "{disc}", "{hyphen}" or "{decimal}" and the number of
/// its first item.
struct TextList {
  static constexpr char16_t kMarkerDisc[] = u"{disc}";
  static constexpr char16_t kMarkerHyphen[] = u"{hyphen}";
  static constexpr char16_t kMarkerDecimal[] = u"{decimal}";

  std::u16string markerFormat;
  std::int64_t startingItemNumber = 1;

  /// The marker text of an item: each "{token}" of the format replaced by its marker ("{disc}"
  /// gives "•", "{hyphen}" "-", "{decimal}." for item 3 "3."; also circle, square, check,
  /// diamond, box, octal, lower-/upper-hexadecimal, -alpha, -latin and -roman; letters and
  /// numerals count in decimal where they cannot count); tokens we do not know and the rest of
  /// the format stay as written.
  std::u16string markerForItemNumber(std::int64_t itemNumber) const;

  friend bool operator==(const TextList&, const TextList&) = default;
};

/// The layout of a paragraph.
struct ParagraphStyle {
  TextAlignment alignment = TextAlignment::kNatural;
  double lineSpacing = 0;
  double paragraphSpacing = 0;
  double paragraphSpacingBefore = 0;
  double lineHeightMultiple = 0;
  double minimumLineHeight = 0;
  double maximumLineHeight = 0;
  double headIndent = 0;
  double firstLineHeadIndent = 0;
  double tailIndent = 0;
  std::vector<TextTab> tabStops;
  double defaultTabInterval = 0;
  std::vector<TextList> textLists;
  /// 0 for a paragraph that is not a header, 1 and up for a header's level.
  std::int64_t headerLevel = 0;

  friend bool operator==(const ParagraphStyle&, const ParagraphStyle&) = default;

  /// The platform's default paragraph style: natural alignment, twelve left tab stops every 28
  /// points (28 to 336), default tab interval 0, everything else 0 or empty.
  static const ParagraphStyle& defaultParagraphStyle();
  /// The standard paragraph style of list paragraphs: the default style with left tab stops at
  /// 11 (the marker) and 36 (the item's text), head indent 36, first-line head indent 0 and a
  /// default tab interval of 36; no text list (the caller gives it its lists).
  static ParagraphStyle listParagraphStyle();

  /// Rules shared by the comparisons below: measurements are equal within 0.001 points (so a
  /// layout that went through 32-bit floats still matches); tab stops compare in order by
  /// alignment and location; text lists and header level compare exactly.
  ///
  /// The same paragraph layout: alignment, every measurement, tab stops, default tab interval,
  /// text lists and header level.
  bool isEqualToParagraphStyle(const ParagraphStyle& other) const;
  /// The same vertical spacing: line spacing, paragraph spacing after and before, line height
  /// multiple, minimum and maximum line height. Indents, tabs, lists and header level are not
  /// looked at. True for every pair that isEqualToParagraphStyle accepts.
  bool lineSpacingMatchesStyle(const ParagraphStyle& other) const;
  /// Takes over exactly the fields lineSpacingMatchesStyle compares, so that afterwards the two
  /// match; the rest of this style stays.
  void applyLineSpacingFromStyle(const ParagraphStyle& other);
  /// Laid out as a list: it has a text list, or (as a list pasted from elsewhere) its lines hang
  /// at a head indent deeper than the first line's and a tab stop stands at that head indent.
  bool isListParagraphStyle() const;
  /// A copy whose lengths are multiplied by factor: spacings, minimum and maximum line height,
  /// indents (a negative tail indent stays measured from the trailing margin), tab stop
  /// locations and the default tab interval. The line height multiple is a ratio and stays. A
  /// factor that is not a positive finite number gives an unchanged copy.
  ParagraphStyle scaledParagraphStyle(double factor) const;
};

}  // namespace zv::richtext
