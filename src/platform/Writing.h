#pragma once
// While a device is being written it must not be left half-written: from the first write until
// the device is consistent again, SIGINT, SIGTERM, SIGHUP and SIGQUIT are noted instead of
// ending the program, and the machine is kept from sleeping or shutting down (an inhibitor lock
// where the system offers one). The front end acts on a noted signal once the write is over.
// The window platform notes its console control events and the end of the session instead
// (platform/windows/WinWriting.h).

#include <string_view>

#include "platform/Diagnostics.h"

namespace qvfw::platform {

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT are noted during a write; outside a write
// they do what they did before (their earlier handler or default action), unless `noteAlways`
// (the window, which closes itself in order on a noted signal). The earlier handlers come back
// when it ends; the noted signal stays noted.
class SignalDeferral {
 public:
  explicit SignalDeferral(bool noteAlways);
  ~SignalDeferral();
  SignalDeferral(const SignalDeferral&) = delete;
  SignalDeferral& operator=(const SignalDeferral&) = delete;
};
// The signal noted since the last SignalDeferral began (0: none), and its name for the user
// ("interrupted", "terminated", "hang-up", "quit").
int PendingSignal();
const char* SignalWord(int signal);
// Ends the program with the noted signal's default action, once its work is done.
void RaisePendingSignal();

// Whether a write is in progress.
bool Writing();
// A write begins and ends; they nest. The outermost takes the machine's inhibitor lock with
// `diag` told (-v) when there is none to take; the end releases it.
void BeginWrite(Diagnostics& diag);
void EndWrite();

// Keeps the machine from sleeping and from shutting down while it lives; `Held()` false where the
// system offers no such lock (the reason went to `diag`).
class SleepInhibitor {
 public:
  SleepInhibitor(std::string_view why, Diagnostics& diag);
  ~SleepInhibitor();
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// What the user reads in the system's list of inhibitors.
inline constexpr std::string_view kInhibitReason =
    "Writing the firmware of a storage bridge; turning off now could leave the bridge unusable";

}  // namespace qvfw::platform
