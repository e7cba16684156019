// Token operations and the facade methods over them, against the mock
// module: the answer of each operation and exactly which module calls it
// makes to get there.
#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "control/kelo_ctrl.h"
#include "tests/mock_api.h"
#include "token/find_operation.h"
#include "token/p11_token.h"
#include "common/result_codes.h"

namespace kelo::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

// One log line as the mock writes it: the name and its arguments, blank-separated.
template <typename... A>
std::string Line(const char* fn, const A&... args) {
  std::ostringstream os;
  os << fn;
  ((os << ' ' << args), ...);
  return os.str();
}

std::string Hex(const Bytes& b) { return codec::BytesToHex(b.data(), b.size()); }
std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
std::string Num(unsigned long v) { return std::to_string(v); }

// Sign and Verify read the key's type first.
template <typename S, typename K>
std::string KeyTypeRead(const S& session, const K& key) {
  return Line("C_GetAttributeValue", session, key, "256:" + std::to_string(sizeof(CK_KEY_TYPE)));
}

// DER DigestInfo prefix for SHA-1, up to the hash value.
const char kSha1DigestInfoPrefix[] = "3021300906052B0E03021A05000414";

class OpsBase : public MockTest {
 protected:
  void SetUp() override {
    MockTest::SetUp();
    if (HasFatalFailure()) return;
    slot = m0.add_slot("OPS", 1);
  }
  void TearDown() override {
    ctl.reset();
    own.reset();
    MockTest::TearDown();
  }

  // A token object of our own on module 0, connected; the log starts empty.
  void UseToken() {
    own = std::make_unique<CP11Token>();
    ASSERT_EQ(own->Load(LibraryName(0)), kOk);
    ASSERT_EQ(own->Connect(), kOk);
    tok = own.get();
    sess = tok->SessionHandle();
    ClearLogs();
  }
  // The facade, connected to module 0's token; the logs start empty.
  void UseFacade() {
    ctl = std::make_unique<CKeloCAActiveXCtrl>();
    sid = ctl->ConnectToken();
    ASSERT_EQ(sid, ctl->SessionIdentifier());
    tok = ctl->Registry().GetCurrentToken();
    ASSERT_NE(tok, nullptr);
    sess = tok->SessionHandle();
    ClearLogs();
  }
  void ClearLogs() {
    for (auto& m : mock) m.clear_log();
  }
  bool NothingLogged() {
    for (auto& m : mock)
      if (std::string(m.log()) != "") return false;
    return true;
  }
  // Neither a search nor a crypto operation is active on our session.
  bool Idle() { return m0.find_active(sess) == 0 && m0.operation_active(sess) == 0; }

  // The module's own digest, computed on our session outside the code under test.
  Bytes ModuleDigest(CK_MECHANISM_TYPE type, Bytes data) {
    CK_FUNCTION_LIST_PTR fl = tok->FunctionList();
    CK_MECHANISM mech{type, nullptr, 0};
    Bytes out(64);
    CK_ULONG len = 64;
    EXPECT_EQ(fl->C_DigestInit(sess, &mech), CKR_OK);
    EXPECT_EQ(fl->C_Digest(sess, data.data(), static_cast<CK_ULONG>(data.size()), out.data(), &len), CKR_OK);
    out.resize(len);
    return out;
  }

  unsigned long AddObject(unsigned long cls, const Bytes& id, const Bytes& serialValue, bool withId = true,
                          bool withSerial = true) {
    unsigned long h = m0.add_object(slot, cls, 1, 0);
    if (withId) m0.set_attribute(h, CKA_ID, id.data(), static_cast<unsigned long>(id.size()));
    if (withSerial && cls == CKO_CERTIFICATE)
      m0.set_attribute(h, CKA_SERIAL_NUMBER, serialValue.data(), static_cast<unsigned long>(serialValue.size()));
    return h;
  }

  unsigned long slot = 0;
  std::unique_ptr<CP11Token> own;
  std::unique_ptr<CKeloCAActiveXCtrl> ctl;
  CP11Token* tok = nullptr;
  CK_SESSION_HANDLE sess = 0;
  std::int32_t sid = 0;
};

class LoginOps : public OpsBase {};
class GuardOps : public OpsBase {};
class EnumOps : public OpsBase {};
class AttributeOps : public OpsBase {};
class LookupOps : public OpsBase {};
class CryptoOps : public OpsBase {};
class MisbehavingOps : public OpsBase {};

// ---------------------------------------------------------------- login and PINs

