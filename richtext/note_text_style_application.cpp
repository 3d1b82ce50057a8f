#include "richtext/note_text_style_application.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/log.h"
#include "richtext/formatting.h"

namespace zv::richtext {

namespace {

Range wholeRange(const AttributedString& text) {
  return {0, text.length()};
}

template <typename T>
const T* valueOf(const Attributes& attributes, std::u16string_view key) {
  const auto found = attributes.find(key);
  return found != attributes.end() ? std::get_if<T>(&found->second) : nullptr;
}

template <typename T>
const T* valueOf(const AttributeValue* value) {
  return value != nullptr ? std::get_if<T>(value) : nullptr;
}

bool isBlockQuote(const PresentationIntent* intent) {
  return intent != nullptr && intent->kind() == PresentationIntent::Kind::kBlockQuote;
}

// The identifier a style tags its text with, or nothing (after saying so) when it has none.
std::optional<std::u16string> identifierForTagging(const QNTNoteTextStyle& style) {
  std::optional<std::u16string> identifier = style.identifier();
  if (!identifier) {
    platform::log(u"Refusing to apply a note text style without an identifier");
  }
  return identifier;
}

void replaceAttributesWithStyle(MutableAttributedString& text, const QNTNoteTextStyle& style,
                                Range range) {
  text.enumerateAttributesInRange(range, [&](const Attributes& attributes, Range run, bool&) {
    text.setAttributes(style.attributesWithOtherAttributes(attributes, false), run);
  });
}

QNTNoteTextStylePtr styleForTag(const AttributeValue* value) {
  const std::u16string* identifier = valueOf<std::u16string>(value);
  return identifier != nullptr ? QNTNoteTextStyle::styleWithIdentifier(*identifier) : nullptr;
}

}  // namespace

void applyStyle(MutableAttributedString& text, const QNTNoteTextStyle& style, Range range) {
  if (!identifierForTagging(style)) {
    return;
  }
  replaceAttributesWithStyle(text, style, range);
}

void applyFontColorsAndSpacingFromStyle(MutableAttributedString& text,
                                        const QNTNoteTextStyle& style, Range range) {
  const std::optional<std::u16string> identifier = identifierForTagging(style);
  if (!identifier) {
    return;
  }
  // The background first: it depends on no attribute the other steps change.
  text.enumerateAttribute(
      NSBackgroundColorAttributeName, range, [&](const AttributeValue* value, Range run, bool&) {
        if (value == nullptr) {
          return;
        }
        // The mark's presence at the run's start decides for the whole run.
        if (text.attributeAtIndex(QNTHighlightAttributeName, run.location) == nullptr) {
          text.removeAttribute(NSBackgroundColorAttributeName, run);
        }
      });
  // Font, colour, spacing, block kind and tag in one edit per run: each is decided by the
  // run's own attributes alone, and one rebuilt dictionary per run costs far less than five.
  const Font font = style.font();
  const Color color = style.foregroundColor();
  const ParagraphStyle spacing = style.paragraphStyle();
  const std::optional<PresentationIntent>& intent = style.presentationIntent();
  text.enumerateAttributesInRange(range, [&](const Attributes& attributes, Range run, bool&) {
    Attributes changed = attributes;
    changed.insert_or_assign(
        NSFontAttributeName,
        formatting::fontChangedTo(font, valueOf<Font>(attributes, NSFontAttributeName), false));
    changed.insert_or_assign(NSForegroundColorAttributeName, color);
    if (const ParagraphStyle* own =
            valueOf<ParagraphStyle>(attributes, NSParagraphStyleAttributeName)) {
      ParagraphStyle adjusted = *own;
      adjusted.applyLineSpacingFromStyle(spacing);
      changed.insert_or_assign(NSParagraphStyleAttributeName, std::move(adjusted));
    }
    if (intent) {
      changed.insert_or_assign(NSPresentationIntentAttributeName, *intent);
    } else {
      changed.erase(std::u16string(NSPresentationIntentAttributeName));
    }
    changed.insert_or_assign(QNTNoteTextStyleIdentifierAttributeName, *identifier);
    text.setAttributes(changed, run);
  });
}

void applyFontColorsAndSpacingFromStyle(MutableAttributedString& text,
                                        const QNTNoteTextStyle& style) {
  applyFontColorsAndSpacingFromStyle(text, style, wholeRange(text));
}

void identifyAndApplyMatchingStylesDefaultingToBody(
    MutableAttributedString& text, bool defaultingToBody,
    std::span<const QNTNoteTextStylePtr> candidates) {
  const FontManager& fonts = sharedFontManager();
  const PresentationIntent freshBlockQuote = PresentationIntent::blockQuote(0, nullptr);
  text.enumerateAttributesInRange(wholeRange(text), [&](const Attributes& runAttributes, Range run,
                                                        bool&) {
    // A copy: the dictionary the visitor got goes away with the first change.
    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization)
    const Attributes attributes = runAttributes;
    const PresentationIntent* intent =
        valueOf<PresentationIntent>(attributes, NSPresentationIntentAttributeName);
    const bool wasBlockQuote = isBlockQuote(intent);

    QNTNoteTextStylePtr matched;
    if (!attributes.contains(NSAttachmentAttributeName)) {
      Attributes withoutLayout = attributes;
      withoutLayout.erase(std::u16string(NSParagraphStyleAttributeName));
      for (const QNTNoteTextStylePtr& candidate : candidates) {
        if (candidate != nullptr && candidate->matchesAttributes(withoutLayout)) {
          matched = candidate;
          break;
        }
      }
    }
    if (matched != nullptr) {
      if (const std::optional<std::u16string> identifier = matched->identifier()) {
        if (QNTNoteTextStylePtr current = QNTNoteTextStyle::styleWithIdentifier(*identifier)) {
          matched = std::move(current);
        }
      }
      applyStyle(text, *matched, run);
      if (wasBlockQuote) {
        text.addAttribute(NSPresentationIntentAttributeName, freshBlockQuote, run);
      }
      return;
    }

    const ParagraphStyle* paragraph =
        valueOf<ParagraphStyle>(attributes, NSParagraphStyleAttributeName);
    const Font* font = valueOf<Font>(attributes, NSFontAttributeName);
    if (font != nullptr && (fonts.traitsOfFont(*font) & kFixedPitchFontMask) != 0) {
      if (paragraph != nullptr && !paragraph->textLists.empty()) {
        const TextList& innermost = paragraph->textLists.back();
        const std::u16string marker =
            u"\t" + innermost.markerForItemNumber(innermost.startingItemNumber) + u"\t";
        if (std::u16string_view(text.string()).substr(run.location, run.length) == marker) {
          applyStyle(text, *QNTNoteTextStyle::bodyNoteTextStyle(), run);
          return;
        }
      }
      applyFontColorsAndSpacingFromStyle(text, *QNTNoteTextStyle::monospacedNoteTextStyle(), run);
      return;
    }

    std::int64_t headerLevel = 0;
    if (intent != nullptr) {
      headerLevel = intent->headerLevel();
    } else if (paragraph != nullptr) {
      headerLevel = paragraph->headerLevel;
    }
    if (headerLevel >= 1) {
      if (QNTNoteTextStylePtr header =
              QNTNoteTextStyle::styleForParagraphHeaderLevel(headerLevel)) {
        applyStyle(text, *header, run);
        return;
      }
    }
    if (defaultingToBody) {
      applyFontColorsAndSpacingFromStyle(text, *QNTNoteTextStyle::bodyNoteTextStyle(), run);
    }
    if (wasBlockQuote) {
      text.addAttribute(NSPresentationIntentAttributeName, freshBlockQuote, run);
    }
  });
  fixTextListsInRange(text, wholeRange(text));
}

