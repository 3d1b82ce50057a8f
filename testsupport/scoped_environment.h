#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace zv::testsupport {

/// Sets (or, given none, unsets) an environment variable for the life of the object and then
/// puts back what was there, even when an assertion ends the test early.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* saved = std::getenv(name_.c_str()); saved != nullptr) {
      saved_ = saved;
    }
    set(value);
  }
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;
  ~ScopedEnvironmentVariable() { set(saved_); }

  void set(const std::optional<std::string>& value) const {
    value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace zv::testsupport
