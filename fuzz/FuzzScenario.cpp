// Machine descriptions: whatever the text, loading ends in a machine or in a reason, never in a
// crash; a machine that loads boots every bridge and answers a device listing.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "FuzzAbort.h"
#include "platform/Clock.h"
#include "sim/Scenario.h"

using namespace qvfw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  platform::VirtualClock clock;
  try {
    // Relative file names point into a folder that does not exist.
    auto machine = sim::LoadScenario(text, clock, "/nonexistent-qvfw-fuzz");
    FUZZ_CHECK(machine != nullptr);
    for (size_t i = 0; i < machine->DiskCount(); ++i) {
      FUZZ_CHECK(!machine->DiskName(i).empty());
      if (sim::Bridge* b = machine->BridgeAt(i)) (void)b->RunningVersion();
    }
  } catch (const std::invalid_argument&) {
  } catch (const std::runtime_error&) {
  }
  try {
    sim::ParseFault(text);
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
