// The facade without a token module: method table, coercion, session rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <regex>
#include <set>
#include <sstream>

#include "control/coerce.h"
#include "control/kelo_ctrl.h"
#include "codec/codec.h"
#include "tests/fake_registry.h"
#include "tests/fake_store.h"
#include "common/result_codes.h"

namespace kelo {
namespace {

TEST(MethodTable, DispatchIdsNamesAndLookup) {
  std::set<std::string> lower;
  for (std::size_t i = 0; i < kMethods.size(); ++i) {
    const MethodInfo& m = kMethods[i];
    EXPECT_EQ(m.dispid, static_cast<std::int32_t>(i + 1));
    std::string n = m.name;
    for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(lower.insert(n).second) << "duplicate name " << m.name;
    EXPECT_EQ(FindMethod(m.dispid), &m);
    EXPECT_EQ(FindMethod(n), &m);
    // Every method but ConnectToken takes the session identifier first.
    if (m.dispid != 1) {
      EXPECT_STREQ(m.params[0].name, "SessionID");
    }
  }
  EXPECT_EQ(FindMethod("NoSuchMethod"), nullptr);
  EXPECT_EQ(FindMethod(0), nullptr);
  EXPECT_EQ(FindMethod(27), nullptr);
  const MethodInfo* verify = FindMethod("VERIFY");
  ASSERT_NE(verify, nullptr);
  EXPECT_EQ(verify->params[2].type, VarType::Short);  // the one 16-bit parameter
  EXPECT_EQ(FindParam(*verify, "strsigntext"), 4);
  EXPECT_EQ(FindMethod("VerifyByCSP")->paramCount, 6);
  EXPECT_EQ(FindMethod("RetrieveAllTokenSerial")->dispid, 26);
}

// The copies of the table that cannot be generated from it (the type
// library's source, the page API's list and typings), read as text.
std::string SourceText(const char* relative) {
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / relative;
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Each match of pattern as its groups joined by '|', whitespace runs as one
// space and none around commas or parentheses.
// Blanks as the declarations' layout leaves them do not count.
std::string Normalized(const std::string& text) {
  const std::string joined = std::regex_replace(text, std::regex("\\s+"), " ");
  return std::regex_replace(joined, std::regex(" ?([,()|]) ?"), "$1");
}

std::vector<std::string> Declarations(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
    std::string joined;
    for (std::size_t g = 1; g < it->size(); ++g) {
      if (g > 1) joined += '|';
      joined += it->str(g);
    }
    out.push_back(Normalized(joined));
  }
  return out;
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t b = text.find(from);
  const std::size_t e = b == std::string::npos ? b : text.find(to, b + from.size());
  if (e == std::string::npos) {
    ADD_FAILURE() << "no \"" << from << "\" ... \"" << to << "\"";
    return {};
  }
  return text.substr(b + from.size(), e - b - from.size());
}

TEST(MethodTable, CopiesOutsideTheTableAgreeWithIt) {
  std::vector<std::string> idl, names, typings;
  for (const MethodInfo& m : kMethods) {
    auto idlType = [](VarType t) { return t == VarType::BStr ? "BSTR" : t == VarType::Short ? "short" : "long"; };
    auto tsType = [](VarType t) { return t == VarType::BStr ? "string" : "number"; };
    std::string idlParams, tsParams;
    for (std::size_t i = 0; i < m.paramCount; ++i) {
      idlParams += std::string(i ? "," : "") + idlType(m.params[i].type) + " " + m.params[i].name;
      tsParams += std::string(i ? "," : "") + m.params[i].name + ": " + tsType(m.params[i].type);
    }
    idl.push_back(Normalized(std::to_string(m.dispid) + "|" + (m.help ? m.help : "") + "|" + idlType(m.result) + "|" +
                             m.name + "|" + idlParams));
    names.push_back(m.name);
    typings.push_back(std::string(m.name) + "|" + tsParams + "|" + tsType(m.result));
  }
  const std::string idlText = Between(SourceText("control/com/kelo_ca.idl.in"), "dispinterface _DKeloCAActiveX", "};");
  const char* idlDeclaration = R"re(\[id\((\d+)\)(?:,\s*helpstring\("([^"]*)"\))?\]\s*(\w+)\s+(\w+)\(([^)]*)\);)re";
  EXPECT_EQ(Declarations(idlText, idlDeclaration), idl);
  const std::string js = Between(SourceText("extension/page-api/kelo-ca.js"), "METHODS", "]");
  EXPECT_EQ(Declarations(js, R"('(\w+)')"), names);
  const std::string ts = Between(SourceText("extension/page-api/kelo-ca.d.ts"), "interface Control {", "\n}");
  EXPECT_EQ(Declarations(ts, R"((\w+)\(([^)]*)\):\s*Promise<(\w+)>;)"), typings);
}

