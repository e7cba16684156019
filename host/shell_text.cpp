#include "host/shell_text.h"

#include <cstdio>
#include <cstdlib>

#include "common/result_codes.h"
#include "host/result_text.h"
#include "host/shell_words.h"

namespace kelo {
namespace {

using shell::RawWord;

// Result codes of failures start here; smaller numbers are handles,
// session identifiers, success or VerifyCertCRL's answer.
constexpr std::int32_t kFirstFailureCode = kErrLoadModule;

bool TakesPin(const MethodInfo& m) {
  for (std::size_t i = 0; i < m.paramCount; ++i)
    if (m.params[i].role == ParamRole::Pin) return true;
  return false;
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

std::string FailureText(const CallResult& r) {
  if (!r.message.empty()) return "error: " + r.message;
  char buf[48];
  std::snprintf(buf, sizeof buf, "error: automation status 0x%08X", static_cast<unsigned>(r.hr));
  return buf;
}

const char* NumberMeaning(const MethodInfo& m, std::int64_t value) {
  const auto code = static_cast<std::int32_t>(value);
  if (code != value) return nullptr;
  // A handle or a session identifier gets a meaning only when it is a failure code.
  const bool numberOfItsOwn = m.kind == ResultKind::SessionId || m.kind == ResultKind::Handle;
  if (numberOfItsOwn && code < kFirstFailureCode) return nullptr;
  // 1 is a result code only as VerifyCertCRL's fixed answer; from Verify,
  // say, it is just a number.
  if (code == kVerifyCertCrlAnswer && &m != FindMethod("VerifyCertCRL")) return nullptr;
  return ResultCodeMeaning(code);
}

// The serial methods answer a failure with the code as text.
const char* TextMeaning(const MethodInfo& m, const std::string& text) {
  if (m.kind != ResultKind::CodeText || !shell::IsIntegerLiteral(text) || text.size() > 5) return nullptr;
  const int code = std::atoi(text.c_str());
  return code >= kFirstFailureCode ? ResultCodeMeaning(code) : nullptr;
}

// Where the value of a word starts, and which parameter it is for (-1:
// none, an unknown name or a surplus word).
int ParamOfWord(const MethodInfo& m, std::string_view line, const RawWord& word, std::size_t& positional,
                std::size_t& valueFrom) {
  valueFrom = word.begin;
  if (word.eq != shell::kNoPos && shell::IsIdentifier(line.substr(word.begin, word.eq - word.begin))) {
    valueFrom = word.eq + 1;
    return FindParam(m, line.substr(word.begin, word.eq - word.begin));
  }
  return positional < m.paramCount ? static_cast<int>(positional++) : -1;
}

}  // namespace

std::string ParamList(const MethodInfo& m) {
  std::string s;
  for (std::size_t i = 0; i < m.paramCount; ++i) {
    if (i) s += ", ";
    s += m.params[i].name;
    s += ": ";
    s += VarTypeName(m.params[i].type);
  }
  return s;
}

std::string Signature(const MethodInfo& m) {
  return std::string(m.name) + "(" + ParamList(m) + ") -> " + VarTypeName(m.result);
}

std::string FormatShellResult(const MethodInfo& method, const CallResult& r) {
  if (r.hr != kS_OK) return FailureText(r);
  std::string text;
  const char* meaning = nullptr;
  if (r.value.kind == Value::Kind::String) {
    text = Quoted(r.value.s);
    meaning = TextMeaning(method, r.value.s);
  } else if (r.value.kind == Value::Kind::Int) {
    text = std::to_string(r.value.i);
    meaning = NumberMeaning(method, r.value.i);
  } else {
    text = "(no value)";
  }
  if (meaning) text += std::string("  (") + meaning + ")";
  return text;
}

bool TakesSecret(const MethodInfo& method) {
  for (std::size_t i = 0; i < method.paramCount; ++i)
    if (method.params[i].role != ParamRole::Plain) return true;
  return false;
}

std::string MaskedLine(std::string_view line) {
  const std::vector<RawWord> words = shell::RawWords(line);
  if (words.empty()) return std::string(line);
  const std::string_view first = words[0].text(line);
  const MethodInfo* m = FindMethod(first);
  if (!m) {
    if (shell::IsCommand(first) || first[0] == '#') return std::string(line);
    return std::string(first) + (words.size() > 1 ? " ..." : "");
  }
  std::string out;
  std::size_t copied = 0;
  std::size_t positional = 0;
  for (std::size_t w = 1; w < words.size(); ++w) {
    std::size_t valueFrom = 0;
    const int idx = ParamOfWord(*m, line, words[w], positional, valueFrom);
    // An unknown name or a surplus word of a PIN method may well be the PIN.
    if (idx >= 0 ? m->params[static_cast<std::size_t>(idx)].role == ParamRole::Pin : TakesPin(*m)) {
      out.append(line.substr(copied, valueFrom - copied));
      out += "****";
      copied = words[w].end;
    }
  }
  out.append(line.substr(copied));
  return out;
}

std::string HistoryEntry(std::string_view line) {
  const std::vector<RawWord> words = shell::RawWords(line);
  if (words.empty()) return {};
  const std::string_view first = words[0].text(line);
  if (EqualsNoCase(first, "help")) return std::string(line);
  const MethodInfo* m = FindMethod(first);
  if (!m) return {};
  return TakesSecret(*m) ? std::string(m->name) : std::string(line);
}

ShellCompletion CompleteShellWord(std::string_view before, std::string_view typed) {
  ShellCompletion c;
  std::vector<std::string> all;
  const std::size_t b = before.find_first_not_of(" \t");
  const bool firstWord = b == std::string_view::npos;
  std::string_view first;
  if (!firstWord) first = before.substr(b, before.find_first_of(" \t", b) - b);
  const bool afterHelp =
      !firstWord && EqualsNoCase(first, "help") && before.find_first_not_of(" \t", b + first.size()) == shell::kNoPos;
  if (firstWord || afterHelp) {
    for (const MethodInfo& m : kMethods) all.emplace_back(m.name);
    if (firstWord) all.insert(all.end(), {"help", "quit", "exit"});
  } else if (const MethodInfo* m = FindMethod(first)) {
    if (!typed.empty() && typed[0] == '$') {
      all = {"$sid", "$_"};
    } else {
      for (std::size_t i = 0; i < m->paramCount; ++i) all.push_back(std::string(m->params[i].name) + "=");
      c.valueFollows = true;
    }
  }
  for (std::string& w : all)
    if (shell::StartsWithNoCase(w, typed)) c.words.push_back(std::move(w));
  return c;
}

}  // namespace kelo
