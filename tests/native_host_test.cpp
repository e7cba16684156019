// The native-messaging host over real pipes: framing, limits, bad input and
// end of input.
#include "host/native_host.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "csp/dialog_requester.h"
#include "host/native_host_args.h"
#include "tests/support/child_process.h"
#include "tests/fake_registry.h"

namespace kelo {
namespace {

using json = nlohmann::json;

std::string Length(std::uint32_t n) {
  std::string s(sizeof n, '\0');
  std::memcpy(s.data(), &n, sizeof n);
  return s;
}

std::string Msg(const std::string& body) { return Length(static_cast<std::uint32_t>(body.size())) + body; }

std::string Req(const std::string& id, const std::string& method = "VerifyCertCRL",
                const std::string& params = "[0,0,\"\"]") {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" + params + "}";
}

// Splits host output into frame bodies; fails on a partial frame.
std::vector<std::string> Frames(const std::string& out) {
  std::vector<std::string> frames;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::uint32_t len = 0;
    EXPECT_GE(out.size() - pos, sizeof len) << "partial length";
    if (out.size() - pos < sizeof len) break;
    std::memcpy(&len, out.data() + pos, sizeof len);
    pos += sizeof len;
    EXPECT_GE(out.size() - pos, len) << "partial body";
    if (out.size() - pos < len) break;
    frames.push_back(out.substr(pos, len));
    pos += len;
  }
  return frames;
}

struct HostRun {
  int rc = -1;
  std::string out;
};

class NativeHostTest : public ::testing::Test {
 protected:

  // Feeds input through a pipe (left open afterwards unless closeInput) and
  // collects everything the host writes until it returns.
  HostRun Run(const std::string& input, bool closeInput = true, std::size_t maxRequest = kMaxNativeRequest) {
    int inPipe[2], outPipe[2];
    EXPECT_TRUE(test::MakePipe(inPipe));
    EXPECT_TRUE(test::MakePipe(outPipe));
    auto host = std::async(std::launch::async, [&] {
      int rc = RunNativeHost(endpoint, inPipe[0], outPipe[1], maxRequest);
      ::close(outPipe[1]);
      return rc;
    });
    std::thread writer([&] {
      std::size_t off = 0;
      while (off < input.size()) {
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(input.size() - off, 1 << 16));
        const auto w = ::write(inPipe[1], input.data() + off, chunk);
        if (w <= 0) break;  // host gone
        off += static_cast<std::size_t>(w);
      }
      if (closeInput) ::close(inPipe[1]);
    });
    auto reader = std::async(std::launch::async, [&] {
      std::string out;
      char buf[65536];
      for (;;) {
        const auto r = ::read(outPipe[0], buf, static_cast<unsigned>(sizeof buf));
        if (r <= 0) break;
        out.append(buf, static_cast<std::size_t>(r));
      }
      return out;
    });
    const bool hung = reader.wait_for(std::chrono::seconds(10)) == std::future_status::timeout;
    EXPECT_FALSE(hung) << "host did not finish";
    // Ends the input left open (this also unblocks a hung host).
    if (!closeInput) ::close(inPipe[1]);
    writer.join();
    HostRun run;
    run.rc = host.get();
    run.out = reader.get();
    ::close(inPipe[0]);
    ::close(outPipe[0]);
    return run;
  }

  std::unique_ptr<FakeRegistry> reg = std::make_unique<FakeRegistry>();
  FakeRegistry* fake = reg.get();
  CKeloCAActiveXCtrl ctl{std::move(reg)};
  JsonRpcEndpoint endpoint{ctl};
};

TEST_F(NativeHostTest, AnswersWithANativeLengthPrefix) {
  HostRun run = Run(Msg(Req("1")));
  EXPECT_EQ(run.rc, 0);
  ASSERT_GE(run.out.size(), 4u);
  std::string body = run.out.substr(4);
  EXPECT_EQ(run.out.substr(0, 4), Length(static_cast<std::uint32_t>(body.size())));
  json r = json::parse(body);
  EXPECT_EQ(r["id"], 1);
  EXPECT_EQ(r["result"], 1);
}

TEST_F(NativeHostTest, FramesAreAnsweredInOrderAndNotificationsSilently) {
  const std::string notification = R"({"jsonrpc":"2.0","method":"VerifyCertCRL","params":[0,0,""]})";
  HostRun run = Run(Msg(Req("1")) + Msg(notification) + Msg(Req("\"two\"", "connecttoken", "[]")) +
                    Msg(notification));
  EXPECT_EQ(run.rc, 0);
  std::vector<std::string> frames = Frames(run.out);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(json::parse(frames[0])["id"], 1);
  EXPECT_EQ(json::parse(frames[1])["id"], "two");
  EXPECT_EQ(json::parse(frames[1])["result"], ctl.SessionIdentifier());

  run = Run(Msg(notification));
  EXPECT_EQ(run.rc, 0);
  EXPECT_EQ(run.out, "");
}

