#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/content_type.h"
#include "platform/date.h"
#include "platform/result.h"
#include "platform/url.h"
#include "richtext/attributed_string.h"

namespace zv::weblink {

/// Domain of the web link file's own errors.
inline constexpr char16_t QNTWebLinkFileErrorDomain[] = u"QNTWebLinkFileErrorDomain";
/// "No URL.": writing a web link without a URL, or reading a file without "URL".
inline constexpr std::int64_t kWebLinkFileNoURLErrorCode = 10001;
/// "The file is not a valid webloc file.": the file's property list is not a dictionary.
inline constexpr std::int64_t kWebLinkFileNotValidErrorCode = 10002;

/// The file name extension of web link files, without its dot.
inline constexpr std::u16string_view QNTWebLinkFileExtension = platform::kWebLinkFileExtension;

/// A rectangle in the preview image's coordinates.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

/// What a link preview found out about a page; of it, only the remote-video URL matters here.
struct LinkMetadata {
  std::optional<platform::URL> remoteVideoURL;

  friend bool operator==(const LinkMetadata&, const LinkMetadata&) = default;
};

/// Whether a write may take the place of a file already at the destination.
enum class WebLinkWriteMode {
  /// Fails with the file error kFileExists when anything stands at the destination, so that a
  /// caller writing many links picks another name instead of losing one.
  kCreateNew,
  /// Replaces a regular file at the destination, keeping its permissions, creation date and
  /// hidden-extension setting; a symbolic link or anything but a regular file there is refused.
  kReplaceExisting,
};

/// One saved web link: a URL and what is known about its page, with the reader and writer of
/// web link files (a binary property list) and internet-location ("webloc") files (an XML
/// property list, URL only). Every error out-parameter may be null.
class QNTWebLinkFile {
 public:
  /// The web link type, under which "qntweblink" files are declared.
  static platform::ContentType fileType();
  /// The internet-location type of webloc files, "com.apple.web-internet-location".
  static platform::ContentType internetLocationFileType();

  /// A sanitised file name for a web link to url: its host (or the localised "Untitled Web
  /// Link" when it has none) with the web link extension.
  static std::u16string suggestedNameForURL(const platform::URL& url);
  /// The URL stored in the web link or webloc file at fileURL; nothing when reading fails.
  static std::optional<platform::URL> URLFromWebLinkFileAtURL(const platform::URL& fileURL,
                                                              platform::Error* error = nullptr);
  /// True for a URL whose scheme starts with "http" (case-sensitively): http and https.
  static bool canInitWithURL(const std::optional<platform::URL>& url);
  /// The URL from its host on, without the query (and the fragment after it); a lone trailing
  /// "/" after the host is dropped. A URL without a host gives its whole text.
  static std::u16string summaryStringForURL(const platform::URL& url);

  /// A web link read from the file; nothing, with the error, when reading fails.
  static std::optional<QNTWebLinkFile> initWithFileURL(const platform::URL& fileURL,
                                                       platform::Error* error = nullptr);

  QNTWebLinkFile() = default;

  /// The file's bytes for the content type: a binary property list with every set property
  /// for the web link type, an XML property list holding only "URL" for any other type.
  std::optional<std::vector<std::uint8_t>> webLinkDataForType(
      const platform::ContentType& contentType, platform::Error* error = nullptr) const;
  /// Writes the web link type, by default in place of a file already there. The file appears
  /// complete or not at all: the bytes go to a temporary file in the same folder that is then
  /// renamed into place. A new file gets `permissions` (less the umask) and hides its extension;
  /// a replaced one keeps its permissions, creation date and extension setting.
  bool writeToURL(const platform::URL& fileURL, platform::Error* error = nullptr,
                  WebLinkWriteMode mode = WebLinkWriteMode::kReplaceExisting,
                  mode_t permissions = 0644) const;
  bool writeToURL(const platform::URL& fileURL, const platform::ContentType& contentType,
                  platform::Error* error = nullptr,
                  WebLinkWriteMode mode = WebLinkWriteMode::kReplaceExisting,
                  mode_t permissions = 0644) const;
  /// Reads a web link or webloc file in either property list encoding. On success every
  /// property of the file format takes the file's value or becomes absent; the article text
  /// changes only when the file has one. A known key holding a value of another type reads as
  /// absent. On failure nothing changes.
  bool readFromURL(const platform::URL& fileURL, platform::Error* error = nullptr);
  /// The same from the file's bytes.
  bool readFromData(std::span<const std::uint8_t> bytes, platform::Error* error = nullptr);

