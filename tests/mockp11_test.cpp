// Self-test of the mock PKCS#11 module: the behaviour the token layer's tests
// rely on, checked through the module's own exports as those tests use them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "mockp11_control.h"
#include "tests/support/scoped_env.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string MockPath(const char* dir, const char* name) { return std::string(dir) + "/" + name + ".so"; }

class Library {
 public:
  explicit Library(const std::string& path) : h_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (h_ != nullptr) dlclose(h_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool Loaded() const { return h_ != nullptr; }
  void* Symbol(const char* name) const { return h_ == nullptr ? nullptr : dlsym(h_, name); }

 private:
  void* h_;
};

// One loaded copy of the mock: its PKCS#11 list and its control functions.
struct Mock : Mockp11Control {
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  bool complete = false;

  explicit Mock(const Library& lib) {
    complete = Resolve([&](const char* symbol) { return lib.Symbol(symbol); });
    auto get = reinterpret_cast<CK_C_GetFunctionList>(lib.Symbol("C_GetFunctionList"));
    if (get != nullptr && get(&p11) != CKR_OK) p11 = nullptr;
  }
  bool Complete() const { return complete && p11 != nullptr; }
};

CK_MECHANISM Mech(CK_MECHANISM_TYPE t) { return CK_MECHANISM{t, nullptr, 0}; }

// DER DigestInfo headers, written out independently of the mock.
Bytes DigestInfoPrefix(CK_MECHANISM_TYPE digest) {
  switch (digest) {
    case CKM_SHA_1: return {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    case CKM_MD5:
      return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
    default:
      return {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};
  }
}

class MockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = new Library(MockPath(MOCK_DIR, "Kelo-ZIr4")); }
  static void TearDownTestSuite() {
    delete lib_;
    lib_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(lib_->Loaded()) << dlerror();
    m_.emplace(*lib_);
    ASSERT_TRUE(m_->Complete());
    m_->reset();
    p11_ = m_->p11;
    ASSERT_EQ(CKR_OK, p11_->C_Initialize(nullptr));
  }

  Mock& M() { return *m_; }

  CK_SESSION_HANDLE Open(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(CKR_OK, p11_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
    return h;
  }
  CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, std::string pin) {
    return p11_->C_Login(h, type, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), static_cast<CK_ULONG>(pin.size()));
  }
  // Handles the search finds, fetched one at a time as the control does.
  std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE h, std::optional<CK_OBJECT_CLASS> cls,
                                     std::optional<CK_BBOOL> token) {
    CK_OBJECT_CLASS c = cls.value_or(0);
    CK_BBOOL t = token.value_or(CK_FALSE);
    std::vector<CK_ATTRIBUTE> tmpl;
    if (cls) tmpl.push_back({CKA_CLASS, &c, sizeof c});
    if (token) tmpl.push_back({CKA_TOKEN, &t, sizeof t});
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(CKR_OK, p11_->C_FindObjectsInit(h, tmpl.data(), static_cast<CK_ULONG>(tmpl.size())));
    for (;;) {
      CK_OBJECT_HANDLE o = 0;
      CK_ULONG n = 0;
      EXPECT_EQ(CKR_OK, p11_->C_FindObjects(h, &o, 1, &n));
      if (n == 0) break;
      found.push_back(o);
    }
    EXPECT_EQ(CKR_OK, p11_->C_FindObjectsFinal(h));
    return found;
  }
  Bytes Attribute(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (p11_->C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
    Bytes v(a.ulValueLen);
    a.pValue = v.data();
    EXPECT_EQ(CKR_OK, p11_->C_GetAttributeValue(h, o, &a, 1));
    return v;
  }
  // Length probe, then the call with an area of the probed size.
  CK_RV Finish(CK_C_Sign process, CK_SESSION_HANDLE h, const Bytes& in, Bytes& out) {
    auto* data = const_cast<unsigned char*>(in.data());
    const auto n = static_cast<CK_ULONG>(in.size());
    CK_ULONG len = 0;
    if (CK_RV rv = process(h, data, n, nullptr, &len); rv != CKR_OK) return rv;
    out.assign(len, 0);
    CK_RV rv = process(h, data, n, out.data(), &len);
    out.resize(rv == CKR_OK ? len : 0);
    return rv;
  }
  // Single-part operation; the answer of the first step that fails.
  CK_RV Run(CK_C_SignInit init, CK_C_Sign process, CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech,
            CK_OBJECT_HANDLE key, const Bytes& in, Bytes& out) {
    CK_MECHANISM m = Mech(mech);
    if (CK_RV rv = init(h, &m, key); rv != CKR_OK) return rv;
    return Finish(process, h, in, out);
  }
  CK_RV Digest(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech, const Bytes& in, Bytes& out) {
    CK_MECHANISM m = Mech(mech);
    if (CK_RV rv = p11_->C_DigestInit(h, &m); rv != CKR_OK) return rv;
    return Finish(p11_->C_Digest, h, in, out);
  }
  CK_RV Sign(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key, const Bytes& in, Bytes& out) {
    return Run(p11_->C_SignInit, p11_->C_Sign, h, mech, key, in, out);
  }
  CK_RV Verify(CK_SESSION_HANDLE h, CK_MECHANISM_TYPE mech, CK_OBJECT_HANDLE key, const Bytes& data, Bytes sig) {
    CK_MECHANISM m = Mech(mech);
    if (CK_RV rv = p11_->C_VerifyInit(h, &m, key); rv != CKR_OK) return rv;
    return p11_->C_Verify(h, const_cast<unsigned char*>(data.data()), static_cast<CK_ULONG>(data.size()), sig.data(),
                          static_cast<CK_ULONG>(sig.size()));
  }
  // A token with one key pair of modulus_bytes and a logged-in user.
  CK_SESSION_HANDLE KeyPairSession(unsigned long modulus_bytes, unsigned long* out3) {
    const unsigned long slot = M().add_slot("S", 1);
    const unsigned char id[] = {0x42};
    const unsigned char serial[] = {0x01, 0x05};
    M().add_key_pair(slot, id, sizeof id, serial, sizeof serial, modulus_bytes, out3);
    CK_SESSION_HANDLE h = Open(slot);
    EXPECT_EQ(CKR_OK, Login(h, CKU_USER, "1234"));
    return h;
  }

  static Library* lib_;
  std::optional<Mock> m_;
  CK_FUNCTION_LIST_PTR p11_ = nullptr;
};

