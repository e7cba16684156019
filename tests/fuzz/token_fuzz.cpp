// libFuzzer target for the token side of the control: random sequences of
// the 26 methods through the facade's Invoke, over the mock modules behind
// library types 0..2, with the mock's injected faults and its misbehaving
// modes (absurd lengths, searches that never end, session handle 0, null
// function-list entries, output on stdout) chosen by the input.
//
// Whatever the module does, every call must come back (libFuzzer's timeout
// and memory limits catch hangs and unbounded allocation), and once the
// control is gone no module may still be initialised.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "control/kelo_ctrl.h"
#include "control/method_table.h"
#define KELO_MOCK_API_WITHOUT_GTEST
#include "tests/fake_store.h"
#include "tests/mock_api.h"
#include "token/token_registry.h"

namespace {

using kelo::test::MockApi;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "token_fuzz: %s\n", what);
    std::abort();
  }
}

MockApi* g_mock = nullptr;  // the three mock copies, loaded once

template <typename T, std::size_t N>
const T& Pick(FuzzedDataProvider& in, const T (&options)[N]) {
  return options[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

const char* const kFunctions[] = {
    "C_Initialize",      "C_Finalize",     "C_GetSlotList",      "C_GetTokenInfo",
    "C_OpenSession",     "C_CloseSession", "C_CloseAllSessions", "C_Login",
    "C_Logout",          "C_SetPIN",       "C_InitPIN",          "C_InitToken",
    "C_FindObjectsInit", "C_FindObjects",  "C_FindObjectsFinal", "C_GetAttributeValue",
    "C_DigestInit",      "C_Digest",       "C_SignInit",         "C_Sign",
    "C_VerifyInit",      "C_Verify",       "C_EncryptInit",      "C_Encrypt",
    "C_DecryptInit",     "C_Decrypt",      "C_GetFunctionList",  "E_GetAuxFunctionList",
    "C_GenerateRandom",
};
const char* const kLengthFunctions[] = {"C_GetSlotList", "C_GetAttributeValue", "C_Digest",
                                        "C_Sign",        "C_Encrypt",           "C_Decrypt"};
const unsigned long kResults[] = {CKR_GENERAL_ERROR,
                                  CKR_DEVICE_ERROR,
                                  CKR_BUFFER_TOO_SMALL,
                                  CKR_PIN_INCORRECT,
                                  CKR_PIN_LOCKED,
                                  CKR_USER_NOT_LOGGED_IN,
                                  CKR_SESSION_HANDLE_INVALID,
                                  CKR_OPERATION_ACTIVE,
                                  CKR_OK,
                                  CKR_CRYPTOKI_ALREADY_INITIALIZED,
                                  CKR_TOKEN_NOT_PRESENT};
const unsigned long kLengths[] = {0xFFFFFFFFul,
                                  static_cast<unsigned long>(std::uint64_t{1} << 40),
                                  2ul * 1024 * 1024,
                                  1024 * 1024,
                                  65537,
                                  1025,
                                  1,
                                  3};
const unsigned long kModulus[] = {16, 128, 256, 600};

// One misbehaviour or fault, on one module.
void Arm(FuzzedDataProvider& in, MockApi& m, bool& finalizeMayFail) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
    case 1:
    case 2: {
      const char* fn = Pick(in, kFunctions);
      if (std::string(fn) == "C_Finalize") finalizeMayFail = true;
      m.fail(fn, in.ConsumeIntegralInRange<unsigned long>(0, 6), Pick(in, kResults));
      break;
    }
    case 3:
      m.set_reported_length(Pick(in, kLengthFunctions), Pick(in, kLengths));
      break;
    case 4:
      m.set_endless_find(in.ConsumeBool());
      break;
    case 5:
      m.set_zero_session(in.ConsumeBool());
      break;
    case 6:
      m.null_function(Pick(in, kFunctions));
      break;
    case 7:
      m.set_stdout(in.ConsumeBool() ? "module chatter" : nullptr);
      break;
  }
}

// Slots, tokens and key pairs of one module.
void Populate(FuzzedDataProvider& in, MockApi& m) {
  const int slots = in.ConsumeIntegralInRange<int>(0, 3);
  for (int s = 0; s < slots; ++s) {
    const std::string serial = in.ConsumeBool() ? "T" + std::to_string(s) : in.ConsumeRandomLengthString(20);
    const unsigned long slot = m.add_slot(serial.c_str(), in.ConsumeIntegralInRange<int>(0, 3) != 0);
    const int pairs = in.ConsumeIntegralInRange<int>(0, 2);
    for (int p = 0; p < pairs; ++p) {
      std::vector<unsigned char> serialBytes = {0x01, static_cast<unsigned char>(p + 1)};
      if (in.ConsumeBool()) serialBytes = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<int>(0, 4));
      m.KeyPair(slot, static_cast<unsigned char>(p + 1), serialBytes, Pick(in, kModulus));
    }
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) m.lock_pin(slot, static_cast<int>(CKU_USER), 1);
  }
}

