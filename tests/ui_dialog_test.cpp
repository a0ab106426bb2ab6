// The main dialog's handlers on simulated devices, real files and a recording
// window; the test thread is the user-interface thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hid/protocol.h"
#include "image/compat_state.h"
#include "image/last_file_memory.h"
#include "image/rom_image.h"
#include "image/utf16.h"
#include "sim/sim_backend.h"
#include "support/image_test_dir.h"
#include "support/ui_fake_framework.h"
#include "ui/tessarin_dlg.h"

namespace tessarin {
namespace {

using testing::RecordingFramework;
using testing::ScratchDir;

const std::u16string kKestrovaLine = u"   Kestrova device";
const std::u16string kForeignLine = u"   Not Kestrova Firware";
const std::u16string kNotKestrovaLine = u"  Not Kestrova Device";

std::vector<uint8_t> Image(int32_t size, uint8_t major, uint8_t minor, uint16_t cur,
                           std::optional<ImageIds> ids = std::nullopt) {
  std::optional<std::vector<uint8_t>> bytes = MakeImage(size, major, minor, cur, ids);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(std::vector<uint8_t>{});
}

SimDeviceConfig Device(uint16_t vid, uint16_t pid) {
  SimDeviceConfig config;
  config.m_vendorId = vid;
  config.m_productId = pid;
  return config;
}

/// Holds the worker inside its `n`-th post until released, so the test can
/// act at a known point of a burn. Only posts from other threads count.
class WorkerGate {
 public:
  WorkerGate(RecordingFramework& window, int n) : m_ui(std::this_thread::get_id()), m_n(n) {
    window.onPost = [this] { Arrive(); };
  }
  ~WorkerGate() { Release(); }
  void WaitReached() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_reached; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_cv.notify_all();
  }

 private:
  void Arrive() {
    if (std::this_thread::get_id() == m_ui) return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (++m_count != m_n) return;
    m_reached = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return m_released; });
  }

  std::thread::id m_ui;
  int m_n;
  int m_count = 0;
  bool m_reached = false;
  bool m_released = false;
  std::mutex m_mutex;
  std::condition_variable m_cv;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dialog =
        std::make_unique<CTessarinDlg>(m_backend, m_dir.path(), [](std::chrono::milliseconds) {});
    m_dialog->AttachFramework(&m_window);
  }
  void TearDown() override {
    m_dialog->DetachFramework();
    m_window.RunPosted();
  }

  CTessarinDlg& Dlg() { return *m_dialog; }
  std::u16string Text(int id) { return m_window.texts[id]; }
  bool Enabled(int id) { return m_window.enabled[id]; }
  bool Red(int id) { return m_window.red[id]; }

  std::string AddDevice(SimDeviceConfig config = {}) {
    const std::string path = m_backend.AddDevice(std::move(config));
    return path;
  }
  std::filesystem::path WriteImage(const std::string& name, const std::vector<uint8_t>& bytes) {
    return m_dir.Write(name, bytes);
  }
  void Remember(const std::filesystem::path& file) {
    ASSERT_TRUE(SaveLastFile(MemoryFilePath(m_dir.path()), file));
  }
  /// Chooses `file` with Select....
  void Select(const std::filesystem::path& file) {
    m_window.chooseAnswers.push_back(PathToUtf16(file));
    Dlg().OnCommand(IDC_SELECT);
  }
  void Init() {
    ASSERT_TRUE(Dlg().OnDialogInit());
    m_window.RunPosted();  // arrivals before the dialog existed
  }
  /// Pumps until the worker has ended and its end was handled.
  bool FinishBurn() {
    return m_window.PumpUntil(
        [this] { return !Dlg().BurnBusy() && m_window.Queued() == 0 && !Dlg().Closing(); });
  }

  ScratchDir m_dir;
  SimBackend m_backend;
  RecordingFramework m_window;
  std::unique_ptr<CTessarinDlg> m_dialog;
};

