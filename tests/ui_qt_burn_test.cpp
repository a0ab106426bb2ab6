// Whole burns on the Qt host, driven by real button clicks on simulated
// devices; also writes the screenshots of the main window.
#include <xcb/xcb.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QComboBox>
#include <QProgressBar>
#include <QTest>
#include <QTimer>

#include "app/stop_request_watch.h"
#include "image/rom_image.h"
#include "support/test_os.h"
#include "support/ui_qt_fixture.h"

namespace tessarin::testing {
namespace {

std::vector<uint8_t> Image(int32_t size, uint8_t major, uint8_t minor, uint16_t cur) {
  std::optional<std::vector<uint8_t>> bytes = MakeImage(size, major, minor, cur);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(std::vector<uint8_t>{});
}

/// What the X server delivers when another client destroys `window`.
void DestroyNativeWindow(WId window) {
  xcb_destroy_notify_event_t event{};
  event.response_type = XCB_DESTROY_NOTIFY;
  event.event = static_cast<xcb_window_t>(window);
  event.window = static_cast<xcb_window_t>(window);
  qintptr result = 0;
  QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &event, &result);
}

using QtBurnTest = QtDialogTest;

TEST_F(QtBurnTest, WholeBurnThroughTheButtonsReachesSuccessed) {
  m_backend->AddDevice(SimDeviceConfig{});
  Open();
  auto* combo = qobject_cast<QComboBox*>(m_host->Control(IDC_TARGET));
  EXPECT_EQ(combo->count(), 1);
  EXPECT_EQ(combo->currentIndex(), 0);
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), QStringLiteral("255.255"));  // a blank EEPROM

  Select(WriteImage("fw.rom", Image(5000, 3, 8, 0x1234)));
  EXPECT_EQ(Text(IDC_FILE_VERSION), QStringLiteral("3.8"));
  EXPECT_EQ(Text(IDC_FILE_CUR), QStringLiteral("4660"));
  EXPECT_FALSE(Text(IDC_FILE_TIME).isEmpty());
  ASSERT_TRUE(Button(IDC_BURN)->isEnabled());
  Screenshot(m_host.get(), QStringLiteral("main-idle.png"));

  auto* status = qobject_cast<QLabel*>(m_host->Control(IDC_STATUS));
  QTest::mouseClick(Button(IDC_BURN), Qt::LeftButton);
  EXPECT_FALSE(Button(IDC_BURN)->isEnabled());
  ASSERT_TRUE(ProcessUntil([&] {
    return status->text() == QStringLiteral("Successed") && Button(IDC_BURN)->isEnabled();
  }));
  // The status sequence itself is pinned by the dialog's own tests; here the
  // end state on screen matters.
  auto* bar = qobject_cast<QProgressBar*>(m_host->Control(IDC_PROGRESS));
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), QStringLiteral("3.8"));
  EXPECT_EQ(Text(IDC_DEVICE_CUR), QStringLiteral("4660"));
  Screenshot(m_host.get(), QStringLiteral("main-after-burn.png"));
}

// A transfer takes real time here, so the close lands in the middle of the
// download.
class QtCloseDuringBurnTest : public QtDialogTest {
 protected:
  QtCloseDuringBurnTest() : QtDialogTest(RealClock()) {}
};

TEST_F(QtCloseDuringBurnTest, CloseShowsTheNoticeAndEndsOnlyAfterIt) {
  SimDeviceConfig device;
  device.m_latency = std::chrono::milliseconds(1);
  m_backend->AddDevice(device);
  Open();
  Select(WriteImage("fw.rom", Image(32000, 1, 0, 0)));
  ASSERT_TRUE(Button(IDC_BURN)->isEnabled());

  auto* status = qobject_cast<QLabel*>(m_host->Control(IDC_STATUS));
  QTest::mouseClick(Button(IDC_BURN), Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return status->text() == QStringLiteral("Downloading..."); }));

  MessageBoxDismisser dismisser(m_host.get());
  m_host->close();
  EXPECT_FALSE(m_host->Ended());  // the burn has to stop first
  ASSERT_TRUE(ProcessUntil([this] { return m_host->Ended() && !m_host->isVisible(); }));

  ASSERT_EQ(dismisser.seen().size(), 1u);
  EXPECT_EQ(dismisser.seen()[0].text, QStringLiteral("Downloading failed."));
  EXPECT_EQ(dismisser.seen()[0].caption, QStringLiteral("Error"));
  EXPECT_FALSE(dismisser.seen()[0].dialogEndedWhileShown);
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  EXPECT_FALSE(m_dialog->Flags().m_workerRunning.load());
}

