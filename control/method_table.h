// The automation surface: 26 methods with their dispatch identifiers,
// parameter names and types, and result types.
#ifndef KELO_CONTROL_METHOD_TABLE_H
#define KELO_CONTROL_METHOD_TABLE_H

#include <array>
#include <cstdint>
#include <string_view>

namespace kelo {

enum class VarType { Long, Short, BStr };

struct ParamInfo {
  const char* name;
  VarType type;
};

struct MethodInfo {
  std::int32_t dispid;
  const char* name;
  VarType result;
  std::uint8_t paramCount;
  std::array<ParamInfo, 6> params;
};

inline constexpr std::size_t kMethodCount = 26;
// Indexed by dispid - 1.
extern const std::array<MethodInfo, kMethodCount> kMethods;

// Case-insensitive lookup by name; null when unknown.
const MethodInfo* FindMethod(std::string_view name);
// Lookup by dispatch identifier; null when unknown.
const MethodInfo* FindMethod(std::int32_t dispid);
// Position of a parameter by name (case-insensitive), or -1.
int FindParam(const MethodInfo& method, std::string_view name);
const char* VarTypeName(VarType t);

}  // namespace kelo

#endif
