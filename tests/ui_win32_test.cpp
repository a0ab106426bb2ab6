// The main dialog on the native Win32 host, in process: the dialog is created
// modeless on simulated devices, receives the messages a user's actions
// produce, and is read back through its controls. Under Wine these need an
// X server (.ci/windows runs them under Xvfb).
#include "ui/win32/win32_dialog_host.h"
// The header above brings <windows.h>, which <commctrl.h> needs first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/app_options.h"
#include "image/last_file_memory.h"
#include "image/rom_image.h"
#include "sim/sim_backend.h"
#include "sim/sim_clock.h"
#include "support/image_test_dir.h"
#include "ui/tessarin_dlg.h"

namespace tessarin::testing {
namespace {

std::u16string FromWide(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }

std::u16string WindowText(HWND window) {
  wchar_t buffer[512] = {};
  ::GetWindowTextW(window, buffer, 512);
  return FromWide(buffer);
}

std::vector<uint8_t> Image(int32_t size, uint8_t major, uint8_t minor, uint16_t cur = 0,
                           std::optional<ImageIds> ids = std::nullopt) {
  return MakeImage(size, major, minor, cur, ids).value_or(std::vector<uint8_t>{});
}

/// Dismisses every dialog box of this thread other than `main` (message boxes,
/// the About box) with IDOK, keeping its caption and texts. A thread timer,
/// so it runs inside the boxes' own modal loops.
class BoxCloser {
 public:
  struct Seen {
    std::u16string caption;
    std::u16string text;  ///< the static texts, joined by '\n'
  };

  explicit BoxCloser(HWND main) : m_main(main) {
    s_current = this;
    m_timer = ::SetTimer(nullptr, 0, 20, &BoxCloser::Tick);
  }
  ~BoxCloser() {
    ::KillTimer(nullptr, m_timer);
    s_current = nullptr;
  }
  const std::vector<Seen>& seen() const { return m_seen; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (s_current != nullptr) ::EnumThreadWindows(::GetCurrentThreadId(), &Each, 0);
  }
  static BOOL CALLBACK Each(HWND window, LPARAM) {
    BoxCloser& self = *s_current;
    wchar_t kind[32] = {};
    ::GetClassNameW(window, kind, 32);
    if (window == self.m_main || !::IsWindowVisible(window) || std::wstring(kind) != L"#32770" ||
        self.m_handled.count(window) != 0) {
      return TRUE;
    }
    self.m_handled.insert(window);
    Seen seen{WindowText(window), {}};
    ::EnumChildWindows(window, &CollectText, reinterpret_cast<LPARAM>(&seen.text));
    self.m_seen.push_back(seen);
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
  }
  static BOOL CALLBACK CollectText(HWND child, LPARAM out) {
    wchar_t kind[32] = {};
    ::GetClassNameW(child, kind, 32);
    const std::u16string text = WindowText(child);
    const bool icon = (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    if (std::wstring(kind) == L"Static" && !icon && !text.empty()) {
      auto& all = *reinterpret_cast<std::u16string*>(out);
      if (!all.empty()) all += u'\n';
      all += text;
    }
    return TRUE;
  }

  static inline BoxCloser* s_current = nullptr;
  HWND m_main;
  UINT_PTR m_timer = 0;
  std::set<HWND> m_handled;
  std::vector<Seen> m_seen;
};

class Win32DialogTest : public ::testing::Test {
 public:
  explicit Win32DialogTest(std::shared_ptr<SimClock> clock = nullptr,
                           DeviceChangeSource deviceChanges = DeviceChangeSource::kSystem)
      : m_backend(std::move(clock)), m_deviceChanges(deviceChanges) {
    InitDialogControls();
  }

  void TearDown() override {
    if (m_dialog) m_dialog->DetachFramework();
    m_host.reset();
    m_dialog.reset();
  }

