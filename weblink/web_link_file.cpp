#include "weblink/web_link_file.h"

#include <utility>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/property_list.h"
#include "platform/property_list_serialization.h"
#include "platform/unicode.h"
#include "text/file_name_extensions.h"
#include "text/string_extensions.h"

namespace zv::weblink {

using platform::ContentType;
using platform::Error;
using platform::PropertyList;
using platform::Result;

namespace {

constexpr char16_t kURLKey[] = u"URL";
constexpr char16_t kTitleKey[] = u"Title";
constexpr char16_t kDescriptionKey[] = u"Description";
constexpr char16_t kArticleTextKey[] = u"ArticleText";
constexpr char16_t kSiteNameKey[] = u"SiteName";
constexpr char16_t kBylineKey[] = u"Byline";
constexpr char16_t kDatePublishedKey[] = u"DatePublished";
constexpr char16_t kIconKey[] = u"Icon";
constexpr char16_t kImageKey[] = u"Image";
constexpr char16_t kImageAltTextKey[] = u"ImageAltText";
constexpr char16_t kWebArchiveKey[] = u"WebArchive";
constexpr char16_t kHasVideoURLKey[] = u"HasVideoURL";

Error webLinkError(std::int64_t code, std::u16string_view text) {
  return Error{QNTWebLinkFileErrorDomain, code, platform::localized(text)};
}

Error noURLError() {
  return webLinkError(kWebLinkFileNoURLErrorCode, u"No URL.");
}

template <typename T>
std::optional<T> reported(Result<T> result, Error* error) {
  if (!result) {
    if (error) {
      *error = std::move(result).error();
    }
    return std::nullopt;
  }
  return std::move(*result);
}

bool reported(Result<void> result, Error* error) {
  if (result) {
    return true;
  }
  if (error) {
    *error = std::move(result).error();
  }
  return false;
}

// Our property list writer refuses text with unpaired surrogates, which names taken from web
// pages can hold; such a character becomes U+FFFD (one code unit, so positions in rich text stay
// where they were) rather than costing the whole file.
std::u16string writableText(std::u16string_view text) {
  if (platform::isValidUtf16(text)) {
    return std::u16string(text);
  }
  return platform::fromUtf8(platform::toUtf8(text));
}

richtext::AttributedString writableRichText(const richtext::AttributedString& text) {
  if (platform::isValidUtf16(text.string())) {
    return text;
  }
  const std::u16string characters = writableText(text.string());
  richtext::MutableAttributedString repaired;
  for (const richtext::AttributeRun& run : text.runs()) {
    repaired.appendString(
        std::u16string_view(characters).substr(run.range.location, run.range.length),
        run.attributes);
  }
  return repaired;
}

const std::u16string* stringForKey(const PropertyList::Dictionary& dictionary,
                                   std::u16string_view key) {
  const PropertyList* value = dictionary.find(key);
  return value ? value->asString() : nullptr;
}

std::optional<std::u16string> optionalString(const PropertyList::Dictionary& dictionary,
                                             std::u16string_view key) {
  const std::u16string* text = stringForKey(dictionary, key);
  return text ? std::optional(*text) : std::nullopt;
}

std::optional<std::vector<std::uint8_t>> optionalData(const PropertyList::Dictionary& dictionary,
                                                      std::u16string_view key) {
  const PropertyList* value = dictionary.find(key);
  const PropertyList::Data* data = value ? value->asData() : nullptr;
  return data ? std::optional(*data) : std::nullopt;
}

platform::WriteMode platformWriteMode(WebLinkWriteMode mode) {
  return mode == WebLinkWriteMode::kCreateNew ? platform::WriteMode::kCreateNew
                                              : platform::WriteMode::kReplaceExisting;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class operations

ContentType QNTWebLinkFile::fileType() {
  return ContentType::webLink();
}

ContentType QNTWebLinkFile::internetLocationFileType() {
  return ContentType::internetLocation();
}

std::u16string QNTWebLinkFile::suggestedNameForURL(const platform::URL& url) {
  std::u16string name = text::stringSanitizedForFileName(url.host().value_or(u""));
  if (name.empty()) {
    name = platform::localized(u"Untitled Web Link");
  }
  name += u".";
  name += QNTWebLinkFileExtension;
  return text::stringSanitizedForFileName(name);
}

std::optional<platform::URL> QNTWebLinkFile::URLFromWebLinkFileAtURL(const platform::URL& fileURL,
                                                                     Error* error) {
  std::optional<QNTWebLinkFile> link = initWithFileURL(fileURL, error);
  return link ? link->URL() : std::nullopt;
}

bool QNTWebLinkFile::canInitWithURL(const std::optional<platform::URL>& url) {
  if (!url) {
    return false;
  }
  const std::optional<std::u16string> scheme = platform::URLComponents(*url).scheme();
  return scheme && scheme->starts_with(u"http");
}

std::u16string QNTWebLinkFile::summaryStringForURL(const platform::URL& url) {
  platform::URLComponents components(url);
  const std::optional<std::u16string> host = components.host();
  if (!host) {
    std::u16string whole = components.string();
    return whole == u"/" ? std::u16string() : whole;
  }
  // From the host on: the components without scheme and user information print as "//" and
  // the host onwards. A query ends the summary, so the fragment after it goes too.
  components.setScheme(std::nullopt);
  components.setUser(std::nullopt);
  components.setPassword(std::nullopt);
  if (components.percentEncodedQuery()) {
    components.setPercentEncodedQuery(std::nullopt);
    components.setFragment(std::nullopt);
  }
  std::u16string summary = components.string();
  if (summary.starts_with(u"//")) {
    summary.erase(0, 2);
  }
  platform::URLComponents hostOnly;
  hostOnly.setHost(*host);
  std::u16string hostText = hostOnly.string();
  if (hostText.starts_with(u"//")) {
    hostText.erase(0, 2);
  }
  if (summary.size() == hostText.size() + 1 && summary.back() == u'/') {
    summary.pop_back();
  }
  return summary;
}

std::optional<QNTWebLinkFile> QNTWebLinkFile::initWithFileURL(const platform::URL& fileURL,
                                                              Error* error) {
  QNTWebLinkFile link;
  if (!link.readFromURL(fileURL, error)) {
    return std::nullopt;
  }
  return link;
}

// ---------------------------------------------------------------------------------------------
// Getters

std::optional<std::u16string> QNTWebLinkFile::title() const {
  if (title_) {
    std::u16string cleaned = text::stringByRemovingNewlines(*title_);
    if (!cleaned.empty()) {
      return cleaned;
    }
  }
  return url_ ? url_->host() : std::nullopt;
}

std::optional<std::u16string> QNTWebLinkFile::shortDescription() const {
  if (!description_) {
    return std::nullopt;
  }
  std::u16string trimmed = text::stringByTrimmingWhitespace(*description_);
  return trimmed.empty() ? std::nullopt : std::optional(std::move(trimmed));
}

void QNTWebLinkFile::setLinkMetadata(std::optional<LinkMetadata> metadata) {
  linkMetadata_ = std::move(metadata);
  hasVideoURL_ = linkMetadata_ && linkMetadata_->remoteVideoURL.has_value();
}

std::u16string QNTWebLinkFile::summaryString() const {
  return url_ ? summaryStringForURL(*url_) : std::u16string();
}

std::u16string QNTWebLinkFile::indexableText() const {
  std::vector<std::u16string> parts;
  auto add = [&parts](const std::optional<std::u16string>& part) {
    if (part) {
      parts.push_back(*part);
    }
  };
  add(title());
  add(siteName_);
  add(byline_);
  add(url_ ? std::optional(url_->absoluteString()) : std::nullopt);
  add(shortDescription());
  add(articleText_ ? std::optional(articleText_->string()) : std::nullopt);
  add(imageAltText_);
  std::u16string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      joined += u'\n';
    }
    joined += parts[i];
  }
  return joined;
}

// ---------------------------------------------------------------------------------------------
// Writing

std::optional<std::vector<std::uint8_t>> QNTWebLinkFile::webLinkDataForType(
    const ContentType& contentType, Error* error) const {
  if (!url_) {
    if (error) {
      *error = noURLError();
    }
    return std::nullopt;
  }
  PropertyList::Dictionary dictionary;
  dictionary.set(kURLKey, url_->absoluteString());
  const bool isWebLink = contentType == fileType();
  if (isWebLink) {
    auto setText = [&dictionary](const char16_t* key, const std::optional<std::u16string>& text) {
      if (text) {
        dictionary.set(key, writableText(*text));
      }
    };
    auto setData = [&dictionary](const char16_t* key,
                                 const std::optional<std::vector<std::uint8_t>>& data) {
      if (data) {
        dictionary.set(key, *data);
      }
    };
    setText(kTitleKey, title());
    setText(kDescriptionKey, shortDescription());
    if (articleText_ && !articleText_->empty()) {
      // A reduced copy: the object's own text keeps every attribute.
      const richtext::AttributedString archivable =
          writableRichText(*articleText_)
              .attributedStringKeepingAttributeNames(richtext::archivableAttributeNames());
      std::optional<std::vector<std::uint8_t>> archive =
          reported(richtext::archivedDataWithAttributedString(archivable), error);
      if (!archive) {
        return std::nullopt;
      }
      dictionary.set(kArticleTextKey, std::move(*archive));
    }
    setText(kSiteNameKey, siteName_);
    setText(kBylineKey, byline_);
    if (datePublished_) {
      dictionary.set(kDatePublishedKey, *datePublished_);
    }
    setData(kIconKey, icon_);
    setData(kImageKey, image_);
    setText(kImageAltTextKey, imageAltText_);
    setData(kWebArchiveKey, webArchive_);
    dictionary.set(kHasVideoURLKey, hasVideoURL_);
  }
  return reported(platform::writePropertyList(PropertyList(std::move(dictionary)),
                                              isWebLink ? platform::PropertyListFormat::kBinary
                                                        : platform::PropertyListFormat::kXml),
                  error);
}

bool QNTWebLinkFile::writeToURL(const platform::URL& fileURL, Error* error, WebLinkWriteMode mode,
                                mode_t permissions) const {
  return writeToURL(fileURL, fileType(), error, mode, permissions);
}

bool QNTWebLinkFile::writeToURL(const platform::URL& fileURL, const ContentType& contentType,
                                Error* error, WebLinkWriteMode mode, mode_t permissions) const {
  // A file that does not exist yet reads as hidden, so new files show without the extension.
  Result<bool> hidden = platform::hasHiddenExtensionAtURL(fileURL);
  const bool hideExtension = hidden ? *hidden : true;
  std::optional<std::vector<std::uint8_t>> bytes = webLinkDataForType(contentType, error);
  if (!bytes) {
    return false;
  }
  if (!reported(
          platform::writeFileAtomicallyAtURL(fileURL, *bytes, platformWriteMode(mode), permissions),
          error)) {
    return false;
  }
  // The flag only decides how the name is shown; the link itself is written, and a file system
  // without extended attributes must not make the write fail.
  platform::setHasHiddenExtensionAtURL(fileURL, hideExtension).ignoreError();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reading

bool QNTWebLinkFile::readFromURL(const platform::URL& fileURL, Error* error) {
  std::optional<std::vector<std::uint8_t>> bytes =
      reported(platform::readFileAtURL(fileURL, platform::kPropertyListMaximumInputSize), error);
  return bytes && readFromData(*bytes, error);
}

bool QNTWebLinkFile::readFromData(std::span<const std::uint8_t> bytes, Error* error) {
  std::optional<PropertyList> root = reported(platform::readPropertyList(bytes), error);
  if (!root) {
    return false;
  }
  const PropertyList::Dictionary* dictionary = root->asDictionary();
  if (!dictionary) {
    if (error) {
      *error = webLinkError(kWebLinkFileNotValidErrorCode, u"The file is not a valid webloc file.");
    }
    return false;
  }
  if (!dictionary->contains(kURLKey)) {
    if (error) {
      *error = noURLError();
    }
    return false;
  }
  // A "URL" that is no string or no URL leaves the link without one; the rest still reads. One
  // without a scheme is a URL all the same, kept as it stands, as the bookmark export writes it.
  const std::u16string* urlText = stringForKey(*dictionary, kURLKey);
  url_ = urlText ? platform::URL::fromStringAllowingRelative(*urlText) : std::nullopt;
  title_ = optionalString(*dictionary, kTitleKey);
  description_ = optionalString(*dictionary, kDescriptionKey);
  if (const PropertyList* value = dictionary->find(kArticleTextKey)) {
    // Text that cannot be decoded is lost on its own; the link still reads.
    articleText_.reset();
    if (const PropertyList::Data* archive = value->asData()) {
      if (Result<richtext::AttributedString> text =
              richtext::attributedStringWithArchivedData(*archive)) {
        articleText_ = std::move(*text);
      }
    }
  }
  siteName_ = optionalString(*dictionary, kSiteNameKey);
  byline_ = optionalString(*dictionary, kBylineKey);
  const PropertyList* date = dictionary->find(kDatePublishedKey);
  datePublished_ = date ? date->asDate() : std::nullopt;
  icon_ = optionalData(*dictionary, kIconKey);
  image_ = optionalData(*dictionary, kImageKey);
  imageAltText_ = optionalString(*dictionary, kImageAltTextKey);
  webArchive_ = optionalData(*dictionary, kWebArchiveKey);
  const PropertyList* hasVideo = dictionary->find(kHasVideoURLKey);
  hasVideoURL_ = hasVideo && hasVideo->asBoolean().value_or(false);
  return true;
}

}  // namespace zv::weblink
