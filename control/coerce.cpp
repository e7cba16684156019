#include "control/coerce.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace kelo {
namespace {

HResult RangeCheck(std::int64_t v, VarType type, Value& out) {
  std::int64_t lo = type == VarType::Short ? std::numeric_limits<std::int16_t>::min()
                                           : std::numeric_limits<std::int32_t>::min();
  std::int64_t hi = type == VarType::Short ? std::numeric_limits<std::int16_t>::max()
                                           : std::numeric_limits<std::int32_t>::max();
  if (v < lo || v > hi) return kDISP_E_OVERFLOW;
  out = Value::Int(v);
  return kS_OK;
}

HResult ParseInteger(const std::string& s, VarType type, Value& out) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  if (b < e && s[b] == '+') ++b;
  if (b == e) return kDISP_E_TYPEMISMATCH;
  bool neg = s[b] == '-';
  std::size_t digits = neg ? b + 1 : b;
  if (digits == e) return kDISP_E_TYPEMISMATCH;
  for (std::size_t i = digits; i < e; ++i) {
    if (s[i] < '0' || s[i] > '9') return kDISP_E_TYPEMISMATCH;
  }
  std::int64_t v = 0;
  auto [ptr, ec] = std::from_chars(s.data() + b, s.data() + e, v);
  if (ec == std::errc::result_out_of_range) return kDISP_E_OVERFLOW;
  if (ec != std::errc() || ptr != s.data() + e) return kDISP_E_TYPEMISMATCH;
  return RangeCheck(v, type, out);
}

}  // namespace

HResult Coerce(const Value& in, VarType type, Value& out) {
  if (type == VarType::BStr) {
    switch (in.kind) {
      case Value::Kind::String: {
        std::size_t nul = in.s.find('\0');
        out = Value::String(nul == std::string::npos ? in.s : in.s.substr(0, nul));
        return kS_OK;
      }
      case Value::Kind::Int:
        out = Value::String(std::to_string(in.i));
        return kS_OK;
      case Value::Kind::Double: {
        if (!std::isfinite(in.d)) return kDISP_E_TYPEMISMATCH;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.15g", in.d);
        out = Value::String(buf);
        return kS_OK;
      }
      default:
        return kDISP_E_TYPEMISMATCH;
    }
  }
  switch (in.kind) {
    case Value::Kind::Int:
      return RangeCheck(in.i, type, out);
    case Value::Kind::Double:
      if (!std::isfinite(in.d) || std::trunc(in.d) != in.d) return kDISP_E_TYPEMISMATCH;
      if (std::fabs(in.d) > 9.0e15) return kDISP_E_OVERFLOW;
      return RangeCheck(static_cast<std::int64_t>(in.d), type, out);
    case Value::Kind::String:
      return ParseInteger(in.s, type, out);
    default:
      return kDISP_E_TYPEMISMATCH;
  }
}

}  // namespace kelo