TEST_F(LoginOps, LoginAndLogoutMapTheModuleAnswer) {
  ASSERT_NO_FATAL_FAILURE(UseToken());
  struct Case {
    CK_RV rv;
    std::int32_t login, logout;
  } cases[] = {
      {CKR_OK, kOk, kOk},
      {CKR_USER_ALREADY_LOGGED_IN, kOk, kErrLogout},
      {CKR_PIN_INCORRECT, kErrPinIncorrect, kErrLogout},
      {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, kErrAnotherLoggedIn, kErrLogout},
      {CKR_PIN_LOCKED, kErrPinLocked, kErrLogout},
      {CKR_USER_NOT_LOGGED_IN, kErrLogin, kErrNotLoggedIn},
      {CKR_DEVICE_ERROR, kErrLogin, kErrLogout},
      {CKR_PIN_EXPIRED, kErrLogin, kErrLogout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("module answers " + Num(c.rv));
    m0.clear_log();
    m0.fail("C_Login", 1, c.rv);
    m0.fail("C_Logout", 1, c.rv);
    EXPECT_EQ(tok->Login(false, "1234", 4), c.login);
    EXPECT_EQ(tok->Logout(), c.logout);
    EXPECT_EQ(m0.Calls(), (Names{Line("C_Login", sess, CKU_USER, 4, "1234"), Line("C_Logout", sess)}));
  }
  // The flag picks the security officer; the PIN goes by its length, not a terminator.
  m0.clear_log();
  EXPECT_EQ(tok->Login(true, "123456789", 8), kOk);
  EXPECT_EQ(m0.Calls(), (Names{Line("C_Login", sess, CKU_SO, 8, "12345678")}));
  EXPECT_EQ(m0.login_state(slot), static_cast<int>(CKU_SO));
}

TEST_F(LoginOps, LoginStatesThroughTheFacade) {
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  EXPECT_EQ(ctl->Logout(sid), kErrNotLoggedIn);
  EXPECT_EQ(ctl->Login(sid, "0000"), kErrPinIncorrect);
  EXPECT_EQ(ctl->Login(sid, ""), kErrPinIncorrect);
  EXPECT_EQ(ctl->Login(sid, "1234"), kOk);
  EXPECT_EQ(ctl->Login(sid, "1234"), kOk);  // already logged in as the same user
  EXPECT_EQ(m0.login_state(slot), static_cast<int>(CKU_USER));
  EXPECT_EQ(tok->Login(true, "12345678", 8), kErrAnotherLoggedIn);
  EXPECT_EQ(ctl->Logout(sid), kOk);
  EXPECT_EQ(ctl->Logout(sid), kErrNotLoggedIn);
  m0.lock_pin(slot, static_cast<int>(CKU_USER), 1);
  EXPECT_EQ(ctl->Login(sid, "1234"), kErrPinLocked);
  const std::string s = Num(sess);
  EXPECT_EQ(m0.Calls(), (Names{Line("C_Logout", s), Line("C_Login", s, 1, 4, "0000"), Line("C_Login", s, 1, 0, ""),
                               Line("C_Login", s, 1, 4, "1234"), Line("C_Login", s, 1, 4, "1234"),
                               Line("C_Login", s, 0, 8, "12345678"), Line("C_Logout", s), Line("C_Logout", s),
                               Line("C_Login", s, 1, 4, "1234")}));
}

// The three PIN operations as one table: which user logs in, what the
// change call is, and where the PIN that changes is read back.
struct PinOp {
  const char* name;
  std::int32_t (CKeloCAActiveXCtrl::*method)(std::int32_t, const std::string&, const std::string&);
  CK_USER_TYPE who;
  std::string current;
  const char* change;  // C_SetPIN or C_InitPIN
  std::int32_t refused;
  bool setsSoPin;
};

std::vector<PinOp> PinOps() {
  return {
      {"ChangeSOPin", &CKeloCAActiveXCtrl::ChangeSOPin, CKU_SO, "12345678", "C_SetPIN", kErrChangePin, true},
      {"ChangeUserPin", &CKeloCAActiveXCtrl::ChangeUserPin, CKU_USER, "1234", "C_SetPIN", kErrChangePin, false},
      {"UnblockUserPin", &CKeloCAActiveXCtrl::UnblockUserPin, CKU_SO, "12345678", "C_InitPIN", kErrInitPin, false},
  };
}

TEST_F(LoginOps, PinOperationsLogOutLogInChangeAndLogOut) {
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string s = Num(sess);
  for (const PinOp& op : PinOps()) {
    SCOPED_TRACE(op.name);
    m0.set_pins(slot, "1234", "12345678");
    ASSERT_EQ(ctl->Login(sid, "1234"), kOk);  // whatever was logged in, it ends logged out
    m0.clear_log();
    EXPECT_EQ((ctl.get()->*op.method)(sid, op.current, "56789"), kOk);
    const std::string change = std::string(op.change) == "C_SetPIN"
                                   ? Line("C_SetPIN", s, op.current.size(), op.current, 5, "56789")
                                   : Line("C_InitPIN", s, 5, "56789");
    EXPECT_EQ(m0.Calls(), (Names{Line("C_Logout", s), Line("C_Login", s, op.who, op.current.size(), op.current),
                                 change, Line("C_Logout", s)}));
    char pin[32] = {};
    if (op.setsSoPin)
      m0.get_so_pin(slot, pin, sizeof pin);
    else
      m0.get_user_pin(slot, pin, sizeof pin);
    EXPECT_STREQ(pin, "56789");
    EXPECT_EQ(m0.login_state(slot), -1);

    // The module refuses the change (a new PIN too short): still logged out.
    m0.set_pins(slot, "1234", "12345678");
    m0.clear_log();
    EXPECT_EQ((ctl.get()->*op.method)(sid, op.current, "12"), op.refused);
    EXPECT_EQ(m0.Names(), (Names{"C_Logout", "C_Login", op.change, "C_Logout"}));
    EXPECT_EQ(m0.login_state(slot), -1);
  }
}

TEST_F(LoginOps, AFailedLoginEndsThePinOperationWithItsOwnCode) {
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const struct {
    CK_RV rv;
    std::int32_t code;
  } answers[] = {{CKR_PIN_INCORRECT, kErrPinIncorrect},
                 {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, kErrAnotherLoggedIn},
                 {CKR_PIN_LOCKED, kErrPinLocked},
                 {CKR_DEVICE_ERROR, kErrLogin}};
  for (const PinOp& op : PinOps()) {
    for (const auto& a : answers) {
      SCOPED_TRACE(std::string(op.name) + " login answer " + Num(a.rv));
      m0.clear_log();
      m0.fail("C_Login", 1, a.rv);
      EXPECT_EQ((ctl.get()->*op.method)(sid, op.current, "56789"), a.code);
      // Neither the change nor a second logout.
      EXPECT_EQ(m0.Names(), (Names{"C_Logout", "C_Login"}));
    }
  }
  // The same with the module's own judgement.
  m0.clear_log();
  EXPECT_EQ(ctl->ChangeUserPin(sid, "9999", "56789"), kErrPinIncorrect);
  EXPECT_EQ(m0.Names(), (Names{"C_Logout", "C_Login"}));
  char pin[32] = {};
  m0.get_user_pin(slot, pin, sizeof pin);
  EXPECT_STREQ(pin, "1234");
  m0.lock_pin(slot, static_cast<int>(CKU_SO), 1);
  m0.clear_log();
  EXPECT_EQ(ctl->UnblockUserPin(sid, "12345678", "4321"), kErrPinLocked);
  EXPECT_EQ(m0.Names(), (Names{"C_Logout", "C_Login"}));
  EXPECT_EQ(m0.login_state(slot), -1);
}

TEST_F(LoginOps, InitTokenLabelIsThirtyTwoBlankPaddedBytes) {
  ASSERT_NO_FATAL_FAILURE(UseToken());
  const struct {
    std::string name, label;
  } cases[] = {
      {"ABCDE", "ABCDE" + std::string(27, ' ')},
      {"", std::string(32, ' ')},
      {std::string(32, 'x'), std::string(32, 'x')},
      {std::string(32, 'y') + "overflow", std::string(32, 'y')},  // cut to the field
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("name \"" + c.name + "\"");
    ASSERT_EQ(tok->Connect(), kOk);
    m0.clear_log();
    EXPECT_EQ(tok->InitToken("12345678", "1234", c.name.c_str()), kOk);
    auto calls = m0.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1], Line("C_InitToken", slot, 8, "12345678", Quoted(c.label)));
    char label[32];
    m0.get_label(slot, label);
    EXPECT_EQ(std::string(label, 32), c.label);
  }
}

TEST_F(LoginOps, InitTokenSetsTheUserPinAndLeavesTheTokenDisconnected) {
  m0.KeyPair(slot, 1, {0x01, 0x23});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  EXPECT_EQ(ctl->TokenInitialize(sid, "12345678", "4321", "ABCDE"), kOk);
  const auto calls = m0.Calls();
  ASSERT_EQ(calls.size(), 8u) << m0.log();
  const std::string fresh = calls[3].substr(std::string("C_Logout ").size());
  EXPECT_NE(fresh, Num(sess));
  EXPECT_EQ(calls, (Names{Line("C_CloseAllSessions", slot),
                          Line("C_InitToken", slot, 8, "12345678", Quoted("ABCDE" + std::string(27, ' '))),
                          Line("C_OpenSession", slot, CKF_SERIAL_SESSION | CKF_RW_SESSION), Line("C_Logout", fresh),
                          Line("C_Login", fresh, CKU_SO, 8, "12345678"), Line("C_InitPIN", fresh, 4, "4321"),
                          Line("C_Logout", fresh), Line("C_CloseSession", fresh)}));
  EXPECT_EQ(m0.open_sessions(), 0u);
  EXPECT_EQ(tok->SlotId(), CP11Token::kNoSlot);

  // Until the script connects again nothing reaches the module.
  m0.clear_log();
  EXPECT_EQ(ctl->Login(sid, "4321"), kErrSession);
  EXPECT_EQ(ctl->EnumCertificate(sid, 0), kErrSession);
  EXPECT_EQ(ctl->Hash(sid, 0, "616263"), "");
  EXPECT_TRUE(NothingLogged()) << m0.log();

  EXPECT_EQ(ctl->ConnectToken(), sid);
  EXPECT_EQ(ctl->Login(sid, "1234"), kErrPinIncorrect);
  EXPECT_EQ(ctl->Login(sid, "4321"), kOk);
  EXPECT_EQ(ctl->EnumCertificate(sid, 0), kErrNotFound);  // the token was emptied
}

