#include "host/shell.h"

// readline.h uses FILE without including stdio.h.
#include <cstdio>

#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "host/result_text.h"
#include "host/serve.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

const char kShellUsage[] =
    "Usage: kelo-ca shell [SCRIPT]\n"
    "\n"
    "Calls the control's methods one line at a time on one control, at a prompt\n"
    "(history, Tab completes method and parameter names) or from SCRIPT or a\n"
    "non-terminal stdin, where each command is echoed before its result.\n"
    "\n"
    "  Method arg ...      e.g.  Login $sid 1234   Sign $sid $_ 0 \"616263\"\n"
    "  name=value          an argument by parameter name: strUserPin=1234\n"
    "  \"text\"              a string; \\\" \\\\ \\n \\r \\t inside\n"
    "  $sid  $_            what the last ConnectToken returned; the last result\n"
    "  help [Method]       the methods and their parameters\n"
    "  quit, exit          end (so does end of input)\n"
    "  # ...               a comment\n"
    "\n"
    "Results are shown as the control returns them, with the meaning of a\n"
    "result code: 1002  (wrong session identifier, or no token connected).\n"
    "Echoed lines show PINs as ****. For a method that takes a PIN or a\n"
    "plaintext only its name is kept in the history (~/.kelo_ca_history). A\n"
    "script stops with exit status 1 at the first line that cannot be parsed or\n"
    "names an unknown method.\n";

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool ContainsNoCase(std::string_view s, std::string_view part) {
  for (std::size_t j = 0; j + part.size() <= s.size(); ++j)
    if (EqualsNoCase(s.substr(j, part.size()), part)) return true;
  return false;
}

bool IsPinParam(const ParamInfo& p) { return ContainsNoCase(p.name, "pin"); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A word of the line. The text may hold a PIN, hence the wipe.
struct Word {
  std::string text;
  std::size_t quotedFrom = std::string::npos;  // where the first quoted character landed
  std::size_t eq = std::string::npos;          // first '=' before any quote
  Word() = default;
  Word(Word&& o) noexcept : text(std::move(o.text)), quotedFrom(o.quotedFrom), eq(o.eq) {}
  Word(const Word&) = delete;
  Word& operator=(const Word&) = delete;
  ~Word() { platform::SecureWipe(text); }
};

bool SplitWords(std::string_view line, std::vector<Word>& words, std::string& error) {
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) return true;
    Word w;
    // Reserved up front so that growing never leaves an unwiped copy behind.
    w.text.reserve(n - i);
    while (i < n && !IsBlank(line[i])) {
      char c = line[i];
      if (c != '"') {
        if (c == '=' && w.eq == std::string::npos && w.quotedFrom == std::string::npos) w.eq = w.text.size();
        w.text.push_back(c);
        ++i;
        continue;
      }
      if (w.quotedFrom == std::string::npos) w.quotedFrom = w.text.size();
      ++i;
      while (true) {
        if (i >= n) {
          error = "unterminated \"";
          return false;
        }
        c = line[i++];
        if (c == '"') break;
        if (c == '\\') {
          char e = i < n ? line[i++] : '\0';
          switch (e) {
            case '"': c = '"'; break;
            case '\\': c = '\\'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default:
              error = std::string("unknown escape \\") + (e ? std::string(1, e) : std::string()) +
                      " (known: \\\" \\\\ \\n \\r \\t)";
              return false;
          }
        }
        w.text.push_back(c);
      }
    }
    words.push_back(std::move(w));
  }
}