Library* MockTest::lib_ = nullptr;

TEST(MockModule, ExportsTheModuleInterfaceOnly) {
  Library lib(MockPath(MOCK_DIR, "Kelo-ZIr4"));
  ASSERT_TRUE(lib.Loaded()) << dlerror();
  Mock m(lib);
  ASSERT_TRUE(m.Complete());
  EXPECT_EQ(nullptr, lib.Symbol("C_Sign"));  // only reachable through the list
  auto aux = reinterpret_cast<CK_RV (*)(void**)>(lib.Symbol("E_GetAuxFunctionList"));
  ASSERT_NE(nullptr, aux);
  void* table = nullptr;
  EXPECT_EQ(CKR_OK, aux(&table));
  EXPECT_NE(nullptr, table);

  Library noaux(MockPath(MOCK_NOAUX_DIR, "Kelo-ZIr4"));
  ASSERT_TRUE(noaux.Loaded()) << dlerror();
  EXPECT_NE(nullptr, noaux.Symbol("C_GetFunctionList"));
  EXPECT_EQ(nullptr, noaux.Symbol("E_GetAuxFunctionList"));

  // Every entry of the list is callable; the ones the mock does not model say so.
  const auto* first = reinterpret_cast<const unsigned char*>(m.p11) + offsetof(CK_FUNCTION_LIST, C_Initialize);
  const std::size_t entries = (sizeof(CK_FUNCTION_LIST) - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
  EXPECT_EQ(68u, entries);
  for (std::size_t i = 0; i < entries; ++i) {
    void* entry = nullptr;
    std::memcpy(&entry, first + i * sizeof(void*), sizeof entry);
    EXPECT_NE(nullptr, entry) << "entry " << i;
  }
  m.reset();
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, m.p11->C_GetInfo(nullptr));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, m.p11->C_GenerateRandom(1, nullptr, 0));
  EXPECT_STREQ("C_GetInfo\nC_GenerateRandom\n", m.log());
}

TEST(MockModule, EachModuleFileHasItsOwnState) {
  Library a(MockPath(MOCK_DIR, "Kelo-ZIr4"));
  Library b(MockPath(MOCK_DIR, "Kelo-CAv5"));
  ASSERT_TRUE(a.Loaded() && b.Loaded());
  Mock ma(a), mb(b);
  ASSERT_TRUE(ma.Complete() && mb.Complete());
  ma.reset();
  mb.reset();
  ma.add_slot("A", 1);
  ASSERT_EQ(CKR_OK, ma.p11->C_Initialize(nullptr));
  ASSERT_EQ(CKR_OK, mb.p11->C_Initialize(nullptr));
  CK_ULONG na = 0, nb = 0;
  EXPECT_EQ(CKR_OK, ma.p11->C_GetSlotList(CK_TRUE, nullptr, &na));
  EXPECT_EQ(CKR_OK, mb.p11->C_GetSlotList(CK_TRUE, nullptr, &nb));
  EXPECT_EQ(1u, na);
  EXPECT_EQ(0u, nb);
  EXPECT_EQ(1u, ma.count("C_GetSlotList"));
  ma.reset();
  mb.reset();
}

TEST_F(MockTest, InitializeAndFinalize) {
  CK_SESSION_HANDLE h = Open(M().add_slot("S", 1));
  EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, p11_->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, p11_->C_Finalize(nullptr));
  EXPECT_EQ(0u, M().open_sessions());
  EXPECT_EQ(0, M().is_initialized());
  CK_ULONG n = 10;
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11_->C_GetSlotList(CK_TRUE, nullptr, &n));
  EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11_->C_Finalize(nullptr));
  ASSERT_EQ(CKR_OK, p11_->C_Initialize(nullptr));
  EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11_->C_CloseSession(h));
  EXPECT_EQ(h + 1, Open(1));  // handles are not reused

  // A forced "already initialised" leaves the module usable; other answers do not.
  M().reset();
  M().set_initialize_rv(CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, p11_->C_Initialize(nullptr));
  EXPECT_EQ(CKR_OK, p11_->C_GetSlotList(CK_TRUE, nullptr, &n));
  M().reset();
  M().set_initialize_rv(CKR_GENERAL_ERROR);
  EXPECT_EQ(CKR_GENERAL_ERROR, p11_->C_Initialize(nullptr));
  EXPECT_EQ(0, M().is_initialized());
}

