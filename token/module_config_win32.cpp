// Module lists in the registry: string values of one key under
// HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE. Value names only order the
// entries.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "token/module_config.h"

namespace kelo {
namespace {

// More values than this under one key are not looked at.
constexpr DWORD kMaxValues = 1024;

class ScopedKey {
 public:
  ScopedKey() = default;
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

HKEY Root(ModuleScope scope) { return scope == ModuleScope::kSystem ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

std::string ErrorText(LONG code) {
  char buf[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == '.')) buf[--n] = 0;
  return n ? std::string(buf, n) : "error " + std::to_string(code);
}

struct Value {
  std::wstring name;
  DWORD type = REG_NONE;
  std::wstring text;  // string values, expanded; empty otherwise
};

std::wstring Expand(const std::wstring& text) {
  const DWORD need = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
  if (need == 0) return text;
  std::wstring out(need, L'\0');
  const DWORD got = ExpandEnvironmentStringsW(text.c_str(), out.data(), need);
  if (got == 0 || got > need) return text;
  out.resize(got - 1);  // without the terminator
  return out;
}

// Every value of key, in name order (names ignore letter case).
LONG ReadValues(HKEY key, std::vector<Value>& values) {
  DWORD count = 0, maxName = 0, maxData = 0;
  LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName, &maxData,
                             nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  count = std::min(count, kMaxValues);
  for (DWORD i = 0; i < count; ++i) {
    std::wstring name(maxName + 1, L'\0');
    std::vector<BYTE> data(maxData + sizeof(wchar_t));
    DWORD nameLen = maxName + 1;
    DWORD dataLen = maxData;
    Value v;
    rc = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &v.type, data.data(), &dataLen);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;  // changed while read: the next read sees it
    name.resize(nameLen);
    v.name = std::move(name);
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
      // The data need not end in a terminator; it ends at the first one.
      const auto* chars = reinterpret_cast<const wchar_t*>(data.data());
      v.text.assign(chars, wcsnlen(chars, dataLen / sizeof(wchar_t)));
      if (v.type == REG_EXPAND_SZ) v.text = Expand(v.text);
    }
    values.push_back(std::move(v));
  }
  std::sort(values.begin(), values.end(), [](const Value& a, const Value& b) {
    return CompareStringOrdinal(a.name.c_str(), -1, b.name.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  return ERROR_SUCCESS;
}

// The ANSI text LoadLibraryA is given; false when a character has no
// equivalent there (a stand-in would name another file).
bool ToAnsi(const std::wstring& text, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  BOOL lossy = FALSE;
  const int len = static_cast<int>(std::min<std::size_t>(text.size(), 32767));
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), len, nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return false;
  out.assign(static_cast<std::size_t>(bytes), '\0');
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), len, out.data(), bytes, nullptr, &lossy) ==
             bytes &&
         !lossy;
}

std::wstring FromAnsi(const std::string& text) {
  std::wstring out(platform::AnsiToWideLength(text, platform::AnsiCodePage::System), L'\0');
  out.resize(platform::AnsiToWide(text, platform::AnsiCodePage::System, out.data(), out.size()));
  return out;
}

bool Matches(const Value& v, const std::string& path) {
  std::string text;
  return (v.type == REG_SZ || v.type == REG_EXPAND_SZ) && ToAnsi(v.text, text) &&
         SameModulePath(text, path, PathStyle::kWindows);
}

}  // namespace

std::string ModuleConfigLocation(ModuleScope scope) {
  return std::string(scope == ModuleScope::kSystem ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") +
         platform::WideToAnsi(kModulesKey, std::wcslen(kModulesKey));
}

ModuleConfig ReadModuleConfig() {
  ModuleConfig config(PathStyle::kWindows);
  for (ModuleScope scope : {ModuleScope::kUser, ModuleScope::kSystem}) {
    ModuleSource source;
    source.scope = scope;
    source.location = ModuleConfigLocation(scope);
    ScopedKey key;
    LONG rc = RegOpenKeyExW(Root(scope), kModulesKey, 0, KEY_QUERY_VALUE, key.out());
    std::vector<Value> values;
    if (rc == ERROR_SUCCESS) rc = ReadValues(key.get(), values);
    if (rc == ERROR_SUCCESS) {
      source.state = ModuleSource::State::kRead;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
      source.state = ModuleSource::State::kUnreadable;
      source.error = ErrorText(rc);
    }
    for (const Value& v : values) {
      const std::string where = "value \"" + platform::WideToAnsi(v.name.c_str(), v.name.size()) + "\"";
      std::string path;
      if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && ToAnsi(v.text, path)) {
        config.Add(path, scope, source.location, where);
        continue;
      }
      ModuleEntry e;
      e.path = platform::WideToAnsi(v.text.c_str(), v.text.size());
      e.scope = scope;
      e.source = source.location;
      e.where = where;
      e.state = ModuleEntry::State::kUnusable;
      e.note = v.type == REG_SZ || v.type == REG_EXPAND_SZ ? "holds characters the system code page lacks"
                                                           : "not a string value";
      config.entries.push_back(std::move(e));
    }
    config.sources.push_back(std::move(source));
  }
  return config;
}

