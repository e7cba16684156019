// The control's view of the token modules: which are bound, which one is
// current. Two implementations share this interface: CTokens (one
// process-wide map of token objects, used by 64-bit builds) and CTokensPair
// (two token objects of its own, used by 32-bit builds).
#ifndef KELO_TOKEN_TOKEN_REGISTRY_H
#define KELO_TOKEN_TOKEN_REGISTRY_H

#include <cstdint>
#include <memory>
#include <string>

#include "token/p11_token.h"

namespace kelo {

class ITokenRegistry {
 public:
  virtual ~ITokenRegistry() = default;
  // 0, or 1001 / 1002 / 1003.
  virtual std::int32_t Connect() = 0;
  // 0 (CTokensPair: 0, 1002 or 5001).
  virtual std::int32_t Disconnect() = 0;
  // The current token object, or null.
  virtual CP11Token* GetCurrentToken() = 0;
  // Appends every bound module's token serials, joined by ","; leaves out
  // empty when there is none.
  virtual void GetAllSerials(std::string& out) = 0;
  // Library type of the current token, -1 when none.
  virtual std::int32_t CurrentType() const = 0;
};

// Module file name of a library type (0, 1, 2), or null for any other type.
const char* LibraryName(std::int32_t type);

// The registry this build uses: chosen by the target's pointer width.
std::unique_ptr<ITokenRegistry> MakeTokenRegistry();

}  // namespace kelo

#endif
