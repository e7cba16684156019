// Self-registration of the module: type library, class entries and the
// control's membership in the safe-for-scripting and safe-for-initialising
// component categories.
#ifndef KELO_CONTROL_COM_REGISTRATION_H
#define KELO_CONTROL_COM_REGISTRATION_H

#include <windows.h>

namespace kelo::com {

// What DllRegisterServer and DllUnregisterServer return: S_OK,
// SELFREG_E_TYPELIB, SELFREG_E_CLASS or a category call's failure code.
HRESULT RegisterServer();
HRESULT UnregisterServer();

// The class entries of each creatable class (used by its class factory).
HRESULT UpdateControlRegistry(bool install);
HRESULT UpdatePageRegistry(bool install);

}  // namespace kelo::com

#endif
