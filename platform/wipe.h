// Wiping secrets (PINs, decrypted plaintext) before their memory is released.
#ifndef KELO_PLATFORM_WIPE_H
#define KELO_PLATFORM_WIPE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Zeroes n bytes in a way the optimiser may not drop.
void SecureWipe(void* data, std::size_t n);

inline void SecureWipe(std::string& s) {
  SecureWipe(s.data(), s.capacity());
  s.clear();
}

// A byte buffer that is wiped when it goes away (also on every early return).
class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t n) : bytes_(n, 0) {}
  SecureBytes(const SecureBytes&) = delete;
  SecureBytes& operator=(const SecureBytes&) = delete;
  ~SecureBytes() { SecureWipe(bytes_.data(), bytes_.capacity()); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  // Shrinking only; never reallocates, so no unwiped copy is left behind.
  void shrink(std::size_t n) {
    if (n < bytes_.size()) {
      SecureWipe(bytes_.data() + n, bytes_.size() - n);
      bytes_.resize(n);
    }
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace platform

#endif
