#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/url.h"

namespace zv::weblink {

/// The address of the page itself when the URL is a browser's reader view of it: a
/// "safari-reader" URL becomes the same URL with the scheme "http"; an "about:reader" URL
/// becomes the page address in its first "url" query item, or nothing when that item has no
/// value or holds no "http" or "https" address. Every other URL, file URLs included, comes back
/// unchanged.
std::optional<platform::URL> URLCleanedForImport(const platform::URL& url);

/// True when the URL's fragment carries a text-fragment directive of one to four parts.
bool containsHighlightedText(const platform::URL& url);

/// The parts of the URL's text-fragment directive in order, percent-decoded; empty when the
/// fragment carries no directive or an empty one. A part whose escapes decode to no valid UTF-8
/// is kept as it stands in the URL. The number of parts is not checked.
std::vector<std::u16string> highlightedTextComponents(const platform::URL& url);

/// The passage of the page's text that the URL's text-fragment directive highlights: from the
/// start text to the end text, located after the prefix and before the suffix when the directive
/// names them. A directive of a start text alone gives that text without searching. Nothing when
/// there is no directive or the passage is not found.
std::optional<std::u16string> highlightedTextFromString(const platform::URL& url,
                                                        std::u16string_view text);

/// True when the URL's host is the given host or lies inside it, label by label from the right
/// and ignoring case: "a.b.c" matches "b.c" and "A.B.C" but not "xb.c" or "c.b". One final dot,
/// on either host, is ignored ("a.b.c." is "a.b.c"). A URL without a host matches nothing.
bool matchesHost(const platform::URL& url, std::u16string_view host);

}  // namespace zv::weblink