TEST_F(MockTest, SlotListAndTokenInfo) {
  M().add_slot("SERIAL-A", 1);
  M().add_slot("SERIAL-B", 0);
  M().add_slot("SERIAL-C", 1);
  CK_SLOT_ID slots[10] = {};
  CK_ULONG n = 10;
  ASSERT_EQ(CKR_OK, p11_->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ((std::vector<CK_SLOT_ID>{1, 3}), std::vector<CK_SLOT_ID>(slots, slots + n));
  n = 10;
  EXPECT_EQ(CKR_OK, p11_->C_GetSlotList(CK_FALSE, slots, &n));
  EXPECT_EQ(3u, n);
  n = 1;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11_->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(CKR_OK, p11_->C_GetSlotList(CK_TRUE, nullptr, &n));
  EXPECT_EQ(2u, n);

  CK_TOKEN_INFO info;
  ASSERT_EQ(CKR_OK, p11_->C_GetTokenInfo(3, &info));
  EXPECT_EQ("SERIAL-C        ", std::string(reinterpret_cast<char*>(info.serialNumber), 16));
  EXPECT_EQ("mock" + std::string(28, ' '), std::string(reinterpret_cast<char*>(info.label), 32));
  EXPECT_EQ(CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED, info.flags);
  M().lock_pin(3, CKU_USER, 1);
  M().lock_pin(3, CKU_SO, 1);
  ASSERT_EQ(CKR_OK, p11_->C_GetTokenInfo(3, &info));
  EXPECT_EQ(CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED, info.flags & (CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11_->C_GetTokenInfo(2, &info));
  EXPECT_EQ(CKR_SLOT_ID_INVALID, p11_->C_GetTokenInfo(4, &info));
  EXPECT_EQ(std::string("C_GetSlotList 1 10\nC_GetSlotList 0 10\nC_GetSlotList 1 1\nC_GetSlotList 1 null\n") +
                "C_GetTokenInfo 3\nC_GetTokenInfo 3\nC_GetTokenInfo 2\nC_GetTokenInfo 4\n",
            std::string(M().log()).substr(std::string("C_Initialize\n").size()));
}

TEST_F(MockTest, LoginStateIsSharedByTheTokensSessions) {
  const unsigned long slot = M().add_slot("S", 1);
  const CK_SESSION_HANDLE s1 = Open(slot), s2 = Open(slot);
  struct Step {
    CK_SESSION_HANDLE session;
    int user;  // -1 logs out
    const char* pin;
    CK_RV expected;
    int state_after;
  } steps[] = {
      {s1, -1, "", CKR_USER_NOT_LOGGED_IN, -1},
      {s1, CKU_USER, "9999", CKR_PIN_INCORRECT, -1},
      {s1, CKU_USER, "1234", CKR_OK, 1},
      {s2, CKU_USER, "1234", CKR_USER_ALREADY_LOGGED_IN, 1},
      {s2, CKU_SO, "12345678", CKR_USER_ANOTHER_ALREADY_LOGGED_IN, 1},
      {s2, -1, "", CKR_OK, -1},
      {s2, CKU_SO, "1234", CKR_PIN_INCORRECT, -1},
      {s2, CKU_SO, "12345678", CKR_OK, 0},
  };
  for (const Step& st : steps) {
    const CK_RV rv = st.user < 0 ? p11_->C_Logout(st.session) : Login(st.session, st.user, st.pin);
    EXPECT_EQ(st.expected, rv) << "user " << st.user << " pin " << st.pin;
    EXPECT_EQ(st.state_after, M().login_state(slot));
  }
  EXPECT_EQ(CKR_OK, p11_->C_CloseSession(s1));
  EXPECT_EQ(0, M().login_state(slot));
  EXPECT_EQ(CKR_OK, p11_->C_CloseSession(s2));  // the last one ends the login
  EXPECT_EQ(-1, M().login_state(slot));

  M().lock_pin(slot, CKU_USER, 1);
  EXPECT_EQ(CKR_PIN_LOCKED, Login(Open(slot), CKU_USER, "1234"));
  EXPECT_NE(std::string::npos, std::string(M().log()).find("C_Login 3 1 4 1234\n"));
}

TEST_F(MockTest, TokenAndPinManagement) {
  const unsigned long slot = M().add_slot("S", 1);
  M().add_object(slot, CKO_DATA, 1, 0);
  char label[33] = "New label                       ";
  std::string so = "12345678", wrong = "87654321";
  auto init_token = [&](std::string& pin) {
    return p11_->C_InitToken(slot, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), static_cast<CK_ULONG>(pin.size()),
                             reinterpret_cast<CK_UTF8CHAR_PTR>(label));
  };
  CK_SESSION_HANDLE h = Open(slot);
  EXPECT_EQ(CKR_SESSION_EXISTS, init_token(so));
  ASSERT_EQ(CKR_OK, p11_->C_CloseAllSessions(slot));
  EXPECT_EQ(CKR_PIN_INCORRECT, init_token(wrong));
  ASSERT_EQ(CKR_OK, init_token(so));
  char stored[32];
  M().get_label(slot, stored);
  EXPECT_EQ(std::string(label, 32), std::string(stored, 32));
  EXPECT_NE(std::string::npos,
            std::string(M().log()).find("C_InitToken 1 8 12345678 \"New label                       \"\n"));

  h = Open(slot);
  EXPECT_TRUE(Find(h, std::nullopt, std::nullopt).empty());  // objects destroyed
  EXPECT_EQ(CKR_USER_PIN_NOT_INITIALIZED, Login(h, CKU_USER, "1234"));
  std::string pin = "5555";
  auto init_pin = [&] {
    return p11_->C_InitPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), static_cast<CK_ULONG>(pin.size()));
  };
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, init_pin());
  ASSERT_EQ(CKR_OK, Login(h, CKU_SO, "12345678"));
  ASSERT_EQ(CKR_OK, init_pin());
  char buf[16];
  EXPECT_EQ(4, M().get_user_pin(slot, buf, sizeof buf));
  EXPECT_STREQ("5555", buf);
  ASSERT_EQ(CKR_OK, p11_->C_Logout(h));

  auto set_pin = [&](std::string old_pin, std::string new_pin) {
    return p11_->C_SetPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(old_pin.data()), static_cast<CK_ULONG>(old_pin.size()),
                          reinterpret_cast<CK_UTF8CHAR_PTR>(new_pin.data()), static_cast<CK_ULONG>(new_pin.size()));
  };
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, set_pin("5555", "6666"));
  ASSERT_EQ(CKR_OK, Login(h, CKU_USER, "5555"));
  EXPECT_EQ(CKR_PIN_INCORRECT, set_pin("0000", "6666"));
  EXPECT_EQ(CKR_OK, set_pin("5555", "6666"));
  EXPECT_EQ(4, M().get_user_pin(slot, buf, sizeof buf));
  EXPECT_STREQ("6666", buf);
  EXPECT_EQ(8, M().get_so_pin(slot, buf, sizeof buf));
  EXPECT_NE(std::string::npos, std::string(M().log()).find("C_SetPIN 2 4 5555 4 6666\n"));
}

