// Binding a module, finding the token's slot, sessions and serial numbers.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/mock_api.h"
#include "token/p11_token.h"
#include "common/result_codes.h"

namespace kelo::test {
namespace {

using Names = std::vector<std::string>;

class BindingTest : public MockTest {};

TEST_F(BindingTest, LoadBindsBothListsAndInitialises) {
  CP11Token token;
  EXPECT_FALSE(token.IsLoaded());
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  EXPECT_TRUE(token.IsLoaded());
  EXPECT_EQ(m0.Names(), (Names{"C_GetFunctionList", "E_GetAuxFunctionList", "C_Initialize"}));
  EXPECT_TRUE(m0.is_initialized());
  // Load again: only C_Initialize runs again, and "already initialised" is fine.
  m0.clear_log();
  EXPECT_EQ(token.Load(LibraryName(0)), kOk);
  EXPECT_EQ(m0.Names(), (Names{"C_Initialize"}));
  token.Unload();
  EXPECT_FALSE(token.IsLoaded());
  EXPECT_FALSE(m0.is_initialized());
}

TEST_F(BindingTest, ModuleAlreadyInitialisedByItsHostLoads) {
  m0.set_initialize_rv(CKR_CRYPTOKI_ALREADY_INITIALIZED);
  CP11Token token;
  EXPECT_EQ(token.Load(LibraryName(0)), kOk);
  EXPECT_TRUE(token.IsLoaded());
}

TEST_F(BindingTest, BindingFailuresUnloadAndAnswer1002) {
  struct Case {
    const char* what;
    const char* fn;
    unsigned long rv;
    Names calls;
  } cases[] = {
      {"list export fails", "C_GetFunctionList", CKR_GENERAL_ERROR, {"C_GetFunctionList"}},
      {"aux export fails", "E_GetAuxFunctionList", CKR_GENERAL_ERROR,
       {"C_GetFunctionList", "E_GetAuxFunctionList", "C_Finalize"}},
      {"initialise fails", "C_Initialize", CKR_DEVICE_ERROR,
       {"C_GetFunctionList", "E_GetAuxFunctionList", "C_Initialize", "C_Finalize"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m0.reset();
    m0.fail(c.fn, 1, c.rv);
    CP11Token token;
    EXPECT_EQ(token.Load(LibraryName(0)), kErrSession);
    EXPECT_FALSE(token.IsLoaded());
    EXPECT_EQ(m0.Names(), c.calls);
    // The next Connect tries the whole binding again.
    EXPECT_EQ(token.Connect(), kErrNoToken);  // loads now, but the mock has no slot
    EXPECT_TRUE(token.IsLoaded());
  }
}

TEST_F(BindingTest, MissingModuleAndOverlongNameAnswer1001) {
  CP11Token token;
  EXPECT_EQ(token.Load("no-such-module-kelo.so"), kErrLoadModule);
  EXPECT_EQ(token.Connect(), kErrLoadModule);  // tries the same name again
  // 255 characters fit the name field exactly: a path to the mock padded
  // with "/." segments loads.
  std::string fits = KELO_MOCK_DIR;
  const std::string tail = std::string("/") + LibraryName(0);
  std::size_t pad = 255 - fits.size() - tail.size();
  if (pad % 2) fits += '/';  // "//" is one separator
  for (std::size_t i = 0; i < pad / 2; ++i) fits += "/.";
  fits += tail;
  ASSERT_EQ(fits.size(), 255u);
  // One character more is refused, not cut back to the 255 that would load.
  CP11Token other;
  EXPECT_EQ(other.Load((fits + "x").c_str()), kErrLoadModule);
  EXPECT_EQ(m0.count("C_GetFunctionList"), 0u);
  EXPECT_EQ(other.Load(fits.c_str()), kOk);
  EXPECT_EQ(std::strlen(other.LibName()), 255u);
}

TEST_F(BindingTest, ConnectOpensARwSessionOnTheFirstSlotWithReadableToken) {
  unsigned long s1 = m0.add_slot("FIRST", 1);
  unsigned long s2 = m0.add_slot("SECOND", 1);
  CP11Token token;
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  m0.clear_log();
  m0.fail("C_GetTokenInfo", 1, CKR_DEVICE_ERROR);
  ASSERT_EQ(token.Connect(), kOk);
  EXPECT_EQ(token.SlotId(), s2);
  // The slot list is counted first, then fetched into a list of that size.
  EXPECT_EQ(m0.Calls(), (Names{"C_GetSlotList 1 null", "C_GetSlotList 1 2", "C_GetTokenInfo " + std::to_string(s1),
                               "C_GetTokenInfo " + std::to_string(s2), "C_OpenSession " + std::to_string(s2) + " 6"}));

  m0.fail("C_GetTokenInfo", 1, CKR_DEVICE_ERROR);
  char serial[16];
  ASSERT_EQ(token.GetSerial(serial), kOk);
  EXPECT_EQ(std::string(serial, 16), "SECOND          ");
  EXPECT_EQ(m0.open_sessions(), 1u);  // GetSerial opens nothing
}

TEST_F(BindingTest, SlotListsOfAnyLengthUpToTheBound) {
  const struct {
    const char* what;
    int slots;
    std::function<void()> arm;
    std::int32_t connect;
    unsigned long listCalls;
  } cases[] = {
      {"11 slots", 11, [] {}, kOk, 2},
      {"40 slots", 40, [] {}, kOk, 2},
      {"grew between count and fetch", 3, [&] { m0.fail("C_GetSlotList", 2, CKR_BUFFER_TOO_SMALL); }, kOk, 4},
      {"grows at every fetch: asked a bounded number of times", 3,
       [&] {
         for (unsigned long k = 1; k <= CP11Token::kSlotListAttempts; ++k)
           m0.fail("C_GetSlotList", 2 * k, CKR_BUFFER_TOO_SMALL);
       },
       kErrNoToken, 2 * CP11Token::kSlotListAttempts},
      {"more slots than the bound", static_cast<int>(CP11Token::kMaxSlots) + 1, [] {}, kErrNoToken, 1},
      {"absurd count", 2, [&] { m0.set_reported_length("C_GetSlotList", 0xFFFFFFFFul); }, kErrNoToken, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    m0.reset();
    // Serials "S1", "S2", ... (built with snprintf: GCC 12 misreads "S" + std::string at -O2).
    auto serial = [](int i) {
      char buf[17];
      std::snprintf(buf, sizeof buf, "S%-15d", i);
      return std::string(buf);
    };
    for (int i = 1; i <= c.slots; ++i) m0.add_slot(serial(i).c_str(), 1);
    c.arm();
    CP11Token token;
    ASSERT_EQ(token.Load(LibraryName(0)), kOk);
    EXPECT_EQ(token.Connect(), c.connect);
    EXPECT_EQ(m0.count("C_GetSlotList"), c.listCalls);
    if (c.connect != kOk) continue;
    std::string all;
    ASSERT_EQ(token.GetAllSerials(all), kOk);
    EXPECT_EQ(all.size(), 17u * static_cast<std::size_t>(c.slots) - 1);
    EXPECT_TRUE(all.ends_with(serial(c.slots))) << all;
    EXPECT_EQ(all[all.size() - 17], ',');
  }
}

// A module that answers success but hands back session handle 0 opened
// nothing; an earlier session is not kept either.
TEST_F(BindingTest, SessionHandleZeroIsAFailedConnect) {
  m0.add_slot("S", 1);
  CP11Token token;
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  ASSERT_EQ(token.Connect(), kOk);
  m0.set_zero_session(1);
  EXPECT_EQ(token.Connect(), kErrNoToken);
  EXPECT_EQ(token.SessionHandle(), 0u);
  EXPECT_EQ(token.SlotId(), CP11Token::kNoSlot);
  EXPECT_EQ(m0.open_sessions(), 0u);
  EXPECT_EQ(token.Login(false, "1234", 4), kErrSession);
}

// Every function the token object calls must be in the list; one left null
// refuses the module before anything is called through it.
TEST_F(BindingTest, AFunctionListWithANullEntryIsRefusedAtBinding) {
  for (const char* fn :
       {"C_Initialize", "C_Finalize", "C_GetSlotList", "C_GetTokenInfo", "C_OpenSession", "C_CloseSession",
        "C_CloseAllSessions", "C_InitToken", "C_InitPIN", "C_SetPIN", "C_Login", "C_Logout", "C_FindObjectsInit",
        "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue", "C_DigestInit", "C_Digest", "C_SignInit",
        "C_Sign", "C_VerifyInit", "C_Verify", "C_EncryptInit", "C_Encrypt", "C_DecryptInit", "C_Decrypt"}) {
    SCOPED_TRACE(fn);
    m0.reset();
    ASSERT_TRUE(m0.null_function(fn));
    CP11Token token;
    EXPECT_EQ(token.Load(LibraryName(0)), kErrSession);
    EXPECT_FALSE(token.IsLoaded());
    EXPECT_EQ(token.Connect(), kErrSession);
    EXPECT_EQ(m0.Names(), (Names{"C_GetFunctionList", "C_GetFunctionList"}));
  }
  m0.reset();
  ASSERT_TRUE(m0.null_function("C_GenerateRandom"));  // not one the control calls
  CP11Token token;
  EXPECT_EQ(token.Load(LibraryName(0)), kOk);
}

TEST_F(BindingTest, NoTokenCases) {
  CP11Token token;
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  EXPECT_EQ(token.Connect(), kErrNoToken);  // no slot at all
  m0.add_slot("ABSENT", 0);
  EXPECT_EQ(token.Connect(), kErrNoToken);  // slot without a token is not listed
  m0.add_slot("PRESENT", 1);
  m0.fail("C_GetSlotList", 1, CKR_GENERAL_ERROR);
  EXPECT_EQ(token.Connect(), kErrNoToken);
  m0.fail("C_GetTokenInfo", 1, CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(token.Connect(), kErrNoToken);
  m0.fail("C_OpenSession", 1, CKR_SESSION_COUNT);
  EXPECT_EQ(token.Connect(), kErrNoToken);
  EXPECT_EQ(token.SessionHandle(), 0u);
  EXPECT_EQ(token.SlotId(), CP11Token::kNoSlot);
  EXPECT_EQ(token.Connect(), kOk);
}

TEST_F(BindingTest, AllSerialsSkipsASlotWhoseTokenInfoFails) {
  m0.add_slot("AAAA", 1);
  m0.add_slot("BBBB", 1);
  m0.add_slot("CCCC", 1);
  CP11Token token;
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  m0.fail("C_GetTokenInfo", 2, CKR_DEVICE_ERROR);
  std::string out;
  ASSERT_EQ(token.GetAllSerials(out), kOk);
  EXPECT_EQ(out, "AAAA            ,CCCC            ");
  EXPECT_EQ(out.size(), 33u);
  m0.fail("C_GetTokenInfo", 0, CKR_DEVICE_ERROR);
  std::string none;
  EXPECT_EQ(token.GetAllSerials(none), kErrNoToken);
  EXPECT_TRUE(none.empty());
}

TEST_F(BindingTest, ReconnectKeepsOneSessionAndTheLogin) {
  unsigned long slot = m0.add_slot("S", 1);
  CP11Token token;
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  ASSERT_EQ(token.Connect(), kOk);
  CK_SESSION_HANDLE first = token.SessionHandle();
  ASSERT_EQ(token.Login(false, "1234", 4), kOk);
  ASSERT_EQ(token.Connect(), kOk);
  EXPECT_NE(token.SessionHandle(), first);
  EXPECT_EQ(m0.open_sessions(), 1u);
  EXPECT_EQ(m0.login_state(slot), CKU_USER);
  auto calls = m0.Calls();
  EXPECT_EQ(calls.back(), "C_CloseSession " + std::to_string(first));

  // A reconnect that cannot open its session drops the old one as well.
  m0.fail("C_OpenSession", 1, CKR_SESSION_COUNT);
  EXPECT_EQ(token.Connect(), kErrNoToken);
  EXPECT_EQ(m0.open_sessions(), 0u);
  EXPECT_EQ(token.Login(false, "1234", 4), kErrSession);
}

TEST_F(BindingTest, DisconnectClosesEvenHandleZeroAndKeepsTheModule) {
  m0.add_slot("S", 1);
  CP11Token token;
  EXPECT_EQ(token.Disconnect(), kErrSession);  // not loaded
  ASSERT_EQ(token.Load(LibraryName(0)), kOk);
  m0.clear_log();
  EXPECT_EQ(token.Disconnect(), kOk);
  EXPECT_EQ(m0.Calls(), (Names{"C_CloseSession 0"}));
  ASSERT_EQ(token.Connect(), kOk);
  EXPECT_EQ(token.Disconnect(), kOk);
  EXPECT_EQ(m0.open_sessions(), 0u);
  EXPECT_TRUE(token.IsLoaded());
  EXPECT_EQ(token.SlotId(), CP11Token::kNoSlot);
}

}  // namespace
}  // namespace kelo::test