bool IsIdentifier(std::string_view s) {
  if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

bool IsIntegerLiteral(std::string_view s) {
  std::size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// An argument as typed. Quoted text is always a string; a bare integer is
// an integer unless the parameter is a string (so a PIN such as 0012 keeps
// its zeros); anything else is a string, and the control's coercion decides.
bool ArgValue(std::string_view text, bool quoted, const ParamInfo* param, const ShellVars& vars, Value& out,
              std::string& error) {
  if (!quoted && !text.empty() && text[0] == '$') {
    if (text == "$sid") {
      if (!vars.haveSid) {
        error = "$sid is not set yet: call ConnectToken first";
        return false;
      }
      out = Value::Int(vars.sid);
      return true;
    }
    if (text == "$_") {
      if (!vars.haveLast) {
        error = "$_ is not set yet: no call has returned";
        return false;
      }
      out = vars.last;
      return true;
    }
    // Not repeated when it may be a PIN that merely starts with '$'.
    error = "unknown variable " + (param && IsPinParam(*param) ? "in " + std::string(param->name) : std::string(text)) +
            " (known: $sid, $_); quote it for literal text";
    return false;
  }
  if (!quoted && IsIntegerLiteral(text) && !(param && param->type == VarType::BStr)) {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc() && end == text.data() + text.size()) {
      out = Value::Int(v);
      return true;
    }
  }
  out = Value::String(std::string(text));
  return true;
}

std::string ParamList(const MethodInfo& m) {
  std::string s;
  for (int i = 0; i < m.paramCount; ++i) {
    const ParamInfo& p = m.params[static_cast<std::size_t>(i)];
    if (i) s += ", ";
    s += p.name;
    s += ": ";
    s += VarTypeName(p.type);
  }
  return s;
}

std::string Signature(const MethodInfo& m) {
  return std::string(m.name) + "(" + ParamList(m) + ") -> " + VarTypeName(m.result);
}

bool ParseCall(const MethodInfo& m, std::vector<Word>& words, const ShellVars& vars, ShellLine& out,
               std::string& error) {
  std::vector<Value> positional;
  std::vector<std::optional<Value>> named(m.paramCount);
  bool anyNamed = false;
  for (std::size_t w = 1; w < words.size(); ++w) {
    const Word& word = words[w];
    std::string_view text = word.text;
    if (word.eq != std::string::npos && IsIdentifier(text.substr(0, word.eq))) {
      std::string_view name = text.substr(0, word.eq);
      int idx = FindParam(m, name);
      if (idx < 0) {
        error = std::string(m.name) + " has no parameter '" + std::string(name) + "' (" + ParamList(m) +
                "); quote the word if it is a value";
        return false;
      }
      auto& slot = named[static_cast<std::size_t>(idx)];
      if (slot) {
        error = std::string("parameter ") + m.params[static_cast<std::size_t>(idx)].name + " given twice";
        return false;
      }
      slot.emplace();
      if (!ArgValue(text.substr(word.eq + 1), word.quotedFrom != std::string::npos,
                    &m.params[static_cast<std::size_t>(idx)], vars, *slot, error))
        return false;
      anyNamed = true;
      continue;
    }
    std::size_t pos = positional.size();
    const ParamInfo* p = pos < m.paramCount ? &m.params[pos] : nullptr;
    Value v;
    if (!ArgValue(text, word.quotedFrom != std::string::npos, p, vars, v, error)) return false;
    positional.push_back(std::move(v));
  }
  out.kind = ShellLine::Kind::Call;
  out.method = &m;
  if (!anyNamed) {
    // The control itself reports a wrong count.
    out.args = std::move(positional);
    return true;
  }
  if (positional.size() > m.paramCount) {
    error = std::string(m.name) + " takes " + std::to_string(m.paramCount) + " parameters, got more";
    return false;
  }
  for (std::size_t i = 0; i < m.paramCount; ++i) {
    if (i < positional.size()) {
      if (named[i]) {
        error = std::string("parameter ") + m.params[i].name + " given twice";
        return false;
      }
      out.args.push_back(std::move(positional[i]));
    } else if (named[i]) {
      out.args.push_back(std::move(*named[i]));
    } else {
      error = std::string(m.name) + ": missing parameter " + m.params[i].name;
      return false;
    }
  }
  return true;
}

// Quoted in the shell's own syntax; other control characters and bytes that
// are not UTF-8 (a token's serial can hold anything) as \xHH.
std::string Quoted(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    switch (c) {
      case '"': q += "\\\""; break;
      case '\\': q += "\\\\"; break;
      case '\n': q += "\\n"; break;
      case '\r': q += "\\r"; break;
      case '\t': q += "\\t"; break;
      default: q += c;
    }
  }
  return TerminalSafe(q) + "\"";
}

// Results that are object handles or a session identifier: only a failure
// code gets a meaning.
bool ReturnsHandle(const MethodInfo& m) {
  return m.dispid == 1 || (m.dispid >= 9 && m.dispid <= 11);
}

bool TakesPin(const MethodInfo& m) {
  for (std::size_t i = 0; i < m.paramCount; ++i)
    if (IsPinParam(m.params[i])) return true;
  return false;
}

bool IsCommand(std::string_view word) {
  return EqualsNoCase(word, "help") || EqualsNoCase(word, "quit") || EqualsNoCase(word, "exit");
}

// A word of a line as typed, found the way SplitWords finds it but without
// failing: an unterminated quote runs to the end of the line.
struct RawWord {
  std::size_t begin = 0, end = 0;
  std::size_t eq = std::string_view::npos;  // first '=' before any quote
  std::string_view text(std::string_view line) const { return line.substr(begin, end - begin); }
};