TEST_F(MockTest, SearchesHonourTemplateLoginAndOrder) {
  const unsigned long slot = M().add_slot("S", 1);
  const unsigned long other = M().add_slot("T", 1);
  const unsigned long cert = M().add_object(slot, CKO_CERTIFICATE, 1, 0);
  const unsigned long priv = M().add_object(slot, CKO_PRIVATE_KEY, 1, 1);
  const unsigned long session_obj = M().add_object(slot, CKO_CERTIFICATE, 0, 0);
  M().add_object(other, CKO_CERTIFICATE, 1, 0);
  const unsigned long cert2 = M().add_object(slot, CKO_CERTIFICATE, 1, 0);
  using H = std::vector<CK_OBJECT_HANDLE>;
  const CK_SESSION_HANDLE h = Open(slot);

  EXPECT_EQ((H{cert, cert2}), Find(h, CKO_CERTIFICATE, CK_TRUE));
  EXPECT_EQ((H{session_obj}), Find(h, CKO_CERTIFICATE, CK_FALSE));
  EXPECT_EQ((H{cert, session_obj, cert2}), Find(h, std::nullopt, std::nullopt));
  EXPECT_EQ(H{}, Find(h, CKO_PRIVATE_KEY, CK_TRUE));
  ASSERT_EQ(CKR_OK, Login(h, CKU_SO, "12345678"));
  EXPECT_EQ(H{}, Find(h, CKO_PRIVATE_KEY, CK_TRUE));  // only the user sees private objects
  ASSERT_EQ(CKR_OK, p11_->C_Logout(h));
  ASSERT_EQ(CKR_OK, Login(h, CKU_USER, "1234"));
  EXPECT_EQ((H{priv}), Find(h, CKO_PRIVATE_KEY, CK_TRUE));

  CK_OBJECT_HANDLE o;
  CK_ULONG n;
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11_->C_FindObjects(h, &o, 1, &n));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11_->C_FindObjectsFinal(h));
  ASSERT_EQ(CKR_OK, p11_->C_FindObjectsInit(h, nullptr, 0));
  EXPECT_EQ(1, M().find_active(h));
  EXPECT_EQ(CKR_OPERATION_ACTIVE, p11_->C_FindObjectsInit(h, nullptr, 0));
  EXPECT_EQ(CKR_OK, p11_->C_FindObjectsFinal(h));
  EXPECT_EQ(0, M().find_active(h));

  M().clear_log();
  Find(h, CKO_CERTIFICATE, CK_TRUE);
  Find(h, std::nullopt, std::nullopt);
  const std::string log = M().log();
  EXPECT_TRUE(log.starts_with("C_FindObjectsInit 1 1 1\nC_FindObjects 1 1\nC_FindObjects 1 1\nC_FindObjects 1 1\n"
                              "C_FindObjectsFinal 1\nC_FindObjectsInit 1 -1 -1\n"))
      << log;
}

TEST_F(MockTest, GetAttributeValue) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  const unsigned long cert = objs[0];
  EXPECT_EQ((Bytes{0x42}), Attribute(h, cert, CKA_ID));
  EXPECT_EQ((Bytes{0x02, 0x02, 0x01, 0x05}), Attribute(h, cert, CKA_SERIAL_NUMBER));
  EXPECT_FALSE(Attribute(h, cert, CKA_VALUE).empty());

  const unsigned char id[] = {1, 2, 3};
  M().set_attribute(cert, CKA_ID, id, sizeof id);
  M().clear_log();
  CK_ATTRIBUTE two[2] = {{CKA_ID, nullptr, 0}, {CKA_SERIAL_NUMBER, nullptr, 0}};
  ASSERT_EQ(CKR_OK, p11_->C_GetAttributeValue(h, cert, two, 2));
  EXPECT_EQ(3u, two[0].ulValueLen);
  EXPECT_EQ(4u, two[1].ulValueLen);
  unsigned char small[2], big[8];
  two[0].pValue = small;
  two[0].ulValueLen = sizeof small;
  two[1].pValue = big;
  two[1].ulValueLen = sizeof big;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11_->C_GetAttributeValue(h, cert, two, 2));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, two[0].ulValueLen);
  EXPECT_EQ(4u, two[1].ulValueLen);
  EXPECT_EQ("C_GetAttributeValue 1 1 258* 130*\nC_GetAttributeValue 1 1 258:2 130:8\n",
            std::string(M().log()));

  M().remove_attribute(cert, CKA_SERIAL_NUMBER);
  two[1].ulValueLen = sizeof big;
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, p11_->C_GetAttributeValue(h, cert, &two[1], 1));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, two[1].ulValueLen);

  CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, big, sizeof big};
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, p11_->C_GetAttributeValue(h, objs[2], &secret, 1));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, secret.ulValueLen);
  EXPECT_EQ(128u, Attribute(h, objs[2], CKA_MODULUS).size());
  EXPECT_EQ(Attribute(h, objs[1], CKA_MODULUS), Attribute(h, objs[2], CKA_MODULUS));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11_->C_GetAttributeValue(h, 999, two, 1));
}

