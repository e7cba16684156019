// Time from starting `kelo-ca serve` (fork and exec) to the answer of its
// first ConnectToken, with one mock token: what a caller waits for when each
// use starts a fresh host. Covers the loader, the three module loads and
// C_Initialize calls made by the control's constructor, and the connect.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "bench/serve_client.h"

namespace kelo::bench {
namespace {

constexpr char kName[] = "bench_first_connect";
constexpr char kUsage[] =
    "Usage: bench_first_connect [KELO_CA] [--runs N] [--mock-dir DIR]\n"
    "\n"
    "Starts `kelo-ca serve` N times (default 50) and times each start up to the\n"
    "answer of its first ConnectToken with one mock token.\n"
    "  KELO_CA          the kelo-ca binary (default: next to this program)\n"
    "  --mock-dir DIR   directory of the mock modules (default: mock/ next to this program)\n"
    "Exit status 1 when a host does not connect to the mock token.\n";

constexpr char kSerial[] = "BENCH0001";
constexpr Target kTarget{20, false, "ms"};

// Milliseconds from fork to the ConnectToken answer; checks the session
// really reaches the mock token before the host is let go.
double TimeOneStart(const std::string& keloCa, const Environment& env) {
  const Clock::time_point t0 = Clock::now();
  ServeProcess serve(keloCa, env);
  const std::int64_t sid = serve.CallInt("ConnectToken", "[]");
  const double ms = SecondsSince(t0) * 1e3;

  if (sid == 1001 || sid == 1002 || sid == 1003)
    throw Failure(Format("ConnectToken answered the result code %lld", static_cast<long long>(sid)));
  const std::string serial = serve.CallString("RetrieveSerial", Format("[%lld]", static_cast<long long>(sid)));
  // The token's serial field is blank-padded to 16 characters.
  const std::string expected = Format("%-16s", kSerial);
  if (serial != expected)
    throw Failure("RetrieveSerial answered \"" + serial + "\", expected \"" + expected + "\"");
  serve.Finish();
  return ms;
}

int Run(int argc, char** argv) {
  const Options opt(argc, argv, {"--runs", "--mock-dir"});
  const std::string here = ExeDir();
  const std::string keloCa =
      RequireFile(opt.Positional().empty() ? here + "/kelo-ca" : opt.Positional(), "kelo-ca");
  const std::string mockDir = opt.Get("--mock-dir").value_or(here + "/mock");
  RequireFile(mockDir + "/Kelo-ZIr4.so", "mock module");
  const long runs = opt.Integer("--runs", 50, 1, 100000);

  Environment env = Environment::Inherited();
  env.Set("LD_LIBRARY_PATH", mockDir);
  env.Set("MOCKP11_TOKENS", kSerial);

  std::printf("bench_first_connect: %s serve, first ConnectToken, one mock token (%s), %ld starts\n",
              keloCa.c_str(), kSerial, runs);
  // One start outside the figures: it pays for cold page-cache misses that
  // say nothing about the host.
  TimeOneStart(keloCa, env);
  std::vector<double> ms;
  for (long i = 0; i < runs; ++i) ms.push_back(TimeOneStart(keloCa, env));
  const Stats s = Summarise(ms);
  std::printf("  start to first ConnectToken answer: min %.2f ms, median %.2f ms, p95 %.2f ms, max %.2f ms\n", s.min,
              s.median, s.p95, s.max);
  std::printf("  target %s (median): %s; p95 %s\n", TargetText(kTarget).c_str(), Verdict(kTarget, s.median),
              Verdict(kTarget, s.p95));
  Record(kName, "start to first ConnectToken (median)", Format("%.2f ms", s.median), kTarget, s.median);
  Record(kName, "start to first ConnectToken (p95)", Format("%.2f ms", s.p95), kTarget, s.p95);
  Record(kName, "start to first ConnectToken (min)", Format("%.2f ms", s.min));
  return 0;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
