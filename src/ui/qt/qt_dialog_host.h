// The dialog framework on Qt 6 Widgets: a TemplateDialog that implements
// DialogFramework for the dialog's handlers and turns Qt's events into the
// calls of the routing table.
#pragma once

#include <QAction>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialog_host.h"
#include "ui/qt/template_dialog.h"

class QSocketNotifier;
class QAbstractNativeEventFilter;

namespace tessarin {

/// Routing, all on the user-interface thread:
/// - window activation gained and lost -> OnActivateDialog(1 / 0);
/// - a descriptor given to WatchDescriptor readable -> its callback (the
///   application watches the HID backend's device-change descriptor so);
/// - Esc, the close box, Alt+F4 -> OnCloseDialog; the window closes only
///   when a handler calls EndDialog;
/// - Enter with no default button to press -> OnCommand(IDOK); button clicks
///   -> OnCommand(id);
/// - the context-menu item and F1 (once AddAboutCommand gave the text) ->
///   OnSystemCommand(SC_ABOUT);
/// - the native window destroyed under the program (an X client closed it),
///   or RequestEnd (the program told to stop from outside) -> the boxes it had
///   open are dismissed, later ones are not shown (their text goes to stderr)
///   and OnCloseDialog runs, so a running burn stops safely and the dialog
///   ends with nobody left to answer.
/// Once the dialog ended no handler is called any more and posted closures
/// still queued are dropped.
class QtDialogHost : public TemplateDialog, public DialogHost {
  Q_OBJECT

 public:
  /// `handlers` must outlive the host.
  QtDialogHost(const DialogTemplate& dialog, DialogHandlers& handlers, QWidget* parent = nullptr);
  ~QtDialogHost() override;

  /// Calls OnDialogInit, shows and activates the window, and returns at once
  /// (the tests' and RunModal's common start).
  void Start();
  /// Start(), then runs the modal loop until EndDialog; returns its result.
  int RunModal() override;
  /// True once EndDialog was called.
  bool Ended() const { return m_ended; }
  /// The result given to EndDialog (0 before).
  int Result() const { return m_result; }
  /// The About item, or null before AddAboutCommand.
  QAction* AboutAction() const { return m_aboutAction; }
  /// True once the native window was destroyed under the program.
  bool WindowGone() const { return m_windowGone; }
  /// The program is to end at once (a stop signal at log-out): ends the dialog
  /// as when its window was destroyed, with the window still there. Nothing
  /// before Start(). UI thread.
  void RequestEnd();
  /// True once RequestEnd was called.
  bool EndRequested() const { return m_endRequested; }

  /// Calls `onReadable` on the user-interface thread whenever `fd` is
  /// readable, until the dialog ended (the descriptor must stay open as long).
  void WatchDescriptor(int fd, std::function<void()> onReadable);

  /// Replaces the file chooser (tests): called instead of the file dialog.
  void SetFileChooser(std::function<std::optional<std::u16string>()> chooser);

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
  void EndDialog(int result) override;
  void AddAboutCommand(const std::u16string& text) override;
  void SetWindowIcon(int iconId) override;
  void RunAboutBox() override;

 public slots:
  /// Esc and closing the window: asks the handlers, never closes by itself.
  void reject() override;
  /// Nothing closes the dialog but EndDialog.
  void accept() override;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  /// The logical range of a progress bar, kept here because an empty range
  /// must not turn the Qt bar into a busy indicator.
  struct ProgressRange {
    int min = 0;
    int max = 100;
  };

  bool Routing() const { return !m_ended; }
  /// Watches for the native window's destruction from outside (X11 only).
  void WatchNativeWindow();
  void OnNativeWindowGone();
  /// Nobody is left to answer: dismisses the open boxes and closes.
  void EndUnattended();
  bool Unattended() const { return m_windowGone || m_endRequested; }

  DialogHandlers& m_handlers;
  std::vector<QSocketNotifier*> m_notifiers;
  QAction* m_aboutAction = nullptr;
  std::function<std::optional<std::u16string>()> m_chooser;
  std::map<int, ProgressRange> m_progressRanges;
  std::unique_ptr<QAbstractNativeEventFilter> m_windowWatch;
  bool m_started = false;
  bool m_ended = false;
  bool m_windowGone = false;
  bool m_endRequested = false;
  int m_result = 0;
};

/// The factory CTessarinApp builds its window with; `setUp` (when given) runs
/// on each host before the dialog starts (the application wires its device
/// notifications there).
DialogHostFactory QtDialogHostFactory(std::function<void(QtDialogHost&)> setUp = {});

}  // namespace tessarin
