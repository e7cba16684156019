#include "host/demo.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "control/kelo_ctrl.h"
#include "host/result_text.h"
#include "platform/secret.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

// Built by appending: GCC 12 at -O2 warns falsely (-Wrestrict) on
// "literal" + std::string.
std::string InQuotes(const std::string& text) {
  std::string quoted = "\"";
  quoted += TerminalSafe(text);
  quoted += '"';
  return quoted;
}

const char kDemoUsage[] =
    "Usage: kelo-ca demo [--pin PIN] [--data TEXT] [--out DIR]\n"
    "\n"
    "Runs the typical request on the first token found and prints each step:\n"
    "connect, serial numbers, login, find the first private key and its\n"
    "certificate, sign TEXT with SHA-1, verify with the token's public key,\n"
    "log out, disconnect.\n"
    "\n"
    "  --pin PIN    the user PIN; other users can read it in the process list.\n"
    "               Without it: $KELO_USER_PIN, else asked for when stdin is a\n"
    "               terminal, else 1234 (the demo token's PIN)\n"
    "  --data TEXT  the text to sign (default: \"hello from kelo-ca\")\n"
    "  --out DIR    also write cert.pem, data.bin and signature.bin there, so\n"
    "               that the signature can be checked with other tools\n"
    "\n"
    "Exit status is 0 when every step succeeded.\n";

constexpr std::size_t kMaxPin = 255;

// What GetAttribute is asked for.
constexpr std::int32_t kValueAttribute = static_cast<std::int32_t>(AttributeSelector::kValue);
constexpr std::int32_t kIdAttribute = static_cast<std::int32_t>(AttributeSelector::kId);
constexpr std::int32_t kSerialAttribute = static_cast<std::int32_t>(AttributeSelector::kSerial);
constexpr std::int32_t kSha1 = static_cast<std::int32_t>(HashType::kSha1);

// What a signal arriving at the PIN prompt needs to give the terminal its
// echo back before the process ends.
int g_terminalFd = -1;
termios g_savedTerminal {};

extern "C" void RestoreTerminalAndDie(int sig) {
  ::tcsetattr(g_terminalFd, TCSANOW, &g_savedTerminal);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

std::string Unhex(const std::string& hex) {
  std::vector<std::uint8_t> b = codec::HexToBytes(hex);
  return std::string(b.begin(), b.end());
}

struct DemoOptions {
  std::optional<platform::SecretString> pin;
  std::string data = "hello from kelo-ca";
  std::string outDir;
};

// An exit status (0 after --help, 2 for a bad argument), or -1 to go on.
int ParseDemoArgs(int argc, char** argv, DemoOptions& opt) {
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kDemoUsage, stdout);
      return 0;
    }
    const bool known = a == "--pin" || a == "--data" || a == "--out";
    if (!known || i + 1 >= argc) {
      std::fprintf(stderr, "kelo-ca demo: unexpected argument '%s' (see kelo-ca demo --help)\n",
                   TerminalSafe(a).c_str());
      return 2;
    }
    const char* value = argv[++i];
    if (a == "--pin") {
      opt.pin.emplace(value);
    } else {
      (a == "--data" ? opt.data : opt.outDir) = value;
    }
  }
  return -1;
}

// --pin, else $KELO_USER_PIN, else asked for at a terminal, else the demo
// token's 1234 so that scripts run unattended. False when the prompt read none.
bool ChoosePin(DemoOptions& opt, platform::SecretString& pin) {
  if (opt.pin) {
    pin = std::move(*opt.pin);
  } else if (const char* envPin = std::getenv("KELO_USER_PIN")) {
    pin.assign(envPin);
  } else if (::isatty(STDIN_FILENO)) {
    // The prompt reserves room for the longest PIN: the string never reallocates.
    return ReadHiddenLine(STDIN_FILENO, STDERR_FILENO, "User PIN: ", pin.mutable_str());
  } else {
    pin.assign("1234");
  }
  return true;
}

// One line per step; failures are counted.
struct DemoSteps {
  int failures = 0;
  bool Step(const char* what, const std::string& result, bool ok) {
    std::printf("%-34s %s%s\n", what, result.c_str(), ok ? "" : "   <-- failed");
    if (!ok) ++failures;
    return ok;
  }
};

// The first private key, and the certificate and public key that belong to
// it (they share its identifier).
struct DemoKeys {
  std::int32_t key = 0, cert = 0, pub = 0;
  std::string pem, certSerial;
};

std::int32_t WithKeyId(CKeloCAActiveXCtrl& ctl, std::int32_t sid, const std::string& keyId,
                       std::int32_t (CKeloCAActiveXCtrl::*enumerate)(std::int32_t, std::int32_t)) {
  for (std::int32_t i = 0; i < 1000 && !keyId.empty(); ++i) {
    const std::int32_t h = (ctl.*enumerate)(sid, i);
    const std::string id = ctl.GetAttribute(sid, h, kIdAttribute);
    if (id.empty()) break;  // past the last object
    if (id == keyId) return h;
  }
  return 0;
}

