#pragma once

#include <cstdint>
#include <vector>

#include "platform/result.h"
#include "richtext/attributed_string.h"

namespace zv::richtext {

/// Writes the text as an RTF document that common word processors open: fonts (a face's bold
/// and italic, from its traits or its name's "-Bold", "-Italic" or "-BoldItalic", become \b and
/// \i on the family), sizes, foreground and background colours, underline and strikethrough,
/// links (HYPERLINK fields), and paragraph styles (alignment, spacing, indents, tab stops,
/// header level as outline level, text lists in a list table). A list item whose text begins
/// with its marker between tabs ("\t•\t") has that marker written for readers without lists,
/// which attributedStringFromRTF reads back as text. Line feeds end paragraphs; characters
/// outside ASCII are written as \u with a Windows-1252 or "?" fallback.
///
/// attributedStringFromRTF gives back equal runs for text whose every run has a font named by
/// its family or with one of those suffixes, colours with 8-bit components in the calibrated
/// space, underline and strikethrough styles the reader gives (1, 2, 9), and paragraph styles
/// made of the fields above in twentieths of a point. What RTF cannot carry is written as the
/// nearest it can: a dynamic colour as the automatic colour, a font of size 0 at the standard
/// size, a NUL character not at all.
platform::Result<std::vector<std::uint8_t>> rtfDataFromAttributedString(
    const AttributedString& text);

}  // namespace zv::richtext
