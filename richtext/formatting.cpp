#include "richtext/formatting.h"

#include <cmath>
#include <optional>
#include <string>
#include <variant>

namespace zv::richtext::formatting {

namespace {

Range wholeRange(const AttributedString& text) {
  return {0, text.length()};
}

// The family to move runs to: a font made by hand knows only its face, so ask for the face.
std::u16string familyOfFont(const FontManager& manager, const Font& font) {
  if (!font.family.empty()) {
    return font.family;
  }
  if (std::optional<Font> found = manager.fontWithName(font.name, font.pointSize)) {
    if (!found->family.empty()) {
      return found->family;
    }
  }
  return font.name;
}

}  // namespace

namespace {

Font movedFont(const FontManager& manager, std::u16string_view family, const Font& font,
               const Font* own, bool preservingPointSize) {
  FontTraitMask traits = 0;
  double weight = kFontWeightRegular;
  double size = font.pointSize;
  if (own != nullptr) {
    traits = manager.traitsOfFont(*own);
    weight = manager.weightOfFont(*own);
    if (preservingPointSize) {
      size = own->pointSize;
    }
  }
  if (std::optional<Font> moved = manager.fontWithFamily(family, traits, weight, size)) {
    return *moved;
  }
  Font fallback = font;
  fallback.pointSize = size;
  return fallback;
}

}  // namespace

Font fontChangedTo(const Font& font, const Font* own, bool preservingPointSize) {
  const FontManager& manager = sharedFontManager();
  return movedFont(manager, familyOfFont(manager, font), font, own, preservingPointSize);
}

void changeFont(MutableAttributedString& text, const Font& font, bool preservingPointSize,
                Range range) {
  const FontManager& manager = sharedFontManager();
  const std::u16string family = familyOfFont(manager, font);
  text.enumerateAttribute(
      NSFontAttributeName, range, [&](const AttributeValue* value, Range run, bool&) {
        const Font* own = value != nullptr ? std::get_if<Font>(value) : nullptr;
        text.addAttribute(NSFontAttributeName,
                          movedFont(manager, family, font, own, preservingPointSize), run);
      });
}

void cleanupTextColorsInRange(MutableAttributedString& text, Range range) {
  // Setting the colour over the whole range is what giving each colour run the label colour
  // amounts to, in one edit.
  text.addAttribute(NSForegroundColorAttributeName, Color::labelColor(), range);
  text.removeAttribute(NSBackgroundColorAttributeName, range);
}

void scaleWithFactor(MutableAttributedString& text, double factor) {
  if (!std::isfinite(factor) || factor <= 0) {
    return;
  }
  text.enumerateAttribute(NSFontAttributeName, wholeRange(text),
                          [&](const AttributeValue* value, Range run, bool&) {
                            const Font* own = value != nullptr ? std::get_if<Font>(value) : nullptr;
                            if (own == nullptr) {
                              return;
                            }
                            Font scaled = *own;
                            // std::round rounds halves away from zero.
                            scaled.pointSize = std::round(own->pointSize * factor);
                            text.addAttribute(NSFontAttributeName, scaled, run);
                          });
  text.enumerateAttribute(NSParagraphStyleAttributeName, wholeRange(text),
                          [&](const AttributeValue* value, Range run, bool&) {
                            const ParagraphStyle* style =
                                value != nullptr ? std::get_if<ParagraphStyle>(value) : nullptr;
                            if (style == nullptr) {
                              return;
                            }
                            text.addAttribute(NSParagraphStyleAttributeName,
                                              style->scaledParagraphStyle(factor), run);
                          });
}

}  // namespace zv::richtext::formatting
