#include "platform/Writing.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <mutex>

namespace qvfw::platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Writes in progress; the workers of a parallel update each count theirs. Lock-free, so the
// signal handler may read it.
std::atomic<int> g_depth{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::mutex g_writeMutex;
volatile std::sig_atomic_t g_pending = 0;
volatile std::sig_atomic_t g_noteAlways = 0;
struct sigaction g_previous[4];
std::unique_ptr<SleepInhibitor> g_inhibitor;

extern "C" void OnSignal(int signal) {
  if (g_depth > 0 || g_noteAlways) {
    if (g_pending == 0) g_pending = signal;
    return;
  }
  // Not writing: what the signal did before, now.
  for (size_t i = 0; i < 4; ++i)
    if (kSignals[i] == signal) ::sigaction(signal, &g_previous[i], nullptr);
  std::raise(signal);
  struct sigaction again {};
  again.sa_handler = OnSignal;
  sigemptyset(&again.sa_mask);
  again.sa_flags = SA_RESTART | SA_NODEFER;
  ::sigaction(signal, &again, nullptr);  // an earlier handler that returned: noting goes on
}

}  // namespace

SignalDeferral::SignalDeferral(bool noteAlways) {
  g_noteAlways = noteAlways ? 1 : 0;
  g_pending = 0;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NODEFER;  // a raise from the handler reaches the earlier action at once
  for (size_t i = 0; i < 4; ++i) ::sigaction(kSignals[i], &action, &g_previous[i]);
}

SignalDeferral::~SignalDeferral() {
  for (size_t i = 0; i < 4; ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
}

int PendingSignal() { return g_pending; }

const char* SignalWord(int signal) {
  switch (signal) {
    case SIGINT: return "interrupted";
    case SIGTERM: return "terminated";
    case SIGHUP: return "hang-up";
    case SIGQUIT: return "quit";
  }
  return "signal";
}

void RaisePendingSignal() {
  const int s = g_pending;
  if (s == 0) return;
  std::signal(s, SIG_DFL);
  std::raise(s);
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

}  // namespace qvfw::platform
