// Signatures per second on SoftHSM2 keys over 32 bytes, three ways in one
// run, for each of: RSA-2048 SHA-1 and SHA-256 (PKCS#1 v1.5), and ECDSA on
// P-256 with SHA-256 when the token has that key (make-token.sh --ec):
//   direct  the module's own cost through the shim's function list, on a
//           session and login of our own: C_SignInit + C_Sign with the hash
//           mechanism for RSA; for ECDSA the path the control takes on
//           SoftHSM2, which has no ECDSA-with-hash: C_Digest, then CKM_ECDSA;
//   facade  CKeloCAActiveXCtrl::Sign in this process;
//   serve   Sign requests to `kelo-ca serve`, one at a time.
// The ways take turns in short slices, in rotating order, so that a noisy
// neighbour or a clock change on a small machine is spread over all three.
// PKCS#1 v1.5 signatures are deterministic: every call of every way must
// give the same bytes, and that signature must verify. ECDSA signatures
// differ each time: each must have the curve's length, and the last one of
// every way must verify.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/harness.h"
#include "bench/p11_direct.h"
#include "bench/serve_client.h"
#include "codec/codec.h"
#include "control/kelo_ctrl.h"

namespace kelo::bench {
namespace {

constexpr char kName[] = "bench_sign";
constexpr char kUsage[] =
    "Usage: bench_sign [--slice S] [--rounds R] [--module PATH] [--kelo-ca PATH]\n"
    "\n"
    "Signatures per second (RSA SHA-1 and SHA-256 with key 01, ECDSA P-256 with\n"
    "key EC01 when there) on a SoftHSM2 token made by make-token.sh [--ec]:\n"
    "directly through the module, through the control in this process, and\n"
    "through `kelo-ca serve`. Load DIR/token.env first:\n"
    "  set -a; . DIR/token.env; set +a; bench_sign\n"
    "  --slice S        seconds per turn of one way (default 0.3)\n"
    "  --rounds R       turns of each way (default 10)\n"
    "  --module PATH    the shim module (default: softhsm/Kelo-ZIr4.so next to this program)\n"
    "  --kelo-ca PATH   the kelo-ca binary (default: next to this program)\n"
    "Exit status 1 when a signature is missing or differs between the ways.\n";

constexpr std::int32_t kSha1 = 0;
constexpr std::int32_t kSha256 = 256;
constexpr CK_ULONG kSignatureCapacity = 1024;
constexpr int kWarmUp = 10;
constexpr Target kRatioTarget{95, true, "% of direct"};

std::string RequireEnv(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') throw Failure(std::string(name) + " is not set: load the token's token.env first");
  return v;
}

struct Way {
  Way(const char* n, std::function<void()> f) : name(n), signAndCheck(std::move(f)) {}

  const char* name;
  std::function<void()> signAndCheck;
  long calls = 0;
  double seconds = 0;
  std::vector<double> sliceRates;

