#pragma once
// Every sleep and every time-out goes through a Clock, so that tests and emulated runs can use
// virtual time: a wait of 60 x 500 ms costs nothing, and the emulator's busy times are honoured.

#include <cstdint>

namespace qvfw::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds since an arbitrary, fixed origin.
  virtual uint64_t NowMs() const = 0;
};

class SteadyClock final : public Clock {
 public:
  void Sleep(uint32_t ms) override;
  uint64_t NowMs() const override;
};

// Time advances only when someone sleeps or advances it; shared by the host code and the
// emulator within one run.
class VirtualClock final : public Clock {
 public:
  void Sleep(uint32_t ms) override { now_ += ms; }
  uint64_t NowMs() const override { return now_; }
  void Advance(uint64_t ms) { now_ += ms; }

 private:
  uint64_t now_ = 0;
};

}  // namespace qvfw::platform
