// The two registries over the mock modules behind library types 0, 1, 2.
#include "control/kelo_ctrl.h"
#include "tests/mock_api.h"
#include "common/result_codes.h"
#include "token/tokens.h"
#include "token/tokens_pair.h"

namespace kelo::test {
namespace {

class RegistryTest : public MockTest {};

TEST_F(RegistryTest, ConnectWalksModulesInTypeOrder) {
  mock[1].add_slot("ONLY-ON-TYPE-1", 1);
  {
    CTokens reg;
    EXPECT_EQ(CTokens::EntryCount(), 3u);
    EXPECT_EQ(reg.Disconnect(), kOk);  // nothing current yet
    EXPECT_EQ(reg.GetCurrentToken(), nullptr);
    ASSERT_EQ(reg.Connect(), kOk);
    EXPECT_EQ(reg.CurrentType(), 1);
    ASSERT_NE(reg.GetCurrentToken(), nullptr);
    EXPECT_NE(reg.GetCurrentToken()->SessionHandle(), 0u);
    EXPECT_EQ(mock[0].count("C_OpenSession"), 0u);
    EXPECT_EQ(mock[2].count("C_GetSlotList"), 0u);  // the walk stopped at type 1

    mock[0].add_slot("ON-TYPE-0", 1);
    ASSERT_EQ(reg.Connect(), kOk);
    EXPECT_EQ(reg.CurrentType(), 0);
    EXPECT_EQ(reg.Disconnect(), kOk);
    EXPECT_EQ(reg.CurrentType(), -1);
    EXPECT_EQ(mock[0].open_sessions(), 0u);
  }
  EXPECT_EQ(CTokens::EntryCount(), 0u);
}

TEST_F(RegistryTest, NoTokenAnywhereKeepsTheCurrentTypeAndAnswers1003) {
  CTokens reg;
  EXPECT_EQ(reg.Connect(), kErrNoToken);
  EXPECT_EQ(reg.CurrentType(), -1);
  std::string serials;
  reg.GetAllSerials(serials);
  EXPECT_TRUE(serials.empty());

  mock[2].add_slot("T2", 1);
  ASSERT_EQ(reg.Connect(), kOk);
  mock[2].set_token_present(1, 0);
  EXPECT_EQ(reg.Connect(), kErrNoToken);
  EXPECT_EQ(reg.CurrentType(), 2);  // unchanged by a failed walk
}

TEST_F(RegistryTest, PairRegistryRetriesAModuleThatFailedAtConstruction) {
  mock[0].add_slot("T0", 1);
  mock[0].fail("C_Initialize", 0, CKR_DEVICE_ERROR);
  CTokensPair reg;
  // Type 0 cannot initialise, type 1 has no token: 1003 wins over 1002.
  EXPECT_EQ(reg.Connect(), kErrNoToken);
  mock[1].add_slot("T1", 1);
  ASSERT_EQ(reg.Connect(), kOk);
  EXPECT_EQ(reg.CurrentType(), 1);
  mock[0].clear_faults();
  ASSERT_EQ(reg.Connect(), kOk);  // type 0 binds now and wins
  EXPECT_EQ(reg.CurrentType(), 0);
}

TEST_F(RegistryTest, AllSerialsJoinsEveryModuleInTypeOrder) {
  mock[0].add_slot("A0", 1);
  mock[0].add_slot("A1", 1);
  mock[2].add_slot("C0", 1);
  CTokens reg;
  std::string out;
  reg.GetAllSerials(out);
  EXPECT_EQ(out, "A0              ,A1              ,C0              ");
}

TEST_F(RegistryTest, SecondRegistrySharesTheModulesAndTheLastOneFinalises) {
  mock[0].add_slot("T0", 1);
  auto first = std::make_unique<CTokens>();
  auto second = std::make_unique<CTokens>();
  EXPECT_EQ(CTokens::EntryCount(), 3u);
  ASSERT_EQ(first->Connect(), kOk);
  // One process-wide token object: both registries see the same session.
  ASSERT_EQ(second->Connect(), kOk);
  EXPECT_EQ(first->GetCurrentToken(), second->GetCurrentToken());
  EXPECT_EQ(mock[0].open_sessions(), 1u);

  first.reset();  // a page reloaded: the old control goes after the new one came
  EXPECT_EQ(CTokens::EntryCount(), 3u);
  EXPECT_TRUE(mock[0].is_initialized());
  EXPECT_EQ(mock[0].count("C_Finalize"), 0u);
  ASSERT_NE(second->GetCurrentToken(), nullptr);
  EXPECT_EQ(second->GetCurrentToken()->Login(false, "1234", 4), kOk);

  second.reset();
  EXPECT_EQ(CTokens::EntryCount(), 0u);
  for (auto& m : mock) {
    EXPECT_FALSE(m.is_initialized());
    EXPECT_EQ(m.count("C_Finalize"), 1u);
  }
}

TEST_F(RegistryTest, PairRegistryKnowsTwoModulesAndAnswers5001WhenNothingIsCurrent) {
  mock[2].add_slot("ONLY-TYPE-2", 1);
  CTokensPair reg;
  EXPECT_EQ(reg.Disconnect(), kErrNoCurrentToken);
  EXPECT_EQ(reg.Connect(), kErrNoToken);  // type 2 does not exist in this registry
  EXPECT_EQ(mock[2].count("C_Initialize"), 0u);

  mock[1].add_slot("T1", 1);
  ASSERT_EQ(reg.Connect(), kOk);
  EXPECT_EQ(reg.CurrentType(), 1);
  mock[0].add_slot("T0", 1);
  ASSERT_EQ(reg.Connect(), kOk);
  EXPECT_EQ(reg.CurrentType(), 0);
  std::string serials;
  reg.GetAllSerials(serials);
  EXPECT_EQ(serials, "T0              ,T1              ");
  EXPECT_EQ(reg.Disconnect(), kOk);
  EXPECT_EQ(reg.Disconnect(), kErrNoCurrentToken);
}

TEST_F(RegistryTest, PairRegistriesInOneProcessDoNotFinaliseEachOther) {
  mock[0].add_slot("T0", 1);
  auto a = std::make_unique<CTokensPair>();
  auto b = std::make_unique<CTokensPair>();
  ASSERT_EQ(a->Connect(), kOk);
  ASSERT_EQ(b->Connect(), kOk);
  EXPECT_EQ(mock[0].open_sessions(), 2u);
  a.reset();
  EXPECT_TRUE(mock[0].is_initialized());
  EXPECT_EQ(mock[0].open_sessions(), 1u);  // a's own session did not outlive it
  EXPECT_EQ(b->GetCurrentToken()->Login(false, "1234", 4), kOk);
  b.reset();
  EXPECT_FALSE(mock[0].is_initialized());
}

TEST_F(RegistryTest, FacadeConnectsThroughTheBuildsRegistry) {
  mock[1].add_slot("FACADE", 1);
  CKeloCAActiveXCtrl ctl;
  std::int32_t sid = ctl.ConnectToken();
  ASSERT_EQ(sid, ctl.SessionIdentifier());
  EXPECT_EQ(ctl.RetrieveSerial(sid), "FACADE          ");
  EXPECT_EQ(ctl.RetrieveAllTokenSerial(sid), "FACADE          ");
  EXPECT_EQ(ctl.DisconnectToken(sid), 0);
  // The identifier stays valid across reconnects; the serial needs no session.
  EXPECT_EQ(ctl.ConnectToken(), sid);
  mock[1].set_token_present(1, 0);
  EXPECT_EQ(ctl.RetrieveSerial(sid), "1003");
  EXPECT_EQ(ctl.RetrieveAllTokenSerial(sid), "1002");
}

// Run with an empty module search path (see tests/CMakeLists.txt).
TEST(NoModules, NothingLoadableAnswers1001) {
  {
    CTokens reg;
    EXPECT_EQ(CTokens::EntryCount(), 0u);
    EXPECT_EQ(reg.Connect(), kErrLoadModule);
    EXPECT_EQ(reg.CurrentType(), -1);
    EXPECT_EQ(reg.GetCurrentToken(), nullptr);
  }
  {
    CTokensPair reg;
    EXPECT_EQ(reg.Connect(), kErrLoadModule);
    EXPECT_EQ(reg.Disconnect(), kErrNoCurrentToken);
  }
  CKeloCAActiveXCtrl ctl;
  EXPECT_EQ(ctl.ConnectToken(), kErrLoadModule);
  EXPECT_EQ(ctl.Login(ctl.SessionIdentifier(), "1234"), kErrSession);
  EXPECT_EQ(ctl.RetrieveAllTokenSerial(ctl.SessionIdentifier()), "1002");
}

// Run with the variant that lacks E_GetAuxFunctionList on the search path.
TEST(NoAux, ModuleWithoutAuxListIsNotUsable) {
  CP11Token token;
  EXPECT_EQ(token.Load(LibraryName(0)), kErrSession);
  EXPECT_FALSE(token.IsLoaded());
  CTokens reg;
  EXPECT_EQ(reg.Connect(), kErrLoadModule);
}

}  // namespace
}  // namespace kelo::test