  /// Creates and shows the dialog, then delivers its first activation.
  void Open() {
    m_dialog =
        std::make_unique<CTessarinDlg>(m_backend, m_dir.path(), [](std::chrono::milliseconds) {});
    m_host = std::make_unique<Win32DialogHost>(MainDialogTemplate(), *m_dialog, nullptr,
                                               m_deviceChanges);
    m_dialog->AttachFramework(m_host.get());
    m_host->SetFileChooser([this]() -> std::optional<std::u16string> { return m_chosen; });
    ASSERT_TRUE(m_host->Create())
        << "the dialog could not be created; under Wine it needs an X server (xvfb-run)";
    Pump();
    Send(WM_ACTIVATE, WA_ACTIVE, 0);
  }

  HWND Window() const { return m_host->Window(); }
  HWND Item(int id) const { return ::GetDlgItem(Window(), id); }
  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(Window(), message, wParam, lParam);
  }
  void Click(int id) {
    Send(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Item(id)));
  }
  void Select(const std::filesystem::path& file) {
    m_chosen = file.u16string();
    Click(IDC_SELECT);
  }
  std::u16string Text(int id) const { return WindowText(Item(id)); }
  bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
  int ComboCount() const {
    return static_cast<int>(::SendMessageW(Item(IDC_TARGET), CB_GETCOUNT, 0, 0));
  }
  int BarPos() const {
    return static_cast<int>(::SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
  }
  PBRANGE BarRange() const {
    PBRANGE range{};
    ::SendMessageW(Item(IDC_PROGRESS), PBM_GETRANGE, 0, reinterpret_cast<LPARAM>(&range));
    return range;
  }
  /// The text colour and brush the dialog answers for control `id`.
  std::pair<COLORREF, HBRUSH> Colour(int id) {
    const HDC dc = ::GetDC(Window());
    ::SetTextColor(dc, RGB(1, 2, 3));
    const auto brush = reinterpret_cast<HBRUSH>(
        Send(WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(Item(id))));
    const COLORREF colour = ::GetTextColor(dc);
    ::ReleaseDC(Window(), dc);
    return {colour, brush};
  }

  static void Pump() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  /// Pumps until `done`; false when it never held within a generous bound (a
  /// hang guard, not a speed check).
  static bool PumpUntil(const std::function<bool()>& done, int rounds = 60000) {
    for (int i = 0; i < rounds; ++i) {
      if (done()) return true;
      Pump();
      ::Sleep(1);
    }
    return done();
  }

  /// The control with the keyboard focus, if it is one of the dialog's.
  int FocusId() const {
    const HWND focus = ::GetFocus();
    return focus != nullptr && ::IsChild(Window(), focus) ? ::GetDlgCtrlID(focus) : 0;
  }
  /// A key as the message loop hands it to the dialog manager: to the
  /// window with the focus. False when the dialog manager left it alone.
  bool Key(WPARAM key) {
    const HWND focus = ::GetFocus();
    MSG down{focus != nullptr ? focus : Window(), WM_KEYDOWN, key, 0, 0, {}};
    return ::IsDialogMessageW(Window(), &down) != FALSE;
  }

  ScratchDir m_dir;
  SimBackend m_backend;
  DeviceChangeSource m_deviceChanges;
  std::unique_ptr<CTessarinDlg> m_dialog;
  std::unique_ptr<Win32DialogHost> m_host;
  std::optional<std::u16string> m_chosen;
};

// ---------------------------------------------------------------------------
// The window as the templates and the resources make it.

TEST_F(Win32DialogTest, WindowFollowsTheTemplateInStylesOrderAndControlClasses) {
  Open();
  const LONG style = ::GetWindowLongW(Window(), GWL_STYLE);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  EXPECT_EQ(WindowText(Window()), u"Kestrova Co.,Ltd. USB Audio Device Firmware Burner");

  // The children in creation order are the template's controls in its order.
  const DialogTemplate& dialog = MainDialogTemplate();
  HWND child = ::GetWindow(Window(), GW_CHILD);
  for (const ControlTemplate& control : dialog.controls) {
    ASSERT_NE(child, nullptr);
    wchar_t kind[64] = {};
    ::GetClassNameW(child, kind, 64);
    const std::wstring expected = [&] {
      switch (control.kind) {
        case ControlKind::kEdit:
          return std::wstring(L"Edit");
        case ControlKind::kStaticText:
        case ControlKind::kIcon:
          return std::wstring(L"Static");
        case ControlKind::kComboDropDownList:
          return std::wstring(L"ComboBox");
        case ControlKind::kProgressBar:
          return std::wstring(L"msctls_progress32");
        default:
          return std::wstring(L"Button");
      }
    }();
    EXPECT_EQ(_wcsicmp(kind, expected.c_str()), 0) << "control " << control.id;
    if (control.id != IDC_STATIC) {
      EXPECT_EQ(::GetDlgCtrlID(child), control.id);
      if (!control.caption.empty()) EXPECT_EQ(Text(control.id), control.caption);
    }
    EXPECT_EQ(::IsWindowVisible(child) != FALSE, (control.styles & STYLE_HIDDEN) == 0)
        << "control " << control.id;
    child = ::GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr);
  EXPECT_TRUE(::GetWindowLongW(Item(IDC_FILE_PATH), GWL_STYLE) & ES_READONLY);
  EXPECT_EQ(::SendMessageW(Window(), DM_GETDEFID, 0, 0), MAKELRESULT(IDC_SELECT, DC_HASDEFID));
}

TEST_F(Win32DialogTest, ResourcesHoldTheManifestTheIconSizesAndTheAboutText) {
  const HMODULE self = ::GetModuleHandleW(nullptr);
  const HRSRC manifest = ::FindResourceW(self, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(manifest, nullptr);
  const std::string text(static_cast<const char*>(::LockResource(::LoadResource(self, manifest))),
                         ::SizeofResource(self, manifest));
  EXPECT_NE(text.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(text.find("PerMonitorV2"), std::string::npos);

  // The manifest is in effect: the process's activation context sends
  // comctl32.dll to the side-by-side common controls 6.
  ACTCTX_SECTION_KEYED_DATA redirect{};
  redirect.cbSize = sizeof redirect;
  EXPECT_TRUE(::FindActCtxSectionStringW(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                         L"comctl32.dll", &redirect));

  // Icon 128: every size from 16 to 256 px (0 stands for 256 in the directory).
  const HRSRC group = ::FindResourceW(self, MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const auto* dir = static_cast<const BYTE*>(::LockResource(::LoadResource(self, group)));
  const WORD count = *reinterpret_cast<const WORD*>(dir + 4);
  std::set<int> sizes;
  for (WORD i = 0; i < count; ++i) sizes.insert(dir[6 + 14 * i] == 0 ? 256 : dir[6 + 14 * i]);
  EXPECT_EQ(sizes, (std::set<int>{16, 24, 32, 48, 64, 256}));

  const wchar_t* about = nullptr;
  const int length = ::LoadStringW(self, IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&about), 0);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(about), length), kAboutMenuText);
}

// ---------------------------------------------------------------------------
// Start-up and the first activation.

TEST_F(Win32DialogTest, StartUpListsTheDeviceAndTheFirstActivationLoadsTheRememberedImage) {
  m_backend.AddDevice(SimDeviceConfig{});
  const auto file = m_dir.Write("fw.rom", Image(3000, 2, 5, 77));
  ASSERT_TRUE(WriteMemoryFile(MemoryFilePath(m_dir.path()), file.u16string()));
  m_dialog =
      std::make_unique<CTessarinDlg>(m_backend, m_dir.path(), [](std::chrono::milliseconds) {});
  m_host = std::make_unique<Win32DialogHost>(MainDialogTemplate(), *m_dialog);
  m_dialog->AttachFramework(m_host.get());
  ASSERT_TRUE(m_host->Create());

  EXPECT_EQ(Text(IDC_FILE_PATH), file.u16string());
  EXPECT_EQ(ComboCount(), 1);
  EXPECT_EQ(::SendMessageW(Item(IDC_TARGET), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"255.255");  // a blank EEPROM

  // The system menu: a separator, then the About item (command 0x10).
  const HMENU menu = ::GetSystemMenu(Window(), FALSE);
  const int items = ::GetMenuItemCount(menu);
  ASSERT_GE(items, 2);
  EXPECT_EQ(::GetMenuItemID(menu, items - 1), static_cast<UINT>(SC_ABOUT));
  EXPECT_EQ(::GetMenuState(menu, items - 2, MF_BYPOSITION) & MF_SEPARATOR,
            static_cast<UINT>(MF_SEPARATOR));
  wchar_t label[64] = {};
  ::GetMenuStringW(menu, items - 1, label, 64, MF_BYPOSITION);
  EXPECT_EQ(FromWide(label), kAboutMenuText);
  EXPECT_EQ(reinterpret_cast<HICON>(Send(WM_GETICON, ICON_BIG, 0)), m_host->Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(Send(WM_GETICON, ICON_SMALL, 0)), m_host->Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(Send(WM_QUERYDRAGICON, 0, 0)), m_host->Icon());

  // The activation that showing the window brought loaded the image.
  Pump();
  Send(WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(Text(IDC_FILE_VERSION), u"2.5");
  EXPECT_EQ(Text(IDC_FILE_CUR), u"77");
  EXPECT_NE(Text(IDC_FILE_TIME), u"");
  EXPECT_TRUE(Enabled(IDC_BURN));
}

// ---------------------------------------------------------------------------
// Burns.

TEST_F(Win32DialogTest, WholeBurnReachesSuccessedAndRefreshesTheDeviceFields) {
  m_backend.AddDevice(SimDeviceConfig{});
  Open();
  Select(m_dir.Write("fw.rom", Image(5000, 3, 8, 0x1234)));
  ASSERT_TRUE(Enabled(IDC_BURN));
  Click(IDC_BURN);
  EXPECT_FALSE(Enabled(IDC_BURN));
  ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) == u"Successed" && Enabled(IDC_BURN); }));
  EXPECT_EQ(BarRange().iLow, 0);
  EXPECT_EQ(BarRange().iHigh, 1);
  EXPECT_EQ(BarPos(), 1);
  EXPECT_EQ(Text(IDC_DEVICE_VERSION), u"3.8");
  EXPECT_EQ(Text(IDC_DEVICE_CUR), u"4660");
}