// Whether an object's own bytes (where a short string keeps its text) hold
// the text.
template <typename T>
bool BytesHold(const T& object, std::string_view text) {
  return std::string_view(reinterpret_cast<const char*>(&object), sizeof object).find(text) != std::string_view::npos;
}

TEST(Value, WipesItsStringWheneverItLetsGo) {
  const std::string pin = "pin-4711";  // short enough to live inside the value
  alignas(Value) unsigned char storage[sizeof(Value)];
  Value* placed = new (storage) Value(Value::String(pin));
  ASSERT_TRUE(BytesHold(storage, "4711"));
  placed->~Value();
  EXPECT_FALSE(BytesHold(storage, "4711")) << "destroyed";

  Value from = Value::String(pin);
  Value to = std::move(from);
  EXPECT_FALSE(BytesHold(from, "4711")) << "moved from";
  Value over = Value::String("otherpin-0815");
  over = std::move(to);
  EXPECT_FALSE(BytesHold(to, "4711")) << "moved from by assignment";
  const Value number = Value::Int(7);
  over = number;
  EXPECT_FALSE(BytesHold(over, "4711")) << "assigned over";
  Value replaced = Value::String(pin);
  replaced = Value::String("x");
  EXPECT_FALSE(BytesHold(replaced, "4711")) << "replaced by a shorter text";
}

struct CoerceCase {
  Value in;
  VarType type;
  HResult hr;
  std::int64_t i;
  std::string s;
};

TEST(Coerce, AutomationRules) {
  const CoerceCase cases[] = {
      {Value::Int(42), VarType::Long, kS_OK, 42, ""},
      {Value::Int(2147483647), VarType::Long, kS_OK, 2147483647, ""},
      {Value::Int(-2147483648LL), VarType::Long, kS_OK, -2147483648LL, ""},
      {Value::Int(2147483648LL), VarType::Long, kDISP_E_OVERFLOW, 0, ""},
      {Value::Int(32767), VarType::Short, kS_OK, 32767, ""},
      {Value::Int(-32769), VarType::Short, kDISP_E_OVERFLOW, 0, ""},
      {Value::Int(-1), VarType::Short, kS_OK, -1, ""},
      {Value::Double(7.0), VarType::Long, kS_OK, 7, ""},
      {Value::Double(7.5), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::Double(1e300), VarType::Long, kDISP_E_OVERFLOW, 0, ""},
      {Value::String("123"), VarType::Long, kS_OK, 123, ""},
      {Value::String(" -5 "), VarType::Long, kS_OK, -5, ""},
      {Value::String("+8"), VarType::Long, kS_OK, 8, ""},
      {Value::String("99999999999"), VarType::Long, kDISP_E_OVERFLOW, 0, ""},
      {Value::String("999999999999999999999999"), VarType::Long, kDISP_E_OVERFLOW, 0, ""},
      {Value::String("12a"), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::String("0x10"), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::String(""), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::String("-"), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::Bool(true), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::Null(), VarType::Long, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::String("abc"), VarType::BStr, kS_OK, 0, "abc"},
      {Value::String(std::string("ab\0cd", 5)), VarType::BStr, kS_OK, 0, "ab"},
      {Value::Int(-12), VarType::BStr, kS_OK, 0, "-12"},
      {Value::Double(1.5), VarType::BStr, kS_OK, 0, "1.5"},
      {Value::Null(), VarType::BStr, kDISP_E_TYPEMISMATCH, 0, ""},
      {Value::Bool(false), VarType::BStr, kDISP_E_TYPEMISMATCH, 0, ""},
  };
  for (const CoerceCase& c : cases) {
    Value out;
    SCOPED_TRACE(c.in.s + "/" + std::to_string(c.in.i) + "/" + std::to_string(c.in.d));
    ASSERT_EQ(Coerce(c.in, c.type, out), c.hr);
    if (c.hr != kS_OK) continue;
    if (c.type == VarType::BStr) {
      EXPECT_EQ(out.kind, Value::Kind::String);
      EXPECT_EQ(out.s, c.s);
    } else {
      EXPECT_EQ(out.kind, Value::Kind::Int);
      EXPECT_EQ(out.i, c.i);
    }
  }
}

class FacadeTest : public ::testing::Test {
 protected:
  FacadeTest() {
    auto reg = std::make_unique<FakeRegistry>();
    fake = reg.get();
    ctl = std::make_unique<CKeloCAActiveXCtrl>(std::move(reg));
  }
  FakeRegistry* fake;
  std::unique_ptr<CKeloCAActiveXCtrl> ctl;
};

