#include "tests/scenarios/scenario.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <stdexcept>

#include "control/hresult.h"

namespace kelo::scenario {
namespace {

// Status names a scenario may expect.
const std::map<std::string, std::int32_t>& StatusNames() {
  static const std::map<std::string, std::int32_t> names = {
      {"E_UNEXPECTED", kE_UNEXPECTED},
      {"E_OUTOFMEMORY", kE_OUTOFMEMORY},
      {"DISP_E_MEMBERNOTFOUND", kDISP_E_MEMBERNOTFOUND},
      {"DISP_E_TYPEMISMATCH", kDISP_E_TYPEMISMATCH},
      {"DISP_E_UNKNOWNNAME", kDISP_E_UNKNOWNNAME},
      {"DISP_E_OVERFLOW", kDISP_E_OVERFLOW},
      {"DISP_E_BADPARAMCOUNT", kDISP_E_BADPARAMCOUNT},
      {"DISP_E_PARAMNOTOPTIONAL", kDISP_E_PARAMNOTOPTIONAL},
  };
  return names;
}

std::string Hex32(std::int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s.size() > 80 ? s.substr(0, 77) + "..." : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A cursor over one line of the file.
class LineParser {
 public:
  LineParser(std::string text, std::string where) : s_(std::move(text)), where_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& why) const {
    throw std::runtime_error(where_ + ": " + why + " (at column " + std::to_string(pos_ + 1) + ")");
  }
  void SkipSpace() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool AtEnd() {
    SkipSpace();
    return pos_ >= s_.size();
  }
  bool Take(const char* token) {
    SkipSpace();
    const std::string t(token);
    if (s_.compare(pos_, t.size(), t) != 0) return false;
    pos_ += t.size();
    return true;
  }
  std::string Identifier() {
    SkipSpace();
    std::size_t b = pos_;
    while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
    if (b == pos_) Fail("name expected");
    return s_.substr(b, pos_ - b);
  }
  std::int64_t Integer() {
    SkipSpace();
    std::size_t b = pos_;
    if (pos_ < s_.size() && (s_[pos_] == '-' || s_[pos_] == '+')) ++pos_;
    while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    const std::string digits = s_.substr(b, pos_ - b);
    if (digits.empty() || digits == "-" || digits == "+") Fail("integer expected");
    try {
      return std::stoll(digits);
    } catch (const std::exception&) {
      Fail("integer out of range");
    }
  }
  std::string Quoted() {
    SkipSpace();
    if (pos_ >= s_.size() || s_[pos_] != '"') Fail("string expected");
    ++pos_;
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) Fail("unfinished escape");
      char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case '0': out += '\0'; break;
        case 'x': {
          if (pos_ + 2 > s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[pos_])) ||
              !std::isxdigit(static_cast<unsigned char>(s_[pos_ + 1])))
            Fail("\\x needs two hex digits");
          out += static_cast<char>(std::stoi(s_.substr(pos_, 2), nullptr, 16));
          pos_ += 2;
          break;
        }
        default: Fail(std::string("unknown escape \\") + e);
      }
    }
    if (pos_ >= s_.size()) Fail("unterminated string");
    ++pos_;
    return out;
  }
  Term ParseTerm() {
    SkipSpace();
    Term t;
    if (pos_ < s_.size() && s_[pos_] == '"') {
      t.kind = Term::Kind::String;
      t.text = Quoted();
    } else if (pos_ < s_.size() && s_[pos_] == '$') {
      ++pos_;
      t.kind = Term::Kind::Var;
      t.text = Identifier();
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) t.offset = Integer();
    } else {
      t.kind = Term::Kind::Int;
      t.number = Integer();
    }
    return t;
  }
  std::string Rest() {
    SkipSpace();
    std::string r = s_.substr(pos_);
    pos_ = s_.size();
    while (!r.empty() && std::isspace(static_cast<unsigned char>(r.back()))) r.pop_back();
    return r;
  }

 private:
  std::string s_;
  std::string where_;
  std::size_t pos_ = 0;
};

