// Automation arguments and results of the control's methods: the platform's
// own coercion of VARIANTs to the declared types, and the code-page
// conversion of strings in both directions.
#ifndef KELO_CONTROL_COM_DISPATCH_ARGS_H
#define KELO_CONTROL_COM_DISPATCH_ARGS_H

#include <windows.h>
#include <oaidl.h>

#include <vector>

#include "control/method_table.h"
#include "control/value.h"

namespace kelo::com {

// Fills args with the call's arguments in declaration order, each coerced
// with VariantChangeType to VT_I4, VT_I2 or VT_BSTR, strings converted to
// the system's ANSI code page up to their first NUL. Positional arguments
// come last-first in rgvarg; named ones carry their parameter's position.
// Failures: DISP_E_BADPARAMCOUNT (more arguments than parameters),
// DISP_E_PARAMNOTOPTIONAL (a parameter without an argument),
// DISP_E_PARAMNOTFOUND (a named argument that names no parameter, or names
// one twice), DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW, with *argErr set to
// the offending argument's index in rgvarg where one is to blame.
HRESULT GatherArguments(const MethodInfo& method, const DISPPARAMS& params, std::vector<Value>& args,
                        UINT* argErr);

// The method's result as a VARIANT: VT_I4, or VT_BSTR converted over the
// whole narrow text. E_OUTOFMEMORY when the string cannot be allocated.
HRESULT StoreResult(const MethodInfo& method, const Value& value, VARIANT* out);

}  // namespace kelo::com

#endif
