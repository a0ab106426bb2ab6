// The dialog framework on plain Win32: the templates as in-memory dialog
// templates run by the system's dialog manager, and the window messages of
// the main dialog routed to the dialog's handlers.
#pragma once

// First: the dialogs' headers before windows.h (see dialog_template_ex.h).
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "ui/dialog_host.h"
#include "ui/win32/dialog_template_ex.h"

namespace tessarin {

/// Registers the common-control classes the templates use
/// (ICC_WIN95_CLASSES, which holds the progress bar). Once per process,
/// before the first dialog.
void InitDialogControls();

/// A message box owned by no window, for what the program says before or
/// instead of its dialog (start-up failures, --help).
void ShowProgramMessage(const std::u16string& text, const std::u16string& caption, bool error);

/// The private message that runs one closure of PostToUiThread.
inline constexpr UINT WM_RUN_CLOSURE = WM_APP + 1;

/// Where the dialog hears of devices that come and go.
enum class DeviceChangeSource {
  /// The system's WM_DEVICECHANGE to the window: real devices.
  kSystem,
  /// The backend's own listener, installed by the dialog: simulated devices,
  /// of which the system knows nothing.
  kBackend,
};

/// Routing of the main dialog, all on the thread that created the window:
/// - WM_SYSCOMMAND: commands 0x10-0x1F (masked with 0xFFF0) -> OnSystemCommand,
///   every other one to the system (move, minimise, close);
/// - WM_PAINT while minimised: the icon, centred (IconOrigin);
/// - WM_QUERYDRAGICON: the icon;
/// - WM_DEVICECHANGE -> OnDevicesChanged(event code) when the source of device
///   changes is the system; answered TRUE;
/// - WM_ENDSESSION with wParam TRUE (log-off, shutdown) -> OnSessionEnding;
/// - WM_BURN_STATUS -> OnBurnStatus(the status of code wParam, lParam);
/// - WM_CTLCOLOREDIT / WM_CTLCOLORSTATIC: the system's answer, then the text
///   colour of a highlighted control (red 0x000000FF or black);
/// - WM_COMMAND of a button (IDOK, IDCANCEL, 1001, 1005...) -> OnCommand(id);
///   Esc, Alt+F4, the close box and Close on the system menu all arrive as
///   IDCANCEL;
/// - WM_ACTIVATE: the system's handling (the focus is saved or restored),
///   then OnActivateDialog(state).
/// The keyboard focus never stays on a control as it is disabled, nor is it
/// left with no control: it moves on as Tab would first, and a control
/// enabled while no control has it (the dialog active) takes it, as does the
/// first control that can when the dialog is activated.
/// Nothing but EndDialog ends the dialog. Once it ended no handler is called
/// any more and closures still queued are dropped.
class Win32DialogHost : public DialogHost {
 public:
  /// `handlers` must outlive the host. `instance` holds the resources (icon
  /// 128, string 101); null: the program's own module.
  Win32DialogHost(const DialogTemplate& dialog, DialogHandlers& handlers,
                  HINSTANCE instance = nullptr,
                  DeviceChangeSource deviceChanges = DeviceChangeSource::kSystem);
  ~Win32DialogHost() override;
  Win32DialogHost(const Win32DialogHost&) = delete;
  Win32DialogHost& operator=(const Win32DialogHost&) = delete;

  /// The modal run (DialogBoxIndirectParamW): OnDialogInit during
  /// WM_INITDIALOG, then the system's modal loop until EndDialog. Returns
  /// the result given to EndDialog, or -1 when the window could not be made.
  int RunModal() override;
  /// The same window, modeless (CreateDialogIndirectParamW), for tests that
  /// pump the messages themselves: returns once it is shown, false when it
  /// could not be made.
  bool Create();

  HWND Window() const { return m_window.load(); }
  HICON Icon() const { return m_icon; }
  bool Ended() const { return m_ended; }
  int Result() const { return m_result; }
  /// Replaces the file dialog (tests): called instead of GetOpenFileNameW.
  void SetFileChooser(std::function<std::optional<std::u16string>()> chooser);

  /// Where the minimised window draws its icon: centred in `client`, with
  /// (size - icon + 1) / 2 truncated toward zero; negative when the client
  /// area is smaller than the icon.
  static POINT IconOrigin(const RECT& client, int iconWidth, int iconHeight);

  // DialogFramework
  void SetControlText(int id, const std::u16string& text) override;
  void EnableControl(int id, bool enable) override;
  void ShowControl(int id, bool show) override;
  void SetControlRed(int id, bool red) override;
  void ComboResetContent(int id) override;
  int ComboAddString(int id, const std::u16string& text) override;
  void ComboSetCurSel(int id, int index) override;
  void ProgressSetRange(int id, int min, int max) override;
  void ProgressSetPos(int id, int pos) override;
  MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption) override;
  std::optional<std::u16string> ChooseFile() override;
  void PostToUiThread(std::function<void()> closure) override;
  bool PostBurnStatus(BurnStatus status, long count) override;
  bool ReportsDeviceChanges() const override {
    return m_deviceChanges == DeviceChangeSource::kSystem;
  }
  void EndDialog(int result) override;
  void AddAboutCommand(const std::u16string& text) override;
  void SetWindowIcon(int iconId) override;
  void RunAboutBox() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR data);
  static INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  INT_PTR OnInitDialog(HWND window);
  INT_PTR Route(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT AfterDefault(UINT message, WPARAM wParam, LPARAM lParam, LRESULT result);
  void PaintMinimised();
  void RunOneClosure();
  /// Gives the focus to `control` (or, when null, to the first control that
  /// takes it) when the dialog is active and no enabled control has it.
  void FocusWhenLost(HWND control);
  void Forget();
  HWND Control(int id) const;
  bool Routing() const { return m_started && !m_ended; }

  const DialogTemplate& m_template;
  DialogTemplateEx m_templateEx;
  DialogHandlers& m_handlers;
  HINSTANCE m_instance;
  DeviceChangeSource m_deviceChanges;
  HICON m_icon;
  std::atomic<HWND> m_window{nullptr};
  bool m_modal = false;
  bool m_started = false;
  bool m_ended = false;
  int m_result = 0;
  /// The highlighted controls and their flags; others keep the system's colours.
  std::map<int, bool> m_red;
  std::function<std::optional<std::u16string>()> m_chooser;
  std::mutex m_queueMutex;
  std::deque<std::function<void()>> m_queue;  ///< one WM_RUN_CLOSURE posted per entry
};

/// The factory CTessarinApp builds its window with.
DialogHostFactory Win32DialogHostFactory(
    DeviceChangeSource deviceChanges = DeviceChangeSource::kSystem);

}  // namespace tessarin
