// Letter case of ASCII text: method and parameter names, shell commands. Not
// the C library's tolower, whose answer for bytes above 0x7F depends on the
// locale.
#ifndef KELO_COMMON_ASCII_H
#define KELO_COMMON_ASCII_H

#include <cstddef>
#include <string_view>

namespace kelo {

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace kelo

#endif
