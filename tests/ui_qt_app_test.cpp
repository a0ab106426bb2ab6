// The window program's command line.
#include <gtest/gtest.h>

#include "app/app_options.h"

namespace tessarin {
namespace {

TEST(AppOptions, SimulateTakesItsSpecAndUnknownArgumentsAreRefused) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::optional<std::string> simulate;
  } cases[] = {
      {{}, true, std::nullopt},
      {{"--simulate", "default"}, true, "default"},
      {{"--simulate=pid=8042,mode=2"}, true, "pid=8042,mode=2"},
      {{"--simulate"}, false, std::nullopt},
      {{"--frobnicate"}, false, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<AppOptions> options = ParseAppOptions(c.args, &error);
    EXPECT_EQ(options.has_value(), c.ok) << error;
    if (options) {
      EXPECT_EQ(options->m_simulate, c.simulate);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(AppOptions, SimulatedDevicesThatCannotStartGiveTheirStatusAndReason) {
  struct Case {
    std::string spec;
    std::optional<int> exitCode;  // none: the program starts
    std::string says;
  } cases[] = {
      {"default", std::nullopt, ""},
      {"", 2, "--simulate"},
      {"vid=0495,vid=1234", 2, "vid"},
      {"dir=/nonexistent/tessarin-sim", 1, "cannot start the simulated devices"},
  };
  for (const Case& c : cases) {
    const ChosenBackend chosen = ChooseHidBackend(c.spec);
    const std::optional<StartFailure> failure = BackendStartFailure(chosen);
    ASSERT_EQ(failure.has_value(), c.exitCode.has_value()) << c.spec;
    if (!failure) continue;
    EXPECT_EQ(failure->m_exitCode, *c.exitCode) << c.spec;
    EXPECT_NE(failure->m_message.find(c.says), std::string::npos) << failure->m_message;
  }
}

}  // namespace
}  // namespace tessarin
