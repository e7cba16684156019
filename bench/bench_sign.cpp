// Signatures per second on one SoftHSM2 RSA-2048 key (SHA-1 with PKCS#1
// v1.5 over 32 bytes), three ways in one run:
//   direct  C_SignInit + C_Sign through the shim module's function list, on
//           a session and login of our own: the module's own cost;
//   facade  CKeloCAActiveXCtrl::Sign in this process;
//   serve   Sign requests to `kelo-ca serve`, one at a time.
// The ways take turns in short slices, in rotating order, so that a noisy
// neighbour or a clock change on a small machine is spread over all three.
// PKCS#1 v1.5 signatures are deterministic: every call of every way must
// give the same bytes, and that signature must verify.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
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
    "Signatures per second on the first private key of a SoftHSM2 token made by\n"
    "make-token.sh: directly through the module, through the control in this\n"
    "process, and through `kelo-ca serve`. Load DIR/token.env first:\n"
    "  set -a; . DIR/token.env; set +a; bench_sign\n"
    "  --slice S        seconds per turn of one way (default 0.3)\n"
    "  --rounds R       turns of each way (default 10)\n"
    "  --module PATH    the shim module (default: softhsm/Kelo-ZIr4.so next to this program)\n"
    "  --kelo-ca PATH   the kelo-ca binary (default: next to this program)\n"
    "Exit status 1 when a signature is missing or differs between the ways.\n";

constexpr std::int32_t kSha1 = 0;
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
  const std::int32_t key = control.EnumPrivateKey(sid, 0);
  const std::string keyIdHex = control.GetAttribute(sid, key, 2);
  if (keyIdHex.empty()) throw Failure(Format("EnumPrivateKey(0) answered %d, which has no CKA_ID", key));

  const std::string reference = control.Sign(sid, key, kSha1, dataHex);
  if (reference.empty()) throw Failure("the control's Sign gave no signature");
  const std::vector<std::uint8_t> referenceBytes = codec::HexToBytes(reference);
  if (const std::int32_t v = control.Verify(sid, control.EnumPublicKey(sid, 0), kSha1, dataHex, reference); v != 0)
    throw Failure(Format("the signature does not verify with the token's public key (Verify answered %d)", v));

  // ---- direct
  P11Module direct(module);
  P11Session session(direct, direct.SlotBySerial(tokenSerial));
  session.Login(pin);
  CK_OBJECT_HANDLE directKey = 0;
  for (CK_OBJECT_HANDLE h : session.FindAll(CKO_PRIVATE_KEY)) {
    const std::vector<std::uint8_t> id = session.Attribute(h, CKA_ID);
    if (codec::BytesToHex(id.data(), id.size()) == keyIdHex) directKey = h;
  }
  if (directKey == 0) throw Failure("no private key with CKA_ID " + keyIdHex + " on the direct session");

  // ---- serve
  Environment env = Environment::Inherited();  // carries LD_LIBRARY_PATH and SOFTHSM2_CONF
  ServeProcess serve(keloCa, env);
  const std::int64_t serveSid = serve.CallInt("ConnectToken", "[]");
  if (const std::int64_t rc = serve.CallInt("Login", Format("[%lld,\"%s\"]", static_cast<long long>(serveSid),
                                                           pin.c_str()));
      rc != 0)
    throw Failure(Format("Login through kelo-ca serve answered %lld", static_cast<long long>(rc)));
  const std::int64_t serveKey = serve.CallInt("EnumPrivateKey", Format("[%lld,0]", static_cast<long long>(serveSid)));
  const std::string signParams = Format("[%lld,%lld,%d,\"%s\"]", static_cast<long long>(serveSid),
                                        static_cast<long long>(serveKey), kSha1, dataHex.c_str());

  CK_FUNCTION_LIST* fl = direct.List();
  const CK_SESSION_HANDLE hs = session.Handle();
  std::vector<std::uint8_t> sig(kSignatureCapacity);
  std::array<Way, 3> ways = {{
      {"direct", [&] {
         CK_MECHANISM mech = {CKM_SHA1_RSA_PKCS, nullptr, 0};
         CheckRv(fl->C_SignInit(hs, &mech, directKey), "C_SignInit");
         CK_ULONG len = kSignatureCapacity;
         CheckRv(fl->C_Sign(hs, data.data(), data.size(), sig.data(), &len), "C_Sign");
         if (len != referenceBytes.size() || !std::equal(referenceBytes.begin(), referenceBytes.end(), sig.begin()))
           throw Failure("C_Sign gave another signature than the control");
       }},
      {"facade", [&] {
         if (control.Sign(sid, key, kSha1, dataHex) != reference)
           throw Failure("CKeloCAActiveXCtrl::Sign gave another signature");
       }},
      {"serve", [&] {
         if (StringResult(serve.Call("Sign", signParams)) != reference)
           throw Failure("Sign through kelo-ca serve gave another signature");
       }},
  }};

  std::printf("bench_sign: token %s, RSA-%zu key CKA_ID %s, SHA-1 over %zu bytes\n", tokenSerial.c_str(),
              referenceBytes.size() * 8, keyIdHex.c_str(), data.size());
  std::printf("  %ld rounds; in each, every way signs for %.2f s, in rotating order\n", rounds, slice);
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
    if (&w == &direct0) {
      Record(kName, "direct C_SignInit+C_Sign", Format("%.0f signatures/s", w.Rate()));
    } else {
      std::printf("   target %s: %s", TargetText(kRatioTarget).c_str(), Verdict(kRatioTarget, ratio));
      Record(kName, std::string(w.name) + " Sign vs direct (median round)",
             Format("%.1f %% (all rounds %.1f %%, %.0f/s)", ratio, overall, w.Rate()), kRatioTarget, ratio);
    }
    std::printf("\n");
  }
  std::printf("  every signature of every way was the same %zu bytes, and it verifies\n", referenceBytes.size());
  serve.Finish();
  return 0;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
