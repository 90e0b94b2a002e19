#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace qvfw::platform {
void SteadyClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint64_t SteadyClock::NowMs() const {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace qvfw::platform
