#pragma once
// What the benchmarks that run the application on the emulated machine share: a shell that shows
// nothing and asks nothing, and the host's clock that counts its own sleeps.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "app/Shell.h"
#include "platform/Clock.h"

namespace qvfw::bench {

class QuietShell final : public app::Shell {
 public:
  void MessageBox(std::string_view, std::string_view, app::MessageIcon) override {}
  bool Ask(std::string_view, std::string_view, bool safe) override { return safe; }
  std::optional<std::string> OpenFileDialog(std::string_view, std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void PumpEvents() override {}
  void DiagnosticsLine(std::string_view) override {}
};

// Forwards to the virtual clock the emulator shares; `slept` sums the host's own waits, `polled`
// the 10 ms pauses of status polling among them, `byLength` the waits by their length.
class HostClock final : public platform::Clock {
 public:
  explicit HostClock(platform::VirtualClock& inner) : inner_(inner) {}
  void Sleep(uint32_t ms) override {
    slept += ms;
    if (ms == 10) polled += ms;
    byLength[ms] += ms;
    inner_.Sleep(ms);
  }
  uint64_t NowMs() const override { return inner_.NowMs(); }
  uint64_t NowUs() const override { return inner_.NowUs(); }
  void RunParallel(std::span<const std::function<void()>> jobs) override { inner_.RunParallel(jobs); }
  uint64_t slept = 0, polled = 0;
  std::map<uint32_t, uint64_t> byLength;  // sleep length in ms -> total ms slept in sleeps of it

 private:
  platform::VirtualClock& inner_;
};

}  // namespace qvfw::bench
