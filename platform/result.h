#pragma once

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

namespace detail {

#ifndef NDEBUG
/// In debug builds, the duty to look at an error: a Result holding an error that nobody
/// examined (ok(), operator bool or error()) aborts when it is destroyed or overwritten, so an
/// error dropped on the floor shows up in the first test that provokes it, as LLVM's Expected
/// does. A move hands the duty on, leaving the moved-from Result checked; a copy shares it.
class ErrorCheck {
 public:
  ErrorCheck() = default;
  explicit ErrorCheck(bool unchecked) : unchecked_(unchecked) {}
  ErrorCheck(const ErrorCheck& other) = default;
  ErrorCheck(ErrorCheck&& other) noexcept : unchecked_(std::exchange(other.unchecked_, false)) {}
  ErrorCheck& operator=(const ErrorCheck& other) {
    abortIfUnchecked();
    unchecked_ = other.unchecked_;
    return *this;
  }
  ErrorCheck& operator=(ErrorCheck&& other) noexcept {
    abortIfUnchecked();
    unchecked_ = std::exchange(other.unchecked_, false);
    return *this;
  }
  ~ErrorCheck() { abortIfUnchecked(); }

  void markChecked() const { unchecked_ = false; }

 private:
  void abortIfUnchecked() const {
    if (unchecked_) {
      std::fputs(
          "zv::platform::Result: an error was dropped without being checked (look for a Result "
          "whose error nobody tests, or call ignoreError() and say why)\n",
          stderr);
      std::abort();
    }
  }

  mutable bool unchecked_ = false;
};
#else
/// In release builds nothing is tracked and a Result costs no more than its state.
class ErrorCheck {
 public:
  ErrorCheck() = default;
  explicit ErrorCheck(bool /*unchecked*/) {}
  void markChecked() const {}
};
#endif

}  // namespace detail

/// Either a value or an Error; never both, never neither. In debug builds an error must be
/// looked at before the Result goes away (see detail::ErrorCheck).
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Error error)                            // NOLINT(google-explicit-constructor)
      : state_(std::move(error)), check_(true) {}

  bool ok() const {
    check_.markChecked();
    return state_.index() == 0;
  }
  explicit operator bool() const { return ok(); }
  /// Drops a failure on purpose, for best-effort work whose failure changes nothing; the
  /// caller says why beside the call.
  void ignoreError() const { check_.markChecked(); }

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
  [[no_unique_address]] detail::ErrorCheck check_;
};

/// The result of an operation that yields nothing but may fail.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true), check_(true) {}  // NOLINT

  bool ok() const {
    check_.markChecked();
    return !failed_;
  }
  explicit operator bool() const { return ok(); }
  /// Drops a failure on purpose, for best-effort work whose failure changes nothing; the
  /// caller says why beside the call.
  void ignoreError() const { check_.markChecked(); }
  const Error& error() const& {
    assert(!ok());
    return error_;
  }
  Error&& error() && {
    assert(!ok());
    return std::move(error_);
  }

 private:
  Error error_;
  bool failed_ = false;
  [[no_unique_address]] detail::ErrorCheck check_;
};

#define ZV_RESULT_CONCAT_INNER(a, b) a##b
#define ZV_RESULT_CONCAT(a, b) ZV_RESULT_CONCAT_INNER(a, b)

/// Evaluates a Result; when it holds an error, returns that error from the enclosing function,
/// whose return type must be constructible from an Error (any Result).
#define ZV_TRY(...)                          \
  do {                                       \
    auto&& zvTryResult = (__VA_ARGS__);      \
    if (!zvTryResult) {                      \
      return std::move(zvTryResult).error(); \
    }                                        \
  } while (false)

/// Evaluates a Result<T>; when it holds an error, returns that error from the enclosing
/// function, otherwise assigns its value to lhs, which may declare a variable ("auto x").
#define ZV_ASSIGN_OR_RETURN(lhs, ...) \
  ZV_ASSIGN_OR_RETURN_IMPL(ZV_RESULT_CONCAT(zvAssignResult, __COUNTER__), lhs, __VA_ARGS__)
#define ZV_ASSIGN_OR_RETURN_IMPL(temporary, lhs, ...) \
  auto temporary = (__VA_ARGS__);                     \
  if (!temporary) {                                   \
    return std::move(temporary).error();              \
  }                                                   \
  lhs = std::move(temporary).value()

/// Builds an error of our platform domain.
Error makePlatformError(PlatformErrorCode code, std::u16string description);
/// The same for a code outside the table: the log file reports its errno values so.
Error makePlatformError(std::int64_t code, std::u16string description);

/// The user-cancelled error: the platform's domain and code, and no description, since the
/// receiver shows its own text for a cancel.
Error makeUserCancelledError();

}  // namespace zv::platform
