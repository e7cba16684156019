#include "host/native_host_args.h"

#include <cctype>
#include <string_view>

#include "common/ascii.h"

namespace kelo {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool IsChromiumOrigin(std::string_view a) {
  constexpr std::string_view kScheme = "chrome-extension://";
  if (!StartsWith(a, kScheme)) return false;
  std::string_view id = a.substr(kScheme.size());
  if (!id.empty() && id.back() == '/') id.remove_suffix(1);
  if (id.empty()) return false;
  for (char c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsAbsolutePath(std::string_view p) {
  if (StartsWith(p, "/")) return true;
  // Windows: drive letter, or a UNC path.
  if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
      (p[2] == '\\' || p[2] == '/')) {
    return true;
  }
  return StartsWith(p, "\\\\");
}

bool EndsWithJson(std::string_view p) {
  constexpr std::string_view kExt = ".json";
  if (p.size() <= kExt.size()) return false;
  return EqualsNoCase(p.substr(p.size() - kExt.size()), kExt);
}

}  // namespace

bool LooksLikeNativeMessagingLaunch(int argc, char** argv) {
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) return false;
  std::string_view first = argv[1];
  if (IsChromiumOrigin(first)) {
    for (int i = 2; i < argc; ++i) {
      if (argv[i] == nullptr || !StartsWith(argv[i], "--parent-window=")) return false;
    }
    return true;
  }
  if (argc == 3 && argv[2] != nullptr && IsAbsolutePath(first) && EndsWithJson(first)) {
    std::string_view id = argv[2];
    return !id.empty() && id[0] != '-';
  }
  return false;
}

}  // namespace kelo
