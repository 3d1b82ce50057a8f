// The bookmark phase: each bookmark becomes a web link file of its own in the root folder.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/item_file_dates.h"
#include "export/item_file_names.h"
#include "export/root_folder_names.h"
#include "export/source_call.h"
#include "platform/exclusive_file.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {

using platform::Error;
using platform::Result;
using platform::URL;
using weblink::QNTWebLinkFile;

namespace {

std::u16string nameOrIdentifier(const source::DatabaseItem& bookmark) {
  return bookmark.name.empty() ? bookmark.id : bookmark.name;
}

struct WrittenBookmark {
  URL url;
  // Whether the file took the bookmark's dates, or why not.
  Result<bool> datesRestored;
};

// Writes the link's file under the first free name for it the way payloads are written: made
// anew (never over anything), filled, flagged and dated through the open file, and removed again
// when it cannot be finished. No temporary name and rename, no lookups of the path.
Result<WrittenBookmark> writeBookmarkFile(const source::DatabaseItem& bookmark,
                                          const QNTWebLinkFile& link, const URL& rootFolder,
                                          RootFolderNames& names) {
  // The bytes first: a link that cannot be written stops the run before a file is made.
  Error dataError;
  const std::optional<std::vector<std::uint8_t>> bytes =
      link.webLinkDataForType(QNTWebLinkFile::fileType(), &dataError);
  if (!bytes) {
    return dataError;
  }
  // Two bookmarks of one title must not share a file: the name index numbers the second, and
  // a file is never replaced.
  std::optional<platform::ExclusiveFile> file;
  ZV_ASSIGN_OR_RETURN(
      URL fileURL,
      names.placeFileUnderFreeName(
          rootFolder, fileNameForBookmark(link), [&](const URL& candidate) -> Result<void> {
            // Private to the user like every exported file: a bookmark can be a secret too.
            ZV_ASSIGN_OR_RETURN(auto created,
                                platform::ExclusiveFile::createAtURL(candidate, 0600));
            file.emplace(std::move(created));
            return {};
          }));
  ZV_TRY(file->writeContent(*bytes));
  // A new web link shows without its extension, as the link writer makes every new one. The
  // flag only decides how the name is shown: a volume without extended attributes must not
  // make the write fail.
  platform::setHasHiddenExtensionOfOpenFile(file->descriptor(), true, file->path()).ignoreError();
  Result<bool> datesRestored =
      restoreItemDatesOfOpenFile(bookmark, file->descriptor(), file->path());
  if (Result<void> finished = file->finish(); !finished) {
    // The run stops on the lost file; whether its dates took no longer matters.
    datesRestored.ignoreError();
    return std::move(finished).error();
  }
  return WrittenBookmark{std::move(fileURL), std::move(datesRestored)};
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

    Result<WrittenBookmark> written =
        writeBookmarkFile(bookmark, link, rootFolder, rootFolderNames_);
    if (!written) {
      error = makeImportError(
          kSaveErrorCode,
          platform::formatLocalized(u"Cannot save bookmark %@: %@",
                                    {nameOrIdentifier(bookmark), written.error().description}));
      succeeded = false;
      return false;
    }
    const URL& fileURL = written->url;
    if (const Result<bool>& restored = written->datesRestored; !restored) {
      platform::logFormat(u"Couldn't set attributes on bookmark (ignoring): %@",
                          {restored.error().description});
    } else if (*restored) {
      logItemDateOutsideFileSystemRange(bookmark, fileURL);
    }
    addInfoForItem(bookmark, fileURL, false, false);
    ++summary_.exported[bookmark.kind];
    addCompletedItem(bookmark);
    if (itemObserver_) {
      itemObserver_->itemExported(bookmark, PlannedOutcome::exported, fileURL);
    }
    return true;
  };
  sourceValue(zelvarApp()->forEachItem(source::ItemKind::bookmark, exportBookmark));
  return succeeded;
}

}  // namespace zv::exporter