TEST_F(MockTest, InjectedFaultsAnswerWithoutDoingTheWork) {
  const unsigned long slot = M().add_slot("S", 1);
  M().fail("C_OpenSession", 2, CKR_DEVICE_ERROR);
  M().fail("C_CloseSession", 1, CKR_GENERAL_ERROR);
  const CK_SESSION_HANDLE first = Open(slot);
  CK_SESSION_HANDLE h = 77;
  EXPECT_EQ(CKR_DEVICE_ERROR, p11_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(77u, h);
  EXPECT_EQ(1u, M().open_sessions());
  EXPECT_EQ(first + 1, Open(slot));  // the failed call took no handle
  EXPECT_EQ(CKR_GENERAL_ERROR, p11_->C_CloseSession(first));
  EXPECT_EQ(2u, M().open_sessions());
  EXPECT_EQ(CKR_OK, p11_->C_CloseSession(first));
  EXPECT_EQ(3u, M().count("C_OpenSession"));
  EXPECT_EQ(2u, M().count("C_CloseSession"));

  M().fail("C_Logout", 0, CKR_FUNCTION_FAILED);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(CKR_FUNCTION_FAILED, p11_->C_Logout(first + 1));
  M().clear_faults();
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, p11_->C_Logout(first + 1));

  M().fail("C_GetFunctionList", 1, CKR_HOST_MEMORY);
  CK_FUNCTION_LIST_PTR list = nullptr;
  EXPECT_EQ(CKR_HOST_MEMORY, p11_->C_GetFunctionList(&list));
  EXPECT_EQ(nullptr, list);
  EXPECT_EQ(CKR_OK, p11_->C_GetFunctionList(&list));
  EXPECT_EQ(p11_, list);
}

TEST_F(MockTest, SignVerifyAndDigestInfoEquivalence) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  const Bytes data{'h', 'e', 'l', 'l', 'o'};
  struct Case {
    CK_MECHANISM_TYPE sign, digest;
    std::size_t digest_len;
  } cases[] = {{CKM_SHA1_RSA_PKCS, CKM_SHA_1, 20}, {CKM_MD5_RSA_PKCS, CKM_MD5, 16}, {CKM_MD2_RSA_PKCS, CKM_MD2, 16}};
  std::vector<Bytes> signatures;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sign);
    Bytes sig, again, digest, raw;
    ASSERT_EQ(CKR_OK, Sign(h, c.sign, objs[2], data, sig));
    EXPECT_EQ(128u, sig.size());
    ASSERT_EQ(CKR_OK, Sign(h, c.sign, objs[2], data, again));
    EXPECT_EQ(sig, again);
    EXPECT_EQ(CKR_OK, Verify(h, c.sign, objs[1], data, sig));
    Bytes tampered = sig;
    tampered[64] ^= 1;
    EXPECT_EQ(CKR_SIGNATURE_INVALID, Verify(h, c.sign, objs[1], data, tampered));
    EXPECT_EQ(CKR_SIGNATURE_INVALID, Verify(h, c.sign, objs[1], Bytes{'h'}, sig));
    EXPECT_EQ(CKR_SIGNATURE_LEN_RANGE, Verify(h, c.sign, objs[1], data, Bytes(sig.begin(), sig.end() - 1)));

    // Signing the DigestInfo with the raw mechanism is the same operation.
    ASSERT_EQ(CKR_OK, Digest(h, c.digest, data, digest));
    EXPECT_EQ(c.digest_len, digest.size());
    Bytes info = DigestInfoPrefix(c.digest);
    info.insert(info.end(), digest.begin(), digest.end());
    ASSERT_EQ(CKR_OK, Sign(h, CKM_RSA_PKCS, objs[2], info, raw));
    EXPECT_EQ(sig, raw);
    EXPECT_EQ(CKR_OK, Verify(h, CKM_RSA_PKCS, objs[1], info, sig));
    signatures.push_back(sig);
  }
  EXPECT_NE(signatures[0], signatures[1]);
  EXPECT_NE(signatures[1], signatures[2]);

  // Another pair signs differently and does not verify the first pair's signatures.
  const unsigned char id2[] = {0x43};
  unsigned long objs2[3];
  M().add_key_pair(1, id2, 1, id2, 1, 128, objs2);
  Bytes sig2;
  ASSERT_EQ(CKR_OK, Sign(h, CKM_SHA1_RSA_PKCS, objs2[2], data, sig2));
  EXPECT_NE(signatures[0], sig2);
  EXPECT_EQ(CKR_SIGNATURE_INVALID, Verify(h, CKM_SHA1_RSA_PKCS, objs2[1], data, signatures[0]));
}

