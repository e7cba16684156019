// `kelo-ca register` / `unregister` against a temporary home and system root,
// and the extension id that the manifests name.
#include "host/register.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/browser_ids.h"

namespace fs = std::filesystem;
using kelo::Browser;
using kelo::ManifestStatus;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

unsigned Mode(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// The unpacked extension's id: SHA-256 of the DER public key in "key", first
// 32 hex digits, written with the letters a-p.
TEST(ExtensionId, ConstantMatchesTheManifestKey) {
  nlohmann::json manifest =
      nlohmann::json::parse(ReadFile(fs::path(KELO_EXTENSION_DIR) / "chromium" / "manifest.json"));
  EXPECT_EQ(manifest["manifest_version"], 3);
  EXPECT_NE(std::find(manifest["permissions"].begin(), manifest["permissions"].end(), "nativeMessaging"),
            manifest["permissions"].end());

  std::string b64 = manifest.at("key").get<std::string>();
  ASSERT_EQ(b64.size() % 4, 0u);
  std::vector<unsigned char> der(b64.size() / 4 * 3);
  int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
  ASSERT_GT(n, 0);
  std::size_t len = static_cast<std::size_t>(n) - static_cast<std::size_t>(std::count(b64.end() - 2, b64.end(), '='));
  der.resize(len);

  // The browser hashes the SubjectPublicKeyInfo: it must parse as one and use
  // every byte (a PKCS#1 key or trailing junk would give another id).
  const unsigned char* p = der.data();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())),
                                                          &EVP_PKEY_free);
  ASSERT_TRUE(key) << "\"key\" is not a DER SubjectPublicKeyInfo";
  EXPECT_EQ(static_cast<std::size_t>(p - der.data()), der.size());
  EXPECT_GE(EVP_PKEY_get_bits(key.get()), 2048);

  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  ASSERT_EQ(EVP_Digest(der.data(), der.size(), md, &mdLen, EVP_sha256(), nullptr), 1);
  std::string id;
  for (unsigned i = 0; i < 16; ++i) {
    id += static_cast<char>('a' + (md[i] >> 4));
    id += static_cast<char>('a' + (md[i] & 0x0f));
  }
  EXPECT_EQ(id, kelo::kChromiumExtensionId);
}

struct Result {
  int rc;
  std::string out;
  std::string err;
};

class Register : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "kelo-register-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    tmp_ = tmpl;
    env_.home = (tmp_ / "home").string();
    env_.sysroot = (tmp_ / "root").string();
    env_.exe = (tmp_ / "bin" / "kelo-ca").string();
    WriteFile(env_.exe, "not really an executable");
    fs::create_directories(env_.home);
    fs::create_directories(env_.sysroot);
  }
  void TearDown() override { fs::remove_all(tmp_); }

  Result Run(std::vector<std::string> args, bool unregister = false) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::ostringstream out, err;
    int rc = kelo::RunRegister(static_cast<int>(argv.size()), argv.data(), unregister, env_, out, err);
    return {rc, out.str(), err.str()};
  }
  fs::path UserFile(const char* dir) const { return fs::path(env_.home) / dir / "org.kelo.ca_token.json"; }

  // Every file below the temporary directory except our fake executable.
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(tmp_)) {
      if (e.is_regular_file() && e.path() != env_.exe) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  fs::path tmp_;
  kelo::RegisterEnv env_;
};

struct Location {
  Browser browser;
  const char* userDir;
  const char* systemDir;
};
const Location kLocations[] = {
    {Browser::kChromium, ".config/chromium/NativeMessagingHosts", "etc/chromium/native-messaging-hosts"},
    {Browser::kChrome, ".config/google-chrome/NativeMessagingHosts", "etc/opt/chrome/native-messaging-hosts"},
    {Browser::kEdge, ".config/microsoft-edge/NativeMessagingHosts", "etc/opt/edge/native-messaging-hosts"},
    {Browser::kFirefox, ".mozilla/native-messaging-hosts", "usr/lib/mozilla/native-messaging-hosts"},
};