// An argument for a parameter. The session identifier is mostly the right
// one, so that calls get past the facade's check to the module.
kelo::Value Argument(FuzzedDataProvider& in, const kelo::ParamInfo& param, std::int32_t sid,
                     const std::vector<std::string>& results) {
  using kelo::Value;
  if (std::string(param.name) == "SessionID" && in.ConsumeIntegralInRange<int>(0, 7) != 0) return Value::Int(sid);
  if (param.type != kelo::VarType::BStr) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        return Value::Int(sid);
      case 1:
      case 2:
        return Value::Int(in.ConsumeIntegralInRange<std::int64_t>(-1, 12));  // handles, hash and data types
      case 3:
        return Value::Int(in.ConsumeBool() ? INT_MAX : INT_MIN);
      case 4:
        return Value::String(in.ConsumeRandomLengthString(12));  // coerced, or refused
      default:
        return Value::Int(in.ConsumeIntegral<std::int32_t>());
    }
  }
  static const char* const kTexts[] = {"1234", "12345678", "0102", "616263", "0101", "0102",
                                       "",     "00",       "4321", "FFFF",   "zz"};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return Value::String(Pick(in, kTexts));
    case 1:
      if (!results.empty())
        return Value::String(results[in.ConsumeIntegralInRange<std::size_t>(0, results.size() - 1)]);
      return Value::String("");
    case 2:
      return Value::Int(in.ConsumeIntegral<std::int16_t>());
    default:
      return Value::String(in.ConsumeRandomLengthString(64));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Module chatter must not drown libFuzzer's own output (on stderr).
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  static MockApi mocks[3];
  for (int t = 0; t < 3; ++t) {
    if (!mocks[t].Load(kelo::LibraryName(t))) {
      std::fprintf(stderr, "token_fuzz: mock module %s not found: %s\n", kelo::LibraryName(t),
                   platform::LastLoadError().c_str());
      std::exit(1);
    }
  }
  g_mock = mocks;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  bool finalizeMayFail = false;
  for (int t = 0; t < 3; ++t) {
    MockApi& m = g_mock[t];
    m.reset();
    // Type 0 gets the most attention; the others are there to be walked past.
    if (t == 0 || in.ConsumeBool()) Populate(in, m);
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) m.set_initialize_rv(Pick(in, kResults));
    const int arms = in.ConsumeIntegralInRange<int>(0, 2);
    for (int a = 0; a < arms; ++a) Arm(in, m, finalizeMayFail);
  }

  {
    kelo::test::FakeState state;
    kelo::CKeloCAActiveXCtrl control(
        kelo::MakeTokenRegistry(), std::make_unique<kelo::CTokenCSP>(std::make_unique<kelo::test::FakeStore>(state),
                                                                     std::make_unique<kelo::test::FakeChooser>(state)));
    const std::int32_t sid = control.SessionIdentifier();
    std::vector<std::string> results;  // earlier string answers, fed back as arguments
    // Most sequences start connected, many logged in: the deeper paths need it.
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) control.ConnectToken();
    if (in.ConsumeBool()) control.Login(sid, "1234");
    const int steps = in.ConsumeIntegralInRange<int>(1, 16);
    for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
      // Now and then the module changes its ways between two calls.
      if (in.ConsumeIntegralInRange<int>(0, 9) == 0)
        Arm(in, g_mock[in.ConsumeIntegralInRange<int>(0, 2)], finalizeMayFail);
      const kelo::MethodInfo& method =
          kelo::kMethods[in.ConsumeIntegralInRange<std::size_t>(0, kelo::kMethodCount - 1)];
      std::vector<kelo::Value> args;
      for (std::uint8_t p = 0; p < method.paramCount; ++p) args.push_back(Argument(in, method.params[p], sid, results));
      const kelo::CallResult r = control.Invoke(method, args);
      if (r.hr == kelo::kS_OK && r.value.kind == kelo::Value::Kind::String && !r.value.s.empty() && results.size() < 8)
        results.push_back(r.value.s);
    }
  }

  // The control finalised every module it initialised.
  for (int t = 0; t < 3; ++t) Check(finalizeMayFail || !g_mock[t].is_initialized(), "a module was left initialised");
  return 0;
}
