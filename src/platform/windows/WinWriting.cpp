#include "platform/windows/WinWriting.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Writing.h"
#include "platform/windows/WinStructures.h"

namespace qvfw::platform {
namespace {

using namespace windows_os;

// Writes in progress; the workers of a parallel update each count theirs.
std::atomic<int> g_depth{0};
std::mutex g_writeMutex;
std::unique_ptr<SleepInhibitor> g_inhibitor;
std::atomic<int> g_pending{0};
std::atomic<bool> g_noteAlways{false};

void Note(int code) {
  int none = 0;
  g_pending.compare_exchange_strong(none, code);
}

// Holds the calling thread (the system's, for a console event or the end of the session) until
// the program has finished and ends itself; the system ends the process as soon as it returns.
// (RaisePendingSignal ends the process, this thread with it.)
void HoldUntilTheProgramEnds() {
  for (;;) ::Sleep(INFINITE);
}

constexpr UINT kHold = WM_APP + 1;
constexpr UINT kRelease = WM_APP + 2;
constexpr wchar_t kGuardClass[] = L"qvfw.SessionGuard";

std::atomic<uint32_t> g_requested{0};

LRESULT CALLBACK GuardProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kHold: {
      // The request belongs to this thread, which lives as long as the program.
      g_requested = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
      const bool awake = ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
      const std::wstring reason(kInhibitReason.begin(), kInhibitReason.end());
      ::ShutdownBlockReasonCreate(hwnd, reason.c_str());
      return awake ? 1 : 0;
    }
    case kRelease:
      g_requested = ES_CONTINUOUS;
      ::SetThreadExecutionState(ES_CONTINUOUS);
      ::ShutdownBlockReasonDestroy(hwnd);
      return 0;
    case WM_QUERYENDSESSION:
      // A write in progress refuses the end of the session; the user is shown the reason.
      return Writing() ? FALSE : TRUE;
    case WM_ENDSESSION:
      if (wParam && Writing()) {
        // The session ends all the same: the write is finished first, as for a closed console.
        Note((lParam & ENDSESSION_LOGOFF) ? kPendingLogoff : kPendingShutdown);
        HoldUntilTheProgramEnds();
      }
      return 0;
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

// The thread that keeps the machine awake and answers the end of the session, with its hidden
// window. Made at the first write; it lives, blocked in its message loop, until the process ends.
class SessionGuard {
 public:
  static SessionGuard& Get() {
    static SessionGuard* guard = new SessionGuard;  // never destroyed: its thread ends with the process
    return *guard;
  }
  HWND window() const { return window_; }
  // Why the end of the session is not held off, when it is not ("" when it is).
  const std::string& problem() const { return problem_; }

 private:
  SessionGuard() {
    std::mutex m;
    std::condition_variable made;
    bool done = false;
    std::thread([&] {
      HWND w = Make();
      {
        // Told under the lock: the constructor, and what it waits on, is gone once it is let go.
        std::lock_guard lock(m);
        window_ = w;
        done = true;
        made.notify_one();
      }
      if (!w) return;
      MSG message;
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    }).detach();
    std::unique_lock lock(m);
    made.wait(lock, [&] { return done; });
  }

  HWND Make() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = GuardProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kGuardClass;
    if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      problem_ = "its window class cannot be registered: " + WindowsErrorText(::GetLastError());
      return nullptr;
    }
    // A top-level window, never shown: only those hear of the end of the session.
    HWND w = ::CreateWindowExW(0, kGuardClass, L"qvfw", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                               nullptr);
    if (w) return w;
    const DWORD error = ::GetLastError();
    problem_ = "no window can be made here (" + (error ? WindowsErrorText(error) : "no display") + ")";
    // Still a thread that lives to keep the machine awake: a message-only window.
    return ::CreateWindowExW(0, kGuardClass, L"qvfw", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }

  HWND window_ = nullptr;
  std::string problem_;
};

}  // namespace

