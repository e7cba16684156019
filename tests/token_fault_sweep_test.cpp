// Fault sweep over the facade's token methods. Each method runs once on a
// healthy mock token to record its path of module calls; then every call
// on that path fails in turn (CKR_DEVICE_ERROR), and the method must answer
// the value its handler defines for that step, leave no search or crypto
// operation behind, and work again on the same session once the fault is
// gone.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/kelo_ctrl.h"
#include "tests/mock_api.h"
#include "token/p11_token.h"
#include "common/result_codes.h"

namespace kelo::test {
namespace {

using Names = std::vector<std::string>;

// What the method answers when one call of its path fails.
struct Expect {
  enum Kind { kFailure, kHealthy, kCode } kind;
  std::string code;
};
const Expect F{Expect::kFailure, ""};  // the method's failure value
const Expect H{Expect::kHealthy, ""};  // what the healthy run answered
Expect Code(const char* code) { return {Expect::kCode, code}; }

struct Step {
  std::string fn;
  Expect expect;
  int module = 0;  // library type whose mock makes the call
};

// Handles and data of the sweep's token, made afresh for every run.
struct Refs {
  std::int32_t certB = 0, pubA = 0, privA = 0;
  std::string sigA, sigB, cipherA;
};

// State a method needs before it runs (and runs again).
enum class Prep { kLoggedOut, kUser, kConnect };

struct MethodCase {
  const char* name;
  Prep prep;
  std::function<std::string(CKeloCAActiveXCtrl&, std::int32_t, const Refs&)> run;
  std::string failure;
  std::vector<Step> path;
};

const char kData[] = "616263";

std::vector<Step> Concat(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One enumeration at position 1: two steps of the search.
std::vector<Step> Enumeration() {
  return {{"C_FindObjectsInit", F},  // a search that did not start finds nothing
          {"C_FindObjects", F},
          {"C_FindObjects", F},
          {"C_FindObjectsFinal", H}};
}

// A lookup of pair B by serial: the certificate search narrowed by B's
// serial, then the key search narrowed by B's identifier, each reading its
// one hit. Whichever call fails, the plain walk behind it still finds B.
std::vector<Step> LookupOfB() {
  const std::vector<Step> one = {
      {"C_FindObjectsInit", H},
      {"C_FindObjects", H},
      {"C_GetAttributeValue", H},
      {"C_GetAttributeValue", H},
      {"C_FindObjects", H},  // B is in hand already
      {"C_FindObjectsFinal", H},
  };
  return Concat(one, one);
}

std::string N(std::int32_t v) { return std::to_string(v); }

const std::vector<MethodCase>& Cases() {
  using C = CKeloCAActiveXCtrl;
  static const std::vector<MethodCase> cases = {
      {"Login", Prep::kLoggedOut, [](C& c, std::int32_t s, const Refs&) { return N(c.Login(s, "1234")); }, "4003",
       {{"C_Login", F}}},
      {"Logout", Prep::kUser, [](C& c, std::int32_t s, const Refs&) { return N(c.Logout(s)); }, "4004",
       {{"C_Logout", F}}},
      {"ChangeSOPin", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs&) { return N(c.ChangeSOPin(s, "12345678", "12345678")); }, "4003",
       {{"C_Logout", H}, {"C_Login", F}, {"C_SetPIN", Code("4007")}, {"C_Logout", H}}},
      {"ChangeUserPin", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs&) { return N(c.ChangeUserPin(s, "1234", "1234")); }, "4003",
       {{"C_Logout", H}, {"C_Login", F}, {"C_SetPIN", Code("4007")}, {"C_Logout", H}}},
      {"UnblockUserPin", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs&) { return N(c.UnblockUserPin(s, "12345678", "1234")); }, "4003",
       {{"C_Logout", H}, {"C_Login", F}, {"C_InitPIN", Code("4008")}, {"C_Logout", H}}},
      {"TokenInitialize", Prep::kConnect,
       [](C& c, std::int32_t s, const Refs&) { return N(c.TokenInitialize(s, "12345678", "1234", "SWEEP")); }, "1010",
       {// Sessions left open make the module refuse the initialisation.
        {"C_CloseAllSessions", Code("4001")},
        {"C_InitToken", Code("4001")},
        {"C_OpenSession", F},
        {"C_Logout", H},
        {"C_Login", F},
        {"C_InitPIN", F},
        {"C_Logout", H},
        {"C_CloseSession", H}}},
      {"EnumCertificate", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs&) { return N(c.EnumCertificate(s, 1)); }, "1011", Enumeration()},
      {"EnumPublicKey", Prep::kLoggedOut, [](C& c, std::int32_t s, const Refs&) { return N(c.EnumPublicKey(s, 1)); },
       "1011", Enumeration()},
      {"EnumPrivateKey", Prep::kUser, [](C& c, std::int32_t s, const Refs&) { return N(c.EnumPrivateKey(s, 1)); },
       "1011", Enumeration()},
      {"GetAttribute", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs& r) { return c.GetAttribute(s, r.certB, 3); }, "",
       {{"C_GetAttributeValue", F}, {"C_GetAttributeValue", F}}},
      {"Encrypt", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs& r) { return c.Encrypt(s, r.pubA, 0, "00112233"); }, "",
       {{"C_EncryptInit", F}, {"C_Encrypt", F}}},
      {"Decrypt", Prep::kUser, [](C& c, std::int32_t s, const Refs& r) { return c.Decrypt(s, r.privA, 0, r.cipherA); },
       "", {{"C_DecryptInit", F}, {"C_Decrypt", F}}},
      {"Hash", Prep::kLoggedOut, [](C& c, std::int32_t s, const Refs&) { return c.Hash(s, 0, kData); }, "",
       {{"C_DigestInit", F}, {"C_Digest", F}}},
      {"Sign", Prep::kUser, [](C& c, std::int32_t s, const Refs& r) { return c.Sign(s, r.privA, 0, kData); }, "",
       {{"C_GetAttributeValue", H}, {"C_SignInit", F}, {"C_Sign", F}}},  // an unread key type is RSA's
      {"SignByCertSerial", Prep::kUser,
       [](C& c, std::int32_t s, const Refs&) { return c.SignByCertSerial(s, "4567", 0, kData); }, "",
       Concat(LookupOfB(), {{"C_GetAttributeValue", H}, {"C_SignInit", F}, {"C_Sign", F}})},
      {"Verify", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs& r) { return N(c.Verify(s, r.pubA, 0, kData, r.sigA)); }, "1007",
       {{"C_GetAttributeValue", H}, {"C_VerifyInit", F}, {"C_Verify", F}}},
      {"VerifyByCertSerial", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs& r) { return N(c.VerifyByCertSerial(s, "4567", 0, kData, r.sigB)); },
       "1011",
       Concat(LookupOfB(), {{"C_GetAttributeValue", H}, {"C_VerifyInit", Code("1007")}, {"C_Verify", Code("1007")}})},
      {"RetrieveSerial", Prep::kLoggedOut, [](C& c, std::int32_t s, const Refs&) { return c.RetrieveSerial(s); },
       "1003", {{"C_GetSlotList", F}, {"C_GetSlotList", F}, {"C_GetTokenInfo", F}}},
      {"RetrieveAllTokenSerial", Prep::kLoggedOut,
       [](C& c, std::int32_t s, const Refs&) { return c.RetrieveAllTokenSerial(s); }, "1002",
       // The modules without a token answer nothing either way.
       {{"C_GetSlotList", F},
        {"C_GetSlotList", F},
        {"C_GetTokenInfo", F},
        {"C_GetSlotList", H, 1},
        {"C_GetSlotList", H, 2}}},
  };
  return cases;
}

