#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "app/import_checks.h"
#include "platform/workspace.h"
#include "source/source_library.h"

namespace zv::app {

/// Scripting handles on applications over the session bus: there is one for an identifier when
/// the workspace finds that application installed, and it calls the bus name that is the
/// identifier. The workspace must outlive the factory.
SourceApplicationFactory makeLiveSourceFactory(const platform::Workspace& workspace);

/// Runs checkZelvar to its end on the calling thread, which serves as the main queue meanwhile
/// (a program without an event loop of its own: the command line).
std::variant<std::shared_ptr<source::SourceLibrary>, Alert> checkZelvarAndWait(
    platform::Workspace& workspace, const SourceApplicationFactory& makeSource);

/// An alert as one line for standard error: "<program>: <message> <informative text>".
std::string alertLine(std::string_view program, const Alert& alert);

}  // namespace zv::app
