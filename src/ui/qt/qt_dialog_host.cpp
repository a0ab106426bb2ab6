#include "ui/qt/qt_dialog_host.h"

#include <xcb/xcb.h>

#include <QAbstractButton>
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdio>
#include <utility>

namespace tessarin {
namespace {

QString ToQString(const std::u16string& text) { return QString::fromStdU16String(text); }

// Text colours of a highlighted control: RGB(255,0,0) or black.
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

void CentreOnScreen(QWidget* window) {
  const QScreen* screen = window->screen();
  if (screen == nullptr) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

/// Calls `onGone` when the X server reports the destruction of `window`:
/// another client closed it under the program (xdotool windowclose, a task
/// manager). The program's own destruction of the window comes after the
/// dialog ended, when nothing is routed any more.
class NativeWindowWatch : public QAbstractNativeEventFilter {
 public:
  NativeWindowWatch(WId window, std::function<void()> onGone)
      : m_window(window), m_onGone(std::move(onGone)) {}

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (eventType != "xcb_generic_event_t" || message == nullptr) return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_DESTROY_NOTIFY) return false;
    const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
    if (destroyed->window == m_window) m_onGone();
    return false;  // Qt forgets the window its own way
  }

 private:
  WId m_window;
  std::function<void()> m_onGone;
};

}  // namespace

QtDialogHost::QtDialogHost(const DialogTemplate& dialog, DialogHandlers& handlers, QWidget* parent)
    : TemplateDialog(dialog, parent), m_handlers(handlers) {
  for (const ControlTemplate& control : dialog.controls) {
    auto* button = qobject_cast<QAbstractButton*>(Control(control.id));
    if (button == nullptr) continue;
    const int id = control.id;
    connect(button, &QAbstractButton::clicked, this, [this, id] {
      if (Routing()) m_handlers.OnCommand(id);
    });
  }
}

QtDialogHost::~QtDialogHost() {
  m_ended = true;
  for (QSocketNotifier* notifier : m_notifiers) notifier->setEnabled(false);
}

void QtDialogHost::WatchDescriptor(int fd, std::function<void()> onReadable) {
  if (fd < 0 || !onReadable) return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  m_notifiers.push_back(notifier);
  connect(notifier, &QSocketNotifier::activated, this, [this, onReadable = std::move(onReadable)] {
    if (Routing()) onReadable();
  });
}

void QtDialogHost::Start() {
  m_handlers.OnDialogInit();
  m_started = true;
  CentreOnScreen(this);
  WatchNativeWindow();
  show();
  activateWindow();
}

int QtDialogHost::RunModal() {
  m_handlers.OnDialogInit();
  m_started = true;
  CentreOnScreen(this);
  WatchNativeWindow();
  exec();
  return m_result;
}

void QtDialogHost::WatchNativeWindow() {
  if (m_windowWatch) return;
  m_windowWatch = std::make_unique<NativeWindowWatch>(winId(), [this] { OnNativeWindowGone(); });
  QCoreApplication::instance()->installNativeEventFilter(m_windowWatch.get());
}

void QtDialogHost::OnNativeWindowGone() {
  if (m_windowGone || !Routing()) return;
  const bool ending = m_endRequested;
  m_windowGone = true;
  if (!ending) EndUnattended();
}

void QtDialogHost::RequestEnd() {
  if (Unattended() || !Routing() || !m_started) return;
  m_endRequested = true;
  EndUnattended();
}

void QtDialogHost::EndUnattended() {
  // Boxes open over the window (a notice, About, the file chooser) can no
  // longer be answered by anyone: each returns as if dismissed.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QDialog*>(widget);
    if (box != nullptr && box != this && box->isVisible()) box->reject();
  }
  // As a close by the user, once the X event has been handled: a running
  // burn stops at its next check and the dialog ends when it has.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (Routing() && m_started) m_handlers.OnCloseDialog();
      },
      Qt::QueuedConnection);
}

void QtDialogHost::SetFileChooser(std::function<std::optional<std::u16string>()> chooser) {
  m_chooser = std::move(chooser);
}

void QtDialogHost::SetControlText(int id, const std::u16string& text) {
  QWidget* widget = Control(id);
  const QString value = ToQString(text);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
    FitLabelText(label);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(value);
    edit->setCursorPosition(0);  // show the start of a long path, as the platform edit does
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(value);
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(value);
  }
}

void QtDialogHost::EnableControl(int id, bool enable) {
  if (QWidget* widget = Control(id)) widget->setEnabled(enable);
}

void QtDialogHost::ShowControl(int id, bool show) {
  if (QWidget* widget = Control(id)) widget->setVisible(show);
}

void QtDialogHost::SetControlRed(int id, bool red) {
  QWidget* widget = Control(id);
  if (widget == nullptr) return;
  // Only the text colour changes; the background keeps the style's default.
  // The disabled group keeps its grey, as a disabled control on the platform.
  QPalette palette = widget->palette();
  const QColor colour = red ? kRed : kBlack;
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, widget->foregroundRole(), colour);
  }
  widget->setPalette(palette);
  widget->update();
}

void QtDialogHost::ComboResetContent(int id) {
  if (auto* combo = qobject_cast<QComboBox*>(Control(id))) combo->clear();
}

int QtDialogHost::ComboAddString(int id, const std::u16string& text) {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  if (combo == nullptr) return -1;
  const int selected = combo->currentIndex();
  combo->addItem(ToQString(text));
  // Qt selects the first line added to an empty box; the platform list does not.
  if (selected != combo->currentIndex()) combo->setCurrentIndex(selected);
  return combo->count() - 1;
}

