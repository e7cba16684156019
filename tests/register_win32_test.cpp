// `kelo-ca register` / `unregister` on Windows: manifests in a temporary
// folder, keys under a scratch registry key, per user and for all users.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/browser_ids.h"
#include "host/register.h"

namespace fs = std::filesystem;
using kelo::Browser;

namespace {

const char* const kVendorKeys[] = {"Chromium", "Google\\Chrome", "Microsoft\\Edge", "Mozilla"};

class RegisterWin : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / ("kelo-register-" + std::to_string(::GetCurrentProcessId()));
    fs::create_directories(root_ / "app");
    env_.home = (root_ / "local").string();
    fs::create_directories(env_.home);
    env_.exe = (root_ / "app" / "kelo-ca.exe").string();
    env_.registryBase = "Software\\KeloRegisterTest" + std::to_string(::GetCurrentProcessId());
  }
  void TearDown() override {
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) ::RegDeleteTreeA(hive, env_.registryBase.c_str());
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  bool System() const { return GetParam(); }

  int Run(bool unregister, std::vector<std::string> args = {}) {
    if (System()) args.push_back("--system");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    const int rc = kelo::RunRegister(static_cast<int>(argv.size()), argv.data(), unregister, env_, out, err);
    EXPECT_EQ(err.str(), "");
    return rc;
  }

  // The default value of a browser's key, "" when the key is absent.
  std::string KeyTarget(int browser) const {
    const std::string key = env_.registryBase + "\\" + kVendorKeys[browser] + "\\NativeMessagingHosts\\" +
                            kelo::kNativeHostName;
    char value[1024] = {};
    DWORD size = sizeof value;
    const LSTATUS rc = ::RegGetValueA(System() ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, key.c_str(), nullptr,
                                      RRF_RT_REG_SZ, nullptr, value, &size);
    return rc == ERROR_SUCCESS ? value : "";
  }

  fs::path ManifestDir() const { return System() ? root_ / "app" : fs::path(env_.home) / "Kelo CA"; }

  fs::path root_;
  kelo::RegisterEnv env_;
};

TEST_P(RegisterWin, RegisterTwiceThenUnregisterLeavesNothingBehind) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Run(false), 0);
    for (int b = 0; b < 4; ++b) {
      const fs::path manifest = ManifestDir() / (std::string(kelo::kNativeHostName) + (b == 3 ? ".firefox.json" : ".json"));
      EXPECT_EQ(fs::path(KeyTarget(b)), manifest) << kVendorKeys[b];
      std::ifstream f(manifest);
      const nlohmann::json m = nlohmann::json::parse(f, nullptr, false);
      ASSERT_TRUE(m.is_object()) << manifest;
      EXPECT_EQ(m["path"], env_.exe);
      EXPECT_EQ(m[b == 3 ? "allowed_extensions" : "allowed_origins"].size(), 1u);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(ManifestDir()), {}), 2);
  }
  for (const kelo::ManifestStatus& s : kelo::RegisteredHosts(env_)) {
    if (s.system == System()) {
      EXPECT_EQ(s.state, kelo::ManifestStatus::State::kCurrent) << s.path;
    }
  }

  // The installer's manifests name the executable relative to their folder.
  if (System()) {
    std::ofstream(env_.exe) << "MZ";  // any file: only its identity counts
    const std::string shared = KeyTarget(0);
    nlohmann::json m = nlohmann::json::parse(std::ifstream(shared));
    m["path"] = "kelo-ca.exe";
    std::ofstream(shared) << m.dump();
    for (const kelo::ManifestStatus& s : kelo::RegisteredHosts(env_)) {
      if (s.system && s.path == shared) {
        EXPECT_EQ(s.state, kelo::ManifestStatus::State::kCurrent) << s.detail;
      }
    }
    fs::remove(env_.exe);
  }

  // The Chromium browsers share one manifest: it goes with the last key.
  ASSERT_EQ(Run(true, {"--browser", "chrome"}), 0);
  EXPECT_EQ(KeyTarget(1), "");
  EXPECT_NE(KeyTarget(0), "");
  EXPECT_TRUE(fs::exists(KeyTarget(0)));
  for (int round = 0; round < 2; ++round) ASSERT_EQ(Run(true), 0);
  for (int b = 0; b < 4; ++b) EXPECT_EQ(KeyTarget(b), "") << kVendorKeys[b];
  EXPECT_EQ(fs::exists(ManifestDir()), System());  // the per-user folder is ours alone
  if (System()) {
    EXPECT_EQ(std::distance(fs::directory_iterator(ManifestDir()), {}), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(PerUserAndSystem, RegisterWin, ::testing::Bool());

}  // namespace