TEST_F(DialogTest, StartUpLeavesBurnDisabledUntilTheFirstActivationLoadsTheRememberedImage) {
  const std::string device = AddDevice();
  m_backend.Device(device)->SetEeprom(4, {8, 3});
  m_backend.Device(device)->SetEeprom(10, {0x34, 0x12});
  const auto file = WriteImage("fw.rom", Image(4096, 3, 9, 77));
  Remember(file);

  Init();
  EXPECT_EQ(m_window.aboutCommand, u"&About Tessarin...");
  EXPECT_EQ(m_window.iconId, 128);
  EXPECT_EQ(m_window.comboLines, std::vector<std::u16string>{kKestrovaLine});
  EXPECT_EQ(m_window.comboSel, 0);
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"3.8");
  EXPECT_EQ(Text(IDC_DEVICE_CUR), u"4660");
  EXPECT_EQ(Text(IDC_FILE_PATH), PathToUtf16(file));
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"");
  EXPECT_FALSE(Enabled(IDC_BURN));
  EXPECT_TRUE(Enabled(IDC_STATUS));
  EXPECT_TRUE(Enabled(IDC_PROGRESS));
  EXPECT_EQ(Text(IDC_SERIAL_NO), u"");

  Dlg().OnActivateDialog(1);
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"3.9");
  EXPECT_EQ(Text(IDC_FILE_CUR), u"77");
  EXPECT_EQ(Text(IDC_FILE_TIME).size(), 20u);
  EXPECT_TRUE(Enabled(IDC_BURN));
  EXPECT_FALSE(Red(IDC_FILE_PATH));
  EXPECT_FALSE(Red(IDC_FILE_TIME));
}

TEST_F(DialogTest, TargetListClassifiesEveryDeviceInScanOrder) {
  struct Case {
    uint16_t vid, pid;
    std::u16string line;
    int notOwn, foreign;
  };
  const std::vector<Case> cases = {
      {0x0495, 0x8123, kKestrovaLine, 0, 0},    {0x0495, 0x1041, kKestrovaLine, 0, 0},
      {0x0495, 0x9000, kNotKestrovaLine, 1, 0}, {0x0495, 0x110B, kForeignLine, 0, 1},
      {0x1234, 0x1041, kNotKestrovaLine, 1, 0},
  };
  std::vector<std::string> paths;
  for (const Case& c : cases) paths.push_back(AddDevice(Device(c.vid, c.pid)));
  Init();
  std::vector<std::u16string> lines;
  for (const Case& c : cases) lines.push_back(c.line);
  EXPECT_EQ(m_window.comboLines, lines);
  EXPECT_EQ(m_window.comboSel, 0);

  // Each device in turn as the only one left: its class becomes the target's.
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    for (size_t j = 0; j < paths.size(); ++j) {
      if (j != i && m_backend.Device(paths[j])) m_backend.RemoveDevice(paths[j]);
    }
    if (!m_backend.Device(paths[i])) paths[i] = AddDevice(Device(cases[i].vid, cases[i].pid));
    m_window.RunPosted();
    EXPECT_EQ(Dlg().Compat().notOwnDevice, cases[i].notOwn);
    EXPECT_EQ(Dlg().Compat().deviceForeignFirmware, cases[i].foreign);
    EXPECT_EQ(Dlg().Compat().devicePid, cases[i].pid);
    m_backend.RemoveDevice(paths[i]);
  }
}