const MethodCase& Find(const std::string& name) {
  for (const MethodCase& c : Cases())
    if (name == c.name) return c;
  static const MethodCase none{"none", Prep::kLoggedOut, nullptr, "", {}};
  return none;
}

std::vector<std::string> MethodNames() {
  std::vector<std::string> out;
  for (const MethodCase& c : Cases()) out.push_back(c.name);
  return out;
}

// Calls that end the module's own operation or search whatever they answer.
class FaultSweep : public MockTest, public ::testing::WithParamInterface<std::string> {
 protected:
  static constexpr unsigned long kMaxSession = 64;

  void SetUp() override {
    MockTest::SetUp();
    if (HasFatalFailure()) return;
    // The mock derives its keys from what the scenario adds, so signatures
    // and ciphertext made here hold in every fresh scenario.
    ASSERT_NO_FATAL_FAILURE(Build());
    ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
    refs.sigA = ctl->Sign(sid, refs.privA, 0, kData);
    refs.sigB = ctl->Sign(sid, privB, 0, kData);
    refs.cipherA = ctl->Encrypt(sid, refs.pubA, 0, "00112233");
    ASSERT_FALSE(refs.sigA.empty() || refs.sigB.empty() || refs.cipherA.empty());
  }
  void TearDown() override {
    ctl.reset();
    MockTest::TearDown();
  }

