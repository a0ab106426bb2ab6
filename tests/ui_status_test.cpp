// The status display of the main dialog, and the dialog templates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tessarin_app.h"
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

struct Step {
  unsigned code;
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
    dialog.OnBurnStatus(s.code, s.count);
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
    ::testing::Values(
        StatusCase{"Download",
                   {{1, 0, u"Downloading...", kFull, 0, 1},
                    {1, 120, u"Downloading...", kFull, 120, 0},
                    {1, 180, u"Downloading...", kFull, 180, 0}}},
        StatusCase{"VerifyResetsTheBar",
                   {{1, 600, u"Downloading...", kFull, 600, 1},
                    {4, 0, u"Verifying...", kFull, 0, 1},
                    {4, 65, u"Verifying...", kFull, 65, 0}}},
        StatusCase{"Success",
                   {{4, 900, u"Verifying...", kFull, 900, 1}, {6, 0, u"Successed", kOne, 1, 1}}},
        StatusCase{"DownloadFailedTwice",
                   {{1, 60, u"Downloading...", kFull, 60, 1},
                    {2, 0, u"Downloading failed", kOne, 0, 1},
                    {2, 0, u"Downloading failed", kOne, 0, 0}}},
        StatusCase{
            "VerifyFailed",
            {{4, 70, u"Verifying...", kFull, 70, 1}, {5, 0, u"Verifying failed", kOne, 0, 1}}},
        StatusCase{"Stopped",
                   {{1, 60, u"Downloading...", kFull, 60, 1}, {0, 0, u"Idle", kOne, 0, 1}}},
        StatusCase{"Compare",
                   {{7, 10, u"Comparing...", kFull, 10, 1},
                    {8, 0, u"Compared OK", kOne, 1, 1},
                    {9, 0, u"Comparision failed", kOne, 0, 0}}},
        StatusCase{"CodesWithoutText",
                   {{3, 50, u"", kDefault, 0, 0},
                    {1, 60, u"Downloading...", kFull, 60, 1},
                    {12, 5, u"", kFull, 0, 0},
                    {12, 7, u"", kFull, 0, 0}}},
        StatusCase{"NextBurnAfterSuccess",
                   {{6, 0, u"Successed", kOne, 1, 1}, {1, 0, u"Downloading...", kFull, 0, 1}}}),
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

TEST(TessarinApp, RunsTheDialogOnItsHostAndEndsWhenTheDialogEnds) {
  ScratchDir dir;
  SimBackend backend;
  backend.AddDevice(SimDeviceConfig{});
  RecordingFramework* window = nullptr;
  DialogHandlers* routed = nullptr;
  CTessarinApp app(
      backend,
      [&](const DialogTemplate& dialog, DialogHandlers& handlers) {
        EXPECT_EQ(dialog.id, IDD_TESSARIN_DIALOG);
        auto host = std::make_unique<RecordingFramework>();
        window = host.get();
        routed = &handlers;
        host->runModal = [&] {
          EXPECT_TRUE(routed->OnDialogInit());
          routed->OnActivateDialog(1);
          routed->OnCommand(IDOK);
          EXPECT_FALSE(window->endResult.has_value());
          routed->OnCommand(IDCANCEL);
          return window->endResult.value_or(-1);
        };
        return host;
      },
      dir.path());
  EXPECT_FALSE(app.StartInstance());
  EXPECT_EQ(app.m_dialogResult, IDCANCEL);
}

}  // namespace
}  // namespace tessarin
