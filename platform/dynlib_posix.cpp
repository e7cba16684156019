#include "platform/dynlib.h"

#include <dlfcn.h>

namespace platform {

ModuleHandle LoadModule(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* GetSymbol(ModuleHandle module, const char* symbol) {
  return module ? dlsym(module, symbol) : nullptr;
}

void ReleaseModule(ModuleHandle module) {
  if (module) dlclose(module);
}

std::string LastLoadError() {
  const char* e = dlerror();
  return e ? e : "";
}

}  // namespace platform
