#include "platform/windows/windows_hid_backend.h"

// windows.h first: the set-up and HID headers rely on its types.
#include <windows.h>
// clang-format off
#include <dbt.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// MinGW's HID headers lack the C linkage guard that the SDK's have.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {

const wchar_t* const kDeviceChangeWindowClass = L"TessarinDeviceChangeWindow";

namespace {

struct OpenParameters {
  DWORD access;
  DWORD flags;
};

OpenParameters ParametersFor(HidOpenMode mode) {
  switch (mode) {
    case HidOpenMode::kWrite:
      return {GENERIC_WRITE, 0};
    case HidOpenMode::kRead:
      return {GENERIC_READ, FILE_FLAG_OVERLAPPED};
    case HidOpenMode::kQuery:
      break;
  }
  return {0, 0};
}

HANDLE OpenInterface(const std::wstring& path, HidOpenMode mode) {
  const OpenParameters p = ParametersFor(mode);
  return ::CreateFileW(path.c_str(), p.access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, p.flags, nullptr);
}

/// A handle on one HID interface. The OS handle never changes after
/// construction, and the HID class driver's calls may run on two threads at
/// once, so the report calls need no lock of their own.
///
/// The read handle is opened for overlapped I/O, yet HidD_GetInputReport
/// issues a synchronous request on it: the system then waits on the handle
/// itself for the completion. That is sound because no other request is ever
/// outstanding on a read handle: the device lock serialises the fetches, and
/// nothing else uses it.
class WindowsHidHandle final : public HidHandle {
 public:
  explicit WindowsHidHandle(HANDLE handle) : m_handle(handle) {}

  bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
    // The driver only reads the buffer of a set request.
    return Usable(report, length) &&
           ::HidD_SetOutputReport(m_handle.get(), const_cast<std::uint8_t*>(report),
                                  static_cast<ULONG>(length)) != FALSE;
  }

  bool GetInputReport(std::uint8_t* report, std::size_t length) override {
    return Usable(report, length) &&
           ::HidD_GetInputReport(m_handle.get(), report, static_cast<ULONG>(length)) != FALSE;
  }

  bool SetFeature(const std::uint8_t* report, std::size_t length) override {
    return Usable(report, length) &&
           ::HidD_SetFeature(m_handle.get(), const_cast<std::uint8_t*>(report),
                             static_cast<ULONG>(length)) != FALSE;
  }

  bool GetFeature(std::uint8_t* report, std::size_t length) override {
    return Usable(report, length) &&
           ::HidD_GetFeature(m_handle.get(), report, static_cast<ULONG>(length)) != FALSE;
  }

 private:
  static bool Usable(const void* report, std::size_t length) {
    return report != nullptr && length > 0 && length <= 0xFFFF;
  }

  OwnedHandle m_handle;
};

/// Reads the ids and report lengths through a query handle on `info.m_path`;
/// on failure leaves the reason in `info.m_error`.
void Examine(const std::wstring& widePath, HidInterfaceInfo& info) {
  OwnedHandle query(OpenInterface(widePath, HidOpenMode::kQuery));
  if (!query.valid()) {
    info.m_error = DescribeHidOpenFailure(info.m_path, ::GetLastError());
    return;
  }
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!::HidD_GetAttributes(query.get(), &attributes)) {
    info.m_error = "read the ids of " + info.m_path + ": " + WindowsErrorText(::GetLastError());
    return;
  }
  info.m_vendorId = attributes.VendorID;
  info.m_productId = attributes.ProductID;

  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!::HidD_GetPreparsedData(query.get(), &preparsed)) {
    info.m_error =
        "read the report lengths of " + info.m_path + ": " + WindowsErrorText(::GetLastError());
    return;
  }
  HIDP_CAPS caps{};
  const NTSTATUS status = ::HidP_GetCaps(preparsed, &caps);
  ::HidD_FreePreparsedData(preparsed);
  if (status != HIDP_STATUS_SUCCESS) {
    info.m_error = "read the report lengths of " + info.m_path +
                   ": the HID class driver answered " +
                   std::to_string(static_cast<unsigned long>(status));
    return;
  }
  info.m_outputReportByteLength = caps.OutputReportByteLength;
  info.m_featureReportByteLength = caps.FeatureReportByteLength;
}