TEST_F(DialogTest, RemembersTheTargetAcrossRescansAndLosesItWhenItGoes) {
  const std::string a = AddDevice(Device(0x0495, 0x8041));
  Init();
  const std::string b = AddDevice(Device(0x0495, 0x8050));
  m_window.RunPosted();
  EXPECT_EQ(m_window.comboLines.size(), 2u);
  EXPECT_EQ(m_window.comboSel, 0);
  EXPECT_EQ(Dlg().m_selectedPath, a);

  // The target goes: the first device left becomes the target, and stays the
  // target when the old one comes back.
  m_backend.RemoveDevice(a);
  m_window.RunPosted();
  EXPECT_EQ(Dlg().m_selectedPath, b);
  EXPECT_EQ(Dlg().Compat().devicePid, 0x8050u);
  const std::string a2 = AddDevice(Device(0x0495, 0x8041));
  m_window.RunPosted();
  EXPECT_EQ(m_window.comboLines.size(), 2u);
  EXPECT_EQ(Dlg().m_selectedPath, b);
  EXPECT_EQ(m_window.comboSel, 0);

  // No device: empty list, Burn off, status "Idle" disabled, the remembered
  // target kept; other device events change nothing.
  m_backend.RemoveDevice(b);
  m_backend.RemoveDevice(a2);
  m_window.RunPosted();
  EXPECT_TRUE(m_window.comboLines.empty());
  EXPECT_FALSE(Dlg().Flags().m_deviceOpen.load());
  EXPECT_EQ(Dlg().m_selectedPath, b);
  EXPECT_FALSE(Enabled(IDC_BURN));
  EXPECT_FALSE(Enabled(IDC_STATUS));
  EXPECT_FALSE(Enabled(IDC_PROGRESS));
  EXPECT_EQ(Text(IDC_STATUS), u"Idle");
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"");
  EXPECT_EQ(Dlg().OnDevicesChanged(3), 1);
}

TEST_F(DialogTest, PathTimeAndRefusalTurnRedAndBackAsTheFileAndChoicesChange) {
  AddDevice();
  Remember(m_dir.path() / "missing.rom");
  Init();
  Dlg().OnActivateDialog(1);
  EXPECT_TRUE(Red(IDC_FILE_PATH));
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"--");
  EXPECT_EQ(Text(IDC_FILE_CUR), u"--");
  EXPECT_EQ(Text(IDC_FILE_TIME), u"--");
  EXPECT_FALSE(Enabled(IDC_BURN));

  const auto file = WriteImage("fw.rom", Image(1000, 1, 2, 3));
  Select(file);
  EXPECT_FALSE(Red(IDC_FILE_PATH));
  EXPECT_TRUE(Enabled(IDC_BURN));
  EXPECT_EQ(LoadLastFile(MemoryFilePath(m_dir.path())), file);

  // Unchanged: stays black. Rewritten on disk: red on the next activation,
  // and on later ones; Burn clears it.
  Dlg().OnActivateDialog(0);
  EXPECT_FALSE(Red(IDC_FILE_TIME));
  const auto before = std::filesystem::last_write_time(file);
  WriteImage("fw.rom", Image(1000, 1, 3, 3));
  std::filesystem::last_write_time(file, before + std::chrono::hours(1));
  Dlg().OnActivateDialog(1);
  EXPECT_TRUE(Red(IDC_FILE_TIME));
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"1.3");
  Dlg().OnActivateDialog(0);
  EXPECT_TRUE(Red(IDC_FILE_TIME));
  Dlg().OnCommand(IDC_BURN);
  EXPECT_FALSE(Red(IDC_FILE_TIME));
  ASSERT_TRUE(FinishBurn());

  // Choosing the same file after it changed never shows red.
  std::filesystem::last_write_time(file, before + std::chrono::hours(2));
  Select(file);
  EXPECT_FALSE(Red(IDC_FILE_TIME));
}

TEST_F(DialogTest, RefusesAnImageForAnotherProductOnARedMessageLine) {
  AddDevice(Device(0x0495, 0x8050));
  Init();
  const auto wrong =
      WriteImage("wrong.rom", Image(kIdBlockMinSize, 1, 0, 0, ImageIds{0x0495, 0x8043}));
  Select(wrong);
  EXPECT_EQ(Text(IDC_MESSAGE), u"The selected file don't support this device");
  EXPECT_TRUE(Red(IDC_MESSAGE));
  EXPECT_FALSE(Enabled(IDC_BURN));

  const auto right =
      WriteImage("right.rom", Image(kIdBlockMinSize, 1, 0, 0, ImageIds{0x0495, 0x8041}));
  Select(right);
  EXPECT_EQ(Text(IDC_MESSAGE), std::u16string(38, u' '));
  EXPECT_TRUE(Enabled(IDC_BURN));
  EXPECT_TRUE(Red(IDC_MESSAGE));  // never cleared: the blank shows no colour
}

