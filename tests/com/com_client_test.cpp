// The COM server as a host and a script engine use it: created by ProgID,
// initialised through its persistence interfaces, called through IDispatch,
// against the mock token modules. Also the type library, the registry
// entries that need the platform to compute, the resources of this build and
// the module's unload bookkeeping.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "control/method_table.h"
#include "tests/com/com_test_util.h"
#include "tests/mock_api.h"

namespace kelo::comtest {
namespace {

constexpr bool k64Bit = sizeof(void*) == 8;

// HIMETRIC extent of the control's 30 pixels at 96 dots per inch.
const LONG kDefaultExtent = std::lround(30 * 2540.0 / 96.0);

VARTYPE AutomationType(VarType t) {
  switch (t) {
    case VarType::Long: return VT_I4;
    case VarType::Short: return VT_I2;
    case VarType::BStr: return VT_BSTR;
  }
  return VT_EMPTY;
}

// ---------------------------------------------------------------- fakes

// A property bag over a map, as a host keeps one.
class Bag final : public IPropertyBag {
 public:
  ~Bag() {
    for (auto& [name, v] : entries) VariantClear(&v);
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyBag)) {
      *ppv = static_cast<IPropertyBag*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* out, IErrorLog*) override {
    auto it = entries.find(name);
    if (it == entries.end()) return E_INVALIDARG;
    return VariantCopy(out, &it->second);
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, value);
    if (FAILED(hr)) return hr;
    VariantClear(&entries[name]);
    entries[name] = copy;
    return S_OK;
  }
  void PutI4(const wchar_t* name, LONG v) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    Write(name, &x);
  }
  void PutText(const wchar_t* name, const wchar_t* text) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_BSTR;
    V_BSTR(&x) = SysAllocString(text);
    Write(name, &x);
    VariantClear(&x);
  }
  // Entry name to value, for entries that are 32-bit integers; others as -1 with type noted.
  std::map<std::wstring, LONG> Longs() const {
    std::map<std::wstring, LONG> out;
    for (const auto& [name, v] : entries) {
      EXPECT_EQ(V_VT(&v), VT_I4) << "entry " << Narrow(name);
      out[name] = V_VT(&v) == VT_I4 ? V_I4(&v) : -1;
    }
    return out;
  }
  std::map<std::wstring, VARIANT> entries;
};

std::map<std::wstring, LONG> SavedState(LONG extentX, LONG extentY) {
  return {{L"_Version", 0x10000}, {L"_ExtentX", extentX}, {L"_ExtentY", extentY}, {L"_StockProps", 0}};
}

std::vector<std::uint8_t> StreamBytes(IStream* stream) {
  STATSTG st{};
  EXPECT_HRESULT_SUCCEEDED(stream->Stat(&st, STATFLAG_NONAME));
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.cbSize.QuadPart));
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ULONG got = 0;
  if (!bytes.empty()) {
    EXPECT_HRESULT_SUCCEEDED(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got));
  }
  bytes.resize(got);
  return bytes;
}

ComPtr<IStream> StreamOf(const std::vector<std::uint8_t>& bytes) {
  ComPtr<IStream> stream;
  EXPECT_HRESULT_SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()));
  ULONG put = 0;
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &put);
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  return stream;
}

void PutLE32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// ---------------------------------------------------------------- fixture

class ComControl : public test::MockTest {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(apartment_.Status());
    test::MockTest::SetUp();
  }

  // A created and freshly initialised control.
  ComPtr<IDispatch> NewControl() {
    ComPtr<IDispatch> ctl;
    EXPECT_HRESULT_SUCCEEDED(CreateControl(ctl));
    if (ctl) {
      EXPECT_HRESULT_SUCCEEDED(InitNew(ctl.get()));
    }
    return ctl;
  }
  // Slot 1 of module 0 with a token and one key pair (serial 01 01).
  unsigned long AddToken(const char* serial = "COM-TOKEN-000001") {
    unsigned long slot = m0.add_slot(serial, 1);
    m0.KeyPair(slot, 1, {0x01, 0x01});
    return slot;
  }
  LONG Connect(IDispatch* ctl) {
    Args none;
    Reply r;
    Call(ctl, 1, none, r);
    EXPECT_HRESULT_SUCCEEDED(r.hr);
    return V_I4(r.result.get());
  }
  // A method's integer result, by dispatch identifier.
  LONG Long(IDispatch* ctl, DISPID id, Args& args) {
    Reply r;
    Call(ctl, id, args, r);
    EXPECT_HRESULT_SUCCEEDED(r.hr) << "dispid " << id;
    EXPECT_EQ(V_VT(r.result.get()), VT_I4) << "dispid " << id;
    return V_I4(r.result.get());
  }
  std::wstring Text(IDispatch* ctl, DISPID id, Args& args) {
    Reply r;
    Call(ctl, id, args, r);
    EXPECT_HRESULT_SUCCEEDED(r.hr) << "dispid " << id;
    EXPECT_EQ(V_VT(r.result.get()), VT_BSTR) << "dispid " << id;
    return V_VT(r.result.get()) == VT_BSTR ? BstrText(V_BSTR(r.result.get())) : L"";
  }
  std::map<std::wstring, LONG> SaveToBag(IDispatch* ctl) {
    ComPtr<IPersistPropertyBag> pb;
    EXPECT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistPropertyBag, pb.put_void()));
    Bag bag;
    if (pb) {
      EXPECT_HRESULT_SUCCEEDED(pb->Save(&bag, TRUE, TRUE));
    }
    return bag.Longs();
  }

  Apartment apartment_;  // first in, last out: objects below go before it
};

