// Password prompts for a protected database: NSS asks through the callback
// installed here, which puts the question to the user via AskStorePassword.
#ifndef KELO_CSP_NSS_NSS_PASSWORD_H
#define KELO_CSP_NSS_NSS_PASSWORD_H

namespace kelo::csp::nss {

// State of one key lookup, passed to NSS as its "wincx" argument. NSS asks
// again after each wrong password; the prompt stops after kMaxAttempts
// answers or the first cancellation, so a lookup always ends.
struct PasswordPrompt {
  static constexpr int kMaxAttempts = 3;
  int attempts = 0;
  bool cancelled = false;
};

// Installs the callback (NSS_Initialize resets it, so once per start).
void InstallPasswordCallback();

}  // namespace kelo::csp::nss

#endif
