// The control's view of the token modules: which are bound, which one is
// current. Two implementations share this interface: CTokens (one
// process-wide map of token objects, used by 64-bit builds) and CTokensPair
// (two token objects of its own, used by 32-bit builds).
#ifndef KELO_TOKEN_TOKEN_REGISTRY_H
#define KELO_TOKEN_TOKEN_REGISTRY_H

#include <cstdint>
#include <memory>
#include <string>

#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "token/p11_token.h"

namespace kelo {

class ITokenRegistry {
 public:
  virtual ~ITokenRegistry() = default;
  // kOk, kErrLoadModule, kErrSession or kErrNoToken.
  virtual ResultCode Connect() = 0;
  // kOk (CTokensPair: also kErrSession or kErrNoCurrentToken).
  virtual ResultCode Disconnect() = 0;
  // The current token object, or null.
  virtual CP11Token* GetCurrentToken() = 0;
  // Appends every bound module's token serials, joined by ","; leaves out
  // empty when there is none.
  virtual void GetAllSerials(std::string& out) = 0;
  // Library type of the current token, kNoLibrary when none.
  virtual LibraryType CurrentType() const = 0;
};

// Module file name of a library type, or null for any value that names none
// (callers may probe with plain integers until the answer is null).
const char* LibraryName(std::int32_t type);

// The registry this build uses: chosen by the target's pointer width.
std::unique_ptr<ITokenRegistry> MakeTokenRegistry();

}  // namespace kelo

#endif
