#include "token/module_config.h"

#include <algorithm>
#include <cctype>

namespace kelo {

bool SameModulePath(std::string_view a, std::string_view b, PathStyle style) {
  if (style == PathStyle::kPosix) return a == b;
  // Windows file names ignore letter case, and either slash separates.
  auto fold = [](char c) { return c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

const char* ScopeName(ModuleScope scope) { return scope == ModuleScope::kSystem ? "system" : "user"; }

std::string_view TrimModuleText(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool IsAbsoluteModulePath(std::string_view path, PathStyle style) {
  if (style == PathStyle::kPosix) return !path.empty() && path[0] == '/';
  auto sep = [](char c) { return c == '\\' || c == '/'; };
  // "C:\dir\x.dll" or "\\server\share\x.dll"; "\x.dll" and "C:x.dll" depend
  // on the current drive or its directory.
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && sep(path[2]))
    return true;
  return path.size() >= 3 && sep(path[0]) && sep(path[1]) && !sep(path[2]);
}

std::vector<std::string> ModuleConfig::Paths() const {
  std::vector<std::string> out;
  for (const ModuleEntry& e : entries)
    if (e.state == ModuleEntry::State::kTried) out.push_back(e.path);
  return out;
}

void ModuleConfig::Add(std::string_view text, ModuleScope scope, const std::string& source, std::string where) {
  ModuleEntry e;
  e.path = std::string(TrimModuleText(text));
  e.scope = scope;
  e.source = source;
  e.where = std::move(where);
  using State = ModuleEntry::State;
  auto refuse = [&e](State s, std::string note) {
    e.state = s;
    e.note = std::move(note);
  };
  if (e.path.find('\0') != std::string::npos) {
    refuse(State::kUnusable, "holds a NUL character");
  } else if (e.path.size() > kMaxModulePathLength) {
    refuse(State::kTooLong, "longer than " + std::to_string(kMaxModulePathLength) + " bytes");
    e.path.resize(80);  // enough to recognise it in a report
    e.path += "...";
  } else if (!IsAbsoluteModulePath(e.path, style)) {
    refuse(State::kNotAbsolute,
           "not an absolute path (a relative name would load whatever the library search path finds)");
  } else {
    const auto earlier = std::find_if(entries.begin(), entries.end(), [&](const ModuleEntry& other) {
      return other.state == State::kTried && SameModulePath(other.path, e.path, style);
    });
    if (earlier != entries.end()) {
      // Appended, not concatenated: GCC 12 warns falsely on literal + string.
      std::string why = "listed already (";
      why.append(earlier->source).append(", ").append(earlier->where).append(")");
      refuse(State::kDuplicate, why);
    } else if (Paths().size() >= kMaxConfiguredModules) {
      std::string why = "more than ";
      why.append(std::to_string(kMaxConfiguredModules)).append(" modules configured");
      refuse(State::kTooMany, why);
    }
  }
  entries.push_back(std::move(e));
}

void ModuleConfig::AddFileText(std::string_view text, ModuleScope scope, const std::string& source) {
  std::size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const std::size_t nl = text.find('\n');
    const std::string_view line = TrimModuleText(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line[0] == '#') continue;
    Add(line, scope, source, "line " + std::to_string(lineNo));
  }
}

}  // namespace kelo
