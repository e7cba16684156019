// `kelo-ca serve` and `kelo-ca native` as child processes over the mock module.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "tests/serve_client.h"

namespace kelo::test {
namespace {

using json = nlohmann::json;

std::map<std::string, std::string> MockEnv(const std::string& type1Tokens) {
  return {{KELO_MODULE_PATH_VAR, KELO_MOCK_DIR},
          {"MOCKP11_TOKENS", ""},
          {"MOCKP11_TOKENS_KELO_CAV5", type1Tokens}};
}

TEST(Serve, TokenSessionOverTheWire) {
  ServeClient serve(MockEnv("SERIAL-ONE,SERIAL-TWO"));
  json sid = serve.Result("ConnectToken");
  ASSERT_TRUE(sid.is_number_integer());
  for (int code : {1001, 1002, 1003}) ASSERT_NE(sid, code) << "a result code instead of the session identifier";
  EXPECT_EQ(serve.Result("RetrieveSerial", {sid}), "SERIAL-ONE      ");
  EXPECT_EQ(serve.Result("RetrieveAllTokenSerial", {sid}), "SERIAL-ONE      ,SERIAL-TWO      ");
  EXPECT_EQ(serve.Result("Login", {sid, "1234"}), 0);
  EXPECT_EQ(serve.Result("Login", json{{"strUserPin", "1234"}, {"sessionid", sid}}), 0);

  json wrong = sid.get<long long>() + 1;
  EXPECT_EQ(serve.Result("Logout", {wrong}), 1002);
  EXPECT_EQ(serve.Result("RetrieveSerial", {wrong}), "1002");
  EXPECT_EQ(serve.Result("Encrypt", {wrong, 1, 0, "00"}), "");

  EXPECT_EQ(serve.Result("DisconnectToken", {sid}), 0);
  EXPECT_EQ(serve.Result("ConnectToken"), sid);  // same identifier on reconnect
  EXPECT_EQ(serve.Finish(), 0);
}

TEST(Serve, KeepsAnsweringAfterBadRequests) {
  ServeClient serve(MockEnv("S1"));
  struct Case {
    std::string line;
    int code;
  } cases[] = {
      {"{this is not json", -32700},
      {R"({"jsonrpc":"2.0","id":1,"method":"NoSuchMethod","params":[]})", -32601},
      {R"({"jsonrpc":"2.0","id":2,"method":"Login","params":[1]})", -32602},
      {R"({"jsonrpc":"2.0","id":3,"method":"Login","params":["x","1234"]})", -32602},
      {R"({"jsonrpc":"2.0","id":4,"method":"EnumCertificate","params":[1,99999999999]})", -32602},
      {R"(["not a request"])", -32600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    json r = serve.Request(c.line);
    json e = r.is_array() ? r[0] : r;
    EXPECT_EQ(e["error"]["code"], c.code);
    EXPECT_EQ(serve.Result("VerifyCertCRL", {0, 0, ""}), 1);
  }
  // An oversized line is refused as a whole; the next one is answered.
  std::string huge = R"({"jsonrpc":"2.0","id":5,"method":"Login","params":[1,")" + std::string(2 * 1024 * 1024, 'x') +
                     "\"]}\n";
  serve.Send(huge);
  json refused = json::parse(serve.ReadLine());
  EXPECT_EQ(refused["error"]["code"], -32600);
  EXPECT_TRUE(refused["id"].is_null());
  EXPECT_EQ(serve.Result("VerifyCertCRL", {0, 0, ""}), 1);

  // Blank lines are ignored, CR LF line ends accepted, and a last request
  // without a line end is still answered at end of input.
  serve.Send("\n   \n");
  serve.Send(R"({"jsonrpc":"2.0","id":"crlf","method":"VerifyCertCRL","params":[0,0,""]})" "\r\n");
  EXPECT_EQ(json::parse(serve.ReadLine())["id"], "crlf");
  serve.Send(R"({"jsonrpc":"2.0","id":"last","method":"VerifyCertCRL","params":[0,0,""]})");
  EXPECT_EQ(serve.Finish(), 0);
  json last = json::parse(serve.ReadRest());
  EXPECT_EQ(last["id"], "last");
  EXPECT_EQ(last["result"], 1);
}

TEST(Serve, PipelinedRequestsAreAnsweredInOrder) {
  ServeClient serve(MockEnv(""));
  std::string batch;
  for (int i = 0; i < 1000; ++i) {
    batch += R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"VerifyCertCRL","params":[0,0,"x"]})" "\n";
  }
  serve.Send(batch);
  for (int i = 0; i < 1000; ++i) {
    json r = json::parse(serve.ReadLine());
    ASSERT_EQ(r["id"], i);
    ASSERT_EQ(r["result"], 1);
  }
  EXPECT_EQ(serve.Result("ConnectToken"), 1003);  // modules loaded, no token
  EXPECT_EQ(serve.Finish(), 0);
}

