// The loader-based procedure of the QVS810 end to end: Run's core against an emulated bridge with
// the RAM-buffer loader, checked on the emulated flash and on the requests that went over the wire.

#include "flash/Loader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "app/UpdateImage.h"
#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using namespace bench;

uint32_t Be32(const std::vector<uint8_t>& cdb, size_t at) {
  return uint32_t(cdb[at]) << 24 | uint32_t(cdb[at + 1]) << 16 | uint32_t(cdb[at + 2]) << 8 | cdb[at + 3];
}

// A QVS810 (chip type 26) over a flash whose every byte is known beforehand.
struct LoaderBench : ProcedureRig {
  explicit LoaderBench(uint32_t kib = 512) {
    AddBridge(sim::FamilyConfig(26), sim::FlashPreset("GIGADEVICE", kib));
    Flash().data() = Pattern(kib * 1024, 0x5D);
    before = Flash().data();
    Start();
  }
  // The requests of the last run that start with `op`.
  std::vector<testing::TappedRequest> Sent(uint8_t op) const {
    std::vector<testing::TappedRequest> out;
    for (size_t i = first; i < tap.requests.size(); ++i)
      if (tap.requests[i].cdb[0] == op) out.push_back(tap.requests[i]);
    return out;
  }
  std::vector<uint8_t> before;
};

// What the flash must hold after programming `file`: zero-padded to 256 KiB with both halves'
// RAM-download headers stamped.
std::vector<uint8_t> Stamped(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> image(std::max<size_t>(file.size(), kLoaderBackupLength), 0);
  std::copy(file.begin(), file.end(), image.begin());
  app::PrepareDualBankImage(std::span(image).first(kLoaderBackupLength));
  return image;
}

TEST(Loader, A256KiBImageIn512BlocksAnd1024ProgramSteps) {
  LoaderBench b;
  ASSERT_EQ(b.ctx.state.CurrentChipType, 26);
  const std::vector<uint8_t> file = Pattern(0x40000, 0x17);
  const app::EngineeringOutcome o = b.Run(b.Program(file));
  ASSERT_TRUE(IsSuccess(o));
  b.ExpectPanel("Programming Success!!", kPowerCycle);

  EXPECT_EQ(b.Sent(0xB4).size(), 1u) << "one whole-flash erase";
  EXPECT_EQ(b.Sent(0xB4)[0].cdb[11], 0x60) << "mode 3";
  EXPECT_EQ(b.Sent(0xB2).size(), 512u);
  const auto steps = b.Sent(0xB3);
  ASSERT_EQ(steps.size(), 1024u);
  for (uint32_t k = 0; k < steps.size(); ++k) {
    ASSERT_EQ(Be32(steps[k].cdb, 2), k * 256) << "step " << k;
    ASSERT_EQ(steps[k].cdb[8] << 8 | steps[k].cdb[9], k % 2 == 0 ? 0xC800 : 0xC900) << "step " << k;
    ASSERT_EQ(steps[k].cdb[6] << 8 | steps[k].cdb[7], 256);
  }
  EXPECT_EQ(b.FlashRange(0, 0x40000), Stamped(file));
  EXPECT_EQ(b.FlashRange(0x40000, 0x80000), std::vector<uint8_t>(0x40000, 0xFF)) << "the whole flash was erased";
  // The recovery copy is all of the flash as it was: the erase cleared all of it.
  ASSERT_FALSE(o.recoveryFile.empty());
  EXPECT_EQ(ReadFile(o.recoveryFile), b.before);
}

TEST(Loader, AShortImageIsPaddedToTheHeaderStamp) {
  LoaderBench b;
  const std::vector<uint8_t> file = Pattern(100 * 1024, 0x44);
  ASSERT_TRUE(IsSuccess(b.Run(b.Program(file))));
  EXPECT_EQ(b.Sent(0xB2).size(), 512u) << "padded to 256 KiB";
  EXPECT_EQ(b.FlashRange(0, 0x40000), Stamped(file));
  EXPECT_EQ(b.FlashRange(100 * 1024, 0x20000), std::vector<uint8_t>(0x20000 - 100 * 1024, 0));
  EXPECT_EQ(b.FlashRange(0x20200, 0x20204), (std::vector<uint8_t>{0x5A, 0xC3, 0x69, 0xE1}));
}

TEST(Loader, TheHeaderAreasNeverFailTheComparison) {
  struct Case {
    uint32_t address;
    bool passes;
  };
  for (const Case c : {Case{0x200, true}, Case{0x3FF, true}, Case{0x20300, true}, Case{0x1FF, false},
                       Case{0x20400, false}, Case{0x3FFFF, false}}) {
    SCOPED_TRACE(c.address);
    LoaderBench b;
    sim::Fault flip;
    flip.kind = sim::Fault::Kind::FlipBits;
    flip.address = c.address;
    flip.mask = 0x10;
    flip.times = 0;  // every read-back
    b.machine.AddFault(0, flip);
    app::EngineeringOptions o = b.Program(Pattern(0x40000, 3));
    o.skipRecovery = true;
    const app::EngineeringOutcome out = b.Run(o);
    if (c.passes) {
      EXPECT_TRUE(IsSuccess(out));
      EXPECT_EQ(b.Sent(0xB4).size(), 1u);
    } else {
      EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
      EXPECT_EQ(b.ctx.form.StatusEdit.text, "Data compare fail !!");
      EXPECT_EQ(b.Sent(0xB4).size(), 3u) << "three attempts";
      EXPECT_TRUE(b.MessageTexts().empty()) << "no box after failed attempts";
    }
  }
}

