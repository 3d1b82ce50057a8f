#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "platform/platform_errors.h"

namespace zv::platform {

/// A failure as the user and the caller see it: a domain, a code within that domain and a
/// localised description that can be shown as it stands.
struct Error {
  std::u16string domain;
  std::int64_t code = 0;
  std::u16string description;

  friend bool operator==(const Error&, const Error&) = default;
};

/// The platform's user-cancelled error (domain and code as the target application expects them).
inline constexpr char16_t kCocoaErrorDomain[] = u"NSCocoaErrorDomain";
inline constexpr std::int64_t kUserCancelledErrorCode = 3072;

/// Either a value or an Error; never both, never neither.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }
  Error&& error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, Error> state_;
};

/// The result of an operation that yields nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& {
    assert(failed_);
    return error_;
  }
  Error&& error() && {
    assert(failed_);
    return std::move(error_);
  }

 private:
  Error error_;
  bool failed_ = false;
};

/// Builds an error of our platform domain.
Error makePlatformError(PlatformErrorCode code, std::u16string description);
/// The same for a code outside the table: the log file reports its errno values so.
Error makePlatformError(std::int64_t code, std::u16string description);

/// The user-cancelled error, described in the user's language.
Error makeUserCancelledError();

}  // namespace zv::platform
