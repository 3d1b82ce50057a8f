#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// The freedesktop shared-mime-info database: which MIME type a file name extension stands for,
/// which extensions a MIME type uses, its aliases and its parent types. Types outside our own
/// table are looked up here.
class MimeDatabase {
 public:
  /// Reads "globs2", "aliases" and "subclasses" from each folder (each a ".../mime" folder);
  /// earlier folders take precedence. Missing or unreadable files add nothing.
  static MimeDatabase loadFromFolders(const std::vector<std::string>& mimeFolders);
  /// The user's and the system's database ($XDG_DATA_HOME, $XDG_DATA_DIRS), loaded once.
  static const MimeDatabase& system();

  /// The MIME type for an extension without its dot ("mp3"), matched without regard to ASCII
  /// case unless the database marks the pattern case-sensitive.
  std::optional<std::string> mimeTypeForExtension(std::string_view extension) const;
  /// The extensions of a MIME type (or of the type an alias names), the preferred one first.
  std::vector<std::string> extensionsForMimeType(std::string_view mimeType) const;
  /// The canonical name for an alias, else the type itself, in lower case.
  std::string canonicalMimeType(std::string_view mimeType) const;
  std::vector<std::string> parentMimeTypes(std::string_view mimeType) const;
  /// True when the database knows the type by any of its names.
  bool knowsMimeType(std::string_view mimeType) const;

 private:
  struct Data;
  std::shared_ptr<const Data> data_;
};

/// A uniform type: an identifier, the types it conforms to, its file name extensions and MIME
/// types. Our table knows the common document types; other MIME types and extensions come from
/// the shared-mime-info database as dynamic types ("dyn." identifiers) that conform to data.
class ContentType {
 public:
  struct Definition {
    std::u16string identifier;
    std::vector<std::u16string> parents;
    std::vector<std::u16string> extensions;  ///< the preferred one first
    std::vector<std::u16string> mimeTypes;   ///< the preferred one first
  };

  /// Lookups, ignoring ASCII case. Nothing when the value names no known type.
  static std::optional<ContentType> withIdentifier(
      std::u16string_view identifier, const MimeDatabase& database = MimeDatabase::system());
  /// An extension without its dot. An extension that nothing knows still gives a dynamic type
  /// conforming to data, as any named file is data.
  static std::optional<ContentType> withFilenameExtension(
      std::u16string_view extension, const MimeDatabase& database = MimeDatabase::system());
  /// Parameters ("; charset=...") and surrounding spaces are ignored.
  static std::optional<ContentType> withMIMEType(
      std::u16string_view mimeType, const MimeDatabase& database = MimeDatabase::system());

  static ContentType item();
  static ContentType content();
  static ContentType data();
  static ContentType folder();
  static ContentType text();
  static ContentType plainText();
  static ContentType html();
  static ContentType rtf();
  static ContentType rtfd();
  static ContentType pdf();
  static ContentType image();
  static ContentType jpeg();
  static ContentType png();
  static ContentType gif();
  static ContentType tiff();
  static ContentType heic();
  static ContentType webArchive();
  /// Webloc files, "com.apple.web-internet-location".
  static ContentType internetLocation();
  /// Our web link files, extension "qntweblink".
  static ContentType webLink();

  const std::u16string& identifier() const { return definition_->identifier; }
  const std::vector<std::u16string>& filenameExtensions() const { return definition_->extensions; }
  const std::vector<std::u16string>& mimeTypes() const { return definition_->mimeTypes; }
  std::optional<std::u16string> preferredFilenameExtension() const;
  std::optional<std::u16string> preferredMIMEType() const;
  bool isDynamic() const;

  /// True when this type is `other` or descends from it through its parents.
  bool conformsTo(const ContentType& other,
                  const MimeDatabase& database = MimeDatabase::system()) const;

  friend bool operator==(const ContentType& a, const ContentType& b) {
    return a.identifier() == b.identifier();
  }

 private:
  explicit ContentType(std::shared_ptr<const Definition> definition)
      : definition_(std::move(definition)) {}
  static ContentType known(std::u16string_view identifier);
  static std::optional<ContentType> dynamicForMimeType(const std::string& mimeType,
                                                       const MimeDatabase& database);

  std::shared_ptr<const Definition> definition_;
};

/// Our web link type's identifier and file name extension.
inline constexpr char16_t kWebLinkTypeIdentifier[] = u"com.quennet.weblink";
inline constexpr char16_t kWebLinkFileExtension[] = u"qntweblink";

/// The content type of the item at a file URL, read from its name: a folder is a folder unless
/// its extension names a package type (such as RTFD), a symbolic link is "public.symlink", a
/// file without an extension is data. An item that does not exist is an error.
Result<ContentType> contentTypeOfItemAtURL(const URL& url,
                                           const MimeDatabase& database = MimeDatabase::system());

}  // namespace zv::platform
