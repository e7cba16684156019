#include "host/shell_prompt.h"

// readline.h uses FILE without including stdio.h.
#include <cstdio>

#include <readline/history.h>
#include <readline/readline.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/shell_parse.h"
#include "host/shell_text.h"
#include "platform/secret.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

// Readline asks for the candidates of the word being completed one at a time.
std::vector<std::string> g_candidates;
std::size_t g_next = 0;

char* NextCandidate(const char* /*text*/, int state) {
  if (state == 0) g_next = 0;
  return g_next < g_candidates.size() ? strdup(g_candidates[g_next++].c_str()) : nullptr;
}

char** CompleteAtPrompt(const char* text, int start, int /*end*/) {
  rl_attempted_completion_over = 1;  // never fall back to file names
  ShellCompletion c = CompleteShellWord(std::string_view(rl_line_buffer, static_cast<std::size_t>(start)), text);
  g_candidates = std::move(c.words);
  if (c.valueFollows) rl_completion_append_character = '\0';
  return rl_completion_matches(text, NextCandidate);
}

std::string HistoryFile() {
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.kelo_ca_history" : std::string();
}

void SetUpPrompt() {
  rl_readline_name = "kelo-ca";
  rl_attempted_completion_function = CompleteAtPrompt;
  rl_completer_word_break_characters = " \t";
  rl_variable_bind("completion-ignore-case", "on");
  using_history();
  stifle_history(1000);
}

// One line typed at the prompt; readline's own copies are wiped. False at
// end of input.
bool Prompt(platform::SecretString& line) {
  char* raw = readline("kelo-ca> ");
  if (!raw) {
    std::printf("\n");
    return false;
  }
  line.assign(raw);
  platform::SecureWipe(raw, std::strlen(raw));
  std::free(raw);
  if (rl_line_buffer) platform::SecureWipe(rl_line_buffer, std::strlen(rl_line_buffer));
  return true;
}

}  // namespace

int RunInteractive(CKeloCAActiveXCtrl& ctl) {
  ShellVars vars;
  const std::string historyFile = HistoryFile();
  SetUpPrompt();
  if (!historyFile.empty()) read_history(historyFile.c_str());
  std::printf("kelo-ca shell: one control for this session. help lists the methods, Tab completes.\n");
  for (platform::SecretString line; Prompt(line);) {
    if (std::string entry = HistoryEntry(line.str()); !entry.empty()) add_history(entry.c_str());
    ShellLine parsed;
    std::string error;
    if (!ParseShellLine(line.str(), vars, parsed, error)) {
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

}  // namespace kelo
