// Reaches the control functions of one loaded copy of the mock module. The
// copy is loaded by the same bare file name the control uses, so both share
// its state. Define KELO_MOCK_API_WITHOUT_GTEST for MockApi alone (the fuzz
// targets have no test framework).
#ifndef KELO_TESTS_MOCK_API_H
#define KELO_TESTS_MOCK_API_H

#ifndef KELO_MOCK_API_WITHOUT_GTEST
#include <gtest/gtest.h>
#endif

#include <cstddef>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "testing/mockp11/mockp11_control.h"
#include "token/pkcs11.h"
#include "token/token_registry.h"

namespace kelo::test {

// The control functions (from the mock's own list) of the copy in module.
struct MockApi : Mockp11Control {
  platform::ScopedModule module;

  bool Load(const char* name) {
    module.reset(platform::LoadModule(name));
    if (!module) return false;
    return Resolve([&](const char* symbol) { return platform::GetSymbol(module.get(), symbol); });
  }

  // The log as one entry per call.
  std::vector<std::string> Calls() const {
    std::vector<std::string> out;
    std::string all = log();
    std::size_t start = 0;
    while (start < all.size()) {
      std::size_t nl = all.find('\n', start);
      if (nl == std::string::npos) nl = all.size();
      out.push_back(all.substr(start, nl - start));
      start = nl + 1;
    }
    return out;
  }
  // Only the function names, in call order.
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const std::string& c : Calls()) out.push_back(c.substr(0, c.find(' ')));
    return out;
  }
  // Adds a key pair with a one-byte id and a serial; returns {cert, pub, priv}.
  std::vector<unsigned long> KeyPair(unsigned long slot, unsigned char id, std::vector<unsigned char> serial,
                                     unsigned long modulus = 256) {
    unsigned long h[3] = {};
    add_key_pair(slot, &id, 1, serial.data(), static_cast<unsigned long>(serial.size()), modulus, h);
    return {h[0], h[1], h[2]};
  }
};

#ifndef KELO_MOCK_API_WITHOUT_GTEST
// Loads the mock copies behind library types 0..2 and resets them, so every
// test starts from an empty module.
class MockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int t = 0; t < 3; ++t) {
      ASSERT_TRUE(mock[t].Load(LibraryName(t))) << "mock module " << LibraryName(t) << " not on the search path: "
                                                << platform::LastLoadError();
      mock[t].reset();
    }
  }
  void TearDown() override {
    for (auto& m : mock) {
      if (m.reset) m.reset();
    }
  }
  MockApi mock[3];
  MockApi& m0 = mock[0];
};
#endif

}  // namespace kelo::test

#endif
