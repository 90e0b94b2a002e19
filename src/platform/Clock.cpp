#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <exception>
#include <thread>

namespace qvfw::platform {

void Clock::RunParallel(std::span<const std::function<void()>> jobs) {
  std::vector<std::exception_ptr> failures(jobs.size());
  std::vector<std::thread> threads;
  threads.reserve(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        jobs[i]();
      } catch (...) {
        failures[i] = std::current_exception();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);
}

void SteadyClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
void SteadyClock::SleepUs(uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

uint64_t SteadyClock::NowMs() const { return NowUs() / 1000; }

uint64_t SteadyClock::NowUs() const {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

struct VirtualClock::Lane {
  const VirtualClock* clock = nullptr;
  size_t number = 0;
  uint64_t nowUs = 0;
  bool ended = false;
  std::condition_variable turn;  // signalled when this lane gets its turn
};

struct VirtualClock::Turns {
  std::mutex mutex;
  std::vector<std::unique_ptr<Lane>> lanes;
  size_t running = 0;  // the lane whose turn it is; lanes.size() when all have ended

  // The lane with the earliest time gets the turn; true when it is not `self`.
  void Pass() {
    running = lanes.size();
    for (size_t i = 0; i < lanes.size(); ++i) {
      if (lanes[i]->ended) continue;
      if (running == lanes.size() || lanes[i]->nowUs < lanes[running]->nowUs) running = i;
    }
    if (running < lanes.size()) lanes[running]->turn.notify_one();
  }
  void AwaitTurn(std::unique_lock<std::mutex>& lock, Lane& lane) {
    lane.turn.wait(lock, [&] { return running == lane.number; });
  }
};

namespace {
thread_local VirtualClock::Lane* t_lane = nullptr;  // NOLINT: the calling thread's timeline
}  // namespace

VirtualClock::VirtualClock() = default;
VirtualClock::~VirtualClock() = default;

VirtualClock::Lane* VirtualClock::CurrentLane() const {
  return t_lane != nullptr && t_lane->clock == this ? t_lane : nullptr;
}

uint64_t VirtualClock::NowUs() const {
  const Lane* lane = CurrentLane();
  return lane ? lane->nowUs : nowUs_;
}

void VirtualClock::SleepUs(uint64_t us) {
  Lane* lane = CurrentLane();
  if (!lane) {
    nowUs_ += us;
    return;
  }
  std::unique_lock lock(turns_->mutex);
  lane->nowUs += us;
  turns_->Pass();
  turns_->AwaitTurn(lock, *lane);
}

void VirtualClock::RunParallel(std::span<const std::function<void()>> jobs) {
  if (CurrentLane() != nullptr || jobs.size() <= 1) {
    // Nested, or nothing to interleave: the jobs run one after the other on the caller's time.
    for (const auto& job : jobs) job();
    return;
  }
  turns_ = std::make_unique<Turns>();
  for (size_t i = 0; i < jobs.size(); ++i) {
    auto lane = std::make_unique<Lane>();
    lane->clock = this;
    lane->number = i;
    lane->nowUs = nowUs_;
    turns_->lanes.push_back(std::move(lane));
  }
  std::vector<std::exception_ptr> failures(jobs.size());
  std::vector<std::thread> threads;
  threads.reserve(jobs.size());
  {
    std::lock_guard lock(turns_->mutex);
    turns_->running = 0;
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([this, &jobs, &failures, i] {
      Lane& lane = *turns_->lanes[i];
      t_lane = &lane;
      {
        std::unique_lock lock(turns_->mutex);
        turns_->AwaitTurn(lock, lane);
      }
      try {
        jobs[i]();
      } catch (...) {
        failures[i] = std::current_exception();
      }
      t_lane = nullptr;
      std::lock_guard lock(turns_->mutex);
      lane.ended = true;
      turns_->Pass();
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& lane : turns_->lanes) nowUs_ = std::max(nowUs_, lane->nowUs);
  turns_.reset();
  for (const auto& f : failures)
    if (f) std::rethrow_exception(f);
}

}  // namespace qvfw::platform