  void RunSlice(double slice) {
    long n = 0;
    double elapsed = 0;
    const Clock::time_point t0 = Clock::now();
    do {
      signAndCheck();
      ++n;
    } while ((elapsed = SecondsSince(t0)) < slice);
    calls += n;
    seconds += elapsed;
    sliceRates.push_back(static_cast<double>(n) / elapsed);
  }
  double Rate() const { return static_cast<double>(calls) / seconds; }
};

// One kind of signature measured three ways.
struct Algorithm {
  const char* label;
  std::int32_t hashType;
  const char* keyId;                // CKA_ID of the key pair, hexadecimal
  CK_MECHANISM_TYPE signMechanism;  // what the direct way signs with
  CK_MECHANISM_TYPE digest;         // 0, or the digest the direct way makes first
  bool deterministic;
  bool serveJudged;  // whether serve, too, is held to the target
};

// Handle of the key of class cls whose CKA_ID is idHex, through the control.
std::int32_t ControlKey(CKeloCAActiveXCtrl& control, std::int32_t sid, bool priv, const std::string& idHex) {
  for (std::int32_t i = 0;; ++i) {
    const std::int32_t h = priv ? control.EnumPrivateKey(sid, i) : control.EnumPublicKey(sid, i);
    if (h == 1011) return 0;
    if (control.GetAttribute(sid, h, 2) == idHex) return h;
  }
}

std::int64_t ServeKey(ServeProcess& serve, std::int64_t sid, const std::string& idHex) {
  for (long long i = 0;; ++i) {
    const std::int64_t h = serve.CallInt("EnumPrivateKey", Format("[%lld,%lld]", static_cast<long long>(sid), i));
    if (h == 1011) return 0;
    const std::string id(StringResult(
        serve.Call("GetAttribute", Format("[%lld,%lld,2]", static_cast<long long>(sid), static_cast<long long>(h)))));
    if (id == idHex) return h;
  }
}

int Run(int argc, char** argv) {
  const Options opt(argc, argv, {"--slice", "--rounds", "--module", "--kelo-ca"});
  if (!opt.Positional().empty()) throw UsageError("unexpected argument '" + opt.Positional() + "'");
  const std::string here = ExeDir();
  const std::string module = RequireFile(opt.Get("--module").value_or(here + "/softhsm/Kelo-ZIr4.so"), "shim module");
  const std::string keloCa = RequireFile(opt.Get("--kelo-ca").value_or(here + "/kelo-ca"), "kelo-ca");
  const double slice = opt.Number("--slice", 0.3, 0.01, 600);
  const long rounds = opt.Integer("--rounds", 10, 1, 1000);
  const std::string pin = RequireEnv("KELO_USER_PIN");
  const std::string tokenSerial = RequireEnv("KELO_TOKEN_SERIAL");
  RequireEnv("SOFTHSM2_CONF");
  const char* ec = std::getenv("KELO_EC256_SERIAL_HEX");
  const bool haveEc = ec != nullptr && *ec != '\0';
  // The control loads its modules by bare name.
  EnsureLibraryPath(DirName(module), argv);

  std::array<std::uint8_t, 32> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::string dataHex = codec::BytesToHex(data.data(), data.size());

  // ---- facade (first: the module's initialisation belongs to it)
  CKeloCAActiveXCtrl control;
  const std::int32_t sid = control.ConnectToken();
  if (sid != control.SessionIdentifier()) throw Failure(Format("ConnectToken answered %d", sid));
  const std::string facadeSerial = control.RetrieveSerial(sid);
  if (facadeSerial.substr(0, facadeSerial.find_last_not_of(' ') + 1) != tokenSerial)
    throw Failure("the control connected to token \"" + facadeSerial + "\", not " + tokenSerial);
  if (const std::int32_t rc = control.Login(sid, pin); rc != 0) throw Failure(Format("Login answered %d", rc));

  // ---- direct
  P11Module direct(module);
  P11Session session(direct, direct.SlotBySerial(tokenSerial));
  session.Login(pin);
  CK_FUNCTION_LIST* fl = direct.List();
  const CK_SESSION_HANDLE hs = session.Handle();

  // ---- serve
  Environment env = Environment::Inherited();  // carries LD_LIBRARY_PATH and SOFTHSM2_CONF
  ServeProcess serve(keloCa, env);
  const std::int64_t serveSid = serve.CallInt("ConnectToken", "[]");
  if (const std::int64_t rc = serve.CallInt("Login", Format("[%lld,\"%s\"]", static_cast<long long>(serveSid),
                                                           pin.c_str()));
      rc != 0)
    throw Failure(Format("Login through kelo-ca serve answered %lld", static_cast<long long>(rc)));

  std::vector<Algorithm> algorithms = {
      {"RSA-2048 SHA-1", kSha1, "01", CKM_SHA1_RSA_PKCS, 0, true, true},
      {"RSA-2048 SHA-256", kSha256, "01", CKM_SHA256_RSA_PKCS, 0, true, false},
  };
  if (haveEc)
    algorithms.push_back({"ECDSA P-256 SHA-256", kSha256, "EC01", CKM_ECDSA, CKM_SHA256, false, false});
  else
    std::printf("bench_sign: the token has no P-256 key (make-token.sh --ec): ECDSA is not measured\n");

  std::printf("bench_sign: token %s, over %zu bytes\n", tokenSerial.c_str(), data.size());
  std::printf("  %ld rounds; in each, every way signs for %.2f s, in rotating order\n", rounds, slice);
  for (const Algorithm& alg : algorithms) {
    const std::int32_t key = ControlKey(control, sid, true, alg.keyId);
    const std::int32_t pub = ControlKey(control, sid, false, alg.keyId);
    if (key == 0 || pub == 0) throw Failure(std::string("the control finds no key pair with CKA_ID ") + alg.keyId);
    const std::string reference = control.Sign(sid, key, alg.hashType, dataHex);
    if (reference.empty()) throw Failure(std::string("the control's Sign gave no ") + alg.label + " signature");
    const std::vector<std::uint8_t> referenceBytes = codec::HexToBytes(reference);
    if (const std::int32_t v = control.Verify(sid, pub, static_cast<std::int16_t>(alg.hashType), dataHex, reference);
        v != 0)
      throw Failure(Format("the %s signature does not verify (Verify answered %d)", alg.label, v));

    CK_OBJECT_HANDLE directKey = 0;
    for (CK_OBJECT_HANDLE h : session.FindAll(CKO_PRIVATE_KEY)) {
      const std::vector<std::uint8_t> id = session.Attribute(h, CKA_ID);
      if (codec::BytesToHex(id.data(), id.size()) == alg.keyId) directKey = h;
    }
    if (directKey == 0)
      throw Failure(std::string("no private key with CKA_ID ") + alg.keyId + " on the direct session");
    const std::int64_t serveKey = ServeKey(serve, serveSid, alg.keyId);
    const std::string signParams = Format("[%lld,%lld,%d,\"%s\"]", static_cast<long long>(serveSid),
                                          static_cast<long long>(serveKey), alg.hashType, dataHex.c_str());

    std::array<std::string, 3> last;  // each way's last signature, in hex
    auto check = [&](std::size_t way, std::string_view sigHex) {
      if (alg.deterministic ? sigHex != reference : sigHex.size() != reference.size())
        throw Failure(Format("%s: way %zu (direct, facade, serve) gave another signature", alg.label, way));
      last[way].assign(sigHex);
    };
    std::vector<std::uint8_t> sig(kSignatureCapacity);
    std::array<Way, 3> ways = {{
        {"direct", [&] {
           std::uint8_t digest[64];
           const std::uint8_t* in = data.data();
           CK_ULONG inLen = data.size();
           if (alg.digest != 0) {
             CK_MECHANISM dm = {alg.digest, nullptr, 0};
             CK_ULONG dl = sizeof digest;
             CheckRv(fl->C_DigestInit(hs, &dm), "C_DigestInit");
             CheckRv(fl->C_Digest(hs, data.data(), data.size(), digest, &dl), "C_Digest");
             in = digest;
             inLen = dl;
           }
           CK_MECHANISM mech = {alg.signMechanism, nullptr, 0};
           CheckRv(fl->C_SignInit(hs, &mech, directKey), "C_SignInit");
           CK_ULONG len = kSignatureCapacity;
           CheckRv(fl->C_Sign(hs, const_cast<std::uint8_t*>(in), inLen, sig.data(), &len), "C_Sign");
           if (alg.deterministic) {
             if (len != referenceBytes.size() || !std::equal(referenceBytes.begin(), referenceBytes.end(), sig.begin()))
               throw Failure("C_Sign gave another signature than the control");
           } else if (len != referenceBytes.size() || last[0].empty()) {
             check(0, codec::BytesToHex(sig.data(), len));  // hex only when it is checked
           }
         }},
        {"facade", [&] { check(1, control.Sign(sid, key, alg.hashType, dataHex)); }},
        {"serve", [&] { check(2, StringResult(serve.Call("Sign", signParams))); }},
    }};

    std::printf("\n  %s (CKA_ID %s, %zu-byte signature)\n", alg.label, alg.keyId, referenceBytes.size());
    for (Way& w : ways) {
      for (int i = 0; i < kWarmUp; ++i) w.signAndCheck();
    }
    std::printf("  %-6s %12s %12s %12s\n", "round", "direct/s", "facade/s", "serve/s");
    for (long r = 0; r < rounds; ++r) {
      for (std::size_t k = 0; k < ways.size(); ++k)
        ways[(static_cast<std::size_t>(r) + k) % ways.size()].RunSlice(slice);
      std::printf("  %-6ld %12.1f %12.1f %12.1f\n", r + 1, ways[0].sliceRates.back(), ways[1].sliceRates.back(),
                  ways[2].sliceRates.back());
    }
    if (!alg.deterministic) {
      for (std::size_t w = 0; w < last.size(); ++w) {
        if (!last[w].empty() &&
            control.Verify(sid, pub, static_cast<std::int16_t>(alg.hashType), dataHex, last[w]) != 0)
          throw Failure(Format("%s: the %s way's last signature does not verify", alg.label, ways[w].name));
      }
    }

    // Each round's ways ran back to back under the same conditions, so their
    // ratio is what is judged; the median over rounds drops a round that a
    // neighbour's burst spoiled for one way only.
    const Way& direct0 = ways[0];
    std::printf("  %-7s %14s %9s %16s %16s %7s\n", "way", "signatures/s", "ms/call", "% of direct", "% of direct",
                "calls");
    std::printf("  %-7s %14s %9s %16s %16s %7s\n", "", "(all rounds)", "", "(median round)", "(all rounds)", "");
    for (const Way& w : ways) {
      std::vector<double> ratios;
      for (std::size_t r = 0; r < w.sliceRates.size(); ++r)
        ratios.push_back(100.0 * w.sliceRates[r] / direct0.sliceRates[r]);
      const double ratio = Summarise(ratios).median;
      const double overall = 100.0 * w.Rate() / direct0.Rate();
      std::printf("  %-7s %14.1f %9.3f %16.1f %16.1f %7ld", w.name, w.Rate(), 1e3 / w.Rate(), ratio, overall, w.calls);
      const std::string figure = std::string(alg.label) + ": " + w.name;
      if (&w == &direct0) {
        Record(kName, figure, Format("%.0f signatures/s", w.Rate()));
      } else if (&w == &ways[1] || alg.serveJudged) {
        std::printf("   target %s: %s", TargetText(kRatioTarget).c_str(), Verdict(kRatioTarget, ratio));
        Record(kName, figure + " vs direct (median round)",
               Format("%.1f %% (all rounds %.1f %%, %.0f/s)", ratio, overall, w.Rate()), kRatioTarget, ratio);
      } else {
        Record(kName, figure + " vs direct (median round)",
               Format("%.1f %% (all rounds %.1f %%, %.0f/s)", ratio, overall, w.Rate()));
      }
      std::printf("\n");
    }
    if (alg.deterministic)
      std::printf("  every signature of every way was the same %zu bytes, and it verifies\n", referenceBytes.size());
    else
      std::printf("  every signature had %zu bytes; each way's last one verifies\n", referenceBytes.size());
  }
  serve.Finish();
  return 0;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
