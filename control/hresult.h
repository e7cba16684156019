// Automation status values a caller of the control can see. Kept as plain
// constants so the portable core needs no platform header.
#ifndef KELO_CONTROL_HRESULT_H
#define KELO_CONTROL_HRESULT_H

#include <cstdint>

namespace kelo {

using HResult = std::int32_t;

inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_UNEXPECTED = static_cast<HResult>(0x8000FFFFu);
inline constexpr HResult kE_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kDISP_E_MEMBERNOTFOUND = static_cast<HResult>(0x80020003u);
inline constexpr HResult kDISP_E_TYPEMISMATCH = static_cast<HResult>(0x80020005u);
inline constexpr HResult kDISP_E_UNKNOWNNAME = static_cast<HResult>(0x80020006u);
inline constexpr HResult kDISP_E_OVERFLOW = static_cast<HResult>(0x8002000Au);
inline constexpr HResult kDISP_E_BADPARAMCOUNT = static_cast<HResult>(0x8002000Eu);
inline constexpr HResult kDISP_E_PARAMNOTOPTIONAL = static_cast<HResult>(0x8002000Fu);

}  // namespace kelo

#endif