TEST_F(FacadeTest, SessionIdentifierIsStableUniqueAndNeverAResultCode) {
  std::int32_t sid = ctl->SessionIdentifier();
  EXPECT_NE(sid, static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(fake) & 0xFFFFFFFFu)) << "an address";
  EXPECT_EQ(ctl->ConnectToken(), sid);
  EXPECT_EQ(ctl->DisconnectToken(sid), 0);
  EXPECT_EQ(ctl->ConnectToken(), sid);
  fake->connectResult = kErrNoToken;
  EXPECT_EQ(ctl->ConnectToken(), kErrNoToken);
  // Controls made one after another (each in the last one's memory) and
  // side by side.
  std::set<std::int32_t> seen = {sid};
  std::vector<std::unique_ptr<CKeloCAActiveXCtrl>> alive;
  for (int i = 0; i < 2000; ++i) {
    auto other = std::make_unique<CKeloCAActiveXCtrl>(std::make_unique<FakeRegistry>());
    std::int32_t id = other->SessionIdentifier();
    EXPECT_TRUE(id > 65535 || id < -65535) << id;
    EXPECT_TRUE(seen.insert(id).second) << "repeated " << id;
    if (i % 2) alive.push_back(std::move(other));
  }
}

TEST_F(FacadeTest, WrongSessionIdentifierFailsEveryTokenMethodWithoutTouchingTheRegistry) {
  std::int32_t bad = ctl->SessionIdentifier() + 1;
  EXPECT_EQ(ctl->DisconnectToken(bad), kErrSession);
  EXPECT_EQ(ctl->Login(bad, "1234"), kErrSession);
  EXPECT_EQ(ctl->Logout(bad), kErrSession);
  EXPECT_EQ(ctl->RetrieveSerial(bad), "1002");
  EXPECT_EQ(ctl->RetrieveAllTokenSerial(bad), "1002");
  EXPECT_EQ(ctl->EnumPrivateKey(bad, 0), kErrSession);
  EXPECT_EQ(ctl->Encrypt(bad, 1, 0, "00"), "");
  EXPECT_EQ(ctl->Hash(bad, 0, "616263"), "");
  EXPECT_EQ(ctl->Verify(bad, 1, 0, "00", "00"), kErrSession);
  EXPECT_EQ(ctl->VerifyByCertSerial(bad, "01", 0, "00", "00"), kErrSession);
  EXPECT_EQ(ctl->TokenInitialize(bad, "so", "user", "name"), kErrSession);
  EXPECT_EQ(fake->disconnects, 0);
  EXPECT_EQ(fake->serialCalls, 0);
}

TEST_F(FacadeTest, NoCurrentTokenGivesSessionError) {
  std::int32_t sid = ctl->SessionIdentifier();
  EXPECT_EQ(ctl->Login(sid, "1234"), kErrSession);
  EXPECT_EQ(ctl->RetrieveSerial(sid), "1002");
  EXPECT_EQ(ctl->Sign(sid, 1, 0, "00"), "");
  EXPECT_EQ(ctl->VerifyByCertSerial(sid, "", 0, "", ""), kErrSession);
}

TEST_F(FacadeTest, AllSerialsNeedsNoConnectionAndAnswers1002WhenEmpty) {
  std::int32_t sid = ctl->SessionIdentifier();
  EXPECT_EQ(ctl->RetrieveAllTokenSerial(sid), "1002");
  fake->serials = "A,B";
  EXPECT_EQ(ctl->RetrieveAllTokenSerial(sid), "A,B");
}

TEST_F(FacadeTest, VerifyCertCrlAnswersOneForAnything) {
  EXPECT_EQ(ctl->VerifyCertCRL(0, 0, ""), 1);
  EXPECT_EQ(ctl->VerifyCertCRL(-5, 99, "garbage"), 1);
}