// ---------------------------------------------------------------- lifecycle

TEST_F(ComControl, DispatchIsRefusedUntilTheHostInitialisesTheState) {
  AddToken();
  // Saved state, for the initialisation by loading.
  std::vector<std::uint8_t> saved;
  {
    ComPtr<IDispatch> other = NewControl();
    ComPtr<IPersistStreamInit> ps;
    ASSERT_HRESULT_SUCCEEDED(other->QueryInterface(IID_IPersistStreamInit, ps.put_void()));
    ComPtr<IStream> stream = StreamOf({});
    ASSERT_HRESULT_SUCCEEDED(ps->Save(stream.get(), TRUE));
    saved = StreamBytes(stream.get());
  }
  auto viaStream = [](IDispatch* d, const std::function<HRESULT(IPersistStreamInit*)>& f) {
    ComPtr<IPersistStreamInit> p;
    HRESULT hr = d->QueryInterface(IID_IPersistStreamInit, p.put_void());
    return FAILED(hr) ? hr : f(p.get());
  };
  auto viaBag = [](IDispatch* d, const std::function<HRESULT(IPersistPropertyBag*)>& f) {
    ComPtr<IPersistPropertyBag> p;
    HRESULT hr = d->QueryInterface(IID_IPersistPropertyBag, p.put_void());
    return FAILED(hr) ? hr : f(p.get());
  };
  const struct {
    const char* how;
    std::function<HRESULT(IDispatch*)> init;
    HRESULT expected;
  } inits[] = {
      {"stream InitNew", [&](IDispatch* d) { return viaStream(d, [](IPersistStreamInit* p) { return p->InitNew(); }); },
       S_OK},
      {"bag InitNew", [&](IDispatch* d) { return viaBag(d, [](IPersistPropertyBag* p) { return p->InitNew(); }); },
       S_OK},
      {"bag Load", [&](IDispatch* d) {
         Bag empty;
         return viaBag(d, [&](IPersistPropertyBag* p) { return p->Load(&empty, nullptr); });
       }, S_OK},
      {"stream Load", [&](IDispatch* d) {
         return viaStream(d, [&](IPersistStreamInit* p) { return p->Load(StreamOf(saved).get()); });
       }, S_OK},
      {"stream Load of an unreadable stream", [&](IDispatch* d) {
         return viaStream(d, [&](IPersistStreamInit* p) { return p->Load(StreamOf({1, 2, 3}).get()); });
       }, E_FAIL},
  };
  for (const auto& init : inits) {
    SCOPED_TRACE(init.how);
    m0.clear_log();
    ComPtr<IDispatch> ctl;
    ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
    UINT count = 0;
    EXPECT_EQ(ctl->GetTypeInfoCount(&count), E_UNEXPECTED);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(ctl->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), E_UNEXPECTED);
    std::vector<DISPID> ids;
    EXPECT_EQ(Ids(ctl.get(), {L"VerifyCertCRL"}, ids), E_UNEXPECTED);
    Args crl;
    crl.I4(0).I4(0).Str(L"");
    Reply refused;
    Call(ctl.get(), 24, crl, refused);
    EXPECT_EQ(refused.hr, E_UNEXPECTED);
    Args none;
    Reply connect;
    Call(ctl.get(), 1, none, connect);
    EXPECT_EQ(connect.hr, E_UNEXPECTED);
    EXPECT_EQ(m0.count("C_OpenSession"), 0u) << "a refused call reached the token";

    EXPECT_EQ(init.init(ctl.get()), init.expected);
    EXPECT_HRESULT_SUCCEEDED(ctl->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 1u);
    Args again;
    again.I4(0).I4(0).Str(L"");
    EXPECT_EQ(Long(ctl.get(), 24, again), 1);
    EXPECT_NE(Connect(ctl.get()), 1003);
    EXPECT_EQ(m0.count("C_OpenSession"), 1u);
  }
}

// ---------------------------------------------------------------- names, dispids

