#pragma once

#include <gmock/gmock.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace zv::platform {

// How GoogleTest prints our errors and results in a failure message: domain, code and
// description, instead of the bytes of the object.
void PrintTo(const Error& error, std::ostream* stream);

template <typename T>
void PrintTo(const Result<T>& result, std::ostream* stream) {
  if (result.ok()) {
    *stream << "a success";
    return;
  }
  *stream << "an error ";
  PrintTo(result.error(), stream);
}

}  // namespace zv::platform

namespace zv::testsupport {
namespace detail {

// The error a matched value holds, if any. A std::optional<Error> is how completion callbacks
// report: nullopt is a success.
inline const platform::Error* errorOf(const platform::Error& error) {
  return &error;
}
inline const platform::Error* errorOf(const std::optional<platform::Error>& error) {
  return error ? &*error : nullptr;
}
template <typename T>
const platform::Error* errorOf(const platform::Result<T>& result) {
  return result.ok() ? nullptr : &result.error();
}

std::string describe(const platform::Error& error);
std::string describeExpected(std::u16string_view domain, std::int64_t code);
std::string descriptionOf(const platform::Error& error);

}  // namespace detail

/// Matches a Result (or a std::optional<Error>) that holds no error; on failure it prints the
/// error's domain, code and description.
MATCHER(IsOk, negation ? "fails" : "succeeds") {
  const platform::Error* error = detail::errorOf(arg);
  if (error != nullptr) {
    *result_listener << "failed with " << detail::describe(*error);
  }
  return error == nullptr;
}

/// Matches a Result, an Error or a std::optional<Error> that holds the error `code` (a number
/// or an enumerator) of `domain`.
MATCHER_P2(IsError, domain, code,
           (negation ? "is not " : "is ") +
               detail::describeExpected(domain, static_cast<std::int64_t>(code))) {
  const platform::Error* error = detail::errorOf(arg);
  if (error == nullptr) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << detail::describe(*error);
  return error->domain == std::u16string_view(domain) &&
         error->code == static_cast<std::int64_t>(code);
}

/// The same, and the error's description (as UTF-8) matches `descriptionMatcher`, for example
/// HasSubstr("Cannot save").
MATCHER_P3(IsError, domain, code, descriptionMatcher,
           (negation ? "is not " : "is ") +
               detail::describeExpected(domain, static_cast<std::int64_t>(code)) +
               " whose description " +
               ::testing::DescribeMatcher<std::string>(descriptionMatcher)) {
  const platform::Error* error = detail::errorOf(arg);
  if (error == nullptr) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << detail::describe(*error);
  return error->domain == std::u16string_view(domain) &&
         error->code == static_cast<std::int64_t>(code) &&
         ::testing::Matches(descriptionMatcher)(detail::descriptionOf(*error));
}

/// Matches an error of the platform's own domain with `code`, a PlatformErrorCode.
template <typename Code>
auto IsPlatformError(Code code) {
  return IsError(platform::kPlatformErrorDomain, code);
}
/// The same, and the description matches `descriptionMatcher`.
template <typename Code, typename DescriptionMatcher>
auto IsPlatformError(Code code, DescriptionMatcher descriptionMatcher) {
  return IsError(platform::kPlatformErrorDomain, code, descriptionMatcher);
}

}  // namespace zv::testsupport
