#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"
#include "richtext/attributed_string.h"

namespace zv::richtext {

/// Reads an RTF document into an attributed string: the text with its fonts (face and size,
/// bold and italic as the face's variants), foreground colours and underlines; paragraphs end
/// with a line feed. Unknown control words and destinations are skipped; a document nested too
/// deeply or too large is an error, never a crash.
platform::Result<AttributedString> attributedStringFromRTF(std::span<const std::uint8_t> rtf);

}  // namespace zv::richtext