TEST_F(ComControl, NamesResolveWhateverTheirCase) {
  ComPtr<IDispatch> ctl = NewControl();
  for (const MethodInfo& m : kMethods) {
    SCOPED_TRACE(m.name);
    std::vector<std::wstring> names = {Widen(m.name)};
    for (wchar_t& c : names[0]) c = static_cast<wchar_t>(towupper(c));
    for (int i = 0; i < m.paramCount; ++i) {
      names.push_back(Widen(m.params[static_cast<std::size_t>(i)].name));
      for (wchar_t& c : names.back()) c = static_cast<wchar_t>(towlower(c));
    }
    std::vector<DISPID> ids;
    ASSERT_EQ(Ids(ctl.get(), names, ids), S_OK);
    std::vector<DISPID> expected = {m.dispid};
    for (int i = 0; i < m.paramCount; ++i) expected.push_back(i);
    EXPECT_EQ(ids, expected);
  }

  const struct {
    std::vector<std::wstring> names;
    std::vector<DISPID> ids;
  } unknown[] = {
      {{L"NoSuchMethod"}, {DISPID_UNKNOWN}},
      {{L"Login", L"strUserPin", L"strPassword"}, {3, 1, DISPID_UNKNOWN}},
      {{L"NoSuchMethod", L"SessionID"}, {DISPID_UNKNOWN, DISPID_UNKNOWN}},
      {{L"Log\u00EFn"}, {DISPID_UNKNOWN}},
      {{L"ConnectToken", L"SessionID"}, {1, DISPID_UNKNOWN}},
  };
  for (const auto& u : unknown) {
    std::vector<DISPID> ids;
    EXPECT_EQ(Ids(ctl.get(), u.names, ids), DISP_E_UNKNOWNNAME) << Narrow(u.names[0]);
    EXPECT_EQ(ids, u.ids) << Narrow(u.names[0]);
  }
  LPOLESTR name = const_cast<LPOLESTR>(L"Login");
  DISPID id = 0;
  EXPECT_EQ(ctl->GetIDsOfNames(IID_IDispatch, &name, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(ComControl, InvokeTakesMethodCallsOnly) {
  ComPtr<IDispatch> ctl = NewControl();
  const struct {
    DISPID id;
    WORD flags;
    HRESULT hr;
  } cases[] = {
      {0, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND},
      {27, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND},
      {-1, DISPATCH_METHOD, DISP_E_MEMBERNOTFOUND},
      {24, DISPATCH_PROPERTYGET, DISP_E_MEMBERNOTFOUND},
      {24, DISPATCH_PROPERTYPUT, DISP_E_MEMBERNOTFOUND},
      {24, DISPATCH_METHOD | DISPATCH_PROPERTYGET, S_OK},  // how VBScript calls for a result
  };
  for (const auto& c : cases) {
    Args a;
    a.I4(0).I4(0).Str(L"");
    Reply r;
    Call(ctl.get(), c.id, a, r, nullptr, c.flags);
    EXPECT_EQ(r.hr, c.hr) << "dispid " << c.id << " flags " << c.flags;
  }
  Args a;
  a.I4(0).I4(0).Str(L"");
  DISPPARAMS p = a.Params();
  Variant out;
  EXPECT_EQ(ctl->Invoke(24, IID_IDispatch, 0, DISPATCH_METHOD, &p, out.get(), nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(ctl->Invoke(24, IID_NULL, 0, DISPATCH_METHOD, nullptr, out.get(), nullptr, nullptr), E_INVALIDARG);
  // No result wanted: the call still runs.
  EXPECT_EQ(ctl->Invoke(24, IID_NULL, 0, DISPATCH_METHOD, &p, nullptr, nullptr, nullptr), S_OK);
}

TEST_F(ComControl, TokenMethodsByNameAndByDispid) {
  AddToken();
  ComPtr<IDispatch> ctl = NewControl();
  std::vector<DISPID> ids;
  ASSERT_EQ(Ids(ctl.get(), {L"ConnectToken"}, ids), S_OK);
  Args none;
  const LONG sid = Long(ctl.get(), ids[0], none);
  EXPECT_TRUE(sid < 1001 || sid > 1003) << sid;
  EXPECT_EQ(Connect(ctl.get()), sid);

  ASSERT_EQ(Ids(ctl.get(), {L"retrieveserial"}, ids), S_OK);
  Args byName, byId;
  byName.I4(sid);
  byId.I4(sid);
  EXPECT_EQ(Text(ctl.get(), ids[0], byName), L"COM-TOKEN-000001");
  EXPECT_EQ(Text(ctl.get(), 5, byId), L"COM-TOKEN-000001");

  // Named arguments, last-first in rgvarg like positional ones: Login with
  // strUserPin before SessionID.
  ASSERT_EQ(Ids(ctl.get(), {L"Login", L"strUserPin", L"SessionID"}, ids), S_OK);
  VARIANT named[2];
  VariantInit(&named[0]);
  VariantInit(&named[1]);
  V_VT(&named[0]) = VT_BSTR;
  V_BSTR(&named[0]) = SysAllocString(L"0000");
  V_VT(&named[1]) = VT_I4;
  V_I4(&named[1]) = sid;
  DISPID which[2] = {ids[1], ids[2]};
  DISPPARAMS p{named, which, 2, 2};
  Variant out;
  EXPECT_EQ(ctl->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &p, out.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(V_I4(out.get()), 4001);
  EXPECT_EQ(m0.Calls().back().substr(0, 8), "C_Login ");
  EXPECT_NE(m0.Calls().back().find(" 4 0000"), std::string::npos) << m0.Calls().back();

  // SessionID by position, strUserPin by name.
  SysFreeString(V_BSTR(&named[0]));
  V_BSTR(&named[0]) = SysAllocString(L"1234");
  DISPID pinOnly[1] = {1};
  DISPPARAMS mixed{named, pinOnly, 2, 1};
  VariantClear(out.get());
  EXPECT_EQ(ctl->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &mixed, out.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(V_I4(out.get()), 0);

  // A name that is no parameter, and one that repeats a positional argument.
  const struct {
    DISPID id;
    const char* what;
  } bad[] = {{2, "no such parameter"}, {0, "given twice"}, {DISPID_PROPERTYPUT, "property put"}};
  for (const auto& b : bad) {
    DISPID one[1] = {b.id};
    DISPPARAMS q{named, one, 2, 1};
    UINT argErr = 99;
    VariantClear(out.get());
    EXPECT_EQ(ctl->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &q, out.get(), nullptr, &argErr), DISP_E_PARAMNOTFOUND)
        << b.what;
    EXPECT_EQ(argErr, 0u) << b.what;
  }
  VariantClear(&named[0]);

  // A by-reference argument is read through.
  LONG held = sid;
  Args byRef;
  byRef.RefI4(&held);
  EXPECT_EQ(Long(ctl.get(), 4, byRef), 0);  // Logout
}

// ---------------------------------------------------------------- coercion

TEST_F(ComControl, ArgumentsAreCoercedByThePlatformRules) {
  AddToken();
  ComPtr<IDispatch> ctl = NewControl();
  const LONG sid = Connect(ctl.get());
  constexpr UINT kNone = static_cast<UINT>(-1);
  const struct {
    const char* what;
    DISPID id;
    std::function<void(Args&)> args;
    HRESULT hr;
    UINT argErr;  // index in rgvarg, which holds the arguments last-first
  } refused[] = {
      {"too many", 4, [&](Args& a) { a.I4(sid).I4(1); }, DISP_E_BADPARAMCOUNT, kNone},
      {"too few", 3, [&](Args& a) { a.I4(sid); }, DISP_E_PARAMNOTOPTIONAL, kNone},
      {"left out", 3, [&](Args& a) { a.I4(sid).Missing(); }, DISP_E_PARAMNOTOPTIONAL, kNone},
      {"text for a long", 3, [&](Args& a) { a.Str(L"abc").Str(L"1234"); }, DISP_E_TYPEMISMATCH, 1},
      {"null for a string", 3, [&](Args& a) { a.I4(sid).Null(); }, DISP_E_TYPEMISMATCH, 0},
      {"null for the second of five", 19, [&](Args& a) { a.I4(sid).Null().I4(0).Str(L"00").Str(L"00"); },
       DISP_E_TYPEMISMATCH, 3},
      {"short above range", 18, [&](Args& a) { a.I4(sid).I4(1).I4(40000).Str(L"00").Str(L"00"); },
       DISP_E_OVERFLOW, 2},
      {"short below range", 18, [&](Args& a) { a.I4(sid).I4(1).I4(-32769).Str(L"00").Str(L"00"); },
       DISP_E_OVERFLOW, 2},
      {"long above range", 9, [&](Args& a) { a.I4(sid).R8(3e9); }, DISP_E_OVERFLOW, 0},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    m0.clear_log();
    Args a;
    c.args(a);
    Reply r;
    Call(ctl.get(), c.id, a, r);
    EXPECT_EQ(r.hr, c.hr);
    if (c.argErr != kNone) {
      EXPECT_EQ(r.argErr, c.argErr);
    }
    EXPECT_EQ(std::string(m0.log()), "") << "a refused call reached the token";
  }

  const struct {
    const char* what;
    DISPID id;
    std::function<void(Args&)> args;
    LONG result;
  } taken[] = {
      {"a number for a PIN", 3, [&](Args& a) { a.I4(sid).I4(1234); }, 0},
      {"a text for the session", 4, [&](Args& a) { a.Str(std::to_wstring(sid)); }, 0},  // Logout
      {"a double for a long", 9, [&](Args& a) { a.I4(sid).R8(1.0); }, 1011},            // no second certificate
      {"a text for a short", 18, [&](Args& a) { a.I4(sid).I4(1).Str(L"7").Str(L"00").Str(L"00"); }, 1007},
      {"a short for a long", 9, [&](Args& a) { a.I4(sid).I2(1); }, 1011},
  };
  for (const auto& c : taken) {
    SCOPED_TRACE(c.what);
    Args a;
    c.args(a);
    EXPECT_EQ(Long(ctl.get(), c.id, a), c.result);
  }
}

// ---------------------------------------------------------------- strings

TEST_F(ComControl, StringArgumentsReachTheTokenInTheAnsiCodePage) {
  const unsigned long slot = AddToken();
  ComPtr<IDispatch> ctl = NewControl();
  LONG sid = Connect(ctl.get());
  // U+00FC and U+20AC exist in the usual ANSI code pages; U+2211 does not.
  const std::wstring label = L"Gr\u00FC\u00DFe \u20AC\u2211";
  Args init;
  init.I4(sid).Str(L"12345678").Str(L"4321").Str(label);
  ASSERT_EQ(Long(ctl.get(), 25, init), 0);  // TokenInitialize
  std::string want = Narrow(label);
  want.resize(32, ' ');
  char got[32] = {};
  m0.get_label(slot, got);
  EXPECT_EQ(std::string(got, 32), want);
  if (GetACP() == 1252) {
    EXPECT_EQ(want.substr(0, 8), "Gr\xFC\xDF" "e \x80?");
  }

  sid = Connect(ctl.get());
  const std::wstring pin = L"p\u00E4ss\u00DF";
  Args change;
  change.I4(sid).Str(L"4321").Str(pin);
  ASSERT_EQ(Long(ctl.get(), 7, change), 0);  // ChangeUserPin
  char stored[64] = {};
  m0.get_user_pin(slot, stored, sizeof stored);
  EXPECT_EQ(std::string(stored), Narrow(pin));

  // The text ends at its first NUL: what follows is not part of the PIN.
  Args login;
  login.I4(sid).Str(pin + std::wstring(1, L'\0') + L"tail");
  EXPECT_EQ(Long(ctl.get(), 3, login), 0);
  // The log line ends "length PIN".
  std::string tail = std::to_string(Narrow(pin).size());
  tail.append(" ").append(Narrow(pin));
  const std::string last = m0.Calls().back();
  EXPECT_EQ(last.substr(last.size() - std::min(last.size(), tail.size())), tail) << last;
}

TEST_F(ComControl, StringResultsUseTheCodePageOfTheBuild) {
  // Serial bytes that differ between the ANSI code pages of two locales.
  const std::string serial = "SER-\xC0\xE9\xFC-00000001";
  ASSERT_EQ(serial.size(), 16u);
  m0.add_slot(serial.c_str(), 1);
  ComPtr<IDispatch> ctl = NewControl();
  const LONG sid = Connect(ctl.get());
  Args a;
  a.I4(sid);
  EXPECT_EQ(Text(ctl.get(), 5, a), Widen(serial, CP_ACP));

  // With another thread locale only the 64-bit build, which converts with
  // the thread's code page, changes its answer.
  const LCID before = GetThreadLocale();
  const LCID russian = MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_RUSSIAN_RUSSIA), SORT_DEFAULT);
  ASSERT_TRUE(SetThreadLocale(russian));
  const std::wstring threadText = Widen(serial, CP_THREAD_ACP);
  const std::wstring systemText = Widen(serial, CP_ACP);
  Args again;
  again.I4(sid);
  const std::wstring answer = Text(ctl.get(), 5, again);
  SetThreadLocale(before);
  EXPECT_EQ(answer, k64Bit ? threadText : systemText);
  if (threadText == systemText) GTEST_SKIP() << "the thread locale does not change CP_THREAD_ACP here";
}

// ---------------------------------------------------------------- persistence

TEST_F(ComControl, PropertyBagHoldsExactlyTheFourEntries) {
  ComPtr<IDispatch> ctl;
  ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
  ComPtr<IPersistPropertyBag> pb;
  ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistPropertyBag, pb.put_void()));
  ASSERT_HRESULT_SUCCEEDED(pb->InitNew());
  EXPECT_EQ(SaveToBag(ctl.get()), SavedState(kDefaultExtent, kDefaultExtent));

  CLSID clsid{};
  EXPECT_HRESULT_SUCCEEDED(pb->GetClassID(&clsid));
  EXPECT_TRUE(IsEqualCLSID(clsid, com::kControlClsid));
}

TEST_F(ComControl, PropertyBagLoadTakesTheExtentAndNothingElse) {
  const struct {
    const char* what;
    std::function<void(Bag&)> fill;
    LONG x, y;
  } cases[] = {
      {"an extent as text and as a number", [](Bag& b) {
         b.PutText(L"_ExtentX", L"1000");
         b.PutI4(L"_ExtentY", 500);
         b.PutI4(L"Caption", 7);
       }, 1000, 500},
      {"nothing", [](Bag&) {}, kDefaultExtent, kDefaultExtent},
      {"unusable extents", [](Bag& b) {
         b.PutText(L"_ExtentX", L"wide");
         b.PutI4(L"_ExtentY", -3);
       }, kDefaultExtent, kDefaultExtent},
      {"other version and stock properties", [](Bag& b) {
         b.PutI4(L"_Version", 0x20000);
         b.PutI4(L"_ExtentX", 1200);
         b.PutI4(L"_ExtentY", 900);
         b.PutI4(L"_StockProps", 5);
       }, 1200, 900},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IDispatch> ctl;
    ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
    ComPtr<IPersistPropertyBag> pb;
    ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistPropertyBag, pb.put_void()));
    Bag bag;
    c.fill(bag);
    EXPECT_EQ(pb->Load(&bag, nullptr), S_OK);
    EXPECT_EQ(SaveToBag(ctl.get()), SavedState(c.x, c.y));
  }
}

