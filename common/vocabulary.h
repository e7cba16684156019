// Names for the numbers the control's methods take: which attribute to read,
// which hash to use, which token module, and the area the store methods
// write their output into. The enums are shared by token/ and csp/; callers
// convert the automation integer once, where it arrives.
#ifndef KELO_COMMON_VOCABULARY_H
#define KELO_COMMON_VOCABULARY_H

#include <cstddef>
#include <cstdint>

namespace kelo {

// GetAttribute's selector. Any other value is refused.
enum class AttributeSelector : std::int32_t {
  kValue = 1,   // the object's value (a certificate's encoding)
  kId = 2,      // CKA_ID
  kSerial = 3,  // the certificate's serial number, DER-encoded
};

// Hash types of the sign, verify and digest methods. The type holds any
// 32-bit value: values without a name keep their own meaning (a plain RSA
// signature on the token, a refusal in the store), and later types are
// added here without changing a signature.
enum class HashType : std::int32_t {
  kSha1 = 0,
  kMd2 = 1,
  kMd5 = 2,
  kSha256 = 256,
  kSha384 = 384,
  kSha512 = 512,
};

// The fixed token modules, in the order the registries try them
// (token/token_registry.h names their files).
enum LibraryType : std::int32_t {
  kNoLibrary = -1,
  kLibraryZIr4 = 0,
  kLibraryCAv5 = 1,
  kLibraryCAv6 = 2,
};
inline constexpr std::int32_t kLibraryTypeCount = 3;

// The output area of the store methods: no signature, ciphertext or
// plaintext they hand out is longer.
inline constexpr std::size_t kStoreOutputSize = 1000;

}  // namespace kelo

#endif
