// The capture scenarios through the Win32 adapter, on real directories under
// Wine: every scenario that needs no NTFS feature Wine lacks.
#include <gtest/gtest.h>

#include "agent/platform/win32/win32_api.h"
#include "tests/capture/win32/win32_scenario_volume.h"

namespace {

class Win32Scenario : public testing::TestWithParam<size_t> {
 protected:
  void TearDown() override {
    win32_api_restore();
    remove_all_scenario_trees();
  }
  Win32ScenarioVolume volume;
};

TEST_P(Win32Scenario, Runs) {
  const CaptureScenario& scenario = capture_scenarios()[GetParam()];
  if (scenario.needs_ntfs) GTEST_SKIP() << "proven on the substitute volume only";
  check_scenario(scenario, volume);
}

INSTANTIATE_TEST_SUITE_P(Capture, Win32Scenario, testing::Range<size_t>(0, capture_scenarios().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return capture_scenarios()[info.param].name;
                         });

}  // namespace
