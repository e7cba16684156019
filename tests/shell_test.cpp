// kelo-ca shell: line parsing, result display, and scripts run by the real
// executable over the mock module.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/demo.h"
#include "host/result_text.h"
#include "host/shell_parse.h"
#include "host/shell_text.h"

namespace kelo {
namespace {

std::string Render(const std::vector<Value>& args) {
  std::string s;
  for (const Value& v : args) {
    if (!s.empty()) s += ' ';
    if (v.kind == Value::Kind::Int) s += "i:" + std::to_string(v.i);
    else if (v.kind == Value::Kind::String) s += "s:" + v.s;
    else s += "?";
  }
  return s;
}

struct ParseCase {
  const char* line;
  ShellLine::Kind kind;
  const char* method;  // null: none
  const char* args;    // rendered arguments, or for errors a part of the message
  bool ok = true;
};

TEST(ShellParse, Table) {
  using K = ShellLine::Kind;
  const ParseCase cases[] = {
      {"Login $sid 1234", K::Call, "Login", "i:77 s:1234"},
      {"  login   $sid 0012  ", K::Call, "Login", "i:77 s:0012"},  // a PIN keeps its zeros
      {"Sign $sid $_ 0 \"616263\"", K::Call, "Sign", "i:77 i:5 i:0 s:616263"},
      {"Sign $sid x 0 abc", K::Call, "Sign", "i:77 s:x i:0 s:abc"},  // the control coerces or refuses
      {R"(Hash $sid 0 "a \"b\" c\\d")", K::Call, "Hash", R"(i:77 i:0 s:a "b" c\d)"},
      {R"(Hash $sid 0 "x\ty")", K::Call, "Hash", "i:77 i:0 s:x\ty"},
      {R"(Hash $sid 0 ab"c d"e)", K::Call, "Hash", "i:77 i:0 s:abc de"},
      {"Hash $sid 0 \"\"", K::Call, "Hash", "i:77 i:0 s:"},
      {"Login strUserPin=1234 sessionid=$sid", K::Call, "Login", "i:77 s:1234"},
      {"Login $sid strUserPin=\"a b\"", K::Call, "Login", "i:77 s:a b"},
      {"Sign $sid lngHashType=0 lngKey=$_ strPlainText=00", K::Call, "Sign", "i:77 i:5 i:0 s:00"},
      {"Hash $sid 0 \"x=y\"", K::Call, "Hash", "i:77 i:0 s:x=y"},
      {"Hash $sid 0 a+b==", K::Call, "Hash", "i:77 i:0 s:a+b=="},
      {"Hash $sid \"$sid\" 1", K::Call, "Hash", "i:77 s:$sid s:1"},
      {"EnumCertificate $sid -1", K::Call, "EnumCertificate", "i:77 i:-1"},
      {"EnumCertificate $sid 99999999999999999999", K::Call, "EnumCertificate", "i:77 s:99999999999999999999"},
      {"Logout", K::Call, "Logout", ""},        // the control reports the count
      {"Logout 1 2", K::Call, "Logout", "i:1 i:2"},
      {"", K::Empty, nullptr, ""},
      {" \t ", K::Empty, nullptr, ""},
      {"  # Login $sid 1234", K::Empty, nullptr, ""},
      {"help", K::Help, nullptr, ""},
      {"HELP sign", K::Help, "Sign", ""},
      {"quit", K::Quit, nullptr, ""},
      {"Exit", K::Quit, nullptr, ""},
      {"Logn $sid 1234", K::Empty, nullptr, "unknown method 'Logn'", false},
      {"Login $sid \"1234", K::Empty, nullptr, "unterminated", false},
      {R"(Hash $sid 0 "a\qb")", K::Empty, nullptr, "unknown escape \\q", false},
      {"Hash $sid 0 \"a\\", K::Empty, nullptr, "unknown escape", false},
      {"Login $sid ab=cd", K::Empty, nullptr, "Login has no parameter of that name", false},  // a PIN with '='
      {"Logout $sid lngKey=1", K::Empty, nullptr, "no parameter 'lngKey'", false},
      {"Login $sid SessionID=1 1234", K::Empty, nullptr, "SessionID given twice", false},
      {"Login strUserPin=1 strUserPin=2", K::Empty, nullptr, "strUserPin given twice", false},
      {"Login strUserPin=1", K::Empty, nullptr, "missing parameter SessionID", false},
      {"Logout 1 2 SessionID=3", K::Empty, nullptr, "got more", false},
      {"Login $x 1", K::Empty, nullptr, "unknown variable $x", false},
      {"Login $sid $12x4", K::Empty, nullptr, "unknown variable in strUserPin (", false},
      {"help Foo", K::Empty, nullptr, "unknown method 'Foo'", false},
      {"quit now", K::Empty, nullptr, "takes no arguments", false},
  };
  ShellVars vars;
  vars.haveSid = true;
  vars.sid = 77;
  vars.SetLast(Value::Int(5));
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.line);
    ShellLine out;
    std::string error;
    bool ok = ParseShellLine(c.line, vars, out, error);
    ASSERT_EQ(ok, c.ok) << error;
    if (!ok) {
      EXPECT_NE(error.find(c.args), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(out.kind, c.kind);
    EXPECT_EQ(out.method ? std::string(out.method->name) : std::string(), c.method ? c.method : "");
    EXPECT_EQ(Render(out.args), c.args);
  }
}

TEST(ShellParse, VariablesBeforeTheyAreSet) {
  ShellVars vars;
  for (const char* line : {"Logout $sid", "Logout $_", "Logout SessionID=$sid"}) {
    ShellLine out;
    std::string error;
    EXPECT_FALSE(ParseShellLine(line, vars, out, error)) << line;
    EXPECT_NE(error.find("not set yet"), std::string::npos) << error;
  }
  vars.SetLast(Value::String("AB"));
  ShellLine out;
  std::string error;
  ASSERT_TRUE(ParseShellLine("Hash 1 0 $_", vars, out, error)) << error;
  EXPECT_EQ(Render(out.args), "i:1 i:0 s:AB");
}

TEST(ShellSecrets, MethodsWithPinOrPlaintextAreTheOnesNamed) {
  std::set<std::string> secret;
  for (const MethodInfo& m : kMethods) {
    if (TakesSecret(m)) secret.insert(m.name);
  }
  EXPECT_EQ(secret, (std::set<std::string>{"ChangeSOPin", "ChangeUserPin", "Login", "UnblockUserPin",
                                           "TokenInitialize", "Encrypt", "Hash", "Sign", "SignByCertSerial",
                                           "Verify", "VerifyByCertSerial", "SignByCSP", "VerifyByCSP",
                                           "EncryptByCSP"}));
}

// What is echoed and what the history keeps, also of lines that do not parse.
TEST(ShellSecrets, EchoMasksPinsAndHistoryKeepsNoSecret) {
  const struct {
    const char* line;
    const char* echoed;
    const char* history;
  } cases[] = {
      {"Login $sid 1234", "Login $sid ****", "Login"},
      {"login strUserPin=\"12 34\" SessionID=$sid", "login strUserPin=**** SessionID=$sid", "Login"},
      {"ChangeUserPin $sid old new", "ChangeUserPin $sid **** ****", "ChangeUserPin"},
      {"TokenInitialize $sid so user label", "TokenInitialize $sid **** **** label", "TokenInitialize"},
      {"Login $sid 12 34", "Login $sid **** ****", "Login"},        // a PIN typed with a blank
      {"Login $sid strPin=1234", "Login $sid strPin=****", "Login"},  // a mistyped name
      {"Login $sid \"12\\\" 34", "Login $sid ****", "Login"},      // unterminated
      {"Sign $sid 5 0 \"616263\"", "Sign $sid 5 0 \"616263\"", "Sign"},
      {"Hash $sid 0 00", "Hash $sid 0 00", "Hash"},
      {"Decrypt $sid 5 0 AB", "Decrypt $sid 5 0 AB", "Decrypt $sid 5 0 AB"},
      {"Logout $sid", "Logout $sid", "Logout $sid"},
      {"Logn $sid 1234", "Logn ...", ""},
      {"help Login", "help Login", "help Login"},
      {"quit", "quit", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(MaskedLine(c.line), c.echoed);
    EXPECT_EQ(HistoryEntry(c.line), c.history);
  }
}

// What Tab offers depends on the words before the one being typed.
TEST(ShellComplete, CandidatesFollowTheWordsBefore) {
  const struct {
    const char* before;
    const char* typed;
    std::vector<std::string> words;
    bool valueFollows;
  } cases[] = {
      {"", "Enum", {"EnumCertificate", "EnumPublicKey", "EnumPrivateKey"}, false},
      {"  ", "QU", {"quit"}, false},
      {"help ", "logo", {"Logout"}, false},
      {"help Login ", "", {}, false},  // help takes one name
      {"Login ", "", {"SessionID=", "strUserPin="}, true},
      {"login $sid ", "$", {"$sid", "$_"}, false},
      {"Frob ", "", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.before) + "|" + c.typed);
    const ShellCompletion got = CompleteShellWord(c.before, c.typed);
    EXPECT_EQ(got.words, c.words);
    EXPECT_EQ(got.valueFollows, c.valueFollows);
  }
}

TEST(ResultText, Meanings) {
  EXPECT_STREQ(ResultCodeMeaning(0), "success");
  EXPECT_STREQ(ResultCodeMeaning(1002), "wrong session identifier, or no token connected");
  EXPECT_STREQ(ResultCodeMeaning(4001), "wrong PIN");
  for (std::int32_t code : {1, 1001, 1003, 1011, 1301, 1305, 4006, 4008, 5001}) {
    ASSERT_NE(ResultCodeMeaning(code), nullptr) << code;
    EXPECT_GT(std::string(ResultCodeMeaning(code)).size(), 5u) << code;
  }
  for (std::int32_t code : {-1, 2, 1000, 1012, 1300, 1306, 4000, 4009, 5000, 5002}) {
    EXPECT_EQ(ResultCodeMeaning(code), nullptr) << code;
  }
}

TEST(ResultText, TerminalSafeEscapesControlsAndBytesThatAreNotUtf8) {
  const struct {
    const char* in;
    const char* shown;
  } cases[] = {
      {"plain \\ text", "plain \\ text"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91 \xC2\xA0", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91 \xC2\xA0"},
      {"\x1B[2Jred", "\\x1B[2Jred"},
      {"a\rb\x07\x7F\n\t", "a\\x0Db\\x07\\x7F\\x0A\\x09"},
      {"\xC2\x9B" "31m", "\\xC2\\x9B" "31m"},  // C1 control, as UTF-8
      {"\x9B" "31m", "\\x9B" "31m"},          // and as a lone byte
      {"\xC0\xAF", "\\xC0\\xAF"},            // overlong
      {"\xED\xA0\x80", "\\xED\\xA0\\x80"},    // surrogate
      {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
      {"\xE2\x82", "\\xE2\\x82"},            // cut short
      {"\xFF", "\\xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TerminalSafe(c.in), c.shown);
    EXPECT_EQ(IsPrintableUtf8(c.in), std::string(c.in) == c.shown);
  }
}

TEST(ShellFormat, ValuesAndMeanings) {
  auto ok = [](Value v) {
    CallResult r;
    r.value = std::move(v);
    return r;
  };
  struct Case {
    const char* method;
    CallResult r;
    const char* shown;
  } cases[] = {
      {"Login", ok(Value::Int(0)), "0  (success)"},
      {"Logout", ok(Value::Int(1002)), "1002  (wrong session identifier, or no token connected)"},
      {"Login", ok(Value::Int(4001)), "4001  (wrong PIN)"},
      {"ConnectToken", ok(Value::Int(123456789)), "123456789"},
      {"ConnectToken", ok(Value::Int(1003)), "1003  (no token found)"},
      {"EnumPrivateKey", ok(Value::Int(0)), "0"},  // a handle, not success
      {"EnumPrivateKey", ok(Value::Int(5)), "5"},
      {"EnumPrivateKey", ok(Value::Int(1011)), "1011  (not found: no such object, certificate or key)"},
      {"VerifyCertCRL", ok(Value::Int(1)), "1  (fixed answer of VerifyCertCRL; nothing was checked)"},
      {"Verify", ok(Value::Int(1)), "1"},
      {"Verify", ok(Value::Int(77)), "77"},
      {"Sign", ok(Value::String("A1")), "\"A1\""},
      {"GetAttribute", ok(Value::String("a\"b\\\r\n")), R"("a\"b\\\r\n")"},
      {"RetrieveSerial", ok(Value::String("1003")), "\"1003\"  (no token found)"},
      {"RetrieveSerial", ok(Value::String("0000000000001003")), "\"0000000000001003\""},
      {"RetrieveSerial", ok(Value::String("\x1B]0;x\x07\xFF")), R"("\x1B]0;x\x07\xFF")"},
      {"Hash", ok(Value::String("1002")), "\"1002\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(FormatShellResult(*FindMethod(c.method), c.r), c.shown);
  }
  CallResult bad;
  bad.hr = kDISP_E_TYPEMISMATCH;
  bad.message = "parameter lngKey of Sign: type mismatch, expected long";
  EXPECT_EQ(FormatShellResult(*FindMethod("Sign"), bad), "error: " + bad.message);
}

// Runs `kelo-ca args...` over the mock module, stdin from a file, with
// KELO_USER_PIN as given (unset when null).
struct ShellRun {
  int status = -1;
  std::vector<std::string> lines;  // stdout and stderr together
};

ShellRun RunKeloProcess(const std::vector<std::string>& args, const std::string& stdinFile,
                        const char* userPin = nullptr) {
  int out[2];
  if (pipe(out) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    setenv("LD_LIBRARY_PATH", KELO_MOCK_DIR, 1);
    setenv("MOCKP11_TOKENS_KELO_ZIR4", "SER1", 1);
    if (userPin) setenv("KELO_USER_PIN", userPin, 1);
    else unsetenv("KELO_USER_PIN");
    std::vector<char*> argv{const_cast<char*>(KELO_CA_EXE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KELO_CA_EXE, argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  ShellRun r;
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  std::istringstream is(all);
  for (std::string line; std::getline(is, line);) r.lines.push_back(line);
  return r;
}

ShellRun RunShellProcess(std::vector<std::string> args, const std::string& stdinFile) {
  args.insert(args.begin(), "shell");
  return RunKeloProcess(args, stdinFile);
}

std::string WriteScript(const std::string& name, const std::string& text) {
  std::string path = testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

bool IsNumber(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789-") == std::string::npos;
}

TEST(ShellProcess, TypicalRequestFromScript) {
  std::string script = WriteScript("shell_typical.txt",
                                   "# the typical request\n"
                                   "ConnectToken\n"
                                   "\n"
                                   "Login $sid 1234\r\n"
                                   "EnumPrivateKey $sid 0\n"
                                   "Sign $sid $_ 0 \"616263\"\n"
                                   "Logout $sid\n");
  ShellRun r = RunShellProcess({script}, "");
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.size(), 10u) << ::testing::PrintToString(r.lines);
  EXPECT_EQ(r.lines[0], "> ConnectToken");
  EXPECT_TRUE(IsNumber(r.lines[1])) << r.lines[1];  // the session identifier, no meaning attached
  EXPECT_EQ(r.lines[2], "> Login $sid ****");
  EXPECT_EQ(r.lines[3], "0  (success)");
  EXPECT_EQ(r.lines[4], "> EnumPrivateKey $sid 0");
  ASSERT_TRUE(IsNumber(r.lines[5])) << r.lines[5];
  EXPECT_LT(std::stol(r.lines[5]), 1001);  // a handle, not a failure code
  EXPECT_EQ(r.lines[6], "> Sign $sid $_ 0 \"616263\"");
  // 256-byte signature of the mock key, in hex, quoted.
  ASSERT_EQ(r.lines[7].size(), 2u + 512u) << r.lines[7];
  EXPECT_EQ(r.lines[7].front(), '"');
  EXPECT_EQ(r.lines[7].find_first_not_of("0123456789ABCDEFabcdef", 1), 513u);
  EXPECT_EQ(r.lines[8], "> Logout $sid");
  EXPECT_EQ(r.lines[9], "0  (success)");
}

TEST(ShellProcess, StdinScriptReportsCodesAndStopsAtUnknownMethod) {
  std::string script = WriteScript("shell_stop.txt",
                                   "ConnectToken\n"
                                   "Login SessionID=$sid strUserPin=9999\n"
                                   "Sign $sid 1\n"
                                   "Logout 5\n"
                                   "Bogus 1\n"
                                   "Logout $sid\n");
  ShellRun r = RunShellProcess({}, script);
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.lines.size(), 10u) << ::testing::PrintToString(r.lines);
  EXPECT_EQ(r.lines[2], "> Login SessionID=$sid strUserPin=****");
  EXPECT_EQ(r.lines[3], "4001  (wrong PIN)");
  EXPECT_EQ(r.lines[5], "error: Sign takes 4 parameters, got 2");  // reported, the script goes on
  EXPECT_EQ(r.lines[7], "1002  (wrong session identifier, or no token connected)");
  EXPECT_EQ(r.lines[8], "> Bogus ...");
  EXPECT_EQ(r.lines[9], "kelo-ca shell: stdin:5: unknown method 'Bogus' (help lists them)");
}

TEST(ShellProcess, BadCommandLine) {
  EXPECT_EQ(RunShellProcess({"--bogus"}, "").status, 2);
  EXPECT_EQ(RunShellProcess({"a", "b"}, "").status, 2);
  EXPECT_EQ(RunShellProcess({testing::TempDir() + "no-such-script"}, "").status, 1);
  ShellRun help = RunShellProcess({"--help"}, "");
  EXPECT_EQ(help.status, 0);
  ASSERT_FALSE(help.lines.empty());
  EXPECT_EQ(help.lines[0], "Usage: kelo-ca shell [SCRIPT]");
}

// The PIN comes from --pin, else KELO_USER_PIN, else (no terminal here) the
// demo token's 1234 that scripts rely on.
TEST(DemoProcess, PinFromOptionThenEnvironmentThenDefault) {
  auto loginLine = [](const ShellRun& r) {
    for (const std::string& l : r.lines)
      if (l.rfind("Login", 0) == 0) return l;
    return std::string();
  };
  ShellRun wrongEnv = RunKeloProcess({"demo"}, "", "9999");
  EXPECT_EQ(wrongEnv.status, 1);
  EXPECT_NE(loginLine(wrongEnv).find("4001"), std::string::npos) << ::testing::PrintToString(wrongEnv.lines);
  ShellRun option = RunKeloProcess({"demo", "--pin", "1234"}, "", "9999");
  EXPECT_EQ(option.status, 0) << ::testing::PrintToString(option.lines);
  ShellRun byDefault = RunKeloProcess({"demo"}, "");
  EXPECT_EQ(byDefault.status, 0) << ::testing::PrintToString(byDefault.lines);
  ASSERT_FALSE(byDefault.lines.empty());
  EXPECT_EQ(byDefault.lines.back(), "demo OK");
}

// Reads what the pty shows until `enough` bytes came or it stays quiet for waitMs.
std::string Drain(int master, int waitMs, std::size_t enough = SIZE_MAX) {
  std::string seen;
  char buf[256];
  for (pollfd p{master, POLLIN, 0}; seen.size() < enough && poll(&p, 1, waitMs) > 0;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  return seen;
}

TEST(DemoPin, PromptReadsWithoutEchoAndGivesTheTerminalBack) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);

  std::string pin;
  bool ok = false;
  std::thread reader([&] { ok = ReadHiddenLine(slave, slave, "User PIN: ", pin); });
  std::string shown = Drain(master, 2000, 10);  // the prompt, once echo is off
  EXPECT_EQ(shown, "User PIN: ");
  ASSERT_EQ(write(master, "0042\n", 5), 5);
  reader.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(pin, "0042");
  EXPECT_EQ(Drain(master, 100).find("0042"), std::string::npos);
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u);

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_FALSE(ReadHiddenLine(p[0], p[1], "User PIN: ", pin));  // not a terminal
  for (int fd : {p[0], p[1], slave, master}) close(fd);
}

}  // namespace
}  // namespace kelo