TEST_F(DialogTest, OversizedFileIsRefusedOnSelectButNotAgainOnEveryActivation) {
  AddDevice();
  Init();
  const auto good = WriteImage("good.rom", Image(2000, 2, 0, 9));
  Select(good);
  ASSERT_TRUE(Enabled(IDC_BURN));

  const auto big = WriteImage("big.rom", std::vector<uint8_t>(32769, 0x11));
  // The box deactivates and reactivates the dialog, as on a real desktop.
  m_window.onMessageBox = [this] {
    Dlg().OnActivateDialog(0);
    Dlg().OnActivateDialog(1);
  };
  Select(big);
  ASSERT_EQ(m_window.boxes.size(), 1u);
  EXPECT_EQ(m_window.boxes[0].text, u"The file is not for this device!");
  EXPECT_EQ(m_window.boxes[0].caption, u"Error");
  Dlg().OnActivateDialog(1);
  EXPECT_EQ(m_window.boxes.size(), 1u);
  // The image read before stays held and burnable; the texts are the old ones.
  EXPECT_EQ(Dlg().m_image->ImageSize(), 2000);
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"2.0");
  EXPECT_TRUE(Enabled(IDC_BURN));

  Select(big);
  EXPECT_EQ(m_window.boxes.size(), 2u);
  EXPECT_EQ(LoadLastFile(MemoryFilePath(m_dir.path())), big);
}

TEST_F(DialogTest, WholeBurnReachesSuccessedWithTheDeviceFieldsRefreshed) {
  const std::string device = AddDevice();
  m_backend.Device(device)->SetEeprom(4, {1, 1});
  const auto image = Image(5000, 3, 8, 0x1234);
  Init();
  Select(WriteImage("fw.rom", image));
  Dlg().OnActivateDialog(1);
  ASSERT_TRUE(Enabled(IDC_BURN));
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"1.1");

  Dlg().OnCommand(IDC_BURN);
  EXPECT_FALSE(Enabled(IDC_BURN));
  ASSERT_TRUE(FinishBurn());

  const std::vector<std::u16string> expected = {u"Downloading...", u"Verifying...", u"Successed"};
  std::vector<std::u16string> seen = m_window.statusTexts;
  seen.erase(seen.begin(), seen.end() - 3);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(m_window.range, std::make_pair(0, 1));
  EXPECT_EQ(m_window.position, 1);
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"3.8");
  EXPECT_EQ(Text(IDC_DEVICE_CUR), u"4660");
  EXPECT_TRUE(Enabled(IDC_BURN));
  const std::vector<uint8_t> eeprom = m_backend.Device(device)->Eeprom();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), eeprom.begin()));
}

TEST_F(DialogTest, FailedVerifyShowsItsStatusAndLetsTheUserTryAgain) {
  SimDeviceConfig config;
  config.m_corruptAddresses = {100};
  AddDevice(config);
  Init();
  Select(WriteImage("fw.rom", Image(3000, 1, 0, 0)));
  Dlg().OnCommand(IDC_BURN);
  ASSERT_TRUE(FinishBurn());
  EXPECT_EQ(m_window.statusTexts.back(), u"Verifying failed");
  EXPECT_EQ(m_window.position, 0);
  EXPECT_EQ(m_window.range, std::make_pair(0, 1));
  EXPECT_TRUE(m_window.boxes.empty());
  EXPECT_TRUE(Enabled(IDC_BURN));
}

