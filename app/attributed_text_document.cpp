#include "app/attributed_text_document.h"

#include <QTextCursor>
#include <string_view>
#include <variant>

namespace zv::app {
namespace {

struct Face {
  QString family;
  bool bold = false;
  bool italic = false;
};

// PostScript-style names put the variant after the last hyphen: "Helvetica-BoldOblique".
Face faceFromName(std::u16string_view name) {
  const QString full = QString::fromUtf16(name.data(), static_cast<qsizetype>(name.size()));
  const qsizetype hyphen = full.lastIndexOf(QLatin1Char('-'));
  if (hyphen <= 0) {
    return Face{full};
  }
  const QString variant = full.mid(hyphen + 1);
  return Face{full.left(hyphen), variant.contains(QLatin1String("Bold"), Qt::CaseInsensitive),
              variant.contains(QLatin1String("Italic"), Qt::CaseInsensitive) ||
                  variant.contains(QLatin1String("Oblique"), Qt::CaseInsensitive)};
}

}  // namespace

QTextCharFormat charFormatForAttributes(const richtext::Attributes& attributes,
                                        const QColor& textColor) {
  QTextCharFormat format;
  format.setForeground(textColor);
  if (auto found = attributes.find(richtext::NSFontAttributeName); found != attributes.end()) {
    if (const auto* font = std::get_if<richtext::Font>(&found->second)) {
      const Face face = faceFromName(font->name);
      if (!face.family.isEmpty()) {
        format.setFontFamilies({face.family});
      }
      format.setFontWeight(face.bold ? QFont::Bold : QFont::Normal);
      format.setFontItalic(face.italic);
      if (font->pointSize > 0) {
        format.setFontPointSize(font->pointSize);
      }
    }
  }
  if (auto found = attributes.find(richtext::NSUnderlineStyleAttributeName);
      found != attributes.end()) {
    const auto* style = std::get_if<std::int64_t>(&found->second);
    format.setFontUnderline(style != nullptr && *style != 0);
  }
  return format;
}

void setAttributedStringOnDocument(QTextDocument& document, const richtext::AttributedString& text,
                                   const QColor& textColor) {
  document.clear();
  QTextCursor cursor(&document);
  const std::u16string& string = text.string();
  text.enumerateAttributesInRange({0, text.length()}, [&](const richtext::Attributes& attributes,
                                                          richtext::Range range, bool&) {
    const QString piece =
        QString::fromUtf16(string.data() + range.location, static_cast<qsizetype>(range.length));
    // insertText turns each line feed into a new paragraph.
    cursor.insertText(piece, charFormatForAttributes(attributes, textColor));
  });
}

}  // namespace zv::app
