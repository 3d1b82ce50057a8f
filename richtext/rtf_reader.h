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
/// bold and italic as the face's variants), foreground colours, underlines and strikethrough;
/// paragraphs and line breaks end with a line feed. Unknown control words and destinations are
/// skipped; a document nested too deeply or too large is an error, never a crash.
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