// A token module that prints to stdout must not corrupt either framing.
constexpr char kModuleChatter[] = "chatter from the module";

TEST(Serve, ModuleOutputStaysOutOfTheAnswers) {
  auto env = MockEnv("S1");
  env["MOCKP11_STDOUT"] = kModuleChatter;
  ServeClient serve(env);
  json sid = serve.Result("ConnectToken");  // C_Initialize and C_GetSlotList have printed
  EXPECT_EQ(serve.Result("RetrieveSerial", {sid}), "S1              ");
  EXPECT_EQ(serve.Finish(), 0);
  EXPECT_EQ(serve.ReadRest(), "");
}

// `kelo-ca native` over the whole input; returns the frame bodies it wrote.
// args: how it is started ({"native"}, or as a browser starts it).
std::vector<std::string> RunNative(const std::map<std::string, std::string>& env,
                                   const std::vector<std::string>& bodies,
                                   const std::vector<std::string>& args = {"native"}) {
  std::string input;
  for (const std::string& b : bodies) {
    auto len = static_cast<std::uint32_t>(b.size());
    input.append(reinterpret_cast<const char*>(&len), sizeof len).append(b);
  }
  const ChildResult run = RunChild(KELO_CA_EXE, args, Environment::Inherited().Set(env), input);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  const std::string& out = run.out;
  std::vector<std::string> frames;
  for (std::size_t pos = 0; pos + 4 <= out.size();) {
    std::uint32_t len = 0;
    std::memcpy(&len, out.data() + pos, sizeof len);
    frames.push_back(out.substr(pos + 4, len));
    pos += 4 + len;
  }
  return frames;
}

TEST(Native, ModuleOutputStaysOutOfTheFramesAndCertificateFilesAreRefused) {
  // A readable file that is no certificate: 1302 where files are read.
  const std::string file = ::testing::TempDir() + "kelo-native-cert.pem";
  std::ofstream(file) << "not a certificate\n";
  const json verify = {0, 4, file, 0, "00", "00"};
  ServeClient serve(MockEnv(""));
  EXPECT_EQ(serve.Result("VerifyByCSP", verify), 1302);
  EXPECT_EQ(serve.Finish(), 0);

  auto env = MockEnv("S1");
  env["MOCKP11_STDOUT"] = kModuleChatter;
  std::vector<std::string> frames = RunNative(
      env, {json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "ConnectToken"}}.dump(),
            json{{"jsonrpc", "2.0"}, {"id", 2}, {"method", "VerifyByCSP"}, {"params", verify}}.dump()});
  ASSERT_EQ(frames.size(), 2u);
  json connected = json::parse(frames[0]);
  EXPECT_TRUE(connected["result"].is_number_integer()) << frames[0];
  EXPECT_EQ(json::parse(frames[1])["result"], 1304);
  std::remove(file.c_str());
}

// Requests and answers take 256 consecutive lengths, so some frames carry 0x0A and 0x1A in their
// length prefixes both ways: a stream in text mode would turn the one into
// CR LF and end at the other. Each way a browser starts the host must work.
TEST(Native, FramesAreBinaryWhicheverWayTheBrowserStartsTheHost) {
  std::vector<std::string> bodies;
  for (std::size_t n = 0; n < 256; ++n) {
    bodies.push_back(json{{"jsonrpc", "2.0"}, {"id", std::string(n, 'x')}, {"method", "NoSuchMethod"}}.dump());
  }
  const std::vector<std::vector<std::string>> launches = {
      {"native"},
      {"chrome-extension://imjclnoneaboeejdmjicbdgalmghpopl/", "--parent-window=0"},
      {"C:\\Program Files\\Kelo CA\\org.kelo.ca_token.firefox.json", "kelo-ca@kelo.example"},
  };
  for (const auto& args : launches) {
    SCOPED_TRACE(args[0]);
    const std::vector<std::string> frames = RunNative(MockEnv(""), bodies, args);
    ASSERT_EQ(frames.size(), bodies.size());
    for (std::size_t n = 0; n < frames.size(); ++n) {
      const json r = json::parse(frames[n], nullptr, false);
      ASSERT_FALSE(r.is_discarded()) << "frame " << n;
      EXPECT_EQ(r["id"], std::string(n, 'x'));
      EXPECT_EQ(r["error"]["code"], -32601);
    }
  }
}

TEST(Serve, NoModuleAnywhereAnswers1001) {
  ServeClient serve(std::map<std::string, std::string>{{KELO_MODULE_PATH_VAR, "/nonexistent-kelo-dir"}});
  EXPECT_EQ(serve.Result("ConnectToken"), 1001);
  EXPECT_EQ(serve.Finish(), 0);
}

}  // namespace
}  // namespace kelo::test