TEST_F(DialogTest, ABurnOfADeviceAnotherProgramHoldsFailsAtOnceAndWritesNothing) {
  const std::string path = AddDevice();
  Init();
  Select(WriteImage("fw.rom", Image(3000, 1, 0, 0)));
  ASSERT_TRUE(Enabled(IDC_BURN));
  bool busy = false;
  DeviceClaimPtr elsewhere = m_backend.Claim(path, &busy);  // another program's burn
  ASSERT_TRUE(elsewhere);
  m_backend.Device(path)->ClearFrames();
  Dlg().OnCommand(IDC_BURN);
  ASSERT_TRUE(FinishBurn());
  EXPECT_EQ(m_window.statusTexts.back(), u"Downloading failed");
  EXPECT_TRUE(m_backend.Device(path)->Requests().empty()) << "not one frame went out";
  EXPECT_TRUE(Enabled(IDC_BURN)) << "the user may try again";

  elsewhere.reset();
  Dlg().OnCommand(IDC_BURN);
  ASSERT_TRUE(FinishBurn());
  EXPECT_EQ(m_window.statusTexts.back(), u"Successed");
  EXPECT_FALSE(m_backend.Device(path)->Claimed()) << "released when the burn ended";
}

TEST_F(DialogTest, DuringABurnNoSecondBurnStartsAndAReloadLeavesTheBurnedImageAlone) {
  const std::string device = AddDevice();
  Init();
  const auto file = WriteImage("fw.rom", Image(6000, 1, 0, 0));
  const auto original = Image(6000, 1, 0, 0);
  Select(file);

  WorkerGate gate(m_window, 3);
  Dlg().OnCommand(IDC_BURN);
  gate.WaitReached();
  m_window.RunPosted();
  EXPECT_FALSE(Enabled(IDC_BURN));

  // The file is rewritten and reloaded mid-burn: the fields follow it, Burn
  // stays off, a second press starts nothing.
  WriteImage("fw.rom", Image(7000, 4, 4, 4));
  Dlg().OnActivateDialog(1);
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"4.4");
  EXPECT_FALSE(Enabled(IDC_BURN));
  Dlg().OnCommand(IDC_BURN);
  EXPECT_TRUE(Dlg().Flags().m_workerRunning.load());
  // A device arriving mid-burn is listed once the burn has ended.
  AddDevice(Device(0x0495, 0x8050));
  m_window.RunPosted();
  EXPECT_EQ(m_window.comboLines.size(), 1u);

  gate.Release();
  ASSERT_TRUE(FinishBurn());
  EXPECT_EQ(m_window.statusTexts.back(), u"Successed");
  EXPECT_EQ(m_window.comboLines.size(), 2u);
  EXPECT_EQ(Dlg().m_selectedPath, device);
  const std::vector<uint8_t> eeprom = m_backend.Device(device)->Eeprom();
  EXPECT_TRUE(std::equal(original.begin(), original.end(), eeprom.begin()));
  EXPECT_TRUE(Enabled(IDC_BURN));
}

TEST_F(DialogTest, ClosingDuringABurnEndsOnlyAfterTheStopNoticeWasDismissed) {
  AddDevice();
  Init();
  Select(WriteImage("fw.rom", Image(8000, 1, 0, 0)));

  WorkerGate gate(m_window, 3);
  Dlg().OnCommand(IDC_BURN);
  gate.WaitReached();
  Dlg().OnCommand(IDCANCEL);  // returns at once: the thread is not blocked
  EXPECT_TRUE(Dlg().Closing());
  EXPECT_FALSE(m_window.endResult.has_value());
  Dlg().OnCommand(IDCANCEL);  // a second Esc changes nothing

  // While the notice is up, the worker ends and its last posts arrive; the
  // dialog still waits for the user.
  bool endedDuringBox = false;
  m_window.onMessageBox = [&] {
    m_window.PumpUntil([&] { return !Dlg().BurnBusy(); });
    m_window.RunPosted();
    endedDuringBox = m_window.endResult.has_value();
  };
  gate.Release();
  ASSERT_TRUE(m_window.PumpUntil([&] { return m_window.endResult.has_value(); }));
  EXPECT_FALSE(endedDuringBox);
  ASSERT_EQ(m_window.boxes.size(), 1u);
  EXPECT_EQ(m_window.boxes[0].text, u"Downloading failed.");
  EXPECT_EQ(m_window.boxes[0].caption, u"Error");
  EXPECT_EQ(m_window.events, (std::vector<std::string>{"box", "box dismissed", "end"}));
  EXPECT_EQ(*m_window.endResult, IDCANCEL);
  EXPECT_EQ(m_window.statusTexts.back(), u"Idle");
  EXPECT_EQ(Dlg().m_image, nullptr);
  EXPECT_TRUE(Dlg().Hid().Entries().empty());

  // Late events after the end touch nothing.
  const long calls = m_window.calls;
  Dlg().OnActivateDialog(1);
  Dlg().OnDevicesChanged(7);
  Dlg().OnCommand(IDC_BURN);
  Dlg().OnBurnStatus(BurnStatus::BURN_DOWNLOADING, 10);
  EXPECT_EQ(m_window.calls, calls);
}

