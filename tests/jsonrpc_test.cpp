// The JSON-RPC endpoint: request shapes, errors, and result encoding.
#include "host/jsonrpc.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/fake_registry.h"

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
  fake->connectResult = 1003;
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    json r = Call(c.text);
    ASSERT_TRUE(r.contains("error"));
    EXPECT_EQ(r["error"]["code"], c.code);
    EXPECT_TRUE(r["error"]["message"].is_string());
    if (!c.hresult.empty()) {
      EXPECT_EQ(r["error"]["data"]["hresult"], c.hresult);
    }
  }
}

TEST_F(JsonRpcTest, NotificationsAreExecutedButNotAnswered) {
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"DisconnectToken","params":[)" + std::to_string(sid) +
                             "]}"),
            "");
  EXPECT_EQ(fake->disconnects, 1);
  EXPECT_EQ(endpoint->Handle(R"({"jsonrpc":"2.0","method":"NoSuchMethod"})"), "");
}

TEST_F(JsonRpcTest, BatchesAnswerEachRequestInOrder) {
  json r = Call("[" + Req("VerifyCertCRL", "[0,0,\"\"]", "1") + "," + Req("Nope", "[]", "2") + ",5]");
  ASSERT_TRUE(r.is_array());
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]["result"], 1);
  EXPECT_EQ(r[1]["error"]["code"], kMethodNotFound);
  EXPECT_EQ(r[2]["error"]["code"], kInvalidRequest);
}

TEST_F(JsonRpcTest, NonUtf8ResultTextIsReplacedNotDropped) {
  fake->serials = "AB\xff\xfe" "CD";
  std::string out = endpoint->Handle(Req("RetrieveAllTokenSerial", "[" + std::to_string(sid) + "]"));
  json r = json::parse(out);
  EXPECT_EQ(r["result"], "AB\xEF\xBF\xBD\xEF\xBF\xBD" "CD");
}

TEST_F(JsonRpcTest, StringParameterEndsAtFirstNul) {
  // A NUL inside the PIN ends it, as it would for a narrow string.
  json r = Call(Req("VerifyCertCRL", R"([0,0,"a\u0000b"])"));
  EXPECT_EQ(r["result"], 1);
}

}  // namespace
}  // namespace kelo
