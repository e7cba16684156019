// Automation-style coercion of a loosely typed argument to a declared type.
#ifndef KELO_CONTROL_COERCE_H
#define KELO_CONTROL_COERCE_H

#include "control/hresult.h"
#include "control/method_table.h"
#include "control/value.h"

namespace kelo {

// Integer types take integral numbers and strings holding a decimal integer;
// a value outside the type's range is an overflow. Strings take strings
// (cut at the first NUL, as a narrow string would be) and numbers as their
// decimal text. Anything else is a type mismatch. On success out holds an
// Int or a String value.
HResult Coerce(const Value& in, VarType type, Value& out);

}  // namespace kelo

#endif
