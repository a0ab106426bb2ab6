#include "ui/tessarin_dlg.h"

#include <utility>

#include "burn/burn_status.h"
#include "hid/device_info.h"
#include "image/file_time.h"
#include "image/image_file.h"
#include "image/last_file_memory.h"
#include "image/utf16.h"
#include "ui/about_dlg.h"
#include "ui/burn_decision.h"

namespace tessarin {
namespace {

std::u16string Widen(std::string_view text) { return Utf8ToUtf16(text); }

constexpr char16_t kNoFileField[] = u"--";

}  // namespace

// ---------------------------------------------------------------------------
// The worker's sink: every report becomes a closure on the user-interface
// thread, carrying copies, so the worker never waits for that thread and
// never touches a member the user-interface thread reads.

class CTessarinDlg::StatusSink : public BurnStatusSink {
 public:
  explicit StatusSink(CTessarinDlg& dialog) : m_dialog(dialog) {}

  void PostStatus(BurnStatus status, long count) override {
    if (m_dialog.PostBurnStatus(status, count)) return;
    m_dialog.Post([status, count](CTessarinDlg& d) { d.OnBurnStatus(status, count); });
  }
  void ShowStopNotice(const std::string& text, const std::string& caption) override {
    // Not waited for: the notice needs the user-interface thread, and the
    // close that caused it keeps the dialog open until it was dismissed.
    m_dialog.Post([t = Widen(text), c = Widen(caption)](CTessarinDlg& d) { d.OnStopNotice(t, c); });
  }
  void DeviceInfoRefreshed(const std::string& version, const std::string& cur) override {
    m_dialog.Post([version, cur](CTessarinDlg& d) { d.OnDeviceInfoRefreshed(version, cur); });
  }
  void WorkerFinished() override {
    m_dialog.Post([](CTessarinDlg& d) { d.OnWorkerFinished(); });
  }

