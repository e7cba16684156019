// A private XDG_CONFIG_HOME.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/scoped_user_modules.h"
#include "tests/support/scoped_env.h"

namespace kelo::test {

struct ScopedUserModules::State {
  std::string dir;
  std::unique_ptr<ScopedEnv> xdg;
};

ScopedUserModules::ScopedUserModules() : state_(std::make_unique<State>()) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelo-user-modules-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) != nullptr) state_->dir = tmpl;
  // Without a directory the list is looked for where nothing can be.
  state_->xdg = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", state_->dir.empty() ? "/nonexistent" : state_->dir);
}

ScopedUserModules::~ScopedUserModules() {
  state_->xdg.reset();
  std::error_code ignored;
  if (!state_->dir.empty()) std::filesystem::remove_all(state_->dir, ignored);
}

}  // namespace kelo::test
