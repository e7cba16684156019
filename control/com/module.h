// The module's own state: its instance handle, what keeps it loaded (live
// objects, server locks, class-object references), its resources and its
// type library.
#ifndef KELO_CONTROL_COM_MODULE_H
#define KELO_CONTROL_COM_MODULE_H

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace kelo::com {

void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

// Counts one live object of the module for as long as it exists. Objects
// hold one as their first member, so the count is right even when the rest
// of their construction throws.
class ModuleObjectCount {
 public:
  ModuleObjectCount();
  ModuleObjectCount(const ModuleObjectCount&) = delete;
  ModuleObjectCount& operator=(const ModuleObjectCount&) = delete;
  ~ModuleObjectCount();
};

void LockModule();    // IClassFactory::LockServer(TRUE)
void UnlockModule();  // IClassFactory::LockServer(FALSE)
void ClassObjectAddRef();
void ClassObjectRelease();
// No live object, lock or class-object reference.
bool ModuleCanUnload();

// The module file's full path.
std::wstring ModulePath();
// A string resource of the module; empty when absent.
std::wstring ResourceString(UINT id);

// The control's type library: the registered one in the caller's locale (or
// the library's own locale), else the one embedded in the module file.
HRESULT LoadControlTypeLib(LCID lcid, ITypeLib** out);
// One type description of that library by its GUID.
HRESULT LoadControlTypeInfo(LCID lcid, REFGUID guid, ITypeInfo** out);

}  // namespace kelo::com

#endif