TEST_F(Register, WritesOneManifestPerBrowserPerUserOrForAllUsers) {
  for (bool system : {false, true}) {
    SCOPED_TRACE(system ? "--system" : "per user");
    Result r = system ? Run({"--system"}) : Run({});
    ASSERT_EQ(r.rc, 0) << r.err;
    for (const Location& l : kLocations) {
      SCOPED_TRACE(l.userDir);
      fs::path file = system ? fs::path(env_.sysroot) / l.systemDir / "org.kelo.ca_token.json" : UserFile(l.userDir);
      EXPECT_EQ(file.string(), kelo::ManifestPath(l.browser, system, env_));
      EXPECT_NE(r.out.find("wrote " + file.string() + "\n"), std::string::npos) << r.out;
      ASSERT_TRUE(fs::is_regular_file(file));
      EXPECT_EQ(Mode(file), 0644u);
      EXPECT_EQ(Mode(file.parent_path()), 0755u);

      nlohmann::json m = nlohmann::json::parse(ReadFile(file));
      EXPECT_EQ(m["name"], "org.kelo.ca_token");
      EXPECT_EQ(m["path"], env_.exe);
      EXPECT_EQ(m["type"], "stdio");
      EXPECT_TRUE(m["description"].is_string());
      if (l.browser == Browser::kFirefox) {
        EXPECT_EQ(m["allowed_extensions"], nlohmann::json::array({"kelo-ca@kelo.example"}));
        EXPECT_FALSE(m.contains("allowed_origins"));
      } else {
        EXPECT_EQ(m["allowed_origins"],
                  nlohmann::json::array({std::string("chrome-extension://") + kelo::kChromiumExtensionId + "/"}));
        EXPECT_FALSE(m.contains("allowed_extensions"));
      }
    }
  }
  EXPECT_EQ(Files().size(), 8u);  // nothing else, no temporary files left behind
}

TEST_F(Register, RegisterAgainRewritesTheSameContentAndRepairsAStaleOne) {
  ASSERT_EQ(Run({}).rc, 0);
  std::vector<std::string> before;
  for (const Location& l : kLocations) before.push_back(ReadFile(UserFile(l.userDir)));
  WriteFile(UserFile(kLocations[1].userDir), R"({"name":"org.kelo.ca_token","path":"/old/kelo-ca"})");

  Result r = Run({});
  ASSERT_EQ(r.rc, 0) << r.err;
  for (std::size_t i = 0; i < std::size(kLocations); ++i) {
    EXPECT_EQ(ReadFile(UserFile(kLocations[i].userDir)), before[i]) << kLocations[i].userDir;
  }
  EXPECT_EQ(Files().size(), 4u);
}

TEST_F(Register, DryRunReportsEveryActionAndTouchesNothing) {
  Result r = Run({"--dry-run"});
  ASSERT_EQ(r.rc, 0) << r.err;
  for (const Location& l : kLocations) {
    EXPECT_NE(r.out.find("would write " + UserFile(l.userDir).string() + "\n"), std::string::npos) << r.out;
  }
  EXPECT_TRUE(fs::is_empty(env_.home));

  ASSERT_EQ(Run({"--browser", "chrome"}).rc, 0);
  r = Run({"--dry-run"}, /*unregister=*/true);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("would remove " + UserFile(kLocations[1].userDir).string() + "\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("not present: " + UserFile(kLocations[0].userDir).string() + "\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::exists(UserFile(kLocations[1].userDir)));

  r = Run({"--dry-run", "--system"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(env_.sysroot));
}

TEST_F(Register, BrowserOptionsChooseWhichManifestsAreWritten) {
  Result r = Run({"--browser", "firefox", "--browser=edge", "--browser", "firefox"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Files(), (std::vector<std::string>{UserFile(kLocations[2].userDir).string(),
                                               UserFile(kLocations[3].userDir).string()}));  // sorted
}

TEST_F(Register, UnregisterRemovesOnlyTheChosenManifestsAndToleratesAbsentOnes) {
  ASSERT_EQ(Run({}).rc, 0);
  Result r = Run({"--browser", "chromium"}, true);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "removed " + UserFile(kLocations[0].userDir).string() + "\n");
  EXPECT_EQ(Files().size(), 3u);

  r = Run({}, true);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(Files().empty());
  EXPECT_NE(r.out.find("not present: " + UserFile(kLocations[0].userDir).string()), std::string::npos);
  EXPECT_NE(r.out.find("removed " + UserFile(kLocations[3].userDir).string()), std::string::npos);

  r = Run({"--system"}, true);  // nothing was ever there, not even the directories
  EXPECT_EQ(r.rc, 0) << r.err;
}

TEST_F(Register, BadArgumentsAndUnwritableLocationsFailClearly) {
  struct Case {
    std::vector<std::string> args;
    bool unregister;
    int rc;
    const char* err;
  };
  const Case cases[] = {
      {{"--browser", "opera"}, false, 2, "unknown browser 'opera'"},
      {{"--browser"}, false, 2, "--browser needs a name"},
      {{"--user"}, true, 2, "unexpected argument '--user'"},
      // A file where a directory should be.
      {{"--system", "--browser", "chrome"}, false, 1, "/etc: exists and is not a directory"},
  };
  WriteFile(fs::path(env_.sysroot) / "etc", "a file where a directory should be");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Result r = Run(c.args, c.unregister);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::is_empty(env_.home));

  // A manifest whose name is taken by a directory cannot be replaced or removed.
  fs::create_directories(UserFile(kLocations[0].userDir));
  fs::create_directories(UserFile(kLocations[0].userDir) / "x");
  for (bool unregister : {false, true}) {
    Result r = Run({"--browser", "chromium"}, unregister);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(UserFile(kLocations[0].userDir).string()), std::string::npos) << r.err;
  }

  env_.exe = "kelo-ca";  // the browsers need an absolute path
  Result r = Run({});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("absolute path"), std::string::npos) << r.err;

  // Paths a manifest cannot carry: refused whole, and not echoed raw.
  for (const char* exe : {"/opt/k\xFF/kelo-ca", "/opt/k\x1B[2J/kelo-ca"}) {
    SCOPED_TRACE(exe);
    env_.exe = exe;
    r = Run({});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("not valid UTF-8 or holds control characters"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find_first_of("\x1B\xFF"), std::string::npos) << r.err;
  }
  env_.exe = (tmp_ / "bin" / "kelo-ca").string();
  EXPECT_EQ(Files(), std::vector<std::string>{(fs::path(env_.sysroot) / "etc").string()});  // the test's own
}

