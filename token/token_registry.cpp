#include "token/token_registry.h"

#include "common/build.h"
#include "common/vocabulary.h"
#include "token/tokens.h"
#include "token/tokens_pair.h"

namespace kelo {

const char* LibraryName(std::int32_t type) {
#if defined(_WIN32)
  static const char* const kNames[] = {"Kelo-ZIr4.dll", "Kelo-CAv5.dll", "Kelo-CAv6.dll"};
#else
  static const char* const kNames[] = {"Kelo-ZIr4.so", "Kelo-CAv5.so", "Kelo-CAv6.so"};
#endif
  return type >= 0 && type < kLibraryTypeCount ? kNames[type] : nullptr;
}

std::unique_ptr<ITokenRegistry> MakeTokenRegistry() {
  if constexpr (kWideBuild) {
    return std::make_unique<CTokens>();
  } else {
    return std::make_unique<CTokensPair>();
  }
}

}  // namespace kelo