TEST_F(LoginOps, InitTokenFailures) {
  ASSERT_NO_FATAL_FAILURE(UseToken());
  const struct {
    const char* what;
    std::function<void()> arrange;
    const char* soPin;
    const char* userPin;
    std::int32_t code;
    Names calls;
  } cases[] = {
      {"wrong SO PIN", [] {}, "87654321", "4321", kErrPinIncorrect, {"C_CloseAllSessions", "C_InitToken"}},
      {"SO PIN locked", [&] { m0.lock_pin(slot, static_cast<int>(CKU_SO), 1); }, "12345678", "4321",
       kErrPinIncorrect, {"C_CloseAllSessions", "C_InitToken"}},
      {"no new session", [&] { m0.fail("C_OpenSession", 1, CKR_SESSION_COUNT); }, "12345678", "4321", kErrInitToken,
       {"C_CloseAllSessions", "C_InitToken", "C_OpenSession"}},
      {"SO login refused", [&] { m0.fail("C_Login", 1, CKR_DEVICE_ERROR); }, "12345678", "4321", kErrInitToken,
       {"C_CloseAllSessions", "C_InitToken", "C_OpenSession", "C_Logout", "C_Login", "C_CloseSession"}},
      {"new user PIN refused", [] {}, "12345678", "12", kErrInitToken,
       {"C_CloseAllSessions", "C_InitToken", "C_OpenSession", "C_Logout", "C_Login", "C_InitPIN", "C_Logout",
        "C_CloseSession"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m0.clear_faults();
    m0.lock_pin(slot, static_cast<int>(CKU_SO), 0);
    ASSERT_EQ(tok->Connect(), kOk);
    c.arrange();
    m0.clear_log();
    EXPECT_EQ(tok->InitToken(c.soPin, c.userPin, "NAME"), c.code);
    EXPECT_EQ(m0.Names(), c.calls);
    EXPECT_EQ(m0.open_sessions(), 0u);
    if (c.code == kErrInitToken) {
      // Once a new session was tried the token object holds none.
      EXPECT_EQ(tok->SlotId(), CP11Token::kNoSlot);
      m0.clear_log();
      EXPECT_EQ(tok->Login(false, "1234", 4), kErrSession);
      EXPECT_EQ(std::string(m0.log()), "");
    }
  }
}

// ---------------------------------------------------------------- no session, no call

// Every token operation, with harmless arguments.
std::vector<std::pair<const char*, std::function<ResultCode(CP11Token&)>>> TokenOperations() {
  static const std::uint8_t kData[4] = {1, 2, 3, 4};
  return {
      {"Login", [](CP11Token& t) { return t.Login(false, "1234", 4); }},
      {"Logout", [](CP11Token& t) { return t.Logout(); }},
      {"ChangeSOPin", [](CP11Token& t) { return t.ChangeSOPin("12345678", 8, "87654321", 8); }},
      {"ChangeUserPin", [](CP11Token& t) { return t.ChangeUserPin("1234", 4, "4321", 4); }},
      {"UnblockUserPin", [](CP11Token& t) { return t.UnblockUserPin("12345678", 8, "4321", 4); }},
      {"InitToken", [](CP11Token& t) { return t.InitToken("12345678", "4321", "NAME"); }},
      {"EnumCertificate", [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.EnumCertificate(0, h); }},
      {"EnumPublicKey", [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.EnumPublicKey(0, h); }},
      {"EnumPrivateKey", [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.EnumPrivateKey(0, h); }},
      {"ReadObjectAttribute", [](CP11Token& t) { Bytes v; return t.ReadObjectAttribute(1, AttributeSelector::kValue, v); }},
      {"FindCertificateIdBySerial", [](CP11Token& t) { Bytes id; return t.FindCertificateIdBySerial(kData, 2, id); }},
      {"FindPrivateKeyById", [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.FindPrivateKeyById(kData, 1, h); }},
      {"FindPublicKeyById", [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.FindPublicKeyById(kData, 1, h); }},
      {"FindPrivateKeyBySerial",
       [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.FindPrivateKeyBySerial(kData, 2, h); }},
      {"FindPublicKeyBySerial",
       [](CP11Token& t) { CK_OBJECT_HANDLE h = 0; return t.FindPublicKeyBySerial(kData, 2, h); }},
      {"DigestData", [](CP11Token& t) { std::uint8_t o[128]; CK_ULONG n = 128; return t.DigestData(HashType::kSha1, kData, 4, o, n); }},
      {"SignData",
       [](CP11Token& t) { std::uint8_t o[1024]; CK_ULONG n = 1024; return t.SignData(3, HashType::kSha1, kData, 4, o, n); }},
      {"VerifyData", [](CP11Token& t) { return t.VerifyData(2, HashType::kSha1, kData, 4, kData, 4); }},
      {"EncryptData",
       [](CP11Token& t) { std::uint8_t o[512]; CK_ULONG n = 512; return t.EncryptData(2, kData, 4, o, n); }},
      {"DecryptData",
       [](CP11Token& t) { std::uint8_t o[4]; CK_ULONG n = 4; return t.DecryptData(3, kData, 4, o, n); }},
      {"SignDataBySerial",
       [](CP11Token& t) {
         std::uint8_t o[1024];
         CK_ULONG n = 1024;
         return t.SignDataBySerial(kData, 2, HashType::kSha1, kData, 4, o, n);
       }},
      {"VerifyDataBySerial", [](CP11Token& t) { return t.VerifyDataBySerial(kData, 2, HashType::kSha1, kData, 4, kData, 4); }},
  };
}

TEST_F(GuardOps, WithoutASessionEveryOperationAnswers1002AndCallsNothing) {
  m0.KeyPair(slot, 1, {1, 2});
  CP11Token unloaded;
  CP11Token neverConnected;
  ASSERT_EQ(neverConnected.Load(LibraryName(0)), kOk);
  CP11Token disconnected;
  ASSERT_EQ(disconnected.Load(LibraryName(0)), kOk);
  ASSERT_EQ(disconnected.Connect(), kOk);
  ASSERT_EQ(disconnected.Disconnect(), kOk);
  const std::pair<const char*, CP11Token*> states[] = {
      {"not loaded", &unloaded}, {"never connected", &neverConnected}, {"disconnected", &disconnected}};
  for (const auto& [state, token] : states) {
    for (const auto& [name, op] : TokenOperations()) {
      SCOPED_TRACE(std::string(name) + ", token " + state);
      ClearLogs();
      EXPECT_EQ(op(*token), kErrSession);
      EXPECT_TRUE(NothingLogged()) << m0.log();
    }
  }
  // The attribute selector is checked first, so a bad one is 1004 even here.
  Bytes value;
  for (std::int32_t selector : {0, 4, -1}) {
    EXPECT_EQ(unloaded.ReadObjectAttribute(1, static_cast<AttributeSelector>(selector), value), kErrBadArgument) << selector;
  }
}

// Every token method of the facade, and what it answers when refused.
struct FacadeCall {
  const char* name;
  std::function<std::string(CKeloCAActiveXCtrl&, std::int32_t)> run;
  std::string refused;
};

std::vector<FacadeCall> FacadeCalls() {
  using C = CKeloCAActiveXCtrl;
  auto n = [](std::int32_t v) { return std::to_string(v); };
  return {
      {"Login", [=](C& c, std::int32_t s) { return n(c.Login(s, "1234")); }, "1002"},
      {"Logout", [=](C& c, std::int32_t s) { return n(c.Logout(s)); }, "1002"},
      {"ChangeSOPin", [=](C& c, std::int32_t s) { return n(c.ChangeSOPin(s, "12345678", "87654321")); }, "1002"},
      {"ChangeUserPin", [=](C& c, std::int32_t s) { return n(c.ChangeUserPin(s, "1234", "4321")); }, "1002"},
      {"UnblockUserPin", [=](C& c, std::int32_t s) { return n(c.UnblockUserPin(s, "12345678", "4321")); }, "1002"},
      {"TokenInitialize", [=](C& c, std::int32_t s) { return n(c.TokenInitialize(s, "12345678", "4321", "N")); },
       "1002"},
      {"EnumCertificate", [=](C& c, std::int32_t s) { return n(c.EnumCertificate(s, 0)); }, "1002"},
      {"EnumPublicKey", [=](C& c, std::int32_t s) { return n(c.EnumPublicKey(s, 0)); }, "1002"},
      {"EnumPrivateKey", [=](C& c, std::int32_t s) { return n(c.EnumPrivateKey(s, 0)); }, "1002"},
      {"GetAttribute", [](C& c, std::int32_t s) { return c.GetAttribute(s, 1, 1); }, ""},
      {"Encrypt", [](C& c, std::int32_t s) { return c.Encrypt(s, 2, 0, "0102"); }, ""},
      {"Decrypt", [](C& c, std::int32_t s) { return c.Decrypt(s, 3, 0, "0102"); }, ""},
      {"Hash", [](C& c, std::int32_t s) { return c.Hash(s, 0, "0102"); }, ""},
      {"Sign", [](C& c, std::int32_t s) { return c.Sign(s, 3, 0, "0102"); }, ""},
      {"SignByCertSerial", [](C& c, std::int32_t s) { return c.SignByCertSerial(s, "0102", 0, "0102"); }, ""},
      {"Verify", [=](C& c, std::int32_t s) { return n(c.Verify(s, 2, 0, "0102", "0102")); }, "1002"},
      {"VerifyByCertSerial", [=](C& c, std::int32_t s) { return n(c.VerifyByCertSerial(s, "0102", 0, "01", "02")); },
       "1002"},
      {"RetrieveSerial", [](C& c, std::int32_t s) { return c.RetrieveSerial(s); }, "1002"},
      {"RetrieveAllTokenSerial", [](C& c, std::int32_t s) { return c.RetrieveAllTokenSerial(s); }, "1002"},
  };
}

TEST_F(GuardOps, FacadeRefusesAForeignIdentifierOrAMissingTokenWithoutACall) {
  m0.KeyPair(slot, 1, {1, 2});
  ctl = std::make_unique<CKeloCAActiveXCtrl>();
  sid = ctl->SessionIdentifier();
  for (bool connected : {false, true}) {
    if (connected) {
      ASSERT_EQ(ctl->ConnectToken(), sid);
      ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
    }
    for (const FacadeCall& f : FacadeCalls()) {
      // Needs no current token, only the identifier.
      const bool registryOnly = std::string(f.name) == "RetrieveAllTokenSerial";
      for (std::int32_t id : {sid + 1, sid}) {
        if (id == sid && (connected || registryOnly)) continue;
        SCOPED_TRACE(std::string(f.name) + (connected ? ", connected" : ", no current token") +
                     (id == sid ? ", right identifier" : ", foreign identifier"));
        ClearLogs();
        EXPECT_EQ(f.run(*ctl, id), f.refused);
        EXPECT_TRUE(NothingLogged()) << m0.log();
      }
    }
  }
}

// ---------------------------------------------------------------- enumeration

TEST_F(EnumOps, EachCallRunsAWholeSearchOfItsOwn) {
  const auto a = m0.KeyPair(slot, 1, {1, 1});
  const auto b = m0.KeyPair(slot, 2, {1, 2});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string s = Num(sess);
  const Names search = {Line("C_FindObjectsInit", s, CKO_CERTIFICATE, 1), Line("C_FindObjects", s, 1),
                        Line("C_FindObjectsFinal", s)};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ctl->EnumCertificate(sid, 0), static_cast<std::int32_t>(a[0]));
  Names thrice;
  for (int i = 0; i < 3; ++i) thrice.insert(thrice.end(), search.begin(), search.end());
  EXPECT_EQ(m0.Calls(), thrice);

  // Position n costs n + 1 steps; past the end the search runs dry.
  const struct {
    std::int32_t index;
    std::int32_t result;
    std::size_t steps;
  } cases[] = {{0, static_cast<std::int32_t>(a[0]), 1},
               {1, static_cast<std::int32_t>(b[0]), 2},
               {2, kErrNotFound, 3},
               {7, kErrNotFound, 3},
               {-1, kErrNotFound, 0},
               {INT_MIN, kErrNotFound, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE("position " + std::to_string(c.index));
    m0.clear_log();
    EXPECT_EQ(ctl->EnumCertificate(sid, c.index), c.result);
    Names expected = {search[0]};
    expected.insert(expected.end(), c.steps, search[1]);
    expected.push_back(search[2]);
    EXPECT_EQ(m0.Calls(), expected);
    EXPECT_TRUE(Idle());
  }
}

TEST_F(EnumOps, ClassesTokenObjectsAndPrivateKeysAfterLogin) {
  const auto pair = m0.KeyPair(slot, 1, {1, 1});
  m0.add_object(slot, CKO_CERTIFICATE, 0, 0);  // session objects are never found
  m0.add_object(slot, CKO_PRIVATE_KEY, 0, 0);
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string s = Num(sess);
  const struct {
    const char* what;
    std::int32_t (CKeloCAActiveXCtrl::*method)(std::int32_t, std::int32_t);
    unsigned long cls;
    std::int32_t first;
  } cases[] = {
      {"certificate", &CKeloCAActiveXCtrl::EnumCertificate, CKO_CERTIFICATE, static_cast<std::int32_t>(pair[0])},
      {"public key", &CKeloCAActiveXCtrl::EnumPublicKey, CKO_PUBLIC_KEY, static_cast<std::int32_t>(pair[1])},
      {"private key before login", &CKeloCAActiveXCtrl::EnumPrivateKey, CKO_PRIVATE_KEY, kErrNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m0.clear_log();
    EXPECT_EQ((ctl.get()->*c.method)(sid, 0), c.first);
    EXPECT_EQ(m0.Calls().front(), Line("C_FindObjectsInit", s, c.cls, 1));
    EXPECT_EQ((ctl.get()->*c.method)(sid, 1), kErrNotFound);
  }
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  EXPECT_EQ(ctl->EnumPrivateKey(sid, 0), static_cast<std::int32_t>(pair[2]));
  EXPECT_EQ(ctl->EnumPrivateKey(sid, 1), kErrNotFound);
}

TEST_F(EnumOps, ASearchTheModuleFailsGivesNotFoundAndIsClosed) {
  m0.KeyPair(slot, 1, {1, 1});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  for (const char* fn : {"C_FindObjectsInit", "C_FindObjects"}) {
    SCOPED_TRACE(fn);
    m0.clear_log();
    m0.fail(fn, 1, CKR_DEVICE_ERROR);
    EXPECT_EQ(ctl->EnumCertificate(sid, 0), kErrNotFound);
    EXPECT_EQ(m0.Names(), (Names{"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}));
    EXPECT_TRUE(Idle());
  }
}

// ---------------------------------------------------------------- attributes

TEST_F(AttributeOps, GetAttributeSelectors) {
  const auto pair = m0.KeyPair(slot, 0, {0x01, 0x23});
  const Bytes id = {0xAB, 0xCD, 0x0F};
  m0.set_attribute(pair[0], CKA_ID, id.data(), 3);
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const auto cert = static_cast<std::int32_t>(pair[0]);
  const std::string s = Num(sess), h = Num(pair[0]);

  EXPECT_EQ(ctl->GetAttribute(sid, cert, 2), "ABCD0F");
  EXPECT_EQ(m0.Calls(), (Names{Line("C_GetAttributeValue", s, h, "258*"), Line("C_GetAttributeValue", s, h, "258:3")}));
  EXPECT_EQ(ctl->GetAttribute(sid, cert, 3), "0123");  // without tag and length

  // A serial value of two bytes or fewer has no content to show.
  for (const Bytes& value : {Bytes{0x02, 0x00}, Bytes{0x02}, Bytes{}}) {
    m0.set_attribute(pair[0], CKA_SERIAL_NUMBER, value.data(), static_cast<unsigned long>(value.size()));
    EXPECT_EQ(ctl->GetAttribute(sid, cert, 3), "") << value.size() << " bytes";
  }
  ClearLogs();
  for (std::int32_t selector : {0, 4, -1, 0x11}) EXPECT_EQ(ctl->GetAttribute(sid, cert, selector), "") << selector;
  EXPECT_TRUE(NothingLogged());
  EXPECT_EQ(ctl->GetAttribute(sid, 999, 1), "");                             // names no object
  EXPECT_EQ(ctl->GetAttribute(sid, static_cast<std::int32_t>(pair[2]), 2), "");  // private, not logged in
}

TEST_F(AttributeOps, CertificateAsPemWhateverItsSize) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string header = "-----BEGIN CERTIFICATE-----\r\n", footer = "-----END CERTIFICATE-----\r\n";
  // 1446 bytes is the most the 2048-byte text area holds; larger ones come whole.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{48}, std::size_t{49}, std::size_t{1446},
                        std::size_t{1447}, std::size_t{5000}}) {
    SCOPED_TRACE(std::to_string(n) + " bytes");
    Bytes value(n);
    for (std::size_t i = 0; i < n; ++i) value[i] = static_cast<std::uint8_t>(i * 7 + 3);
    m0.set_attribute(pair[0], CKA_VALUE, value.data(), static_cast<unsigned long>(n));
    const std::string pem = ctl->GetAttribute(sid, static_cast<std::int32_t>(pair[0]), 1);
    if (n == 0) {
      EXPECT_EQ(pem, "");
      continue;
    }
    const std::size_t b = 4 * ((n + 2) / 3);
    EXPECT_EQ(pem.size(), 56 + b + 2 * ((b + 63) / 64));
    EXPECT_TRUE(pem.starts_with(header)) << pem.substr(0, 40);
    EXPECT_TRUE(pem.ends_with(footer));
    Bytes decoded;
    ASSERT_EQ(codec::PemDecode(pem.data(), pem.size(), decoded), 0);
    EXPECT_EQ(decoded, value);
    // Lines of at most 64 characters, each ended by CR LF.
    for (std::size_t pos = 0; pos < pem.size();) {
      const std::size_t end = pem.find("\r\n", pos);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end - pos, 64u);
      pos = end + 2;
    }
  }
}

TEST_F(AttributeOps, ReadObjectAttributeAnswers) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  m0.set_attribute(pair[1], CKA_ID, nullptr, 0);
  m0.remove_attribute(pair[0], CKA_ID);
  ASSERT_NO_FATAL_FAILURE(UseToken());
  ASSERT_EQ(tok->Login(false, "1234", 4), kOk);
  const struct {
    const char* what;
    unsigned long handle;
    AttributeSelector selector;
    ResultCode status;
    std::size_t calls;
  } cases[] = {
      {"zero-length value", pair[1], AttributeSelector::kId, kOk, 2},
      // The probe reports the unavailable-length marker: no value call.
      {"attribute missing", pair[0], AttributeSelector::kId, kErrNotFound, 1},
      {"value sensitive", pair[2], AttributeSelector::kValue, kErrNotFound, 1},
      {"no such object", 999, AttributeSelector::kSerial, kErrNotFound, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m0.clear_log();
    Bytes value = {0xEE};
    EXPECT_EQ(tok->ReadObjectAttribute(c.handle, c.selector, value), c.status);
    EXPECT_TRUE(value.empty());
    EXPECT_EQ(m0.Names(), Names(c.calls, "C_GetAttributeValue"));
  }
  m0.clear_log();
  Bytes value;
  EXPECT_EQ(tok->ReadObjectAttribute(pair[1], AttributeSelector::kId, value), kOk);
  EXPECT_EQ(m0.Calls(), (Names{Line("C_GetAttributeValue", sess, pair[1], "258*"),
                               Line("C_GetAttributeValue", sess, pair[1], "258:0")}));
}

// ---------------------------------------------------------------- lookup by serial

TEST_F(LookupOps, SerialBytesAreComparedExactly) {
  const auto pair = m0.KeyPair(slot, 1, {0x00, 0x80, 0x01});  // DER content with its leading zero
  ASSERT_NO_FATAL_FAILURE(UseToken());
  const struct {
    const char* what;
    Bytes serial;
    std::int32_t status;
  } cases[] = {
      {"exact content", {0x00, 0x80, 0x01}, kOk},
      {"leading zero left out", {0x80, 0x01}, kErrNotFound},
      {"one byte more", {0x00, 0x80, 0x01, 0x00}, kErrNotFound},
      {"one byte less", {0x00, 0x80}, kErrNotFound},
      {"one byte differs", {0x00, 0x80, 0x02}, kErrNotFound},
      {"with tag and length", {0x02, 0x03, 0x00, 0x80, 0x01}, kErrNotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(tok->FindPublicKeyBySerial(c.serial.data(), c.serial.size(), key), c.status);
    EXPECT_EQ(key, c.status == kOk ? pair[1] : 0u);
    EXPECT_TRUE(Idle());
  }
}

TEST_F(LookupOps, TheFirstCertificateDeliveredWins) {
  // Two certificates with serial 0A 0B: the first has no key pair.
  AddObject(CKO_CERTIFICATE, {0x77}, {0x02, 0x02, 0x0A, 0x0B});
  // A certificate whose identifier no key carries.
  AddObject(CKO_CERTIFICATE, {0x55}, {0x02, 0x01, 0x33});
  const auto pair = m0.KeyPair(slot, 0x0B, {0x0A, 0x0B});
  ASSERT_NO_FATAL_FAILURE(UseToken());
  ASSERT_EQ(tok->Login(false, "1234", 4), kOk);
  const Bytes shared = {0x0A, 0x0B}, lonely = {0x33};

  // The answer is the plain walk's whatever the narrowed search does.
  const struct {
    const char* what;
    int narrowed;
    bool narrowedFails;
  } modules[] = {
      {"narrowed search", 0, false},
      {"narrowed hits in reverse order", MOCKP11_NARROWED_REVERSED, false},
      {"narrowing attribute ignored", MOCKP11_NARROWED_IGNORED, false},
      {"narrowed search fails, walk only", 0, true},
  };
  for (const auto& m : modules) {
    SCOPED_TRACE(m.what);
    m0.set_narrowed_find(m.narrowed);
    for (const auto& [serial, wanted] : {std::pair{shared, Bytes{0x77}}, std::pair{lonely, Bytes{0x55}}}) {
      if (m.narrowedFails) m0.fail("C_FindObjectsInit", 1, CKR_DEVICE_ERROR);
      Bytes id;
      EXPECT_EQ(tok->FindCertificateIdBySerial(serial.data(), serial.size(), id), kOk);
      EXPECT_EQ(id, wanted);
      CK_OBJECT_HANDLE key = 0;
      EXPECT_EQ(tok->FindPrivateKeyBySerial(serial.data(), serial.size(), key), kErrNotFound);
      EXPECT_EQ(tok->FindPublicKeyBySerial(serial.data(), serial.size(), key), kErrNotFound);
      EXPECT_EQ(key, 0u);
      EXPECT_TRUE(Idle());
    }
    // The key pair itself is there, reachable by its identifier.
    CK_OBJECT_HANDLE key = 0;
    const std::uint8_t keyId = 0x0B;
    EXPECT_EQ(tok->FindPrivateKeyById(&keyId, 1, key), kOk);
    EXPECT_EQ(key, pair[2]);
  }
}

TEST_F(LookupOps, APrivateKeyIsFoundOnlyAfterLogin) {
  const auto pair = m0.KeyPair(slot, 9, {0x45, 0x67});
  ASSERT_NO_FATAL_FAILURE(UseToken());
  const std::uint8_t serial[] = {0x45, 0x67};
  CK_OBJECT_HANDLE key = 0;
  EXPECT_EQ(tok->FindPrivateKeyBySerial(serial, 2, key), kErrNotFound);
  EXPECT_EQ(tok->FindPublicKeyBySerial(serial, 2, key), kOk);
  EXPECT_EQ(key, pair[1]);
  ASSERT_EQ(tok->Login(false, "1234", 4), kOk);
  EXPECT_EQ(tok->FindPrivateKeyBySerial(serial, 2, key), kOk);
  EXPECT_EQ(key, pair[2]);
  EXPECT_TRUE(Idle());
}

TEST_F(LookupOps, ACandidateWhoseAttributesCannotBeReadIsSkipped) {
  const Bytes serial = {0x45, 0x67};
  // Each blocker comes before the key pair in the module's order; were it
  // read, or did it end the search, the lookup would not give the pair's key.
  const struct {
    const char* what;
    std::function<void()> arrange;
  } cases[] = {
      {"certificate without identifier",
       [&] { AddObject(CKO_CERTIFICATE, {}, {0x02, 0x02, 0x45, 0x67}, false, true); }},
      {"certificate without serial number", [&] { AddObject(CKO_CERTIFICATE, {0x01}, {}, true, false); }},
      {"public key without identifier", [&] { AddObject(CKO_PUBLIC_KEY, {}, {}, false); }},
      {"certificate value read fails",
       [&] {
         AddObject(CKO_CERTIFICATE, {0x01}, {0x02, 0x02, 0x45, 0x67});
         m0.fail("C_GetAttributeValue", 2, CKR_DEVICE_ERROR);
       }},
      {"key value read fails",
       [&] {
         AddObject(CKO_PUBLIC_KEY, {0x09}, {});
         m0.fail("C_GetAttributeValue", 4, CKR_DEVICE_ERROR);  // after the certificate's probe and read
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    own.reset();
    m0.reset();
    slot = m0.add_slot("OPS", 1);
    c.arrange();
    const auto pair = m0.KeyPair(slot, 9, serial);
    ASSERT_NO_FATAL_FAILURE(UseToken());
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(tok->FindPublicKeyBySerial(serial.data(), serial.size(), key), kOk) << m0.log();
    EXPECT_EQ(key, pair[1]);
    EXPECT_TRUE(Idle());
  }
}

// Both searches are narrowed (serial as its DER INTEGER, then the
// identifier), so only the wanted objects are read, never the others.
TEST_F(LookupOps, BySerialCallPattern) {
  m0.KeyPair(slot, 1, {0x01, 0x23});
  const auto b = m0.KeyPair(slot, 2, {0x45, 0x67});
  ASSERT_NO_FATAL_FAILURE(UseToken());
  const std::uint8_t serial[] = {0x45, 0x67};
  CK_OBJECT_HANDLE key = 0;
  ASSERT_EQ(tok->FindPublicKeyBySerial(serial, 2, key), kOk);
  EXPECT_EQ(key, b[1]);
  const std::string s = Num(sess);
  EXPECT_EQ(m0.Calls(), (Names{Line("C_FindObjectsInit", s, CKO_CERTIFICATE, 1, "130:02024567"),
                               Line("C_FindObjects", s, 1), Line("C_GetAttributeValue", s, b[0], "258*", "130*"),
                               Line("C_GetAttributeValue", s, b[0], "258:1", "130:4"), Line("C_FindObjects", s, 1),
                               Line("C_FindObjectsFinal", s), Line("C_FindObjectsInit", s, CKO_PUBLIC_KEY, 1, "258:02"),
                               Line("C_FindObjects", s, 1), Line("C_GetAttributeValue", s, b[1], "258*"),
                               Line("C_GetAttributeValue", s, b[1], "258:1"), Line("C_FindObjects", s, 1),
                               Line("C_FindObjectsFinal", s)}));
}

TEST_F(LookupOps, AnEmptySerialMatchesATwoByteValue) {
  m0.KeyPair(slot, 1, {0x01});
  AddObject(CKO_CERTIFICATE, {0x99}, {0x02, 0x00});
  ASSERT_NO_FATAL_FAILURE(UseToken());
  Bytes id;
  const std::uint8_t none = 0;
  EXPECT_EQ(tok->FindCertificateIdBySerial(&none, 0, id), kOk);
  EXPECT_EQ(id, Bytes{0x99});
}

// ---------------------------------------------------------------- cryptography

TEST_F(CryptoOps, HashThroughTheFacade) {
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string s = Num(sess);
  const std::string abc = ctl->Hash(sid, 0, "616263");
  EXPECT_EQ(m0.Calls(), (Names{Line("C_DigestInit", s, CKM_SHA_1), Line("C_Digest", s, 3, 128)}));
  EXPECT_EQ(abc, Hex(ModuleDigest(CKM_SHA_1, {'a', 'b', 'c'})));
  EXPECT_EQ(abc.size(), 40u);
  EXPECT_EQ(ctl->Hash(sid, 0, "6162637"), abc);  // an unpaired last character is ignored
  EXPECT_EQ(ctl->Hash(sid, 0, "deadBEEF"), ctl->Hash(sid, 0, "DEADbeef"));
  // One character: no byte, but the text is not empty, so the empty message is hashed.
  m0.clear_log();
  const std::string empty = ctl->Hash(sid, 0, "6");
  EXPECT_EQ(m0.Calls().at(1), Line("C_Digest", s, 0, 128));
  EXPECT_EQ(empty, Hex(ModuleDigest(CKM_SHA_1, {})));

  const struct {
    std::int32_t type;
    CK_MECHANISM_TYPE mech;
    std::size_t hexLen;
  } types[] = {{0, CKM_SHA_1, 40},    {1, CKM_MD2, 32},      {2, CKM_MD5, 32},
               {256, CKM_SHA256, 64}, {384, CKM_SHA384, 96}, {512, CKM_SHA512, 128}};
  for (const auto& t : types) {
    SCOPED_TRACE(t.type);
    m0.clear_log();
    const std::string digest = ctl->Hash(sid, t.type, "0102");
    EXPECT_EQ(digest.size(), t.hexLen);
    EXPECT_EQ(digest, Hex(ModuleDigest(t.mech, {1, 2})));
    EXPECT_EQ(m0.Calls().front(), Line("C_DigestInit", s, t.mech));
  }
  ClearLogs();
  for (std::int32_t type : {3, -1, 7, 255, 257, 1024}) EXPECT_EQ(ctl->Hash(sid, type, "0102"), "") << type;
  EXPECT_EQ(ctl->Hash(sid, 0, ""), "");
  EXPECT_TRUE(NothingLogged());
  std::uint8_t out[128];
  CK_ULONG len = sizeof out;
  EXPECT_EQ(tok->DigestData(static_cast<HashType>(3), out, 1, out, len), kErrBadArgument);
}

TEST_F(CryptoOps, SignAndVerifyMechanismsByHashType) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const std::string s = Num(sess);
  const auto priv = static_cast<std::int32_t>(pair[2]), pub = static_cast<std::int32_t>(pair[1]);
  const std::string data = "00112233445566778899";
  const struct {
    std::int32_t type;
    CK_MECHANISM_TYPE mech;
  } types[] = {{0, CKM_SHA1_RSA_PKCS},     {1, CKM_MD2_RSA_PKCS},     {2, CKM_MD5_RSA_PKCS},
               {256, CKM_SHA256_RSA_PKCS}, {384, CKM_SHA384_RSA_PKCS}, {512, CKM_SHA512_RSA_PKCS},
               {7, CKM_RSA_PKCS},          {-1, CKM_RSA_PKCS},         {3, CKM_RSA_PKCS},
               {255, CKM_RSA_PKCS}};
  for (const auto& t : types) {
    SCOPED_TRACE("hash type " + std::to_string(t.type));
    ClearLogs();
    const std::string sig = ctl->Sign(sid, priv, t.type, data);
    ASSERT_EQ(sig.size(), 512u);
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, sig), kOk);
    Names expected = {Line("C_SignInit", s, t.mech, pair[2]), Line("C_Sign", s, 10, 1024),
                      Line("C_VerifyInit", s, t.mech, pair[1]), Line("C_Verify", s, 10, 256)};
    if (&t == &types[0]) {  // each key's type is read once on the session
      expected.insert(expected.begin() + 2, KeyTypeRead(s, pair[1]));
      expected.insert(expected.begin(), KeyTypeRead(s, pair[2]));
    }
    EXPECT_EQ(m0.Calls(), expected);
    std::string badSig = sig, badData = data;
    badSig[7] = badSig[7] == '0' ? '1' : '0';
    badData[0] = '1';
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, badSig), kErrVerify);
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), badData, sig), kErrVerify);
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, sig.substr(2)), kErrVerify);
    EXPECT_TRUE(Idle());
  }
  // A raw PKCS#1 signature is no hash-and-sign signature.
  EXPECT_EQ(ctl->Verify(sid, pub, 0, data, ctl->Sign(sid, priv, -1, data)), kErrVerify);
}

