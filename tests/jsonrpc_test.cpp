// The JSON-RPC endpoint: request shapes, errors, and result encoding.
#include "host/jsonrpc.h"
#include "tests/support/scoped_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "tests/fake_registry.h"
#include "tests/mock_api.h"

namespace kelo {
namespace {

using json = nlohmann::json;

class JsonRpcTest : public ::testing::Test {
 protected:
  JsonRpcTest() {
    auto reg = std::make_unique<FakeRegistry>();
    fake = reg.get();
    ctl = std::make_unique<CKeloCAActiveXCtrl>(std::move(reg));
    endpoint = std::make_unique<JsonRpcEndpoint>(*ctl);
    sid = ctl->SessionIdentifier();
  }
  json Call(const std::string& text) {
    std::string out = endpoint->Handle(text);
    return out.empty() ? json() : json::parse(out);
  }
  std::string Req(const std::string& method, const std::string& params, const std::string& id = "7") {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" + params + "}";
  }
  FakeRegistry* fake;
  std::unique_ptr<CKeloCAActiveXCtrl> ctl;
  std::unique_ptr<JsonRpcEndpoint> endpoint;
  std::int32_t sid;
};

TEST_F(JsonRpcTest, ResultsAreTheMethodValuesWithTheRequestId) {
  json r = Call(Req("VerifyCertCRL", "[0,0,\"\"]", "\"abc\""));
  EXPECT_EQ(r["jsonrpc"], "2.0");
  EXPECT_EQ(r["id"], "abc");
  EXPECT_EQ(r["result"], 1);

  r = Call(Req("connecttoken", "[]"));
  EXPECT_EQ(r["result"], sid);
  // Result codes are results, not errors.
  fake->connectResult = kErrNoToken;
  r = Call(Req("ConnectToken", "null"));
  EXPECT_EQ(r["result"], 1003);
  EXPECT_FALSE(r.contains("error"));

  r = Call(R"({"jsonrpc":"2.0","id":null,"method":"RetrieveAllTokenSerial","params":[)" + std::to_string(sid) + "]}");
  EXPECT_TRUE(r["id"].is_null());
  EXPECT_EQ(r["result"], "1002");
}

TEST_F(JsonRpcTest, NamedParametersAreMatchedCaseInsensitively) {
  fake->serials = "S1";
  json r = Call(Req("RetrieveAllTokenSerial", R"({"sessionid":")" + std::to_string(sid) + R"("})"));
  EXPECT_EQ(r["result"], "S1");

  struct Case {
    std::string params;
    std::string hresult;
  } cases[] = {
      {R"({"SessionID":1})", "0x8002000F"},                          // missing parameter
      {R"({"SessionID":1,"strUserPin":"1","pin":"2"})", "0x80020006"},  // unknown name
      {R"({"SessionID":1,"sessionid":2,"strUserPin":"1"})", "0x8002000E"},  // given twice
      {R"({"SessionID":[1],"strUserPin":"1"})", "0x80020005"},       // not a plain value
  };
  for (const Case& c : cases) {
    json e = Call(Req("Login", c.params));
    SCOPED_TRACE(c.params);
    EXPECT_EQ(e["error"]["code"], kInvalidParams);
    EXPECT_EQ(e["error"]["data"]["hresult"], c.hresult);
    EXPECT_EQ(e["id"], 7);
  }
}

TEST_F(JsonRpcTest, MalformedRequestsGetTheirErrorCodes) {
  struct Case {
    std::string text;
    int code;
    std::string hresult;
  } cases[] = {
      {"{not json", kParseError, ""},
      {"", kParseError, ""},
      {"42", kInvalidRequest, ""},
      {"[]", kInvalidRequest, ""},
      {R"({"jsonrpc":"1.0","id":1,"method":"ConnectToken"})", kInvalidRequest, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":5})", kInvalidRequest, ""},
      {R"({"jsonrpc":"2.0","id":{},"method":"ConnectToken"})", kInvalidRequest, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"ConnectToken","params":"x"})", kInvalidRequest, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"Frobnicate","params":[]})", kMethodNotFound, "0x80020006"},
      {R"({"jsonrpc":"2.0","id":1,"method":"Logout","params":[]})", kInvalidParams, "0x8002000E"},
      {R"({"jsonrpc":"2.0","id":1,"method":"Logout","params":[true]})", kInvalidParams, "0x80020005"},
      {R"({"jsonrpc":"2.0","id":1,"method":"Logout","params":[4294967296]})", kInvalidParams, "0x8002000A"},
      {R"({"jsonrpc":"2.0","id":1,"method":"Logout","params":[18446744073709551615]})", kInvalidParams,
       "0x8002000A"},
      {R"({"jsonrpc":"2.0","id":1,"method":"Login","params":[1,"\xff"]})", kParseError, ""},
      // Nothing a request holds comes back in the message: it may be a PIN.
      {R"({"jsonrpc":"2.0","id":1,"method":"Login","params":[1,"S3CRET")", kParseError, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"Login","params":[1,S3CRET]})", kParseError, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"S3CRET","params":[]})", kMethodNotFound, "0x80020006"},
      {R"({"jsonrpc":"2.0","id":"x","method":"Login","params":{"S3CRET":1}})", kInvalidParams, "0x80020006"},
      // The host's flags method takes one session identifier, as a long parameter would.
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags"})", kInvalidParams, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":[1,2]})", kInvalidParams, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":[[1]]})", kInvalidParams, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":[4294967296]})", kInvalidParams, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":{"SessionID":"x"}})", kInvalidParams, ""},
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":{"S3CRET":1}})", kInvalidParams, ""},
      // Well formed, but this registry has no token to ask.
      {R"({"jsonrpc":"2.0","id":1,"method":"kelo.tokenFlags","params":["1"]})", kTokenFlagsUnavailable, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    json r = Call(c.text);
    ASSERT_TRUE(r.contains("error"));
    EXPECT_EQ(r["error"]["code"], c.code);
    const std::string message = r["error"]["message"];
    EXPECT_EQ(message.find("S3CRET"), std::string::npos) << message;
    if (c.code == kParseError) {
      EXPECT_NE(message.find("at byte "), std::string::npos) << message;
    }
    if (!c.hresult.empty()) {
      EXPECT_EQ(r["error"]["data"]["hresult"], c.hresult);
    }
    // The id comes back whenever it could be read.
    json sent = json::parse(c.text, nullptr, false);
    json id = sent.is_object() && sent.contains("id") && !sent["id"].is_object() ? sent["id"] : json();
    EXPECT_EQ(r["id"], id);
  }
}

