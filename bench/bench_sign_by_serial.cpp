// Cost of SignByCertSerial through the control against the number of
// certificates and keys on the token. The lookup searches the certificates
// narrowed by the serial, then the private keys narrowed by that
// certificate's CKA_ID (each hit checked, a plain walk behind it); a plain
// Sign with a known key handle shows what is left once the lookups are taken
// away, and each lookup is also timed on its own. The same lookup done
// directly on the module (template search for the serial, read CKA_ID,
// template search for the key, C_SignInit + C_Sign) is the reference:
// SignByCertSerial should take at most 1.2 times as long.
// Measured for the first and the last certificate the module delivers: the
// last one would pay a plain walk in full.
//
// One token per run (make-token.sh --bench-certs N); run.sh runs it per size.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/p11_direct.h"
#include "codec/codec.h"
#include "control/kelo_ctrl.h"

namespace kelo::bench {
namespace {

constexpr char kName[] = "bench_sign_by_serial";
constexpr char kUsage[] =
    "Usage: bench_sign_by_serial [--slice S] [--rounds R] [--module PATH]\n"
    "\n"
    "SignByCertSerial calls per second on a SoftHSM2 token made by\n"
    "make-token.sh --bench-certs N, for the first and the last certificate the\n"
    "module delivers, next to a plain Sign and the same lookup done directly on\n"
    "the module. Load DIR/token.env first:\n"
    "  set -a; . DIR/token.env; set +a; bench_sign_by_serial\n"
    "  --slice S        seconds per turn of one call kind (default 1)\n"
    "  --rounds R       turns of each call kind (default 2)\n"
    "  --module PATH    the shim module (default: softhsm/Kelo-ZIr4.so next to this program)\n"
    "Exit status 1 when a signature is missing, differs or does not verify.\n";

constexpr std::int32_t kSha1 = 0;
constexpr CK_ULONG kSerialTag = 0x02;  // DER INTEGER
constexpr Target kDirectTarget{1.2, false, "x direct"};

std::string RequireEnv(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') throw Failure(std::string(name) + " is not set: load the token's token.env first");
  return v;
}

long EnvCount(const char* name) {
  const std::string text = RequireEnv(name);
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < 0) throw Failure(std::string(name) + " is not a count: " + text);
  return v;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) { return codec::BytesToHex(bytes.data(), bytes.size()); }

// What the control takes as a certificate serial: the INTEGER's content,
// without its tag and (short) length.
std::string SerialContentHex(const std::vector<std::uint8_t>& der) {
  if (der.size() < 3 || der[0] != kSerialTag || der[1] != der.size() - 2)
    throw Failure("certificate serial is not a short DER INTEGER: " + Hex(der));
  return codec::BytesToHex(der.data() + 2, der.size() - 2);
}

struct CertTarget {
  const char* which;  // "first" / "last"
  std::size_t certPosition = 0;  // 1-based, in delivery order
  std::string serialHex;
  std::string idHex;
  std::size_t keyPosition = 0;  // 1-based position of its private key in the key walk
};


int Run(int argc, char** argv) {
  const Options opt(argc, argv, {"--slice", "--rounds", "--module"});
  if (!opt.Positional().empty()) throw UsageError("unexpected argument '" + opt.Positional() + "'");
  const std::string here = ExeDir();
  const std::string module = RequireFile(opt.Get("--module").value_or(here + "/softhsm/Kelo-ZIr4.so"), "shim module");
  const double slice = opt.Number("--slice", 1.0, 0.01, 600);
  const long rounds = opt.Integer("--rounds", 2, 1, 1000);
  const std::string pin = RequireEnv("KELO_USER_PIN");
  const std::string tokenSerial = RequireEnv("KELO_TOKEN_SERIAL");
  RequireEnv("SOFTHSM2_CONF");
  const long benchCerts = EnvCount("KELO_BENCH_CERTS");
  const long keyCount = EnvCount("KELO_KEY_COUNT");
  if (benchCerts == 0) throw Failure("the token has no benchmark certificates (make-token.sh --bench-certs N)");
  EnsureLibraryPath(DirName(module), argv);

  // ---- the control (first: the module's initialisation belongs to it)
  CKeloCAActiveXCtrl control;
  const std::int32_t sid = control.ConnectToken();
  if (sid != control.SessionIdentifier()) throw Failure(Format("ConnectToken answered %d", sid));
  if (const std::int32_t rc = control.Login(sid, pin); rc != 0) throw Failure(Format("Login answered %d", rc));

  // ---- the delivery order, read on a session of our own
  P11Module direct(module);
  P11Session session(direct, direct.SlotBySerial(tokenSerial));
  session.Login(pin);
  const std::vector<CK_OBJECT_HANDLE> certs = session.FindAll(CKO_CERTIFICATE);
  const std::vector<CK_OBJECT_HANDLE> keys = session.FindAll(CKO_PRIVATE_KEY);
  const auto expected = static_cast<std::size_t>(benchCerts + keyCount);
  if (certs.size() != expected || keys.size() != expected)
    throw Failure(Format("the token holds %zu certificates and %zu private keys, expected %zu of each", certs.size(),
                         keys.size(), expected));
  std::vector<std::string> keyIds;
  for (CK_OBJECT_HANDLE k : keys) keyIds.push_back(Hex(session.Attribute(k, CKA_ID)));

  std::array<CertTarget, 2> targets = {{{"first", 1, {}, {}, 0}, {"last", certs.size(), {}, {}, 0}}};
  for (CertTarget& t : targets) {
    const CK_OBJECT_HANDLE cert = certs[t.certPosition - 1];
    t.serialHex = SerialContentHex(session.Attribute(cert, CKA_SERIAL_NUMBER));
    t.idHex = Hex(session.Attribute(cert, CKA_ID));
    for (std::size_t i = 0; i < keyIds.size() && t.keyPosition == 0; ++i) {
      if (keyIds[i] == t.idHex) t.keyPosition = i + 1;
    }
    if (t.keyPosition == 0) throw Failure("no private key has the CKA_ID " + t.idHex + " of the " + t.which +
                                          " certificate");
  }

  std::array<std::uint8_t, 32> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5 + 3);
  const std::string dataHex = codec::BytesToHex(data.data(), data.size());

