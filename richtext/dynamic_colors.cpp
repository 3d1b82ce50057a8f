#include "richtext/dynamic_colors.h"

#include <cstdint>
#include <variant>

namespace zv::richtext::dynamic_colors {

namespace {

const Color* colorOf(const AttributeValue* value) {
  return value != nullptr ? std::get_if<Color>(value) : nullptr;
}

// A mark that is a number counts as true when not 0, as the platform reads booleans.
bool isHighlighted(const AttributeValue* mark) {
  if (mark == nullptr) {
    return false;
  }
  if (const bool* flag = std::get_if<bool>(mark)) {
    return *flag;
  }
  if (const std::int64_t* number = std::get_if<std::int64_t>(mark)) {
    return *number != 0;
  }
  if (const double* number = std::get_if<double>(mark)) {
    return *number != 0;
  }
  return false;
}

}  // namespace

void convertToDynamicColors(MutableAttributedString& text) {
  const Color black = Color::blackColor();
  const Color dynamicText = Color::textColor();
  text.enumerateAttribute(NSForegroundColorAttributeName, {0, text.length()},
                          [&](const AttributeValue* value, Range run, bool&) {
                            const Color* color = colorOf(value);
                            // A value that is no colour shows as default text: uncoloured.
                            if (color == nullptr || color->isEqualToColorQuennetVersion(black)) {
                              text.addAttribute(NSForegroundColorAttributeName, dynamicText, run);
                            }
                          });
}

void convertFromDynamicColors(MutableAttributedString& text) {
  const Color black = Color::blackColor();
  const Color dynamicText = Color::textColor();
  text.enumerateAttribute(
      NSForegroundColorAttributeName, {0, text.length()},
      [&](const AttributeValue* value, Range run, bool&) {
        const Color* color = colorOf(value);
        if (color != nullptr && color->isEqualToColorQuennetVersion(dynamicText)) {
          text.addAttribute(NSForegroundColorAttributeName, black, run);
        }
      });
}

AttributedString attributedStringConvertedToDynamicColors(const AttributedString& text) {
  MutableAttributedString copy(text);
  convertToDynamicColors(copy);
  return copy;
}

AttributedString attributedStringConvertedFromDynamicColors(const AttributedString& text) {
  MutableAttributedString copy(text);
  convertFromDynamicColors(copy);
  return copy;
}

void cleanupTextColorsInRange(MutableAttributedString& text, Range range) {
  text.addAttribute(NSForegroundColorAttributeName, Color::labelColor(), range);
  text.enumerateAttribute(
      NSBackgroundColorAttributeName, range, [&](const AttributeValue* value, Range run, bool&) {
        if (value != nullptr &&
            !isHighlighted(text.attributeAtIndex(QNTHighlightAttributeName, run.location))) {
          text.removeAttribute(NSBackgroundColorAttributeName, run);
        }
      });
}

}  // namespace zv::richtext::dynamic_colors
