#include "ui/win32/win32_dialog_host.h"

#include <commctrl.h>
#include <commdlg.h>

#include <utility>
#include <vector>

namespace tessarin {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Windows API's text is UTF-16");

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

constexpr COLORREF kRedText = RGB(255, 0, 0);
constexpr COLORREF kBlackText = RGB(0, 0, 0);
constexpr UINT_PTR kSubclassId = 1;

// The file dialog of Select...: existing .rom files only.
constexpr wchar_t kRomFilter[] = L"kestrova rom file (.rom)\0*.rom\0";
constexpr DWORD kOpenFlags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;  // 0x1804
static_assert(kOpenFlags == 0x1804);
// Room for the longest path the system takes, not only MAX_PATH.
constexpr DWORD kPathCapacity = 32768;

HINSTANCE OwnModule() { return ::GetModuleHandleW(nullptr); }

/// Centres `window` on the work area of its monitor.
void CentreOnWorkArea(HWND window) {
  RECT frame;
  if (!::GetWindowRect(window, &frame)) return;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
  const RECT& area = monitor.rcWork;
  const int x = area.left + ((area.right - area.left) - (frame.right - frame.left)) / 2;
  const int y = area.top + ((area.bottom - area.top) - (frame.bottom - frame.top)) / 2;
  ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

void InitDialogControls() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;   // 8
  controls.dwICC = ICC_WIN95_CLASSES;  // 0xFF
  ::InitCommonControlsEx(&controls);
}

void ShowProgramMessage(const std::u16string& text, const std::u16string& caption, bool error) {
  ::MessageBoxW(nullptr, Wide(text), Wide(caption),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

Win32DialogHost::Win32DialogHost(const DialogTemplate& dialog, DialogHandlers& handlers,
                                 HINSTANCE instance, DeviceChangeSource deviceChanges)
    : m_template(dialog),
      m_templateEx(dialog),
      m_handlers(handlers),
      m_instance(instance != nullptr ? instance : OwnModule()),
      m_deviceChanges(deviceChanges),
      m_icon(::LoadIconW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

Win32DialogHost::~Win32DialogHost() {
  m_ended = true;
  const HWND window = m_window.load();
  if (window != nullptr && !m_modal) ::DestroyWindow(window);
  Forget();
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_queue.clear();
}

int Win32DialogHost::RunModal() {
  m_modal = true;
  const INT_PTR result =
      ::DialogBoxIndirectParamW(m_instance, m_templateEx.Get(), nullptr,
                                &Win32DialogHost::DialogProc, reinterpret_cast<LPARAM>(this));
  if (result == -1) return -1;
  return m_result;
}

bool Win32DialogHost::Create() {
  m_modal = false;
  const HWND window =
      ::CreateDialogIndirectParamW(m_instance, m_templateEx.Get(), nullptr,
                                   &Win32DialogHost::DialogProc, reinterpret_cast<LPARAM>(this));
  return window != nullptr;
}

void Win32DialogHost::SetFileChooser(std::function<std::optional<std::u16string>()> chooser) {
  m_chooser = std::move(chooser);
}

POINT Win32DialogHost::IconOrigin(const RECT& client, int iconWidth, int iconHeight) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  // C++ division truncates toward zero, as the rounding asks.
  return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

// ---------------------------------------------------------------------------
// Window procedures.

INT_PTR CALLBACK Win32DialogHost::DialogProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<Win32DialogHost*>(lParam);
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    return self->OnInitDialog(window);
  }
  auto* self = reinterpret_cast<Win32DialogHost*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->Route(message, wParam, lParam);
}

LRESULT CALLBACK Win32DialogHost::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                               LPARAM lParam, UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<Win32DialogHost*>(data);
  if (message == WM_NCDESTROY) {
    self->Forget();
    return ::DefSubclassProc(window, message, wParam, lParam);
  }
  // The dialog manager's own handling comes first for these; the handlers
  // act on its result.
  const LRESULT result = ::DefSubclassProc(window, message, wParam, lParam);
  switch (message) {
    case WM_ACTIVATE:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      return self->AfterDefault(message, wParam, lParam, result);
    default:
      return result;
  }
}

INT_PTR Win32DialogHost::OnInitDialog(HWND window) {
  m_window.store(window);
  ::SetWindowSubclass(window, &Win32DialogHost::SubclassProc, kSubclassId,
                      reinterpret_cast<DWORD_PTR>(this));
  m_handlers.OnDialogInit();
  m_started = true;
  if (!m_template.centered) CentreOnWorkArea(window);
  {
    // Closures posted before the window existed get their messages now.
    std::lock_guard<std::mutex> lock(m_queueMutex);
    for (std::size_t i = 0; i < m_queue.size(); ++i) {
      ::PostMessageW(window, WM_RUN_CLOSURE, 0, 0);
    }
  }
  return TRUE;  // the focus goes to the first control that takes it
}

INT_PTR Win32DialogHost::Route(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND window = m_window.load();
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_ABOUT) {
        if (Routing()) m_handlers.OnSystemCommand(static_cast<int>(wParam));
        return TRUE;
      }
      return FALSE;  // move, minimise, close...: the system's
    case WM_PAINT:
      if (!::IsIconic(window)) return FALSE;
      PaintMinimised();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_icon);
    case WM_DEVICECHANGE:
      // Every top-level window hears of real devices; simulated ones come
      // through the dialog's own listener instead.
      if (Routing() && ReportsDeviceChanges()) {
        m_handlers.OnDevicesChanged(static_cast<int>(wParam));
      }
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_ENDSESSION:
      // The process may be ended as soon as this returns.
      if (wParam != FALSE && Routing()) m_handlers.OnSessionEnding();
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_BURN_STATUS:
      if (Routing()) {
        // The message carries the status's code; any number converts (one that
        // is no status shows no text).
        m_handlers.OnBurnStatus(static_cast<BurnStatus>(static_cast<unsigned>(wParam)),
                                static_cast<long>(lParam));
      }
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_RUN_CLOSURE:
      RunOneClosure();
      return TRUE;
    case WM_COMMAND:
      // Buttons (and IDOK / IDCANCEL from the keyboard and the system menu's
      // Close) come as BN_CLICKED; edit and combo notifications are not commands.
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      if (Routing()) m_handlers.OnCommand(LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT Win32DialogHost::AfterDefault(UINT message, WPARAM wParam, LPARAM lParam, LRESULT result) {
  if (message == WM_ACTIVATE) {
    // The dialog manager gives back the focus saved at the deactivation,
    // which may be a control disabled since.
    if (LOWORD(wParam) != WA_INACTIVE) FocusWhenLost(nullptr);
    if (Routing()) m_handlers.OnActivateDialog(LOWORD(wParam));
    return result;
  }
  // A colour message: the brush stays the system's; only the text colour of
  // a highlighted control changes. A read-only edit asks with
  // WM_CTLCOLORSTATIC: the kind of message is not looked at.
  const auto control = reinterpret_cast<HWND>(lParam);
  const auto it = m_red.find(::GetDlgCtrlID(control));
  if (it != m_red.end()) {
    ::SetTextColor(reinterpret_cast<HDC>(wParam), it->second ? kRedText : kBlackText);
  }
  return result;
}

void Win32DialogHost::PaintMinimised() {
  const HWND window = m_window.load();
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(window, &paint);
  ::SendMessageW(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  ::GetClientRect(window, &client);
  const POINT origin =
      IconOrigin(client, ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
  ::DrawIcon(dc, origin.x, origin.y, m_icon);
  ::EndPaint(window, &paint);
}

void Win32DialogHost::RunOneClosure() {
  std::function<void()> closure;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_queue.empty()) return;
    closure = std::move(m_queue.front());
    m_queue.pop_front();
  }
  if (Routing()) closure();
}

void Win32DialogHost::Forget() {
  const HWND window = m_window.exchange(nullptr);
  if (window != nullptr) {
    ::RemoveWindowSubclass(window, &Win32DialogHost::SubclassProc, kSubclassId);
    ::SetWindowLongPtrW(window, DWLP_USER, 0);
  }
}

HWND Win32DialogHost::Control(int id) const {
  const HWND window = m_window.load();
  if (window == nullptr || id == IDC_STATIC) return nullptr;
  return ::GetDlgItem(window, id);
}

// ---------------------------------------------------------------------------
// DialogFramework.

void Win32DialogHost::SetControlText(int id, const std::u16string& text) {
  if (const HWND control = Control(id)) ::SetWindowTextW(control, Wide(text));
}

void Win32DialogHost::EnableControl(int id, bool enable) {
  const HWND control = Control(id);
  if (control == nullptr) return;
  const HWND window = m_window.load();
  if (!enable && ::GetFocus() == control) {
    // A control disabled with the focus keeps it, or leaves it to nobody:
    // either way Tab, Esc and Enter reach nothing. The focus moves on first.
    ::SendMessageW(window, WM_NEXTDLGCTL, 0, FALSE);
    // No other control takes it: the dialog itself keeps the keys coming.
    if (::GetFocus() == control) ::SetFocus(window);
  }
  ::EnableWindow(control, enable ? TRUE : FALSE);
  if (enable) FocusWhenLost(control);
}

void Win32DialogHost::FocusWhenLost(HWND control) {
  const HWND window = m_window.load();
  // An inactive dialog gets its focus back from the dialog manager when it
  // is activated; taking it now would steal the activation.
  if (window == nullptr || ::GetActiveWindow() != window) return;
  const HWND focus = ::GetFocus();
  const bool lost = focus == nullptr || focus == window ||
                    (::IsChild(window, focus) && !::IsWindowEnabled(focus));
  if (!lost) return;
  if (control == nullptr) control = ::GetNextDlgTabItem(window, nullptr, FALSE);
  if (control == nullptr || !::IsWindowEnabled(control) || !::IsWindowVisible(control) ||
      (::GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP) == 0) {
    return;
  }
  ::SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void Win32DialogHost::ShowControl(int id, bool show) {
  if (const HWND control = Control(id)) ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

void Win32DialogHost::SetControlRed(int id, bool red) {
  const HWND control = Control(id);
  if (control == nullptr) return;
  m_red[id] = red;
  ::InvalidateRect(control, nullptr, TRUE);
}

void Win32DialogHost::ComboResetContent(int id) {
  if (const HWND control = Control(id)) ::SendMessageW(control, CB_RESETCONTENT, 0, 0);
}

int Win32DialogHost::ComboAddString(int id, const std::u16string& text) {
  const HWND control = Control(id);
  if (control == nullptr) return -1;
  const LRESULT index =
      ::SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text)));
  return index < 0 ? -1 : static_cast<int>(index);
}