  // The key handles, looked up once the way the control does it, through
  // the token object it uses: the plain Sign signs with the last
  // certificate's key, and the lookups below are timed on their own.
  CP11Token& token = *control.Registry().GetCurrentToken();
  std::array<std::vector<std::uint8_t>, 2> serials, ids;
  std::array<CK_OBJECT_HANDLE, 2> keyHandles{};
  for (std::size_t i = 0; i < targets.size(); ++i) {
    serials[i] = codec::HexToBytes(targets[i].serialHex);
    ids[i] = codec::HexToBytes(targets[i].idHex);
    if (token.FindPrivateKeyById(ids[i].data(), ids[i].size(), keyHandles[i]) != 0)
      throw Failure("the control finds no private key with CKA_ID " + targets[i].idHex);
  }
  const auto lastKeyHandle = static_cast<std::int32_t>(static_cast<std::uint32_t>(keyHandles[1]));

  std::array<std::string, 2> references;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    references[i] = control.SignByCertSerial(sid, targets[i].serialHex, kSha1, dataHex);
    if (references[i].empty()) throw Failure("SignByCertSerial gave no signature for serial " + targets[i].serialHex);
    if (const std::int32_t v = control.VerifyByCertSerial(sid, targets[i].serialHex, kSha1, dataHex, references[i]);
        v != 0)
      throw Failure(Format("the signature for serial %s does not verify (VerifyByCertSerial answered %d)",
                           targets[i].serialHex.c_str(), v));
  }
  if (control.Sign(sid, lastKeyHandle, kSha1, dataHex) != references[1])
    throw Failure("Sign with the last certificate's key differs from SignByCertSerial");

  // ---- the lookup and signature straight on the module
  CK_FUNCTION_LIST* fl = direct.List();
  const CK_SESSION_HANDLE hs = session.Handle();
  auto directSign = [&](std::size_t i) {
    std::vector<std::uint8_t> der = {static_cast<std::uint8_t>(kSerialTag),
                                     static_cast<std::uint8_t>(serials[i].size())};
    der.insert(der.end(), serials[i].begin(), serials[i].end());
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE certTmpl[2] = {{CKA_CLASS, &certClass, sizeof certClass},
                                {CKA_SERIAL_NUMBER, der.data(), static_cast<CK_ULONG>(der.size())}};
    const CK_OBJECT_HANDLE cert = session.FindFirst(certTmpl, 2);
    std::uint8_t id[256];
    CK_ATTRIBUTE idAttr = {CKA_ID, id, sizeof id};
    CheckRv(fl->C_GetAttributeValue(hs, cert, &idAttr, 1), "C_GetAttributeValue");
    CK_ATTRIBUTE keyTmpl[2] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, idAttr.ulValueLen}};
    const CK_OBJECT_HANDLE key = session.FindFirst(keyTmpl, 2);
    CK_MECHANISM mech = {CKM_SHA1_RSA_PKCS, nullptr, 0};
    CheckRv(fl->C_SignInit(hs, &mech, key), "C_SignInit");
    std::uint8_t sig[512];
    CK_ULONG len = sizeof sig;
    CheckRv(fl->C_Sign(hs, data.data(), data.size(), sig, &len), "C_Sign");
    if (codec::BytesToHex(sig, len) != references[i])
      throw Failure(Format("the direct lookup (%s) signed with another key", targets[i].which));
  };

  auto certWalk = [&](std::size_t i) {
    std::vector<std::uint8_t> id;
    if (token.FindCertificateIdBySerial(serials[i].data(), serials[i].size(), id) != 0 || id != ids[i])
      throw Failure("the certificate lookup lost serial " + targets[i].serialHex);
  };
  auto keyWalk = [&](std::size_t i) {
    CK_OBJECT_HANDLE h = 0;
    if (token.FindPrivateKeyById(ids[i].data(), ids[i].size(), h) != 0 || h != keyHandles[i])
      throw Failure("the key lookup lost CKA_ID " + targets[i].idHex);
  };

  std::vector<Kind> kinds;
  kinds.push_back({"Sign (key handle known)", [&] {
                     if (control.Sign(sid, lastKeyHandle, kSha1, dataHex) != references[1])
                       throw Failure("Sign changed its answer");
                   }});
  for (std::size_t i = 0; i < targets.size(); ++i) {
    kinds.push_back({Format("SignByCertSerial, %s cert", targets[i].which), [&, i] {
                       if (control.SignByCertSerial(sid, targets[i].serialHex, kSha1, dataHex) != references[i])
                         throw Failure(Format("SignByCertSerial (%s) changed its answer", targets[i].which));
                     }});
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    kinds.push_back({Format("direct lookup + sign, %s cert", targets[i].which), [&, i] { directSign(i); }});
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    kinds.push_back({Format("  certificate lookup, %s cert", targets[i].which), [&, i] { certWalk(i); }});
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    kinds.push_back({Format("  key lookup, %s cert's key", targets[i].which), [&, i] { keyWalk(i); }});
  }

  std::printf("bench_sign_by_serial: token %s, %zu certificates and private keys (%ld benchmark copies of one\n"
              "  RSA-2048 key with their own certificates, %ld other), SHA-1 over %zu bytes\n",
              tokenSerial.c_str(), expected, benchCerts, keyCount, data.size());
  for (const CertTarget& t : targets) {
    std::printf("  %-5s certificate delivered: position %zu of %zu, serial %s, CKA_ID %s; its key is private key %zu "
                "of %zu\n",
                t.which, t.certPosition, certs.size(), t.serialHex.c_str(), t.idHex.c_str(), t.keyPosition,
                keys.size());
  }
  std::printf("  %ld rounds of %.2f s per call kind, rotating order\n", rounds, slice);
  for (long r = 0; r < rounds; ++r) {
    for (std::size_t k = 0; k < kinds.size(); ++k)
      kinds[(static_cast<std::size_t>(r) + k) % kinds.size()].RunSlice(slice);
  }

  const double signMs = kinds[0].MsPerCall();
  std::printf("  %-32s %10s %11s %7s\n", "call", "calls/s", "ms/call", "calls");
  for (const Kind& k : kinds) {
    std::printf("  %-32s %10.1f %11.3f %7ld\n", k.name.c_str(), k.Rate(), k.MsPerCall(), k.calls);
  }
  std::printf("  lookup cost (SignByCertSerial - Sign):");
  for (std::size_t i = 0; i < targets.size(); ++i) {
    std::printf("%s %s cert %.3f ms", i == 0 ? "" : ",", targets[i].which, kinds[1 + i].MsPerCall() - signMs);
  }
  std::printf("\n");
  const std::size_t directBase = 1 + targets.size();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const double ratio = kinds[1 + i].MsPerCall() / kinds[directBase + i].MsPerCall();
    std::printf("  SignByCertSerial / direct lookup + sign, %s cert: %.2f   target %s: %s\n", targets[i].which, ratio,
                TargetText(kDirectTarget).c_str(), Verdict(kDirectTarget, ratio));
    Record(kName, Format("%zu certs: SignByCertSerial vs direct lookup + sign, %s cert", expected, targets[i].which),
           Format("%.2f x (%.3f vs %.3f ms)", ratio, kinds[1 + i].MsPerCall(), kinds[directBase + i].MsPerCall()),
           kDirectTarget, ratio);
  }
  std::printf("  every call gave the expected answer, and both serials' signatures verify\n");

  Record(kName, Format("%zu certs: Sign (key handle known)", expected),
         Format("%.1f calls/s, %.3f ms/call", kinds[0].Rate(), signMs));
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Kind& k = kinds[1 + i];
    Record(kName, Format("%zu certs: %s", expected, k.name.c_str()),
           Format("%.1f calls/s, %.3f ms/call (lookup %.3f ms)", k.Rate(), k.MsPerCall(), k.MsPerCall() - signMs));
  }
  return 0;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
