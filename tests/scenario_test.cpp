// The shared token scenarios through the portable facade, against the mock
// modules. tests/com/com_scenario_test.cpp runs the same file through the
// COM server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "control/kelo_ctrl.h"
#include "tests/mock_api.h"
#include "tests/scenarios/scenario.h"

namespace kelo::scenario {
namespace {

class FacadeCaller final : public Caller {
 public:
  Outcome Call(const std::string& method, const std::vector<CallArg>& args) override {
    Outcome o;
    const MethodInfo* m = FindMethod(method);
    if (!m) {
      o.hr = kDISP_E_UNKNOWNNAME;
      return o;
    }
    std::vector<Value> values;
    for (const CallArg& a : args) values.push_back(a.isString ? Value::String(a.text) : Value::Int(a.number));
    CallResult r = ctl_.Invoke(*m, values);
    o.hr = r.hr;
    o.badParam = r.badParam;
    o.isString = r.value.kind == Value::Kind::String;
    o.number = r.value.i;
    o.text = r.value.s;
    return o;
  }

 private:
  CKeloCAActiveXCtrl ctl_;
};

class FacadeScenario : public test::MockTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FacadeScenario, Runs) {
  const Scenario& s = GetParam();
  const std::string setupError = ApplySetup(s, mock);
  ASSERT_EQ(setupError, "");
  std::vector<std::string> failures;
  {
    FacadeCaller caller;  // a fresh control per scenario, built after the setup
    failures = RunSteps(s, caller);
  }
  for (const std::string& f : failures) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(TokenScenarios, FacadeScenario, ::testing::ValuesIn(AllScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& p) { return TestName(p.param); });

TEST(ScenarioFile, IsNotEmpty) { EXPECT_GT(AllScenarios().size(), 5u); }

}  // namespace
}  // namespace kelo::scenario
