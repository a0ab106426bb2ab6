// The main dialog on the Qt host over simulated devices, for the Qt tests.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sim/sim_backend.h"
#include "support/image_test_dir.h"
#include "ui/qt/qt_dialog_host.h"
#include "ui/tessarin_dlg.h"

namespace tessarin::testing {

/// Processes events until `done` holds; false when it never did within a
/// generous bound of rounds (a hang guard, not a speed check).
inline bool ProcessUntil(const std::function<bool()>& done, int rounds = 60000) {
  for (int i = 0; i < rounds; ++i) {
    if (done()) return true;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QThread::msleep(1);
  }
  return done();
}

/// Dismisses every message box that becomes the active modal window, keeping
/// what it showed and whether the dialog had ended at that moment.
class MessageBoxDismisser {
 public:
  struct Seen {
    QString text;
    QString caption;
    bool dialogEndedWhileShown = false;
  };

  explicit MessageBoxDismisser(const QtDialogHost* host) : m_host(host) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      m_seen.push_back({box->text(), box->windowTitle(), m_host->Ended()});
      box->button(QMessageBox::Ok)->click();
    });
    m_timer.start(10);
  }
  const std::vector<Seen>& seen() const { return m_seen; }

 private:
  const QtDialogHost* m_host;
  QTimer m_timer;
  std::vector<Seen> m_seen;
};

class QtDialogTest : public ::testing::Test {
 protected:
  explicit QtDialogTest(std::shared_ptr<SimClock> clock = nullptr)
      : m_backend(std::make_unique<SimBackend>(std::move(clock))) {}

  void TearDown() override {
    // The worker posts to the host: it is stopped before the host goes.
    if (m_dialog) m_dialog->DetachFramework();
    m_host.reset();
    m_dialog.reset();
  }

  /// Builds the dialog and its window and shows it, with an instant worker
  /// sleep unless `realSleep`.
  void Open(bool realSleep = false) {
    BurnSleep sleep;
    if (!realSleep) sleep = [](std::chrono::milliseconds) {};
    m_dialog = std::make_unique<CTessarinDlg>(*m_backend, m_dir.path(), sleep);
    m_host = std::make_unique<QtDialogHost>(MainDialogTemplate(), *m_dialog);
    SimBackend& backend = *m_backend;
    m_host->WatchDescriptor(backend.DeviceChangeFd(),
                            [&backend] { backend.ProcessDeviceChanges(); });
    m_dialog->AttachFramework(m_host.get());
    m_host->SetFileChooser([this]() -> std::optional<std::u16string> {
      ++m_chooserCalls;
      return m_chosen;
    });
    m_host->Start();
    ASSERT_TRUE(ProcessUntil([this] { return m_host->isActiveWindow(); }));
  }

  std::filesystem::path WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    return m_dir.Write(name, bytes);
  }

  /// Chooses `file` with Select..., clicked.
  void Select(const std::filesystem::path& file) {
    m_chosen = file.u16string();
    Button(IDC_SELECT)->click();
    QCoreApplication::processEvents();
  }

  QAbstractButton* Button(int id) const {
    return qobject_cast<QAbstractButton*>(m_host->Control(id));
  }
  QString Text(int id) const {
    QWidget* widget = m_host->Control(id);
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    return {};
  }

  /// Saves a picture of `widget` under the build folder's screenshots.
  static void Screenshot(QWidget* widget, const QString& name) {
    const QString dir = QStringLiteral(TESSARIN_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    EXPECT_TRUE(widget->grab().save(dir + QLatin1Char('/') + name)) << name.toStdString();
  }

  ScratchDir m_dir;
  std::unique_ptr<SimBackend> m_backend;
  std::unique_ptr<CTessarinDlg> m_dialog;
  std::unique_ptr<QtDialogHost> m_host;
  std::optional<std::u16string> m_chosen;
  int m_chooserCalls = 0;
};

}  // namespace tessarin::testing