TEST_F(DialogTest, ClosingWithoutABurnEndsAtOnceAndIdokDoesNothing) {
  AddDevice();
  Init();
  Dlg().OnCommand(IDOK);
  EXPECT_FALSE(m_window.endResult.has_value());
  for (int command = 0x10; command <= 0x1F; ++command) Dlg().OnSystemCommand(command);
  Dlg().OnSystemCommand(0xF060);
  EXPECT_EQ(m_window.aboutRuns, 16);
  Dlg().OnCloseDialog();
  EXPECT_EQ(m_window.endResult, IDCANCEL);
  EXPECT_TRUE(m_window.boxes.empty());
}

TEST_F(DialogTest, RemovingTheTargetDuringABurnStopsItWithoutWritingAnotherDevice) {
  const std::string target = AddDevice(Device(0x0495, 0x8041));
  const std::string other = AddDevice(Device(0x0495, 0x8041));
  Init();
  Select(WriteImage("fw.rom", Image(8000, 1, 0, 0)));
  ASSERT_EQ(Dlg().m_selectedPath, target);
  m_backend.Device(other)->ClearFrames();

  WorkerGate gate(m_window, 3);
  Dlg().OnCommand(IDC_BURN);
  gate.WaitReached();
  m_backend.Device(target)->Vanish();
  m_backend.RemoveDevice(target);
  m_window.RunPosted();
  gate.Release();
  ASSERT_TRUE(FinishBurn());

  EXPECT_TRUE(m_window.boxes.empty());
  EXPECT_EQ(m_window.statusTexts.back(), u"Idle");
  // The rescan after the burn makes the other device the target; nothing of
  // the image ever went to it.
  EXPECT_EQ(Dlg().m_selectedPath, other);
  EXPECT_EQ(m_window.comboLines.size(), 1u);
  for (const SimFrame& frame : m_backend.Device(other)->Requests()) {
    EXPECT_NE(frame.m_bytes[1], CMD_WRITE_EEPROM) << "a write reached the other device";
    EXPECT_NE(frame.m_bytes[1], CMD_PREPARE_WRITE) << "a write reached the other device";
  }
  EXPECT_TRUE(Enabled(IDC_BURN));
}

TEST_F(DialogTest, RemovingTheOnlyDeviceDuringABurnLeavesBurnDisabled) {
  const std::string target = AddDevice();
  Init();
  Select(WriteImage("fw.rom", Image(8000, 1, 0, 0)));
  WorkerGate gate(m_window, 3);
  Dlg().OnCommand(IDC_BURN);
  gate.WaitReached();
  m_backend.Device(target)->Vanish();
  m_backend.RemoveDevice(target);
  m_window.RunPosted();
  EXPECT_FALSE(Dlg().Flags().m_deviceOpen.load());
  gate.Release();
  ASSERT_TRUE(FinishBurn());
  EXPECT_TRUE(m_window.boxes.empty());
  EXPECT_TRUE(m_window.comboLines.empty());
  EXPECT_FALSE(Enabled(IDC_BURN));
  EXPECT_FALSE(Enabled(IDC_STATUS));
  EXPECT_EQ(Text(IDC_STATUS), u"Idle");
}

}  // namespace
}  // namespace tessarin
