#pragma once

#include <span>

#include "richtext/attributed_string.h"
#include "richtext/note_text_style.h"

/// Puts note text styles onto rich text and keeps styled text current. Every run a style
/// touches is tagged with "QNTNoteTextStyleIdentifier"; none of these operations changes the
/// characters or the length of the text.
///
/// A style without an identifier (only a hand-made style outside the catalogue can lack one)
/// cannot tag its text: applyStyle and applyFontColorsAndSpacingFromStyle refuse it with a log
/// line and leave the text unchanged.
///
/// Paragraph styles here carry no text blocks (our readers make no table cells), so the
/// clearing of text blocks when spacing is applied has nothing to clear.
namespace zv::richtext {

/// Replaces the attributes of every run in range with the style's attributes plus the run's
/// allowed extras (and, for a character style, its own paragraph style).
void applyStyle(MutableAttributedString& text, const QNTNoteTextStyle& style, Range range);

/// The style's font family and size (traits and weight kept), foreground colour, line spacing
/// and presentation intent over range; background colours survive only on runs that begin with
/// a "QNTHighlight" mark; the range is tagged with the style's identifier. Underline,
/// strikethrough and other attributes are left alone.
void applyFontColorsAndSpacingFromStyle(MutableAttributedString& text,
                                        const QNTNoteTextStyle& style, Range range);
void applyFontColorsAndSpacingFromStyle(MutableAttributedString& text,
                                        const QNTNoteTextStyle& style);

/// Identifies the style of every run among candidates, in their order, and applies it; runs
/// that match none get list markers, code, headers, and (with defaultingToBody) the body style
/// as the rules of note text have it; block quotes stay block quotes. Ends with
/// fixTextListsInRange over the whole text.
void identifyAndApplyMatchingStylesDefaultingToBody(
    MutableAttributedString& text, bool defaultingToBody,
    std::span<const QNTNoteTextStylePtr> candidates);
/// The same, choosing among QNTNoteTextStyle::allStyles().
void identifyAndApplyMatchingStylesDefaultingToBody(MutableAttributedString& text,
                                                    bool defaultingToBody);

/// Gives every paragraph in range that has text lists the standard list paragraph style with
/// those lists.
void fixTextListsInRange(MutableAttributedString& text, Range range);

/// Re-applies, wholly, the current style of every tagged run; tags naming no style are skipped.
void updateNoteStyles(MutableAttributedString& text);

/// Re-applies the font, colours and spacing of the current style of every tagged run, gives
/// untagged runs the body colour, and puts block-quote and code-block intents back.
void updateFixedAttributesOfNoteStyles(MutableAttributedString& text);

}  // namespace zv::richtext