TEST_F(MockTest, EncryptDecryptRoundTrip) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{117}}) {
    SCOPED_TRACE(len);
    Bytes plain(len), cipher, back;
    for (std::size_t i = 0; i < len; ++i) plain[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_EQ(CKR_OK, Run(p11_->C_EncryptInit, p11_->C_Encrypt, h, CKM_RSA_PKCS, objs[1], plain, cipher));
    EXPECT_EQ(128u, cipher.size());
    ASSERT_EQ(CKR_OK, Run(p11_->C_DecryptInit, p11_->C_Decrypt, h, CKM_RSA_PKCS, objs[2], cipher, back));
    EXPECT_EQ(plain, back);
  }
  Bytes out;
  EXPECT_EQ(CKR_DATA_LEN_RANGE, Run(p11_->C_EncryptInit, p11_->C_Encrypt, h, CKM_RSA_PKCS, objs[1], Bytes(118), out));
  EXPECT_EQ(CKR_DATA_LEN_RANGE, Sign(h, CKM_RSA_PKCS, objs[2], Bytes(118), out));
  EXPECT_EQ(0, M().operation_active(h));
  Bytes garbage(128, 0x33);
  EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID,
            Run(p11_->C_DecryptInit, p11_->C_Decrypt, h, CKM_RSA_PKCS, objs[2], garbage, out));
  EXPECT_EQ(0, M().operation_active(h));
}

TEST_F(MockTest, KeyAndMechanismChecks) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  const unsigned long data_obj = M().add_object(1, CKO_DATA, 1, 0);
  const CK_BBOOL no = CK_FALSE;
  const unsigned char id[] = {9};
  unsigned long restricted[3];
  M().add_key_pair(1, id, 1, id, 1, 128, restricted);
  M().set_attribute(restricted[2], CKA_SIGN, &no, 1);
  M().set_attribute(restricted[2], CKA_DECRYPT, &no, 1);
  struct Case {
    CK_C_SignInit init;
    CK_MECHANISM_TYPE mech;
    CK_OBJECT_HANDLE key;
    CK_RV expected;
  } cases[] = {
      {p11_->C_SignInit, CKM_SHA1_RSA_PKCS, objs[1], CKR_KEY_TYPE_INCONSISTENT},
      {p11_->C_SignInit, CKM_SHA1_RSA_PKCS, data_obj, CKR_KEY_TYPE_INCONSISTENT},
      {p11_->C_SignInit, CKM_SHA224_RSA_PKCS, objs[2], CKR_MECHANISM_INVALID},
      {p11_->C_SignInit, CKM_ECDSA_SHA256, objs[2], CKR_KEY_TYPE_INCONSISTENT},  // an RSA key
      {p11_->C_SignInit, CKM_SHA1_RSA_PKCS, 999, CKR_KEY_HANDLE_INVALID},
      {p11_->C_SignInit, CKM_SHA1_RSA_PKCS, restricted[2], CKR_KEY_FUNCTION_NOT_PERMITTED},
      {p11_->C_VerifyInit, CKM_MD5_RSA_PKCS, objs[2], CKR_KEY_TYPE_INCONSISTENT},
      {p11_->C_EncryptInit, CKM_RSA_PKCS, objs[2], CKR_KEY_TYPE_INCONSISTENT},
      {p11_->C_EncryptInit, CKM_SHA1_RSA_PKCS, objs[1], CKR_MECHANISM_INVALID},
      {p11_->C_DecryptInit, CKM_RSA_PKCS, objs[1], CKR_KEY_TYPE_INCONSISTENT},
      {p11_->C_DecryptInit, CKM_RSA_PKCS, restricted[2], CKR_KEY_FUNCTION_NOT_PERMITTED},
  };
  for (const Case& c : cases) {
    CK_MECHANISM m = Mech(c.mech);
    EXPECT_EQ(c.expected, c.init(h, &m, c.key)) << "mechanism " << c.mech << " key " << c.key;
    EXPECT_EQ(0, M().operation_active(h));
  }
  CK_MECHANISM sha224 = Mech(CKM_SHA224);
  EXPECT_EQ(CKR_MECHANISM_INVALID, p11_->C_DigestInit(h, &sha224));
  ASSERT_EQ(CKR_OK, p11_->C_Logout(h));
  CK_MECHANISM sha1 = Mech(CKM_SHA1_RSA_PKCS);
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, p11_->C_SignInit(h, &sha1, objs[2]));
  EXPECT_EQ(CKR_OK, p11_->C_VerifyInit(h, &sha1, objs[1]));  // public keys need no login
}

TEST_F(MockTest, OutputBufferRulesKeepTheOperationActive) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  CK_MECHANISM m = Mech(CKM_SHA1_RSA_PKCS);
  unsigned char data[5] = {1, 2, 3, 4, 5};
  unsigned char out[128];
  ASSERT_EQ(CKR_OK, p11_->C_SignInit(h, &m, objs[2]));
  CK_ULONG len = 0;
  EXPECT_EQ(CKR_OK, p11_->C_Sign(h, data, 5, nullptr, &len));
  EXPECT_EQ(128u, len);
  len = 10;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11_->C_Sign(h, data, 5, out, &len));
  EXPECT_EQ(128u, len);
  EXPECT_EQ(1, M().operation_active(h));
  EXPECT_EQ(CKR_OPERATION_ACTIVE, p11_->C_SignInit(h, &m, objs[2]));
  CK_MECHANISM digest = Mech(CKM_MD5);
  EXPECT_EQ(CKR_OPERATION_ACTIVE, p11_->C_DigestInit(h, &digest));
  // An injected too-small answer keeps the operation; any other injected
  // failure of a processing call ends it, as a module's own failure would.
  M().fail("C_Sign", 1, CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11_->C_Sign(h, data, 5, out, &len));
  EXPECT_EQ(1, M().operation_active(h));
  M().fail("C_Sign", 1, CKR_DEVICE_ERROR);
  EXPECT_EQ(CKR_DEVICE_ERROR, p11_->C_Sign(h, data, 5, out, &len));
  EXPECT_EQ(0, M().operation_active(h));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11_->C_Sign(h, data, 5, out, &len));

  // Decryption reports the key size as its bound and the plaintext size at the end.
  Bytes cipher;
  ASSERT_EQ(CKR_OK, Run(p11_->C_EncryptInit, p11_->C_Encrypt, h, CKM_RSA_PKCS, objs[1], Bytes(data, data + 5), cipher));
  CK_MECHANISM rsa = Mech(CKM_RSA_PKCS);
  ASSERT_EQ(CKR_OK, p11_->C_DecryptInit(h, &rsa, objs[2]));
  len = 5;
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11_->C_Decrypt(h, cipher.data(), 128, out, &len));
  EXPECT_EQ(128u, len);
  EXPECT_EQ(CKR_OK, p11_->C_Decrypt(h, cipher.data(), 128, out, &len));
  EXPECT_EQ(5u, len);

  const std::string log = M().log();
  for (const char* line : {"\nC_SignInit 1 6 3\nC_Sign 1 5 null\nC_Sign 1 5 10\n", "\nC_DigestInit 1 528\n",
                           "\nC_DecryptInit 1 1 3\nC_Decrypt 1 128 5\nC_Decrypt 1 128 128\n"})
    EXPECT_NE(std::string::npos, log.find(line)) << line << "in\n" << log;
}

