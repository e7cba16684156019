#include "platform/codepage.h"

#include <windows.h>

#include <climits>
#include <cwchar>
#include <new>

namespace platform {
namespace {

UINT CodePage(AnsiCodePage cp) { return cp == AnsiCodePage::Thread ? CP_THREAD_ACP : CP_ACP; }

// The conversion functions count in int.
int IntLength(std::size_t n) {
  if (n > static_cast<std::size_t>(INT_MAX)) throw std::bad_alloc();
  return static_cast<int>(n);
}

}  // namespace

std::string WideToAnsi(const wchar_t* text, std::size_t n) {
  if (!text) return {};
  const int len = IntLength(wcsnlen(text, n));
  if (len == 0) return {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, len, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  const int written = WideCharToMultiByte(CP_ACP, 0, text, len, out.data(), bytes, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::size_t AnsiToWideLength(std::string_view text, AnsiCodePage cp) {
  if (text.empty()) return 0;
  const int units = MultiByteToWideChar(CodePage(cp), 0, text.data(), IntLength(text.size()), nullptr, 0);
  return units > 0 ? static_cast<std::size_t>(units) : 0;
}

std::size_t AnsiToWide(std::string_view text, AnsiCodePage cp, wchar_t* out, std::size_t capacity) {
  if (text.empty() || !out || capacity == 0) return 0;
  const int units = MultiByteToWideChar(CodePage(cp), 0, text.data(), IntLength(text.size()), out,
                                        IntLength(capacity));
  return units > 0 ? static_cast<std::size_t>(units) : 0;
}

}  // namespace platform