TEST_F(ComControl, StreamRoundTripAndUnreadableStreams) {
  // A control with a non-default extent, saved to a stream.
  std::vector<std::uint8_t> saved;
  {
    ComPtr<IDispatch> ctl;
    ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
    ComPtr<IPersistPropertyBag> pb;
    ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistPropertyBag, pb.put_void()));
    Bag bag;
    bag.PutI4(L"_ExtentX", 1000);
    bag.PutI4(L"_ExtentY", 500);
    ASSERT_HRESULT_SUCCEEDED(pb->Load(&bag, nullptr));
    ComPtr<IPersistStreamInit> ps;
    ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistStreamInit, ps.put_void()));
    ComPtr<IStream> stream = StreamOf({});
    ASSERT_HRESULT_SUCCEEDED(ps->Save(stream.get(), TRUE));
    saved = StreamBytes(stream.get());
    ULARGE_INTEGER max{};
    ASSERT_HRESULT_SUCCEEDED(ps->GetSizeMax(&max));
    EXPECT_GE(max.QuadPart, saved.size());
    ASSERT_GE(saved.size(), 12u);  // version, extent x, extent y, ...
  }

  std::vector<std::uint8_t> older = saved, newer = saved, flat = saved, negative = saved;
  PutLE32(older, 0, 0x00000001);
  PutLE32(newer, 0, 0x00020000);
  PutLE32(flat, 4, 0);
  PutLE32(negative, 8, static_cast<std::uint32_t>(-500));
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    HRESULT hr;
    LONG x, y;
  } cases[] = {
      {"as saved", saved, S_OK, 1000, 500},
      {"an older version", older, S_OK, 1000, 500},
      {"empty", {}, E_FAIL, kDefaultExtent, kDefaultExtent},
      {"cut short", std::vector<std::uint8_t>(saved.begin(), saved.begin() + 8), E_FAIL, kDefaultExtent,
       kDefaultExtent},
      {"a newer version", newer, E_FAIL, kDefaultExtent, kDefaultExtent},
      {"a zero extent", flat, E_FAIL, kDefaultExtent, kDefaultExtent},
      {"a negative extent", negative, E_FAIL, kDefaultExtent, kDefaultExtent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IDispatch> ctl;
    ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
    ComPtr<IPersistStreamInit> ps;
    ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IPersistStreamInit, ps.put_void()));
    EXPECT_EQ(ps->Load(StreamOf(c.bytes).get()), c.hr);
    // Loaded or not, the control is initialised and answers.
    Args crl;
    crl.I4(0).I4(0).Str(L"");
    EXPECT_EQ(Long(ctl.get(), 24, crl), 1);
    EXPECT_EQ(SaveToBag(ctl.get()), SavedState(c.x, c.y));
  }
}