// Broken-module behaviour the token layer's robustness tests rely on.
TEST_F(MockTest, MisbehaviourWhileAnsweringOk) {
  unsigned long objs[3];
  const CK_SESSION_HANDLE h = KeyPairSession(128, objs);
  // Reported lengths: queries, areas that fit and areas that do not.
  ASSERT_EQ(1, M().set_reported_length("C_GetSlotList", 5000));
  EXPECT_EQ(0, M().set_reported_length("C_Login", 5000));
  CK_SLOT_ID slots[2] = {};
  CK_ULONG n = 2;
  EXPECT_EQ(CKR_OK, p11_->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ(5000u, n);
  EXPECT_EQ(1u, slots[0]);
  ASSERT_EQ(1, M().set_reported_length("C_GetAttributeValue", 0xFFFFFFFFul));
  unsigned char id[4] = {};
  CK_ATTRIBUTE attrs[2] = {{CKA_ID, id, sizeof id}, {CKA_SERIAL_NUMBER, nullptr, 0}};
  EXPECT_EQ(CKR_OK, p11_->C_GetAttributeValue(h, objs[0], attrs, 2));
  EXPECT_EQ(0x42, id[0]);
  EXPECT_EQ(0xFFFFFFFFul, attrs[0].ulValueLen);
  EXPECT_EQ(0xFFFFFFFFul, attrs[1].ulValueLen);
  ASSERT_EQ(1, M().set_reported_length("C_Sign", 77777));
  CK_MECHANISM m = Mech(CKM_RSA_PKCS);
  unsigned char data[3] = {1, 2, 3}, sig[128];
  ASSERT_EQ(CKR_OK, p11_->C_SignInit(h, &m, objs[2]));
  CK_ULONG len = 0;
  EXPECT_EQ(CKR_OK, p11_->C_Sign(h, data, 3, nullptr, &len));
  EXPECT_EQ(77777u, len);
  EXPECT_EQ(1, M().operation_active(h));
  len = 10;
  EXPECT_EQ(CKR_OK, p11_->C_Sign(h, data, 3, sig, &len));
  EXPECT_EQ(77777u, len);
  EXPECT_EQ(0, M().operation_active(h));
  M().set_reported_length("C_Sign", 0);
  ASSERT_EQ(CKR_OK, p11_->C_SignInit(h, &m, objs[2]));
  len = sizeof sig;
  EXPECT_EQ(CKR_OK, p11_->C_Sign(h, data, 3, sig, &len));
  EXPECT_EQ(128u, len);

  // A search that never runs dry repeats its matches.
  M().set_endless_find(1);
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &cls, sizeof cls};
  ASSERT_EQ(CKR_OK, p11_->C_FindObjectsInit(h, &tmpl, 1));
  for (int i = 0; i < 3; ++i) {
    CK_OBJECT_HANDLE o = 0;
    EXPECT_EQ(CKR_OK, p11_->C_FindObjects(h, &o, 1, &n));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(objs[0], o);
  }
  EXPECT_EQ(CKR_OK, p11_->C_FindObjectsFinal(h));

  // Session handle 0, opening nothing.
  M().set_zero_session(1);
  CK_SESSION_HANDLE zero = 99;
  EXPECT_EQ(CKR_OK, p11_->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &zero));
  EXPECT_EQ(0u, zero);
  EXPECT_EQ(1u, M().open_sessions());

  // Null entries in lists handed out from now on; earlier lists stay whole.
  EXPECT_EQ(0, M().null_function("C_NoSuchFunction"));
  ASSERT_EQ(1, M().null_function("C_Login"));
  CK_FUNCTION_LIST_PTR gapped = nullptr;
  ASSERT_EQ(CKR_OK, p11_->C_GetFunctionList(&gapped));
  EXPECT_EQ(nullptr, gapped->C_Login);
  EXPECT_NE(nullptr, gapped->C_Logout);
  EXPECT_NE(nullptr, p11_->C_Login);

  // Printing to stdout from the three chatty functions.
  M().set_stdout("chatter");
  ::testing::internal::CaptureStdout();
  p11_->C_Initialize(nullptr);
  p11_->C_GetSlotList(CK_TRUE, nullptr, &n);
  p11_->C_Sign(h, data, 3, nullptr, &len);
  p11_->C_Logout(h);
  EXPECT_EQ("chatter\nchatter\nchatter\n", ::testing::internal::GetCapturedStdout());

  M().reset();  // forgets every misbehaviour
  ASSERT_EQ(CKR_OK, p11_->C_GetFunctionList(&gapped));
  EXPECT_EQ(p11_, gapped);
}

