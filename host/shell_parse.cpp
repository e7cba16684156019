#include "host/shell_parse.h"

#include <charconv>
#include <optional>

#include "host/shell_text.h"
#include "host/shell_words.h"

namespace kelo {
namespace {

using shell::Word;

// $sid or $_.
bool VariableValue(std::string_view text, const ParamInfo* param, const ShellVars& vars, Value& out,
                   std::string& error) {
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
    out = vars.Last();
    return true;
  }
  // Not repeated when it may be a PIN that merely starts with '$'.
  const bool maybePin = param && param->role == ParamRole::Pin;
  error = "unknown variable " + (maybePin ? "in " + std::string(param->name) : std::string(text)) +
          " (known: $sid, $_); quote it for literal text";
  return false;
}

// An argument as typed. Quoted text is always a string; a bare integer is
// an integer unless the parameter is a string (so a PIN such as 0012 keeps
// its zeros); anything else is a string, and the control's coercion decides.
bool ArgValue(std::string_view text, bool quoted, const ParamInfo* param, const ShellVars& vars, Value& out,
              std::string& error) {
  if (!quoted && !text.empty() && text[0] == '$') return VariableValue(text, param, vars, out, error);
  if (!quoted && shell::IsIntegerLiteral(text) && !(param && param->type == VarType::BStr)) {
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

// The arguments of a call as given: by position, and by name in declaration order.
struct GivenArgs {
  std::vector<Value> positional;
  std::vector<std::optional<Value>> named;
  bool anyNamed = false;
};

bool NamedArg(const MethodInfo& m, const Word& word, const ShellVars& vars, GivenArgs& given, std::string& error) {
  const std::string_view text = word.text.str();
  const std::string_view name = text.substr(0, word.eq);
  const int idx = FindParam(m, name);
  if (idx < 0) {
    // On a method that takes a PIN the word may be one typed with '=': not repeated.
    error = std::string(m.name) + " has no parameter ";
    if (TakesSecret(m)) {
      error += "of that name";
    } else {
      error += '\'';
      error += name;
      error += '\'';
    }
    error += " (" + ParamList(m) + "); quote the word if it is a value";
    return false;
  }
  const auto at = static_cast<std::size_t>(idx);
  std::optional<Value>& slot = given.named[at];
  if (slot) {
    error = std::string("parameter ") + m.params[at].name + " given twice";
    return false;
  }
  slot.emplace();
  given.anyNamed = true;
  return ArgValue(text.substr(word.eq + 1), word.quoted(), &m.params[at], vars, *slot, error);
}

bool PositionalArg(const MethodInfo& m, const Word& word, const ShellVars& vars, GivenArgs& given,
                   std::string& error) {
  const std::size_t pos = given.positional.size();
  const ParamInfo* p = pos < m.paramCount ? &m.params[pos] : nullptr;
  Value v;
  if (!ArgValue(word.text.str(), word.quoted(), p, vars, v, error)) return false;
  given.positional.push_back(std::move(v));
  return true;
}

// Positional arguments first, then the named ones: every parameter exactly once.
bool Arrange(const MethodInfo& m, GivenArgs& given, std::vector<Value>& args, std::string& error) {
  if (given.positional.size() > m.paramCount) {
    error = std::string(m.name) + " takes " + std::to_string(m.paramCount) + " parameters, got more";
    return false;
  }
  for (std::size_t i = 0; i < m.paramCount; ++i) {
    if (i < given.positional.size()) {
      if (given.named[i]) {
        error = std::string("parameter ") + m.params[i].name + " given twice";
        return false;
      }
      args.push_back(std::move(given.positional[i]));
    } else if (given.named[i]) {
      args.push_back(std::move(*given.named[i]));
    } else {
      error = std::string(m.name) + ": missing parameter " + m.params[i].name;
      return false;
    }
  }
  return true;
}

bool ParseCall(const MethodInfo& m, const std::vector<Word>& words, const ShellVars& vars, ShellLine& out,
               std::string& error) {
  GivenArgs given;
  given.named.resize(m.paramCount);
  for (std::size_t w = 1; w < words.size(); ++w) {
    const Word& word = words[w];
    const bool named = word.eq != shell::kNoPos && shell::IsIdentifier(word.text.str().substr(0, word.eq));
    if (!(named ? NamedArg(m, word, vars, given, error) : PositionalArg(m, word, vars, given, error)))
      return false;
  }
  out.kind = ShellLine::Kind::Call;
  out.method = &m;
  if (!given.anyNamed) {
    // The control itself reports a wrong count.
    out.args = std::move(given.positional);
    return true;
  }
  return Arrange(m, given, out.args, error);
}

// help [Method]
bool ParseHelp(const std::vector<Word>& words, ShellLine& out, std::string& error) {
  if (words.size() > 2) {
    error = "help takes at most one method name";
    return false;
  }
  if (words.size() == 2) {
    out.method = FindMethod(words[1].text.str());
    if (!out.method) {
      error = "unknown method '" + words[1].text.str() + "' (help lists them)";
      return false;
    }
  }
  out.kind = ShellLine::Kind::Help;
  return true;
}

}  // namespace

void ShellVars::SetLast(Value v) {
  last_ = std::move(v);
  haveLast = true;
}

bool ParseShellLine(std::string_view line, const ShellVars& vars, ShellLine& out, std::string& error) {
  out.kind = ShellLine::Kind::Empty;
  out.method = nullptr;
  out.args.clear();
  const std::size_t b = line.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos || line[b] == '#') return true;
  std::vector<Word> words;
  if (!shell::SplitWords(line, words, error)) return false;
  const std::string& cmd = words[0].text.str();
  if (EqualsNoCase(cmd, "quit") || EqualsNoCase(cmd, "exit")) {
    if (words.size() > 1) {
      error = cmd + " takes no arguments";
      return false;
    }
    out.kind = ShellLine::Kind::Quit;
    return true;
  }
  if (EqualsNoCase(cmd, "help")) return ParseHelp(words, out, error);
  const MethodInfo* m = FindMethod(cmd);
  if (!m) {
    error = "unknown method '" + cmd + "' (help lists them)";
    return false;
  }
  return ParseCall(*m, words, vars, out, error);
}

}  // namespace kelo
