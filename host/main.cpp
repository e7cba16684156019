// kelo-ca: the command line of the control.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "control/kelo_ctrl.h"
#include "host/doctor.h"
#include "host/jsonrpc.h"
#include "host/native_host.h"
#include "host/native_host_args.h"
#include "host/register.h"
#include "host/serve.h"
#include "host/shell.h"
#include "token/token_registry.h"

namespace {

const char kUsage[] =
    "Usage: kelo-ca <command> [options]\n"
    "\n"
    "Drives a PKCS#11 security token through the control's 26 methods.\n"
    "\n"
    "Commands:\n"
    "  serve      answer JSON-RPC 2.0 requests, one per line, on stdin/stdout\n"
    "  native     the same in browser native-messaging framing (a browser\n"
    "             starts it this way by itself through the registered manifest)\n"
    "  demo       run a typical signing request on the first token found\n"
    "  shell      call the methods at a prompt or from a script file\n"
    "  register   write the browsers' native-messaging host manifests\n"
    "  unregister remove them again\n"
    "  doctor     show why a token or certificate might not be found\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help (also: kelo-ca <command> --help)\n"
    "  --version      show the version\n"
    "\n"
    "Token modules are loaded by file name through the dynamic loader's search\n"
    "path (LD_LIBRARY_PATH, the loader cache, system directories), in this order:\n"
    "  Kelo-ZIr4.so, Kelo-CAv5.so, Kelo-CAv6.so\n"
    "The first module that sees a token is used.\n";

const char kServeUsage[] =
    "Usage: kelo-ca serve\n"
    "\n"
    "Creates one control and answers JSON-RPC 2.0 requests until end of input.\n"
    "Each request is one line of JSON on stdin; each response is one line on\n"
    "stdout, written as soon as the request is handled.\n"
    "\n"
    "  {\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ConnectToken\",\"params\":[]}\n"
    "  {\"jsonrpc\":\"2.0\",\"id\":1,\"result\":123456789}\n"
    "\n"
    "method   one of the 26 method names, in any letter case\n"
    "params   an array in declaration order, or an object keyed by parameter\n"
    "         name (e.g. {\"SessionID\":123456789,\"strUserPin\":\"1234\"})\n"
    "result   exactly what the method returns: a number for the integer\n"
    "         methods, a string for the string methods. Result codes such as\n"
    "         1002 are results, not errors.\n"
    "\n"
    "Errors (the call could not be made at all):\n"
    "  -32700 parse error, -32600 invalid request (also lines over 1 MiB),\n"
    "  -32601 unknown method, -32602 bad parameters (wrong count, type\n"
    "  mismatch, out of range); error.data.hresult names the automation status.\n"
    "\n"
    "The host's own method kelo.hello (params {\"origin\":\"https://...\"}, origin\n"
    "optional) answers its name, version and whether a display is available; the\n"
    "origin of the first hello is named in the certificate selection dialog.\n"
    "\n"
    "Integer parameters accept integral numbers and decimal strings; string\n"
    "parameters accept strings and numbers. The control is destroyed and the\n"
    "token modules finalised at end of input.\n";

const char kDemoUsage[] =
    "Usage: kelo-ca demo [--pin PIN] [--data TEXT] [--out DIR]\n"
    "\n"
    "Runs the typical request on the first token found and prints each step:\n"
    "connect, serial numbers, login, find the first private key and its\n"
    "certificate, sign TEXT with SHA-1, verify with the token's public key,\n"
    "log out, disconnect.\n"
    "\n"
    "  --pin PIN    the user PIN (default: $KELO_USER_PIN, else 1234)\n"
    "  --data TEXT  the text to sign (default: \"hello from kelo-ca\")\n"
    "  --out DIR    also write cert.pem, data.bin and signature.bin there, so\n"
    "               that the signature can be checked with other tools\n"
    "\n"
    "Exit status is 0 when every step succeeded.\n";

bool HelpFlag(const char* a) { return std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0; }

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

std::string Unhex(const std::string& hex) {
  std::vector<std::uint8_t> b = codec::HexToBytes(hex);
  return std::string(b.begin(), b.end());
}

int RunDemo(int argc, char** argv) {
  const char* envPin = std::getenv("KELO_USER_PIN");
  std::string pin = envPin ? envPin : "1234";
  std::string data = "hello from kelo-ca";
  std::string outDir;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (HelpFlag(argv[i])) {
      std::fputs(kDemoUsage, stdout);
      return 0;
    }
    if ((a == "--pin" || a == "--data" || a == "--out") && i + 1 < argc) {
      (a == "--pin" ? pin : a == "--data" ? data : outDir) = argv[++i];
    } else {
      std::fprintf(stderr, "kelo-ca demo: unexpected argument '%s' (see kelo-ca demo --help)\n", a.c_str());
      return 2;
    }
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
  step("RetrieveSerial", "\"" + serial + "\"", serial.size() == 16);
  std::string all = ctl.RetrieveAllTokenSerial(sid);
  step("RetrieveAllTokenSerial", "\"" + all + "\"", all != "1002");

  std::int32_t rc = ctl.Login(sid, pin);
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
    step("GetAttribute(certificate, serial)", certSerial, !certSerial.empty());

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
      step("files written to", outDir, ok);
    }
    rc = ctl.Logout(sid);
    step("Logout", std::to_string(rc), rc == 0);
  }
  rc = ctl.DisconnectToken(sid);
  step("DisconnectToken", std::to_string(rc), rc == 0);
  std::printf("%s\n", failures ? "demo FAILED" : "demo OK");
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A peer that goes away mid-write must make the write fail, not kill the
  // process before the control is torn down.
  signal(SIGPIPE, SIG_IGN);
  if (kelo::LooksLikeNativeMessagingLaunch(argc, argv)) return kelo::RunNativeHost(STDIN_FILENO, STDOUT_FILENO);
  if (argc < 2 || HelpFlag(argv[1])) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string cmd = argv[1];
  if (cmd == "--version") {
    std::printf("kelo-ca %s\n", kelo::kHostVersion);
    return 0;
  }
  if (cmd == "serve") {
    for (int i = 2; i < argc; ++i) {
      if (HelpFlag(argv[i])) {
        std::fputs(kServeUsage, stdout);
        return 0;
      }
      std::fprintf(stderr, "kelo-ca serve: unexpected argument '%s' (see kelo-ca serve --help)\n", argv[i]);
      return 2;
    }
    return kelo::RunServe(STDIN_FILENO, STDOUT_FILENO);
  }
  if (cmd == "demo") return RunDemo(argc - 2, argv + 2);
  if (cmd == "native") return kelo::RunNativeHost(STDIN_FILENO, STDOUT_FILENO);
  if (cmd == "doctor") return kelo::RunDoctor(argc - 2, argv + 2);
  if (cmd == "shell") return kelo::RunShell(argc - 2, argv + 2);
  if (cmd == "register" || cmd == "unregister") return kelo::RunRegister(argc - 2, argv + 2, cmd == "unregister");
  std::fprintf(stderr, "kelo-ca: unknown command '%s'\n\n%s", cmd.c_str(), kUsage);
  return 2;
}