// EC keys sign with ECDSA: in one step where the slot offers the
// mechanism, else the module's digest then CKM_ECDSA (the mock makes both
// give the same r||s); a hash type without a name signs the bytes given.
// RSA-only operations fail cleanly.
TEST_F(CryptoOps, EcKeysSignWithEcdsa) {
  const auto pair = m0.KeyPair(slot, 1, {0x01}, 64);  // r||s of P-256's length
  const CK_KEY_TYPE ec = CKK_EC;
  for (int i : {1, 2}) m0.set_attribute(pair[i], CKA_KEY_TYPE, &ec, sizeof ec);
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const auto priv = static_cast<std::int32_t>(pair[2]), pub = static_cast<std::int32_t>(pair[1]);
  const std::string data = "00112233445566778899";
  const struct {
    std::int32_t type;
    CK_MECHANISM_TYPE oneStep, digest;  // 0: none
    unsigned long digestLen;
  } types[] = {{0, CKM_ECDSA_SHA1, CKM_SHA_1, 20},        {256, CKM_ECDSA_SHA256, CKM_SHA256, 32},
               {384, CKM_ECDSA_SHA384, CKM_SHA384, 48},   {512, CKM_ECDSA_SHA512, CKM_SHA512, 64},
               {1, 0, CKM_MD2, 16},                       {2, 0, CKM_MD5, 16},
               {7, 0, 0, 0},                              {-1, 0, 0, 0}};
  for (const auto& t : types) {
    SCOPED_TRACE("hash type " + std::to_string(t.type));
    m0.clear_faults();
    ClearLogs();
    const std::string sig = ctl->Sign(sid, priv, t.type, data);
    ASSERT_EQ(sig.size(), 128u);
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, sig), kOk);
    const Names calls = m0.Calls();
    const auto signInit = std::find_if(calls.rbegin(), calls.rend(),
                                       [](const std::string& l) { return l.rfind("C_SignInit", 0) == 0; });
    ASSERT_NE(signInit, calls.rend());
    EXPECT_EQ(*signInit, Line("C_SignInit", sess, t.oneStep != 0 ? t.oneStep : CKM_ECDSA, pair[2]));
    const std::string digestHex = t.digest != 0 ? Hex(ModuleDigest(t.digest, codec::HexToBytes(data))) : data;
    EXPECT_EQ(ctl->Sign(sid, priv, 7, digestHex), sig) << "ECDSA over the digest";
    EXPECT_EQ(ctl->Verify(sid, pub, 7, digestHex, sig), kOk);
    // The slot without ECDSA-with-hash: the module digests, then plain ECDSA.
    if (t.oneStep != 0) {
      ASSERT_EQ(ctl->ConnectToken(), sid);  // forget what the slot offers
      sess = tok->SessionHandle();
      ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
      m0.fail("C_GetMechanismInfo", 0, CKR_MECHANISM_INVALID);
      ClearLogs();
      EXPECT_EQ(ctl->Sign(sid, priv, t.type, data), sig);
      EXPECT_EQ(m0.Calls(), (Names{KeyTypeRead(sess, pair[2]), Line("C_GetMechanismInfo", slot, t.oneStep), Line("C_DigestInit", sess, t.digest),
                                   Line("C_Digest", sess, 10, 64), Line("C_SignInit", sess, CKM_ECDSA, pair[2]),
                                   Line("C_Sign", sess, t.digestLen, 1024)}));
      EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, sig), kOk);
    }
    std::string bad = sig;
    bad[5] = bad[5] == '0' ? '1' : '0';
    EXPECT_EQ(ctl->Verify(sid, pub, static_cast<std::int16_t>(t.type), data, bad), kErrVerify);
    EXPECT_TRUE(Idle());
  }
  EXPECT_EQ(ctl->Encrypt(sid, pub, 0, "00112233"), "");
  EXPECT_EQ(ctl->Decrypt(sid, priv, 0, std::string(128, '1')), "");
  EXPECT_TRUE(Idle());

  // A handle whose key changed type since it was last used (remembered per
  // handle): the failure with the old type makes the control ask again.
  const CK_KEY_TYPE rsa = CKK_RSA;
  for (int i : {1, 2}) m0.set_attribute(pair[i], CKA_KEY_TYPE, &rsa, sizeof rsa);
  const std::string rsaSig = ctl->Sign(sid, priv, 0, data);
  EXPECT_EQ(rsaSig.size(), 128u);
  EXPECT_EQ(ctl->Verify(sid, pub, 0, data, rsaSig), kOk);
  for (int i : {1, 2}) m0.set_attribute(pair[i], CKA_KEY_TYPE, &ec, sizeof ec);
  EXPECT_EQ(ctl->Verify(sid, pub, 0, data, ctl->Sign(sid, priv, 0, data)), kOk);
}

