#pragma once

#include "richtext/attributed_string.h"

/// Text colours between fixed black and the dynamic text colour that follows the appearance.
/// The two directions are not exact inverses: uncoloured text becomes the text colour on the
/// way in and black on the way back.
namespace zv::richtext::dynamic_colors {

/// A new text in which black and uncoloured text has the dynamic text colour; text keeps its
/// colours.
AttributedString attributedStringConvertedToDynamicColors(const AttributedString& text);
/// A new text in which text in the dynamic text colour is black; text keeps its colours.
AttributedString attributedStringConvertedFromDynamicColors(const AttributedString& text);

/// Black and uncoloured runs get the dynamic text colour; other colours stay.
void convertToDynamicColors(MutableAttributedString& text);
/// Runs in the dynamic text colour get black; uncoloured runs and other colours stay.
void convertFromDynamicColors(MutableAttributedString& text);

/// The dynamic label colour for all text in range; a background colour stays only on runs whose
/// first character carries a true "QNTHighlight" mark. Unlike formatting::cleanupTextColorsInRange,
/// which removes every background colour.
void cleanupTextColorsInRange(MutableAttributedString& text, Range range);

}  // namespace zv::richtext::dynamic_colors
