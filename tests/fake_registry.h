// A registry without modules, for facade and host tests that need none.
#ifndef KELO_TESTS_FAKE_REGISTRY_H
#define KELO_TESTS_FAKE_REGISTRY_H

#include "common/result_codes.h"
#include "token/token_registry.h"

namespace kelo {

class FakeRegistry final : public ITokenRegistry {
 public:
  std::int32_t Connect() override { return connectResult; }
  std::int32_t Disconnect() override {
    ++disconnects;
    return kOk;
  }
  CP11Token* GetCurrentToken() override { return nullptr; }
  void GetAllSerials(std::string& out) override {
    ++serialCalls;
    out += serials;
  }
  std::int32_t CurrentType() const override { return -1; }

  std::int32_t connectResult = kOk;
  std::string serials;
  int disconnects = 0;
  int serialCalls = 0;
};

}  // namespace kelo

#endif
