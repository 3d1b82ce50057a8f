#include "text/file_name_extensions.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>

#include <cstdint>
#include <memory>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/unicode.h"
#include "text/character_sets.h"
#include "text/extension_visibility.h"
#include "text/string_extensions.h"

namespace zv::text {
namespace {

constexpr char16_t kEllipsis[] = u"\u2026";
constexpr char16_t kObjectReplacementCharacter = u'\uFFFC';
constexpr std::size_t kEllipsisLength = 1;

const icu::UnicodeSet& frozenUnion(const icu::UnicodeSet& base, const char16_t* extra) {
  UErrorCode status = U_ZERO_ERROR;
  // A copy of a frozen set is frozen too and would ignore additions.
  auto* set = static_cast<icu::UnicodeSet*>(base.cloneAsThawed());
  set->addAll(icu::UnicodeSet(icu::UnicodeString(extra), status));
  set->freeze();
  return *set;
}

// Blanks and ellipses: what a file name must neither start nor end with.
const icu::UnicodeSet& fileNameTrimSet() {
  static const icu::UnicodeSet& set = frozenUnion(whitespaceAndNewlineCharacterSet(), u"[\\u2026]");
  return set;
}

const icu::UnicodeSet& whitespaceNewlineAndControlSet() {
  static const icu::UnicodeSet& set =
      frozenUnion(whitespaceAndNewlineCharacterSet(), u"[[:Cc:][:Cf:]]");
  return set;
}

const icu::UnicodeSet& whitespaceNewlineControlAndPeriodSet() {
  static const icu::UnicodeSet& set = frozenUnion(whitespaceNewlineAndControlSet(), u"[.]");
  return set;
}

// Where a generated name ends. Joiners inside one user-perceived character (the zero-width joiner
// of an emoji sequence, the non-joiner of Persian or Indic words) are format characters too, but
// ending the name there would split that character, so they do not end it.
const icu::UnicodeSet& newlineAndControlSet() {
  static const icu::UnicodeSet& set = frozenUnion(
      newlineCharacterSet(),
      u"[[[:Cc:][:Cf:]]-[[:Grapheme_Cluster_Break=Extend:][:Grapheme_Cluster_Break=ZWJ:]]]");
  return set;
}

const icu::UnicodeSet& newlineControlAndPeriodSet() {
  static const icu::UnicodeSet& set = frozenUnion(newlineAndControlSet(), u"[.]");
  return set;
}

bool isForbiddenInFileName(char16_t unit) {
  return unit == u'/' || unit == u':' || unit == u'~' || unit == u'\t';
}

// Replaces forbidden characters by "-" and drops line breaks, one unit at a time.
std::u16string replacingForbiddenCharacters(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    if (newlineCharacterSet().contains(unit)) {
      continue;
    }
    out.push_back(isForbiddenInFileName(unit) ? u'-' : unit);
  }
  return out;
}

// Every sanitising step except the length limit.
std::u16string cleanedFileName(std::u16string_view name) {
  std::u16string out =
      replacingForbiddenCharacters(stringByTrimmingCharactersInSet(name, fileNameTrimSet()));
  if (!out.empty() && out.front() == u'.') {
    out.front() = u'-';
  }
  return out;
}

std::u16string limitedFileNameLength(std::u16string name) {
  if (name.size() <= kMaximumFileNameLength) {
    return name;
  }
  auto [base, extension] = splitFileNameExtension(name);
  std::u16string result;
  if (!extension.empty() && extension.size() + 1 < kMaximumFileNameLength) {
    result = prefixWithinLength(base, kMaximumFileNameLength - 1 - extension.size());
    result += u'.';
    result += extension;
  } else {
    // Without a usable extension (none, or one too long to keep) the name's own start is kept;
    // for a 254-unit extension that keeps more of the title than the base alone would.
    result = prefixWithinLength(name, kMaximumFileNameLength);
  }
  return std::u16string(stringByTrimmingCharactersInSet(result, fileNameTrimSet()));
}

// Where a copy's number goes: before the last ".", even one that starts or ends the name and so
// begins no extension. ".pdf" numbers as "1.pdf", which still opens as a PDF, and "x." as "x 1";
// zelvar-text prints these names, so they stay as they are.
zv::platform::FileNameParts numberingParts(std::u16string_view name) {
  std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) {
    return {name, {}};
  }
  return {name.substr(0, dot), name.substr(dot + 1)};
}