TEST_F(JsonRpcTest, NotificationsAreExecutedButNotAnswered) {
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"DisconnectToken","params":[)" + std::to_string(sid) +
                             "]}"),
            "");
  EXPECT_EQ(fake->disconnects, 1);
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"NoSuchMethod"})"), "");
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"Logout","params":[true]})"), "");
  // Params that are neither array nor object make no request at all: answered.
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","method":"Logout","params":"x"})")["error"]["code"], kInvalidRequest);
}

TEST_F(JsonRpcTest, BatchesAnswerEachRequestInOrder) {
  json r = Call("[" + Req("VerifyCertCRL", "[0,0,\"\"]", "1") + "," + Req("Nope", "[]", "2") + ",5]");
  ASSERT_TRUE(r.is_array());
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]["result"], 1);
  EXPECT_EQ(r[1]["error"]["code"], kMethodNotFound);
  EXPECT_EQ(r[2]["error"]["code"], kInvalidRequest);
}

TEST_F(JsonRpcTest, BatchesHaveALimitOfCallsAndOfAnswerSize) {
  auto batch = [&](std::size_t n, const std::string& call) {
    std::string text = "[";
    for (std::size_t i = 0; i < n; ++i) text += (i ? "," : "") + call;
    return text + "]";
  };
  const std::string disconnect =
      R"({"jsonrpc":"2.0","method":"DisconnectToken","params":[)" + std::to_string(sid) + "]}";
  EXPECT_EQ(Call(batch(kMaxBatchCalls, Req("VerifyCertCRL", R"([0,0,""])"))).size(), kMaxBatchCalls);
  // One more and no call runs at all.
  json r = Call(batch(kMaxBatchCalls + 1, disconnect));
  EXPECT_EQ(r["error"]["code"], kInvalidRequest);
  EXPECT_TRUE(r["id"].is_null());
  EXPECT_EQ(fake->disconnects, 0);

  // Calls whose answers would not fit get an error with their id instead.
  const std::size_t limit = 1000;
  endpoint->SetMaxBatchResponse(limit);
  fake->serials = std::string(300, 'S');
  const std::string serials = Req("RetrieveAllTokenSerial", "[" + std::to_string(sid) + "]", R"("big")");
  const std::string small = Req("VerifyCertCRL", R"([0,0,""])", R"("small")");
  std::string out = endpoint->Handle("[" + serials + "," + serials + "," + serials + "," + small + "]");
  EXPECT_LE(out.size(), limit);
  r = json::parse(out);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0]["result"], fake->serials);
  EXPECT_EQ(r[1]["result"], fake->serials);
  EXPECT_EQ(r[2]["error"]["code"], kInternalError);
  EXPECT_EQ(r[2]["id"], "big");
  EXPECT_EQ(r[3]["result"], 1);
}

