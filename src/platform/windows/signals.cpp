// Stop requests on Windows: the console's control events, which Windows
// delivers to the handler on a thread of its own.
#include "platform/signals.h"

#include <windows.h>

#include <algorithm>
#include <future>
#include <optional>
#include <thread>

#include "platform/windows/console_stop.h"

namespace tessarin {
namespace {

std::atomic<bool> g_installed{false};
std::atomic<std::atomic<bool>*> g_stopFlag{nullptr};
std::atomic<int> g_requests{0};
std::atomic<bool> g_ending{false};
std::atomic<ULONGLONG> g_graceMs{0};

// Windows' own lock and condition variable, which need no destruction: a
// handler still holding the program while it ends never meets a destroyed one.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;
bool g_stopped = false;  // under g_lock

// Waits on g_changed (g_lock held) until `until` (GetTickCount64) at the most.
void SleepUntil(ULONGLONG until) {
  const ULONGLONG now = ::GetTickCount64();
  if (now >= until) return;
  // INFINITE is 0xFFFFFFFF: stay below it.
  const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(until - now, INFINITE - 1));
  ::SleepConditionVariableSRW(&g_changed, &g_lock, wait, 0);
}

BOOL WINAPI OnConsoleEvent(DWORD event) { return HandleConsoleStopEvent(event) ? TRUE : FALSE; }

void InstallStopHandler(std::atomic<bool>* flag, std::chrono::milliseconds grace) {
  g_requests.store(0);
  g_ending.store(false);
  ::AcquireSRWLockExclusive(&g_lock);
  g_stopped = false;
  ::ReleaseSRWLockExclusive(&g_lock);
  g_graceMs.store(
      static_cast<ULONGLONG>(std::max<std::chrono::milliseconds::rep>(grace.count(), 0)));
  g_stopFlag.store(flag);
  g_installed.store(true);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RemoveStopHandler() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_installed.store(false);
  g_stopFlag.store(nullptr);
}

// Windows calls the console handler for log-off and shutdown only in programs
// that have not loaded user32.dll; the others (tessarin-cli loads it for its
// device-change window) hear of them as WM_QUERYENDSESSION and WM_ENDSESSION
// to their top-level windows, which this hidden one answers.
class SessionEndWindow {
 public:
  SessionEndWindow() {
    std::promise<HWND> created;
    std::future<HWND> window = created.get_future();
    m_thread = std::thread([&created] { Run(created); });
    m_window = window.get();
  }
  SessionEndWindow(const SessionEndWindow&) = delete;
  SessionEndWindow& operator=(const SessionEndWindow&) = delete;
  // Waits for a session end the window is holding (see StopRequests).
  ~SessionEndWindow() {
    if (m_window) ::PostMessageW(m_window, WM_CLOSE, 0, 0);
    m_thread.join();
  }

 private:
  static void Run(std::promise<HWND>& created) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &SessionEndWindow::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionEndWindowClass;
    HWND window = nullptr;
    if (::RegisterClassExW(&windowClass) || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
      // Top-level (no parent), never shown: message-only windows hear no
      // session end.
      window = ::CreateWindowExW(0, kSessionEndWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 instance, nullptr);
    }
    created.set_value(window);  // `created` is gone from here on
    if (!window) return;        // no window system (Wine without a display)
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_QUERYENDSESSION:
        return TRUE;
      case WM_ENDSESSION:
        if (wParam) {
          HandleConsoleStopEvent((lParam & ENDSESSION_LOGOFF) ? CTRL_LOGOFF_EVENT
                                                              : CTRL_SHUTDOWN_EVENT);
        }
        return 0;
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

  HWND m_window = nullptr;
  std::thread m_thread;
};

// While a StopRequests lives (made and destroyed on one thread).
std::optional<SessionEndWindow> g_sessionEnd;

}  // namespace

bool HandleConsoleStopEvent(unsigned long event) {
  const bool ending =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (!ending && event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return false;
  if (!g_installed.load()) return false;
  if (std::atomic<bool>* flag = g_stopFlag.load()) flag->store(true);
  ::AcquireSRWLockExclusive(&g_lock);
  if (ending) g_ending.store(true);
  g_requests.fetch_add(1);
  ::WakeAllConditionVariable(&g_changed);
  if (ending) {
    // Windows ends the process once this returns: hold it until the program
    // has stopped (or ends on its own), within the time Windows gives.
    const ULONGLONG until = ::GetTickCount64() + g_graceMs.load();
    while (!g_stopped && ::GetTickCount64() < until) SleepUntil(until);
  }
  ::ReleaseSRWLockExclusive(&g_lock);
  return true;
}

StopSignalGuard::StopSignalGuard(std::atomic<bool>& flag, std::chrono::milliseconds endingGrace) {
  InstallStopHandler(&flag, endingGrace);
}

StopSignalGuard::~StopSignalGuard() { RemoveStopHandler(); }

StopRequests::StopRequests(std::chrono::milliseconds endingGrace) {
  InstallStopHandler(nullptr, endingGrace);
  g_sessionEnd.emplace();
}

StopRequests::~StopRequests() {
  g_sessionEnd.reset();
  RemoveStopHandler();
}

int StopRequests::Count() const { return g_requests.load(); }

bool StopRequests::EndingSoon() const { return g_ending.load(); }

int StopRequests::WaitForMore(int seen, std::chrono::milliseconds timeout) const {
  const ULONGLONG until =
      ::GetTickCount64() +
      static_cast<ULONGLONG>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
  ::AcquireSRWLockExclusive(&g_lock);
  // Counted under the lock: a request between the look and the sleep wakes it.
  while (g_requests.load() <= seen && ::GetTickCount64() < until) SleepUntil(until);
  const int count = g_requests.load();
  ::ReleaseSRWLockExclusive(&g_lock);
  return count;
}

void StopRequests::Stopped() {
  ::AcquireSRWLockExclusive(&g_lock);
  g_stopped = true;
  ::WakeAllConditionVariable(&g_changed);
  ::ReleaseSRWLockExclusive(&g_lock);
}

void IgnoreBrokenPipe() {}

}  // namespace tessarin