TEST_F(FacadeTest, InvokeCoercesAndReportsBadCalls) {
  std::vector<Value> args = {Value::String(std::to_string(ctl->SessionIdentifier()))};
  CallResult r = ctl->Invoke(*FindMethod("RetrieveAllTokenSerial"), args);
  EXPECT_EQ(r.hr, kS_OK);
  EXPECT_EQ(r.value.s, "1002");

  std::vector<Value> few = {Value::Int(1)};
  r = ctl->Invoke(*FindMethod("Login"), few);
  EXPECT_EQ(r.hr, kDISP_E_BADPARAMCOUNT);

  std::vector<Value> bad = {Value::Int(1), Value::Int(2), Value::Int(40000), Value::String(""), Value::String("")};
  r = ctl->Invoke(*FindMethod("Verify"), bad);
  EXPECT_EQ(r.hr, kDISP_E_OVERFLOW);
  EXPECT_EQ(r.badParam, 2);

  std::vector<Value> mismatch = {Value::Null(), Value::Int(0), Value::String("")};
  r = ctl->Invoke(*FindMethod("VerifyCertCRL"), mismatch);
  EXPECT_EQ(r.hr, kDISP_E_TYPEMISMATCH);
  EXPECT_EQ(r.badParam, 0);

  std::vector<Value> pin = {Value::Int(ctl->SessionIdentifier()), Value::String("secret-pin")};
  r = ctl->Invoke(*FindMethod("Login"), pin);
  EXPECT_EQ(r.value.i, kErrSession);
  EXPECT_TRUE(pin.empty()) << "the call takes its arguments, to wipe their strings";
}

class StoreHandlersTest : public ::testing::Test {
 protected:
  StoreHandlersTest() {
    state.serials = {{0x0A, 0x1B}, {0x00, 0xFF}};
    ctl = std::make_unique<CKeloCAActiveXCtrl>(
        std::make_unique<FakeRegistry>(),
        std::make_unique<CTokenCSP>(std::make_unique<test::FakeStore>(state), std::make_unique<test::FakeChooser>(state)));
  }
  test::FakeState state;
  std::unique_ptr<CKeloCAActiveXCtrl> ctl;
};

TEST_F(StoreHandlersTest, SessionIdentifierIsIgnoredAndHexIsLenient) {
  // The fake signs by appending the hash type to the data.
  for (std::int32_t sid : {0, -5, ctl->SessionIdentifier() + 1}) {
    EXPECT_EQ(ctl->SignByCSP(sid, 1, "0A1B", 2, "ABC"), "AB02");  // "ABC" is the one byte AB
    EXPECT_EQ(ctl->SignByCSP(sid, 1, "0a1b", 2, "ab"), "AB02");
  }
  EXPECT_EQ(ctl->SignByCSP(0, 1, "0A1B", 0, ""), "00");
  EXPECT_EQ(ctl->VerifyByCSP(0, 1, "0A1B", 2, "AB", "AB02"), 0);
  EXPECT_EQ(ctl->VerifyByCSP(0, 1, "0A1B", 0, "AB", "AB02"), kErrVerify);
  EXPECT_EQ(ctl->VerifyByCSP(0, 1, "0A1B", 5, "AB", "AB05"), kErrHash);
  EXPECT_EQ(ctl->VerifyByCSP(0, 7, "0A1B", 0, "AB", "AB00"), kErrBadArgument);
  EXPECT_EQ(ctl->VerifyByCSP(0, 1, "FFFF", 0, "AB", "AB00"), kErrNotFound);
  EXPECT_EQ(ctl->VerifyByCSP(0, 1, "", 0, "AB", "AB00"), kErrNotFound);  // empty serial is present, matches nothing
}

TEST_F(StoreHandlersTest, CertificateDataIsPreparedByType) {
  for (std::int32_t type : {2, 3, 4}) {
    EXPECT_EQ(ctl->SignByCSP(0, type, "0A1B", 0, "AB"), "") << type;
    EXPECT_EQ(ctl->DecryptByCSP(0, type, "0A1B", 0, "ABEE"), "") << type;
  }
  // Type 2 passes the text itself; type 3 the bytes of its hexadecimal.
  const std::string der = "FAKECERT\x01";
  std::string b64 = codec::Base64Encode(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
  EXPECT_EQ(ctl->EncryptByCSP(0, 2, b64, 0, "ab"), "ABEE");
  EXPECT_EQ(ctl->EncryptByCSP(0, 3, codec::BytesToHex(reinterpret_cast<const std::uint8_t*>(der.data()), der.size()),
                              0, "AB"),
            "ABEE");
  EXPECT_EQ(ctl->EncryptByCSP(0, 3, "ABCD", 0, "AB"), "");  // not a certificate
  EXPECT_EQ(ctl->DecryptByCSP(0, 1, "0a1b", 0, "abee"), "AB");
  EXPECT_EQ(ctl->DecryptByCSP(0, 1, "0A1B", 0, "EE"), "");  // zero bytes decrypted
  state.chosen = 1;
  EXPECT_EQ(ctl->SignByCSP(0, 0, "ignored", 0, "01"), "0100");
  EXPECT_EQ(ctl->VerifyCertCRL(0, 4, "/no/such/file"), 1);
}

}  // namespace
}  // namespace kelo
