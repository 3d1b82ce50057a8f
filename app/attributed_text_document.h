#pragma once

#include <QColor>
#include <QTextCharFormat>
#include <QTextDocument>

#include "richtext/attributed_string.h"

namespace zv::app {

/// The character format of one run: its font (family from the face name, bold and italic from
/// the face's variant as in "Helvetica-BoldOblique", the point size) and underline. The run's
/// own colour is ignored: every run gets textColor, so the text follows the window's palette.
QTextCharFormat charFormatForAttributes(const richtext::Attributes& attributes,
                                        const QColor& textColor);

/// Replaces the document's content by the text, run by run, in textColor.
void setAttributedStringOnDocument(QTextDocument& document, const richtext::AttributedString& text,
                                   const QColor& textColor);

}  // namespace zv::app