  /// The stored title with line breaks made spaces and the ends trimmed; the URL's host when
  /// that is empty; nothing when neither exists.
  std::optional<std::u16string> title() const;
  void setTitle(std::optional<std::u16string> title) { title_ = std::move(title); }
  /// True when the stored title is absent or empty.
  bool hasEmptyTitle() const { return !title_ || title_->empty(); }

  /// The link. One read from a file, or set from a bookmark's location, may have no scheme
  /// ("www.example.com/page"); it is kept and written as it stands.
  const std::optional<platform::URL>& URL() const { return url_; }
  void setURL(std::optional<platform::URL> url) { url_ = std::move(url); }

  /// The stored description trimmed of whitespace and line breaks; nothing when that is empty.
  std::optional<std::u16string> shortDescription() const;
  void setShortDescription(std::optional<std::u16string> text) { description_ = std::move(text); }

  const std::optional<std::u16string>& siteName() const { return siteName_; }
  void setSiteName(std::optional<std::u16string> name) { siteName_ = std::move(name); }
  const std::optional<std::u16string>& byline() const { return byline_; }
  void setByline(std::optional<std::u16string> byline) { byline_ = std::move(byline); }
  const std::optional<platform::Date>& datePublished() const { return datePublished_; }
  void setDatePublished(std::optional<platform::Date> date) { datePublished_ = date; }
  const std::optional<richtext::AttributedString>& articleText() const { return articleText_; }
  void setArticleText(std::optional<richtext::AttributedString> text) {
    articleText_ = std::move(text);
  }
  const std::optional<std::vector<std::uint8_t>>& webArchiveData() const { return webArchive_; }
  void setWebArchiveData(std::optional<std::vector<std::uint8_t>> data) {
    webArchive_ = std::move(data);
  }
  const std::optional<std::vector<std::uint8_t>>& iconData() const { return icon_; }
  void setIconData(std::optional<std::vector<std::uint8_t>> data) { icon_ = std::move(data); }
  const std::optional<std::vector<std::uint8_t>>& imageData() const { return image_; }
  void setImageData(std::optional<std::vector<std::uint8_t>> data) { image_ = std::move(data); }
  const std::optional<std::u16string>& imageAltText() const { return imageAltText_; }
  void setImageAltText(std::optional<std::u16string> text) { imageAltText_ = std::move(text); }
  /// Held in memory only; never written.
  const std::optional<Rect>& imageSalientRect() const { return imageSalientRect_; }
  void setImageSalientRect(std::optional<Rect> rect) { imageSalientRect_ = rect; }

  /// Held in memory only; never written.
  const std::optional<LinkMetadata>& linkMetadata() const { return linkMetadata_; }
  /// Stores the record and sets hasVideoURL to whether it has a remote video URL.
  void setLinkMetadata(std::optional<LinkMetadata> metadata);

  bool hasVideoURL() const { return hasVideoURL_; }
  void setHasVideoURL(bool hasVideoURL) { hasVideoURL_ = hasVideoURL; }

  /// summaryStringForURL of URL(); empty when there is no URL.
  std::u16string summaryString() const;
  /// Title, site name, byline, URL, description, article text and image alt text, those
  /// present, one per line.
  std::u16string indexableText() const;

 private:
  std::optional<std::u16string> title_;
  std::optional<platform::URL> url_;
  std::optional<std::u16string> description_;
  std::optional<std::u16string> siteName_;
  std::optional<std::u16string> byline_;
  std::optional<platform::Date> datePublished_;
  std::optional<richtext::AttributedString> articleText_;
  std::optional<std::vector<std::uint8_t>> webArchive_;
  std::optional<std::vector<std::uint8_t>> icon_;
  std::optional<std::vector<std::uint8_t>> image_;
  std::optional<std::u16string> imageAltText_;
  std::optional<Rect> imageSalientRect_;
  std::optional<LinkMetadata> linkMetadata_;
  bool hasVideoURL_ = false;
};

}  // namespace zv::weblink
