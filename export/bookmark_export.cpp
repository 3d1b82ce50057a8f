// The bookmark phase: each bookmark becomes a web link file of its own in the root folder.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/item_file_dates.h"
#include "export/item_file_names.h"
#include "export/root_folder_names.h"
#include "export/source_call.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {

using platform::Error;
using platform::URL;
using weblink::QNTWebLinkFile;

namespace {

std::u16string nameOrIdentifier(const source::DatabaseItem& bookmark) {
  return bookmark.name.empty() ? bookmark.id : bookmark.name;
}

}  // namespace

// A bookmark with neither name nor host would leave nothing but the extension; it takes the name
// suggested for its URL instead.
std::u16string fileNameForBookmark(const QNTWebLinkFile& link) {
  std::u16string base = sanitizedFileNameForTitle(link.title().value_or(u""));
  if (base.empty() && link.URL()) {
    std::u16string suggested = QNTWebLinkFile::suggestedNameForURL(*link.URL());
    std::u16string extension = u"." + std::u16string(weblink::QNTWebLinkFileExtension);
    if (suggested.ends_with(extension)) {
      suggested.resize(suggested.size() - extension.size());
    }
    base = sanitizedFileNameForTitle(suggested);
  }
  if (base.empty()) {
    base = platform::localized(u"Untitled Web Link");
  }
  return base + u"." + std::u16string(weblink::QNTWebLinkFileExtension);
}

bool ZVExportOperation::exportBookmarks(std::optional<Error>& error) {
  if (!beginItemPhase(itemPhase(source::ItemKind::bookmark))) {
    return true;
  }
  const URL rootFolder = *rootFolderURL();
  bool succeeded = true;
  auto exportBookmark = [&](const source::DatabaseItem& bookmark) {
    if (isCancelled()) {
      return false;
    }
    if (!bookmark.location || bookmark.location->empty()) {
      platform::logFormat(u"Skipping bookmark\u00A0%@, because it has no location",
                          {nameOrIdentifier(bookmark)});
      skipItem(bookmark, SkipReason::noLocation);
      return true;
    }
    QNTWebLinkFile link;
    link.setTitle(bookmark.name);
    // "www.example.com/page" is a URL without a scheme, not a reason to stop the export; it is
    // written as it stands.
    link.setURL(URL::fromStringAllowingRelative(*bookmark.location));

    // Two bookmarks of one title must not share a file: the name index numbers the second, and
    // a file is never replaced.
    platform::Result<URL> fileURL = rootFolderNames_.placeFileUnderFreeName(
        rootFolder, fileNameForBookmark(link), [&](const URL& candidate) -> platform::Result<void> {
          Error writeError;
          // Private to the user, like every other exported file: a bookmark can be a secret too.
          if (!link.writeToURL(candidate, &writeError, weblink::WebLinkWriteMode::kCreateNew,
                               0600)) {
            return writeError;
          }
          return {};
        });
    if (!fileURL) {
      error = makeImportError(
          kSaveErrorCode,
          platform::formatLocalized(u"Cannot save bookmark %@: %@",
                                    {nameOrIdentifier(bookmark), fileURL.error().description}));
      succeeded = false;
      return false;
    }
    if (const platform::Result<bool> restored = restoreItemDatesAtURL(bookmark, *fileURL);
        !restored) {
      platform::logFormat(u"Couldn't set attributes on bookmark (ignoring): %@",
                          {restored.error().description});
    } else if (*restored) {
      logItemDateOutsideFileSystemRange(bookmark, *fileURL);
    }
    addInfoForItem(bookmark, *fileURL, false, false);
    ++summary_.exported[bookmark.kind];
    addCompletedItem(bookmark);
    if (itemObserver_) {
      itemObserver_->itemExported(bookmark, PlannedOutcome::exported, *fileURL);
    }
    return true;
  };
  sourceValue(zelvarApp()->forEachItem(source::ItemKind::bookmark, exportBookmark));
  return succeeded;
}

}  // namespace zv::exporter
