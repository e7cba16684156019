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
#include "control/kelo_ctrl.h"
#include "host/result_text.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

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

struct WipedString {
  WipedString() = default;
  WipedString(const WipedString&) = delete;
  WipedString& operator=(const WipedString&) = delete;
  ~WipedString() { platform::SecureWipe(s); }
  std::string s;
};

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
  std::optional<std::string> argPin;
  std::string data = "hello from kelo-ca";
  std::string outDir;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kDemoUsage, stdout);
      return 0;
    }
    if ((a == "--pin" || a == "--data" || a == "--out") && i + 1 < argc) {
      (a == "--pin" ? argPin.emplace() : a == "--data" ? data : outDir) = argv[++i];
    } else {
      std::fprintf(stderr, "kelo-ca demo: unexpected argument '%s' (see kelo-ca demo --help)\n",
                   TerminalSafe(a).c_str());
      return 2;
    }
  }
  WipedString pin;
  if (argPin) {
    pin.s = *argPin;
    platform::SecureWipe(*argPin);
  } else if (const char* envPin = std::getenv("KELO_USER_PIN")) {
    pin.s = envPin;
  } else if (::isatty(STDIN_FILENO)) {
    if (!ReadHiddenLine(STDIN_FILENO, STDERR_FILENO, "User PIN: ", pin.s)) {
      std::fprintf(stderr, "kelo-ca demo: no PIN read\n");
      return 2;
    }
  } else {
    pin.s = "1234";  // the demo token's, so that scripts run unattended
  }

  kelo::CKeloCAActiveXCtrl ctl;
  int failures = 0;
  auto step = [&](const char* what, const std::string& result, bool ok) {
    std::printf("%-34s %s%s\n", what, result.c_str(), ok ? "" : "   <-- failed");
    if (!ok) ++failures;
    return ok;
  };

  std::int32_t sid = ctl.ConnectToken();
  if (!step("ConnectToken", std::to_string(sid), sid == ctl.SessionIdentifier())) {
    std::fprintf(stderr,
                 "No token: 1001 means no token module could be loaded (is its directory on\n"
                 "LD_LIBRARY_PATH?), 1003 that no module sees a token.\n");
    return 1;
  }
  std::string serial = ctl.RetrieveSerial(sid);
  step("RetrieveSerial", "\"" + TerminalSafe(serial) + "\"", serial.size() == 16);
  std::string all = ctl.RetrieveAllTokenSerial(sid);
  step("RetrieveAllTokenSerial", "\"" + TerminalSafe(all) + "\"", all != "1002");

  std::int32_t rc = ctl.Login(sid, pin.s);
  if (step("Login", std::to_string(rc), rc == 0)) {
    std::int32_t key = ctl.EnumPrivateKey(sid, 0);
    std::string keyId = ctl.GetAttribute(sid, key, 2);
    step("EnumPrivateKey(0)", std::to_string(key) + "  (CKA_ID " + keyId + ")", !keyId.empty());
    // The certificate and public key that belong to the key share its identifier.
    auto withKeyId = [&](std::int32_t (kelo::CKeloCAActiveXCtrl::*enumerate)(std::int32_t, std::int32_t)) {
      for (std::int32_t i = 0; i < 1000 && !keyId.empty(); ++i) {
        std::int32_t h = (ctl.*enumerate)(sid, i);
        std::string id = ctl.GetAttribute(sid, h, 2);
        if (id.empty()) break;  // past the last object
        if (id == keyId) return h;
      }
      return std::int32_t{0};
    };
    std::int32_t cert = withKeyId(&kelo::CKeloCAActiveXCtrl::EnumCertificate);
    std::int32_t pub = withKeyId(&kelo::CKeloCAActiveXCtrl::EnumPublicKey);
    std::string pem = cert ? ctl.GetAttribute(sid, cert, 1) : std::string();
    step("certificate with that CKA_ID", cert ? std::to_string(cert) : "none", !pem.empty());
    std::string certSerial = cert ? ctl.GetAttribute(sid, cert, 3) : std::string();
    step("GetAttribute(certificate, serial)", TerminalSafe(certSerial), !certSerial.empty());

    std::string dataHex = codec::BytesToHex(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    std::string sig = ctl.Sign(sid, key, 0, dataHex);
    step("Sign(key, SHA-1, data)", sig.empty() ? "\"\"" : sig.substr(0, 32) + "... (" +
                                                              std::to_string(sig.size() / 2) + " bytes)",
         !sig.empty());
    std::int32_t v = ctl.Verify(sid, pub, 0, dataHex, sig);
    step("Verify(public key, SHA-1, data)", std::to_string(v), v == 0);
    std::string sig2 = certSerial.empty() ? std::string() : ctl.SignByCertSerial(sid, certSerial, 0, dataHex);
    step("SignByCertSerial(serial, SHA-1)", sig2 == sig ? "same signature" : "differs", !sig2.empty() && sig2 == sig);
    std::int32_t v2 = ctl.VerifyByCertSerial(sid, certSerial, 0, dataHex, sig);
    step("VerifyByCertSerial", std::to_string(v2), v2 == 0);

    if (!outDir.empty()) {
      bool ok = WriteFile(outDir + "/cert.pem", pem) && WriteFile(outDir + "/data.bin", data) &&
                WriteFile(outDir + "/signature.bin", Unhex(sig));
      step("files written to", TerminalSafe(outDir), ok);
    }
    rc = ctl.Logout(sid);
    step("Logout", std::to_string(rc), rc == 0);
  }
  rc = ctl.DisconnectToken(sid);
  step("DisconnectToken", std::to_string(rc), rc == 0);
  std::printf("%s\n", failures ? "demo FAILED" : "demo OK");
  return failures ? 1 : 0;
}


}  // namespace kelo
