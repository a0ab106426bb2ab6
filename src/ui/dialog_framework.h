// The small window framework the dialogs talk to: controls addressed by id,
// one-way text exchange, a red flag per highlighted control, and the routing
// of window events to handlers. A host (Qt, or a recording fake in tests)
// implements DialogFramework; the dialog implements DialogHandlers.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "burn/burn_status.h"
#include "ui/dialog_templates.h"

namespace tessarin {

/// Message box results.
enum class MessageBoxResult { kOk };

/// Everything a dialog does to its window. Every call but PostToUiThread must
/// be made on the user-interface thread. Ids are the control ids of the
/// dialog's template (dialog_templates.h). A call on an id the template does
/// not have is ignored.
class DialogFramework {
 public:
  virtual ~DialogFramework() = default;

  /// Sets the text of a control (edit, static text, button).
  virtual void SetControlText(int id, const std::u16string& text) = 0;
  /// Enables (true) or disables a control.
  virtual void EnableControl(int id, bool enable) = 0;
  /// Shows (true) or hides a control.
  virtual void ShowControl(int id, bool show) = 0;
  /// Sets the red flag of a highlighted control and repaints it at once: red
  /// text RGB(255,0,0) when set, black text when clear; the background keeps
  /// the platform's default.
  virtual void SetControlRed(int id, bool red) = 0;

  /// Combo box: removes every line.
  virtual void ComboResetContent(int id) = 0;
  /// Combo box: appends a line (the list is not sorted); returns its index.
  virtual int ComboAddString(int id, const std::u16string& text) = 0;
  /// Combo box: selects a line; -1 selects none.
  virtual void ComboSetCurSel(int id, int index) = 0;

  /// Progress bar: range 0..max. The 16-bit form (PBM_SETRANGE) and the
  /// 32-bit form (PBM_SETRANGE32) both end here; negative or zero max keeps a
  /// valid but empty bar.
  virtual void ProgressSetRange(int id, int min, int max) = 0;
  /// Progress bar: position, clamped by the bar to its range.
  virtual void ProgressSetPos(int id, int pos) = 0;

  /// A modal message box with one OK button over the dialog; returns when the
  /// user dismissed it. The host processes events meanwhile (so posted
  /// closures may run during it, as on the platform). UI thread only.
  virtual MessageBoxResult MessageBox(const std::u16string& text,
                                      const std::u16string& caption) = 0;

  /// The file chooser of Select...: open mode, the file must exist, filter
  /// "kestrova rom file (.rom)" for *.rom; the path as the system gives it. Returns the chosen
  /// path, or nullopt when the user cancelled. Modal; UI thread only.
  virtual std::optional<std::u16string> ChooseFile() = 0;

  /// Runs `closure` later on the user-interface thread, in posting order.
  /// Callable from any thread. The host drops closures still queued after
  /// the dialog ended (the closure holds nothing that needs running).
  virtual void PostToUiThread(std::function<void()> closure) = 0;

  /// Posts a burn status as the window's own message (WM_BURN_STATUS), which
  /// the host routes to DialogHandlers::OnBurnStatus in order with the
  /// closures of PostToUiThread. Returns false when the host has no such
  /// message (the caller then posts a closure). Callable from any thread.
  virtual bool PostBurnStatus(BurnStatus status, long count) {
    (void)status;
    (void)count;
    return false;
  }

  /// True when the host itself delivers the system's device-change event to
  /// DialogHandlers::OnDevicesChanged (the window message every top-level
  /// window receives on Windows); the dialog then installs no listener of
  /// its own on the device manager.
  virtual bool ReportsDeviceChanges() const { return false; }

  /// Ends the modal run of the dialog with `result` (IDOK, IDCANCEL). The host
  /// closes the window after the handler that called it returned.
  virtual void EndDialog(int result) = 0;

  /// Adds the "&About Tessarin..." item (string 101) where this host offers
  /// window-level commands (the context menu on Linux; F1 too) and sets the
  /// window icon (big and small) from icon 128. Selecting the item reaches
  /// DialogHandlers::OnSystemCommand(SC_ABOUT).
  virtual void AddAboutCommand(const std::u16string& text) = 0;
  virtual void SetWindowIcon(int iconId) = 0;

  /// Runs the About box (template 100) modally and returns when its OK button
  /// or close ended it.
  virtual void RunAboutBox() = 0;
};

/// The system command of the About item (the low four bits are ignored).
inline constexpr int SC_ABOUT = 0x0010;

/// The window message that carries a burn status (WM_USER + 100): wParam the
/// status's code (BurnStatusCode), lParam the byte count.
inline constexpr unsigned WM_BURN_STATUS = 0x464;

/// The routing table: what the host calls, each on the user-interface thread.
class DialogHandlers {
 public:
  virtual ~DialogHandlers() = default;

  /// Once, after the window and its controls exist and before it is shown.
  /// The host has put the template captions into the controls; the handler
  /// does its own first exchange.
  virtual bool OnDialogInit() = 0;
  /// Window activation gained (state != 0) or lost (state == 0), including the
  /// first activation after the dialog is shown.
  virtual void OnActivateDialog(int state) = 0;
  /// A device was added or removed (eventCode 7), or another device event.
  /// Returns 1.
  virtual int OnDevicesChanged(int eventCode) = 0;
  /// Esc, the close box, Alt+F4 and the window menu's Close (IDCANCEL). The
  /// host never closes the window on its own: only EndDialog does.
  virtual void OnCloseDialog() = 0;
  /// A button: 1001 Burn, 1005 Select..., IDOK (Enter with no default action),
  /// IDCANCEL. Other ids are ignored.
  virtual void OnCommand(int id) = 0;
  /// A window-level command (SC_ABOUT opens the About box).
  virtual void OnSystemCommand(int command) = 0;
  /// A burn status and its count. The dialog's own status sink posts it
  /// through PostBurnStatus, or PostToUiThread where the host has no
  /// message for it.
  virtual void OnBurnStatus(BurnStatus status, long count) = 0;
  /// The system ends the program as soon as this returns (Windows:
  /// WM_ENDSESSION at log-off or shutdown): a running burn must have stopped
  /// by then, and the dialog ends without a box, since nobody is left to
  /// answer one.
  virtual void OnSessionEnding() {}
};

}  // namespace tessarin
