// Modules configured by path: the rules an entry must pass, and the 64-bit
// registry trying such a module after the fixed ones.
#include <filesystem>
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "tests/mock_api.h"
#include "tests/scoped_user_modules.h"
#include "token/module_config.h"
#include "token/tokens.h"

namespace kelo::test {
namespace {

namespace fs = std::filesystem;

// One entry as "<state> <where> <path>"; state T tried, D duplicate,
// R relative, L too long, M too many, U unusable.
std::vector<std::string> Describe(const ModuleConfig& config) {
  static const char kLetters[] = "TDRLMU";
  std::vector<std::string> out;
  for (const ModuleEntry& e : config.entries)
    out.push_back(std::string(1, kLetters[static_cast<int>(e.state)]) + " " + e.where + " " + e.path);
  return out;
}

TEST(ModuleConfigTest, EntriesFollowTheRules) {
  const std::string longest = "/" + std::string(kMaxModulePathLength - 1, 'a');
  std::string many;
  std::vector<std::string> manyExpected;
  for (std::size_t i = 1; i <= kMaxConfiguredModules + 1; ++i) {
    many += "/m/" + std::to_string(i) + ".so\n";
    manyExpected.push_back((i > kMaxConfiguredModules ? "M line " : "T line ") + std::to_string(i) + " /m/" +
                           std::to_string(i) + ".so");
  }
  struct Row {
    const char* name;
    PathStyle style;
    std::string text;
    std::vector<std::string> expected;
  } rows[] = {
      {"comments, blanks, relative names and duplicates",
       PathStyle::kPosix,
       "# modules\n\n  /opt/a.so \r\n\t# /opt/commented.so\nrel.so\n./here.so\n/opt/a.so\n/opt/b#1.so",
       {"T line 3 /opt/a.so", "R line 5 rel.so", "R line 6 ./here.so", "D line 7 /opt/a.so", "T line 8 /opt/b#1.so"}},
      {"a NUL cuts no path",
       PathStyle::kPosix,
       std::string("/opt/x\0y.so\n", 12),
       {"U line 1 " + std::string("/opt/x\0y.so", 11)}},
      {"the longest path fits", PathStyle::kPosix, longest, {"T line 1 " + longest}},
      {"one byte more does not", PathStyle::kPosix, longest + "b", {"L line 1 " + longest.substr(0, 80) + "..."}},
      {"at most so many modules", PathStyle::kPosix, many, manyExpected},
      {"drive letters, shares, case",
       PathStyle::kWindows,
       "C:\\t\\a.dll\nc:/T/A.DLL\n\\\\srv\\share\\b.dll\n\\x.dll\nC:x.dll\nx.dll\n\\\\\\x.dll",
       {"T line 1 C:\\t\\a.dll", "D line 2 c:/T/A.DLL", "T line 3 \\\\srv\\share\\b.dll", "R line 4 \\x.dll",
        "R line 5 C:x.dll", "R line 6 x.dll", "R line 7 \\\\\\x.dll"}},
      {"paths of one system are relative on the other",
       PathStyle::kPosix,
       "C:\\a.dll\n/A.so\n/a.so",
       {"R line 1 C:\\a.dll", "T line 2 /A.so", "T line 3 /a.so"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ModuleConfig config(row.style);
    config.AddFileText(row.text, ModuleScope::kSystem, "src");
    EXPECT_EQ(Describe(config), row.expected);
  }
}

// Two modules configured by path, neither of them on the search path nor
// with E_GetAuxFunctionList: the copy without that export (first, without a
// token), then one named like no fixed module.
class ConfiguredModuleTest : public MockTest {
 protected:
  void SetUp() override {
    MockTest::SetUp();
    noAux_ = fs::absolute(fs::path(KELO_MOCK_DIR).parent_path() / "mock-noaux" / LibraryName(0)).string();
    path_ = fs::absolute(KELO_CONFIGURED_MOCK).string();
    ASSERT_TRUE(configured.Load(path_.c_str())) << path_ << ": " << platform::LastLoadError();
    configured.reset();
  }
  void TearDown() override {
    if (configured.reset) configured.reset();
    MockTest::TearDown();
  }
  void Configure() {
    std::string message;
    for (const std::string& p : {noAux_, path_})
      ASSERT_EQ(AddConfiguredModule(ModuleScope::kUser, p, message), ModuleEdit::kChanged) << message;
  }

  ScopedUserModules userList_;
  std::string noAux_, path_;
  MockApi configured;
};

TEST_F(ConfiguredModuleTest, TriedAfterTheFixedModulesAndReadForEachRegistry) {
  {
    CTokens before;  // built before the module was configured
    Configure();
    EXPECT_EQ(CTokens::EntryCount(), 3u);
    CTokens reg;
    EXPECT_EQ(CTokens::EntryCount(), 5u);
    EXPECT_EQ(reg.Connect(), kErrNoToken);

    configured.add_slot("CONF", 1);
    EXPECT_EQ(before.Connect(), kErrNoToken);  // its list is the one it read
    ASSERT_EQ(reg.Connect(), kOk);
    EXPECT_EQ(reg.CurrentType(), kLibraryTypeCount + 1);
    ASSERT_NE(reg.GetCurrentToken(), nullptr);
    EXPECT_EQ(reg.GetCurrentToken()->LibName(), path_);
    EXPECT_EQ(reg.GetCurrentToken()->Login(false, "1234", 4), kOk);

    mock[2].add_slot("FIXED", 1);
    std::string serials;
    reg.GetAllSerials(serials);
    EXPECT_EQ(serials, "FIXED           ,CONF            ");
    ASSERT_EQ(reg.Connect(), kOk);
    EXPECT_EQ(reg.CurrentType(), 2);  // a fixed module's token comes first

    // A registry that lists the modules again shares their entries.
    CTokens again;
    EXPECT_EQ(CTokens::EntryCount(), 5u);
    EXPECT_EQ(configured.count("C_Finalize"), 0u);
  }
  EXPECT_EQ(CTokens::EntryCount(), 0u);
  EXPECT_FALSE(configured.is_initialized());
  EXPECT_EQ(configured.count("C_Finalize"), 1u);
}

}  // namespace
}  // namespace kelo::test
