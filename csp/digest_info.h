// DER DigestInfo prefixes of PKCS #1 v1.5 signatures for the store's hash
// types, so every backend signs and verifies the same blocks.
#ifndef KELO_CSP_DIGEST_INFO_H
#define KELO_CSP_DIGEST_INFO_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/vocabulary.h"

namespace kelo::csp {

struct DigestAlgorithm {
  std::span<const std::uint8_t> prefix;  // DigestInfo up to the digest octets
  std::size_t digestLength;
};

// Null for a hash type without a name.
const DigestAlgorithm* FindDigestAlgorithm(HashType hashType);

}  // namespace kelo::csp

#endif
