#include "csp/nss/nss_password.h"

#include <pk11pub.h>
#include <secport.h>

#include <string>

#include "csp/dialogs.h"
#include "platform/wipe.h"

namespace kelo::csp::nss {
namespace {

char* AskPassword(PK11SlotInfo* slot, PRBool /*retry*/, void* arg) {
  // Only our own lookups pass a prompt; anything else NSS does on its own
  // gets no password rather than an unexpected dialog.
  auto* prompt = static_cast<PasswordPrompt*>(arg);
  if (prompt == nullptr || prompt->cancelled || prompt->attempts >= PasswordPrompt::kMaxAttempts) return nullptr;
  ++prompt->attempts;
  const char* token = slot != nullptr ? PK11_GetTokenName(slot) : nullptr;
  std::string password;
  if (!AskStorePassword(token != nullptr ? token : "", password)) {
    prompt->cancelled = true;
    platform::SecureWipe(password);
    return nullptr;
  }
  // NSS wipes and frees the copy after use.
  char* copy = PORT_Strdup(password.c_str());
  platform::SecureWipe(password);
  return copy;
}

}  // namespace

void InstallPasswordCallback() { PK11_SetPasswordFunc(AskPassword); }

}  // namespace kelo::csp::nss