// The sanitised "base n.ext". When that is too long, the base is shortened so that the number
// (and the extension, where it leaves room) survive: cutting the number away would give back a
// name that may be taken.
std::u16string numberedFileName(std::u16string_view base, std::u16string_view extension,
                                std::int64_t number) {
  std::u16string numbered = zv::platform::formatString(u"%@ %ld", {std::u16string(base), number});
  if (!extension.empty()) {
    numbered += u'.';
    numbered += extension;
  }
  std::u16string cleaned = cleanedFileName(numbered);
  if (cleaned.size() <= kMaximumFileNameLength) {
    return cleaned;
  }
  std::u16string suffix = zv::platform::formatString(u"%@ %ld", {std::u16string(), number});
  std::u16string cleanedExtension(
      stringByTrimmingCharactersInSet(replacingForbiddenCharacters(extension), fileNameTrimSet()));
  if (!cleanedExtension.empty() &&
      suffix.size() + 1 + cleanedExtension.size() < kMaximumFileNameLength) {
    suffix += u'.';
    suffix += cleanedExtension;
  }
  std::u16string cleanedBase = cleanedFileName(base);
  std::u16string result(stringByTrimmingCharactersInSet(
      prefixWithinLength(cleanedBase, kMaximumFileNameLength - suffix.size()), fileNameTrimSet()));
  result += suffix;
  return std::u16string(stringByTrimmingCharactersInSet(result, fileNameTrimSet()));
}

const icu::RegexPattern* numberedListPattern() {
  static const icu::RegexPattern* pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexPattern* compiled = icu::RegexPattern::compile(
        icu::UnicodeString(u"^([1-9]|[1-9][0-9]|[1-9][0-9][0-9])\\. "), 0, status);
    return U_SUCCESS(status) ? compiled : nullptr;
  }();
  return pattern;
}

// Length of the "12. " style prefix at the start of the text, or 0.
std::size_t numberedListPrefixLength(const std::u16string& text) {
  const icu::RegexPattern* pattern = numberedListPattern();
  if (pattern == nullptr) {
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString subject(false, text.data(), static_cast<int32_t>(text.size()));
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
  if (U_FAILURE(status) || !matcher->lookingAt(status) || U_FAILURE(status)) {
    return 0;
  }
  return static_cast<std::size_t>(matcher->end(status));
}

// End of the sentence that starts the text, or nothing when no sentence segmenter is at hand.
std::optional<std::size_t> firstSentenceEnd(const std::u16string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(
        icu::BreakIterator::createSentenceInstance(icu::Locale::getDefault(), status));
    return U_SUCCESS(status) ? std::move(created) : nullptr;
  }();
  if (!iterator) {
    return std::nullopt;
  }
  icu::UnicodeString subject(false, text.data(), static_cast<int32_t>(text.size()));
  iterator->setText(subject);
  int32_t end = iterator->following(0);
  if (end == icu::BreakIterator::DONE) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(end);
}

// Word-by-word scan up to limit; the last word may carry the end past it.
std::size_t endOfWordsReachingLimit(std::u16string_view text, std::size_t limit,
                                    const icu::UnicodeSet& stopSet) {
  std::size_t position = 0;
  while (position < limit && position < text.size()) {
    std::size_t stepStart = position;
    while (position < text.size() && whitespaceAndNewlineCharacterSet().contains(text[position])) {
      ++position;
    }
    std::size_t rest = indexOfFirstCharacterInSet(text.substr(position), stopSet);
    position = rest == std::u16string_view::npos ? text.size() : position + rest;
    if (position == stepStart) {
      break;
    }
  }
  return position;
}

std::u16string withoutLeadingListMarkers(std::u16string text) {
  static constexpr std::u16string_view kMarkers[] = {u"\u2022 ", u"\u2022\u00A0", u"- ", u"* ",
                                                     u"+ "};
  for (std::u16string_view marker : kMarkers) {
    if (std::u16string_view(text).starts_with(marker)) {
      text.erase(0, marker.size());
    }
  }
  return text;
}

