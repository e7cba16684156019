// The one way to hold a secret (a PIN, a plaintext) in a string: it is wiped
// whenever its text is replaced or released, so no early return or exception
// leaves a copy behind.
#ifndef KELO_PLATFORM_SECRET_H
#define KELO_PLATFORM_SECRET_H

#include <string>
#include <string_view>
#include <utility>

#include "platform/wipe.h"

namespace platform {

class SecretString {
 public:
  SecretString() = default;
  // A short text stays in the moved-from argument's own bytes: wiped too.
  // NOLINTNEXTLINE(google-explicit-constructor): taking a plain string is the point
  SecretString(std::string text) : s_(std::move(text)) { SecureWipe(text); }
  SecretString(const char* text) : s_(text) {}  // NOLINT(google-explicit-constructor)
  SecretString(const SecretString& other) : s_(other.s_) {}
  // Moving leaves the source's buffer wiped (a short string's bytes would
  // otherwise stay in it).
  SecretString(SecretString&& other) noexcept : s_(std::move(other.s_)) { SecureWipe(other.s_); }
  SecretString& operator=(const SecretString& other) {
    if (this != &other) assign(other.s_);
    return *this;
  }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      SecureWipe(s_);
      s_ = std::move(other.s_);
      SecureWipe(other.s_);
    }
    return *this;
  }
  SecretString& operator=(std::string text) {
    SecureWipe(s_);
    s_ = std::move(text);
    SecureWipe(text);
    return *this;
  }
  ~SecretString() { SecureWipe(s_); }

  // Replaces the text without leaving the old one in released memory.
  void assign(std::string_view text) {
    SecureWipe(s_);
    s_.assign(text.data(), text.size());
  }
  void clear() { SecureWipe(s_); }
  // Appending may reallocate: the old buffer is wiped first.
  void append(std::string_view more) {
    if (s_.size() + more.size() > s_.capacity()) {
      std::string grown;
      grown.reserve(2 * (s_.size() + more.size()));
      grown.append(s_);
      SecureWipe(s_);
      s_ = std::move(grown);
    }
    s_.append(more.data(), more.size());
  }

  const std::string& str() const { return s_; }
  // For APIs that write in place; the caller must not let it reallocate.
  std::string& mutable_str() { return s_; }
  operator const std::string&() const { return s_; }  // NOLINT: reads like the string it holds
  const char* c_str() const { return s_.c_str(); }
  const char* data() const { return s_.data(); }
  std::size_t size() const { return s_.size(); }
  bool empty() const { return s_.empty(); }

  friend bool operator==(const SecretString& a, std::string_view b) { return a.s_ == b; }

 private:
  std::string s_;
};

}  // namespace platform

#endif
