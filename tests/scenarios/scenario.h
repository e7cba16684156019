// Token-method scenarios shared by two runners: the portable facade (Linux)
// and the COM server through IDispatch (Windows, under Wine). Both run the
// same file against the mock modules with the same setup, so a difference
// between the two call paths shows up as a failing line. The file format is
// described at the top of token_scenarios.txt.
#ifndef KELO_TESTS_SCENARIOS_SCENARIO_H
#define KELO_TESTS_SCENARIOS_SCENARIO_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/mock_api.h"

namespace kelo::scenario {

// An argument or expected value as written: a literal or a variable
// (with an optional integer offset: $sid+1).
struct Term {
  enum class Kind { Int, String, Var };
  Kind kind = Kind::Int;
  std::int64_t number = 0;
  std::string text;  // the string, or the variable's name
  std::int64_t offset = 0;
};

struct Expectation {
  enum class Kind { Capture, Equal, NotEqual, Match, Fails };
  Kind kind = Kind::Equal;
  Term value;         // Equal, NotEqual
  std::string name;   // Capture: variable; Match: the pattern; Fails: the status name
  int badParam = -1;  // Fails: the argument to blame, -1 when none is named
};

struct Step {
  int line = 0;
  std::string method;
  std::vector<Term> args;
  std::vector<Expectation> expect;
};

// Mock setup, applied to freshly reset modules before the first call.
struct SetupLine {
  int line = 0;
  std::vector<std::string> words;  // the directive and its operands
};

struct Scenario {
  std::string name;
  std::string file;
  int line = 0;
  std::vector<SetupLine> setup;
  std::vector<Step> steps;
};

// Reads a scenario file; throws std::runtime_error("file:line: reason") for
// a line it cannot take.
std::vector<Scenario> LoadScenarios(const std::string& path);
// The runners' list: the file the build names, a test failure when it cannot
// be read.
std::vector<Scenario> AllScenarios();

// An argument as handed to a runner.
struct CallArg {
  bool isString = false;
  std::int64_t number = 0;
  std::string text;
};

// What a call came back with.
struct Outcome {
  std::int32_t hr = 0;  // 0 when the method ran
  bool isString = false;
  std::int64_t number = 0;
  std::string text;
  int badParam = -1;  // declaration position of the argument to blame, -1 for none
};

class Caller {
 public:
  virtual ~Caller() = default;
  virtual Outcome Call(const std::string& method, const std::vector<CallArg>& args) = 0;
};

// Resets the three mock modules and sets them up as the scenario says.
// Returns an error message, empty on success.
std::string ApplySetup(const Scenario& scenario, test::MockApi (&mock)[3]);

// Runs the scenario's calls in order; one message per unmet expectation.
std::vector<std::string> RunSteps(const Scenario& scenario, Caller& caller);

// A scenario name usable as a test name.
std::string TestName(const Scenario& scenario);

// GoogleTest shows a scenario by its name and place.
inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name << " (" << s.file << ":" << s.line << ")"; }

}  // namespace kelo::scenario

#endif
