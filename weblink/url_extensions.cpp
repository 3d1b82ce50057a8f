#include "weblink/url_extensions.h"

#include <unicode/coll.h>
#include <unicode/stsearch.h>
#include <unicode/tblcoll.h>
#include <unicode/unistr.h>

#include <cstddef>
#include <limits>
#include <memory>

#include "platform/unicode.h"
#include "text/character_sets.h"

namespace zv::weblink {
namespace {

using platform::URL;
using platform::URLComponents;

constexpr std::u16string_view kReaderScheme = u"safari-reader";
constexpr std::u16string_view kPageScheme = u"http";
constexpr std::u16string_view kAboutScheme = u"about";
constexpr std::u16string_view kReaderPath = u"reader";
constexpr std::u16string_view kPageAddressItem = u"url";
constexpr std::u16string_view kTextDirective = u":~:text=";
constexpr char16_t kPartSeparator = u',';
constexpr char16_t kContextMark = u'-';
constexpr char16_t kLabelSeparator = u'.';

std::vector<std::u16string_view> split(std::u16string_view text, char16_t separator) {
  std::vector<std::u16string_view> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end - start));
    if (end == std::u16string_view::npos) {
      return pieces;
    }
    start = end + 1;
  }
}

// Nothing when an escape is malformed or the bytes it gives are not UTF-8: such a part has no
// text of its own.
std::optional<std::u16string> percentDecoded(std::u16string_view encoded) {
  std::optional<std::string> bytes = platform::percentDecodedBytes(platform::toUtf8(encoded));
  if (!bytes || !platform::isValidUtf8(*bytes)) {
    return std::nullopt;
  }
  return platform::fromUtf8(*bytes);
}

// A part that cannot be decoded stays as it stands, so that the parts keep their number and
// their places.
std::u16string decodedPart(std::u16string_view encoded) {
  return percentDecoded(encoded).value_or(std::u16string(encoded));
}

// The directive's parts as they stand in the URL. Roles are read from this form because the
// published syntax escapes every "-" and "," of the text itself: only a literal "-" marks a
// context part.
std::vector<std::u16string> encodedDirectiveParts(const URL& url) {
  std::optional<std::u16string> fragment = URLComponents(url).percentEncodedFragment();
  if (!fragment) {
    return {};
  }
  std::size_t directive = fragment->find(kTextDirective);
  if (directive == std::u16string::npos) {
    return {};
  }
  std::u16string_view parts =
      std::u16string_view(*fragment).substr(directive + kTextDirective.size());
  // A directive without text highlights nothing, as browsers treat it.
  if (parts.empty()) {
    return {};
  }
  std::vector<std::u16string> result;
  for (std::u16string_view part : split(parts, kPartSeparator)) {
    result.emplace_back(part);
  }
  return result;
}

std::u16string contextText(std::u16string_view encodedPart) {
  static const icu::UnicodeSet contextMarks(kContextMark, kContextMark);
  return decodedPart(text::stringByTrimmingCharactersInSet(encodedPart, contextMarks));
}

const icu::RuleBasedCollator* canonicalEquivalenceCollator() {
  static const icu::RuleBasedCollator* collator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> created(
        icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || created == nullptr) {
      return static_cast<icu::RuleBasedCollator*>(nullptr);
    }
    // Identical strength compares the NFD forms of every candidate, so case and every other
    // difference count while canonically equivalent sequences still match.
    created->setStrength(icu::Collator::IDENTICAL);
    created->setAttribute(UCOL_NORMALIZATION_MODE, UCOL_ON, status);
    auto* ruleBased = dynamic_cast<icu::RuleBasedCollator*>(created.get());
    if (U_FAILURE(status) || ruleBased == nullptr) {
      return static_cast<icu::RuleBasedCollator*>(nullptr);
    }
    // Kept for the life of the program: ruleBased is the only owner from here on.
    static_cast<void>(created.release());
    return ruleBased;
  }();
  return collator;
}

// Index just past the first occurrence of searched in text, canonically equivalent forms
// matching (so the match may be longer or shorter than searched).
std::optional<std::size_t> canonicalFindEnd(std::u16string_view text,
                                            std::u16string_view searched) {
  const icu::RuleBasedCollator* shared = canonicalEquivalenceCollator();
  // ICU counts in 32 bits; a text beyond that is searched literally rather than cut short.
  constexpr std::size_t kLongest = std::numeric_limits<int32_t>::max();
  if (shared == nullptr || text.size() > kLongest || searched.size() > kLongest) {
    std::size_t literal = text.find(searched);
    return literal == std::u16string_view::npos ? std::nullopt
                                                : std::optional(literal + searched.size());
  }
  // Each search gets its own copy so that concurrent callers never share a collator's state.
  std::unique_ptr<icu::RuleBasedCollator> collator(shared->clone());
  UErrorCode status = U_ZERO_ERROR;
  icu::StringSearch search(
      icu::UnicodeString(false, searched.data(), static_cast<int32_t>(searched.size())),
      icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size())), collator.get(),
      nullptr, status);
  int32_t position = search.first(status);
  if (U_FAILURE(status) || position == USEARCH_DONE) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(position) + static_cast<std::size_t>(search.getMatchedLength());
}

