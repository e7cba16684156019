// A registry without modules, for facade and host tests that need none.
#ifndef KELO_TESTS_FAKE_REGISTRY_H
#define KELO_TESTS_FAKE_REGISTRY_H

#include "common/result_codes.h"
#include "token/token_registry.h"

namespace kelo {

class FakeRegistry final : public ITokenRegistry {
 public:
  ResultCode Connect() override { return static_cast<ResultCode>(connectResult); }
  ResultCode Disconnect() override {
    ++disconnects;
    return kOk;
  }
  CP11Token* GetCurrentToken() override { return nullptr; }
  void GetAllSerials(std::string& out) override {
    ++serialCalls;
    out += serials;
  }
  LibraryType CurrentType() const override { return kNoLibrary; }

  std::int32_t connectResult = kOk;  // any number a host must pass on
  std::string serials;
  int disconnects = 0;
  int serialCalls = 0;
};

}  // namespace kelo

#endif
