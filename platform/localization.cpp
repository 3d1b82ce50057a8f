#include "platform/localization.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "platform/result.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

std::mutex& tableMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::u16string, std::u16string>& table() {
  static std::map<std::u16string, std::u16string> translations;
  return translations;
}

std::u16string formatReal(double value, int decimals) {
  if (std::isnan(value)) {
    return u"nan";
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return fromUtf8(buffer);
}

// Reads the placeholder that starts at format[i] == '%'. Returns its length, or 0 when what
// follows is not one we fill. decimals is -1 for "%@" and integers, else the real's precision.
size_t placeholderLength(std::u16string_view format, size_t i, char& kind, int& decimals) {
  std::u16string_view rest = format.substr(i + 1);
  decimals = -1;
  if (rest.starts_with(u"@")) {
    kind = '@';
    return 2;
  }
  for (std::u16string_view integer : {u"lld", u"ld", u"d", u"lu", u"u"}) {
    if (rest.starts_with(integer)) {
      kind = 'd';
      return integer.size() + 1;
    }
  }
  size_t j = 0;
  int precision = 6;
  if (j < rest.size() && rest[j] == u'.') {
    ++j;
    precision = 0;
    while (j < rest.size() && rest[j] >= u'0' && rest[j] <= u'9' && precision < 100) {
      precision = precision * 10 + (rest[j] - u'0');
      ++j;
    }
  }
  if (rest.substr(j).starts_with(u"lf")) {
    j += 2;
  } else if (rest.substr(j).starts_with(u"f")) {
    j += 1;
  } else {
    return 0;
  }
  kind = 'f';
  decimals = precision;
  return j + 1;
}

}  // namespace

std::u16string localized(std::u16string_view englishKey) {
  std::lock_guard lock(tableMutex());
  const auto& translations = table();
  if (auto found = translations.find(std::u16string(englishKey)); found != translations.end()) {
    return found->second;
  }
  return std::u16string(englishKey);
}

void setLocalizationTable(std::map<std::u16string, std::u16string> translations) {
  std::lock_guard lock(tableMutex());
  table() = std::move(translations);
}

std::u16string formatString(std::u16string_view format,
                            std::initializer_list<FormatArgument> args) {
  std::u16string out;
  out.reserve(format.size() + 16);
  const FormatArgument* next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      out.push_back(format[i]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    char kind = 0;
    int decimals = -1;
    size_t length = placeholderLength(format, i, kind, decimals);
    if (length == 0 || next == args.end()) {
      out.push_back(u'%');
      continue;
    }
    const FormatArgument& argument = *next;
    bool filled = true;
    if (kind == '@' && std::holds_alternative<std::u16string>(argument)) {
      out += std::get<std::u16string>(argument);
    } else if ((kind == '@' || kind == 'd') && std::holds_alternative<std::int64_t>(argument)) {
      out += fromUtf8(std::to_string(std::get<std::int64_t>(argument)));
    } else if (kind == 'f' && std::holds_alternative<double>(argument)) {
      out += formatReal(std::get<double>(argument), decimals);
    } else if (kind == 'f' && std::holds_alternative<std::int64_t>(argument)) {
      out += formatReal(static_cast<double>(std::get<std::int64_t>(argument)), decimals);
    } else {
      filled = false;
    }
    if (!filled) {
      out.append(format.substr(i, length));
    }
    ++next;
    i += length - 1;
  }
  return out;
}

std::u16string formatLocalized(std::u16string_view englishFormat,
                               std::initializer_list<FormatArgument> args) {
  return formatString(localized(englishFormat), args);
}

Error makePlatformError(PlatformErrorCode code, std::u16string description) {
  return makePlatformError(static_cast<std::int64_t>(code), std::move(description));
}

Error makePlatformError(std::int64_t code, std::u16string description) {
  return Error{kPlatformErrorDomain, code, std::move(description)};
}

Error makeUserCancelledError() {
  return Error{kCocoaErrorDomain, kUserCancelledErrorCode, u""};
}

}  // namespace zv::platform