std::vector<RawWord> RawWords(std::string_view line) {
  std::vector<RawWord> words;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) return words;
    RawWord w;
    w.begin = i;
    bool quoted = false;
    while (i < n && !IsBlank(line[i])) {
      if (line[i] == '"') {
        quoted = true;
        for (++i; i < n && line[i] != '"'; ++i)
          if (line[i] == '\\') ++i;
        if (i < n) ++i;
        continue;
      }
      if (line[i] == '=' && !quoted && w.eq == std::string_view::npos) w.eq = i;
      ++i;
    }
    w.end = std::min(i, n);
    words.push_back(w);
  }
}

// Wipes a line however its handling ends.
class WipedLine {
 public:
  WipedLine() = default;
  WipedLine(const WipedLine&) = delete;
  WipedLine& operator=(const WipedLine&) = delete;
  ~WipedLine() { platform::SecureWipe(s); }
  std::string s;
};

enum class ReadStatus { Line, End, TooLong };

// One line without its end, grown without leaving unwiped copies around.
ReadStatus ReadLine(std::FILE* f, std::string& line) {
  platform::SecureWipe(line);
  int c;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() >= kMaxRequestLine) {
      while ((c = std::getc(f)) != EOF && c != '\n') {
      }
      return ReadStatus::TooLong;
    }
    if (line.size() == line.capacity()) {
      std::string bigger;
      bigger.reserve(line.capacity() * 2 + 64);
      bigger.assign(line);
      platform::SecureWipe(line);
      line.swap(bigger);
    }
    line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any ? ReadStatus::Line : ReadStatus::End;
}

void PrintHelp(const MethodInfo* m) {
  if (m) {
    std::printf("%s%s\n", Signature(*m).c_str(), TakesSecret(*m) ? "   (only the name is kept in the history)" : "");
    return;
  }
  std::printf("Methods (names in any letter case; Tab completes them and name= forms):\n");
  for (const MethodInfo& x : kMethods) std::printf("  %s\n", Signature(x).c_str());
  std::printf("Commands: help [Method], quit, exit. kelo-ca shell --help explains the syntax.\n");
}