// ---------------------------------------------------------------- module

class ComModule : public ComControl {
 protected:
  // The module that really serves an object: the one holding its vtable.
  static HMODULE ModuleOf(IUnknown* object) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(*reinterpret_cast<void**>(object)), &module);
    return module;
  }
};

TEST_F(ComModule, UnloadsOnlyWhenNothingIsOutstanding) {
  ComPtr<IDispatch> ctl;
  ASSERT_HRESULT_SUCCEEDED(CreateControl(ctl));
  HMODULE module = ModuleOf(ctl.get());
  ASSERT_NE(module, nullptr);
  using CanUnload = HRESULT(STDAPICALLTYPE*)();
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  ASSERT_NE(canUnload, nullptr);
  ASSERT_NE(getClassObject, nullptr);

  EXPECT_EQ(canUnload(), S_FALSE) << "a control is alive";
  ctl.reset();
  EXPECT_EQ(canUnload(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_HRESULT_SUCCEEDED(getClassObject(com::kControlClsid, IID_IClassFactory, factory.put_void()));
  EXPECT_EQ(canUnload(), S_FALSE) << "a class object is held";
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(TRUE));
  factory.reset();
  EXPECT_EQ(canUnload(), S_FALSE) << "the server is locked";
  ASSERT_HRESULT_SUCCEEDED(getClassObject(com::kControlClsid, IID_IClassFactory, factory.put_void()));
  ASSERT_HRESULT_SUCCEEDED(factory->LockServer(FALSE));
  ComPtr<IUnknown> outer;
  ASSERT_HRESULT_SUCCEEDED(factory->CreateInstance(nullptr, IID_IUnknown, outer.put_void()));
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()), CLASS_E_NOAGGREGATION);
  factory.reset();
  EXPECT_EQ(canUnload(), S_FALSE) << "an object made by the factory is alive";
  outer.reset();
  EXPECT_EQ(canUnload(), S_OK);

  ComPtr<IPropertyPage> page;
  ASSERT_HRESULT_SUCCEEDED(getClassObject(com::kPageClsid, IID_IClassFactory, factory.put_void()));
  ASSERT_HRESULT_SUCCEEDED(factory->CreateInstance(nullptr, IID_IPropertyPage, page.put_void()));
  factory.reset();
  EXPECT_EQ(canUnload(), S_FALSE) << "a property page is alive";
  page.reset();
  EXPECT_EQ(canUnload(), S_OK);

  void* nothing = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(IID_IDispatch, IID_IClassFactory, &nothing), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(nothing, nullptr);
}