DemoKeys FindKeys(CKeloCAActiveXCtrl& ctl, std::int32_t sid, DemoSteps& steps) {
  DemoKeys k;
  k.key = ctl.EnumPrivateKey(sid, 0);
  const std::string keyId = ctl.GetAttribute(sid, k.key, kIdAttribute);
  steps.Step("EnumPrivateKey(0)", std::to_string(k.key) + "  (CKA_ID " + keyId + ")", !keyId.empty());
  k.cert = WithKeyId(ctl, sid, keyId, &CKeloCAActiveXCtrl::EnumCertificate);
  k.pub = WithKeyId(ctl, sid, keyId, &CKeloCAActiveXCtrl::EnumPublicKey);
  k.pem = k.cert ? ctl.GetAttribute(sid, k.cert, kValueAttribute) : std::string();
  steps.Step("certificate with that CKA_ID", k.cert ? std::to_string(k.cert) : "none", !k.pem.empty());
  k.certSerial = k.cert ? ctl.GetAttribute(sid, k.cert, kSerialAttribute) : std::string();
  steps.Step("GetAttribute(certificate, serial)", TerminalSafe(k.certSerial), !k.certSerial.empty());
  return k;
}

void SignAndVerify(CKeloCAActiveXCtrl& ctl, std::int32_t sid, const DemoKeys& k, const DemoOptions& opt,
                   DemoSteps& steps) {
  const std::string& data = opt.data;
  const std::string dataHex = codec::BytesToHex(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  const std::string sig = ctl.Sign(sid, k.key, kSha1, dataHex);
  steps.Step("Sign(key, SHA-1, data)",
             sig.empty() ? "\"\"" : sig.substr(0, 32) + "... (" + std::to_string(sig.size() / 2) + " bytes)",
             !sig.empty());
  const std::int32_t v = ctl.Verify(sid, k.pub, kSha1, dataHex, sig);
  steps.Step("Verify(public key, SHA-1, data)", std::to_string(v), v == kOk);
  const std::string sig2 = k.certSerial.empty() ? std::string() : ctl.SignByCertSerial(sid, k.certSerial, kSha1, dataHex);
  steps.Step("SignByCertSerial(serial, SHA-1)", sig2 == sig ? "same signature" : "differs",
             !sig2.empty() && sig2 == sig);
  const std::int32_t v2 = ctl.VerifyByCertSerial(sid, k.certSerial, kSha1, dataHex, sig);
  steps.Step("VerifyByCertSerial", std::to_string(v2), v2 == kOk);
  if (!opt.outDir.empty()) {
    const bool ok = WriteFile(opt.outDir + "/cert.pem", k.pem) && WriteFile(opt.outDir + "/data.bin", data) &&
                    WriteFile(opt.outDir + "/signature.bin", Unhex(sig));
    steps.Step("files written to", TerminalSafe(opt.outDir), ok);
  }
}

}  // namespace

bool ReadHiddenLine(int in, int out, const char* prompt, std::string& line) {
  platform::SecureWipe(line);
  termios saved {};
  if (::tcgetattr(in, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves to the next line
  g_terminalFd = in;
  g_savedTerminal = saved;
  struct sigaction restoring {}, oldInt {}, oldTerm {};
  restoring.sa_handler = RestoreTerminalAndDie;
  sigemptyset(&restoring.sa_mask);
  ::sigaction(SIGINT, &restoring, &oldInt);
  ::sigaction(SIGTERM, &restoring, &oldTerm);
  bool ok = ::tcsetattr(in, TCSAFLUSH, &quiet) == 0;
  if (ok) {
    std::size_t left = std::strlen(prompt);
    for (const char* p = prompt; left > 0;) {
      ssize_t n = ::write(out, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    line.reserve(kMaxPin);
    ok = false;
    for (char c; line.size() < kMaxPin;) {
      ssize_t n = ::read(in, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (c == '\n') {
        ok = true;
        break;
      }
      line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ::tcsetattr(in, TCSANOW, &saved);
  }
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  if (!ok) platform::SecureWipe(line);
  return ok;
}

int RunDemo(int argc, char** argv) {
  DemoOptions opt;
  if (int status = ParseDemoArgs(argc, argv, opt); status >= 0) return status;
  platform::SecretString pin;
  if (!ChoosePin(opt, pin)) {
    std::fprintf(stderr, "kelo-ca demo: no PIN read\n");
    return 2;
  }
  CKeloCAActiveXCtrl ctl;
  DemoSteps steps;
  const std::int32_t sid = ctl.ConnectToken();
  if (!steps.Step("ConnectToken", std::to_string(sid), sid == ctl.SessionIdentifier())) {
    std::fprintf(stderr,
                 "No token: 1001 means no token module could be loaded (is its directory on\n"
                 "LD_LIBRARY_PATH?), 1003 that no module sees a token.\n");
    return 1;
  }
  const std::string serial = ctl.RetrieveSerial(sid);
  steps.Step("RetrieveSerial", InQuotes(serial), serial.size() == 16);
  const std::string all = ctl.RetrieveAllTokenSerial(sid);
  steps.Step("RetrieveAllTokenSerial", InQuotes(all), all != std::to_string(kErrSession));
  std::int32_t rc = ctl.Login(sid, pin);
  if (steps.Step("Login", std::to_string(rc), rc == kOk)) {
    SignAndVerify(ctl, sid, FindKeys(ctl, sid, steps), opt, steps);
    rc = ctl.Logout(sid);
    steps.Step("Logout", std::to_string(rc), rc == kOk);
  }
  rc = ctl.DisconnectToken(sid);
  steps.Step("DisconnectToken", std::to_string(rc), rc == kOk);
  std::printf("%s\n", steps.failures ? "demo FAILED" : "demo OK");
  return steps.failures ? 1 : 0;
}

}  // namespace kelo
