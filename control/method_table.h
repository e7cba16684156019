// The automation surface, described once: each of the 26 methods with its
// dispatch identifier, parameter names (the documented ones, for named
// arguments), automation types and roles, result, and the facade member that
// runs it. The type library, the page API and the shell read or are checked
// against this table.
#ifndef KELO_CONTROL_METHOD_TABLE_H
#define KELO_CONTROL_METHOD_TABLE_H

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "control/value.h"

namespace kelo {

class CKeloCAActiveXCtrl;

enum class VarType { Long, Short, BStr };

// What a parameter's value may hold, for anything that echoes, logs or
// keeps arguments.
enum class ParamRole : std::uint8_t { Plain, Pin, Plaintext };

struct ParamInfo {
  const char* name;
  VarType type;
  ParamRole role = ParamRole::Plain;
};

// What a method's result means beside its type.
enum class ResultKind : std::uint8_t {
  SessionId,  // the session identifier, or a result code
  Handle,     // an object handle, or a result code
  Code,       // a result code
  Text,       // text, empty on failure
  CodeText,   // text, or a result code written as text
};

// Runs a method with its arguments already coerced to the declared types
// (in declaration order, as many as it has parameters).
using MethodHandler = Value (*)(CKeloCAActiveXCtrl& control, std::span<const Value> args);

struct MethodInfo {
  std::int32_t dispid;
  const char* name;
  VarType result;
  ResultKind kind;
  bool returnsPlaintext;  // the result may be decrypted data
  std::uint8_t paramCount;
  std::array<ParamInfo, 6> params;
  MethodHandler handler;
  // What the method does with its hash type and key kinds, where that needs
  // saying; the type library's helpstring carries the same text.
  const char* help = nullptr;
};

inline constexpr std::size_t kMethodCount = 26;
extern const std::array<MethodInfo, kMethodCount> kMethods;

// Lookup by name in any ASCII letter case; null when unknown.
const MethodInfo* FindMethod(std::string_view name);
// Lookup by dispatch identifier; null when unknown.
const MethodInfo* FindMethod(std::int32_t dispid);
// Position of a parameter by name in any ASCII letter case, or -1.
int FindParam(const MethodInfo& method, std::string_view name);
const char* VarTypeName(VarType t);

}  // namespace kelo

#endif