TEST_F(CryptoOps, RawSignatureOverADigestInfoEqualsHashAndSign) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const auto priv = static_cast<std::int32_t>(pair[2]), pub = static_cast<std::int32_t>(pair[1]);
  const std::string data = "48656C6C6F2C20776F726C64";
  const std::string digestInfo = kSha1DigestInfoPrefix + ctl->Hash(sid, 0, data);
  ASSERT_EQ(digestInfo.size(), 70u);  // 35 bytes
  const std::string hashed = ctl->Sign(sid, priv, 0, data);
  ASSERT_FALSE(hashed.empty());
  EXPECT_EQ(ctl->Sign(sid, priv, 7, digestInfo), hashed);
  EXPECT_EQ(ctl->Verify(sid, pub, 7, digestInfo, hashed), kOk);
  EXPECT_EQ(ctl->Verify(sid, pub, -1, digestInfo, hashed), kOk);
}

TEST_F(CryptoOps, EmptyAndOneCharacterTexts) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const std::string s = Num(sess);
  const auto priv = static_cast<std::int32_t>(pair[2]), pub = static_cast<std::int32_t>(pair[1]);
  ClearLogs();
  EXPECT_EQ(ctl->Encrypt(sid, pub, 0, ""), "");
  EXPECT_EQ(ctl->Sign(sid, priv, 0, ""), "");
  EXPECT_TRUE(NothingLogged());

  // One character decodes to no byte, and that is what the token gets.
  EXPECT_EQ(ctl->Encrypt(sid, pub, 0, "A").size(), 512u);
  EXPECT_EQ(ctl->Sign(sid, priv, 0, "A").size(), 512u);
  EXPECT_EQ(m0.Calls(), (Names{Line("C_EncryptInit", s, CKM_RSA_PKCS, pair[1]), Line("C_Encrypt", s, 0, 512),
                               KeyTypeRead(s, pair[2]), Line("C_SignInit", s, CKM_SHA1_RSA_PKCS, pair[2]),
                               Line("C_Sign", s, 0, 1024)}));
  // Decrypt has no emptiness test: zero bytes and no room, whatever the module says.
  for (const char* text : {"", "A"}) {
    m0.clear_log();
    EXPECT_EQ(ctl->Decrypt(sid, priv, 0, text), "");
    EXPECT_EQ(m0.Calls().at(1), Line("C_Decrypt", s, 0, 0));
    EXPECT_TRUE(Idle());
  }
}

