#include "host/shell_words.h"

#include <algorithm>
#include <cctype>

namespace kelo::shell {
namespace {

// The character an escape inside quotes stands for; '\0' when unknown.
char Unescaped(char e) {
  switch (e) {
    case '"': return '"';
    case '\\': return '\\';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return '\0';
  }
}

void Push(Word& w, char c) { w.text.append(std::string_view(&c, 1)); }

// From just past an opening quote at line[i] to just past its closing one.
bool ReadQuoted(std::string_view line, std::size_t& i, Word& w, std::string& error) {
  if (!w.quoted()) w.quotedFrom = w.text.size();
  for (;;) {
    if (i >= line.size()) {
      error = "unterminated \"";
      return false;
    }
    char c = line[i++];
    if (c == '"') return true;
    if (c == '\\') {
      const char e = i < line.size() ? line[i++] : '\0';
      c = Unescaped(e);
      if (c == '\0') {
        error = std::string("unknown escape \\") + (e ? std::string(1, e) : std::string()) +
                " (known: \\\" \\\\ \\n \\r \\t)";
        return false;
      }
    }
    Push(w, c);
  }
}

}  // namespace

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsIdentifier(std::string_view s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

bool IsIntegerLiteral(std::string_view s) {
  std::size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

bool IsCommand(std::string_view word) {
  return EqualsNoCase(word, "help") || EqualsNoCase(word, "quit") || EqualsNoCase(word, "exit");
}

bool SplitWords(std::string_view line, std::vector<Word>& words, std::string& error) {
  std::size_t i = 0;
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) return true;
    Word w;
    // Reserved up front so that growing never leaves an unwiped copy behind.
    w.text.mutable_str().reserve(n - i);
    while (i < n && !IsBlank(line[i])) {
      const char c = line[i++];
      if (c == '"') {
        if (!ReadQuoted(line, i, w, error)) return false;
        continue;
      }
      if (c == '=' && w.eq == kNoPos && !w.quoted()) w.eq = w.text.size();
      Push(w, c);
    }
    words.push_back(std::move(w));
  }
}

std::vector<RawWord> RawWords(std::string_view line) {
  std::vector<RawWord> words;
  std::size_t i = 0;
  const std::size_t n = line.size();
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) return words;
    RawWord w;
    w.begin = i;
    bool quoted = false;
    while (i < n && !IsBlank(line[i])) {
      if (line[i] == '"') {
        quoted = true;
        for (++i; i < n && line[i] != '"'; ++i)
          if (line[i] == '\\') ++i;
        if (i < n) ++i;
        continue;
      }
      if (line[i] == '=' && !quoted && w.eq == kNoPos) w.eq = i;
      ++i;
    }
    w.end = std::min(i, n);
    words.push_back(w);
  }
}

}  // namespace kelo::shell
