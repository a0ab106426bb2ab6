#include "ui/dialog_templates.h"

#include <array>

namespace tessarin {
namespace {

using K = ControlKind;

// Template order is the tab order.
constexpr std::array<ControlTemplate, 24> kMainControls = {{
    {IDC_BURN, K::kPushButton, u"Burn", STYLE_TABSTOP, 257, 96, 49, 14},
    {IDC_STATUS, K::kStaticText, u"Idle", STYLE_CENTER | STYLE_GROUP, 200, 63, 80, 8},
    {IDC_PROGRESS, K::kProgressBar, u"", STYLE_BORDER, 162, 77, 146, 14},
    {IDC_STATIC, K::kStaticText, u"Version:", STYLE_GROUP, 14, 90, 34, 8},
    {IDC_SERIAL_NO, K::kEdit, u"", STYLE_HIDDEN | STYLE_BORDER | STYLE_TABSTOP | STYLE_AUTOHSCROLL,
     195, 60, 90, 14},
    {IDC_STATIC, K::kStaticText, u"Serial No:", STYLE_HIDDEN | STYLE_GROUP, 159, 62, 33, 8},
    {IDC_DEVICE_VERSION, K::kStaticText, u"", STYLE_GROUP, 46, 90, 41, 8},
    {IDC_STATIC, K::kStaticText, u"Cur:", STYLE_GROUP, 93, 90, 18, 8},
    {IDC_DEVICE_CUR, K::kStaticText, u"", STYLE_GROUP, 116, 90, 35, 8},
    {IDC_TARGET, K::kComboDropDownList, u"", STYLE_VSCROLL | STYLE_TABSTOP, 45, 70, 103, 30},
    {IDC_STATIC, K::kStaticText, u"Target:", STYLE_GROUP, 14, 71, 27, 8},
    {IDC_STATIC, K::kGroupBox, u"Device info", STYLE_NONE, 6, 59, 152, 48},
    {IDC_STATIC, K::kStaticText, u"File:", STYLE_GROUP, 14, 6, 17, 8},
    {IDC_FILE_PATH, K::kEdit, u"",
     STYLE_BORDER | STYLE_TABSTOP | STYLE_READONLY | STYLE_AUTOHSCROLL, 13, 17, 248, 14},
    {IDC_SELECT, K::kDefPushButton, u"Select...", STYLE_TABSTOP, 266, 17, 43, 14},
    {IDC_STATIC, K::kStaticText, u"Version:", STYLE_GROUP, 14, 37, 34, 8},
    {IDC_FILE_VERSION, K::kStaticText, u"", STYLE_GROUP, 46, 37, 43, 8},
    {IDC_STATIC, K::kStaticText, u"Cur:", STYLE_GROUP, 93, 37, 18, 8},
    {IDC_FILE_CUR, K::kStaticText, u"", STYLE_GROUP, 116, 37, 35, 8},
    {IDC_STATIC, K::kGroupBox, u"File info", STYLE_NONE, 6, 6, 314, 49},
    {IDC_STATIC, K::kStaticText, u"Time:", STYLE_GROUP, 157, 37, 18, 8},
    {IDC_FILE_TIME, K::kStaticText, u"", STYLE_GROUP, 193, 37, 127, 8},
    {IDC_STATIC, K::kStaticText, u"V3.8", STYLE_GROUP, 304, 115, 16, 8},
    {IDC_MESSAGE, K::kStaticText, u"", STYLE_GROUP, 6, 115, 180, 8},
}};

constexpr std::array<ControlTemplate, 4> kAboutControls = {{
    {IDC_STATIC, K::kIcon, u"", STYLE_NONE, 13, 17, 20, 20, IDR_MAINFRAME},
    {IDC_STATIC, K::kStaticText, u"Kestrova Co.,Ltd.USB Audio Device Firmware",
     STYLE_NOPREFIX | STYLE_GROUP, 46, 10, 143, 8},
    {IDC_STATIC, K::kStaticText, u"Burner v3.8", STYLE_NOPREFIX | STYLE_GROUP, 46, 20, 143, 8},
    {IDOK, K::kDefPushButton, u"OK", STYLE_GROUP | STYLE_TABSTOP, 194, 8, 50, 16},
}};

constexpr DialogTemplate kMainDialog = {
    IDD_TESSARIN_DIALOG,
    u"Kestrova Co.,Ltd. USB Audio Device Firmware Burner",
    327,
    126,
    u"MS Shell Dlg",
    8,
    /*visible=*/true,
    /*minimizeBox=*/true,
    /*maximizeBox=*/false,
    /*resizable=*/false,
    /*centered=*/false,
    kMainControls,
};

constexpr DialogTemplate kAboutDialog = {
    IDD_ABOUTBOX,
    u"About Kestrova Co.,Ltd.USB Audio Device Firmware Burner",
    266,
    54,
    u"MS Shell Dlg",
    8,
    /*visible=*/false,
    /*minimizeBox=*/false,
    /*maximizeBox=*/false,
    /*resizable=*/false,
    /*centered=*/true,
    kAboutControls,
};

}  // namespace

const DialogTemplate& MainDialogTemplate() { return kMainDialog; }
const DialogTemplate& AboutDialogTemplate() { return kAboutDialog; }

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
  if (id == IDC_STATIC) return nullptr;
  for (const ControlTemplate& control : dialog.controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace tessarin
