// The Burn button's rule on the main dialog.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ui/burn_decision.h"

namespace tessarin {
namespace {

TEST(BurnDecision, FollowsTheRuleTheDeviceAndTheImage) {
  const std::string blank(38, ' ');
  const std::string refused = "The selected file don't support this device";
  struct Case {
    const char* what;
    int32_t notOwn;
    bool open, held, running;
    uint8_t hasIds;
    uint32_t imagePid;
    bool enabled;
    std::optional<std::string> message;
    bool red;
  };
  const Case cases[] = {
      {"not our device", 1, true, true, false, 1, 0x8041, false, std::nullopt, false},
      {"no device open", 0, false, true, false, 1, 0x8041, false, std::nullopt, false},
      {"no image", 0, true, false, false, 1, 0x8041, false, std::nullopt, false},
      {"suits", 0, true, true, false, 1, 0x8050, true, blank, false},
      {"does not suit", 0, true, true, false, 1, 0x8043, false, refused, true},
      {"no identifier block", 0, true, true, false, 0, 0x8043, true, std::nullopt, false},
      {"flag other than 1", 0, true, true, false, 2, 0x8043, true, std::nullopt, false},
      {"burn running, suits", 0, true, true, true, 1, 0x8050, false, blank, false},
      {"burn running, no ids", 0, true, true, true, 0, 0x8050, false, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CompatState s;
    s.notOwnDevice = c.notOwn;
    s.deviceVid = 0x0495;
    s.devicePid = 0x8041;
    s.imageVid = 0x0495;
    s.imagePid = c.imagePid;
    s.imageHasIds = c.hasIds;
    const BurnDecision d = DecideBurn(s, c.open, c.held, c.running);
    EXPECT_EQ(d.m_burnEnabled, c.enabled);
    EXPECT_EQ(d.m_message, c.message);
    EXPECT_EQ(d.m_messageRed, c.red);
  }
}

}  // namespace
}  // namespace tessarin
