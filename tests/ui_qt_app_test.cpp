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

}  // namespace
}  // namespace tessarin
