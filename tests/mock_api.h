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
#include <type_traits>
#include <vector>

#include "platform/dynlib.h"
#include "token/pkcs11.h"
#include "token/token_registry.h"

namespace kelo::test {

struct MockApi {
  platform::ScopedModule module;
  void (*reset)() = nullptr;
  unsigned long (*add_slot)(const char*, int) = nullptr;
  void (*set_token_present)(unsigned long, int) = nullptr;
  void (*set_pins)(unsigned long, const char*, const char*) = nullptr;
  void (*get_label)(unsigned long, char*) = nullptr;
  int (*get_user_pin)(unsigned long, char*, size_t) = nullptr;
  int (*get_so_pin)(unsigned long, char*, size_t) = nullptr;
  void (*lock_pin)(unsigned long, int, int) = nullptr;
  unsigned long (*add_object)(unsigned long, unsigned long, int, int) = nullptr;
  void (*set_attribute)(unsigned long, unsigned long, const void*, unsigned long) = nullptr;
  void (*remove_attribute)(unsigned long, unsigned long) = nullptr;
  void (*add_key_pair)(unsigned long, const unsigned char*, unsigned long, const unsigned char*, unsigned long,
                       unsigned long, unsigned long*) = nullptr;
  void (*fail)(const char*, unsigned long, unsigned long) = nullptr;
  void (*clear_faults)() = nullptr;
  void (*set_initialize_rv)(unsigned long) = nullptr;
  const char* (*log)() = nullptr;
  void (*clear_log)() = nullptr;
  unsigned long (*count)(const char*) = nullptr;
  unsigned long (*open_sessions)() = nullptr;
  int (*is_initialized)() = nullptr;
  int (*find_active)(unsigned long) = nullptr;
  int (*operation_active)(unsigned long) = nullptr;
  int (*login_state)(unsigned long) = nullptr;
  int (*set_reported_length)(const char*, unsigned long) = nullptr;
  void (*set_endless_find)(int) = nullptr;
  void (*set_zero_session)(int) = nullptr;
  int (*null_function)(const char*) = nullptr;
  void (*set_stdout)(const char*) = nullptr;

  bool Load(const char* name) {
    module.reset(platform::LoadModule(name));
    if (!module) return false;
    bool ok = true;
    auto get = [&](auto& fn, const char* sym) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(platform::GetSymbol(module.get(), sym));
      ok = ok && fn != nullptr;
    };
    get(reset, "mockp11_reset");
    get(add_slot, "mockp11_add_slot");
    get(set_token_present, "mockp11_set_token_present");
    get(set_pins, "mockp11_set_pins");
    get(get_label, "mockp11_get_label");
    get(get_user_pin, "mockp11_get_user_pin");
    get(get_so_pin, "mockp11_get_so_pin");
    get(lock_pin, "mockp11_lock_pin");
    get(add_object, "mockp11_add_object");
    get(set_attribute, "mockp11_set_attribute");
    get(remove_attribute, "mockp11_remove_attribute");
    get(add_key_pair, "mockp11_add_key_pair");
    get(fail, "mockp11_fail");
    get(clear_faults, "mockp11_clear_faults");
    get(set_initialize_rv, "mockp11_set_initialize_rv");
    get(log, "mockp11_log");
    get(clear_log, "mockp11_clear_log");
    get(count, "mockp11_count");
    get(open_sessions, "mockp11_open_sessions");
    get(is_initialized, "mockp11_is_initialized");
    get(find_active, "mockp11_find_active");
    get(operation_active, "mockp11_operation_active");
    get(login_state, "mockp11_login_state");
    get(set_reported_length, "mockp11_set_reported_length");
    get(set_endless_find, "mockp11_set_endless_find");
    get(set_zero_session, "mockp11_set_zero_session");
    get(null_function, "mockp11_null_function");
    get(set_stdout, "mockp11_set_stdout");
    return ok;
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
