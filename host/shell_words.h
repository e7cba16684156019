// How `kelo-ca shell` cuts a line into words: strictly, with quotes and
// escapes resolved, to run it; leniently, as positions in the line, to echo
// it and to decide what the history keeps (also of lines that do not parse).
#ifndef KELO_HOST_SHELL_WORDS_H
#define KELO_HOST_SHELL_WORDS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/ascii.h"
#include "platform/secret.h"

namespace kelo::shell {

inline constexpr std::size_t kNoPos = std::string_view::npos;

bool StartsWithNoCase(std::string_view s, std::string_view prefix);
bool IsBlank(char c);
// A letter or underscore, then letters, digits and underscores.
bool IsIdentifier(std::string_view s);
// Decimal digits with an optional leading minus.
bool IsIntegerLiteral(std::string_view s);
// help, quit or exit, in any letter case.
bool IsCommand(std::string_view word);

// A word with its quotes and escapes resolved; the text may be a PIN.
struct Word {
  platform::SecretString text;
  std::size_t quotedFrom = kNoPos;  // where the first quoted character landed
  std::size_t eq = kNoPos;          // first '=' before any quote
  bool quoted() const { return quotedFrom != kNoPos; }
};

// False with a message for an unterminated quote or an unknown escape.
bool SplitWords(std::string_view line, std::vector<Word>& words, std::string& error);

// A word as it stands in the line, found without failing: an unterminated
// quote runs to the end of the line.
struct RawWord {
  std::size_t begin = 0, end = 0;
  std::size_t eq = kNoPos;  // first '=' before any quote
  std::string_view text(std::string_view line) const { return line.substr(begin, end - begin); }
};

std::vector<RawWord> RawWords(std::string_view line);

}  // namespace kelo::shell

#endif