TEST_F(ComModule, PropertyPageShowsDialog200) {
  ComPtr<IPropertyPage> page;
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(com::kPageClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, page.put_void()));
  HMODULE module = ModuleOf(page.get());
  PROPPAGEINFO info{};
  ASSERT_HRESULT_SUCCEEDED(page->GetPageInfo(&info));
  ASSERT_NE(info.pszTitle, nullptr);
  wchar_t caption[64] = {};
  LoadStringW(module, 200, caption, 64);
  EXPECT_EQ(std::wstring(info.pszTitle), caption);
  EXPECT_GT(info.size.cx, info.size.cy);
  EXPECT_GT(info.size.cy, 0);
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);

  HWND parent = CreateWindowExW(0, L"STATIC", L"frame", WS_POPUP, 0, 0, 600, 300, nullptr, nullptr, nullptr, nullptr);
  if (!parent) GTEST_SKIP() << "no window can be made here";
  RECT area{10, 10, 10 + info.size.cx, 10 + info.size.cy};
  ASSERT_HRESULT_SUCCEEDED(page->Activate(parent, &area, TRUE));
  HWND dialog = GetWindow(parent, GW_CHILD);
  ASSERT_NE(dialog, nullptr);
  wchar_t text[128] = {};
  GetWindowTextW(GetWindow(dialog, GW_CHILD), text, 128);
  EXPECT_EQ(std::wstring(text), L"TODO: Place controls to manipulate properties of KeloCAActiveX Control on this dialog.");
  EXPECT_HRESULT_SUCCEEDED(page->Deactivate());
  EXPECT_EQ(GetWindow(parent, GW_CHILD), nullptr);
  DestroyWindow(parent);
}

// ---------------------------------------------------------------- type library

