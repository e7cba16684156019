// Token modules a person or an administrator configured by path, tried after
// the fixed module names. Linux reads one path per line from
// $XDG_CONFIG_HOME/kelo-ca/modules (default ~/.config/kelo-ca/modules), then
// /etc/kelo-ca/modules; Windows reads the string values of the key
// kModulesKey under HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE, in value-name
// order. Reading and editing live in one sibling file per OS; the rules an
// entry must pass are shared.
#ifndef KELO_TOKEN_MODULE_CONFIG_H
#define KELO_TOKEN_MODULE_CONFIG_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelo {

// A module list longer than this is a mistake, not a configuration: every
// entry is loaded into every control.
inline constexpr std::size_t kMaxConfiguredModules = 32;
// The token object keeps the name in 4096 bytes with its terminator.
inline constexpr std::size_t kMaxModulePathLength = 4095;
inline constexpr std::size_t kMaxModuleFileSize = 64 * 1024;
inline constexpr const wchar_t* kModulesKey = L"Software\\Kelo CA\\Modules";

enum class ModuleScope { kUser, kSystem };
enum class PathStyle { kPosix, kWindows };

// One line or value that names a module, whether it is tried or not.
struct ModuleEntry {
  enum class State {
    kTried,
    kDuplicate,    // listed earlier (tried once, at its first place)
    kNotAbsolute,  // a bare or relative name would load whatever the search path finds
    kTooLong,
    kTooMany,   // beyond kMaxConfiguredModules
    kUnusable,  // not text a path can be (a NUL, not a string value, ...)
  };
  std::string path;  // the text, surrounding white space removed
  ModuleScope scope = ModuleScope::kUser;
  std::string source;  // the file or registry key it came from
  std::string where;   // "line 3", "value \"token\""
  State state = State::kTried;
  std::string note;  // why it is not tried, for people
};

struct ModuleSource {
  enum class State { kAbsent, kRead, kUnreadable };
  ModuleScope scope = ModuleScope::kUser;
  std::string location;  // file path or registry key; empty when none can be named
  State state = State::kAbsent;
  std::string error;
};

struct ModuleConfig {
  explicit ModuleConfig(PathStyle s) : style(s) {}

  // The paths to try, in order.
  std::vector<std::string> Paths() const;
  // Applies the rules (absolute, length, once only, at most
  // kMaxConfiguredModules) to one configured path text.
  void Add(std::string_view text, ModuleScope scope, const std::string& source, std::string where);
  // One entry per line of a file's text: blank lines and lines whose first
  // non-blank character is '#' are skipped ('#' elsewhere belongs to the path).
  void AddFileText(std::string_view text, ModuleScope scope, const std::string& source);

  PathStyle style;
  std::vector<ModuleSource> sources;
  std::vector<ModuleEntry> entries;
};

const char* ScopeName(ModuleScope scope);  // "user", "system"
bool IsAbsoluteModulePath(std::string_view path, PathStyle style);
// Whether two paths name the same file as far as their text tells.
bool SameModulePath(std::string_view a, std::string_view b, PathStyle style);
// Surrounding blanks, tabs and line ends removed.
std::string_view TrimModuleText(std::string_view text);

// This platform's configuration, user entries first. Read afresh on every
// call, so a newly configured module works for the next control.
ModuleConfig ReadModuleConfig();
// Where a scope's configuration lives on this platform.
std::string ModuleConfigLocation(ModuleScope scope);

enum class ModuleEdit { kChanged, kUnchanged, kRefused, kFailed };
// Adds path at the end of the scope's configuration, creating it when needed.
// Refuses a path that is not absolute or does not name a file; kUnchanged when
// it is listed already. message says what happened, for people.
ModuleEdit AddConfiguredModule(ModuleScope scope, const std::string& path, std::string& message);
// Removes every entry that is exactly path; kUnchanged when there is none.
ModuleEdit RemoveConfiguredModule(ModuleScope scope, const std::string& path, std::string& message);

}  // namespace kelo

#endif
