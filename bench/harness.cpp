#include "bench/harness.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelo::bench {
namespace {

struct HelpRequested {};

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
  va_end(ap);
  return out;
}

// ---------------------------------------------------------------- processes

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t w = ::write(fd, data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      throw Failure(ErrnoText("write to child"));
    }
    data.remove_prefix(static_cast<std::size_t>(w));
  }
}

bool LineReader::Next(std::string_view& line) {
  for (;;) {
    if (begin_ < end_) {
      const char* start = buf_.data() + begin_;
      const void* nl = std::memchr(start, '\n', end_ - begin_);
      if (nl != nullptr) {
        const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
        line = std::string_view(start, len);
        begin_ += len + 1;
        return true;
      }
    }
    if (eof_) {
      if (begin_ == end_) return false;
      line = std::string_view(buf_.data() + begin_, end_ - begin_);
      begin_ = end_;
      return true;
    }
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
    const ssize_t r = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw Failure(ErrnoText("read from child"));
    }
    if (r == 0) {
      eof_ = true;
    } else {
      end_ += static_cast<std::size_t>(r);
    }
  }
}

std::string ExeDir() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) throw Failure(ErrnoText("readlink /proc/self/exe"));
  return DirName(std::string(buf.data(), static_cast<std::size_t>(n)));
}

std::string DirName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string RequireFile(const std::string& path, const char* what) {
  if (!IsFile(path)) throw Failure(std::string(what) + " not found at " + path + " (build the project first)");
  return path;
}

void EnsureLibraryPath(const std::string& dir, char** argv) {
  constexpr const char* kMarker = "KELO_BENCH_REEXECUTED";
  const char* current = std::getenv("LD_LIBRARY_PATH");
  const std::string path = current != nullptr ? current : "";
  if (path.substr(0, path.find(':')) == dir) {
    ::unsetenv(kMarker);
    return;
  }
  if (std::getenv(kMarker) != nullptr) throw Failure("LD_LIBRARY_PATH does not start with " + dir + " after re-exec");
  const std::string updated = path.empty() ? dir : dir + ":" + path;
  ::setenv("LD_LIBRARY_PATH", updated.c_str(), 1);
  ::setenv(kMarker, "1", 1);
  std::fflush(nullptr);
  ::execv("/proc/self/exe", argv);
  throw Failure(ErrnoText("cannot execute /proc/self/exe again"));
}

// ---------------------------------------------------------------- figures

Stats Summarise(std::vector<double> samples) {
  Stats s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  s.min = samples.front();
  s.max = samples.back();
  s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  // Nearest rank: the smallest sample with at least 95 % of them at or below.
  const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n)));
  s.p95 = samples[std::max<std::size_t>(rank, 1) - 1];
  double sum = 0;
  for (double v : samples) sum += v;
  s.mean = sum / static_cast<double>(n);
  return s;
}

bool Meets(const Target& t, double figure) { return t.atLeast ? figure >= t.value : figure <= t.value; }

std::string TargetText(const Target& t) {
  return Format("%s %g %s", t.atLeast ? ">=" : "<=", t.value, t.unit);
}

const char* Verdict(const Target& t, double figure) { return Meets(t, figure) ? "meets target" : "MISSES target"; }

namespace {

void AppendSummary(std::string_view bench, std::string_view figure, const std::string& value,
                   const std::string& target, const char* status) {
  const char* file = std::getenv("KELO_BENCH_SUMMARY");
  if (file == nullptr || *file == '\0') return;
  std::FILE* f = std::fopen(file, "a");
  if (f == nullptr) throw Failure(ErrnoText(std::string("cannot append to ") + file));
  std::fprintf(f, "%.*s|%.*s|%s|%s|%s\n", static_cast<int>(bench.size()), bench.data(),
               static_cast<int>(figure.size()), figure.data(), value.c_str(), target.c_str(), status);
  std::fclose(f);
}

}  // namespace

void Record(std::string_view bench, std::string_view figure, const std::string& value, const Target& target,
            double figureValue) {
  AppendSummary(bench, figure, value, TargetText(target), Meets(target, figureValue) ? "ok" : "MISSED");
}

void Record(std::string_view bench, std::string_view figure, const std::string& value) {
  AppendSummary(bench, figure, value, "-", "-");
}

// ---------------------------------------------------------------- command line

Options::Options(int argc, char** argv, std::initializer_list<const char*> flags) {
  auto known = [&](const std::string& name) {
    return std::any_of(flags.begin(), flags.end(), [&](const char* f) { return name == f; });
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") throw HelpRequested{};
    if (arg.rfind("--", 0) != 0) {
      if (!positional_.empty()) throw UsageError("unexpected argument '" + arg + "'");
      positional_ = arg;
      continue;
    }
    std::string value;
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else {
      if (!known(arg)) throw UsageError("unknown option " + arg);
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      value = argv[++i];
    }
    if (!known(arg)) throw UsageError("unknown option " + arg);
    values_[arg] = value;
  }
}

std::optional<std::string> Options::Get(const char* flag) const {
  auto it = values_.find(flag);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

long Options::Integer(const char* flag, long fallback, long min, long max) const {
  const std::optional<std::string> text = Get(flag);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text->c_str(), &end, 10);
  if (text->empty() || *end != '\0' || errno != 0 || v < min || v > max)
    throw UsageError(Format("%s needs an integer from %ld to %ld, not '%s'", flag, min, max, text->c_str()));
  return v;
}

double Options::Number(const char* flag, double fallback, double min, double max) const {
  const std::optional<std::string> text = Get(flag);
  if (!text) return fallback;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text->c_str(), &end);
  if (text->empty() || *end != '\0' || errno != 0 || !(v >= min && v <= max))
    throw UsageError(Format("%s needs a number from %g to %g, not '%s'", flag, min, max, text->c_str()));
  return v;
}

int Main(const char* name, const char* usage, const std::function<int()>& body) {
  // A child that dies must show up as a write error, not kill us silently.
  std::signal(SIGPIPE, SIG_IGN);
  // Line-buffered, so that progress shows when the output goes to a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return body();
  } catch (const HelpRequested&) {
    std::fputs(usage, stdout);
    return 0;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\n\n%s", name, e.what(), usage);
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: FAILED: %s\n", name, e.what());
    return 1;
  }
}

}  // namespace kelo::bench