Step ParseStep(LineParser& p, int line) {
  Step step;
  step.line = line;
  step.method = p.Identifier();
  if (!p.Take("(")) p.Fail("'(' expected after the method name");
  if (!p.Take(")")) {
    do {
      step.args.push_back(p.ParseTerm());
    } while (p.Take(","));
    if (!p.Take(")")) p.Fail("',' or ')' expected");
  }
  while (!p.AtEnd()) {
    Expectation e;
    if (p.Take("=>")) {
      e.kind = Expectation::Kind::Capture;
      if (!p.Take("$")) p.Fail("variable expected after =>");
      e.name = p.Identifier();
    } else if (p.Take("==")) {
      e.kind = Expectation::Kind::Equal;
      e.value = p.ParseTerm();
    } else if (p.Take("!=")) {
      e.kind = Expectation::Kind::NotEqual;
      e.value = p.ParseTerm();
    } else if (p.Take("!!")) {
      e.kind = Expectation::Kind::Fails;
      e.name = p.Identifier();
      if (!StatusNames().count(e.name)) p.Fail("unknown status " + e.name);
      if (p.Take("arg")) e.badParam = static_cast<int>(p.Integer());
    } else if (p.Take("~")) {
      e.kind = Expectation::Kind::Match;
      e.name = p.Rest();
      if (e.name.empty()) p.Fail("pattern expected after ~");
      try {
        std::regex check(e.name);
      } catch (const std::regex_error&) {
        p.Fail("bad pattern " + e.name);
      }
    } else {
      p.Fail("=>, ==, !=, ~ or !! expected");
    }
    step.expect.push_back(std::move(e));
  }
  return step;
}

bool IsSetupDirective(const std::string& word) {
  return word == "token" || word == "slot" || word == "pins" || word == "lock" || word == "fail";
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t b = i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i > b) out.push_back(text.substr(b, i - b));
  }
  return out;
}

std::string Describe(const Outcome& o) {
  if (o.hr != 0) return "status " + Hex32(o.hr) + (o.badParam >= 0 ? " arg " + std::to_string(o.badParam) : "");
  return o.isString ? Quote(o.text) : std::to_string(o.number);
}

std::string Describe(const CallArg& a) { return a.isString ? Quote(a.text) : std::to_string(a.number); }

// A variable's value, or an argument's.
using Binding = CallArg;

bool Resolve(const Term& t, const std::map<std::string, Binding>& vars, CallArg& out, std::string& error) {
  switch (t.kind) {
    case Term::Kind::Int: out = {false, t.number, {}}; return true;
    case Term::Kind::String: out = {true, 0, t.text}; return true;
    case Term::Kind::Var: {
      auto it = vars.find(t.text);
      if (it == vars.end()) {
        error = "$" + t.text + " is not set";
        return false;
      }
      out = it->second;
      if (t.offset != 0) {
        if (out.isString) {
          error = "$" + t.text + " holds a string: no offset";
          return false;
        }
        out.number += t.offset;
      }
      return true;
    }
  }
  return false;
}

bool SameValue(const CallArg& expected, const Outcome& o) {
  if (expected.isString != o.isString) return false;
  return expected.isString ? expected.text == o.text : expected.number == o.number;
}

}  // namespace

std::vector<Scenario> LoadScenarios(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  std::vector<Scenario> out;
  std::string text;
  int line = 0;
  while (std::getline(in, text)) {
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const std::string where = path + ":" + std::to_string(line);
    LineParser p(text, where);
    if (p.AtEnd() || p.Take("#")) continue;
    const std::vector<std::string> words = Words(text);
    if (words[0] == "scenario") {
      if (words.size() != 2) p.Fail("scenario takes one name");
      Scenario s;
      s.name = words[1];
      s.file = path;
      s.line = line;
      out.push_back(std::move(s));
      continue;
    }
    if (out.empty()) p.Fail("a scenario line must come first");
    Scenario& s = out.back();
    if (IsSetupDirective(words[0])) {
      if (!s.steps.empty()) p.Fail("setup after the first call");
      s.setup.push_back({line, words});
      continue;
    }
    s.steps.push_back(ParseStep(p, line));
  }
  return out;
}

