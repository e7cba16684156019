#include "tests/support/nss_fixture.h"

#include <string>
#include <system_error>
#include <vector>

#include "tests/support/child_process.h"

namespace kelo::test {

namespace fs = std::filesystem;

// bin/cached-nssdb.sh keeps the cache, so the shell tests share it too.
fs::path CachedNssFixture(bool passwordProtected) {
  std::vector<std::string> args = {KELO_CACHED_NSSDB};
  if (passwordProtected) args.insert(args.end(), {"--password", kNssFixturePassword});
  const ChildResult run = RunChild("/bin/bash", args, Environment::Inherited(), "", std::chrono::minutes(5));
  std::string home = run.out;
  while (!home.empty() && home.back() == '\n') home.pop_back();
  if (run.status != 0 || home.empty()) return {};
  return home;
}

bool CopyNssFixture(const fs::path& home, bool passwordProtected) {
  const fs::path from = CachedNssFixture(passwordProtected);
  if (from.empty()) return false;
  std::error_code ec;
  for (const char* part : {".pki", "fixture"}) {
    fs::copy(from / part, home / part, fs::copy_options::recursive, ec);
    if (ec) return false;
  }
  return true;
}

}  // namespace kelo::test
