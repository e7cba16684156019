// `kelo-ca doctor --json` as a child process with a prepared environment:
// the mock modules load at the child's start, configured by its variables.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/nss_fixture.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using kelo::test::ChildOptions;
using kelo::test::ChildResult;
using kelo::test::CopyNssFixture;
using kelo::test::Environment;
using kelo::test::RunChild;

struct ChildRun {
  int status = -1;
  std::string out;
  json report;
};

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelo-doctor-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
  }
  void TearDown() override { fs::remove_all(home_); }

  // Runs kelo-ca with exactly `env` (plus HOME) and the given arguments.
  static ChildRun Exec(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                       const std::string& home, bool mergeStderr = false) {
    ChildOptions options;
    options.mergeStderr = mergeStderr;
    const ChildResult run =
        RunChild(KELO_CA_EXE, args, Environment::Clean().Set(env).Set("HOME", home).Set("PATH", "/usr/bin:/bin"), "",
                 std::chrono::seconds(60), options);
    EXPECT_FALSE(run.timedOut) << "kelo-ca did not finish";
    ChildRun r;
    r.status = run.status;
    r.out = run.out;
    r.report = json::parse(r.out, nullptr, false);
    return r;
  }
  ChildRun Doctor(std::map<std::string, std::string> env) const { return Exec({"doctor", "--json"}, std::move(env), home_); }

  static std::string MockDir() { return std::string(KELO_BIN) + "/mock"; }
  // A module only its path reaches, without E_GetAuxFunctionList.
  static std::string ConfiguredMock() { return std::string(KELO_BIN) + "/mock-configured/kelo-configured-p11.so"; }
  std::string ModuleList() const { return home_ + "/.config/kelo-ca/modules"; }
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Problems that name something other than the machine's own system-wide
  // manifests, which a test cannot control.
  static std::vector<std::string> OwnProblems(const json& report, const std::string& home) {
    std::vector<std::string> own;
    for (const auto& p : report["problems"]) {
      const std::string text = p.get<std::string>();
      if (text.find("(system)") == std::string::npos || text.find(home) != std::string::npos) own.push_back(text);
    }
    return own;
  }

  void WriteFile(const std::string& path, const std::string& text) const {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
  }

  std::string home_;
};

TEST_F(DoctorTest, MockModulesAreFoundWithTokensOfTheirConfiguration) {
  ChildRun r = Doctor({{"LD_LIBRARY_PATH", MockDir()}, {"MOCKP11_TOKENS_KELO_ZIR4", "SER1"}});
  ASSERT_FALSE(r.report.is_discarded()) << r.out;
  const json& modules = r.report["modules"];
  ASSERT_EQ(modules.size(), 3u);
  const char* files[] = {"Kelo-ZIr4.so", "Kelo-CAv5.so", "Kelo-CAv6.so"};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(files[i]);
    const json& m = modules[i];
    EXPECT_EQ(m["file"], files[i]);
    EXPECT_TRUE(m["found"].get<bool>());
    // The real location, not the bare name the loader was given.
    EXPECT_EQ(fs::canonical(m["path"].get<std::string>()), fs::canonical(MockDir() + "/" + files[i]));
    EXPECT_TRUE(m["exports"]["C_GetFunctionList"].get<bool>());
    EXPECT_TRUE(m["exports"]["E_GetAuxFunctionList"].get<bool>());
    EXPECT_EQ(m["initialize"], "CKR_OK");
    EXPECT_EQ(m["slotList"], "CKR_OK");
    EXPECT_EQ(m["slots"].size(), i == 0 ? 1u : 0u);
  }
  const json& slot = modules[0]["slots"][0];
  EXPECT_EQ(slot["tokenInfo"], "CKR_OK");
  EXPECT_EQ(slot["token"]["serial"], "SER1");  // blank padding removed
  EXPECT_EQ(slot["token"]["label"], "mock");
  const auto flags = slot["token"]["flagNames"].get<std::vector<std::string>>();
  EXPECT_NE(std::find(flags.begin(), flags.end(), "CKF_TOKEN_INITIALIZED"), flags.end());
  EXPECT_EQ(std::find(flags.begin(), flags.end(), "CKF_USER_PIN_LOCKED"), flags.end());

  EXPECT_EQ(r.report["nss"]["path"], home_ + "/.pki/nssdb");
  EXPECT_FALSE(r.report["nss"]["exists"].get<bool>());
  EXPECT_TRUE(r.report["nss"]["opened"].get<bool>());  // an absent database is an empty store
  EXPECT_FALSE(r.report["display"]["available"].get<bool>());

  EXPECT_TRUE(OwnProblems(r.report, home_).empty()) << r.report["problems"].dump();
  EXPECT_EQ(r.status, r.report["problems"].empty() ? 0 : 1);
  EXPECT_EQ(r.report["ok"].get<bool>(), r.report["problems"].empty());
}

