// The whole-image procedure end to end: Run's core against emulated bridges of the older USB
// families, checked on the emulated flash and on the short flash commands that went over the wire.

#include "flash/WholeImage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/FirmwareChoice.h"
#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using namespace bench;

// Short flash commands (FF 04 op) sent since request `from`: their addresses and data lengths.
struct ShortCommand {
  uint32_t address;
  size_t length;
};
std::vector<ShortCommand> Sent(const testing::Tap& tap, size_t from, uint8_t op) {
  std::vector<ShortCommand> out;
  for (size_t i = from; i < tap.requests.size(); ++i) {
    const auto& r = tap.requests[i];
    if (r.StartsWith({0xFF, 0x04, op}))
      out.push_back({uint32_t(r.cdb[3] << 16 | r.cdb[4] << 8 | r.cdb[5]), r.dataOut.size()});
  }
  return out;
}
std::vector<uint32_t> Addresses(const std::vector<ShortCommand>& v) {
  std::vector<uint32_t> out;
  for (const auto& c : v) out.push_back(c.address);
  return out;
}

TEST(WholeImage, ImageSizesDecideTheEraseAndTheNvramBlock) {
  struct Case {
    uint32_t imageSize;
    std::vector<uint32_t> sectorErases;
    bool chipErase;
    size_t writeSteps;
    bool nvramWrittenBack;
  };
  const Case cases[] = {
      {20 * 1024, {0}, false, 4, true},
      {40 * 1024, {0, 0x8000}, false, 5, false},
      {96 * 1024, {}, true, 12, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.imageSize);
    Bench b(1, "WINBOND", 128);  // 32 KiB sector erase
    ASSERT_EQ(b.ctx.state.CurrentChipType, 1);
    const size_t from = b.tap.requests.size();
    const std::vector<uint8_t> image = Pattern(c.imageSize, 0x5A);
    const app::EngineeringOutcome o = b.Run(b.Program(image));
    ASSERT_TRUE(IsSuccess(o));
    b.ExpectPanel("Programming Success!!", "Message: Please Turn-Off the Power and Turn-On Again !");

    const uint32_t z = std::max<uint32_t>(c.imageSize, 0x8000);
    EXPECT_EQ(b.FlashRange(0, z), Padded(image, z));
    EXPECT_EQ(Addresses(Sent(b.tap, from, 0x14)), c.sectorErases);
    EXPECT_EQ(Sent(b.tap, from, 0x13).size(), c.chipErase ? 1u : 0u);
    std::vector<ShortCommand> writes = Sent(b.tap, from, 0x11);
    if (c.nvramWrittenBack) {
      ASSERT_FALSE(writes.empty());
      EXPECT_EQ(writes.back().address, kWholeImageNvram);
      EXPECT_EQ(writes.back().length, kWholeImageNvramSize);
      writes.pop_back();
      // The 32 KiB erase at 0 left the rest alone, the NVRAM block included.
      EXPECT_EQ(b.FlashRange(0x8000, 0x20000), b.Before(0x8000, 0x20000));
    }
    ASSERT_EQ(writes.size(), c.writeSteps);
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].address, i * 8192);
      EXPECT_EQ(writes[i].length, 8192u);
    }
    if (c.chipErase) {
      EXPECT_EQ(b.FlashRange(z, 0x20000), std::vector<uint8_t>(0x20000 - z, 0xFF));
    }
    // The recovery copy is the whole flash as it was.
    EXPECT_EQ(ReadFile(o.recoveryFile), b.before);
    b.tap.before = nullptr;
  }
}

// A flash whose sector erase clears 64 KiB: the NVRAM block of a small image is erased with it
// and must come back. The part starts write-protected: the procedure lifts the protection of
// MXIC parts first, or nothing would be erased.
TEST(WholeImage, SmallImageKeepsTheNvramBlockWhereTheEraseClearsIt) {
  Bench b(5, "MXIC", 64);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 5);
  b.Flash().SetStatusBits(0x1C);
  const std::vector<uint8_t> image = Pattern(0x3000, 0x11);
  ASSERT_TRUE(IsSuccess(b.Run(b.Program(image))));
  EXPECT_EQ(b.FlashRange(0, 0x8000), Padded(image, 0x8000));
  EXPECT_EQ(b.FlashRange(0x8000, 0x8200), b.Before(0x8000, 0x8200));
  EXPECT_EQ(b.FlashRange(0x8200, 0x10000), std::vector<uint8_t>(0x10000 - 0x8200, 0xFF));
}