TEST(Loader, EraseOnly) {
  {
    LoaderBench b;
    const app::EngineeringOutcome out = b.Run(b.Erase());
    ASSERT_TRUE(IsSuccess(out));
    b.ExpectPanel("Erase flash command success!", kPowerCycle);
    b.clock.Sleep(5000);
    EXPECT_EQ(b.Flash().data(), std::vector<uint8_t>(512 * 1024, 0xFF));
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
  {
    LoaderBench b;
    b.FailAlways(0, {0xB4});
    const app::EngineeringOutcome out = b.Run(b.Erase());
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Erase flash command fail!");
    EXPECT_TRUE(b.MessageTexts().empty()) << "a refused erase shows no box";
    EXPECT_EQ(b.Flash().data(), b.before);
  }
}

TEST(Loader, BackupOf256KiB) {
  LoaderBench b;
  const app::EngineeringOptions o = b.Backup("loader.bak");
  const app::EngineeringOutcome out = b.Run(o);
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Read flash and backup success!");
  EXPECT_EQ(ReadFile(o.backupFile), b.FlashRange(0, 0x40000));
  EXPECT_EQ(b.Sent(0xB6).size(), 512u);

  // The flash-to-RAM reads are refused (the RAM-buffer read also answers the identification).
  LoaderBench refused;
  refused.FailAlways(0, {0xB6});
  const app::EngineeringOptions refusedBackup = refused.Backup("refused.bak");
  const app::EngineeringOutcome r = refused.Run(refusedBackup);
  EXPECT_EQ(r.code(), app::OutcomeCode::Failed);
  EXPECT_EQ(refused.ctx.form.StatusEdit.text, "Read Back to Backup Error!!");
  EXPECT_FALSE(std::filesystem::exists(refusedBackup.backupFile));
}

TEST(Loader, AnImageLargerThanTheFlashChangesNothing) {
  LoaderBench b(256);  // the procedure sizes the flash from its JEDEC id
  const app::EngineeringOutcome out = b.Run(b.Program(Pattern(0x40100, 1)));
  EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
  EXPECT_EQ(b.Sent(0xB4).size(), 0u);
  EXPECT_EQ(b.Flash().data(), b.before);
}

// Unplugged or refused at a command of programming or erasing: the flash was changed only after
// its recovery copy was kept, which equals the flash as it was. Unplugged, the run never succeeds;
// a refused command may be made good by a later attempt, and then the flash holds the image.
void LoaderCampaign(sim::Fault::Kind kind, bool erase, uint64_t stride) {
  const std::vector<uint8_t> file = Pattern(0x40000, 9);
  auto make = [] { return std::make_unique<LoaderBench>(256); };
  auto run = [&](LoaderBench& b) { return b.Run(erase ? b.Erase() : b.Program(file)); };
  int withCopy = 0;
  const testing::CampaignFigures figures = testing::FaultAtEveryCommand(
      kind, make, run,
      [&](LoaderBench& b, const app::EngineeringOutcome& out, uint64_t i) {
        if (out.outcome.Succeeded()) {
          ASSERT_TRUE(kind == sim::Fault::Kind::FailCommand && !erase) << "fault at command " << i;
          ASSERT_EQ(b.FlashRange(0, 0x40000), Stamped(file)) << "command " << i;
        }
        if (!out.recoveryFile.empty()) {
          ++withCopy;
          ASSERT_EQ(ReadFile(out.recoveryFile), b.before) << "command " << i;
        } else {
          ASSERT_EQ(b.Flash().data(), b.before) << "changed without a recovery copy, command " << i;
        }
        EXPECT_EQ(b.ctx.criticalDepth, 0);
      },
      stride);
  EXPECT_GT(figures.commands, 1000u);
  EXPECT_GT(withCopy, 0);
  std::printf("[ campaign ] %llu commands, %llu faulted runs, %d with a recovery copy\n",
              static_cast<unsigned long long>(figures.commands), static_cast<unsigned long long>(figures.faulted), withCopy);
}

// A run costs up to its whole ~3600 commands (1025 for erasing): sampled (see Campaign.h).
TEST(LoaderCampaign, UnplugWhileProgramming) { LoaderCampaign(sim::Fault::Kind::Unplug, false, 97); }
TEST(LoaderCampaign, UnplugWhileErasing) { LoaderCampaign(sim::Fault::Kind::Unplug, true, 17); }
TEST(LoaderCampaign, RefusalWhileProgramming) { LoaderCampaign(sim::Fault::Kind::FailCommand, false, 151); }

}  // namespace
}  // namespace qvfw::flash
