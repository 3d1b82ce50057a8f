#pragma once

#include "richtext/attributed_string.h"
#include "richtext/font.h"

/// General formatting of rich text in place: font family changes, colour clean-up and scaling.
/// Used by the web-page clean-up and by applying note text styles.
namespace zv::richtext::formatting {

/// Moves every font run in range to font's family through sharedFontManager, keeping the run's
/// traits and weight; the size is the run's own when preservingPointSize, else font's. A run
/// without a font gets the family with no traits, regular weight and font's size. When the
/// family has no face to offer (not installed), the run gets font itself at that size, so the
/// text still ends up in the asked face. Only the font attribute changes.
void changeFont(MutableAttributedString& text, const Font& font, bool preservingPointSize,
                Range range);

/// The font changeFont gives a run whose font is own (null for a run without one).
Font fontChangedTo(const Font& font, const Font* own, bool preservingPointSize);

/// The label colour for all text in range, and no background colour there, highlighted text
/// included.
void cleanupTextColorsInRange(MutableAttributedString& text, Range range);

/// Every font size times factor, rounded to a whole number with halves away from zero, and
/// every paragraph style scaled by factor. A factor that is not a positive finite number
/// changes nothing: it could only produce negative or absurd sizes.
void scaleWithFactor(MutableAttributedString& text, double factor);

}  // namespace zv::richtext::formatting