 private:
  CTessarinDlg& m_dialog;
};

// ---------------------------------------------------------------------------
// Construction and the host.

CTessarinDlg::CTessarinDlg(HidBackend& backend, std::optional<std::filesystem::path> startupDir,
                           BurnSleep sleep)
    : m_hid(backend),
      m_startupDir(std::move(startupDir)),
      m_alive(std::make_shared<CTessarinDlg*>(this)),
      m_sink(std::make_unique<StatusSink>(*this)),
      m_worker(m_hid, m_flags, *m_sink, std::move(sleep)) {}

CTessarinDlg::~CTessarinDlg() {
  DetachFramework();
  m_alive.reset();
}

void CTessarinDlg::AttachFramework(DialogFramework* framework) {
  m_framework = framework;
  m_hostReportsDeviceChanges = framework != nullptr && framework->ReportsDeviceChanges();
  if (framework == nullptr || m_hostReportsDeviceChanges) return;
  std::weak_ptr<CTessarinDlg*> weak = m_alive;
  // The backend may call from any thread; the rescan itself runs on the
  // user-interface thread.
  m_hid.SetDeviceChangeListener([framework, weak](int eventCode) {
    framework->PostToUiThread([weak, eventCode] {
      if (auto dialog = weak.lock()) (*dialog)->OnDevicesChanged(eventCode);
    });
  });
}

void CTessarinDlg::DetachFramework() {
  StopWorkerAndWait();
  if (m_framework != nullptr && !m_hostReportsDeviceChanges) m_hid.SetDeviceChangeListener({});
  m_framework = nullptr;
}

void CTessarinDlg::StopWorkerAndWait() {
  if (m_flags.m_workerRunning.load()) m_flags.m_cancelRequested.store(true);
  // The worker never waits for this thread, so the join ends.
  m_worker.Wait();
}

void CTessarinDlg::Post(std::function<void(CTessarinDlg&)> action) {
  DialogFramework* framework = m_framework;
  if (framework == nullptr) return;
  std::weak_ptr<CTessarinDlg*> weak = m_alive;
  framework->PostToUiThread([weak, action = std::move(action)] {
    if (auto dialog = weak.lock()) action(**dialog);
  });
}

bool CTessarinDlg::PostBurnStatus(BurnStatus status, long count) {
  DialogFramework* framework = m_framework;
  return framework != nullptr && framework->PostBurnStatus(status, count);
}

bool CTessarinDlg::Live() const { return m_framework != nullptr && !m_ended; }

bool CTessarinDlg::BurnBusy() const { return m_flags.m_workerRunning.load() || !m_workerEnded; }

// ---------------------------------------------------------------------------
// Routing.

bool CTessarinDlg::OnDialogInit() {
  if (!Live()) return false;
  ExchangeDialogData();
  m_framework->AddAboutCommand(kAboutMenuText);
  m_framework->SetWindowIcon(m_hIcon);
  m_progress = IDC_PROGRESS;
  m_selectedPath.reset();
  RefreshTargetList();
  LoadLastFile();
  UpdateBurnButton();
  return true;
}

void CTessarinDlg::OnActivateDialog(int state) {
  (void)state;  // gained or lost: both reload
  // While a close waits for the burn to end, the window is going away.
  if (!Live() || m_closing) return;
  LoadImageFile();
}

int CTessarinDlg::OnDevicesChanged(int eventCode) {
  if (!Live() || eventCode != DEVICE_NODES_CHANGED) return 1;
  if (BurnBusy()) {
    // A rescan would drop the entry the burn talks to and could open another
    // device in its place, into which the rest of the image would go. Only
    // look whether the burned device is still there; the full rescan runs
    // as soon as the worker has ended.
    m_rescanPending = true;
    if (!m_hid.IsPresent(m_burnDevicePath)) m_flags.m_deviceOpen.store(false);
    return 1;
  }
  RefreshTargetList();
  UpdateBurnButton();
  return 1;
}

void CTessarinDlg::OnCommand(int id) {
  if (!Live()) return;
  switch (id) {
    case IDC_BURN:
      OnBurnClicked();
      break;
    case IDC_SELECT:
      OnSelectFile();
      break;
    case IDOK:
      IgnoreCommand();
      break;
    case IDCANCEL:
      OnCloseDialog();
      break;
    default:
      break;
  }
}

void CTessarinDlg::OnSystemCommand(int command) {
  if (!Live()) return;
  if ((command & 0xFFF0) == SC_ABOUT) {
    CAboutDlg about;
    about.DoModal(*m_framework);
  }
}

// ---------------------------------------------------------------------------
// Data exchange, one way: members into controls.

void CTessarinDlg::ExchangeDialogData() {
  if (m_framework == nullptr) return;
  m_framework->SetControlText(IDC_DEVICE_VERSION, m_deviceVersion);
  m_framework->SetControlText(IDC_DEVICE_CUR, m_deviceCur);
  m_framework->SetControlText(IDC_SERIAL_NO, m_serialNo);
  m_framework->SetControlText(IDC_FILE_PATH, m_filePath);
  m_framework->SetControlText(IDC_FILE_VERSION, m_fileVersion);
  m_framework->SetControlText(IDC_FILE_CUR, m_fileCur);
  m_framework->SetControlText(IDC_FILE_TIME, m_fileTime);
  m_framework->SetControlText(IDC_MESSAGE, m_message);
}

// ---------------------------------------------------------------------------
// Target list.

void CTessarinDlg::RefreshTargetList() {
  if (!Live()) return;
  const HidDeviceManager::Entry first = m_hid.Scan();
  m_flags.m_deviceOpen.store(first != nullptr);
  HidDeviceManager::Entry target = first;
  int targetIndex = 0;
  m_targetCombo.ResetContent(m_framework);
  int index = 0;
  for (const HidDeviceManager::Entry& entry : m_hid.Entries()) {
    m_targetCombo.AddString(m_framework,
                            Widen(ClassifyDevice(entry->vendorId, entry->productId).m_line));
    if (m_selectedPath && *m_selectedPath == entry->devicePath) {
      target = entry;
      targetIndex = index;
    }
    ++index;
  }
  if (!first) return;

  m_hid.Open(target);
  m_targetCombo.SetCurSel(m_framework, targetIndex);
  ApplyDeviceIds(target->vendorId, target->productId, &m_compat);
  m_selectedPath = target->devicePath;
  m_deviceVersion = Widen(ReadDeviceVersion(m_hid).value_or(kNoEepromText));
  m_deviceCur = Widen(ReadDeviceCur(m_hid));
}

// ---------------------------------------------------------------------------
// Last-file memory.

void CTessarinDlg::LoadLastFile() {
  std::optional<std::filesystem::path> dir = m_startupDir;
  if (!dir) dir = StartupDirectory();
  // With no known directory there is nowhere to remember: each choice then
  // lasts for this run only.
  if (!dir) return;
  m_configPath = MemoryFilePath(*dir);
  if (std::optional<std::u16string> text = ReadMemoryFile(m_configPath)) m_filePath = *text;
}

void CTessarinDlg::SaveLastFile() {
  // A failed write keeps the previous memory intact; the choice stays in
  // effect for this run, as the user sees it.
  if (!m_configPath.empty()) WriteMemoryFile(m_configPath, m_filePath);
}

// ---------------------------------------------------------------------------
// Image file.

void CTessarinDlg::OnSelectFile() {
  if (!Live() || m_closing) return;
  std::optional<std::u16string> chosen = m_framework->ChooseFile();
  if (!Live() || m_closing || !chosen || chosen->empty()) return;
  m_filePath = *chosen;
  m_lastFileTime = 0;
  m_timeText.SetRed(m_framework, 0);
  // A choice always shows a refusal, also of a file refused before.
  m_refusedFile.reset();
  LoadImageFile();
  SaveLastFile();
}

void CTessarinDlg::LoadImageFile() {
  if (!Live()) return;
  ImageReadResult read;
  if (std::optional<std::filesystem::path> path = Utf16ToPath(m_filePath)) {
    read = ReadImageFile(*path);
  }

  if (read.m_failure == ImageLoadFailure::kCannotOpen ||
      read.m_failure == ImageLoadFailure::kReadError) {
    // A read that fails after the open counts as a file that cannot be used
    // now: the image held before stays held.
    m_fileEdit.SetRed(m_framework, 1);
    m_fileVersion = m_fileCur = m_fileTime = kNoFileField;
    ExchangeDialogData();
    UpdateBurnButton();
    return;
  }
  m_fileEdit.SetRed(m_framework, 0);

  bool changed = false;
  ConvertedFileTime time;
  if (read.m_lastWriteTicks) {
    time = ConvertFileTime(*read.m_lastWriteTicks);
    changed = m_lastFileTime != 0 && m_lastFileTime != time.m_shifted;
    m_lastFileTime = time.m_shifted;
  }

  if (read.m_failure == ImageLoadFailure::kTooLarge) {
    // Every activation change reloads, and the box itself changes the
    // activation: show the refusal once per file as it is on disk.
    RefusedFile refused{m_filePath, read.m_lastWriteTicks, read.m_fileSize};
    if (m_refusedFile != refused) {
      m_refusedFile = std::move(refused);
      m_framework->MessageBox(Widen(kImageTooLargeText), Widen(kErrorCaption));
    }
    return;
  }
  m_refusedFile.reset();

  m_image = std::move(read.m_image);

  if (m_image->ImageSize() >= kHeaderMinSize) {
    const ImageFields fields = ParseImageFields(m_image->ImageData());
    m_fileVersion = Widen(FormatVersion(fields.m_versionMajor, fields.m_versionMinor));
    m_fileCur = Widen(FormatCur(fields.m_cur));
    // A file whose time could not be read shows no time.
    m_fileTime = (read.m_lastWriteTicks && time.m_valid) ? Widen(FormatFileTime(time.m_fields))
                                                         : std::u16string(kNoFileField);
    ApplyImageIds(fields, &m_compat);
    if (changed) m_timeText.SetRed(m_framework, 1);
  }
  ExchangeDialogData();
  UpdateBurnButton();
}

// ---------------------------------------------------------------------------
// Burn enabling.

bool CTessarinDlg::BurnAllowed() const {
  return DecideBurn(m_compat, m_flags.m_deviceOpen.load(), m_image != nullptr, BurnBusy())
      .m_burnEnabled;
}

void CTessarinDlg::UpdateBurnButton() {
  if (!Live()) return;
  const bool deviceOpen = m_flags.m_deviceOpen.load();
  const BurnDecision decision = DecideBurn(m_compat, deviceOpen, m_image != nullptr, BurnBusy());
  m_framework->EnableControl(IDC_BURN, decision.m_burnEnabled);
  if (decision.m_message) m_message = Widen(*decision.m_message);
  if (decision.m_messageRed) m_messageText.SetRed(m_framework, 1);
  if (deviceOpen) {
    m_framework->EnableControl(IDC_STATUS, true);
    m_framework->EnableControl(m_progress, true);
  } else {
    m_deviceVersion.clear();
    m_deviceCur.clear();
    m_framework->EnableControl(IDC_STATUS, false);
    m_framework->SetControlText(IDC_STATUS, u"Idle");
    m_framework->EnableControl(m_progress, false);
  }
  ExchangeDialogData();
}

// ---------------------------------------------------------------------------
// Burn.

void CTessarinDlg::OnBurnClicked() {
  if (!Live() || m_closing) return;
  // The button may only be pressed when the decision allows it; a click that
  // raced a change of state is dropped.
  if (!BurnAllowed()) return;
  m_timeText.SetRed(m_framework, 0);
  const HidDeviceManager::Entry current = m_hid.Current();
  // Another program burning or reading the device would interleave its
  // frames with this burn's: the burn fails at once, with nothing written.
  m_burnClaim = m_hid.Claim(current, nullptr);
  if (!m_burnClaim) {
    OnBurnStatus(BurnStatus::BURN_DOWNLOAD_FAILED, 0);
    UpdateBurnButton();
    return;
  }
  m_burnDevicePath = current ? current->devicePath : std::string();
  m_burnImage = m_image;
  BurnJob job{m_image, m_serialNo};
  if (!m_worker.Start(std::move(job))) {
    m_burnClaim.reset();
    UpdateBurnButton();
    return;
  }
  m_workerEnded = false;
  // Disabled at once, not only at the first status, so a second click
  // between the two cannot reach Start.
  m_framework->EnableControl(IDC_BURN, false);
}

void CTessarinDlg::OnBurnStatus(BurnStatus status, long count) {
  if (!Live()) return;
  // The burn's last status comes before the worker has cleared its flag; the
  // button is decided again for good when the worker has ended
  // (OnWorkerFinished).
  m_framework->EnableControl(IDC_BURN, BurnAllowed());

  // During a burn the range is the size of the image being burned, whatever
  // an activation reloaded meanwhile.
  const SharedRomImage& shown = m_workerEnded ? m_image : m_burnImage;
  const std::int32_t rangeMax = shown ? shown->ImageSize() : 0;
  const bool changed = m_statusDisplay.Show(*m_framework, status, count, rangeMax);
  // The device's fields read after the burn appear with its success.
  if (changed && status == BurnStatus::BURN_SUCCESS) ExchangeDialogData();
}

void CTessarinDlg::OnDeviceInfoRefreshed(const std::string& version, const std::string& cur) {
  if (!Live()) return;
  // Handed over before the success status, which shows them.
  m_deviceVersion = Widen(version);
  m_deviceCur = Widen(cur);
}

void CTessarinDlg::OnWorkerFinished() {
  m_workerEnded = true;
  // The worker's last act was the post of this closure: the join is short.
  m_worker.Wait();
  m_burnClaim.reset();
  if (!Live()) return;
  if (m_closing) {
    if (!m_noticeShowing) FinishClose();
    return;
  }
  if (m_rescanPending) {
    m_rescanPending = false;
    RefreshTargetList();
  }
  UpdateBurnButton();
}

void CTessarinDlg::OnStopNotice(const std::u16string& text, const std::u16string& caption) {
  if (!Live()) return;
  m_noticeShowing = true;
  m_framework->MessageBox(text, caption);
  m_noticeShowing = false;
  if (Live() && m_closing && m_workerEnded) FinishClose();
}

// ---------------------------------------------------------------------------
// Close.

void CTessarinDlg::OnCloseDialog() {
  if (!Live() || m_closing) return;
  if (BurnBusy()) {
    // The burn stops at its next check; the dialog ends once the worker has
    // ended and its notice was dismissed. The window stays responsive.
    m_closing = true;
    m_flags.m_cancelRequested.store(true);
    m_framework->EnableControl(IDC_BURN, false);
    m_framework->EnableControl(IDC_SELECT, false);
    return;
  }
  FinishClose();
}

void CTessarinDlg::OnSessionEnding() {
  if (!Live()) return;
  // The process ends once this returns: the burn stops at its next block
  // now, waited for here (the worker never waits for this thread). Its
  // notice, still queued, is dropped with the dialog.
  StopWorkerAndWait();
  FinishClose();
}

void CTessarinDlg::FinishClose() {
  m_worker.Wait();
  m_burnClaim.reset();
  m_image.reset();
  m_hid.Clear();
  m_selectedPath.reset();
  m_closing = false;
  m_ended = true;
  m_framework->EndDialog(IDCANCEL);
}

}  // namespace tessarin
