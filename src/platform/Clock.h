#pragma once
// Every sleep and every time-out goes through a Clock, so that tests and emulated runs can use
// virtual time: a wait of 60 x 500 ms costs nothing, and the emulator's busy times are honoured.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace qvfw::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t ms) = 0;
  // Milliseconds since an arbitrary, fixed origin.
  virtual uint64_t NowMs() const = 0;
  // The same in microseconds, for models that charge costs finer than a millisecond.
  virtual uint64_t NowUs() const { return NowMs() * 1000; }
  virtual void SleepUs(uint64_t us) { Sleep(static_cast<uint32_t>((us + 999) / 1000)); }

  // Runs every job at once, each in a thread of its own, and returns when all have ended. A job
  // that throws does not stop the others; the first exception is rethrown once all have ended.
  virtual void RunParallel(std::span<const std::function<void()>> jobs);
};

class SteadyClock final : public Clock {
 public:
  void Sleep(uint32_t ms) override;
  uint64_t NowMs() const override;
  uint64_t NowUs() const override;
  void SleepUs(uint64_t us) override;
};

// Time advances only when someone sleeps or advances it; shared by the host code and the
// emulator within one run.
//
// Parallel jobs each get a timeline of their own that starts at the caller's time: a job's
// sleeps advance its own time only, so N jobs that each wait a second take a second together,
// as N devices worked on at once would. The jobs take turns: the one that runs is always the one
// whose time is earliest (the lowest job number among equals), and it runs until it sleeps. Time
// seen by any shared model (a bus several devices share) therefore only moves forward, and a run
// is the same every time. When all have ended, the caller's time is the latest job's end.
class VirtualClock final : public Clock {
 public:
  VirtualClock();
  ~VirtualClock() override;
  void Sleep(uint32_t ms) override { SleepUs(uint64_t{ms} * 1000); }
  uint64_t NowMs() const override { return NowUs() / 1000; }
  uint64_t NowUs() const override;
  void SleepUs(uint64_t us) override;
  // Moves the caller's time on (the window's timer loop follows the wall clock with it).
  void Advance(uint64_t ms) { SleepUs(ms * 1000); }
  void RunParallel(std::span<const std::function<void()>> jobs) override;

  struct Lane;  // one parallel job's timeline

 private:
  struct Turns;
  Lane* CurrentLane() const;

  uint64_t nowUs_ = 0;
  std::unique_ptr<Turns> turns_;  // while jobs run in parallel
};

}  // namespace qvfw::platform