// Root writing into a user's home leaves files the user's browser cannot
// replace; per user, root may only touch a home it owns.
TEST_F(Register, RootIsRefusedInAHomeItDoesNotOwn) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(env_.home.c_str(), 4242, 4242), 0);
  }
  env_.euid = 0;  // as root (a non-root tester's home is not root's either)
  for (bool unregister : {false, true}) {
    Result r = Run({}, unregister);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("does not belong to root; use --system"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::is_empty(env_.home));
}

// A link below the home, planted by someone who can write there, would send
// root's or the user's manifests (or their removal) somewhere else.
TEST_F(Register, SymbolicLinkBelowTheHomeIsNotFollowed) {
  const fs::path elsewhere = tmp_ / "elsewhere";
  const fs::path theirs = elsewhere / "chromium" / "NativeMessagingHosts" / "org.kelo.ca_token.json";
  WriteFile(theirs, "theirs");
  fs::create_symlink(elsewhere, fs::path(env_.home) / ".config");
  for (bool unregister : {false, true}) {
    Result r = Run({"--browser", "chromium"}, unregister);
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(env_.home + "/.config is a symbolic link"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(theirs), "theirs");
  EXPECT_EQ(std::distance(fs::directory_iterator(theirs.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(Register, RegisteredHostsTellsCurrentFromStaleAndInvalid) {
  for (const ManifestStatus& s : kelo::RegisteredHosts(env_)) {
    EXPECT_EQ(s.state, ManifestStatus::State::kAbsent) << s.path;
  }
  ASSERT_EQ(Run({}).rc, 0);
  ASSERT_EQ(Run({"--system", "--browser", "chromium"}).rc, 0);

  // Another installation's manifest, one that lets other extensions in, a
  // broken file, and our own manifest reached through a link to the executable.
  nlohmann::json chrome = nlohmann::json::parse(ReadFile(UserFile(kLocations[1].userDir)));
  chrome["path"] = "/usr/local/bin/kelo-ca";
  WriteFile(UserFile(kLocations[1].userDir), chrome.dump());
  nlohmann::json firefox = nlohmann::json::parse(ReadFile(UserFile(kLocations[3].userDir)));
  firefox["allowed_extensions"].push_back("someone@else.example");
  WriteFile(UserFile(kLocations[3].userDir), firefox.dump());
  WriteFile(UserFile(kLocations[2].userDir), "{\"path\": ");
  fs::path link = tmp_ / "bin" / "link-to-kelo-ca";
  fs::create_symlink(env_.exe, link);
  nlohmann::json chromium = nlohmann::json::parse(ReadFile(UserFile(kLocations[0].userDir)));
  chromium["path"] = link.string();
  WriteFile(UserFile(kLocations[0].userDir), chromium.dump());

  using State = ManifestStatus::State;
  std::vector<ManifestStatus> hosts = kelo::RegisteredHosts(env_);
  ASSERT_EQ(hosts.size(), 8u);
  auto find = [&](Browser b, bool system) {
    for (const ManifestStatus& s : hosts) {
      if (s.browser == b && s.system == system) return s;
    }
    ADD_FAILURE() << kelo::BrowserName(b);
    return ManifestStatus{};
  };
  EXPECT_EQ(find(Browser::kChromium, false).state, State::kCurrent);
  ManifestStatus stale = find(Browser::kChrome, false);
  EXPECT_EQ(stale.state, State::kStale);
  EXPECT_EQ(stale.hostPath, "/usr/local/bin/kelo-ca");
  EXPECT_NE(stale.detail.find("/usr/local/bin/kelo-ca"), std::string::npos) << stale.detail;
  EXPECT_EQ(find(Browser::kEdge, false).state, State::kInvalid);
  EXPECT_EQ(find(Browser::kFirefox, false).state, State::kStale);
  EXPECT_EQ(find(Browser::kChromium, true).state, State::kCurrent);
  EXPECT_EQ(find(Browser::kChromium, true).path, kelo::ManifestPath(Browser::kChromium, true, env_));
  EXPECT_EQ(find(Browser::kChrome, true).state, State::kAbsent);
}

}  // namespace
