// Sets or removes one environment variable for a scope and puts back what
// was there before, so a test that changes the environment leaves none of it
// to the next one.
#ifndef KELO_TESTS_SUPPORT_SCOPED_ENV_H
#define KELO_TESTS_SUPPORT_SCOPED_ENV_H

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace kelo::test {

class ScopedEnv {
 public:
  // A null value removes the variable for the scope.
  ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Apply(name_, value);
  }
  ScopedEnv(std::string name, const std::string& value) : ScopedEnv(std::move(name), value.c_str()) {}
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { Apply(name_, old_ ? old_->c_str() : nullptr); }

 private:
  static void Apply(const std::string& name, const char* value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value != nullptr ? value : "");  // "" removes it
#else
    if (value != nullptr) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
#endif
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace kelo::test

#endif
