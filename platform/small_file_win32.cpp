#include <windows.h>

#include <cstdint>
#include <string_view>

#include "platform/small_file.h"

namespace platform {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsUpper(std::string_view s, std::string_view upper) {
  if (s.size() != upper.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (Upper(s[i]) != upper[i]) return false;
  }
  return true;
}

// \\.\ and \\?\ (and \??\) reach devices, pipes and volumes directly.
bool IsDeviceNamespace(std::string_view p) {
  return p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[3]) &&
         ((IsSeparator(p[1]) && (p[2] == '.' || p[2] == '?')) || (p[1] == '?' && p[2] == '?'));
}

// CON, NUL, COM1 and the like name a device in every directory, whatever
// extension or trailing blanks follow; opening one (a serial port, the
// console) can block or act before its type could be checked.
bool IsReservedName(std::string_view p) {
  std::size_t sep = p.find_last_of("\\/");
  std::string_view name = sep == std::string_view::npos ? p : p.substr(sep + 1);
  if (sep == std::string_view::npos && name.size() >= 2 && name[1] == ':') name.remove_prefix(2);  // C:NUL
  name = name.substr(0, name.find_first_of(".:"));  // NUL.txt, COM1:
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  for (std::string_view fixed : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
    if (EqualsUpper(name, fixed)) return true;
  }
  if (name.size() == 4 && (EqualsUpper(name.substr(0, 3), "COM") || EqualsUpper(name.substr(0, 3), "LPT"))) {
    auto d = static_cast<unsigned char>(name[3]);
    // Digits, and the superscript digits of the ANSI code page.
    return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  return false;
}

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace

bool ReadSmallFile(const std::string& path, std::size_t maxSize, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  if (path.empty() || IsDeviceNamespace(path) || IsReservedName(path)) return false;
  // Identification level only: a pipe server behind a path cannot act as
  // this user.
  ScopedHandle h(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE || GetFileType(h.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h.get(), &size) || size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > maxSize)
    return false;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(size.QuadPart));
  std::size_t got = 0;
  while (got < buf.size()) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buf.data() + got, static_cast<DWORD>(buf.size() - got), &n, nullptr) || n == 0)
      return false;
    got += n;
  }
  bytes = std::move(buf);
  return true;
}

}  // namespace platform
