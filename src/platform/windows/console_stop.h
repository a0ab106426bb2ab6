// The console handler behind StopSignalGuard and StopRequests, and the window
// class of StopRequests' session-end window, declared so that the tests can
// reach them the way Windows does.
#pragma once

namespace tessarin {

/// What the handler that StopSignalGuard and StopRequests install does with
/// the console event `event` (CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
/// CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT), on the thread Windows calls it on:
/// true when it took the event as a request to stop. For the last three it
/// returns only once the program said Stopped() or the grace passed, since
/// Windows ends the process when it returns. False, doing nothing, for other
/// events and while no guard lives.
bool HandleConsoleStopEvent(unsigned long event);

/// The class of the hidden top-level window that a StopRequests keeps while
/// it lives, on a thread of its own: Windows tells a program that has loaded
/// user32.dll of log-off and shutdown by WM_QUERYENDSESSION and WM_ENDSESSION
/// to its top-level windows, not through the console handler. Its
/// WM_ENDSESSION (wParam TRUE) does what the handler does for
/// CTRL_LOGOFF_EVENT (ENDSESSION_LOGOFF in lParam) or CTRL_SHUTDOWN_EVENT.
inline constexpr wchar_t kSessionEndWindowClass[] = L"TessarinSessionEnd";

}  // namespace tessarin