TEST_F(CryptoOps, EncryptThenDecryptRoundTrips) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  const std::string s = Num(sess);
  const auto priv = static_cast<std::int32_t>(pair[2]), pub = static_cast<std::int32_t>(pair[1]);
  const std::string cipher = ctl->Encrypt(sid, pub, 0, "48656c6c6f");
  ASSERT_EQ(cipher.size(), 512u);
  EXPECT_EQ(ctl->Decrypt(sid, priv, 0, cipher), "");  // private key: nobody logged in
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  m0.clear_log();
  EXPECT_EQ(ctl->Decrypt(sid, priv, 0, cipher), "48656C6C6F");
  EXPECT_EQ(m0.Calls(), (Names{Line("C_DecryptInit", s, CKM_RSA_PKCS, pair[2]), Line("C_Decrypt", s, 256, 256)}));
  std::string tampered = cipher;
  tampered[100] = tampered[100] == 'A' ? 'B' : 'A';
  EXPECT_EQ(ctl->Decrypt(sid, priv, 0, tampered), "");
  EXPECT_EQ(ctl->Decrypt(sid, pub, 0, cipher), "");  // not a decryption key
  EXPECT_EQ(ctl->Encrypt(sid, pub, 0, std::string(2 * 246, '1')), "");  // longer than modulus less 11
  EXPECT_EQ(ctl->Encrypt(sid, pub, 0, std::string(2 * 245, '1')).size(), 512u);
  EXPECT_TRUE(Idle());
}