void identifyAndApplyMatchingStylesDefaultingToBody(MutableAttributedString& text,
                                                    bool defaultingToBody) {
  const std::vector<QNTNoteTextStylePtr> styles = QNTNoteTextStyle::allStyles();
  identifyAndApplyMatchingStylesDefaultingToBody(text, defaultingToBody, styles);
}

void fixTextListsInRange(MutableAttributedString& text, Range range) {
  text.enumerateAttribute(NSParagraphStyleAttributeName, range,
                          [&](const AttributeValue* value, Range run, bool&) {
                            const ParagraphStyle* own = valueOf<ParagraphStyle>(value);
                            if (own == nullptr || own->textLists.empty()) {
                              return;
                            }
                            ParagraphStyle listed = ParagraphStyle::listParagraphStyle();
                            listed.textLists = own->textLists;
                            text.addAttribute(NSParagraphStyleAttributeName, listed, run);
                          });
}

void updateNoteStyles(MutableAttributedString& text) {
  text.enumerateAttribute(QNTNoteTextStyleIdentifierAttributeName, wholeRange(text),
                          [&](const AttributeValue* value, Range run, bool&) {
                            if (const QNTNoteTextStylePtr style = styleForTag(value)) {
                              replaceAttributesWithStyle(text, *style, run);
                            }
                          });
}

void updateFixedAttributesOfNoteStyles(MutableAttributedString& text) {
  std::vector<std::pair<Range, PresentationIntent>> blockQuotes;
  std::vector<std::pair<Range, PresentationIntent>> codeBlocks;
  text.enumerateAttribute(NSPresentationIntentAttributeName, wholeRange(text),
                          [&](const AttributeValue* value, Range run, bool&) {
                            const PresentationIntent* intent = valueOf<PresentationIntent>(value);
                            if (intent == nullptr) {
                              return;
                            }
                            if (intent->kind() == PresentationIntent::Kind::kBlockQuote) {
                              blockQuotes.emplace_back(run, *intent);
                            } else if (intent->kind() == PresentationIntent::Kind::kCodeBlock) {
                              codeBlocks.emplace_back(run, *intent);
                            }
                          });
  const Color bodyColor = QNTNoteTextStyle::bodyNoteTextStyle()->foregroundColor();
  text.enumerateAttribute(QNTNoteTextStyleIdentifierAttributeName, wholeRange(text),
                          [&](const AttributeValue* value, Range run, bool&) {
                            if (value == nullptr) {
                              text.addAttribute(NSForegroundColorAttributeName, bodyColor, run);
                            } else if (const QNTNoteTextStylePtr style = styleForTag(value)) {
                              applyFontColorsAndSpacingFromStyle(text, *style, run);
                            }
                          });
  for (const auto& [range, intent] : blockQuotes) {
    text.addAttribute(NSPresentationIntentAttributeName, intent, range);
  }
  for (const auto& [range, intent] : codeBlocks) {
    text.addAttribute(NSPresentationIntentAttributeName, intent, range);
  }
}

}  // namespace zv::richtext
