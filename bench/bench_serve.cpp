// Calls per second through `kelo-ca serve` on a method that does no token
// work (VerifyCertCRL), so the figures are the host's own cost: reading and
// splitting lines, JSON-RPC parsing, dispatch, the response and the pipes.
//   pipelined: a writer thread sends every request while the main thread
//              reads and checks the responses;
//   ping-pong: one request, wait for its response, repeat.
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "bench/serve_client.h"

namespace kelo::bench {
namespace {

constexpr char kName[] = "bench_serve";
constexpr char kUsage[] =
    "Usage: bench_serve [KELO_CA] [--pipelined N] [--pingpong N] [--repeat R] [--mock-dir DIR]\n"
    "\n"
    "Measures VerifyCertCRL calls per second through `kelo-ca serve`.\n"
    "  KELO_CA          the kelo-ca binary (default: next to this program)\n"
    "  --pipelined N    requests per pipelined run (default 200000)\n"
    "  --pingpong N     round trips per ping-pong run (default 50000)\n"
    "  --repeat R       runs of each kind, each in a fresh host (default 3)\n"
    "  --mock-dir DIR   directory of the mock modules (default: mock/ next to this program)\n"
    "Exit status 1 when any response is not the expected result.\n";

constexpr std::string_view kMethod = "VerifyCertCRL";
constexpr std::string_view kParams = R"([0,0,""])";
constexpr std::int64_t kAnswer = 1;  // VerifyCertCRL checks nothing and always answers 1
constexpr std::int64_t kWarmUp = 200;
constexpr std::size_t kBatch = 1024;  // requests per write in the pipelined run

constexpr Target kPipelinedTarget{100000, true, "calls/s"};
constexpr Target kPingPongTarget{20000, true, "calls/s"};

void CheckAnswer(const Response& r) {
  const std::int64_t got = IntResult(r);
  if (got != kAnswer)
    throw Failure(Format("request %lld answered %lld, expected %lld", static_cast<long long>(r.id),
                         static_cast<long long>(got), static_cast<long long>(kAnswer)));
}

// Start-up and the first requests are not timed.
void WarmUp(ServeProcess& serve) {
  for (std::int64_t i = 0; i < kWarmUp; ++i) CheckAnswer(serve.Call(kMethod, kParams));
}

// Returns calls per second.
double RunPipelined(const std::string& keloCa, const Environment& env, std::int64_t n) {
  ServeProcess serve(keloCa, env);
  WarmUp(serve);
  const std::int64_t first = serve.NextId();
  const std::int64_t end = first + n;

  std::string writeError;
  const Clock::time_point t0 = Clock::now();
  std::thread writer([&] {
    try {
      std::string batch;
      for (std::int64_t id = first; id < end;) {
        batch.clear();
        for (std::size_t k = 0; k < kBatch && id < end; ++k, ++id) AppendRequest(batch, id, kMethod, kParams);
        WriteAll(serve.Child().In(), batch);
      }
      // End of input: the host answers what it has and exits.
      serve.Child().CloseIn();
    } catch (const std::exception& e) {
      writeError = e.what();
    }
  });

  std::string readError;
  std::int64_t answered = 0;
  try {
    std::string_view line;
    while (answered < n && serve.Reader().Next(line)) {
      CheckAnswer({line, first + answered});
      ++answered;
    }
    if (answered < n)
      readError = Format("kelo-ca serve ended its output after %lld of %lld responses",
                         static_cast<long long>(answered), static_cast<long long>(n));
  } catch (const std::exception& e) {
    readError = e.what();
  }
  const double seconds = SecondsSince(t0);
  // A writer blocked on a host that no longer reads is freed by its death.
  if (!readError.empty()) serve.Child().Kill();
  writer.join();
  if (!readError.empty()) throw Failure(readError);
  if (!writeError.empty()) throw Failure(writeError);
  serve.Finish();
  return static_cast<double>(n) / seconds;
}

double RunPingPong(const std::string& keloCa, const Environment& env, std::int64_t n) {
  ServeProcess serve(keloCa, env);
  WarmUp(serve);
  const Clock::time_point t0 = Clock::now();
  for (std::int64_t i = 0; i < n; ++i) CheckAnswer(serve.Call(kMethod, kParams));
  const double seconds = SecondsSince(t0);
  serve.Finish();
  return static_cast<double>(n) / seconds;
}

void Report(const char* kind, const std::vector<double>& rates, const Target& target) {
  const Stats s = Summarise(rates);
  std::printf("  %-10s median %9.0f calls/s  (best %.0f, worst %.0f)   target %s: %s\n", kind, s.median, s.max,
              s.min, TargetText(target).c_str(), Verdict(target, s.median));
  Record(kName, std::string(kind) + " VerifyCertCRL (median)", Format("%.0f calls/s", s.median), target, s.median);
}

int Run(int argc, char** argv) {
  const Options opt(argc, argv, {"--pipelined", "--pingpong", "--repeat", "--mock-dir"});
  const std::string here = ExeDir();
  const std::string keloCa =
      RequireFile(opt.Positional().empty() ? here + "/kelo-ca" : opt.Positional(), "kelo-ca");
  const std::string mockDir = opt.Get("--mock-dir").value_or(here + "/mock");
  RequireFile(mockDir + "/Kelo-ZIr4.so", "mock module");
  const std::int64_t pipelined = opt.Integer("--pipelined", 200000, 1, 100000000);
  const std::int64_t pingpong = opt.Integer("--pingpong", 50000, 1, 100000000);
  const long repeat = opt.Integer("--repeat", 3, 1, 100);

  Environment env = Environment::Inherited();
  env.Set("LD_LIBRARY_PATH", mockDir);
  env.Set("MOCKP11_TOKENS", "BENCH0001");

  std::printf("bench_serve: %s serve, method %.*s (no token work), mock modules from %s\n", keloCa.c_str(),
              static_cast<int>(kMethod.size()), kMethod.data(), mockDir.c_str());
  std::vector<double> piped, pingponged;
  // Alternating the kinds spreads a noisy neighbour over both.
  for (long r = 1; r <= repeat; ++r) {
    piped.push_back(RunPipelined(keloCa, env, pipelined));
    std::printf("  run %ld pipelined  %lld requests: %9.0f calls/s\n", r, static_cast<long long>(pipelined),
                piped.back());
    pingponged.push_back(RunPingPong(keloCa, env, pingpong));
    std::printf("  run %ld ping-pong  %lld requests: %9.0f calls/s (%.1f us per round trip)\n", r,
                static_cast<long long>(pingpong), pingponged.back(), 1e6 / pingponged.back());
  }
  std::printf("  all %lld responses were \"result\":%lld with the request's id\n",
              static_cast<long long>(repeat) * (pipelined + pingpong), static_cast<long long>(kAnswer));
  Report("pipelined", piped, kPipelinedTarget);
  Report("ping-pong", pingponged, kPingPongTarget);
  return 0;
}

}  // namespace
}  // namespace kelo::bench

int main(int argc, char** argv) {
  return kelo::bench::Main(kelo::bench::kName, kelo::bench::kUsage, [&] { return kelo::bench::Run(argc, argv); });
}