TEST_F(QtCloseDuringBurnTest, WindowDestroyedFromOutsideStopsTheBurnAndEndsWithoutABox) {
  SimDeviceConfig device;
  device.m_latency = std::chrono::milliseconds(1);
  const std::string path = m_backend->AddDevice(device);
  Open();
  Select(WriteImage("fw.rom", Image(32000, 1, 0, 0)));
  auto* status = qobject_cast<QLabel*>(m_host->Control(IDC_STATUS));
  QTest::mouseClick(Button(IDC_BURN), Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return status->text() == QStringLiteral("Downloading..."); }));

  MessageBoxDismisser dismisser(m_host.get());
  DestroyNativeWindow(m_host->winId() + 1);  // some other window
  QCoreApplication::processEvents();
  EXPECT_FALSE(m_host->WindowGone());
  EXPECT_FALSE(m_dialog->Closing());

  DestroyNativeWindow(m_host->winId());
  ASSERT_TRUE(ProcessUntil([this] { return m_host->Ended() && !m_host->isVisible(); }));
  EXPECT_TRUE(dismisser.seen().empty());  // the notice went to stderr
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  EXPECT_FALSE(m_dialog->Flags().m_workerRunning.load());
  EXPECT_EQ(m_backend->Device(path)->Eeprom()[0], 0xFF);  // never committed
}

// The window program's stop requests, wired as its main() wires them: each
// one handed to the Qt thread, which tells the window of the moment.
TEST_F(QtCloseDuringBurnTest, StopSignalDuringABurnStopsItAndEndsWithoutABox) {
  const StopEvent events[] = {StopEvent::kTerminate, StopEvent::kHangUp, StopEvent::kInterrupt};
  for (const StopEvent event : events) {
    SCOPED_TRACE(static_cast<int>(event));
    TearDown();
    m_backend = std::make_unique<SimBackend>(RealClock());
    SimDeviceConfig device;
    device.m_latency = std::chrono::milliseconds(1);
    const std::string path = m_backend->AddDevice(device);
    Open();
    QPointer<QtDialogHost> window = m_host.get();
    const StopRequestWatch stops([&window] {
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [&window] {
            if (window) window->RequestEnd();
          },
          Qt::QueuedConnection);
    });
    Select(WriteImage("fw.rom", Image(32000, 1, 0, 0)));
    auto* status = qobject_cast<QLabel*>(m_host->Control(IDC_STATUS));
    QTest::mouseClick(Button(IDC_BURN), Qt::LeftButton);
    ASSERT_TRUE(ProcessUntil([&] { return status->text() == QStringLiteral("Downloading..."); }));

    MessageBoxDismisser dismisser(m_host.get());
    auto delivered = DeliverStopEvent(event);
    ASSERT_TRUE(delivered) << "no such signal here";
    ASSERT_TRUE(ProcessUntil([this] { return m_host->Ended() && !m_host->isVisible(); }));
    EXPECT_TRUE(m_host->EndRequested());
    EXPECT_TRUE(dismisser.seen().empty());  // the notice went to stderr
    EXPECT_EQ(m_host->Result(), IDCANCEL);
    EXPECT_FALSE(m_dialog->Flags().m_workerRunning.load());
    EXPECT_EQ(m_backend->Device(path)->Eeprom()[0], 0xFF);  // never committed
  }
}

TEST_F(QtBurnTest, EndRequestedUnderAnOpenBoxDismissesTheBoxAndEnds) {
  m_backend->AddDevice(SimDeviceConfig{});
  Open();
  QWidget* aboutBox = nullptr;
  QTimer::singleShot(50, [&] {
    aboutBox = QApplication::activeModalWidget();
    m_host->RequestEnd();
  });
  m_host->AboutAction()->trigger();  // returns once the box is dismissed
  EXPECT_NE(aboutBox, nullptr);
  ASSERT_TRUE(ProcessUntil([this] { return m_host->Ended(); }));
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  EXPECT_FALSE(m_host->WindowGone());
}

TEST_F(QtBurnTest, WindowDestroyedUnderAnOpenBoxDismissesTheBoxAndEnds) {
  m_backend->AddDevice(SimDeviceConfig{});
  Open();
  ASSERT_NE(m_host->AboutAction(), nullptr);
  QWidget* aboutBox = nullptr;
  QTimer::singleShot(50, [&] {
    aboutBox = QApplication::activeModalWidget();
    DestroyNativeWindow(m_host->winId());
  });
  m_host->AboutAction()->trigger();  // returns once the box is dismissed
  EXPECT_NE(aboutBox, nullptr);
  EXPECT_NE(aboutBox, m_host.get());
  ASSERT_TRUE(ProcessUntil([this] { return m_host->Ended(); }));
  EXPECT_EQ(m_host->Result(), IDCANCEL);
}

}  // namespace
}  // namespace tessarin::testing