TEST_F(CryptoOps, ByCertificateSerialNumber) {
  m0.KeyPair(slot, 1, {0x01, 0x23});
  const auto big = m0.KeyPair(slot, 2, {0x00, 0x99}, 512);  // 4096-bit key
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const std::string s = Num(sess);
  const std::string data = "616263";
  const std::string serial = ctl->GetAttribute(sid, static_cast<std::int32_t>(big[0]), 3);
  ASSERT_EQ(serial, "0099");

  // The same signature area as Sign: 4096-bit keys work here too.
  m0.clear_log();
  const std::string sig = ctl->SignByCertSerial(sid, serial, 0, data);
  EXPECT_EQ(sig.size(), 1024u);
  EXPECT_EQ(m0.Calls().back(), Line("C_Sign", s, 3, 1024));
  EXPECT_EQ(sig, ctl->Sign(sid, static_cast<std::int32_t>(big[2]), 0, data));
  EXPECT_EQ(ctl->VerifyByCertSerial(sid, serial, 0, data, sig), kOk);
  EXPECT_EQ(ctl->VerifyByCertSerial(sid, "0099", 0, "616264", sig), kErrVerify);
  EXPECT_EQ(ctl->VerifyByCertSerial(sid, "0099", 0, data, ""), kErrVerify);  // an empty signature is allowed

  // Unknown serials, and required texts shorter than two characters.
  EXPECT_EQ(ctl->SignByCertSerial(sid, "99", 0, data), "");
  EXPECT_EQ(ctl->VerifyByCertSerial(sid, "99", 0, data, sig), kErrNotFound);
  ClearLogs();
  for (const char* bad : {"", "0"}) {
    EXPECT_EQ(ctl->SignByCertSerial(sid, bad, 0, data), "");
    EXPECT_EQ(ctl->SignByCertSerial(sid, serial, 0, bad), "");
    EXPECT_EQ(ctl->VerifyByCertSerial(sid, bad, 0, data, sig), kErrBadArgument);
    EXPECT_EQ(ctl->VerifyByCertSerial(sid, serial, 0, bad, sig), kErrBadArgument);
  }
  EXPECT_TRUE(NothingLogged());
}

