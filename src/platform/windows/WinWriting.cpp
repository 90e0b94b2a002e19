#include <atomic>
#include <csignal>
#include <memory>

#include "platform/Writing.h"

// The window platform's C runtime knows SIGINT and SIGTERM only; nothing here holds off sleep
// (SetThreadExecutionState would) or shutdown yet.
namespace qvfw::platform {
namespace {

std::atomic<int> g_depth{0};  // the workers of a parallel update each count their writes
volatile std::sig_atomic_t g_pending = 0;
volatile std::sig_atomic_t g_noteAlways = 0;
void (*g_previousInt)(int) = SIG_DFL;
void (*g_previousTerm)(int) = SIG_DFL;

extern "C" void OnSignal(int signal) {
  if (g_depth > 0 || g_noteAlways) {
    if (g_pending == 0) g_pending = signal;
    std::signal(signal, OnSignal);
    return;
  }
  std::signal(signal, signal == SIGINT ? g_previousInt : g_previousTerm);
  std::raise(signal);
  std::signal(signal, OnSignal);
}

}  // namespace

SignalDeferral::SignalDeferral(bool noteAlways) {
  g_noteAlways = noteAlways ? 1 : 0;
  g_pending = 0;
  g_previousInt = std::signal(SIGINT, OnSignal);
  g_previousTerm = std::signal(SIGTERM, OnSignal);
}

SignalDeferral::~SignalDeferral() {
  std::signal(SIGINT, g_previousInt);
  std::signal(SIGTERM, g_previousTerm);
}

int PendingSignal() { return g_pending; }

const char* SignalWord(int signal) { return signal == SIGINT ? "interrupted" : signal == SIGTERM ? "terminated" : "signal"; }

void RaisePendingSignal() {
  const int s = g_pending;
  if (s == 0) return;
  std::signal(s, SIG_DFL);
  std::raise(s);
}

bool Writing() { return g_depth > 0; }
void BeginWrite(Diagnostics&) { ++g_depth; }
void EndWrite() {
  int depth = g_depth.load();
  while (depth > 0 && !g_depth.compare_exchange_weak(depth, depth - 1)) {
  }
}

SleepInhibitor::SleepInhibitor(std::string_view, Diagnostics& diag) { diag.Line("sleep and shutdown are not held off during the write on this platform"); }
SleepInhibitor::~SleepInhibitor() = default;

}  // namespace qvfw::platform
