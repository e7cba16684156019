// kelo-window-text: waits for a top-level window with the given title and
// prints its text and the text of each of its child windows, one a line,
// in UTF-8. Lets a Linux-side script read what a dialog under Wine says;
// with --cancel it then cancels the dialog, as its Cancel button does
// (keys sent from outside Wine do not always reach a dialog that is still
// settling).
//
//   kelo-window-text [--cancel] TITLE [SECONDS]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Widen(const char* s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

void PrintText(HWND hwnd) {
  const int len = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
  const int got = GetWindowTextW(hwnd, text.data(), len + 1);
  if (got <= 0) return;
  text.resize(static_cast<std::size_t>(got));
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), got, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), got, utf8.data(), n, nullptr, nullptr);
  std::printf("%s\n", utf8.c_str());
}

BOOL CALLBACK PrintChild(HWND hwnd, LPARAM) {
  PrintText(hwnd);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const bool cancel = argc > 1 && std::string(argv[1]) == "--cancel";
  if (cancel) {
    --argc;
    ++argv;
  }
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: kelo-window-text [--cancel] TITLE [SECONDS]\n");
    return 2;
  }
  const std::wstring title = Widen(argv[1]);
  const long seconds = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 60;
  for (long tenth = 0; tenth < seconds * 10; ++tenth) {
    if (HWND hwnd = FindWindowW(nullptr, title.c_str()); hwnd != nullptr && IsWindowVisible(hwnd)) {
      PrintText(hwnd);
      EnumChildWindows(hwnd, PrintChild, 0);
      std::fflush(stdout);
      if (cancel && !PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0)) return 1;
      return 0;
    }
    Sleep(100);
  }
  std::fprintf(stderr, "no window titled %s\n", argv[1]);
  return 1;
}
