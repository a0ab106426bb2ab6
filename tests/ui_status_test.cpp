// The status display of the main dialog, and the dialog templates.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "burn/burn_status.h"
#include "image/rom_image.h"
#include "image/utf16.h"
#include "sim/sim_backend.h"
#include "support/image_test_dir.h"
#include "support/ui_fake_framework.h"
#include "ui/dialog_templates.h"
#include "ui/tessarin_dlg.h"

namespace tessarin {
namespace {

using testing::RecordingFramework;
using testing::ScratchDir;

constexpr int kImageBytes = 1234;

using enum BurnStatus;

/// A number a window message may carry that is no status.
constexpr BurnStatus NotAStatus(unsigned code) { return static_cast<BurnStatus>(code); }

struct Step {
  BurnStatus status;
  long count;
  std::u16string text;  ///< status text after the step
  std::pair<int, int> range;
  int position;
  int rangeSets;  ///< range changes caused by this step
};

struct StatusCase {
  const char* name;
  std::vector<Step> steps;
};

// Test logs name each step's status, count and expectations.
void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.name << ':';
  for (const Step& s : c.steps) {
    *os << " {status " << BurnStatusCode(s.status) << ", count " << s.count << " -> \""
        << Utf16ToUtf8(s.text).value_or("?") << "\", range " << s.range.first << '-'
        << s.range.second << ", position " << s.position << ", range sets " << s.rangeSets << '}';
  }
}

class StatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusTest, FollowsTheStatusTable) {
  ScratchDir dir;
  SimBackend backend;
  backend.AddDevice(SimDeviceConfig{});
  RecordingFramework window;
  CTessarinDlg dialog(backend, dir.path());
  dialog.AttachFramework(&window);
  ASSERT_TRUE(dialog.OnDialogInit());
  window.chooseAnswers.push_back(
      PathToUtf16(dir.Write("fw.rom", *MakeImage(kImageBytes, 1, 0, 0))));
  dialog.OnCommand(IDC_SELECT);
  ASSERT_TRUE(window.enabled[IDC_BURN]);

  int step = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE(step++);
    const int rangeSetsBefore = window.rangeSets;
    dialog.OnBurnStatus(s.status, s.count);
    EXPECT_EQ(window.texts[IDC_STATUS], s.text);
    EXPECT_EQ(window.range, s.range);
    EXPECT_EQ(window.position, s.position);
    EXPECT_EQ(window.rangeSets - rangeSetsBefore, s.rangeSets);
    // No worker runs: Burn follows the device and the image.
    EXPECT_TRUE(window.enabled[IDC_BURN]);
  }
  dialog.DetachFramework();
}

const std::pair<int, int> kFull{0, kImageBytes};
const std::pair<int, int> kOne{0, 1};
const std::pair<int, int> kDefault{0, 100};  // the recording bar's initial range

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusTest,
    ::testing::Values(StatusCase{"Download",
                                 {{BURN_DOWNLOADING, 0, u"Downloading...", kFull, 0, 1},
                                  {BURN_DOWNLOADING, 120, u"Downloading...", kFull, 120, 0},
                                  {BURN_DOWNLOADING, 180, u"Downloading...", kFull, 180, 0}}},
                      StatusCase{"VerifyResetsTheBar",
                                 {{BURN_DOWNLOADING, 600, u"Downloading...", kFull, 600, 1},
                                  {BURN_VERIFYING, 0, u"Verifying...", kFull, 0, 1},
                                  {BURN_VERIFYING, 65, u"Verifying...", kFull, 65, 0}}},
                      StatusCase{"Success",
                                 {{BURN_VERIFYING, 900, u"Verifying...", kFull, 900, 1},
                                  {BURN_SUCCESS, 0, u"Successed", kOne, 1, 1}}},
                      StatusCase{"DownloadFailedTwice",
                                 {{BURN_DOWNLOADING, 60, u"Downloading...", kFull, 60, 1},
                                  {BURN_DOWNLOAD_FAILED, 0, u"Downloading failed", kOne, 0, 1},
                                  {BURN_DOWNLOAD_FAILED, 0, u"Downloading failed", kOne, 0, 0}}},
                      StatusCase{"VerifyFailed",
                                 {{BURN_VERIFYING, 70, u"Verifying...", kFull, 70, 1},
                                  {BURN_VERIFY_FAILED, 0, u"Verifying failed", kOne, 0, 1}}},
                      StatusCase{"Stopped",
                                 {{BURN_DOWNLOADING, 60, u"Downloading...", kFull, 60, 1},
                                  {BURN_IDLE, 0, u"Idle", kOne, 0, 1}}},
                      StatusCase{"Compare",
                                 {{BURN_COMPARING, 10, u"Comparing...", kFull, 10, 1},
                                  {BURN_COMPARED_OK, 0, u"Compared OK", kOne, 1, 1},
                                  {BURN_COMPARE_FAILED, 0, u"Comparision failed", kOne, 0, 0}}},
                      StatusCase{"CodesWithoutText",
                                 {{NotAStatus(3), 50, u"", kDefault, 0, 0},
                                  {BURN_DOWNLOADING, 60, u"Downloading...", kFull, 60, 1},
                                  {NotAStatus(12), 5, u"", kFull, 0, 0},
                                  {NotAStatus(12), 7, u"", kFull, 0, 0}}},
                      StatusCase{"NextBurnAfterSuccess",
                                 {{BURN_SUCCESS, 0, u"Successed", kOne, 1, 1},
                                  {BURN_DOWNLOADING, 0, u"Downloading...", kFull, 0, 1}}}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST(DialogTemplates, MainDialogHasTheFixedLayoutAndSelectIsTheDefaultButton) {
  const DialogTemplate& main = MainDialogTemplate();
  EXPECT_EQ(main.id, 102);
  EXPECT_EQ(main.controls.size(), 24u);
  EXPECT_EQ(main.width, 327);
  EXPECT_EQ(main.height, 126);
  EXPECT_FALSE(main.maximizeBox);
  EXPECT_FALSE(main.resizable);
  int defaults = 0;
  for (const ControlTemplate& c : main.controls) defaults += c.kind == ControlKind::kDefPushButton;
  EXPECT_EQ(defaults, 1);
  EXPECT_EQ(FindControl(main, IDC_SELECT)->kind, ControlKind::kDefPushButton);
  EXPECT_TRUE(FindControl(main, IDC_SERIAL_NO)->styles & STYLE_HIDDEN);
  EXPECT_TRUE(FindControl(main, IDC_FILE_PATH)->styles & STYLE_READONLY);
  EXPECT_EQ(FindControl(main, IDC_STATUS)->caption, u"Idle");
  EXPECT_EQ(main.controls.front().id, IDC_BURN);  // tab order starts at Burn
  EXPECT_EQ(FindControl(main, IDC_STATIC), nullptr);

  const DialogTemplate& about = AboutDialogTemplate();
  EXPECT_EQ(about.id, 100);
  EXPECT_EQ(about.caption, u"About Kestrova Co.,Ltd.USB Audio Device Firmware Burner");
  EXPECT_EQ(FindControl(about, IDOK)->caption, u"OK");
  EXPECT_EQ(about.controls.front().iconId, IDR_MAINFRAME);
}

}  // namespace
}  // namespace tessarin
