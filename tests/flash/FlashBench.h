#pragma once
// The rigs of the procedure tests: a bridge over a flash (or a disk) whose every byte is known
// beforehand, images written to files, the failures after the erase that every flash procedure
// must report, and the unplug-at-every-command campaign that every procedure runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "support/AppRig.h"
#include "support/Campaign.h"

namespace qvfw::flash::bench {

using testing::EmulatedApp;

// Bytes that differ from their neighbours, from the bytes 256, 64 Ki and 16 Mi further on, and
// from the same bytes of another seed: a piece written to the wrong place or read back shifted
// never passes for the right one.
inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8) + (i >> 16));
  return v;
}

// `image` followed by zeros up to `size` bytes.
inline std::vector<uint8_t> Padded(const std::vector<uint8_t>& image, size_t size) {
  std::vector<uint8_t> v(std::max(size, image.size()), 0);
  std::copy(image.begin(), image.end(), v.begin());
  return v;
}

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The run ended in success; where it did not, the outcome's code and texts say why.
inline ::testing::AssertionResult IsSuccess(const app::EngineeringOutcome& o) {
  if (o.code() == app::OutcomeCode::Success) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << app::OutcomeCodeName(o.code()) << ": " << o.outcome.statusText << " / "
                                       << o.outcome.reason;
}

// The box most procedures show after a change of the flash.
inline const char* const kPowerCycle = "Message: Please Turn-Off the Power and Turn-On Again!";

// The application over one emulated bridge, and the options of the panel's three operations.
// `first` is the first request of the last run.
struct ProcedureRig : EmulatedApp {
  app::EngineeringOptions Options() const {
    app::EngineeringOptions o;
    o.stateDirectory = ctx.stateDirectory;
    return o;
  }
  std::string WriteImage(const std::vector<uint8_t>& bytes, const char* name = "image.bin") {
    const auto p = dir.path() / name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }
  app::EngineeringOptions Program(const std::vector<uint8_t>& image) {
    app::EngineeringOptions o = Options();
    o.firmwareFile = WriteImage(image);
    return o;
  }
  app::EngineeringOptions Erase() const {
    app::EngineeringOptions o = Options();
    o.eraseOnly = true;
    return o;
  }
  app::EngineeringOptions Backup(const char* name) const {
    app::EngineeringOptions o = Options();
    o.backupOnly = true;
    o.backupFile = (dir.path() / name).string();
    return o;
  }
  app::EngineeringOutcome Run(const app::EngineeringOptions& o) {
    first = tap.requests.size();
    return app::RunEngineering(ctx, 0, o);
  }
  // The panel after a run: `status` in the status box and `box` the one message shown.
  void ExpectPanel(const std::string& status, const std::string& box) const {
    EXPECT_EQ(ctx.form.StatusEdit.text, status);
    EXPECT_EQ(MessageTexts(), std::vector<std::string>{box});
  }
  std::vector<uint8_t> FlashRange(uint32_t from, uint32_t to) {
    return {Flash().data().begin() + from, Flash().data().begin() + to};
  }
  size_t first = 0;
};

// One bridge of `chipType` over a flash whose every byte is known beforehand.
struct Bench : ProcedureRig {
  Bench(uint8_t chipType, const char* maker, uint32_t kib, platform::Bus bus = platform::Bus::Usb, uint8_t revision = 0) {
    sim::BridgeConfig c = sim::FamilyConfig(chipType, revision);
    c.bootCheck = false;
    AddBridge(c, sim::FlashPreset(maker, kib), bus);
    Flash().data() = Pattern(kib * 1024, 0x31);
    before = Flash().data();
    Start();
  }
  std::vector<uint8_t> Before(uint32_t from, uint32_t to) { return {before.begin() + from, before.begin() + to}; }
  std::vector<uint8_t> before;
};

// What a flash procedure must report when a step after its erase goes wrong: a refused write, a
// refused erase, a read-back that differs from the image. Each is a failure with the procedure's
// own text, no box, and a recovery copy of the flash as it was.
struct AfterTheErase {
  uint8_t chip;
  uint32_t imageSize;
  uint32_t flipAt;  // the flash byte whose bit drops once the writes have begun
  const char* refusedWrite;
  const char* refusedErase;
  const char* mismatch;
};

inline void ExpectFailuresAfterTheErase(const AfterTheErase& p) {
  struct Case {
    const char* name;
    std::vector<uint8_t> failPrefix;  // a command that fails every time
    bool flip;                        // the read-back of the verification differs
    const char* status;
  };
  const Case cases[] = {
      {"refused write", {0xFF, 0x04, 0x11}, false, p.refusedWrite},
      {"refused erase", {0xFF, 0x04, 0x14}, false, p.refusedErase},
      {"mismatch", {}, true, p.mismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(p.chip, "WINBOND", 64);
    if (!c.failPrefix.empty()) b.FailAlways(0, c.failPrefix);
    // A bit that drops in the flash once the writes have begun: the verification sees it.
    bool writing = false, flipped = false;
    if (c.flip) {
      b.tap.before = [&](const testing::TappedRequest& r) {
        writing = writing || r.StartsWith({0xFF, 0x04, 0x11});
        if (writing && !flipped && r.StartsWith({0xFF, 0x04, 0x10})) {
          b.Flash().data()[p.flipAt] ^= 0x01;
          flipped = true;
        }
      };
    }
    const app::EngineeringOutcome o = b.Run(b.Program(Pattern(p.imageSize, 4)));
    EXPECT_EQ(o.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, c.status);
    EXPECT_TRUE(b.MessageTexts().empty());
    EXPECT_EQ(ReadFile(o.recoveryFile), b.before);
    b.tap.before = nullptr;
  }
}

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
  auto make = [&] {
    auto b = std::make_unique<Bench>(c.chip, c.maker, c.kib, c.Bus(), c.revision);
    if (c.sst25) b->ctx.state.Sst25Flag = 1;
    return b;
  };
  auto run = [&](Bench& b) { return b.Run(c.erase ? b.Erase() : b.Program(Pattern(c.imageSize, 9))); };
  int withCopy = 0, successes = 0, differing = 0, changedWithoutCopy = 0;
  const testing::CampaignFigures figures = testing::FaultAtEveryCommand(
      sim::Fault::Kind::Unplug, make, run, [&](Bench& b, const app::EngineeringOutcome& out, uint64_t i) {
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
      });
  EXPECT_GT(figures.commands, 10u);
  EXPECT_EQ(figures.faulted, figures.commands) << "every command";
  EXPECT_GT(withCopy, 0);
  std::printf("campaign %s: %llu runs, %d successes, %d with a recovery copy, %d copies differing, "
              "%d changed without a copy\n",
              c.name, static_cast<unsigned long long>(figures.faulted), successes, withCopy, differing,
              changedWithoutCopy);
}

}  // namespace qvfw::flash::bench