TEST(WholeImage, AmicClasses) {
  struct Case {
    const char* name;
    const char* part;
    uint8_t classByte;  // JEDEC byte 3 of the 7F 37 20 parts
    int forcedClass;    // 0: as detected
    uint32_t imageSize;
    std::vector<uint32_t> sectorErases;  // empty and not success: refused
    bool success;
  };
  const Case cases[] = {
      {"class 1, 64 KiB", "AMIC-A25P05B", 0x12, 0, 0x10000, {0, 0x1000, 0x3000, 0x7000, 0xF000}, true},
      {"class 3, 20 KiB", "AMIC-A25P05B", 0x11, 0, 0x5000, {0, 0x1000, 0x3000, 0x7000}, true},
      {"class 5, 40 KiB", "AMIC-A25P05B", 0x10, 0, 0xA000, {0, 0x1000, 0x3000, 0x7000, 0xF000}, true},
      {"class 4 programs as any flash", "AMIC-A25P", 0x20, 0, 0xA000, {0, 0x8000}, true},
      {"class 2 is refused", "AMIC-A25P", 0x20, 2, 0x10000, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProcedureRig rig;
    sim::FlashPart part = sim::FlashPreset(c.part, 64);
    part.jedec[3] = c.classByte;
    rig.AddBridge(sim::FamilyConfig(3), part);
    rig.Flash().data() = Pattern(0x10000, 0x31);
    const std::vector<uint8_t> before = rig.Flash().data();
    rig.Start();
    ASSERT_EQ(rig.ctx.state.CurrentChipType, 3);
    if (c.forcedClass != 0) rig.ctx.state.AmicClass = c.forcedClass;
    const size_t from = rig.tap.requests.size();
    const std::vector<uint8_t> image = Pattern(c.imageSize, 0x66);
    // The ids of these parts tell no size (7F 37 20 and a class byte), so no copy of the whole
    // flash can be kept: they are programmed without one, as --no-backup asks.
    app::EngineeringOptions o = rig.Program(image);
    o.skipRecovery = true;
    const app::EngineeringOutcome out = rig.Run(o);
    EXPECT_EQ(Addresses(Sent(rig.tap, from, 0x14)), c.sectorErases);
    const auto& d = rig.Flash().data();
    if (!c.success) {
      EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
      EXPECT_EQ(rig.ctx.form.StatusEdit.text, "Not Support this AMIC Flash Type!!");
      EXPECT_EQ(d, before);
      EXPECT_TRUE(Sent(rig.tap, from, 0x11).empty());
      EXPECT_FALSE(std::filesystem::exists(rig.ctx.stateDirectory)) << "nothing to keep when nothing changes";
      continue;
    }
    ASSERT_TRUE(IsSuccess(out));
    const uint32_t z = std::max<uint32_t>(c.imageSize, 0x8000);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + z), Padded(image, z));
    if (c.imageSize <= 0x8000) {
      // The 32 KiB sector at 0x7000 took the NVRAM block with it; it was written back. The last
      // 4 KiB sector was not erased.
      EXPECT_EQ(std::vector<uint8_t>(d.begin() + 0x8000, d.begin() + 0x8200),
                std::vector<uint8_t>(before.begin() + 0x8000, before.begin() + 0x8200));
      EXPECT_EQ(std::vector<uint8_t>(d.begin() + 0xF000, d.end()), std::vector<uint8_t>(before.begin() + 0xF000, before.end()));
    }
  }
}