TEST_F(DoctorTest, SlotWithoutTokenIsShownButNotBroken) {
  ChildRun r = Doctor({{"LD_LIBRARY_PATH", MockDir()},
                  {"MOCKP11_TOKENS_KELO_CAV6", "A,B"},
                  {"MOCKP11_FAIL_KELO_CAV6", "C_GetTokenInfo:2:0xE0"}});
  ASSERT_FALSE(r.report.is_discarded()) << r.out;
  const json& slots = r.report["modules"][2]["slots"];
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0]["token"]["serial"], "A");
  EXPECT_TRUE(slots[1]["token"].is_null());
  EXPECT_EQ(slots[1]["tokenInfo"], "CKR_TOKEN_NOT_PRESENT");
  EXPECT_TRUE(OwnProblems(r.report, home_).empty()) << r.report["problems"].dump();

  // A module that leaves out an entry or claims absurd slot counts is
  // reported, not followed.
  for (const char* misbehave : {"null:C_GetSlotInfo", "length:C_GetSlotList:4294967295"}) {
    SCOPED_TRACE(misbehave);
    ChildRun odd = Doctor({{"LD_LIBRARY_PATH", MockDir()},
                           {"MOCKP11_TOKENS_KELO_CAV6", "A"},
                           {"MOCKP11_MISBEHAVE_KELO_CAV6", misbehave}});
    ASSERT_FALSE(odd.report.is_discarded()) << odd.out;
    EXPECT_TRUE(odd.report["modules"][2]["slots"].empty());
    EXPECT_NE(odd.report["modules"][2]["slotList"], "CKR_OK");
  }
}

// Each case breaks one thing; the exit status and the report must say so.
TEST_F(DoctorTest, BrokenSetupsExitNonZero) {
  const std::string empty = home_ + "/no-modules";
  fs::create_directories(empty);
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    const char* problem;  // a word the problem list must contain
  } cases[] = {
      {"no module", {{"LD_LIBRARY_PATH", empty}}, "no token module"},
      {"no aux export", {{"LD_LIBRARY_PATH", std::string(KELO_BIN) + "/mock-noaux"}}, "E_GetAuxFunctionList"},
      {"C_Initialize fails",
       {{"LD_LIBRARY_PATH", MockDir()}, {"MOCKP11_FAIL_KELO_CAV5", "C_Initialize:1:0x6"}},
       "CKR_FUNCTION_FAILED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = Doctor(c.env);
    ASSERT_FALSE(r.report.is_discarded()) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.report["ok"].get<bool>());
    const std::string problems = r.report["problems"].dump();
    EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
  }

  ChildRun none = Doctor({{"LD_LIBRARY_PATH", empty}});
  for (const json& m : none.report["modules"]) {
    // Unless the machine itself has the module installed.
    if (m["found"].get<bool>()) continue;
    EXPECT_NE(m["loadError"].get<std::string>().find(m["file"].get<std::string>()), std::string::npos);
    EXPECT_TRUE(m["slots"].empty());
  }

  ChildRun noAux = Doctor({{"LD_LIBRARY_PATH", std::string(KELO_BIN) + "/mock-noaux"}});
  const json& zir4 = noAux.report["modules"][0];
  EXPECT_TRUE(zir4["found"].get<bool>());
  EXPECT_TRUE(zir4["exports"]["C_GetFunctionList"].get<bool>());
  EXPECT_FALSE(zir4["exports"]["E_GetAuxFunctionList"].get<bool>());

  ChildRun initFails = Doctor({{"LD_LIBRARY_PATH", MockDir()}, {"MOCKP11_FAIL_KELO_CAV5", "C_Initialize:1:0x6"}});
  EXPECT_EQ(initFails.report["modules"][1]["initialize"], "CKR_FUNCTION_FAILED");
  EXPECT_EQ(initFails.report["modules"][1]["slotList"], "");  // nothing asked of an uninitialised module
  EXPECT_EQ(initFails.report["modules"][0]["initialize"], "CKR_OK");
}

