// The mutation check of the host: each deliberate host mistake, switched on, must make a
// programming run against the emulated bridge fail. The emulator is the only device these tests
// have, so a mistake that every run survives is one only a user's bridge would find.

#include "device/HostMistakes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using device::HostMistake;
using namespace bench;

// One programming run: a bridge family over a flash, and the image it is given.
struct Scenario {
  const char* name;
  uint8_t chip;
  const char* maker;
  uint32_t kib;
  uint32_t imageSize;
  platform::Bus bus = platform::Bus::Usb;
  uint8_t revision = 0;
  bool sst25 = false;  // the SST-25 flag: the page-program variant of the stepwise procedure
};

// One run of each procedure that talks to the flash through status waits, raw SPI or the DF
// writes. The ST part takes 600 ms for the large sector the FF 04 14 erase clears, longer than
// the whole-image procedure's pause after it.
const Scenario kScenarios[] = {
    {"whole image, QV40778, ST part", 1, "ST/EON/MXIC", 64, 0xA000},
    {"stepwise, QVB784", 7, "WINBOND", 64, 0xC000},
    {"stepwise page program, QV40778", 1, "WINBOND", 64, 0x4000, platform::Bus::Usb, 0, true},
    {"erase-on-write, QVS876", 13, "WINBOND", 64, 0xC000},
    {"erase-on-write, QVS882", 12, "WINBOND", 64, 0xC000, platform::Bus::Usb, 5},
    {"erase-on-write over IEEE 1394, QVB787", 8, "WINBOND", 64, 0x8000, platform::Bus::Ieee1394, 1},
};

// Switches one mistake on for its lifetime.
class Mistake {
 public:
  explicit Mistake(HostMistake m) : saved_(device::TestHooks()) { device::TestHooks() = {m, false}; }
  ~Mistake() { device::TestHooks() = saved_; }
  Mistake(const Mistake&) = delete;
  Mistake& operator=(const Mistake&) = delete;

 private:
  device::HostMistakes saved_;
};

struct Ran {
  bool success = false;
  std::string status;
  std::vector<uint8_t> flash;
};

Ran RunScenario(const Scenario& s, HostMistake m) {
  Bench b(s.chip, s.maker, s.kib, s.bus, s.revision);
  if (s.sst25) b.ctx.state.Sst25Flag = 1;
  const app::EngineeringOptions options = b.Program(Pattern(s.imageSize, 0x5C));
  const Mistake mistake(m);
  const app::EngineeringOutcome o = b.Run(options);
  return {o.code() == app::OutcomeCode::Success, o.outcome.statusText, b.Flash().data()};
}

TEST(HostMistakes, EveryMistakeMakesARunFail) {
  std::vector<Ran> clean;
  for (const Scenario& s : kScenarios) {
    clean.push_back(RunScenario(s, HostMistake::None));
    EXPECT_TRUE(clean.back().success) << s.name << ": " << clean.back().status;
  }
  const HostMistake rows[] = {HostMistake::NoStatusWait,   HostMistake::OneWaitTooFew, HostMistake::WrongLengthField,
                              HostMistake::LongFormOn1394, HostMistake::NoWriteEnable, HostMistake::NoPrepareFlashWrite};
  for (HostMistake m : rows) {
    const std::string row(device::HostMistakeName(m));
    SCOPED_TRACE(row);
    // Caught: the run fails, or it claims success over a flash that differs from the clean run's.
    std::string caughtBy;
    for (size_t i = 0; i < std::size(kScenarios); ++i) {
      const Scenario& s = kScenarios[i];
      const Ran r = RunScenario(s, m);
      std::string how;
      if (!r.success) how = "\"" + r.status + "\"";
      else if (r.flash != clean[i].flash) how = "success claimed, flash differs";
      if (!how.empty()) caughtBy += std::string(caughtBy.empty() ? "" : "; ") + s.name + " (" + how + ")";
    }
    EXPECT_FALSE(caughtBy.empty()) << "no run fails with this mistake";
    std::printf("host mistake %s: caught by %s\n", row.c_str(), caughtBy.empty() ? "nothing" : caughtBy.c_str());
  }
}

}  // namespace
}  // namespace qvfw::flash