// Runs a parsed call and prints its result.
void RunCall(CKeloCAActiveXCtrl& ctl, ShellVars& vars, ShellLine& line) {
  CallResult r = ctl.Invoke(*line.method, line.args);
  std::printf("%s\n", FormatShellResult(*line.method, r).c_str());
  if (r.hr == kS_OK) {
    if (line.method->dispid == 1 && r.value.kind == Value::Kind::Int) {
      vars.haveSid = true;
      vars.sid = static_cast<std::int32_t>(r.value.i);
    }
    vars.SetLast(std::move(r.value));
  }
  platform::SecureWipe(r.value.s);
  std::fflush(stdout);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int RunScript(CKeloCAActiveXCtrl& ctl, std::FILE* in, const char* where) {
  ShellVars vars;
  WipedLine line;
  int lineNo = 0;
  while (true) {
    ReadStatus st = ReadLine(in, line.s);
    if (st == ReadStatus::End) return 0;
    ++lineNo;
    if (st == ReadStatus::TooLong) {
      std::fprintf(stderr, "kelo-ca shell: %s:%d: line longer than %zu bytes\n", where, lineNo, kMaxRequestLine);
      return 1;
    }
    ShellLine parsed;
    std::string error;
    bool ok = ParseShellLine(line.s, vars, parsed, error);
    if (ok && parsed.kind == ShellLine::Kind::Empty) continue;
    std::size_t first = line.s.find_first_not_of(" \t");
    std::printf("> %s\n", TerminalSafe(MaskedLine(std::string_view(line.s).substr(first))).c_str());
    std::fflush(stdout);
    if (!ok) {
      std::fprintf(stderr, "kelo-ca shell: %s:%d: %s\n", where, lineNo, error.c_str());
      return 1;
    }
    switch (parsed.kind) {
      case ShellLine::Kind::Quit: return 0;
      case ShellLine::Kind::Help: PrintHelp(parsed.method); break;
      case ShellLine::Kind::Call: RunCall(ctl, vars, parsed); break;
      case ShellLine::Kind::Empty: break;
    }
    std::fflush(stdout);
  }
}

// Tab completion: method names and commands as the first word, method names
// after help, parameter names (as name=) and variables after a method.
std::vector<std::string> g_candidates;
std::size_t g_next = 0;

char* NextCandidate(const char* text, int state) {
  if (state == 0) g_next = 0;
  while (g_next < g_candidates.size()) {
    const std::string& c = g_candidates[g_next++];
    if (StartsWithNoCase(c, text)) return strdup(c.c_str());
  }
  return nullptr;
}

char** Complete(const char* text, int start, int /*end*/) {
  rl_attempted_completion_over = 1;  // never fall back to file names
  g_candidates.clear();
  std::string_view before(rl_line_buffer, static_cast<std::size_t>(start));
  std::size_t b = before.find_first_not_of(" \t");
  std::string_view first;
  if (b != std::string_view::npos) {
    std::size_t e = before.find_first_of(" \t", b);
    first = before.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
  }
  bool firstWord = b == std::string_view::npos;
  if (firstWord || (EqualsNoCase(first, "help") && before.find_first_not_of(" \t", b + first.size()) ==
                                                        std::string_view::npos)) {
    for (const MethodInfo& m : kMethods) g_candidates.emplace_back(m.name);
    if (firstWord) g_candidates.insert(g_candidates.end(), {"help", "quit", "exit"});
  } else if (const MethodInfo* m = FindMethod(first)) {
    if (text[0] == '$') {
      g_candidates = {"$sid", "$_"};
    } else {
      for (int i = 0; i < m->paramCount; ++i) g_candidates.push_back(std::string(m->params[static_cast<std::size_t>(i)].name) + "=");
      rl_completion_append_character = '\0';  // the value follows the '=' directly
    }
  }
  return rl_completion_matches(text, NextCandidate);
}

int RunInteractive(CKeloCAActiveXCtrl& ctl) {
  ShellVars vars;
  std::string historyFile;
  if (const char* home = std::getenv("HOME"); home && *home) historyFile = std::string(home) + "/.kelo_ca_history";
  rl_readline_name = "kelo-ca";
  rl_attempted_completion_function = Complete;
  rl_completer_word_break_characters = " \t";
  rl_variable_bind("completion-ignore-case", "on");
  using_history();
  stifle_history(1000);
  if (!historyFile.empty()) read_history(historyFile.c_str());
  std::printf("kelo-ca shell: one control for this session. help lists the methods, Tab completes.\n");
  while (true) {
    WipedLine line;
    {
      char* raw = readline("kelo-ca> ");
      if (!raw) {
        std::printf("\n");
        break;
      }
      line.s = raw;
      platform::SecureWipe(raw, std::strlen(raw));
      std::free(raw);
      if (rl_line_buffer) platform::SecureWipe(rl_line_buffer, std::strlen(rl_line_buffer));
    }
    if (std::string entry = HistoryEntry(line.s); !entry.empty()) add_history(entry.c_str());
    ShellLine parsed;
    std::string error;
    if (!ParseShellLine(line.s, vars, parsed, error)) {
      std::printf("error: %s\n", error.c_str());
      continue;
    }
    if (parsed.kind == ShellLine::Kind::Quit) break;
    if (parsed.kind == ShellLine::Kind::Help) PrintHelp(parsed.method);
    if (parsed.kind == ShellLine::Kind::Call) RunCall(ctl, vars, parsed);
  }
  if (!historyFile.empty()) write_history(historyFile.c_str());
  clear_history();
  return 0;
}

}  // namespace

ShellVars::~ShellVars() { platform::SecureWipe(last.s); }

void ShellVars::SetLast(Value v) {
  platform::SecureWipe(last.s);
  last = std::move(v);
  haveLast = true;
}

ShellLine::~ShellLine() {
  for (Value& v : args) platform::SecureWipe(v.s);
}

bool TakesSecret(const MethodInfo& method) {
  for (std::size_t i = 0; i < method.paramCount; ++i)
    if (IsPinParam(method.params[i]) || ContainsNoCase(method.params[i].name, "plaintext")) return true;
  return false;
}

std::string MaskedLine(std::string_view line) {
  const std::vector<RawWord> words = RawWords(line);
  if (words.empty()) return std::string(line);
  const std::string_view first = words[0].text(line);
  const MethodInfo* m = FindMethod(first);
  if (!m) {
    if (IsCommand(first) || first[0] == '#') return std::string(line);
    return std::string(first) + (words.size() > 1 ? " ..." : "");
  }
  std::string out;
  std::size_t copied = 0;
  std::size_t positional = 0;
  for (std::size_t w = 1; w < words.size(); ++w) {
    const RawWord& word = words[w];
    int idx = -1;
    std::size_t valueFrom = word.begin;
    if (word.eq != std::string_view::npos && IsIdentifier(line.substr(word.begin, word.eq - word.begin))) {
      idx = FindParam(*m, line.substr(word.begin, word.eq - word.begin));
      valueFrom = word.eq + 1;
    } else if (positional < m->paramCount) {
      idx = static_cast<int>(positional++);
    }
    // An unknown name or a surplus word of a PIN method may well be the PIN.
    if (idx >= 0 ? IsPinParam(m->params[static_cast<std::size_t>(idx)]) : TakesPin(*m)) {
      out.append(line.substr(copied, valueFrom - copied));
      out += "****";
      copied = word.end;
    }
  }
  out.append(line.substr(copied));
  return out;
}

