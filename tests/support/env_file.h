// Reads the NAME=VALUE files the fixture scripts leave behind (fixture.env,
// token.env): one assignment a line, a value in double or single quotes or
// with backslash escapes as bash's printf %q writes it.
#ifndef KELO_TESTS_SUPPORT_ENV_FILE_H
#define KELO_TESTS_SUPPORT_ENV_FILE_H

#include <fstream>
#include <map>
#include <string>

namespace kelo::test {

// Empty when the file cannot be read; lines without '=' are skipped.
inline std::map<std::string, std::string> ReadEnvFile(const std::string& path) {
  std::map<std::string, std::string> vars;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    } else {
      std::string plain;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        plain += value[i];
      }
      value = plain;
    }
    vars[line.substr(0, eq)] = value;
  }
  return vars;
}

}  // namespace kelo::test

#endif
