// HKEY_CURRENT_USER of this process redirected to a fresh key of its own.
#include <windows.h>

#include <random>
#include <string>

#include "tests/scoped_user_modules.h"

namespace kelo::test {

struct ScopedUserModules::State {
  std::wstring name;
  HKEY key = nullptr;
};

ScopedUserModules::ScopedUserModules() : state_(std::make_unique<State>()) {
  state_->name = L"Software\\Kelo CA Tests\\" + std::to_wstring(std::random_device()());
  if (RegCreateKeyExW(HKEY_CURRENT_USER, state_->name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &state_->key,
                      nullptr) == ERROR_SUCCESS)
    RegOverridePredefKey(HKEY_CURRENT_USER, state_->key);
}

ScopedUserModules::~ScopedUserModules() {
  if (state_->key == nullptr) return;
  RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
  RegCloseKey(state_->key);
  RegDeleteTreeW(HKEY_CURRENT_USER, state_->name.c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Kelo CA Tests");  // only when no other test holds one
}

}  // namespace kelo::test