void QtDialogHost::ComboSetCurSel(int id, int index) {
  auto* combo = qobject_cast<QComboBox*>(Control(id));
  if (combo == nullptr) return;
  combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
}

void QtDialogHost::ProgressSetRange(int id, int min, int max) {
  auto* bar = qobject_cast<QProgressBar*>(Control(id));
  if (bar == nullptr) return;
  ProgressRange& range = m_progressRanges[id];
  range.min = min;
  range.max = std::max(min, max);
  // A QProgressBar with an empty range shows a busy animation; the platform
  // bar shows an empty bar.
  const int position = std::clamp(bar->value(), range.min, range.max);
  bar->setRange(range.min, range.max > range.min ? range.max : range.min + 1);
  bar->setValue(position);
}

void QtDialogHost::ProgressSetPos(int id, int pos) {
  auto* bar = qobject_cast<QProgressBar*>(Control(id));
  if (bar == nullptr) return;
  const auto it = m_progressRanges.find(id);
  const ProgressRange range = it == m_progressRanges.end() ? ProgressRange{} : it->second;
  bar->setValue(std::clamp(pos, range.min, range.max));
}

MessageBoxResult QtDialogHost::MessageBox(const std::u16string& text,
                                          const std::u16string& caption) {
  if (Unattended()) {
    // Nobody is left to read a box; the message is kept on stderr.
    std::fprintf(stderr, "tessarin: %s: %s\n", ToQString(caption).toLocal8Bit().constData(),
                 ToQString(text).toLocal8Bit().constData());
    return MessageBoxResult::kOk;
  }
  QMessageBox box(QMessageBox::NoIcon, ToQString(caption), ToQString(text), QMessageBox::Ok, this);
  box.exec();
  return MessageBoxResult::kOk;
}

std::optional<std::u16string> QtDialogHost::ChooseFile() {
  if (Unattended()) return std::nullopt;
  if (m_chooser) return m_chooser();
  const QString path = QFileDialog::getOpenFileName(
      this, tr("Open"), QString(), QStringLiteral("kestrova rom file (.rom) (*.rom)"));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdU16String();
}

void QtDialogHost::PostToUiThread(std::function<void()> closure) {
  // A queued call is an event posted to this object: thread-safe, delivered
  // in posting order, and discarded with the object.
  QMetaObject::invokeMethod(
      this,
      [this, closure = std::move(closure)] {
        if (Routing()) closure();
      },
      Qt::QueuedConnection);
}

void QtDialogHost::EndDialog(int result) {
  if (m_ended) return;
  m_ended = true;
  m_result = result;
  // The window closes once the handler that ended it has returned.
  QMetaObject::invokeMethod(
      this, [this] { QDialog::done(m_result); }, Qt::QueuedConnection);
}

void QtDialogHost::AddAboutCommand(const std::u16string& text) {
  if (text.empty() || m_aboutAction != nullptr) return;
  m_aboutAction = new QAction(ToQString(text), this);
  m_aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
  m_aboutAction->setShortcutContext(Qt::WindowShortcut);
  addAction(m_aboutAction);
  connect(m_aboutAction, &QAction::triggered, this, [this] {
    if (Routing()) m_handlers.OnSystemCommand(SC_ABOUT);
  });
}

void QtDialogHost::SetWindowIcon(int iconId) { setWindowIcon(ResourceIcon(iconId)); }

void QtDialogHost::RunAboutBox() {
  if (Unattended()) return;
  TemplateDialog about(AboutDialogTemplate(), this);
  about.setWindowIcon(ResourceIcon(IDR_MAINFRAME));
  if (auto* ok = qobject_cast<QAbstractButton*>(about.Control(IDOK))) {
    connect(ok, &QAbstractButton::clicked, &about, &QDialog::accept);
  }
  if (AboutDialogTemplate().centered) CentreOnScreen(&about);
  about.exec();
}

void QtDialogHost::reject() {
  if (Routing() && m_started) m_handlers.OnCloseDialog();
}

void QtDialogHost::accept() {}

bool QtDialogHost::event(QEvent* event) {
  if (Routing() && m_started) {
    if (event->type() == QEvent::WindowActivate) {
      m_handlers.OnActivateDialog(1);
    } else if (event->type() == QEvent::WindowDeactivate) {
      m_handlers.OnActivateDialog(0);
    }
  }
  return TemplateDialog::event(event);
}

void QtDialogHost::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && event->modifiers() == Qt::NoModifier) {
    const auto buttons = findChildren<QPushButton*>();
    const bool hasDefault = std::any_of(buttons.begin(), buttons.end(), [](QPushButton* button) {
      return button->isDefault() && button->isVisible();
    });
    // The default button (Select..., or the focused button) takes Enter, as
    // on the platform; without one Enter is the IDOK command.
    if (!hasDefault) {
      if (Routing()) m_handlers.OnCommand(IDOK);
      return;
    }
  }
  TemplateDialog::keyPressEvent(event);
}

void QtDialogHost::contextMenuEvent(QContextMenuEvent* event) {
  if (m_aboutAction == nullptr) {
    TemplateDialog::contextMenuEvent(event);
    return;
  }
  QMenu menu(this);
  menu.addAction(m_aboutAction);
  menu.exec(event->globalPos());
}

DialogHostFactory QtDialogHostFactory(std::function<void(QtDialogHost&)> setUp) {
  return [setUp = std::move(setUp)](const DialogTemplate& dialog,
                                    DialogHandlers& handlers) -> std::unique_ptr<DialogHost> {
    auto host = std::make_unique<QtDialogHost>(dialog, handlers);
    if (setUp) setUp(*host);
    return host;
  };
}

}  // namespace tessarin