  // A fresh control on a fresh token with two key pairs, A and B.
  void Build() {
    ctl.reset();
    for (auto& m : mock) m.reset();
    const unsigned long slot = m0.add_slot("SWEEP", 1);
    const auto a = m0.KeyPair(slot, 0x0A, {0x01, 0x23}, 128);
    const auto b = m0.KeyPair(slot, 0x0B, {0x45, 0x67}, 128);
    refs.pubA = static_cast<std::int32_t>(a[1]);
    refs.privA = static_cast<std::int32_t>(a[2]);
    refs.certB = static_cast<std::int32_t>(b[0]);
    privB = static_cast<std::int32_t>(b[2]);
    ctl = std::make_unique<CKeloCAActiveXCtrl>();
    sid = ctl->ConnectToken();
    ASSERT_EQ(sid, ctl->SessionIdentifier());
  }

  void Prepare(Prep prep) {
    switch (prep) {
      case Prep::kLoggedOut: ctl->Logout(sid); break;
      case Prep::kUser: ASSERT_EQ(ctl->Login(sid, "1234"), kOk); break;
      case Prep::kConnect: ASSERT_EQ(ctl->ConnectToken(), sid); break;
    }
    for (auto& m : mock) m.clear_log();
  }

  // Searches and operations still active on any session of the token's module.
  std::string Leftovers() {
    std::string out;
    for (unsigned long h = 1; h <= kMaxSession; ++h) {
      if (m0.find_active(h)) out += " search on session " + std::to_string(h);
      if (m0.operation_active(h)) out += " operation on session " + std::to_string(h);
    }
    return out;
  }

  std::unique_ptr<CKeloCAActiveXCtrl> ctl;
  std::int32_t sid = 0;
  std::int32_t privB = 0;
  Refs refs;
};

TEST_P(FaultSweep, EveryCallOnThePathFailsInTurn) {
  const MethodCase& c = Find(GetParam());
  ASSERT_TRUE(c.run) << "no case for " << GetParam();

  // The healthy run, and its path checked against the table.
  ASSERT_NO_FATAL_FAILURE(Build());
  ASSERT_NO_FATAL_FAILURE(Prepare(c.prep));
  const std::string healthy = c.run(*ctl, sid, refs);
  EXPECT_NE(healthy, c.failure);
  std::vector<std::string> lines[3];
  for (int t = 0; t < 3; ++t) {
    Names listed;
    for (const Step& step : c.path)
      if (step.module == t) listed.push_back(step.fn);
    ASSERT_EQ(mock[t].Names(), listed) << c.name << ": the path on module " << t << " is not the listed one:\n"
                                       << mock[t].log();
    lines[t] = mock[t].Calls();
  }
  EXPECT_EQ(Leftovers(), "");

  std::size_t seen[3] = {};
  for (std::size_t k = 0; k < c.path.size(); ++k) {
    const Step& step = c.path[k];
    const std::string& line = lines[step.module][seen[step.module]++];
    unsigned long nth = 0;
    for (std::size_t i = 0; i <= k; ++i)
      if (c.path[i].module == step.module && c.path[i].fn == step.fn) ++nth;
    SCOPED_TRACE(std::string(c.name) + ": call " + std::to_string(k + 1) + " of " + std::to_string(c.path.size()) +
                 " fails: \"" + line + "\" (" + step.fn + " #" + std::to_string(nth) + " on " +
                 LibraryName(step.module) + ")");

    ASSERT_NO_FATAL_FAILURE(Build());
    ASSERT_NO_FATAL_FAILURE(Prepare(c.prep));
    mock[step.module].fail(step.fn.c_str(), nth, CKR_DEVICE_ERROR);
    const std::string got = c.run(*ctl, sid, refs);
    const std::string& expected =
        step.expect.kind == Expect::kHealthy ? healthy : step.expect.kind == Expect::kCode ? step.expect.code : c.failure;
    EXPECT_EQ(got, expected);
    if (step.expect.kind != Expect::kHealthy) {
      EXPECT_NE(got, healthy);
    }
    EXPECT_GE(mock[step.module].count(step.fn.c_str()), nth) << "the failing call was not reached";

    EXPECT_EQ(Leftovers(), "") << "left active after the method returned";

    for (auto& m : mock) m.clear_faults();
    ASSERT_NO_FATAL_FAILURE(Prepare(c.prep));
    EXPECT_EQ(c.run(*ctl, sid, refs), healthy) << "the next call on the session";
  }
}

INSTANTIATE_TEST_SUITE_P(Token, FaultSweep, ::testing::ValuesIn(MethodNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace kelo::test
