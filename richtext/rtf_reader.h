#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"
#include "richtext/attributed_string.h"

namespace zv::richtext {

/// Domain of the failures of attributedStringFromRTF.
inline constexpr char16_t kRTFReaderErrorDomain[] = u"ZVRTFReaderErrorDomain";

/// Every code of kRTFReaderErrorDomain.
enum class RTFReaderErrorCode : std::int64_t {
  /// The bytes do not begin with "{\rtf".
  kNotRTF = 1,
  /// A control word, parameter or escape is damaged (see the description).
  kMalformed = 2,
  /// The document is larger than we are willing to read.
  kTooLarge = 3,
  /// Groups are nested deeper than any sound document needs.
  kNestedTooDeeply = 4,
};

/// Reads an RTF document into an attributed string: the text with its fonts (face and size,
/// bold and italic as the face's variants and traits), foreground and background colours
/// (\cb, \highlight), underlines and strikethrough, links (HYPERLINK fields: a URL when the
/// target parses as an absolute one, else the target as a string), and paragraph styles
/// (alignment, spacing, indents, tab stops, text lists from the list table or the older \pn
/// numbering, and the outline level as header level); paragraphs and line breaks end with a line
/// feed. A paragraph's settings as they stand at its end hold for the whole paragraph, its line
/// feed included; a paragraph whose settings are all the defaults gets no paragraph style.
/// Measurements in twips become points (1/20). A list item's marker text written for readers
/// without lists ({\listtext}) stays in the text, as the platform keeps it; the marker of the
/// older numbering ({\pntext}) does not. Unknown control words and destinations are skipped; a
/// document nested too deeply or too large is an error, never a crash.
///
/// Every run carries a font. Its name is the font table's name as it stands for upright,
/// regular text; for bold or italic text a style suffix that the name already carries ("-Bold",
/// "-Italic", "-Oblique", "-BoldItalic", "-BoldOblique", "-Roman", "-Regular") is taken off
/// and its weight and slant are joined with the current ones, and then "-Bold", "-Italic" or
/// "-BoldItalic" is appended, so "Helvetica" with bold and italic becomes
/// "Helvetica-BoldItalic". A text without a font table is set in "Helvetica"; sizes default to
/// 12 points. Groups left open when the input ends are closed there, and anything after the
/// outermost group is ignored. Colour number 0 is the automatic colour (no colour attribute)
/// when the colour table's first entry is empty, as writers make it.
platform::Result<AttributedString> attributedStringFromRTF(std::span<const std::uint8_t> rtf);

}  // namespace zv::richtext