std::u16string_view lastPathComponent(std::u16string_view path) {
  std::size_t end = path.find_last_not_of(u'/');
  if (end == std::u16string_view::npos) {
    return path.empty() ? path : path.substr(0, 1);
  }
  std::u16string_view trimmed = path.substr(0, end + 1);
  std::size_t slash = trimmed.rfind(u'/');
  return slash == std::u16string_view::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

std::u16string stringSanitizedForFileName(std::u16string_view name) {
  return limitedFileNameLength(cleanedFileName(name));
}

std::u16string makeFilenameUniqueInDirectoryAtURL(std::u16string_view name,
                                                  const zv::platform::URL& directory) {
  if (!zv::platform::itemIsReachableAtURL(directory.appendingPathComponent(name))) {
    return std::u16string(name);
  }
  auto [base, extension] = numberingParts(name);
  // The sanitised candidate is what the caller will use, so that is the name tested.
  for (std::int64_t number = 1;; ++number) {
    std::u16string candidate = numberedFileName(base, extension, number);
    if (!zv::platform::itemIsReachableAtURL(directory.appendingPathComponent(candidate))) {
      return candidate;
    }
  }
}

std::u16string generateNameTruncatingToPeriod(std::u16string_view text, bool truncateToPeriod,
                                              bool sanitize) {
  std::u16string work;
  work.reserve(text.size());
  for (char16_t unit : text) {
    if (unit == kObjectReplacementCharacter) {
      continue;
    }
    work.push_back(unit == u'\t' ? u' ' : unit);
  }
  const icu::UnicodeSet& trimSet =
      truncateToPeriod ? whitespaceNewlineControlAndPeriodSet() : whitespaceNewlineAndControlSet();
  work = std::u16string(stringByTrimmingCharactersInSet(work, trimSet));
  if (truncateToPeriod) {
    work.erase(0, numberedListPrefixLength(work));
  }
  work = withoutLeadingListMarkers(std::move(work));

  std::size_t limit = std::min(work.size(), kMaximumFileNameLength);
  const icu::UnicodeSet& breakSet =
      truncateToPeriod ? newlineControlAndPeriodSet() : newlineAndControlSet();
  std::u16string_view name = work;
  if (std::size_t found = indexOfFirstCharacterInSet(work, breakSet, limit);
      found != std::u16string_view::npos) {
    name = name.substr(0, found);
  } else if (std::optional<std::size_t> sentenceEnd = firstSentenceEnd(work)) {
    name = name.substr(0, *sentenceEnd);
  } else {
    name = name.substr(0, endOfWordsReachingLimit(work, limit, trimSet));
  }
  name = stringByTrimmingCharactersInSet(name, whitespaceAndNewlineCharacterSet());

  if (sanitize) {
    return stringSanitizedForFileName(name);
  }
  if (name.size() <= kMaximumFileNameLength) {
    return std::u16string(name);
  }
  std::u16string shortened(prefixWithinLength(name, kMaximumFileNameLength - kEllipsisLength));
  shortened += kEllipsis;
  return shortened;
}

std::u16string generateItemName(std::u16string_view text) {
  return generateNameTruncatingToPeriod(text, false, false);
}

std::u16string generateNameSanitizedForFilename(std::u16string_view text, bool sanitize) {
  return generateNameTruncatingToPeriod(text, true, sanitize);
}

bool isEqualToFilename(std::u16string_view name, std::u16string_view otherName) {
  return isCaseInsensitiveEqualToString(name, otherName);
}

std::u16string fileSystemRepresentationString(std::u16string_view name) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* decomposition = icu::Normalizer2::getNFDInstance(status);
  std::u16string_view untilTerminator = name.substr(0, name.find(u'\0'));
  if (U_FAILURE(status)) {
    return zv::platform::fromUtf8(zv::platform::toUtf8(untilTerminator));
  }
  icu::UnicodeString source(false, untilTerminator.data(),
                            static_cast<int32_t>(untilTerminator.size()));
  icu::UnicodeString decomposed = decomposition->normalize(source, status);
  if (U_FAILURE(status)) {
    decomposed = source;
  }
  std::u16string_view result(decomposed.getBuffer(), static_cast<std::size_t>(decomposed.length()));
  // The round trip through UTF-8 turns unpaired surrogates into U+FFFD, as a byte name must.
  return zv::platform::fromUtf8(zv::platform::toUtf8(result));
}

std::u16string fileDisplayName(std::u16string_view path) {
  std::u16string_view component = lastPathComponent(path);
  if (!fileExtensionIsHiddenAtPath(path)) {
    return std::u16string(component);
  }
  return std::u16string(splitFileNameExtension(component).base);
}

}  // namespace zv::text