TEST_F(NativeHostTest, BadFramesGetErrorAnswersAndTheHostGoesOn) {
  struct Case {
    const char* name;
    std::string body;
    int code;
  } cases[] = {
      {"empty frame", "", kParseError},
      {"invalid UTF-8 in a string", Req("1", "VerifyCertCRL", "[0,0,\"\xff\xfe\"]"), kParseError},
      {"overlong UTF-8", Req("1", "VerifyCertCRL", "[0,0,\"\xc0\xaf\"]"), kParseError},
      {"not JSON", "{\"jsonrpc\":", kParseError},
      {"a number", "42", kInvalidRequest},
      {"a string", "\"VerifyCertCRL\"", kInvalidRequest},
      {"empty batch", "[]", kInvalidRequest},
      {"wrong types", R"({"jsonrpc":"2.0","id":1,"method":"VerifyCertCRL","params":[[0],0,""]})", kInvalidParams},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A good request after the bad one shows the stream stays in step.
    HostRun run = Run(Msg(c.body) + Msg(Req("9")));
    EXPECT_EQ(run.rc, 0);
    std::vector<std::string> frames = Frames(run.out);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(json::parse(frames[0])["error"]["code"], c.code);
    EXPECT_EQ(json::parse(frames[1])["result"], 1);
  }
}

TEST_F(NativeHostTest, CutInputEndsTheHostWithoutAnAnswer) {
  struct Case {
    const char* name;
    std::string input;
    std::size_t answers;
  } cases[] = {
      {"nothing", "", 0},
      {"half a length", std::string("\x10\x00", 2), 0},
      {"part of a body", Length(100) + "{\"jsonrpc\"", 0},
      {"length only", Length(20), 0},
      {"after a whole frame", Msg(Req("1")) + Length(50) + "{", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostRun run = Run(c.input);
    EXPECT_EQ(run.rc, 0);
    EXPECT_EQ(Frames(run.out).size(), c.answers);
  }
}

TEST_F(NativeHostTest, RequestsPastTheLimitAreRefusedFromTheirLength) {
  const std::size_t limit = 100;
  std::string fits = Req("1");
  ASSERT_LT(fits.size(), limit);
  fits.resize(limit, ' ');  // trailing blanks are valid JSON
  HostRun run = Run(Msg(fits), true, limit);
  ASSERT_EQ(Frames(run.out).size(), 1u);
  EXPECT_EQ(json::parse(Frames(run.out)[0])["result"], 1);

  std::string over = fits + " ";
  // The refusal ends the host: the request after it is not read.
  run = Run(Msg(over) + Msg(Req("2")), true, limit);
  EXPECT_EQ(run.rc, 0);
  std::vector<std::string> frames = Frames(run.out);
  ASSERT_EQ(frames.size(), 1u);
  json e = json::parse(frames[0]);
  EXPECT_EQ(e["error"]["code"], kInvalidRequest);
  EXPECT_TRUE(e["id"].is_null());
  EXPECT_NE(e["error"]["message"].get<std::string>().find("100"), std::string::npos);
}

TEST_F(NativeHostTest, HugeLengthsAreAnsweredWithoutWaitingForTheBody) {
  for (std::uint32_t len : {0x7FFFFFFFu, 0xFFFFFFFFu, static_cast<std::uint32_t>(kMaxNativeRequest + 1)}) {
    SCOPED_TRACE(len);
    // The input stays open: a host that tried to read the body would hang.
    HostRun run = Run(Length(len) + "{", false);
    EXPECT_EQ(run.rc, 0);
    std::vector<std::string> frames = Frames(run.out);
    ASSERT_EQ(frames.size(), 1u);
    json e = json::parse(frames[0]);
    EXPECT_EQ(e["error"]["code"], kInvalidRequest);
    EXPECT_NE(e["error"]["message"].get<std::string>().find(std::to_string(kMaxNativeRequest)), std::string::npos);
  }
}

class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string s) : s_(std::move(s)) {}
  std::ptrdiff_t Read(void* buf, std::size_t n) override {
    n = std::min(n, s_.size() - pos_);
    std::memcpy(buf, s_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string s_;
  std::size_t pos_ = 0;
};

class StringSink final : public ByteSink {
 public:
  bool Write(const void* data, std::size_t n) override {
    out.append(static_cast<const char*>(data), n);
    return true;
  }
  std::string out;
};

TEST_F(NativeHostTest, HelloNamesTheOriginOnceAndTheControlAnswersAfterIt) {
  std::vector<std::string> told;
  JsonRpcEndpoint greeted(ctl, [&](const std::string& o) { told.push_back(o); });
  const std::string hello = R"({"jsonrpc":"2.0","id":0,"method":"kelo.hello","params":{"origin":"https://a.example"}})";
  const std::string again = R"({"jsonrpc":"2.0","id":1,"method":"kelo.hello","params":{"origin":"https://b.example"}})";
  StringSource in(Msg(hello) + Msg(again) + Msg(Req("2", "ConnectToken", "[]")));
  StringSink out;
  EXPECT_EQ(RunNativeHost(greeted, in, out), 0);
  std::vector<std::string> frames = Frames(out.out);
  ASSERT_EQ(frames.size(), 3u);
  json r = json::parse(frames[0]);
  EXPECT_EQ(r["id"], 0);
  EXPECT_EQ(r["result"]["name"], "kelo-ca");
  EXPECT_EQ(json::parse(frames[1])["error"]["code"], kInvalidRequest);
  EXPECT_EQ(json::parse(frames[2])["result"], ctl.SessionIdentifier());
  EXPECT_EQ(told, std::vector<std::string>{"https://a.example"});
  EXPECT_EQ(greeted.origin(), "https://a.example");
}

TEST_F(NativeHostTest, OversizedResponsesBecomeErrorsWithTheRequestId) {
  // Real methods cannot produce 1 MiB, so the host runs with a small limit.
  const std::size_t limit = 1000;
  fake->serials = std::string(limit, 'S');
  std::string sid = std::to_string(ctl.SessionIdentifier());
  StringSource in(Msg(Req("\"keep\"")) + Msg(Req("\"big\"", "RetrieveAllTokenSerial", "[" + sid + "]")));
  StringSink out;
  EXPECT_EQ(RunNativeHost(endpoint, in, out, kMaxNativeRequest, limit), 0);
  std::vector<std::string> frames = Frames(out.out);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(json::parse(frames[0])["result"], 1);
  json e = json::parse(frames[1]);
  EXPECT_LE(frames[1].size(), limit);
  EXPECT_EQ(e["id"], "big");
  EXPECT_EQ(e["error"]["code"], kInternalError);
  EXPECT_EQ(fake->serialCalls, 1);
}

TEST(LimitResponse, KeepsTheIdWhenItFitsAndNeverExceedsTheLimit) {
  const std::size_t limit = 200;
  struct Case {
    const char* name;
    std::string response;
    json id;
    bool replaced;
  } cases[] = {
      {"at the limit", "", 5, false},
      {"integer id", "", 5, true},
      {"string id", "", "abc", true},
      {"id too long to echo", "", std::string(300, 'x'), true},
      {"batch", "", nullptr, true},
  };
  cases[0].response = R"({"jsonrpc":"2.0","id":5,"result":")";
  cases[0].response += std::string(limit - cases[0].response.size() - 2, 'a') + "\"}";
  for (int i = 1; i < 4; ++i) {
    json r = {{"jsonrpc", "2.0"}, {"id", cases[i].id}, {"result", std::string(limit, 'r')}};
    cases[i].response = r.dump();
  }
  cases[3].id = nullptr;
  cases[4].response = "[" + json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", std::string(limit, 'r')}}.dump() + "]";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = LimitResponse(c.response, limit);
    EXPECT_LE(out.size(), limit);
    if (!c.replaced) {
      EXPECT_EQ(out, c.response);
      continue;
    }
    json e = json::parse(out);
    EXPECT_EQ(e["error"]["code"], kInternalError);
    EXPECT_EQ(e["id"], c.id);
  }
}

