#pragma once

#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/localization.h"
#include "platform/result.h"

namespace zv::platform {

/// Writes the message as one line to the log destination (standard error unless redirected):
/// "YYYY-MM-DD HH:MM:SS.mmm Zelvar Importer[pid:tid] message". Safe from any thread; a line is
/// never mixed with another one. Line breaks and other control characters in the message are
/// written as escapes, so a name taken from a library cannot forge a log line.
void log(std::u16string_view message);

/// Fills the format like formatString() (not localised: the log is for developers), then logs.
void logFormat(std::u16string_view format, std::initializer_list<FormatArgument> args);

/// Points standard error at the file at the path (file-system bytes) so that everything the
/// process writes there, log lines included, lands in the file. The file is created private to
/// the user (0600) or appended to if it is ours already; a symbolic link, a non-regular file or
/// a file with other hard links is refused and standard error is left as it was.
Result<void> reopenStandardErrorToFile(const std::string& path);

/// Sends log lines to the descriptor instead of standard error (tests capture them this way);
/// returns the descriptor used until now. The caller keeps the descriptor open. A negative
/// descriptor discards the lines without even formatting them.
int setLogFileDescriptor(int descriptor);

/// The UTF-8 text made safe to show on a terminal or in a log line: line feeds and carriage
/// returns as "\n" and "\r", every other control character (C0 but the tab, DEL, C1) and every
/// byte that is not part of well-formed UTF-8 as "\xHH" per byte. Nothing a name from a library
/// holds can then move the cursor, retitle a window or start a line of its own. With
/// `keepLineFeeds`, for text of many lines, line feeds stay as they are.
std::string escapedControlCharacters(std::string_view text, bool keepLineFeeds = false);

/// The line as log() writes it (newline included) for a given local time, process and thread.
std::string formatLogLine(std::u16string_view message, const std::tm& localTime, int milliseconds,
                          long long processIdentifier, long long threadIdentifier);

}  // namespace zv::platform
