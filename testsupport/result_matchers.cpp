#include "testsupport/result_matchers.h"

#include "platform/unicode.h"

namespace zv::platform {

void PrintTo(const Error& error, std::ostream* stream) {
  *stream << testsupport::detail::describe(error);
}

}  // namespace zv::platform

namespace zv::testsupport::detail {

std::string describe(const platform::Error& error) {
  return "{" + platform::toUtf8(error.domain) + " " + std::to_string(error.code) + " \"" +
         platform::toUtf8(error.description) + "\"}";
}

std::string describeExpected(std::u16string_view domain, std::int64_t code) {
  return "an error " + platform::toUtf8(domain) + " " + std::to_string(code);
}

std::string descriptionOf(const platform::Error& error) {
  return platform::toUtf8(error.description);
}

}  // namespace zv::testsupport::detail
