#include "platform/dynlib.h"

#include <windows.h>

namespace platform {

ModuleHandle LoadModule(const char* name) { return reinterpret_cast<ModuleHandle>(LoadLibraryA(name)); }

void* GetSymbol(ModuleHandle module, const char* symbol) {
  if (!module) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), symbol));
}

void ReleaseModule(ModuleHandle module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

std::string LastLoadError() {
  DWORD code = GetLastError();
  char buf[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r')) buf[--n] = 0;
  return n ? std::string(buf, n) : "error " + std::to_string(code);
}

}  // namespace platform