TEST_F(DoctorTest, ConfiguredModulesAreProbedAndBadEntriesNamed) {
  WriteFile(ModuleList(), "# tokens\nrel.so\n/nowhere/kelo-x.so\n" + ConfiguredMock() + "\n" + ConfiguredMock() + "\n");
  ChildRun r = Doctor({{"LD_LIBRARY_PATH", MockDir()}, {"MOCKP11_TOKENS_KELO_CONFIGURED_P11", "CSER"}});
  ASSERT_FALSE(r.report.is_discarded()) << r.out;
  const json& config = r.report["configuredModules"];
  EXPECT_EQ(config["sources"][0]["location"], ModuleList());
  EXPECT_EQ(config["sources"][0]["state"], "read");
  EXPECT_EQ(config["sources"][1]["location"], "/etc/kelo-ca/modules");
  std::vector<std::string> seen;
  for (const json& m : config["modules"]) {
    if (m["source"] != ModuleList()) continue;  // the machine's own system list
    seen.push_back(m["where"].get<std::string>() + " " + m["status"].get<std::string>() + " " +
                   m["path"].get<std::string>());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"line 2 not absolute rel.so", "line 3 not found /nowhere/kelo-x.so",
                                            "line 4 usable " + ConfiguredMock(), "line 5 duplicate " + ConfiguredMock()}));
  const json& usable = config["modules"][2]["module"];
  EXPECT_EQ(usable["slots"][0]["token"]["serial"], "CSER");
  EXPECT_FALSE(usable["exports"]["E_GetAuxFunctionList"].get<bool>());

  // The two bad entries are problems; the module without the auxiliary list is not.
  EXPECT_EQ(r.status, 1);
  const std::vector<std::string> problems = OwnProblems(r.report, home_);
  ASSERT_EQ(problems.size(), 2u) << r.report["problems"].dump();
  EXPECT_NE(problems[0].find("rel.so (" + ModuleList() + ", line 2): not absolute"), std::string::npos);
  EXPECT_NE(problems[1].find("/nowhere/kelo-x.so"), std::string::npos);
}

TEST_F(DoctorTest, ModulesCommandEditsThePersonsList) {
  const std::map<std::string, std::string> env;
  ChildRun relative = Exec({"modules", "add", "rel.so"}, env, home_, true);
  EXPECT_EQ(relative.status, 1);
  EXPECT_NE(relative.out.find("not an absolute path"), std::string::npos) << relative.out;
  ChildRun missing = Exec({"modules", "add", "/nowhere/kelo-x.so"}, env, home_, true);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("does not exist"), std::string::npos) << missing.out;
  EXPECT_FALSE(fs::exists(ModuleList()));

  // Created with its directory, readable by the control of every user.
  ASSERT_EQ(Exec({"modules", "add", ConfiguredMock()}, env, home_).status, 0);
  EXPECT_EQ(ReadText(ModuleList()), ConfiguredMock() + "\n");
  EXPECT_EQ(fs::status(ModuleList()).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

  // Other lines and comments stay as they are; a path is listed once.
  const std::string own = "# my tokens\n\n/keep/this.so\n  " + ConfiguredMock() + "x  ";
  WriteFile(ModuleList(), own);
  ASSERT_EQ(Exec({"modules", "add", ConfiguredMock()}, env, home_).status, 0);
  EXPECT_EQ(ReadText(ModuleList()), own + "\n" + ConfiguredMock() + "\n");
  EXPECT_EQ(Exec({"modules", "add", ConfiguredMock()}, env, home_).status, 0);
  EXPECT_EQ(ReadText(ModuleList()), own + "\n" + ConfiguredMock() + "\n");

  ChildRun list = Exec({"modules", "list"}, env, home_);
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("user: " + ModuleList() + "\n  /keep/this.so\n  " + ConfiguredMock() + "x\n  " +
                          ConfiguredMock() + "\n"),
            std::string::npos)
      << list.out;

  ASSERT_EQ(Exec({"modules", "remove", ConfiguredMock()}, env, home_).status, 0);
  EXPECT_EQ(ReadText(ModuleList()), own + "\n");
  EXPECT_EQ(Exec({"modules", "remove", ConfiguredMock()}, env, home_).status, 1);

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"modules"}, {"modules", "add"},
                                              {"modules", "frob", "/x"}, {"modules", "list", "--bogus"}})
    EXPECT_EQ(Exec(bad, env, home_).status, 2) << bad.back();
}

TEST_F(DoctorTest, ManifestsAreCheckedAgainstThisExecutable) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", MockDir()}};
  auto userChromium = [&](const json& report) {
    for (const json& m : report["manifests"])
      if (m["browser"] == "chromium" && m["scope"] == "user") return m;
    return json();
  };

  ChildRun fresh = Exec({"register", "--browser", "chromium"}, env, home_);
  ASSERT_EQ(fresh.status, 0) << fresh.out;
  ChildRun current = Doctor(env);
  EXPECT_EQ(userChromium(current.report)["state"], "current");
  EXPECT_TRUE(OwnProblems(current.report, home_).empty()) << current.report["problems"].dump();

  // The same manifest after the executable moved elsewhere.
  const std::string path = userChromium(current.report)["path"];
  std::ifstream in(path);
  json manifest = json::parse(in);
  manifest["path"] = "/opt/elsewhere/kelo-ca";
  WriteFile(path, manifest.dump());
  ChildRun stale = Doctor(env);
  EXPECT_EQ(userChromium(stale.report)["state"], "stale");
  EXPECT_EQ(userChromium(stale.report)["hostPath"], "/opt/elsewhere/kelo-ca");
  EXPECT_EQ(stale.status, 1);
  EXPECT_NE(stale.report["problems"].dump().find(path), std::string::npos);
}

