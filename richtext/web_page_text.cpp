#include "richtext/web_page_text.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "richtext/formatting.h"
#include "richtext/note_text_style.h"
#include "richtext/paragraph_style.h"

namespace zv::richtext::web_page_text {

namespace {

constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kLineSeparator = u'\u2028';
constexpr char16_t kParagraphSeparator = u'\u2029';

// Calls emit(sourceIndex, character) for every character the newline rule keeps in
// text[begin, end), in order.
template <typename Emit>
void unifyNewlines(std::u16string_view text, std::size_t begin, std::size_t end, Emit emit) {
  std::size_t lineFeedsInRow = 0;
  for (std::size_t index = begin; index < end; ++index) {
    const std::size_t source = index;
    char16_t character = text[index];
    if (character == kCarriageReturn) {
      const bool pairedWithLineFeed = index + 1 < text.size() && text[index + 1] == kLineFeed;
      if (pairedWithLineFeed && index + 1 == end) {
        continue;  // the LF outside the range is the break
      }
      if (pairedWithLineFeed) {
        ++index;  // the CR stands for the pair
      }
      character = kLineFeed;
    } else if (character == kLineSeparator || character == kParagraphSeparator) {
      character = kLineFeed;
    }
    if (character == kLineFeed) {
      if (++lineFeedsInRow > 2) {
        continue;
      }
    } else {
      lineFeedsInRow = 0;
    }
    emit(source, character);
  }
}

bool isTrimmedWhitespace(char16_t character) {
  return character == u'\t' || u_charType(character) == U_SPACE_SEPARATOR;
}

void trimWhitespace(MutableAttributedString& text) {
  const std::u16string& string = text.string();
  std::size_t end = string.size();
  while (end > 0 && isTrimmedWhitespace(string[end - 1])) {
    --end;
  }
  text.deleteCharactersInRange({end, string.size() - end});
  std::size_t start = 0;
  while (start < text.length() && isTrimmedWhitespace(text.string()[start])) {
    ++start;
  }
  text.deleteCharactersInRange({0, start});
}

const ParagraphStyle* paragraphStyleOf(const AttributeValue* value) {
  return value != nullptr ? std::get_if<ParagraphStyle>(value) : nullptr;
}

bool isLineEnd(char16_t character) {
  return character == kLineFeed || character == kCarriageReturn || character == kLineSeparator ||
         character == kParagraphSeparator;
}

// The list a line's leading marker asks for, if any.
std::optional<TextList> listForLine(std::u16string_view line, icu::RegexMatcher& matcher) {
  if (line.starts_with(u"\t\u2022\t")) {
    return TextList{TextList::kMarkerDisc, 1};
  }
  if (line.starts_with(u"\t-\t")) {
    return TextList{TextList::kMarkerHyphen, 1};
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject(false, line.data(), static_cast<std::int32_t>(line.size()));
  matcher.reset(subject);
  if (!matcher.lookingAt(status) || U_FAILURE(status)) {
    return std::nullopt;
  }
  const std::int32_t matchEnd = matcher.end(status);
  if (U_FAILURE(status) || static_cast<std::size_t>(matchEnd) >= line.size()) {
    return std::nullopt;  // a marker with nothing after it is no list item
  }
  std::int64_t number = 0;
  for (const char16_t character : line.substr(0, static_cast<std::size_t>(matchEnd))) {
    if (character >= u'0' && character <= u'9') {
      number = number * 10 + (character - u'0');
    }
  }
  if (number < 1) {
    return std::nullopt;
  }
  return TextList{std::u16string(TextList::kMarkerDecimal) + u".", number};
}

}  // namespace

std::u16string htmlNewlinesCleanedUp(std::u16string_view text) {
  std::u16string result;
  result.reserve(text.size());
  unifyNewlines(text, 0, text.size(),
                [&](std::size_t, char16_t character) { result.push_back(character); });
  return result;
}

Range cleanupHTMLNewlinesInRange(MutableAttributedString& text, Range range) {
  range.location = std::min(range.location, text.length());
  range.length = std::min(range.length, text.length() - range.location);
  const std::u16string_view string = text.string();
  std::u16string cleaned;
  std::vector<std::size_t> sources;
  unifyNewlines(string, range.location, range.end(), [&](std::size_t source, char16_t character) {
    cleaned.push_back(character);
    sources.push_back(source);
  });
  if (cleaned == string.substr(range.location, range.length)) {
    return range;
  }
  // Rebuild the stretch run by run, so each kept character keeps its own attributes.
  MutableAttributedString replacement;
  std::size_t next = 0;
  text.enumerateAttributesInRange(range, [&](const Attributes& attributes, Range run, bool&) {
    const std::size_t first = next;
    while (next < sources.size() && sources[next] < run.end()) {
      ++next;
    }
    if (next > first) {
      replacement.appendString(std::u16string_view(cleaned).substr(first, next - first),
                               attributes);
    }
  });
  text.replaceCharactersInRange(range, replacement);
  return {range.location, replacement.length()};
}

void adjustWebPageFontSizesInRange(MutableAttributedString& text, Range range) {
  text.enumerateAttributesInRange(range, [&](const Attributes& attributes, Range run, bool&) {
    const auto found = attributes.find(NSFontAttributeName);
    if (found == attributes.end() || !std::holds_alternative<Font>(found->second)) {
      return;
    }
    Font smaller = std::get<Font>(found->second);
    smaller.pointSize = std::ceil(smaller.pointSize * 0.75);
    Attributes changed = attributes;
    changed[std::u16string(NSFontAttributeName)] = smaller;
    text.setAttributes(changed, run);
  });
}

void cleanupTextFromWebPageInRange(MutableAttributedString& text, Range range,
                                   const std::optional<Font>& newFont, bool newlines, bool sizes,
                                   bool colors) {
  if (newlines) {
    range = cleanupHTMLNewlinesInRange(text, range);
  }
  if (newFont) {
    formatting::changeFont(text, *newFont, true, range);
  }
  if (sizes) {
    adjustWebPageFontSizesInRange(text, range);
  }
  if (colors) {
    formatting::cleanupTextColorsInRange(text, range);
  }
}

void cleanupWebPageText(MutableAttributedString& text, bool newlines, bool sizes, bool colors) {
  const Font bodyFont = QNTNoteTextStyle::bodyNoteTextStyle()->font();
  cleanupTextFromWebPageInRange(text, {0, text.length()}, bodyFont, newlines, sizes, colors);
  trimWhitespace(text);
}

void cleanupWebPageText(MutableAttributedString& text, platform::UserDefaults* defaults) {
  platform::UserDefaults& store =
      defaults != nullptr ? *defaults : platform::UserDefaults::standardUserDefaults();
  const bool newlines = store.boolForKey(QNTCleanUpWebPageNewLinesKey);
  const bool sizes = store.boolForKey(QNTCleanUpWebPageFontSizesKey);
  const bool colors = store.boolForKey(QNTCleanUpWebPageColorsKey);
  cleanupWebPageText(text, newlines, sizes, colors);
}

void checkForTextListsAndConvertIfNecessary(MutableAttributedString& text) {
  std::vector<Range> candidates;
  text.enumerateAttribute(
      NSParagraphStyleAttributeName, {0, text.length()},
      [&](const AttributeValue* value, Range run, bool&) {
        const ParagraphStyle* style = paragraphStyleOf(value);
        if (style != nullptr && style->textLists.empty() && style->isListParagraphStyle()) {
          candidates.push_back(run);
        }
      });
  if (candidates.empty()) {
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
      icu::UnicodeString(u"^\t([1-9]|[1-9][0-9]|[1-9][0-9][0-9])\\.\t"), 0, status));
  if (U_FAILURE(status)) {
    return;
  }
  const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(icu::UnicodeString(), status));
  if (U_FAILURE(status)) {
    return;
  }
  for (const Range candidate : candidates) {
    std::size_t lineStart = candidate.location;
    while (lineStart < candidate.end()) {
      std::size_t lineEnd = lineStart;
      while (lineEnd < candidate.end() && !isLineEnd(text.string()[lineEnd])) {
        ++lineEnd;
      }
      const Range line{lineStart, lineEnd - lineStart};
      lineStart = lineEnd + 1;
      if (line.length == 0) {
        continue;
      }
      const ParagraphStyle* style =
          paragraphStyleOf(text.attributeAtIndex(NSParagraphStyleAttributeName, line.location));
      if (style == nullptr || !style->textLists.empty()) {
        continue;
      }
      std::optional<TextList> list = listForLine(
          std::u16string_view(text.string()).substr(line.location, line.length), *matcher);
      if (!list) {
        continue;
      }
      ParagraphStyle listed = *style;
      listed.textLists.push_back(std::move(*list));
      text.addAttribute(NSParagraphStyleAttributeName, listed, line);
    }
  }
}

}  // namespace zv::richtext::web_page_text