std::string ApplySetup(const Scenario& scenario, test::MockApi (&mock)[3]) {
  for (auto& m : mock) m.reset();
  for (const SetupLine& l : scenario.setup) {
    const auto& w = l.words;
    const std::string where = scenario.file + ":" + std::to_string(l.line) + ": ";
    auto arity = [&](std::size_t n) { return w.size() == n; };
    if (w.size() < 2 || w[1].size() != 1 || w[1][0] < '0' || w[1][0] > '2') return where + "module 0, 1 or 2 expected";
    test::MockApi& m = mock[w[1][0] - '0'];
    try {
      if (w[0] == "token" && arity(3)) {
        // As MOCKP11_TOKENS makes them: key pair id = slot number, serial 01 slot.
        const unsigned long slot = m.add_slot(w[2].c_str(), 1);
        const auto n = static_cast<unsigned char>(slot);
        m.KeyPair(slot, n, {0x01, n});
      } else if (w[0] == "slot" && arity(3)) {
        m.add_slot(w[2].c_str(), 0);
      } else if (w[0] == "pins" && arity(5)) {
        m.set_pins(std::stoul(w[2]), w[3].c_str(), w[4].c_str());
      } else if (w[0] == "lock" && arity(4) && (w[3] == "user" || w[3] == "so")) {
        m.lock_pin(std::stoul(w[2]), w[3] == "user" ? 1 : 0, 1);
      } else if (w[0] == "fail" && arity(5)) {
        m.fail(w[2].c_str(), std::stoul(w[3]), std::stoul(w[4], nullptr, 0));
      } else {
        return where + "malformed " + w[0] + " line";
      }
    } catch (const std::exception&) {
      return where + "number expected";
    }
  }
  return {};
}

std::vector<std::string> RunSteps(const Scenario& scenario, Caller& caller) {
  std::vector<std::string> failures;
  std::map<std::string, Binding> vars;
  for (const Step& step : scenario.steps) {
    const std::string where = scenario.file + ":" + std::to_string(step.line) + ": ";
    std::vector<CallArg> args;
    std::string error;
    for (const Term& t : step.args) {
      CallArg a;
      if (!Resolve(t, vars, a, error)) break;
      args.push_back(std::move(a));
    }
    if (!error.empty()) {
      // Later steps depend on what this one should have given.
      failures.push_back(where + error + "; scenario stopped");
      return failures;
    }
    std::string call = step.method + "(";
    for (std::size_t i = 0; i < args.size(); ++i) call += (i ? ", " : "") + Describe(args[i]);
    call += ")";

    const Outcome o = caller.Call(step.method, args);
    const std::string got = where + call + " gave " + Describe(o) + ": ";
    bool expectsFailure = false;
    for (const Expectation& e : step.expect) expectsFailure |= e.kind == Expectation::Kind::Fails;
    if (o.hr != 0 && !expectsFailure) {
      failures.push_back(got + "the call failed");
      continue;
    }
    for (const Expectation& e : step.expect) {
      switch (e.kind) {
        case Expectation::Kind::Fails: {
          const std::int32_t want = StatusNames().at(e.name);
          if (o.hr != want || (e.badParam >= 0 && o.badParam != e.badParam))
            failures.push_back(got + "expected " + e.name + " (" + Hex32(want) + ")" +
                               (e.badParam >= 0 ? " arg " + std::to_string(e.badParam) : ""));
          break;
        }
        case Expectation::Kind::Capture:
          vars[e.name] = {o.isString, o.number, o.text};
          break;
        case Expectation::Kind::Equal:
        case Expectation::Kind::NotEqual: {
          CallArg want;
          if (!Resolve(e.value, vars, want, error)) {
            failures.push_back(got + error);
            break;
          }
          const bool equal = SameValue(want, o);
          if (equal != (e.kind == Expectation::Kind::Equal))
            failures.push_back(got + (equal ? "expected anything but " : "expected ") + Describe(want));
          break;
        }
        case Expectation::Kind::Match: {
          const std::string text = o.isString ? o.text : std::to_string(o.number);
          if (!std::regex_match(text, std::regex(e.name))) failures.push_back(got + "expected to match " + e.name);
          break;
        }
      }
    }
  }
  return failures;
}

std::string TestName(const Scenario& scenario) {
  std::string out;
  for (char c : scenario.name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return out;
}

std::vector<Scenario> AllScenarios() {
  try {
    return LoadScenarios(KELO_SCENARIO_FILE);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
    return {};
  }
}

}  // namespace kelo::scenario
