// A loosely typed argument or result, as an automation client passes it
// before coercion to the declared parameter type.
#ifndef KELO_CONTROL_VALUE_H
#define KELO_CONTROL_VALUE_H

#include <cstdint>
#include <string>
#include <utility>

#include "platform/wipe.h"

namespace kelo {

// The string may be a PIN or a plaintext: it is wiped whenever a value lets
// go of it (destroyed, assigned over, moved from), so no path leaves a copy.
struct Value {
  enum class Kind { Null, Bool, Int, Double, String };

  Kind kind = Kind::Null;
  bool b = false;
  std::int64_t i = 0;
  double d = 0;
  std::string s;

  Value() = default;
  Value(const Value&) = default;
  // A moved-from string keeps a short text in its own bytes.
  Value(Value&& other) noexcept : kind(other.kind), b(other.b), i(other.i), d(other.d), s(std::move(other.s)) {
    platform::SecureWipe(other.s);
  }
  Value& operator=(const Value& other) {
    if (this != &other) *this = Value(other);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      platform::SecureWipe(s);
      kind = other.kind;
      b = other.b;
      i = other.i;
      d = other.d;
      s = std::move(other.s);
      platform::SecureWipe(other.s);
    }
    return *this;
  }
  ~Value() { platform::SecureWipe(s); }

  static Value Null() { return {}; }
  static Value Bool(bool v) { Value x; x.kind = Kind::Bool; x.b = v; return x; }
  static Value Int(std::int64_t v) { Value x; x.kind = Kind::Int; x.i = v; return x; }
  static Value Double(double v) { Value x; x.kind = Kind::Double; x.d = v; return x; }
  static Value String(std::string v) {
    Value x;
    x.kind = Kind::String;
    x.s = std::move(v);
    platform::SecureWipe(v);
    return x;
  }
};

}  // namespace kelo

#endif
