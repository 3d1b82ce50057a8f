#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <variant>

namespace zv::platform {

/// Looks a user-visible text up with its English text as the key. A key without a translation
/// comes back as it stands, so the English texts can be written where they are used.
std::u16string localized(std::u16string_view englishKey);

/// One argument of formatLocalized: an object's text for "%@", an integer for "%ld" (and "%d"),
/// a real for "%.0lf" (and "%lf", "%f").
using FormatArgument = std::variant<std::u16string, std::int64_t, double>;

/// Fills the placeholders of a format text in order: "%@" with text, "%ld" with a decimal
/// integer, "%.Nlf" with a real rounded to N decimals; "%%" is a percent sign. A placeholder
/// whose argument is missing or of the wrong kind is left as it stands, never a crash.
std::u16string formatString(std::u16string_view format, std::initializer_list<FormatArgument> args);

/// localized(format), then formatString with the arguments.
std::u16string formatLocalized(std::u16string_view englishFormat,
                               std::initializer_list<FormatArgument> args);

/// Installs a table of translations for the rest of the process (tests and a future catalogue
/// loader use it); an empty table restores the English texts.
void setLocalizationTable(std::map<std::u16string, std::u16string> table);

}  // namespace zv::platform