TEST_F(CryptoOps, SignaturesLongerThan512BytesComeWhole) {
  const auto huge = m0.KeyPair(slot, 1, {0x01}, 600);
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const std::string sig = ctl->Sign(sid, static_cast<std::int32_t>(huge[2]), 0, "616263");
  EXPECT_EQ(sig.size(), 1200u);
  EXPECT_EQ(ctl->Verify(sid, static_cast<std::int32_t>(huge[1]), 0, "616263", sig), kOk);
}

TEST_F(CryptoOps, AnOutputAreaTooSmallFailsAndEndsTheOperation) {
  const auto pair = m0.KeyPair(slot, 1, {0x01});
  ASSERT_NO_FATAL_FAILURE(UseToken());
  ASSERT_EQ(tok->Login(false, "1234", 4), kOk);
  const Bytes data = {1, 2, 3};
  Bytes cipher(256);
  CK_ULONG cipherLen = 256;
  ASSERT_EQ(tok->EncryptData(pair[1], data.data(), 3, cipher.data(), cipherLen), kOk);
  const struct {
    const char* what;
    const char* fn;
    std::function<ResultCode(CP11Token&, Bytes&, CK_ULONG&)> run;
    std::size_t inLen;
    CK_ULONG needed;
    std::int32_t failure;
  } cases[] = {
      {"digest", "C_Digest",
       [&](CP11Token& t, Bytes& o, CK_ULONG& n) { return t.DigestData(HashType::kSha1, data.data(), 3, o.data(), n); }, 3, 20,
       kErrHash},
      {"sign", "C_Sign",
       [&](CP11Token& t, Bytes& o, CK_ULONG& n) { return t.SignData(pair[2], HashType::kSha1, data.data(), 3, o.data(), n); }, 3,
       256, kErrSign},
      {"encrypt", "C_Encrypt",
       [&](CP11Token& t, Bytes& o, CK_ULONG& n) { return t.EncryptData(pair[1], data.data(), 3, o.data(), n); }, 3,
       256, kErrEncrypt},
      {"decrypt", "C_Decrypt",
       [&](CP11Token& t, Bytes& o, CK_ULONG& n) { return t.DecryptData(pair[2], cipher.data(), 256, o.data(), n); },
       256, 256, kErrDecrypt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m0.clear_log();
    Bytes out(c.needed, 0);
    CK_ULONG len = 10;
    EXPECT_EQ(c.run(*tok, out, len), c.failure);
    // The too-small call, then the operation finished into the reported size.
    const auto calls = m0.Calls();
    ASSERT_EQ(calls.size(), std::string(c.fn) == "C_Sign" ? 4u : 3u);  // a signature reads the key's type first
    EXPECT_EQ(calls[calls.size() - 2], Line(c.fn, sess, c.inLen, 10));
    EXPECT_EQ(calls.back(), Line(c.fn, sess, c.inLen, c.needed));
    EXPECT_TRUE(Idle());
    len = c.needed;
    EXPECT_EQ(c.run(*tok, out, len), kOk);
  }
}

TEST_F(CryptoOps, AKeyTooLargeForEncryptLeavesTheSessionUsable) {
  const auto small = m0.KeyPair(slot, 1, {0x01});
  const auto large = m0.KeyPair(slot, 2, {0x02}, 600);
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  EXPECT_EQ(ctl->Encrypt(sid, static_cast<std::int32_t>(large[1]), 0, "0102"), "");
  EXPECT_TRUE(Idle());
  EXPECT_EQ(ctl->Encrypt(sid, static_cast<std::int32_t>(small[1]), 0, "0102").size(), 512u);
  EXPECT_EQ(ctl->Hash(sid, 0, "0102").size(), 40u);
}

// ---------------------------------------------------------------- misbehaving modules

// Lengths no real value has, answered with CKR_OK: the method's failure
// value, nothing of that size allocated, and the session works on.
TEST_F(MisbehavingOps, AbsurdLengthsAnswerTheFailureValue) {
  const auto pair = m0.KeyPair(slot, 1, {0x01, 0x02});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  ASSERT_EQ(ctl->Login(sid, "1234"), kOk);
  const auto cert = static_cast<std::int32_t>(pair[0]), pub = static_cast<std::int32_t>(pair[1]),
             priv = static_cast<std::int32_t>(pair[2]);
  const std::string cipher = ctl->Encrypt(sid, pub, 0, "0102");
  ASSERT_FALSE(cipher.empty());
  const struct {
    const char* fn;
    std::function<std::string()> run;
  } cases[] = {
      {"C_GetAttributeValue", [&] { return ctl->GetAttribute(sid, cert, 1); }},
      {"C_GetAttributeValue", [&] { return ctl->SignByCertSerial(sid, "0102", 0, "0102"); }},
      {"C_Digest", [&] { return ctl->Hash(sid, 0, "0102"); }},
      {"C_Sign", [&] { return ctl->Sign(sid, priv, 0, "0102"); }},
      {"C_Encrypt", [&] { return ctl->Encrypt(sid, pub, 0, "0102"); }},
      {"C_Decrypt", [&] { return ctl->Decrypt(sid, priv, 0, cipher); }},
  };
  const unsigned long large =
      sizeof(unsigned long) == 8 ? static_cast<unsigned long>(std::uint64_t{1} << 40) : 0x80000000ul;
  for (const auto& c : cases) {
    const std::string healthy = c.run();
    ASSERT_FALSE(healthy.empty()) << c.fn;
    // Just over the attribute bound, 2^32 - 1, and 2^40.
    for (unsigned long len : {2ul * 1024 * 1024, 0xFFFFFFFFul, large}) {
      SCOPED_TRACE(std::string(c.fn) + " reports " + std::to_string(len));
      ASSERT_TRUE(m0.set_reported_length(c.fn, len));
      EXPECT_EQ(c.run(), "");
      EXPECT_TRUE(Idle());
      m0.set_reported_length(c.fn, 0);
      EXPECT_EQ(c.run(), healthy);
    }
  }
}

// A search that never runs dry stops at its bound.
TEST_F(MisbehavingOps, EndlessSearchStopsAtTheBound) {
  m0.KeyPair(slot, 1, {0x01, 0x02});
  ASSERT_NO_FATAL_FAILURE(UseFacade());
  m0.set_endless_find(1);
  const struct {
    const char* what;
    std::function<std::string()> run;
    std::string failure;
    unsigned long steps;
  } cases[] = {
      {"enumeration", [&] { return Num(static_cast<unsigned long>(ctl->EnumCertificate(sid, INT_MAX))); }, "1011",
       FindOperation::kMaxObjects},
      // The narrowed search gives up one step past its own bound, then the walk.
      {"lookup by serial", [&] { return ctl->SignByCertSerial(sid, "0103", 0, "0102"); }, "",
       FindOperation::kMaxNarrowed + 1 + FindOperation::kMaxObjects},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearLogs();
    EXPECT_EQ(c.run(), c.failure);
    EXPECT_EQ(m0.count("C_FindObjects"), c.steps);
    EXPECT_TRUE(Idle());
  }
}

}  // namespace
}  // namespace kelo::test
