#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "platform/localization.h"

namespace zv::app {

/// Our UTF-16 text as Qt's; both count UTF-16 code units, so nothing is converted.
inline QString toQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

/// The localised form of an English text of ours, for a widget.
inline QString localizedQString(std::u16string_view english) {
  return toQString(platform::localized(english));
}

}  // namespace zv::app
