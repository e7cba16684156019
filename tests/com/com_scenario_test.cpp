// The shared token scenarios through the COM server: each call by name
// (GetIDsOfNames) and Invoke, with the arguments as a script engine passes
// them (VT_I4, VT_R8 beyond 32 bits, VT_BSTR). tests/scenario_test.cpp runs
// the same file through the portable facade.
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "tests/com/com_test_util.h"
#include "tests/mock_api.h"
#include "tests/scenarios/scenario.h"

namespace kelo::scenario {
namespace {

using comtest::Args;
using comtest::Reply;

class DispatchCaller final : public Caller {
 public:
  explicit DispatchCaller(IDispatch* control) : control_(control) {}

  Outcome Call(const std::string& method, const std::vector<CallArg>& args) override {
    Outcome o;
    std::vector<DISPID> ids;
    HRESULT hr = comtest::Ids(control_, {comtest::Widen(method)}, ids);
    if (FAILED(hr)) {
      o.hr = hr;
      return o;
    }
    Args a;
    for (const CallArg& arg : args) {
      if (arg.isString) {
        a.Str(comtest::Widen(arg.text));  // the whole text, embedded NULs included
      } else if (arg.number >= INT_MIN && arg.number <= INT_MAX) {
        a.I4(static_cast<LONG>(arg.number));
      } else {
        a.R8(static_cast<double>(arg.number));  // as script engines pass large numbers
      }
    }
    Reply r;
    comtest::Call(control_, ids[0], a, r);
    o.hr = r.hr;
    if (FAILED(r.hr)) {
      // puArgErr counts in rgvarg, which holds the arguments last-first.
      if ((r.hr == DISP_E_TYPEMISMATCH || r.hr == DISP_E_OVERFLOW) && r.argErr < a.Count())
        o.badParam = static_cast<int>(a.Count() - 1 - r.argErr);
      return o;
    }
    const VARIANT& v = *r.result;
    if (V_VT(&v) == VT_BSTR) {
      o.isString = true;
      o.text = comtest::Narrow(comtest::BstrText(V_BSTR(&v)));
    } else if (V_VT(&v) == VT_I4) {
      o.number = V_I4(&v);
    } else {
      o.hr = E_FAIL;
      ADD_FAILURE() << method << " answered a VARIANT of type " << V_VT(&v);
    }
    return o;
  }

 private:
  IDispatch* control_;
};

class ComScenario : public test::MockTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  comtest::Apartment apartment_;
};

TEST_P(ComScenario, Runs) {
  ASSERT_HRESULT_SUCCEEDED(apartment_.Status());
  const Scenario& s = GetParam();
  ASSERT_EQ(ApplySetup(s, mock), "");
  std::vector<std::string> failures;
  {
    // A fresh control per scenario, created after the setup as a host would.
    comtest::ComPtr<IDispatch> control;
    ASSERT_HRESULT_SUCCEEDED(comtest::CreateControl(control));
    ASSERT_HRESULT_SUCCEEDED(comtest::InitNew(control.get()));
    DispatchCaller caller(control.get());
    failures = RunSteps(s, caller);
  }
  for (const std::string& f : failures) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(TokenScenarios, ComScenario, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& p) { return TestName(p.param); });

}  // namespace
}  // namespace kelo::scenario
