// The dialog templates of the window program as data: the main dialog (102)
// and the About box (100), with every control's id, kind, caption, styles and
// position in dialog units. A host builds its widgets from these tables,
// converting dialog units with the dialog font's base units.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tessarin {

/// Command ids of the dialog boxes (the platform's standard ones).
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

/// Resource ids.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_TESSARIN_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;  ///< the application icon

/// Control ids of the main dialog.
inline constexpr int IDC_BURN = 1001;
inline constexpr int IDC_STATUS = 1003;
inline constexpr int IDC_PROGRESS = 1004;
inline constexpr int IDC_SELECT = 1005;
inline constexpr int IDC_SERIAL_NO = 1009;
inline constexpr int IDC_DEVICE_VERSION = 1010;
inline constexpr int IDC_FILE_PATH = 1011;
inline constexpr int IDC_FILE_VERSION = 1012;
inline constexpr int IDC_MESSAGE = 1013;
inline constexpr int IDC_DEVICE_CUR = 1015;
inline constexpr int IDC_FILE_CUR = 1016;
inline constexpr int IDC_TARGET = 1017;
inline constexpr int IDC_FILE_TIME = 1018;
/// A control without an id (labels, group boxes, the About icon).
inline constexpr int IDC_STATIC = -1;

/// The text of string 101, the About item.
inline constexpr char16_t kAboutMenuText[] = u"&About Tessarin...";

enum class ControlKind {
  kPushButton,
  kDefPushButton,  ///< the dialog's default push button
  kEdit,
  kStaticText,
  kComboDropDownList,  ///< drop-down list, no typing
  kProgressBar,
  kGroupBox,
  kIcon,  ///< caption empty; iconId names the picture
};

/// Style flags of a control (bits).
enum ControlStyle : std::uint32_t {
  STYLE_NONE = 0,
  STYLE_HIDDEN = 1u << 0,    ///< not visible (every other control is)
  STYLE_DISABLED = 1u << 1,  ///< starts disabled
  STYLE_TABSTOP = 1u << 2,
  STYLE_GROUP = 1u << 3,  ///< starts a group
  STYLE_BORDER = 1u << 4,
  STYLE_READONLY = 1u << 5,     ///< edit: read-only
  STYLE_AUTOHSCROLL = 1u << 6,  ///< edit: horizontal auto-scroll
  STYLE_CENTER = 1u << 7,       ///< static text: centred
  STYLE_NOPREFIX = 1u << 8,     ///< static text: "&" is shown, not a mnemonic
  STYLE_VSCROLL = 1u << 9,      ///< combo box: vertical scroll bar
  STYLE_SORT = 1u << 10,        ///< combo box: sorted (not used by the templates)
};

/// One control of a template, in template order (which is the tab order).
struct ControlTemplate {
  int id;  ///< IDC_STATIC for none
  ControlKind kind;
  std::u16string_view caption;  ///< empty when the template gives none
  std::uint32_t styles;         ///< ControlStyle bits
  int x, y, width, height;      ///< dialog units; a combo's height includes its open list
  int iconId = 0;               ///< kIcon only
};

/// A dialog template.
struct DialogTemplate {
  int id;
  std::u16string_view caption;
  int width, height;  ///< dialog units
  std::u16string_view fontName;
  int fontPointSize;
  bool visible;      ///< WS_VISIBLE
  bool minimizeBox;  ///< WS_MINIMIZEBOX
  bool maximizeBox;  ///< always false here
  bool resizable;    ///< always false here (modal frame)
  bool centered;     ///< DS_CENTER: centred in the work area
  std::span<const ControlTemplate> controls;
};

/// Template 102, the main dialog.
const DialogTemplate& MainDialogTemplate();
/// Template 100, the About box.
const DialogTemplate& AboutDialogTemplate();
/// The control with `id` in `dialog`, or null (also for IDC_STATIC).
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

}  // namespace tessarin