TEST(LoneSurrogates, BecomeTheReplacementCharacterAndNothingElseChanges) {
  struct Case {
    std::string in;
    std::string out;  // empty: nothing to replace
  } cases[] = {
      {R"(["\ud800"])", R"(["\uFFFD"])"},
      {R"(["\uDBFFx"])", R"(["\uFFFDx"])"},
      {R"(["\udc00"])", R"(["\uFFFD"])"},
      {R"(["\ud800\ud800\udc00"])", R"(["\uFFFD\ud800\udc00"])"},
      {R"(["\udc00\ud800"])", R"(["\uFFFD\uFFFD"])"},
      {R"(["\ud800\u0041"])", R"(["\uFFFD\u0041"])"},
      {R"(["\ud800)", R"(["\uFFFD)"},
      {R"(["\\\ud800"])", R"(["\\\uFFFD"])"},
      {R"(["\ud83d\ude00"])", ""},
      {R"(["\\ud800"])", ""},
      {R"(["\u00e9\ud7ff\ue000"])", ""},
      {R"(["\ud80"])", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out = "untouched";
    EXPECT_EQ(ReplaceLoneSurrogates(c.in, out), !c.out.empty());
    EXPECT_EQ(out, c.out.empty() ? "untouched" : c.out);
  }
}

TEST_F(JsonRpcTest, NonUtf8ResultTextIsReplacedNotDropped) {
  fake->serials = "AB\xff\xfe" "CD";
  std::string out = endpoint->Handle(Req("RetrieveAllTokenSerial", "[" + std::to_string(sid) + "]"));
  json r = json::parse(out);
  EXPECT_EQ(r["result"], "AB\xEF\xBF\xBD\xEF\xBF\xBD" "CD");
}

TEST_F(JsonRpcTest, StringParameterEndsAtFirstNulAndMayHoldLoneSurrogates) {
  // A NUL inside the PIN ends it, as it would for a narrow string.
  json r = Call(Req("VerifyCertCRL", R"([0,0,"a\u0000b"])"));
  EXPECT_EQ(r["result"], 1);
  // What Firefox sends for a string cut inside a surrogate pair.
  r = Call(Req("VerifyCertCRL", R"([0,0,"a\ud83d"])", R"("cut")"));
  EXPECT_EQ(r["id"], "cut");
  EXPECT_EQ(r["result"], 1);
}

// Sets or removes an environment variable for one scope.
using test::ScopedEnv;

class HelloTest : public JsonRpcTest {
 protected:
  HelloTest() {
    endpoint = std::make_unique<JsonRpcEndpoint>(*ctl, [this](const std::string& o) { told.push_back(o); });
  }
  std::string Hello(const std::string& params, const std::string& id = "1") {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"kelo.hello")" +
           (params.empty() ? "" : R"(,"params":)" + params) + "}";
  }
  std::vector<std::string> told;  // what the endpoint passed on, in order
};

TEST_F(HelloTest, OriginIsCheckedBeforeItIsPassedOn) {
  const std::string longest = "https://" + std::string(kMaxOriginLength - 8, 'a');
  struct Case {
    const char* name;
    std::string params;
    std::string origin;  // expected to be passed on; empty: nothing
    int error;           // 0: answered
  } cases[] = {
      {"https origin", R"({"origin":"https://sign.example.org"})", "https://sign.example.org", 0},
      {"loopback with a port", R"({"origin":"http://127.0.0.1:8080"})", "http://127.0.0.1:8080", 0},
      {"at the length limit", R"({"origin":")" + longest + R"("})", longest, 0},
      {"no params", "", "", 0},
      {"no origin", "{}", "", 0},
      {"null origin", R"({"origin":null})", "", 0},
      {"past the length limit", R"({"origin":")" + longest + R"(a"})", "", kInvalidParams},
      {"empty", R"({"origin":""})", "", kInvalidParams},
      {"a number", R"({"origin":42})", "", kInvalidParams},
      {"no scheme", R"({"origin":"sign.example.org"})", "", kInvalidParams},
      {"nothing after the scheme", R"({"origin":"https://"})", "", kInvalidParams},
      {"scheme starts with a digit", R"({"origin":"1https://a.example"})", "", kInvalidParams},
      {"blank inside", R"({"origin":"https://a.example asks nothing. https://b.example"})", "", kInvalidParams},
      {"line break", R"({"origin":"https://a.example\nOK"})", "", kInvalidParams},
      {"NUL", R"({"origin":"https://a.example\u0000.b"})", "", kInvalidParams},
      {"DEL", R"({"origin":"https://a.example\u007f"})", "", kInvalidParams},
      {"not ASCII", "{\"origin\":\"https://b\u00e9.example\"}", "", kInvalidParams},
      {"params as an array", R"(["https://a.example"])", "", kInvalidParams},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    endpoint = std::make_unique<JsonRpcEndpoint>(*ctl, [this](const std::string& o) { told.push_back(o); });
    told.clear();
    json r = Call(Hello(c.params, "\"h\""));
    EXPECT_EQ(r["id"], "h");
    if (c.error != 0) {
      EXPECT_EQ(r["error"]["code"], c.error);
      EXPECT_TRUE(told.empty());
      EXPECT_EQ(endpoint->origin(), "");
      continue;
    }
    ASSERT_TRUE(r.contains("result")) << r.dump();
    EXPECT_EQ(r["result"]["name"], "kelo-ca");
    EXPECT_TRUE(r["result"]["version"].is_string());
    EXPECT_TRUE(r["result"]["display"].is_boolean());
    EXPECT_EQ(endpoint->origin(), c.origin);
    EXPECT_EQ(told, c.origin.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.origin});
  }
}

TEST_F(HelloTest, OnlyTheFirstAnsweredHelloCounts) {
  // A refused hello does not count: the client may greet again.
  EXPECT_EQ(Call(Hello(R"({"origin":"no origin"})"))["error"]["code"], kInvalidParams);
  EXPECT_TRUE(Call(Hello(R"({"origin":"https://first.example"})")).contains("result"));
  // Later ones, even well-formed or without an origin, change nothing.
  for (const std::string& params : {std::string(R"({"origin":"https://second.example"})"), std::string("{}")}) {
    SCOPED_TRACE(params);
    json r = Call(Hello(params, "5"));
    EXPECT_EQ(r["error"]["code"], kInvalidRequest);
    EXPECT_EQ(r["id"], 5);
  }
  EXPECT_EQ(endpoint->origin(), "https://first.example");
  EXPECT_EQ(told, std::vector<std::string>{"https://first.example"});

  // A hello without an origin counts too: nobody can name one afterwards.
  endpoint = std::make_unique<JsonRpcEndpoint>(*ctl);
  EXPECT_TRUE(Call(Hello("")).contains("result"));
  EXPECT_EQ(Call(Hello(R"({"origin":"https://late.example"})"))["error"]["code"], kInvalidRequest);
  EXPECT_EQ(endpoint->origin(), "");

  // As a notification it is carried out but not answered.
  endpoint = std::make_unique<JsonRpcEndpoint>(*ctl);
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"kelo.hello","params":{"origin":"https://quiet.example"}})"),
            "");
  EXPECT_EQ(endpoint->origin(), "https://quiet.example");
  EXPECT_EQ(Call(Hello(R"({"origin":"https://loud.example"})"))["error"]["code"], kInvalidRequest);
}

TEST_F(HelloTest, DisplayFollowsTheEnvironment) {
  struct Case {
    const char* x11;
    const char* wayland;
    bool display;
  } cases[] = {
      {nullptr, nullptr, false}, {"", "", false}, {":7", nullptr, true}, {nullptr, "wayland-0", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.x11 ? c.x11 : "(unset)") + " " + (c.wayland ? c.wayland : "(unset)"));
    ScopedEnv x11("DISPLAY", c.x11), wayland("WAYLAND_DISPLAY", c.wayland);
    endpoint = std::make_unique<JsonRpcEndpoint>(*ctl);
    EXPECT_EQ(Call(Hello(""))["result"]["display"], c.display);
  }
}

TEST_F(HelloTest, TheControlMethodsAreUntouched) {
  ASSERT_TRUE(Call(Hello(R"({"origin":"https://a.example"})")).contains("result"));
  for (const MethodInfo& m : kMethods) {
    SCOPED_TRACE(m.name);
    // The reserved name can never shadow a method of the control.
    EXPECT_EQ(std::string_view(m.name).find('.'), std::string_view::npos);
    // One argument too many reaches the control's own count check.
    std::string params = "[";
    for (int i = 0; i <= m.paramCount; ++i) params += i ? ",0" : "0";
    json r = Call(Req(m.name, params + "]"));
    EXPECT_EQ(r["error"]["code"], kInvalidParams);
    EXPECT_EQ(r["error"]["data"]["hresult"], "0x8002000E");
  }
  EXPECT_EQ(Call(Req("ConnectToken", "[]"))["result"], sid);
  // Only the exact reserved name is the host's own.
  for (const char* name : {"KELO.HELLO", "kelo.hello ", "kelo.goodbye"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Call(Req(name, "{}"))["error"]["code"], kMethodNotFound);
  }
  EXPECT_EQ(endpoint->origin(), "https://a.example");
}

// A registry whose one token is the mock module loaded by its path: this
// test runs without the mock directory on the loader's search path.
class MockPathRegistry final : public ITokenRegistry {
 public:
  explicit MockPathRegistry(std::string path) : path_(std::move(path)) {}
  ResultCode Connect() override {
    if (!token_.IsLoaded()) {
      if (ResultCode rc = token_.Load(path_.c_str()); rc != kOk) return rc;
    }
    const ResultCode rc = token_.Connect();
    connected_ = rc == kOk;
    return rc;
  }
  ResultCode Disconnect() override {
    connected_ = false;
    return token_.Disconnect();
  }
  CP11Token* GetCurrentToken() override { return connected_ ? &token_ : nullptr; }
  void GetAllSerials(std::string&) override {}
  LibraryType CurrentType() const override { return connected_ ? kLibraryZIr4 : kNoLibrary; }

 private:
  std::string path_;
  CP11Token token_;
  bool connected_ = false;
};

TEST(TokenFlagsOverMock, TheTokensFlagsComeBackAsItReportsThem) {
  // The build puts the mock modules beside the test programs.
  const std::string path =
      (std::filesystem::canonical("/proc/self/exe").parent_path() / "mock" / LibraryName(0)).string();
  test::MockApi mock;
  ASSERT_TRUE(mock.Load(path.c_str())) << platform::LastLoadError() << " (is mockp11_modules built?)";
  mock.reset();
  const unsigned long slot = mock.add_slot("FLAGS", 1);
  {
    CKeloCAActiveXCtrl ctl(std::make_unique<MockPathRegistry>(path));
    JsonRpcEndpoint endpoint(ctl);
    const std::int32_t sid = ctl.ConnectToken();
    ASSERT_EQ(sid, ctl.SessionIdentifier());
    const auto ask = [&](std::int32_t id) {
      return json::parse(endpoint.Handle(R"({"jsonrpc":"2.0","id":3,"method":"kelo.tokenFlags","params":{"sessionid":)" +
                                         std::to_string(id) + "}}"));
    };
    const json before = ask(sid);
    ASSERT_TRUE(before["result"]["flags"].is_number_unsigned()) << before.dump();
    const auto flags = before["result"]["flags"].get<std::uint64_t>();
    EXPECT_EQ(flags & CKF_TOKEN_INITIALIZED, CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(flags & CKF_USER_PIN_LOCKED, 0u);
    mock.lock_pin(slot, CKU_USER, 1);
    EXPECT_EQ(ask(sid)["result"]["flags"], flags | CKF_USER_PIN_LOCKED);
    // Another identifier gets the control's own answer, as an error with its code.
    const json wrong = ask(sid + 1);
    EXPECT_EQ(wrong["error"]["code"], kTokenFlagsUnavailable);
    EXPECT_EQ(wrong["error"]["data"]["resultCode"], 1002);
    EXPECT_EQ(wrong["id"], 3);
  }
  mock.reset();
}

}  // namespace
}  // namespace kelo
