// The main dialog of the window program, in standard C++. The window itself
// is a DialogFramework supplied by a host (Qt, or a recording fake in tests).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "burn/burn_worker.h"
#include "hid/hid_device_manager.h"
#include "image/compat_state.h"
#include "image/rom_image.h"
#include "ui/combo_box.h"
#include "ui/dialog_framework.h"
#include "ui/dialog_templates.h"
#include "ui/red_control.h"
#include "ui/status_display.h"

namespace tessarin {

/// The main dialog (template 102). Every member function runs on the
/// user-interface thread unless it says otherwise.
class CTessarinDlg : public DialogHandlers {
 public:
  /// `backend` must outlive the dialog; the dialog reaches it only through its
  /// device manager m_hid. `startupDir` is the directory of the last-file memory; nullopt takes the
  /// process's current directory at LoadLastFile. `sleep` is the worker's sleep (tests pass an
  /// instant one).
  explicit CTessarinDlg(HidBackend& backend,
                        std::optional<std::filesystem::path> startupDir = std::nullopt,
                        BurnSleep sleep = {});
  /// Stops a burn still running (as a close would), waits for its thread,
  /// and removes the device-change listener.
  ~CTessarinDlg() override;
  CTessarinDlg(const CTessarinDlg&) = delete;
  CTessarinDlg& operator=(const CTessarinDlg&) = delete;

  /// Gives the dialog its window before OnDialogInit, and (unless the host
  /// reports device changes itself) installs the manager's device-change
  /// listener, which posts OnDevicesChanged to the user-interface thread. The framework must stay
  /// alive until DetachFramework() returned (or the dialog is destroyed).
  void AttachFramework(DialogFramework* framework);
  /// Stops and waits for a running burn, removes the listener and forgets the
  /// framework. Queued closures of this dialog become no-ops.
  void DetachFramework();

  // The routing table (DialogHandlers).
  bool OnDialogInit() override;
  void OnActivateDialog(int state) override;
  int OnDevicesChanged(int eventCode) override;
  void OnCloseDialog() override;
  void OnCommand(int id) override;
  void OnSystemCommand(int command) override;
  void OnBurnStatus(BurnStatus status, long count) override;
  void OnSessionEnding() override;

  // The handlers and operations the routing reaches.
  void ExchangeDialogData();
  void RefreshTargetList();
  void LoadLastFile();
  void SaveLastFile();
  void LoadImageFile();
  void OnSelectFile();
  void UpdateBurnButton();
  void OnBurnClicked();
  void IgnoreCommand() {}

  /// True once the dialog ended (OnCloseDialog finished): every handler is
  /// then a no-op.
  bool Ended() const { return m_ended; }
  /// True between a close during a burn and the dialog's end.
  bool Closing() const { return m_closing; }
  /// A burn runs, or the end of its worker has not been handled yet on the
  /// user-interface thread.
  bool BurnBusy() const;
  /// The compatibility record of this run (one per process in practice).
  const CompatState& Compat() const { return m_compat; }
  /// The flags shared with the worker.
  const BurnFlags& Flags() const { return m_flags; }
  HidDeviceManager& Hid() { return m_hid; }

  // Members, in the order of the dialog's design.
  int m_hIcon = IDR_MAINFRAME;  ///< the icon resource of the window and the About box
  /// The held image (its m_imageData and m_imageSize); null while none is held
  /// (an empty image counts as held). Immutable and shared: a burn holds its
  /// own reference, so a reload never frees or changes the bytes it reads.
  SharedRomImage m_image;
  HidDeviceManager m_hid;
  /// m_deviceOpen, m_cancelRequested, m_workerRunning, shared with the worker.
  BurnFlags m_flags;
  int m_progress = 0;  ///< id of the progress bar, looked up by OnDialogInit
  /// The status text and the progress bar; holds m_lastStatus.
  CStatusDisplay m_statusDisplay{IDC_STATUS, IDC_PROGRESS};
  CRedEdit m_fileEdit{IDC_FILE_PATH};
  CRedText m_timeText{IDC_FILE_TIME};
  CRedText m_messageText{IDC_MESSAGE};
  CComboBox m_targetCombo{IDC_TARGET};
  /// Path of the target chosen last; none until the first refresh found one.
  std::optional<std::string> m_selectedPath;
  std::uint64_t m_lastFileTime = 0;
  std::u16string m_deviceVersion;
  std::u16string m_deviceCur;
  std::u16string m_serialNo;
  std::u16string m_filePath;
  std::u16string m_fileVersion;
  std::u16string m_fileCur;
  std::filesystem::path m_configPath;
  std::u16string m_fileTime;
  std::u16string m_message;

 private:
  class StatusSink;
  /// What identifies a refused oversized file, so the same unchanged file is
  /// refused with a box only once (Select... forgets it).
  struct RefusedFile {
    std::u16string path;
    std::optional<std::uint64_t> ticks;
    std::uint64_t size = 0;
    bool operator==(const RefusedFile&) const = default;
  };

  void Post(std::function<void(CTessarinDlg&)> action);
  /// The host's own status message, where it has one (any thread).
  bool PostBurnStatus(BurnStatus status, long count);
  void OnDeviceInfoRefreshed(const std::string& version, const std::string& cur);
  void OnStopNotice(const std::u16string& text, const std::u16string& caption);
  void OnWorkerFinished();
  /// Frees what the dialog owns and ends it with IDCANCEL.
  void FinishClose();
  void StopWorkerAndWait();
  /// A handler may act: the dialog has a window and has not ended.
  bool Live() const;
  /// What UpdateBurnButton would decide for the Burn button now.
  bool BurnAllowed() const;

  std::optional<std::filesystem::path> m_startupDir;
  DialogFramework* m_framework = nullptr;
  /// The host delivers device changes itself: no listener on m_hid.
  bool m_hostReportsDeviceChanges = false;
  CompatState m_compat;
  /// The image the running (or last) burn writes: its size is the progress range.
  SharedRomImage m_burnImage;
  /// Path of the device the running (or last) burn writes.
  std::string m_burnDevicePath;
  /// The device's claim, held from the press of Burn until the worker ended.
  DeviceClaimPtr m_burnClaim;
  /// A device change arrived during a burn: rescan when the worker has ended.
  bool m_rescanPending = false;
  std::optional<RefusedFile> m_refusedFile;
  bool m_closing = false;
  bool m_ended = false;
  bool m_noticeShowing = false;
  bool m_workerEnded = true;
  /// Queued closures hold a weak reference; the dialog's end of life expires it.
  std::shared_ptr<CTessarinDlg*> m_alive;
  std::unique_ptr<StatusSink> m_sink;
  BurnWorker m_worker;  // last: joined before anything it uses is destroyed
};

}  // namespace tessarin