TEST(NativeMessagingLaunch, RecognisesTheBrowsersArguments) {
  struct Case {
    std::vector<std::string> args;
    bool expected;
  } cases[] = {
      {{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, true},
      {{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/", "--parent-window=6553"}, true},
      {{"/usr/lib/mozilla/native-messaging-hosts/org.example.host.json", "host@example.org"}, true},
      {{"C:\\Program Files\\Kelo\\host.json", "{1c0a8b7e-0d3b-4f55-9b5e-1d2a3c4b5e6f}"}, true},
      {{"c:/Users/a/AppData/Local/Kelo CA/org.kelo.ca_token.firefox.JSON", "kelo-ca@kelo.example"}, true},
      {{"\\\\server\\share\\host.json", "host@example.org"}, true},
      {{"C:host.json", "host@example.org"}, false},  // relative to the drive's current directory
      {{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/", "--parent-window=0", "--other"}, false},
      {{}, false},
      {{"serve"}, false},
      {{"native"}, false},
      {{"--help"}, false},
      {{"chrome-extension://"}, false},
      {{"chrome-extension://abc/", "serve"}, false},
      {{"host.json", "host@example.org"}, false},                      // not an absolute path
      {{"/etc/host.json"}, false},                                     // no extension id
      {{"/etc/host.json", "--system"}, false},
      {{"/etc/host.json", "host@example.org", "extra"}, false},
      {{"/etc/hosts", "host@example.org"}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> storage = c.args;
    storage.insert(storage.begin(), "kelo-ca");
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    EXPECT_EQ(LooksLikeNativeMessagingLaunch(static_cast<int>(storage.size()), argv.data()), c.expected)
        << (c.args.empty() ? "(none)" : c.args[0]);
  }
}

}  // namespace
}  // namespace kelo

// Every page's hello names its origin; that alone must not start GTK, which
// costs tens of milliseconds per host and is needed only for a dialog.
TEST(DialogRequester, NamingTheRequesterLoadsNoDialogModule) {
  kelo::csp::SetDialogRequester("https://a.example");
  std::ifstream maps("/proc/self/maps");
  std::string all((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.find("kelo-gtk-dialogs"), std::string::npos);
}
