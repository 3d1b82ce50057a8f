#pragma once

#include <optional>

#include "platform/url.h"

namespace zv::app {

/// The URL that hands an export to the target application: scheme "quennet", host "library" and
/// one query item "location" whose value is the metadata file URL's absolute string, encoded so
/// that one decoding of the value gives that string back whatever the file's path holds. Nothing
/// when the pieces form no URL.
std::optional<platform::URL> importURLForMetadataFileAtURL(const platform::URL& metadataFileURL);

}  // namespace zv::app