TEST_F(DoctorTest, NssDatabaseIsCountedOrReportedUnusable) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", MockDir()}, {"DISPLAY", ":4711"}};
  // A database file that is not one.
  WriteFile(home_ + "/.pki/nssdb/cert9.db", std::string(4096, 'x'));
  WriteFile(home_ + "/.pki/nssdb/key4.db", std::string(4096, 'x'));
  ChildRun corrupt = Doctor(env);
  ASSERT_FALSE(corrupt.report.is_discarded()) << corrupt.out;
  EXPECT_TRUE(corrupt.report["nss"]["database"].get<bool>());
  EXPECT_FALSE(corrupt.report["nss"]["opened"].get<bool>());
  EXPECT_EQ(corrupt.status, 1);
  // The display seen is the caller's, though the store is looked at without it.
  EXPECT_TRUE(corrupt.report["display"]["available"].get<bool>());

  fs::remove_all(home_ + "/.pki");
  ASSERT_TRUE(CopyNssFixture(home_)) << "make-nssdb.sh failed";
  ChildRun good = Doctor(env);
  ASSERT_FALSE(good.report.is_discarded()) << good.out;
  EXPECT_TRUE(good.report["nss"]["opened"].get<bool>());
  // The fixture: seven certificates, all but "c" with a private key.
  EXPECT_EQ(good.report["nss"]["certificates"], 7);
  EXPECT_EQ(good.report["nss"]["withPrivateKey"], 6);
  EXPECT_TRUE(OwnProblems(good.report, home_).empty()) << good.report["problems"].dump();

  // A protected database: its keys are not counted without the password, and
  // the doctor finishes rather than waiting for one.
  fs::remove_all(home_ + "/.pki");
  fs::remove_all(home_ + "/fixture");
  ASSERT_TRUE(CopyNssFixture(home_, true)) << "make-nssdb.sh --password failed";
  ChildRun locked = Doctor(env);
  ASSERT_FALSE(locked.report.is_discarded()) << locked.out;
  EXPECT_EQ(locked.report["nss"]["certificates"], 7);
  EXPECT_EQ(locked.report["nss"]["withPrivateKey"], 0);
}

// A token's label and serial are bytes: neither invalid UTF-8 nor terminal
// controls may stop the report or reach the terminal raw.
TEST_F(DoctorTest, TokenTextThatIsNotUtf8OrHoldsControlsIsShownSafely) {
  const std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", MockDir()},
                                                   {"MOCKP11_TOKENS_KELO_ZIR4", "S\xFF\x1B[2J"},
                                                   {"MOCKP11_LABEL", "\x1B]0;owned\x07L\xFF\xC2\x9B"}};
  ChildRun asJson = Doctor(env);
  ASSERT_FALSE(asJson.report.is_discarded()) << "exit " << asJson.status;
  const json& token = asJson.report["modules"][0]["slots"][0]["token"];
  EXPECT_EQ(token["serial"], "S\xEF\xBF\xBD\x1B[2J");  // U+FFFD for the byte that is not UTF-8
  EXPECT_EQ(token["label"], "\x1B]0;owned\x07L\xEF\xBF\xBD\xC2\x9B");

  ChildRun text = Exec({"doctor"}, env, home_);
  EXPECT_LE(text.status, 1);
  EXPECT_NE(text.out.find(R"(token "\x1B]0;owned\x07L\xFF\xC2\x9B", serial "S\xFF\x1B[2J")"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find_first_of("\x1B\x07\xFF\x9B"), std::string::npos);
}

TEST_F(DoctorTest, TextByDefaultAndBadArguments) {
  ChildRun text = Exec({"doctor"}, {{"LD_LIBRARY_PATH", MockDir()}, {"MOCKP11_TOKENS_KELO_ZIR4", "SER1"}}, home_);
  EXPECT_TRUE(text.report.is_discarded());
  EXPECT_NE(text.out.find("serial \"SER1\""), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("C_Initialize: CKR_OK"), std::string::npos) << text.out;

  EXPECT_EQ(Exec({"doctor", "--bogus"}, {}, home_).status, 2);
  ChildRun help = Exec({"doctor", "--help"}, {}, home_);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
}

}  // namespace