TEST_F(Win32DialogTest, FailedBurnsShowTheirStageWithAnEmptyBar) {
  struct Case {
    const char* name;
    SimDeviceConfig device;
    std::u16string status;
  };
  SimDeviceConfig sendFails;
  sendFails.m_failSends = {20, 21, 22};  // a block write, and both of its retries
  SimDeviceConfig corrupt;
  corrupt.m_corruptAddresses = {100};
  const Case cases[] = {
      {"a write fails", sendFails, u"Downloading failed"},
      {"a byte reads back wrong", corrupt, u"Verifying failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    for (const auto& [path, device] : m_backend.Devices()) m_backend.RemoveDevice(path);
    m_backend.AddDevice(c.device);
    Open();
    Select(m_dir.Write("fw.rom", Image(2000, 1, 2)));
    ASSERT_TRUE(Enabled(IDC_BURN));
    Click(IDC_BURN);
    ASSERT_TRUE(PumpUntil([&] { return !m_dialog->BurnBusy(); }));
    EXPECT_EQ(Text(IDC_STATUS), c.status);
    EXPECT_EQ(BarRange().iHigh, 1);
    EXPECT_EQ(BarPos(), 0);
    EXPECT_TRUE(Enabled(IDC_BURN));
  }
}

// Transfers take real time here, so the close lands in the middle of the
// download.
class Win32CloseDuringBurnTest : public Win32DialogTest {
 protected:
  Win32CloseDuringBurnTest() : Win32DialogTest(RealClock()) {}
};

TEST_F(Win32CloseDuringBurnTest, CloseShowsTheNoticeThenEndsWithoutBlocking) {
  SimDeviceConfig device;
  device.m_latency = std::chrono::milliseconds(1);
  m_backend.AddDevice(device);
  Open();
  Select(m_dir.Write("fw.rom", Image(32000, 1, 0)));
  ASSERT_TRUE(Enabled(IDC_BURN));
  Click(IDC_BURN);
  ASSERT_TRUE(PumpUntil([&] { return m_dialog->Flags().m_workerRunning.load(); }));

  BoxCloser closer(Window());
  // The close box, Alt+F4 and the system menu's Close all come as SC_CLOSE.
  Send(WM_SYSCOMMAND, SC_CLOSE, 0);
  // The system posts the IDCANCEL of a close; the burn stops first, and the
  // dialog ends only once its notice was dismissed, the window answering
  // all along.
  ASSERT_TRUE(PumpUntil([&] { return m_host->Ended(); }));
  ASSERT_EQ(closer.seen().size(), 1u);
  EXPECT_EQ(closer.seen()[0].caption, u"Error");
  EXPECT_EQ(closer.seen()[0].text, u"Downloading failed.");
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  EXPECT_FALSE(::IsWindowVisible(Window()));
  EXPECT_FALSE(m_dialog->Flags().m_workerRunning.load());
}

// At log-off or shutdown the process ends once WM_ENDSESSION returns: the
// burn has stopped by then, uncommitted, and no box waits for an answer.
TEST_F(Win32CloseDuringBurnTest, SessionEndingStopsTheBurnBeforeItReturnsAndShowsNoBox) {
  SimDeviceConfig device;
  device.m_latency = std::chrono::milliseconds(1);
  const std::string path = m_backend.AddDevice(device);
  Open();
  Select(m_dir.Write("fw.rom", Image(32000, 1, 0)));
  Click(IDC_BURN);
  ASSERT_TRUE(PumpUntil([&] { return m_dialog->Flags().m_workerRunning.load(); }));

  BoxCloser closer(Window());
  // A session that goes on after all (wParam FALSE) changes nothing.
  Send(WM_ENDSESSION, FALSE, 0);
  EXPECT_FALSE(m_host->Ended());
  EXPECT_TRUE(m_dialog->BurnBusy());
  Send(WM_ENDSESSION, TRUE, 0);
  // No pumping: this is all the time the system leaves.
  EXPECT_TRUE(m_host->Ended());
  EXPECT_FALSE(m_dialog->Flags().m_workerRunning.load());
  EXPECT_EQ(m_backend.Device(path)->Eeprom()[0], 0xFF);  // never committed
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  Pump();
  EXPECT_TRUE(closer.seen().empty());
}

// The keyboard keeps working through a burn started from the keyboard:
// Burn, disabled while it runs, hands the focus on first, and takes it back
// when it is enabled again with no control holding it.
TEST_F(Win32CloseDuringBurnTest, BurnStartedWithTheFocusLeavesTheKeyboardWorking) {
  struct Case {
    const char* name;
    bool closeDuringTheBurn;
    bool focusLostDuringTheBurn;
  };
  const Case cases[] = {{"burn to the end, then Tab and Esc", false, false},
                        {"the focus lost during the burn comes back to Burn", false, true},
                        {"Esc during the burn", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    for (const auto& [path, device] : m_backend.Devices()) m_backend.RemoveDevice(path);
    SimDeviceConfig device;
    device.m_latency = std::chrono::microseconds(c.closeDuringTheBurn ? 1000 : 50);
    m_backend.AddDevice(device);
    Open();
    ::SetForegroundWindow(Window());
    ::SetActiveWindow(Window());
    Select(m_dir.Write("fw.rom", Image(c.closeDuringTheBurn ? 32000 : 4000, 1, 0)));
    ASSERT_TRUE(Enabled(IDC_BURN));
    ::SetFocus(Item(IDC_BURN));
    ASSERT_EQ(FocusId(), IDC_BURN) << "the dialog could not take the focus";
    ASSERT_TRUE(Key(VK_SPACE));
    MSG up{Item(IDC_BURN), WM_KEYUP, VK_SPACE, 0, 0, {}};
    ::IsDialogMessageW(Window(), &up);  // the button is pressed on key up
    ASSERT_TRUE(PumpUntil([&] { return m_dialog->BurnBusy(); }));
    EXPECT_FALSE(Enabled(IDC_BURN));
    // Another control has the focus, an enabled one.
    ASSERT_NE(FocusId(), 0);
    EXPECT_NE(FocusId(), IDC_BURN);
    EXPECT_TRUE(::IsWindowEnabled(::GetFocus()));

    if (c.closeDuringTheBurn) {
      BoxCloser closer(Window());
      EXPECT_TRUE(Key(VK_ESCAPE));
      ASSERT_TRUE(PumpUntil([&] { return m_host->Ended(); }));
      ASSERT_EQ(closer.seen().size(), 1u);
      EXPECT_EQ(closer.seen()[0].text, u"Downloading failed.");
      continue;
    }
    if (c.focusLostDuringTheBurn) ::SetFocus(nullptr);
    const int during = c.focusLostDuringTheBurn ? IDC_BURN : FocusId();
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_STATUS) == u"Successed" && Enabled(IDC_BURN); }));
    // The control that took the focus keeps it, or Burn takes it back; Tab
    // moves it on.
    EXPECT_EQ(FocusId(), during);
    EXPECT_TRUE(Key(VK_TAB));
    EXPECT_NE(FocusId(), during);
    EXPECT_NE(FocusId(), 0);
    EXPECT_TRUE(Key(VK_ESCAPE));
    Pump();
    EXPECT_TRUE(m_host->Ended());
    EXPECT_EQ(m_host->Result(), IDCANCEL);
  }
}

