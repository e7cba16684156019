// DER DigestInfo prefixes of PKCS #1 v1.5 signatures for the store's hash
// types, so every backend signs and verifies the same blocks.
#ifndef KELO_CSP_DIGEST_INFO_H
#define KELO_CSP_DIGEST_INFO_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelo::csp {

struct DigestAlgorithm {
  std::span<const std::uint8_t> prefix;  // DigestInfo up to the digest octets
  std::size_t digestLength;
};

// Null for a hash type other than 0 (SHA-1), 1 (MD2), 2 (MD5).
const DigestAlgorithm* FindDigestAlgorithm(std::int32_t hashType);

}  // namespace kelo::csp

#endif
