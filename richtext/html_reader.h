#pragma once

#include <cstdint>
#include <span>

#include "platform/result.h"
#include "platform/url.h"
#include "richtext/attributed_string.h"

namespace zv::richtext {

/// Domain of the failures of attributedStringFromHTML and attributedStringFromWebArchive.
inline constexpr char16_t kHTMLReaderErrorDomain[] = u"ZVHTMLReaderErrorDomain";

/// Every code of kHTMLReaderErrorDomain.
enum class HTMLReaderErrorCode : std::int64_t {
  /// The document is larger than we are willing to read.
  kTooLarge = 1,
  /// The web archive is damaged or has no main resource with data.
  kNotWebArchive = 2,
  /// The web archive's main resource is no HTML.
  kNotHTML = 3,
  /// Elements are nested deeper than any sound page needs.
  kNestedTooDeeply = 4,
};

/// Reads an HTML document into an attributed string, as the platform's HTML import shows it.
/// Text is set in "Times" 12 pt unless inline styles (font-family, font-size in px, pt, em, %
/// or keywords, font-weight, font-style, text-decoration, color, background-color) or the
/// elements (b, strong, i, em, u, s, strike, del, code, pre, font, headings) say otherwise.
/// Blocks (paragraphs, divisions, list items, headings, table rows...) end with a line feed
/// and <br> is one; whitespace collapses as a browser collapses it, except inside <pre>.
/// Headings are bold and larger, with the level as their paragraph style's header level. List
/// items get the list paragraph style with one text list per enclosing list ("{disc}" for <ul>,
/// "{decimal}." for <ol>, outermost first), and their marker between tabs ("\t•\t", "\t2.\t")
/// as their text's start. Links get their address resolved against baseURL (and <base>) as a
/// URL, or as it stands as a string when it resolves to none; javascript: links are dropped.
/// The bytes are UTF-8 unless a byte-order mark or a <meta> charset says otherwise. Head,
/// scripts, styles and other content a page does not show as text are left out. A page whose
/// elements nest deeper than 512 levels is refused: the parser's cost grows with the depth for
/// every element, so such a page could take minutes.
platform::Result<AttributedString> attributedStringFromHTML(std::span<const std::uint8_t> html,
                                                            const platform::URL* baseURL);

/// Reads the main resource of a web archive through attributedStringFromHTML, in the text
/// encoding the resource names (UTF-8 when it names none) and with its URL as the base.
platform::Result<AttributedString> attributedStringFromWebArchive(
    std::span<const std::uint8_t> bytes);

}  // namespace zv::richtext