// ---------------------------------------------------------------------------
// Events.

TEST_F(Win32DialogTest, EveryWayOfClosingEndsTheIdleDialogAndIdokDoesNot) {
  struct Case {
    const char* name;
    std::function<void(Win32DialogTest&)> act;
  };
  const Case cases[] = {
      {"IDCANCEL", [](Win32DialogTest& t) { t.Click(IDCANCEL); }},
      {"SC_CLOSE", [](Win32DialogTest& t) { t.Send(WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"WM_CLOSE", [](Win32DialogTest& t) { t.Send(WM_CLOSE, 0, 0); }},
      {"Esc",
       [](Win32DialogTest& t) {
         MSG key{t.Item(IDC_TARGET), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
         ::IsDialogMessageW(t.Window(), &key);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    Open();
    Click(IDOK);
    Pump();
    EXPECT_FALSE(m_host->Ended());
    c.act(*this);
    Pump();
    EXPECT_TRUE(m_host->Ended());
    EXPECT_EQ(m_host->Result(), IDCANCEL);
  }
}

TEST_F(Win32DialogTest, DeviceChangeSevenRescansAndEveryCodeIsAnsweredTrue) {
  Open();
  EXPECT_EQ(ComboCount(), 0);
  EXPECT_FALSE(Enabled(IDC_STATUS));
  // The host delivers the system's broadcast: the backend's own notice of a
  // new device is not what rescans.
  const std::string first = m_backend.AddDevice(SimDeviceConfig{});
  const std::string second = m_backend.AddDevice(SimDeviceConfig{});
  Pump();
  EXPECT_EQ(ComboCount(), 0);

  struct Step {
    WPARAM code;
    std::function<void()> before;
    int lines;
  };
  const Step steps[] = {
      {0x8000 /* DBT_DEVICEARRIVAL */, [] {}, 0},
      {DEVICE_NODES_CHANGED, [] {}, 2},
      {DEVICE_NODES_CHANGED, [&] { m_backend.RemoveDevice(first); }, 1},
      {DEVICE_NODES_CHANGED, [&] { m_backend.RemoveDevice(second); }, 0},
  };
  for (const Step& step : steps) {
    step.before();
    EXPECT_EQ(Send(WM_DEVICECHANGE, step.code, 0), TRUE);
    EXPECT_EQ(ComboCount(), step.lines) << "code " << step.code;
  }
  EXPECT_FALSE(Enabled(IDC_BURN));
  EXPECT_EQ(Text(IDC_STATUS), u"Idle");
}

// Simulated devices, of which the system knows nothing, come and go through
// the backend's own listener: arrivals, removals and a device vanishing in
// the middle of a burn all reach the list without any WM_DEVICECHANGE.
class Win32SimulatedDeviceChangesTest : public Win32DialogTest {
 protected:
  Win32SimulatedDeviceChangesTest() : Win32DialogTest(nullptr, DeviceChangeSource::kBackend) {}
};

TEST_F(Win32SimulatedDeviceChangesTest, ArrivalsRemovalsAndVanishingReachTheList) {
  Open();
  EXPECT_FALSE(m_host->ReportsDeviceChanges());
  EXPECT_EQ(ComboCount(), 0);
  const std::string first = m_backend.AddDevice(SimDeviceConfig{});
  ASSERT_TRUE(PumpUntil([&] { return ComboCount() == 1; }));
  SimDeviceConfig vanishing;
  vanishing.m_vanishAfterFrames = 40;
  const std::string second = m_backend.AddDevice(vanishing);
  ASSERT_TRUE(PumpUntil([&] { return ComboCount() == 2; }));
  // The system's broadcast is still answered.
  EXPECT_EQ(Send(WM_DEVICECHANGE, DEVICE_NODES_CHANGED, 0), TRUE);
  m_backend.RemoveDevice(first);
  ASSERT_TRUE(PumpUntil([&] { return ComboCount() == 1; }));

  // The one left vanishes during its burn: the burn fails and the device
  // leaves the list, so Burn cannot fail on it again.
  Select(m_dir.Write("fw.rom", Image(8000, 1, 0)));
  ASSERT_TRUE(Enabled(IDC_BURN));
  Click(IDC_BURN);
  ASSERT_TRUE(PumpUntil([&] { return !m_dialog->BurnBusy() && ComboCount() == 0; }));
  EXPECT_NE(Text(IDC_STATUS), u"Successed");
  EXPECT_FALSE(Enabled(IDC_BURN));
}

TEST_F(Win32DialogTest, OversizedFileIsRefusedWithOneBox) {
  m_backend.AddDevice(SimDeviceConfig{});
  Open();
  BoxCloser closer(Window());
  Select(m_dir.Write("big.rom", std::vector<uint8_t>(32769, 0x11)));
  // The box changes the activation, and every change reloads: still one box.
  Send(WM_ACTIVATE, WA_INACTIVE, 0);
  Send(WM_ACTIVATE, WA_ACTIVE, 0);
  Pump();
  ASSERT_EQ(closer.seen().size(), 1u);
  EXPECT_EQ(closer.seen()[0].caption, u"Error");
  EXPECT_FALSE(Enabled(IDC_BURN));
}

TEST_F(Win32DialogTest, HighlightedControlsAnswerRedOrBlackWithTheDefaultBrush) {
  m_backend.AddDevice(SimDeviceConfig{0x0495, 0x8050});
  Open();
  const auto [plainColour, defaultBrush] = Colour(IDC_FILE_VERSION);
  EXPECT_EQ(plainColour, ::GetSysColor(COLOR_WINDOWTEXT));  // not a highlighted control

  Select(m_dir.Write("wrong.rom", Image(kIdBlockMinSize, 1, 0, 0, ImageIds{0x0495, 0x8043})));
  EXPECT_EQ(Text(IDC_MESSAGE), u"The selected file don't support this device");
  struct Case {
    int id;
    COLORREF colour;
  };
  const Case refused[] = {
      {IDC_MESSAGE, RGB(255, 0, 0)}, {IDC_FILE_PATH, RGB(0, 0, 0)}, {IDC_FILE_TIME, RGB(0, 0, 0)}};
  for (const Case& c : refused) {
    const auto [colour, brush] = Colour(c.id);
    EXPECT_EQ(colour, c.colour) << c.id;
    EXPECT_EQ(brush, defaultBrush) << c.id;
  }

  // A path that names no file: the read-only edit shows it red.
  m_chosen = (m_dir.path() / "gone.rom").u16string();
  m_dialog->m_filePath = *m_chosen;
  Send(WM_ACTIVATE, WA_ACTIVE, 0);
  EXPECT_EQ(Colour(IDC_FILE_PATH).first, RGB(255, 0, 0));
  EXPECT_EQ(Colour(IDC_MESSAGE).first, RGB(255, 0, 0));  // stays red for the run
}

TEST_F(Win32DialogTest, SystemCommandsTenToNineteenHexOpenTheAboutBox) {
  Open();
  struct Case {
    WPARAM command;
    bool about;
  } cases[] = {{0x10, true}, {0x13, true}, {0x1F, true}, {0x20, false}};
  for (const Case& c : cases) {
    BoxCloser closer(Window());
    Send(WM_SYSCOMMAND, c.command, 0);
    Pump();
    ASSERT_EQ(closer.seen().size(), c.about ? 1u : 0u) << c.command;
    if (c.about) {
      EXPECT_EQ(closer.seen()[0].caption,
                u"About Kestrova Co.,Ltd.USB Audio Device Firmware Burner");
      EXPECT_EQ(closer.seen()[0].text, u"Kestrova Co.,Ltd.USB Audio Device Firmware\nBurner v3.8");
    }
  }
  EXPECT_FALSE(m_host->Ended());
}

TEST_F(Win32DialogTest, MinimisedWindowPaintsItsIcon) {
  Open();
  ::ShowWindow(Window(), SW_MINIMIZE);
  Pump();
  ::InvalidateRect(Window(), nullptr, TRUE);
  ::UpdateWindow(Window());
  Send(WM_PAINT, 0, 0);
  Pump();
  ::ShowWindow(Window(), SW_RESTORE);
  Pump();
  EXPECT_FALSE(m_host->Ended());
  EXPECT_EQ(Text(IDC_STATUS), u"Idle");
}

TEST(Win32IconOrigin, CentresWithRoundingTowardZero) {
  struct Case {
    RECT client;
    int icon;
    POINT origin;
  } cases[] = {
      {{0, 0, 160, 24}, 32, {64, -3}},  // (160-32+1)/2 = 64; (24-32+1)/2 = -3 (toward zero)
      {{0, 0, 33, 33}, 32, {1, 1}},
      {{0, 0, 0, 0}, 32, {-15, -15}},
      {{10, 10, 42, 42}, 32, {0, 0}},
  };
  for (const Case& c : cases) {
    const POINT origin = Win32DialogHost::IconOrigin(c.client, c.icon, c.icon);
    EXPECT_EQ(origin.x, c.origin.x);
    EXPECT_EQ(origin.y, c.origin.y);
  }
}

TEST(Win32AppOptions, UnknownArgumentsAreIgnoredAndSimulateStillWorks) {
  std::string error;
  const auto options = ParseAppOptions({"C:\\fw\\dropped.rom", "--simulate", "default", "-x"},
                                       &error, UnknownArguments::kIgnore);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->m_simulate, std::optional<std::string>("default"));
}

}  // namespace
}  // namespace tessarin::testing
