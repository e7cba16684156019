// kelo-ca shell: line parsing, result display, and scripts run by the real
// executable over the mock module.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/result_text.h"
#include "host/shell.h"

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
      {"Login $sid strPin=1", K::Empty, nullptr, "no parameter 'strPin'", false},
      {"Login $sid SessionID=1 1234", K::Empty, nullptr, "SessionID given twice", false},
      {"Login strUserPin=1 strUserPin=2", K::Empty, nullptr, "strUserPin given twice", false},
      {"Login strUserPin=1", K::Empty, nullptr, "missing parameter SessionID", false},
      {"Logout 1 2 SessionID=3", K::Empty, nullptr, "got more", false},
      {"Login $x 1", K::Empty, nullptr, "unknown variable $x", false},
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

TEST(ShellParse, PinMethodsAreTheOnesNamed) {
  std::set<std::string> pin;
  for (const MethodInfo& m : kMethods) {
    if (TakesPin(m)) pin.insert(m.name);
  }
  EXPECT_EQ(pin, (std::set<std::string>{"ChangeSOPin", "ChangeUserPin", "Login", "UnblockUserPin",
                                        "TokenInitialize"}));
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

// Runs `kelo-ca shell [args]` over the mock module, stdin from a file.
struct ShellRun {
  int status = -1;
  std::vector<std::string> lines;  // stdout and stderr together
};

ShellRun RunShellProcess(const std::vector<std::string>& args, const std::string& stdinFile) {
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
    std::vector<char*> argv{const_cast<char*>(KELO_CA_EXE), const_cast<char*>("shell")};
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
  EXPECT_EQ(r.lines[2], "> Login $sid 1234");
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
  EXPECT_EQ(r.lines[2], "> Login SessionID=$sid strUserPin=9999");
  EXPECT_EQ(r.lines[3], "4001  (wrong PIN)");
  EXPECT_EQ(r.lines[5], "error: Sign takes 4 parameters, got 2");  // reported, the script goes on
  EXPECT_EQ(r.lines[7], "1002  (wrong session identifier, or no token connected)");
  EXPECT_EQ(r.lines[8], "> Bogus 1");
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

}  // namespace
}  // namespace kelo
