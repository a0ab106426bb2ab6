// Window events on the Qt host: activation and deactivation reload the image,
// device changes reach the dialog from any thread and through the backend's
// descriptor.
#include <QComboBox>
#include <atomic>
#include <thread>

#include "image/last_file_memory.h"
#include "image/rom_image.h"
#include "support/test_os.h"
#include "support/ui_qt_fixture.h"

namespace tessarin::testing {
namespace {

std::vector<uint8_t> Image(int32_t size, uint8_t major, uint8_t minor) {
  return MakeImage(size, major, minor, 0).value_or(std::vector<uint8_t>{});
}

using QtEventsTest = QtDialogTest;

// The first activation loads the remembered image; losing the activation to
// another window reloads it, and a change on disk turns the time red.
TEST_F(QtEventsTest, ActivationAndDeactivationReloadTheImage) {
  m_backend->AddDevice(SimDeviceConfig{});
  const auto file = WriteImage("fw.rom", Image(3000, 2, 5));
  ASSERT_TRUE(WriteMemoryFile(MemoryFilePath(m_dir.path()), file.u16string()));
  Open();
  EXPECT_EQ(Text(IDC_FILE_VERSION), QStringLiteral("2.5"));
  EXPECT_TRUE(Button(IDC_BURN)->isEnabled());
  QWidget* time = m_host->Control(IDC_FILE_TIME);
  EXPECT_EQ(time->palette().color(QPalette::Active, QPalette::WindowText), QColor(0, 0, 0));

  WriteImage("fw.rom", Image(3000, 2, 6));
  std::filesystem::last_write_time(
      file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(ProcessUntil([this] { return !m_host->isActiveWindow(); }));
  EXPECT_EQ(Text(IDC_FILE_VERSION), QStringLiteral("2.6"));
  EXPECT_EQ(time->palette().color(QPalette::Active, QPalette::WindowText), QColor(255, 0, 0));
}

// A device plugged in on another thread reaches the target list.
TEST_F(QtEventsTest, DeviceArrivalFromAnotherThreadReachesTheList) {
  Open();
  auto* combo = qobject_cast<QComboBox*>(m_host->Control(IDC_TARGET));
  EXPECT_EQ(combo->count(), 0);
  std::thread plug([this] { m_backend->AddDevice(SimDeviceConfig{}); });
  plug.join();
  ASSERT_TRUE(ProcessUntil([&] { return combo->count() == 1; }));
  EXPECT_EQ(combo->currentIndex(), 0);
}

/// Simulated devices announced through a descriptor, the way the real Linux
/// backend announces hot-plug: the listener runs only inside
/// ProcessDeviceChanges(), on the thread that watches the descriptor.
class DescriptorBackend : public SimBackend {
 public:
  DescriptorBackend() {
    EXPECT_GE(m_pipe.ReadEnd(), 0);
    SimBackend::SetDeviceChangeListener([this](int) { EXPECT_TRUE(m_pipe.Notify()); });
  }
  ~DescriptorBackend() override { SimBackend::SetDeviceChangeListener({}); }
  void SetDeviceChangeListener(DeviceChangeListener listener) override {
    m_listener = std::move(listener);
  }
  int DeviceChangeFd() const override { return m_pipe.ReadEnd(); }
  void ProcessDeviceChanges() override {
    for (int changes = m_pipe.Drain(); changes > 0; --changes) {
      ++m_processed;
      if (m_listener) m_listener(DEVICE_NODES_CHANGED);
    }
  }
  std::atomic<int> m_processed{0};

 private:
  NotifyPipe m_pipe;
  DeviceChangeListener m_listener;
};

class QtDescriptorEventsTest : public QtDialogTest {
 protected:
  QtDescriptorEventsTest() { m_backend = std::make_unique<DescriptorBackend>(); }
};

TEST_F(QtDescriptorEventsTest, ReadableDescriptorRescansTheDevices) {
  Open();
  auto& backend = static_cast<DescriptorBackend&>(*m_backend);
  auto* combo = qobject_cast<QComboBox*>(m_host->Control(IDC_TARGET));
  const std::string path = backend.AddDevice(SimDeviceConfig{});
  ASSERT_TRUE(ProcessUntil([&] { return combo->count() == 1; }));
  EXPECT_EQ(backend.m_processed.load(), 1);
  backend.RemoveDevice(path);
  ASSERT_TRUE(ProcessUntil([&] { return combo->count() == 0; }));
  EXPECT_FALSE(Button(IDC_BURN)->isEnabled());
}

}  // namespace
}  // namespace tessarin::testing