std::optional<std::u16string> passageBetween(std::u16string_view text, std::u16string_view start,
                                             std::u16string_view end, std::u16string_view prefix,
                                             std::u16string_view suffix) {
  // An empty start or end text occurs nowhere; taking it as found would highlight an arbitrary
  // stretch of the page.
  if (start.empty() || end.empty()) {
    return std::nullopt;
  }
  std::size_t rangeStart = 0;
  std::size_t rangeEnd = text.size();
  // The passage follows its prefix: searching from the prefix's own first character would let
  // the start text match inside the prefix.
  if (!prefix.empty()) {
    rangeStart = canonicalFindEnd(text, prefix).value_or(0);
  }
  if (!suffix.empty()) {
    std::size_t at = text.substr(rangeStart).rfind(suffix);
    if (at != std::u16string_view::npos) {
      rangeEnd = rangeStart + at;
    }
  }
  std::size_t startAt = text.substr(rangeStart, rangeEnd - rangeStart).find(start);
  if (startAt == std::u16string_view::npos) {
    return std::nullopt;
  }
  startAt += rangeStart;
  std::size_t endAt = text.find(end, startAt + start.size());
  if (endAt == std::u16string_view::npos) {
    return std::nullopt;
  }
  return std::u16string(text.substr(startAt, endAt + end.size() - startAt));
}

bool equalsIgnoringCase(std::u16string_view label, std::u16string_view other) {
  icu::UnicodeString first(false, label.data(), static_cast<int32_t>(label.size()));
  icu::UnicodeString second(false, other.data(), static_cast<int32_t>(other.size()));
  return first.caseCompare(second, U_FOLD_CASE_DEFAULT) == 0;
}

// "example.com." is "example.com" written fully qualified: its final dot stands for the root
// of the name space, not for an empty last label.
std::u16string_view withoutRootDot(std::u16string_view host) {
  if (host.ends_with(kLabelSeparator)) {
    host.remove_suffix(1);
  }
  return host;
}

bool isWebScheme(std::u16string_view scheme) {
  return equalsIgnoringCase(scheme, u"http") || equalsIgnoringCase(scheme, u"https");
}

// Reader views only ever show web pages; any other scheme in the address item (file,
// javascript, data) would turn a harmless link into one that reaches the disk or runs script.
std::optional<URL> pageAddress(const std::optional<std::u16string>& value) {
  if (!value) {
    return std::nullopt;
  }
  std::optional<URL> page = URL::fromString(*value);
  if (!page || !isWebScheme(page->scheme())) {
    return std::nullopt;
  }
  return page;
}

}  // namespace

std::optional<URL> URLCleanedForImport(const URL& url) {
  if (url.isFileURL()) {
    return url;
  }
  URLComponents components(url);
  std::optional<std::u16string> scheme = components.scheme();
  if (scheme == kReaderScheme) {
    components.setScheme(kPageScheme);
    return components.url();
  }
  if (scheme != kAboutScheme || components.path() != kReaderPath) {
    return url;
  }
  std::optional<std::vector<platform::URLQueryItem>> items = components.queryItems();
  if (!items) {
    return url;
  }
  for (const platform::URLQueryItem& item : *items) {
    if (item.name == kPageAddressItem) {
      return pageAddress(item.value);
    }
  }
  return url;
}

bool containsHighlightedText(const URL& url) {
  std::size_t count = encodedDirectiveParts(url).size();
  return count >= 1 && count <= 4;
}

std::vector<std::u16string> highlightedTextComponents(const URL& url) {
  std::vector<std::u16string> components;
  for (const std::u16string& part : encodedDirectiveParts(url)) {
    components.push_back(decodedPart(part));
  }
  return components;
}

std::optional<std::u16string> highlightedTextFromString(const URL& url, std::u16string_view text) {
  std::vector<std::u16string> parts = encodedDirectiveParts(url);
  if (parts.empty()) {
    return std::nullopt;
  }
  // Only the context part itself is taken out: a start or end text that happens to read the
  // same is still needed to locate the passage.
  std::u16string prefix;
  if (parts.size() >= 2 && parts.front().ends_with(kContextMark)) {
    prefix = contextText(parts.front());
    parts.erase(parts.begin());
  }
  std::u16string suffix;
  if (parts.size() >= 2 && parts.back().starts_with(kContextMark)) {
    suffix = contextText(parts.back());
    parts.pop_back();
  }
  if (parts.size() == 1) {
    return decodedPart(parts.front());
  }
  if (parts.size() != 2) {
    return std::nullopt;
  }
  return passageBetween(text, decodedPart(parts[0]), decodedPart(parts[1]), prefix, suffix);
}

bool matchesHost(const URL& url, std::u16string_view host) {
  std::optional<std::u16string> urlHost = URLComponents(url).host();
  if (!urlHost) {
    return false;
  }
  const std::u16string_view name = withoutRootDot(*urlHost);
  // An empty host (as in "file:///") is no host; it must not match an empty argument.
  if (name.empty()) {
    return false;
  }
  std::vector<std::u16string_view> labels = split(name, kLabelSeparator);
  std::vector<std::u16string_view> wanted = split(withoutRootDot(host), kLabelSeparator);
  if (labels.size() < wanted.size()) {
    return false;
  }
  auto label = labels.rbegin();
  for (auto other = wanted.rbegin(); other != wanted.rend(); ++other, ++label) {
    if (!equalsIgnoringCase(*label, *other)) {
      return false;
    }
  }
  return true;
}

}  // namespace zv::weblink
