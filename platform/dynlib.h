// Loading token modules by file name, one sibling implementation per OS.
#ifndef KELO_PLATFORM_DYNLIB_H
#define KELO_PLATFORM_DYNLIB_H

#include <memory>
#include <string>

namespace platform {

// Opaque handle of a loaded module; null when loading failed.
using ModuleHandle = void*;

// Loads the module by the name given. A bare name is resolved by the
// platform loader's own search path. Returns null on failure.
ModuleHandle LoadModule(const char* name);
// Address of an exported symbol, or null.
void* GetSymbol(ModuleHandle module, const char* symbol);
// Drops one reference to the module; null is ignored.
void ReleaseModule(ModuleHandle module);
// The loader's text for the last failure on this thread (for diagnostics).
std::string LastLoadError();

struct ModuleDeleter {
  void operator()(void* module) const { ReleaseModule(module); }
};
using ScopedModule = std::unique_ptr<void, ModuleDeleter>;

}  // namespace platform

#endif
