#pragma once
// Writing.h on the window platform. What ends a console program there comes as console control
// events (Ctrl+C, Ctrl+Break, the console window closed, and for a program without windows, the
// user logging off and the machine shutting down) and, to a program that has windows, as the end
// of the session (WM_QUERYENDSESSION, WM_ENDSESSION) to its top-level windows.
//
// - SignalDeferral installs a console control handler (and, for SIGINT and SIGTERM raised within
//   the process, C runtime signal handlers). During a write (or always, for the window) an event
//   is noted instead of obeyed: Ctrl+C and Ctrl+Break are answered as handled; for the
//   console closing, logoff and shutdown, which end the process once the handler returns, the
//   handler holds on until the program has finished its work and ends itself
//   (RaisePendingSignal), or until the system's own time limit for the handler runs out.
// - SleepInhibitor asks, from a thread of its own that lives as long as the program, that the
//   system stay awake (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); the request
//   belongs to the thread that makes it, so not to a worker that may end first), and gives a
//   hidden top-level window of that thread the reason for refusing the end of the session
//   (ShutdownBlockReasonCreate). While a write runs that window answers WM_QUERYENDSESSION with
//   FALSE; a WM_ENDSESSION that comes all the same is noted and held like the console closing.
// - RaisePendingSignal ends the process with STATUS_CONTROL_C_EXIT, as the system does for these
//   events.

#include <cstdint>

namespace qvfw::platform::windows_os {

// The noted events as PendingSignal() reports them.
inline constexpr int kPendingCtrlC = 2;       // SIGINT (also when the C runtime raises it)
inline constexpr int kPendingCtrlBreak = 21;  // SIGBREAK
inline constexpr int kPendingClose = 0x102;   // 0x100 | CTRL_CLOSE_EVENT
inline constexpr int kPendingLogoff = 0x105;  // 0x100 | CTRL_LOGOFF_EVENT
inline constexpr int kPendingShutdown = 0x106;  // 0x100 | CTRL_SHUTDOWN_EVENT

// The handler SignalDeferral installs; the system runs it on a thread of its own for each event.
// (A BOOL WINAPI (DWORD) function: declared here without the system headers.)
int __stdcall ConsoleControlHandler(unsigned long event);

// The hidden window that answers the end of the session (an HWND); null before the first write,
// or when no window could be made.
void* SessionWindow();

// What the machine was last asked to do while it is idle (the flags given to
// SetThreadExecutionState by the thread that holds it awake; 0 before the first write).
uint32_t RequestedExecutionState();

}  // namespace qvfw::platform::windows_os