// Tests that run the control in a child process configure the mock through
// the environment; a fresh copy of the file picks it up when loaded.
TEST(MockModule, ConfigurationFromTheEnvironment) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "mockp11_env_test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::filesystem::path source = MockPath(MOCK_DIR, "Kelo-CAv6");
  std::filesystem::copy_file(source, dir / "Kelo-Env.Test.so");
  std::filesystem::copy_file(source, dir / "Kelo-Env2.so");
  std::optional<Library> lib, lib2;
  std::string warnings;
  {
    // Read when each copy loads; gone before anything below runs.
    const kelo::test::ScopedEnv vars[] = {
        {"MOCKP11_TOKENS", "AAA,BBB"},
        {"MOCKP11_FAIL", "C_GetTokenInfo:2:0x30,C_Logout:0:7,bogus"},
        {"MOCKP11_TOKENS_KELO_ENV2", ""},
        {"MOCKP11_LABEL", "Label \xC3\xA9 long enough to be cut after 32 bytes"},
        {"MOCKP11_STDOUT", "noise"},
        {"MOCKP11_MISBEHAVE_KELO_ENV2", "null:C_GetInfo,length:C_Sign:0x1000,length:C_Login:1,endless"}};
    ::testing::internal::CaptureStderr();
    lib.emplace((dir / "Kelo-Env.Test.so").string());
    lib2.emplace((dir / "Kelo-Env2.so").string());
    warnings = ::testing::internal::GetCapturedStderr();
  }
  EXPECT_NE(std::string::npos, warnings.find("\"length:C_Login:1\"")) << warnings;
  EXPECT_NE(std::string::npos, warnings.find("\"endless\"")) << warnings;
  ASSERT_TRUE(lib->Loaded() && lib2->Loaded());
  Mock m(*lib), m2(*lib2);
  ASSERT_TRUE(m.Complete() && m2.Complete());

  ::testing::internal::CaptureStdout();
  ASSERT_EQ(CKR_OK, m.p11->C_Initialize(nullptr));
  CK_SLOT_ID slots[10];
  CK_ULONG n = 10;
  ASSERT_EQ(CKR_OK, m.p11->C_GetSlotList(CK_TRUE, slots, &n));
  EXPECT_EQ("noise\nnoise\n", ::testing::internal::GetCapturedStdout());
  ASSERT_EQ(2u, n);
  CK_TOKEN_INFO info;
  EXPECT_EQ(CKR_OK, m.p11->C_GetTokenInfo(2, &info));
  EXPECT_EQ("BBB             ", std::string(reinterpret_cast<char*>(info.serialNumber), 16));
  EXPECT_EQ("Label \xC3\xA9 long enough to be cut a", std::string(reinterpret_cast<char*>(info.label), 32));
  EXPECT_EQ(CKR_DEVICE_ERROR, m.p11->C_GetTokenInfo(2, &info));
  EXPECT_EQ(CKR_OK, m.p11->C_GetTokenInfo(2, &info));

  CK_SESSION_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, m.p11->C_OpenSession(2, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m.p11->C_Logout(h));
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &cls, sizeof cls};
  CK_OBJECT_HANDLE cert = 0;
  ASSERT_EQ(CKR_OK, m.p11->C_FindObjectsInit(h, &tmpl, 1));
  ASSERT_EQ(CKR_OK, m.p11->C_FindObjects(h, &cert, 1, &n));
  ASSERT_EQ(1u, n);
  ASSERT_EQ(CKR_OK, m.p11->C_FindObjectsFinal(h));
  unsigned char buf[1024];
  CK_ATTRIBUTE attrs[2] = {{CKA_ID, buf, 1}, {CKA_SERIAL_NUMBER, buf + 1, 4}};
  ASSERT_EQ(CKR_OK, m.p11->C_GetAttributeValue(h, cert, attrs, 2));
  EXPECT_EQ((Bytes{0x02, 0x02, 0x02, 0x01, 0x02}), Bytes(buf, buf + 5));
  CK_ATTRIBUTE value{CKA_VALUE, buf, sizeof buf};
  ASSERT_EQ(CKR_OK, m.p11->C_GetAttributeValue(h, cert, &value, 1));
  const Bytes env_cert(buf, buf + value.ulValueLen);

  // The same pair made through the control surface is the same pair.
  m.reset();
  m.add_slot("AAA", 1);
  m.add_slot("BBB", 1);
  const unsigned char id1[] = {1}, serial1[] = {1, 1}, id[] = {2}, serial[] = {1, 2};
  unsigned long objs[3];
  m.add_key_pair(1, id1, 1, serial1, 2, 256, objs);
  m.add_key_pair(2, id, 1, serial, 2, 256, objs);
  ASSERT_EQ(CKR_OK, m.p11->C_Initialize(nullptr));
  ASSERT_EQ(CKR_OK, m.p11->C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h));
  value.ulValueLen = sizeof buf;
  ASSERT_EQ(CKR_OK, m.p11->C_GetAttributeValue(h, objs[0], &value, 1));
  EXPECT_EQ(env_cert, Bytes(buf, buf + value.ulValueLen));
  m.reset();

  // The per-file variable overrides the common one, even when empty.
  // Each Mock took its list when it was made, before any reset.
  EXPECT_EQ(nullptr, m2.p11->C_GetInfo);
  EXPECT_NE(nullptr, m.p11->C_GetInfo);
  ASSERT_EQ(CKR_OK, m2.p11->C_Initialize(nullptr));
  n = 10;
  EXPECT_EQ(CKR_OK, m2.p11->C_GetSlotList(CK_FALSE, slots, &n));
  EXPECT_EQ(0u, n);
  m2.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