std::string HistoryEntry(std::string_view line) {
  const std::vector<RawWord> words = RawWords(line);
  if (words.empty()) return {};
  const std::string_view first = words[0].text(line);
  if (EqualsNoCase(first, "help")) return std::string(line);
  const MethodInfo* m = FindMethod(first);
  if (!m) return {};
  return TakesSecret(*m) ? std::string(m->name) : std::string(line);
}

bool ParseShellLine(std::string_view line, const ShellVars& vars, ShellLine& out, std::string& error) {
  out.kind = ShellLine::Kind::Empty;
  out.method = nullptr;
  out.args.clear();
  std::size_t b = line.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos || line[b] == '#') return true;
  std::vector<Word> words;
  if (!SplitWords(line, words, error)) return false;
  const std::string& cmd = words[0].text;
  if (EqualsNoCase(cmd, "quit") || EqualsNoCase(cmd, "exit")) {
    if (words.size() > 1) {
      error = cmd + " takes no arguments";
      return false;
    }
    out.kind = ShellLine::Kind::Quit;
    return true;
  }
  if (EqualsNoCase(cmd, "help")) {
    if (words.size() > 2) {
      error = "help takes at most one method name";
      return false;
    }
    if (words.size() == 2) {
      out.method = FindMethod(words[1].text);
      if (!out.method) {
        error = "unknown method '" + words[1].text + "' (help lists them)";
        return false;
      }
    }
    out.kind = ShellLine::Kind::Help;
    return true;
  }
  const MethodInfo* m = FindMethod(cmd);
  if (!m) {
    error = "unknown method '" + cmd + "' (help lists them)";
    return false;
  }
  return ParseCall(*m, words, vars, out, error);
}

std::string FormatShellResult(const MethodInfo& method, const CallResult& r) {
  if (r.hr != kS_OK) {
    if (!r.message.empty()) return "error: " + r.message;
    char buf[48];
    std::snprintf(buf, sizeof buf, "error: automation status 0x%08X", static_cast<unsigned>(r.hr));
    return buf;
  }
  std::string text;
  const char* meaning = nullptr;
  if (r.value.kind == Value::Kind::String) {
    text = Quoted(r.value.s);
    // The serial methods answer a failure with the code as text.
    if ((method.dispid == 5 || method.dispid == 26) && IsIntegerLiteral(r.value.s) && r.value.s.size() <= 5) {
      int code = std::atoi(r.value.s.c_str());
      if (code >= 1001) meaning = ResultCodeMeaning(code);
    }
  } else if (r.value.kind == Value::Kind::Int) {
    text = std::to_string(r.value.i);
    auto code = static_cast<std::int32_t>(r.value.i);
    bool onlyFailure = ReturnsHandle(method);
    if (code == r.value.i && (!onlyFailure || code >= 1001) && (code != 1 || method.dispid == 24))
      meaning = ResultCodeMeaning(code);
  } else {
    text = "(no value)";
  }
  if (meaning) text += std::string("  (") + meaning + ")";
  return text;
}

int RunShell(int argc, char** argv) {
  const char* script = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kShellUsage, stdout);
      return 0;
    }
    if (argv[i][0] == '-' || script) {
      std::fprintf(stderr, "kelo-ca shell: unexpected argument '%s' (see kelo-ca shell --help)\n", argv[i]);
      return 2;
    }
    script = argv[i];
  }
  std::unique_ptr<std::FILE, FileCloser> file;
  if (script) {
    file.reset(std::fopen(script, "r"));
    if (!file) {
      std::fprintf(stderr, "kelo-ca shell: cannot open '%s': %s\n", script, std::strerror(errno));
      return 1;
    }
  }
  CKeloCAActiveXCtrl ctl;
  if (file) return RunScript(ctl, file.get(), script);
  if (isatty(STDIN_FILENO)) return RunInteractive(ctl);
  return RunScript(ctl, stdin, "stdin");
}

}  // namespace kelo