/// The interface path of one enumerated interface, or false when the detail
/// record cannot be read (the interface is then not listed: without a path
/// there is nothing to name or open).
bool InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::wstring* path,
                   SP_DEVINFO_DATA* node) {
  DWORD required = 0;
  ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
  constexpr DWORD kFixedPart = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (required < kFixedPart) return false;
  // Storage aligned for the record; at least the fixed part, whatever the
  // first call said.
  std::vector<std::uint64_t> storage((required + sizeof(std::uint64_t) - 1) /
                                     sizeof(std::uint64_t));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
  detail->cbSize = kFixedPart;
  node->cbSize = sizeof(*node);
  if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, node)) {
    return false;
  }
  // The path ends at its terminator or at the end of the block, whichever
  // comes first.
  const std::size_t room =
      (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
  path->assign(detail->DevicePath, ::wcsnlen(detail->DevicePath, room));
  return !path->empty();
}

/// The first string of a string-list registry property of a device node, or
/// of a plain string property; empty when the node has none.
std::wstring NodeProperty(HDEVINFO set, SP_DEVINFO_DATA* node, DWORD property) {
  DWORD type = 0;
  DWORD required = 0;
  ::SetupDiGetDeviceRegistryPropertyW(set, node, property, &type, nullptr, 0, &required);
  if (required < sizeof(wchar_t)) return {};
  std::vector<wchar_t> text(required / sizeof(wchar_t) + 2, L'\0');
  if (!::SetupDiGetDeviceRegistryPropertyW(
          set, node, property, &type, reinterpret_cast<BYTE*>(text.data()), required, nullptr)) {
    return {};
  }
  return std::wstring(text.data(), ::wcsnlen(text.data(), text.size()));
}

/// The physical port of the device behind an interface: the location path
/// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)") of the HID node or, as
/// HID nodes seldom have one, of the nearest parent (the USB interface, then
/// the USB device) that does. Empty when none up the tree has one.
std::string LocationPath(HDEVINFO set, SP_DEVINFO_DATA* node) {
  std::wstring path = NodeProperty(set, node, SPDRP_LOCATION_PATHS);
  DEVINST instance = node->DevInst;
  for (int level = 0; path.empty() && level < 4; ++level) {
    DEVINST parent = 0;
    if (::CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) break;
    instance = parent;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (::CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) break;
    HDEVINFO parentSet = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (parentSet == INVALID_HANDLE_VALUE) break;
    SP_DEVINFO_DATA parentNode{};
    parentNode.cbSize = sizeof(parentNode);
    if (::SetupDiOpenDeviceInfoW(parentSet, id, nullptr, 0, &parentNode)) {
      path = NodeProperty(parentSet, &parentNode, SPDRP_LOCATION_PATHS);
    }
    ::SetupDiDestroyDeviceInfoList(parentSet);
  }
  return WideToUtf8(path);
}

/// The thread with the hidden window that receives arrivals and removals of
/// HID interfaces, and calls `onChange` on that thread for each.
class DeviceChangeThread {
 public:
  explicit DeviceChangeThread(std::function<void()> onChange) : m_onChange(std::move(onChange)) {
    std::promise<std::string> started;
    std::future<std::string> result = started.get_future();
    m_thread = std::thread([this, &started] { Run(started); });
    m_error = result.get();
  }

  DeviceChangeThread(const DeviceChangeThread&) = delete;
  DeviceChangeThread& operator=(const DeviceChangeThread&) = delete;

  ~DeviceChangeThread() {
    if (m_window) ::PostMessageW(m_window, WM_CLOSE, 0, 0);
    if (m_thread.joinable()) m_thread.join();
  }

  /// Empty when the window is receiving changes; otherwise why not.
  const std::string& Error() const { return m_error; }

 private:
  void Run(std::promise<std::string>& started) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DeviceChangeThread::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kDeviceChangeWindowClass;
    // A second backend in the same process finds the class registered.
    if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      started.set_value("register the device-change window: " + WindowsErrorText(::GetLastError()));
      return;
    }
    // Wine can refuse the first windows of processes that start together
    // while its desktop starts up; a short retry rides that out.
    HWND window = nullptr;
    for (int attempt = 0; attempt < 5 && !window; ++attempt) {
      if (attempt > 0) ::Sleep(100);
      window = ::CreateWindowExW(0, kDeviceChangeWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, instance, this);
    }
    if (!window) {
      started.set_value("create the device-change window: " + WindowsErrorText(::GetLastError()));
      return;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    ::HidD_GetHidGuid(&filter.dbcc_classguid);
    HDEVNOTIFY notification =
        ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!notification) {
      const std::string reason = WindowsErrorText(::GetLastError());
      ::DestroyWindow(window);
      started.set_value("register for device changes: " + reason);
      return;
    }
    m_window = window;
    started.set_value({});  // `started` is gone from here on

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    ::UnregisterDeviceNotification(notification);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
      ::SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<DeviceChangeThread*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_DEVICECHANGE:
        if (self && IsInterfaceArrivalOrRemoval(wParam, lParam)) self->m_onChange();
        return TRUE;
      case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
      default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
  }

  static bool IsInterfaceArrivalOrRemoval(WPARAM event, LPARAM data) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    return header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
  }

  std::function<void()> m_onChange;
  HWND m_window = nullptr;  // written before the constructor returns, then only read
  std::string m_error;
  std::thread m_thread;
};

