#pragma once
// The rig of the procedure tests: one bridge over a flash whose every byte is known beforehand,
// images written to files, and the unplug-at-every-command campaign that every procedure runs.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "support/AppRig.h"

namespace qvfw::flash::bench {

using testing::EmulatedApp;

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
  return v;
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// One bridge of `chipType` over a flash whose every byte is known beforehand.
struct Bench : EmulatedApp {
  Bench(uint8_t chipType, const char* maker, uint32_t kib, platform::Bus bus = platform::Bus::Usb, uint8_t revision = 0) {
    sim::BridgeConfig c = sim::FamilyConfig(chipType, revision);
    c.bootCheck = false;
    AddBridge(c, sim::FlashPreset(maker, kib), bus);
    Flash().data() = Pattern(kib * 1024, 0x31);
    before = Flash().data();
    Start();
  }
  std::string WriteImage(const std::vector<uint8_t>& bytes, const char* name = "image.bin") {
    const auto p = dir.path() / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }
  app::EngineeringOutcome Run(const app::EngineeringOptions& o) { return app::RunEngineering(ctx, 0, o); }
  app::EngineeringOptions Program(const std::vector<uint8_t>& image) {
    app::EngineeringOptions o;
    o.firmwareFile = WriteImage(image);
    o.stateDirectory = ctx.stateDirectory;
    return o;
  }
  std::vector<uint8_t> FlashRange(uint32_t from, uint32_t to) {
    return {Flash().data().begin() + from, Flash().data().begin() + to};
  }
  std::vector<uint8_t> Before(uint32_t from, uint32_t to) { return {before.begin() + from, before.begin() + to}; }
  std::vector<uint8_t> before;
};

// Unplug at every command of an operation: never a success, never a crash, and the recovery copy
// (where one was written) always equals the flash as it was before; without a copy the flash is
// unchanged. The figures go to the test's output.
struct Campaign {
  const char* name;
  uint8_t chip;
  const char* maker;
  uint32_t kib;
  bool erase;
  uint32_t imageSize = 0xC000;
  uint8_t revision = 0;
  bool sst25 = false;  // the SST-25 flag as the check would leave it
  platform::Bus Bus() const { return chip == 8 ? platform::Bus::Ieee1394 : platform::Bus::Usb; }
};

inline void UnplugAtEveryCommand(const Campaign& c) {
  SCOPED_TRACE(c.name);
  auto options = [&](Bench& b) {
    app::EngineeringOptions o = c.erase ? app::EngineeringOptions{} : b.Program(Pattern(c.imageSize, 9));
    o.eraseOnly = c.erase;
    o.stateDirectory = b.ctx.stateDirectory;
    return o;
  };
  uint64_t commands = 0;
  {
    Bench clean(c.chip, c.maker, c.kib, c.Bus(), c.revision);
    if (c.sst25) clean.ctx.state.Sst25Flag = 1;
    const uint64_t start = clean.machine.CommandCount(0);
    const app::EngineeringOutcome out = clean.Run(options(clean));
    ASSERT_EQ(out.code(), app::OutcomeCode::Success) << out.outcome.statusText << " / " << out.outcome.reason;
    commands = clean.machine.CommandCount(0) - start;
  }
  ASSERT_GT(commands, 10u);
  int withCopy = 0, successes = 0, differing = 0, changedWithoutCopy = 0;
  for (uint64_t i = 0; i < commands; ++i) {
    Bench b(c.chip, c.maker, c.kib, c.Bus(), c.revision);
    if (c.sst25) b.ctx.state.Sst25Flag = 1;
    const app::EngineeringOptions o = options(b);
    sim::Fault unplug;
    unplug.kind = sim::Fault::Kind::Unplug;
    unplug.atCommand = b.machine.CommandCount(0) + i;
    b.machine.AddFault(0, unplug);
    const app::EngineeringOutcome out = b.Run(o);
    if (out.outcome.Succeeded()) {
      ++successes;
      ADD_FAILURE() << "unplugged at command " << i << ": " << out.outcome.statusText;
    }
    if (!out.recoveryFile.empty()) {
      ++withCopy;
      if (ReadFile(out.recoveryFile) != b.before) {
        ++differing;
        ADD_FAILURE() << "the recovery copy differs from the flash as it was, command " << i;
      }
    } else if (b.Flash().data() != b.before) {
      ++changedWithoutCopy;
      ADD_FAILURE() << "changed without a recovery copy, command " << i;
    }
    EXPECT_EQ(b.ctx.criticalDepth, 0);
  }
  EXPECT_GT(withCopy, 0);
  std::printf("campaign %s: %llu runs, %d successes, %d with a recovery copy, %d copies differing, "
              "%d changed without a copy\n",
              c.name, static_cast<unsigned long long>(commands), successes, withCopy, differing, changedWithoutCopy);
}

}  // namespace qvfw::flash::bench
