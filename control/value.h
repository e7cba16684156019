// A loosely typed argument or result, as an automation client passes it
// before coercion to the declared parameter type.
#ifndef KELO_CONTROL_VALUE_H
#define KELO_CONTROL_VALUE_H

#include <cstdint>
#include <string>
#include <utility>

namespace kelo {

struct Value {
  enum class Kind { Null, Bool, Int, Double, String };

  Kind kind = Kind::Null;
  bool b = false;
  std::int64_t i = 0;
  double d = 0;
  std::string s;

  static Value Null() { return {}; }
  static Value Bool(bool v) { Value x; x.kind = Kind::Bool; x.b = v; return x; }
  static Value Int(std::int64_t v) { Value x; x.kind = Kind::Int; x.i = v; return x; }
  static Value Double(double v) { Value x; x.kind = Kind::Double; x.d = v; return x; }
  static Value String(std::string v) { Value x; x.kind = Kind::String; x.s = std::move(v); return x; }
};

}  // namespace kelo

#endif