TEST(WholeImage, TransferUnitOf256AfterAnIeee1394Run) {
  ProcedureRig rig;
  sim::BridgeConfig firewire = sim::FamilyConfig(8);
  rig.AddBridge(firewire, sim::FlashPreset("WINBOND", 64), platform::Bus::Ieee1394);
  rig.AddBridge(sim::FamilyConfig(1), sim::FlashPreset("WINBOND", 64));
  rig.Start();
  ASSERT_EQ(rig.ctx.state.CurrentChipType, 8);
  app::EngineeringOptions backup;
  backup.backupOnly = true;
  backup.backupFile = (rig.dir.path() / "qvb787.bak").string();
  ASSERT_TRUE(IsSuccess(app::RunEngineering(rig.ctx, 0, backup)));

  rig.ctx.form.DeviceList.Select(1);
  app::UpdateBtnCheck(rig.ctx);
  ASSERT_EQ(rig.ctx.state.CurrentChipType, 1);
  const std::vector<uint8_t> image = Pattern(0x8000, 0x21);
  const app::EngineeringOptions o = rig.Program(image);
  const size_t from = rig.tap.requests.size();
  ASSERT_TRUE(IsSuccess(app::RunEngineering(rig.ctx, 1, o)));
  std::vector<ShortCommand> writes = Sent(rig.tap, from, 0x11);
  writes.pop_back();  // the NVRAM block
  ASSERT_EQ(writes.size(), 128u) << "32 steps per 8 KiB";
  for (const auto& w : writes) EXPECT_EQ(w.length, 256u);
  const auto& d = rig.Flash(1).data();
  EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 0x8000), image);
}

TEST(WholeImage, EraseOnlyAndBackupOnly) {
  {
    Bench b(4, "WINBOND", 64);
    const app::EngineeringOutcome out = b.Run(b.Erase());
    ASSERT_TRUE(IsSuccess(out));
    b.ExpectPanel("Erase flash all success!", kPowerCycle);
    EXPECT_EQ(b.Flash().data(), std::vector<uint8_t>(0x10000, 0xFF));
    EXPECT_EQ(ReadFile(out.recoveryFile), b.before);
  }
  {
    // The default name of these families is "oldflash.bak", in the working directory.
    Bench b(4, "WINBOND", 64);
    app::EngineeringOptions o;
    o.backupOnly = true;
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(b.dir.path());
    const app::EngineeringOutcome out = b.Run(o);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(IsSuccess(out));
    EXPECT_EQ(b.ctx.form.StatusEdit.text, "Read flash and backup success!");
    EXPECT_EQ(ReadFile(b.dir.path() / "oldflash.bak"), b.before);
    EXPECT_EQ(b.MessageTexts(), std::vector<std::string>{"Message: Default backup firmware as OldFalsh.bak!"});
    EXPECT_TRUE(out.recoveryFile.empty());
  }
}

// The QVB789 on the flash that answers 8C 21 15: after the erase, 512 sector erases 32 KiB apart,
// each read back as two 16 KiB halves.
TEST(WholeImage, EraseOnlySectorScanOfTheQvb789) {
  Bench b(11, "ESMT", 2048);
  ASSERT_EQ(b.ctx.state.CurrentChipType, 11);
  ASSERT_EQ(b.ctx.state.FlashSizeKiB, 2048);
  const size_t from = b.tap.requests.size();
  app::EngineeringOptions o = b.Erase();
  o.includeNvram = true;
  const app::EngineeringOutcome out = b.Run(o);
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.Flash().data(), std::vector<uint8_t>(2048 * 1024, 0xFF));
  const std::vector<uint32_t> erases = Addresses(Sent(b.tap, from, 0x14));
  ASSERT_EQ(erases.size(), 512u);
  for (size_t i = 0; i < erases.size(); ++i) ASSERT_EQ(erases[i], i * 0x8000);
  EXPECT_EQ(Sent(b.tap, from, 0x13).size(), 1u) << "the chip erase comes first";
  EXPECT_EQ(ReadFile(out.recoveryFile), b.before) << "the whole 2 MiB";
}

TEST(WholeImage, FailuresAreNeverSuccess) {
  ExpectFailuresAfterTheErase({.chip = 1,
                               .imageSize = 0x10000,
                               .flipAt = 0x1234,
                               .refusedWrite = "Programming Fail!!",
                               .refusedErase = "Erase command fail!!",
                               .mismatch = "Compare Fail!!\r\n\r\n"});
}

TEST(UnplugAtEveryCommand, ProgramQv40778WholeImage) {
  UnplugAtEveryCommand({"program QV40778 (whole image)", 1, "WINBOND", 64, false, 0x5000});
}
TEST(UnplugAtEveryCommand, EraseQv40776WholeImage) {
  UnplugAtEveryCommand({"erase QV40776 (whole image)", 5, "MXIC", 64, true});
}

}  // namespace
}  // namespace qvfw::flash