// The library as the method table describes the automation surface.
void CheckTypeLib(ITypeLib* lib) {
  TLIBATTR* la = nullptr;
  ASSERT_HRESULT_SUCCEEDED(lib->GetLibAttr(&la));
  EXPECT_TRUE(IsEqualGUID(la->guid, com::kLibId));
  EXPECT_EQ(la->lcid, 0x0409u);
  EXPECT_EQ(la->syskind, k64Bit ? SYS_WIN64 : SYS_WIN32);
  EXPECT_EQ(la->wMajorVerNum, 1);
  EXPECT_EQ(la->wMinorVerNum, 0);
  EXPECT_TRUE(la->wLibFlags & LIBFLAG_FCONTROL);
  lib->ReleaseTLibAttr(la);
  Bstr name, doc, help;
  ASSERT_HRESULT_SUCCEEDED(lib->GetDocumentation(-1, name.put(), doc.put(), nullptr, help.put()));
  EXPECT_EQ(BstrText(name.get()), L"KELOCAACTIVEXLib");
  EXPECT_EQ(BstrText(doc.get()), L"Kelo-CA ActiveX Control module");
  const std::wstring helpFile = BstrText(help.get());
  EXPECT_EQ(helpFile.substr(helpFile.find_last_of(L"\\/") + 1), L"KeloCaActiveX.hlp");

  ComPtr<ITypeInfo> dispatch;
  ASSERT_HRESULT_SUCCEEDED(lib->GetTypeInfoOfGuid(com::kDispatchIid, dispatch.put()));
  TYPEATTR* ta = nullptr;
  ASSERT_HRESULT_SUCCEEDED(dispatch->GetTypeAttr(&ta));
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FHIDDEN);
  EXPECT_EQ(ta->cVars, 0);
  const WORD funcs = ta->cFuncs;
  dispatch->ReleaseTypeAttr(ta);
  ASSERT_HRESULT_SUCCEEDED(dispatch->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
  EXPECT_EQ(BstrText(name.get()), L"_DKeloCAActiveX");
  EXPECT_EQ(BstrText(doc.get()), L"Dispatch interface for KeloCAActiveX Control");

  // Each member against the method table, and every method once.
  std::set<DISPID> seen;
  for (UINT i = 0; i < funcs; ++i) {
    FUNCDESC* fd = nullptr;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetFuncDesc(i, &fd));
    const MethodInfo* m = FindMethod(static_cast<std::int32_t>(fd->memid));
    if (!m) {
      ADD_FAILURE() << "member with dispid " << fd->memid << " is no method of the table";
      dispatch->ReleaseFuncDesc(fd);
      continue;
    }
    SCOPED_TRACE(m->name);
    seen.insert(fd->memid);
    EXPECT_EQ(fd->invkind, INVOKE_FUNC);
    EXPECT_EQ(fd->elemdescFunc.tdesc.vt, AutomationType(m->result));
    ASSERT_EQ(fd->cParams, m->paramCount);
    BSTR names[8] = {};
    UINT got = 0;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetNames(fd->memid, names, 8, &got));
    ASSERT_EQ(got, static_cast<UINT>(m->paramCount) + 1);
    EXPECT_EQ(BstrText(names[0]), Widen(m->name));
    for (int p = 0; p < m->paramCount; ++p) {
      const ParamInfo& param = m->params[static_cast<std::size_t>(p)];
      EXPECT_EQ(BstrText(names[p + 1]), Widen(param.name));
      EXPECT_EQ(fd->lprgelemdescParam[p].tdesc.vt, AutomationType(param.type)) << param.name;
    }
    for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);
    dispatch->ReleaseFuncDesc(fd);
  }
  EXPECT_EQ(seen.size(), kMethodCount);

  ComPtr<ITypeInfo> events;
  ASSERT_HRESULT_SUCCEEDED(lib->GetTypeInfoOfGuid(com::kEventsIid, events.put()));
  ASSERT_HRESULT_SUCCEEDED(events->GetTypeAttr(&ta));
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  EXPECT_EQ(ta->cFuncs, 0);
  events->ReleaseTypeAttr(ta);
  ASSERT_HRESULT_SUCCEEDED(events->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
  EXPECT_EQ(BstrText(doc.get()), L"Event interface for KeloCAActiveX Control");

  ComPtr<ITypeInfo> coclass;
  ASSERT_HRESULT_SUCCEEDED(lib->GetTypeInfoOfGuid(com::kControlClsid, coclass.put()));
  ASSERT_HRESULT_SUCCEEDED(coclass->GetTypeAttr(&ta));
  EXPECT_EQ(ta->typekind, TKIND_COCLASS);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCANCREATE);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FCONTROL);
  const WORD impls = ta->cImplTypes;
  coclass->ReleaseTypeAttr(ta);
  ASSERT_HRESULT_SUCCEEDED(coclass->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
  EXPECT_EQ(BstrText(name.get()), L"KeloCAActiveX");
  EXPECT_EQ(BstrText(doc.get()), L"KeloCAActiveX Control");
  std::map<INT, GUID> byFlags;
  for (UINT i = 0; i < impls; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> impl;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetImplTypeFlags(i, &flags));
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref));
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeInfo(ref, impl.put()));
    ASSERT_HRESULT_SUCCEEDED(impl->GetTypeAttr(&ta));
    byFlags[flags] = ta->guid;
    impl->ReleaseTypeAttr(ta);
  }
  ASSERT_EQ(byFlags.size(), 2u);
  EXPECT_TRUE(IsEqualGUID(byFlags[IMPLTYPEFLAG_FDEFAULT], com::kDispatchIid));
  EXPECT_TRUE(IsEqualGUID(byFlags[IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE], com::kEventsIid));
}

