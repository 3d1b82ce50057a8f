#pragma once

#include <memory>
#include <string>

#include "source/source_library.h"

namespace zv::source {

/// The source application's library over the session bus, under the application's well-known
/// bus name. Nothing is called until the export asks; a D-Bus error of any call fails that call
/// with kSourceCallFailedErrorCode and the error's message.
std::unique_ptr<SourceLibrary> makeDBusSourceLibrary(std::string busName);

/// The same on the bus at busAddress rather than the session bus.
std::unique_ptr<SourceLibrary> makeDBusSourceLibrary(std::string busName, std::string busAddress);

}  // namespace zv::source
