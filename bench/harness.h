// Small harness shared by the benchmarks: child processes with pipes, line
// reading, statistics, option parsing and the summary that run.sh collects.
//
// Benchmarks print figures and never fail for being slow; they exit 1 on a
// functional fault (a wrong answer, a child that dies) and 2 on bad usage.
#ifndef KELO_BENCH_HARNESS_H
#define KELO_BENCH_HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/child_process.h"

namespace kelo::bench {

// A wrong answer or a broken setup: the benchmark exits 1.
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bad command line: the benchmark prints its usage and exits 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// printf into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------- processes

// Child processes come from the tests' support: one implementation for both.
using test::ChildProcess;
using test::Environment;
using test::UniqueFd;

// Writes everything or throws Failure (EPIPE included: SIGPIPE is ignored).
void WriteAll(int fd, std::string_view data);

// Buffered reading of '\n'-terminated lines.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buf_(64 * 1024) {}
  // The next line without its end; false at end of input (a last line
  // without an end is returned first). The view lives until the next call.
  bool Next(std::string_view& line);

 private:
  int fd_;
  std::vector<char> buf_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
};

// Directory of the running executable.
std::string ExeDir();
std::string DirName(const std::string& path);
bool IsFile(const std::string& path);
std::string RequireFile(const std::string& path, const char* what);

// Puts dir first on LD_LIBRARY_PATH. The loader reads the variable only at
// start-up, so when it has to change the program executes itself again.
void EnsureLibraryPath(const std::string& dir, char** argv);

// ---------------------------------------------------------------- figures

struct Stats {
  double min = 0, median = 0, p95 = 0, max = 0, mean = 0;
};
Stats Summarise(std::vector<double> samples);

struct Target {
  double value;
  bool atLeast;      // true: the figure should be >= value
  const char* unit;  // for printing
};
bool Meets(const Target& t, double figure);
std::string TargetText(const Target& t);
// "meets target" / "MISSES target" for the report lines.
const char* Verdict(const Target& t, double figure);

// One row of the run's summary table. Appended to the file named by
// KELO_BENCH_SUMMARY (run.sh sets it); nothing happens without it.
void Record(std::string_view bench, std::string_view figure, const std::string& value, const Target& target,
            double figureValue);
void Record(std::string_view bench, std::string_view figure, const std::string& value);

// ---------------------------------------------------------------- command line

class Options {
 public:
  // flags: the accepted "--name" options, each taking one value. At most one
  // bare argument (a path) is accepted as well.
  Options(int argc, char** argv, std::initializer_list<const char*> flags);
  std::optional<std::string> Get(const char* flag) const;
  std::string Positional() const { return positional_; }
  long Integer(const char* flag, long fallback, long min, long max) const;
  double Number(const char* flag, double fallback, double min, double max) const;

 private:
  std::map<std::string, std::string> values_;
  std::string positional_;
};

// Runs body, turning exceptions into the exit codes described above.
int Main(const char* name, const char* usage, const std::function<int()>& body);

// One kind of call timed in slices, so kinds can take turns within a round.
struct Kind {
  std::string name;
  std::function<void()> callAndCheck;
  long calls = 0;
  double seconds = 0;

  void RunSlice(double slice) {
    long n = 0;
    double elapsed = 0;
    const Clock::time_point t0 = Clock::now();
    do {
      callAndCheck();
      ++n;
    } while ((elapsed = SecondsSince(t0)) < slice);
    calls += n;
    seconds += elapsed;
  }
  double Rate() const { return static_cast<double>(calls) / seconds; }
  double MsPerCall() const { return 1e3 * seconds / static_cast<double>(calls); }
};

}  // namespace kelo::bench

#endif