TEST_F(ComControl, TypeLibraryDescribesTheMethodTable) {
  {
    SCOPED_TRACE("registered");
    ComPtr<ITypeLib> lib;
    ASSERT_HRESULT_SUCCEEDED(LoadRegTypeLib(com::kLibId, 1, 0, 0x0409, lib.put()));
    CheckTypeLib(lib.get());
  }
  {
    SCOPED_TRACE("embedded");
    ComPtr<ITypeLib> lib;
    ASSERT_HRESULT_SUCCEEDED(LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, lib.put()));
    CheckTypeLib(lib.get());
  }
  // The control hands out the same descriptions.
  ComPtr<IDispatch> ctl = NewControl();
  ComPtr<ITypeInfo> info;
  ASSERT_HRESULT_SUCCEEDED(ctl->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  TYPEATTR* ta = nullptr;
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&ta));
  EXPECT_TRUE(IsEqualGUID(ta->guid, com::kDispatchIid));
  info->ReleaseTypeAttr(ta);
  EXPECT_EQ(ctl->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.put()), DISP_E_BADINDEX);
  ComPtr<IProvideClassInfo> pci;
  ASSERT_HRESULT_SUCCEEDED(ctl->QueryInterface(IID_IProvideClassInfo, pci.put_void()));
  ASSERT_HRESULT_SUCCEEDED(pci->GetClassInfo(info.put()));
  ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&ta));
  EXPECT_TRUE(IsEqualGUID(ta->guid, com::kControlClsid));
  info->ReleaseTypeAttr(ta);
}

// ---------------------------------------------------------------- registry, resources

std::wstring RegistryText(const std::wstring& key) {
  wchar_t data[1024] = {};
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
    return L"<absent>";
  return data;
}

TEST_F(ComControl, RegistryNamesTheModuleByItsShortPath) {
  CLSID clsid{};
  ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(com::kControlProgId, &clsid));
  EXPECT_TRUE(IsEqualCLSID(clsid, com::kControlClsid));
  EXPECT_EQ(CLSIDFromProgID(com::kPageProgId, &clsid), CO_E_CLASSSTRING) << "the page's ProgID is not registered";

  wchar_t shortPath[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameW(ServerPath().c_str(), shortPath, MAX_PATH), 0u);
  wchar_t text[64] = {};
  StringFromGUID2(com::kControlClsid, text, 64);
  const std::wstring control = std::wstring(L"CLSID\\") + text;
  StringFromGUID2(com::kPageClsid, text, 64);
  const std::wstring page = std::wstring(L"CLSID\\") + text;
  EXPECT_EQ(RegistryText(control + L"\\InprocServer32"), shortPath);
  EXPECT_EQ(RegistryText(control + L"\\ToolboxBitmap32"), std::wstring(shortPath) + L", 202");
  EXPECT_EQ(RegistryText(page + L"\\InprocServer32"), shortPath);
}

TEST(ComResources, ModuleResourcesOfThisBuild) {
  HMODULE module = LoadLibraryExW(ServerPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);

  wchar_t caption[32] = {};
  EXPECT_GT(LoadStringW(module, 200, caption, 32), 0);
  EXPECT_EQ(std::wstring(caption), L"General");

  HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(module, MAKEINTRESOURCEW(202), IMAGE_BITMAP, 0, 0,
                                                   LR_CREATEDIBSECTION));
  ASSERT_NE(bitmap, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
  EXPECT_EQ(dib.dsBm.bmWidth, 32);
  EXPECT_EQ(dib.dsBm.bmHeight, 32);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 24);
  DeleteObject(bitmap);

  EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
  EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24)) != nullptr, k64Bit)
      << "the manifest belongs to the 64-bit module only";
  FreeLibrary(module);

  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(ServerPath().c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(ServerPath().c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  const DWORD ms = MAKELONG(0, 1);  // 1.0
  const DWORD ls = k64Bit ? MAKELONG(1114, 18) : MAKELONG(1007, 15);
  EXPECT_EQ(fixed->dwFileVersionMS, ms);
  EXPECT_EQ(fixed->dwFileVersionLS, ls);
  EXPECT_EQ(fixed->dwProductVersionMS, ms);
  EXPECT_EQ(fixed->dwProductVersionLS, ls);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
  ASSERT_GE(len, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);
  auto entry = [&](const wchar_t* name) -> std::wstring {
    wchar_t* value = nullptr;
    UINT n = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &n)) return L"<absent>";
    return n ? std::wstring(value) : std::wstring();
  };
  const std::wstring description = k64Bit ? L"Kelo-CA x64 ActiveX Control Module" : L"Kelo-CA ActiveX Control Module";
  EXPECT_EQ(entry(L"FileDescription"), description);
  EXPECT_EQ(entry(L"ProductName"), description);
  EXPECT_EQ(entry(L"FileVersion"), k64Bit ? L"1.0.18.1114" : L"1.0.15.1007");
  EXPECT_EQ(entry(L"InternalName"), k64Bit ? L"<absent>" : L"KeloCaActiveX");
  EXPECT_EQ(entry(L"OLESelfRegister"), k64Bit ? L"<absent>" : L"");
}

}  // namespace
}  // namespace kelo::comtest