namespace windows_os {

int __stdcall ConsoleControlHandler(unsigned long event) {
  if (!(g_depth > 0 || g_noteAlways)) return FALSE;  // the next handler's answer: in the end the program ends
  switch (event) {
    case CTRL_C_EVENT: Note(kPendingCtrlC); return TRUE;
    case CTRL_BREAK_EVENT: Note(kPendingCtrlBreak); return TRUE;
    case CTRL_CLOSE_EVENT: Note(kPendingClose); break;
    case CTRL_LOGOFF_EVENT: Note(kPendingLogoff); break;
    case CTRL_SHUTDOWN_EVENT: Note(kPendingShutdown); break;
    default: return FALSE;
  }
  // The console is going away or the session is ending: the process ends when this returns.
  HoldUntilTheProgramEnds();
  return TRUE;
}

void* SessionWindow() {
  std::lock_guard guard(g_writeMutex);
  return g_inhibitor ? SessionGuard::Get().window() : nullptr;
}

uint32_t RequestedExecutionState() { return g_requested; }

}  // namespace windows_os

namespace {

// SIGINT and SIGTERM as the C runtime raises them within the process (raise(), abort paths); a
// console's Ctrl+C reaches the control handler above first.
void (*g_previousInt)(int) = SIG_DFL;
void (*g_previousTerm)(int) = SIG_DFL;

extern "C" void OnSignal(int signal) {
  if (g_depth > 0 || g_noteAlways) {
    Note(signal);
    std::signal(signal, OnSignal);  // the runtime resets a handler before it calls it
    return;
  }
  // Not writing: what the signal did before, now.
  std::signal(signal, signal == SIGINT ? g_previousInt : g_previousTerm);
  std::raise(signal);
  std::signal(signal, OnSignal);
}

}  // namespace

SignalDeferral::SignalDeferral(bool noteAlways) {
  g_noteAlways = noteAlways;
  g_pending = 0;
  g_previousInt = std::signal(SIGINT, OnSignal);
  g_previousTerm = std::signal(SIGTERM, OnSignal);
  ::SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

SignalDeferral::~SignalDeferral() {
  ::SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
  std::signal(SIGINT, g_previousInt);
  std::signal(SIGTERM, g_previousTerm);
}

int PendingSignal() { return g_pending; }

const char* SignalWord(int signal) {
  switch (signal) {
    case kPendingCtrlC: return "interrupted";
    case kPendingCtrlBreak: return "break";
    case kPendingClose: return "console closed";
    case kPendingLogoff: return "logging off";
    case kPendingShutdown: return "shutting down";
    case SIGTERM: return "terminated";
  }
  return "signal";
}

void RaisePendingSignal() {
  const int s = g_pending;
  if (s == 0) return;
  std::fflush(nullptr);
  if (s == SIGTERM) {
    std::signal(s, SIG_DFL);
    std::raise(s);
  }
  ::ExitProcess(STATUS_CONTROL_C_EXIT);  // as the system ends a process for its console events
}

bool Writing() { return g_depth > 0; }

void BeginWrite(Diagnostics& diag) {
  std::lock_guard guard(g_writeMutex);
  if (g_depth == 0) g_inhibitor = std::make_unique<SleepInhibitor>(kInhibitReason, diag);
  ++g_depth;
}

void EndWrite() {
  std::lock_guard guard(g_writeMutex);
  if (g_depth == 0) return;
  if (--g_depth == 0) g_inhibitor.reset();
}

SleepInhibitor::SleepInhibitor(std::string_view, Diagnostics& diag) {
  SessionGuard& guard = SessionGuard::Get();
  if (!guard.window()) {
    diag.Line("sleep and shutdown are not held off during the write: " + guard.problem());
    return;
  }
  if (!guard.problem().empty()) diag.Line("the end of the session is not held off during the write: " + guard.problem());
  // Not longer than a moment: the guard's thread is held while the session ends.
  DWORD_PTR awake = 0;
  if (::SendMessageTimeoutW(guard.window(), kHold, 0, 0, SMTO_NORMAL, 2000, &awake) && awake) {
    fd_ = 0;
  } else {
    diag.Line("the machine is not kept awake during the write");
  }
}

SleepInhibitor::~SleepInhibitor() {
  // Done by the time the write is over; not waited for while the guard's thread is held by the
  // end of the session.
  DWORD_PTR ignored = 0;
  if (HWND w = SessionGuard::Get().window()) ::SendMessageTimeoutW(w, kRelease, 0, 0, SMTO_NORMAL, 1000, &ignored);
}

}  // namespace qvfw::platform
