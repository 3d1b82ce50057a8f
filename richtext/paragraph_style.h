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

  /// The marker text of an item ("•", "-", "3."; the format itself for formats we do not know).
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

  /// The platform's default paragraph style (natural alignment, a tab stop every 28 points).
  static const ParagraphStyle& defaultParagraphStyle();
  /// The standard paragraph style of list paragraphs.
  static ParagraphStyle listParagraphStyle();

  bool isEqualToParagraphStyle(const ParagraphStyle& other) const;
  bool lineSpacingMatchesStyle(const ParagraphStyle& other) const;
  void applyLineSpacingFromStyle(const ParagraphStyle& other);
  bool isListParagraphStyle() const;
  ParagraphStyle scaledParagraphStyle(double factor) const;
};

}  // namespace zv::richtext