/// The handles are opened shared, so the claim is a lock file in the temporary
/// folder named after the device path (case folded, as Windows compares
/// paths): every program of the project takes it before a burn or a read.
class WindowsClaim final : public DeviceClaim {
 public:
  explicit WindowsClaim(std::optional<FileLock> lock) : m_lock(std::move(lock)) {}

 private:
  std::optional<FileLock> m_lock;
};

std::filesystem::path ClaimFile(const std::string& path) {
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (char c : path) {
    const unsigned char folded =
        static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    hash = (hash ^ folded) * 1099511628211ULL;
  }
  wchar_t dir[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, dir);
  std::filesystem::path base = n > 0 ? std::filesystem::path(dir) : std::filesystem::path(L".");
  wchar_t name[64];
  std::swprintf(name, 64, L"tessarin-device-%016llx.lock", static_cast<unsigned long long>(hash));
  return base / name;
}

class WindowsHidBackend final : public HidBackend {
 public:
  ~WindowsHidBackend() override {
    // Ends the thread before the listener it calls goes away.
    m_changes.reset();
  }

  std::vector<HidInterfaceInfo> Enumerate() override {
    std::vector<HidInterfaceInfo> found;
    GUID hidClass;
    ::HidD_GetHidGuid(&hidClass);
    HDEVINFO set =
        ::SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return found;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof(data);
      // The first failure ends the list, whatever its reason.
      if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data)) break;
      std::wstring widePath;
      SP_DEVINFO_DATA node{};
      if (!InterfacePath(set, data, &widePath, &node)) continue;
      HidInterfaceInfo info;
      info.m_path = WideToUtf8(widePath);
      info.m_port = LocationPath(set, &node);
      Examine(widePath, info);
      found.push_back(std::move(info));
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return found;
  }

  HidHandlePtr Open(const std::string& path, HidOpenMode mode, std::string* error) override {
    // Paths come back as Enumerate() gave them, so the round trip is exact
    // for every path the system can produce.
    const std::optional<std::wstring> widePath = Utf8ToWide(path);
    if (path.empty() || !widePath) {
      if (error) *error = "open \"" + path + "\": not a device path (empty or not UTF-8)";
      return nullptr;
    }
    HANDLE handle = OpenInterface(*widePath, mode);
    if (handle == INVALID_HANDLE_VALUE) {
      if (error) *error = DescribeHidOpenFailure(path, ::GetLastError());
      return nullptr;
    }
    return std::make_unique<WindowsHidHandle>(handle);
  }

  DeviceClaimPtr Claim(const std::string& path, bool* busy) override {
    std::optional<FileLock> lock = FileLock::TryLock(ClaimFile(path), busy, nullptr);
    if (!lock && *busy) return nullptr;
    return std::make_unique<WindowsClaim>(std::move(lock));
  }

  void SetDeviceChangeListener(DeviceChangeListener listener) override {
    const bool wanted = static_cast<bool>(listener);
    // Waits for a call of the old listener in progress on the thread: once
    // this returns, the old listener is not running and never will again,
    // so its caller may free what it refers to.
    m_listener.Set(std::move(listener));
    // Started on first use, so programs that never listen have no thread.
    std::lock_guard lock(m_startGuard);
    if (wanted && !m_changes) {
      m_changes = std::make_unique<DeviceChangeThread>([this] { m_listener.Notify(); });
    }
  }

 private:
  DeviceChangeSlot m_listener;
  std::mutex m_startGuard;
  std::unique_ptr<DeviceChangeThread> m_changes;
};

}  // namespace

std::string WindowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (n > 0 && buffer) text = WideToUtf8(std::wstring_view(buffer, n));
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "error " + std::to_string(code);
  return text;
}

std::string DescribeHidOpenFailure(const std::string& path, unsigned long code) {
  std::string text = "open " + path + ": " + WindowsErrorText(code);
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      text += ". Another program may be holding the device for itself: close it, then scan again";
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
      text += " (the device was unplugged)";
      break;
    default:
      break;
  }
  return text;
}

std::unique_ptr<HidBackend> CreateWindowsHidBackend(std::string* /*error*/) {
  return std::make_unique<WindowsHidBackend>();
}

std::string NoDeviceHint() {
  return "check the cable, and that no other program holds the device for itself";
}

std::unique_ptr<HidBackend> CreatePlatformHidBackend(std::string* error) {
  return CreateWindowsHidBackend(error);
}

}  // namespace tessarin