void Win32DialogHost::ComboSetCurSel(int id, int index) {
  if (const HWND control = Control(id)) ::SendMessageW(control, CB_SETCURSEL, index, 0);
}

void Win32DialogHost::ProgressSetRange(int id, int min, int max) {
  const HWND control = Control(id);
  if (control == nullptr) return;
  // An empty range (no image, or an empty one) is shown as an empty bar.
  ::SendMessageW(control, PBM_SETRANGE32, min, max > min ? max : min + 1);
}

void Win32DialogHost::ProgressSetPos(int id, int pos) {
  if (const HWND control = Control(id)) ::SendMessageW(control, PBM_SETPOS, pos, 0);
}

MessageBoxResult Win32DialogHost::MessageBox(const std::u16string& text,
                                             const std::u16string& caption) {
  ::MessageBoxW(m_window.load(), Wide(text), Wide(caption), MB_OK);
  return MessageBoxResult::kOk;
}

std::optional<std::u16string> Win32DialogHost::ChooseFile() {
  if (m_chooser) return m_chooser();
  std::vector<wchar_t> path(kPathCapacity, L'\0');
  OPENFILENAMEW open{};
  open.lStructSize = sizeof open;
  open.hwndOwner = m_window.load();
  open.lpstrFilter = kRomFilter;
  open.nFilterIndex = 1;
  open.lpstrFile = path.data();
  open.nMaxFile = kPathCapacity;
  open.Flags = kOpenFlags;
  if (!::GetOpenFileNameW(&open)) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(path.data()));
}

