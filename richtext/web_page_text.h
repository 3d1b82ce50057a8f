#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/user_defaults.h"
#include "richtext/attributed_string.h"
#include "richtext/font.h"

/// Clean-up of rich text taken from a web page before it becomes note text.
namespace zv::richtext::web_page_text {

/// User-defaults switches of cleanupWebPageText; a missing key reads as false.
inline constexpr char16_t QNTCleanUpWebPageNewLinesKey[] = u"QNTCleanUpWebPageNewLines";
inline constexpr char16_t QNTCleanUpWebPageFontSizesKey[] = u"QNTCleanUpWebPageFontSizes";
inline constexpr char16_t QNTCleanUpWebPageColorsKey[] = u"QNTCleanUpWebPageColors";

/// The whole clean-up driven by the three switches read from defaults (the standard user
/// defaults when null) at each call: see the overload.
void cleanupWebPageText(MutableAttributedString& text, platform::UserDefaults* defaults = nullptr);
/// The whole clean-up with the switches given: cleanupTextFromWebPageInRange over the whole text
/// with the body note text style's font, then the tabs and space separators (Unicode category
/// Zs, so also no-break spaces, which web pages are full of) at both ends are deleted. Line ends
/// are not trimmed.
void cleanupWebPageText(MutableAttributedString& text, bool newlines, bool sizes, bool colors);

/// In this order: with newlines, cleanupHTMLNewlinesInRange, the later steps then working on
/// the range it answers; with newFont, its family for every run, sizes and traits kept; with
/// sizes, adjustWebPageFontSizesInRange; with colors, formatting::cleanupTextColorsInRange.
void cleanupTextFromWebPageInRange(MutableAttributedString& text, Range range,
                                   const std::optional<Font>& newFont, bool newlines, bool sizes,
                                   bool colors);

/// Every font in range at three quarters of its size, rounded up (16 gives 12, 13 gives 10).
void adjustWebPageFontSizesInRange(MutableAttributedString& text, Range range);

/// Gives a text list to lines of list-laid-out paragraphs (isListParagraphStyle, no text list)
/// that begin with a marker between tabs: "\t•\t" a disc list, "\t-\t" a hyphen list,
/// "\tN.\t" (N from 1 to 999, no leading zero, some text after it) a decimal list starting at
/// N. The marker stays in the text; a line already in a list is left alone.
void checkForTextListsAndConvertIfNecessary(MutableAttributedString& text);

/// Unifies the line breaks of text taken from HTML inside range, by these rules, applied in
/// one pass from the start of the range:
///   - CR LF becomes LF; a lone CR becomes LF;
///   - U+2028 (line separator) and U+2029 (paragraph separator) become LF;
///   - of three or more LFs in a row (after the above), only two stay: one blank line at most.
/// Only characters inside range are changed, and LFs outside it do not count towards a row; a
/// CR that ends the range and is followed by a LF outside it is deleted, so that the pair stays
/// one break instead of becoming a blank line. Every character kept keeps its own attributes (a CR
/// LF pair keeps the CR's). Answers the range the same stretch of text covers afterwards: same
/// location, new length.
Range cleanupHTMLNewlinesInRange(MutableAttributedString& text, Range range);

/// The rule of cleanupHTMLNewlinesInRange on a plain string.
std::u16string htmlNewlinesCleanedUp(std::u16string_view text);

}  // namespace zv::richtext::web_page_text