ModuleEdit AddConfiguredModule(ModuleScope scope, const std::string& path, std::string& message) {
  const std::string where = ModuleConfigLocation(scope);
  if (path.empty() || TrimModuleText(path) != path) {
    message = "'" + path + "' is empty or has blanks at either end";
    return ModuleEdit::kRefused;
  }
  if (!IsAbsoluteModulePath(path, PathStyle::kWindows)) {
    message = "'" + path + "' is not an absolute path: a relative name would load whatever the DLL search path finds";
    return ModuleEdit::kRefused;
  }
  if (path.size() > kMaxModulePathLength) {
    message = "the path is longer than " + std::to_string(kMaxModulePathLength) + " bytes";
    return ModuleEdit::kRefused;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    message = path + " does not exist (" + ErrorText(static_cast<LONG>(GetLastError())) + ")";
    return ModuleEdit::kRefused;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    message = path + " is not a file";
    return ModuleEdit::kRefused;
  }
  ScopedKey key;
  LONG rc = RegCreateKeyExW(Root(scope), kModulesKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                            key.out(), nullptr);
  std::vector<Value> values;
  if (rc == ERROR_SUCCESS) rc = ReadValues(key.get(), values);
  if (rc != ERROR_SUCCESS) {
    message = "cannot open " + where + ": " + ErrorText(rc);
    return ModuleEdit::kFailed;
  }
  unsigned long last = 0;
  std::size_t strings = 0;
  for (const Value& v : values) {
    if (Matches(v, path)) {
      message = path + " is already listed in " + where;
      return ModuleEdit::kUnchanged;
    }
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) ++strings;
    if (!v.name.empty() && v.name.size() < 9 && v.name.find_first_not_of(L"0123456789") == std::wstring::npos)
      last = std::max(last, std::wcstoul(v.name.c_str(), nullptr, 10));
  }
  if (strings >= kMaxConfiguredModules) {
    message = where + " already lists " + std::to_string(strings) + " modules, the most that are tried";
    return ModuleEdit::kRefused;
  }
  // Numbered names keep the order of adding: they sort after the ones before.
  wchar_t name[16] = {};
  std::swprintf(name, 16, L"%04lu", last + 1);
  const std::wstring data = FromAnsi(path);
  rc = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (rc != ERROR_SUCCESS) {
    message = "cannot write " + where + ": " + ErrorText(rc);
    return ModuleEdit::kFailed;
  }
  message = "added " + path + " to " + where;
  return ModuleEdit::kChanged;
}

ModuleEdit RemoveConfiguredModule(ModuleScope scope, const std::string& path, std::string& message) {
  const std::string where = ModuleConfigLocation(scope);
  ScopedKey key;
  LONG rc = RegOpenKeyExW(Root(scope), kModulesKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.out());
  std::vector<Value> values;
  if (rc == ERROR_SUCCESS) rc = ReadValues(key.get(), values);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    message = "cannot open " + where + ": " + ErrorText(rc);
    return ModuleEdit::kFailed;
  }
  bool removed = false;
  for (const Value& v : values) {
    if (!Matches(v, path)) continue;
    rc = RegDeleteValueW(key.get(), v.name.c_str());
    if (rc != ERROR_SUCCESS) {
      message = "cannot change " + where + ": " + ErrorText(rc);
      return ModuleEdit::kFailed;
    }
    removed = true;
  }
  if (!removed) {
    message = path + " is not listed in " + where;
    return ModuleEdit::kUnchanged;
  }
  message = "removed " + path + " from " + where;
  return ModuleEdit::kChanged;
}

}  // namespace kelo