void Win32DialogHost::PostToUiThread(std::function<void()> closure) {
  std::lock_guard<std::mutex> lock(m_queueMutex);
  m_queue.push_back(std::move(closure));
  const HWND window = m_window.load();
  // Without a window yet, OnInitDialog posts the message; a window that is
  // gone drops the closure (the dialog has ended).
  if (window != nullptr && !::PostMessageW(window, WM_RUN_CLOSURE, 0, 0)) m_queue.pop_back();
}

bool Win32DialogHost::PostBurnStatus(BurnStatus status, long count) {
  // Under the queue's lock, so that statuses and closures keep the order in
  // which one thread posted them.
  std::lock_guard<std::mutex> lock(m_queueMutex);
  const HWND window = m_window.load();
  if (window == nullptr) return false;
  ::PostMessageW(window, WM_BURN_STATUS, static_cast<WPARAM>(BurnStatusCode(status)),
                 static_cast<LPARAM>(count));
  return true;
}

void Win32DialogHost::EndDialog(int result) {
  if (m_ended) return;
  m_ended = true;
  m_result = result;
  // The system ends the modal run once the handler that asked has returned;
  // a modeless window is hidden and destroyed with the host.
  if (const HWND window = m_window.load()) ::EndDialog(window, result);
}

void Win32DialogHost::AddAboutCommand(const std::u16string& text) {
  (void)text;  // the item's text is string 101 of the resources, the same words
  const HWND window = m_window.load();
  const HMENU menu = window != nullptr ? ::GetSystemMenu(window, FALSE) : nullptr;
  if (menu == nullptr) return;
  const wchar_t* resource = nullptr;
  const int length =
      ::LoadStringW(m_instance, IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&resource), 0);
  if (length <= 0 || resource == nullptr) return;
  const std::wstring item(resource, static_cast<std::size_t>(length));
  ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  ::AppendMenuW(menu, MF_STRING, SC_ABOUT, item.c_str());
}

void Win32DialogHost::SetWindowIcon(int iconId) {
  const HWND window = m_window.load();
  if (window == nullptr) return;
  const HICON icon =
      iconId == IDR_MAINFRAME ? m_icon : ::LoadIconW(m_instance, MAKEINTRESOURCEW(iconId));
  ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

INT_PTR CALLBACK Win32DialogHost::AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

void Win32DialogHost::RunAboutBox() {
  const DialogTemplateEx about(AboutDialogTemplate());
  ::DialogBoxIndirectParamW(m_instance, about.Get(), m_window.load(), &Win32DialogHost::AboutProc,
                            0);
}

DialogHostFactory Win32DialogHostFactory(DeviceChangeSource deviceChanges) {
  return [deviceChanges](const DialogTemplate& dialog,
                         DialogHandlers& handlers) -> std::unique_ptr<DialogHost> {
    return std::make_unique<Win32DialogHost>(dialog, handlers, nullptr, deviceChanges);
  };
}

}  // namespace tessarin
