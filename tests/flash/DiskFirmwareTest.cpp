// The disk-resident firmware procedure end to end: Run's core against an emulated QV40776 without
// flash, checked on the emulated disk (its contents and the log of every block written) and on
// what the panel showed.

#include "flash/DiskFirmware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Engineering.h"
#include "flash/FlashBench.h"

namespace qvfw::flash {
namespace {

using namespace bench;

constexpr uint64_t kAbove2To32 = 0x1'2345'6789;
constexpr uint32_t kSpan = 0x40000;  // the bytes of the area the tests look at

// A QV40776 without flash over a disk of `sectors` blocks of `sectorSize` bytes. With a reserved
// area, its marker in the first block past the capacity makes the firmware area begin at the
// capacity rounded up to 256 blocks; without one, the area falls inside the user's blocks. The
// area (and what lies around it) holds a known pattern before the run.
struct DiskBench : ProcedureRig {
  DiskBench(uint64_t sectors, uint32_t sectorSize, bool reserved, bool flag = false)
      : sectors(sectors), sectorSize(sectorSize) {
    const uint64_t rounded = (sectors + 255) / 256 * 256;
    if (reserved) {
      marker = static_cast<uint32_t>(rounded + (flag ? 256 : 257));
      x = rounded;
    } else {
      const uint64_t last = sectors - 1;
      marker = static_cast<uint32_t>(sectors >= (uint64_t{1} << 32) ? uint32_t(sectors) - 1 : last) + (flag ? 1 : 0);
      x = ((((sectors >> 32) << 32) | marker) - (flag ? 0 : 1)) / 256 * 256 - 256;
    }
    sim::BridgeConfig c =
        testing::Qv40776WithoutFlash(sectors, sectorSize, reserved, flag, reserved ? std::optional(marker) : std::nullopt);
    if (reserved) c.disk.reservedSectors = static_cast<uint32_t>(rounded - sectors) + kSpan / sectorSize;
    AddBridge(c, sim::FlashPreset("WINBOND", 64));
    before = Pattern(kSpan, 0x61);
    Disk().WriteSectors(x, kSpan / sectorSize, before.data());
    Start();
  }
  sim::AttachedDisk& Disk() { return machine.BridgeAt(0)->disk(); }
  std::vector<uint8_t> Area(uint32_t bytes) {
    std::vector<uint8_t> out(bytes);
    Disk().ReadSectors(x, bytes / sectorSize, out.data());
    return out;
  }
  // Every block the host wrote lies past the disk's addressable capacity.
  bool WroteOnlyPastTheCapacity() {
    for (const sim::DiskWrite& w : Disk().writeLog())
      if (w.lba < sectors) return false;
    return true;
  }
  // Refuses every 64 KiB DMA write or read (the other reads are of 4 blocks or one).
  void RefuseDma64K(bool write) {
    const uint32_t count = 0x10000 / sectorSize;
    FailAlways(0, {0x85, uint8_t(write ? 0x17 : 0x15), uint8_t(write ? 0x03 : 0x0B), 0, 0, uint8_t(count >> 8), uint8_t(count)});
  }
  uint64_t sectors;
  uint32_t sectorSize;
  uint32_t marker = 0;
  uint64_t x = 0;
  std::vector<uint8_t> before;
};

// The image as the area must hold it: padded to 64 KiB steps, the marker at bytes 150..155.
std::vector<uint8_t> WithMarker(std::vector<uint8_t> image, uint32_t r) {
  image.resize((image.size() + 0xFFFF) / 0x10000 * 0x10000, 0);
  const uint8_t m[6] = {0x55, uint8_t(r >> 24), uint8_t(r >> 16), uint8_t(r >> 8), uint8_t(r), 0xAA};
  std::copy(std::begin(m), std::end(m), image.begin() + 150);
  return image;
}

struct DiskCase {
  const char* name;
  uint64_t sectors;
  uint32_t sectorSize;
};
const DiskCase kDisks[] = {
    {"1 TB, 512-byte blocks", 1953525168, 512},
    {"1 TB, 4096-byte blocks", 244190646, 4096},
    {"above 2^32 blocks, 512-byte", kAbove2To32, 512},
    {"above 2^32 blocks, 4096-byte", kAbove2To32, 4096},
};

TEST(DiskFirmware, A100KiBImageInTwoStepsIntoTheReservedArea) {
  for (const DiskCase& d : kDisks) {
    SCOPED_TRACE(d.name);
    DiskBench b(d.sectors, d.sectorSize, true);
    ASSERT_EQ(b.ctx.state.CurrentChipType, 30);
    ASSERT_EQ(b.ctx.state.FlashVendorCode, 0);
    const std::vector<uint8_t> image = Pattern(100 * 1024, 0x23);
    const app::EngineeringOutcome o = b.Run(b.Program(image));
    ASSERT_TRUE(IsSuccess(o));
    b.ExpectPanel("Programming Success!!", kPowerCycle);
    const std::vector<uint8_t> want = WithMarker(image, b.marker);
    EXPECT_EQ(b.Area(0x20000), want);
    const uint32_t step = 0x10000 / d.sectorSize;
    const auto& log = b.Disk().writeLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].lba, b.x);
    EXPECT_EQ(log[1].lba, b.x + step);
    EXPECT_EQ(log[1].count, step);
    EXPECT_TRUE(b.WroteOnlyPastTheCapacity());
    // The recovery copy holds the 128 KiB the run changed, as they were.
    ASSERT_FALSE(o.recoveryFile.empty());
    EXPECT_EQ(ReadFile(o.recoveryFile), std::vector<uint8_t>(b.before.begin(), b.before.begin() + 0x20000));
  }
}

TEST(DiskFirmware, RefusedTransfersAndTheirTexts) {
  struct Case {
    const char* name;
    bool large, write;
    const char* status;
  };
  const Case cases[] = {
      {"write, below 2^32", false, true, "Write Data To HDD FAIL!!"},
      {"read-back, below 2^32", false, false, "Read Data From HDD FAIL!!"},
      {"write, above 2^32", true, true, "Write Data SCSI16 To HDD FAIL!!"},
      {"read-back, above 2^32", true, false, "Read Data SCSI16 From HDD FAIL!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskBench b(c.large ? kAbove2To32 : 976773168, 512, true);
    b.RefuseDma64K(c.write);
    app::EngineeringOptions o = b.Program(Pattern(0x10000, 1));
    o.skipRecovery = true;  // the only 64 KiB reads are the read-backs
    const app::EngineeringOutcome out = b.Run(o);
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, c.status);
    EXPECT_TRUE(b.MessageTexts().empty());
  }
  // A difference after the write.
  DiskBench b(976773168, 512, true);
  b.tap.after = [&](const testing::TappedRequest& r) {
    if (r.StartsWith({0x85, 0x17})) b.Disk().sectors()[b.x + 3][7] ^= 0x01;
  };
  EXPECT_EQ(b.Run(b.Program(Pattern(0x10000, 1))).code(), app::OutcomeCode::Failed);
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Compare Data in HDD FAIL!!");
}

TEST(DiskFirmware, EraseKeepsTheSixMarkerBytesAndZeroesTheRest) {
  for (const DiskCase& d : kDisks) {
    SCOPED_TRACE(d.name);
    DiskBench b(d.sectors, d.sectorSize, true);
    const app::EngineeringOutcome o = b.Run(b.Erase());
    ASSERT_TRUE(IsSuccess(o));
    b.ExpectPanel("Erase all data in HDD success!!", kPowerCycle);
    std::vector<uint8_t> want(0x10000, 0);
    std::copy_n(b.before.begin() + 150, 6, want.begin() + 150);
    EXPECT_EQ(b.Area(0x10000), want);
    std::vector<uint8_t> rest(kSpan - 0x10000);
    b.Disk().ReadSectors(b.x + 0x10000 / d.sectorSize, (kSpan - 0x10000) / d.sectorSize, rest.data());
    EXPECT_EQ(rest, std::vector<uint8_t>(b.before.begin() + 0x10000, b.before.end())) << "only 64 KiB is erased";
    ASSERT_EQ(b.Disk().writeLog().size(), 1u);
    EXPECT_TRUE(b.WroteOnlyPastTheCapacity());
    EXPECT_EQ(ReadFile(o.recoveryFile), std::vector<uint8_t>(b.before.begin(), b.before.begin() + 0x10000));
  }
}

TEST(DiskFirmware, RefusedEraseAndBackupTransfersAreNeverSuccess) {
  // A refused write followed by a refused read used to compare equal (two zeroed buffers), and a
  // refused read wrote a backup file of zeros.
  struct Case {
    const char* name;
    bool backup, refuseWrite, refuseRead;
    const char* status;
  };
  const Case cases[] = {
      {"erase: write refused", false, true, false, "Erase data in HDD fail!!"},
      {"erase: read-back refused", false, false, true, "Read back data in HDD fail!!"},
      {"erase: both refused", false, true, true, "Erase data in HDD fail!!"},
      {"backup: read refused", true, false, true, "Read HDD to Backup Error!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskBench b(976773168, 512, true);
    if (c.refuseWrite) b.RefuseDma64K(true);
    if (c.refuseRead) b.RefuseDma64K(false);
    app::EngineeringOptions o = b.Options();
    o.eraseOnly = !c.backup;
    o.backupOnly = c.backup;
    o.skipRecovery = true;
    o.backupFile = (b.dir.path() / "area.bak").string();
    const app::EngineeringOutcome out = b.Run(o);
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, c.status);
    EXPECT_TRUE(b.MessageTexts().empty());
    EXPECT_FALSE(std::filesystem::exists(o.backupFile));
  }
}

TEST(DiskFirmware, BackupOfTheArea) {
  DiskBench b(kAbove2To32, 4096, true);
  const app::EngineeringOptions o = b.Backup("area.bak");
  const app::EngineeringOutcome out = b.Run(o);
  ASSERT_TRUE(IsSuccess(out));
  EXPECT_EQ(b.ctx.form.StatusEdit.text, "Read flash and backup success!");
  EXPECT_EQ(ReadFile(o.backupFile), std::vector<uint8_t>(b.before.begin(), b.before.begin() + 0x10000));
  EXPECT_TRUE(b.Disk().writeLog().empty());
}

TEST(DiskFirmware, TheUserAreaIsWrittenOnlyOnExplicitRequest) {
  enum class Ask { Nobody, AnsweredNo, AnsweredYes, Forced };
  struct Case {
    const char* name;
    bool erase;
    Ask ask;
    bool written;
  };
  const Case cases[] = {
      {"program, refused", false, Ask::AnsweredNo, false}, {"erase, refused", true, Ask::AnsweredNo, false},
      {"program, confirmed", false, Ask::AnsweredYes, true}, {"erase, confirmed", true, Ask::AnsweredYes, true},
      {"program, forced", false, Ask::Forced, true},         {"erase, forced", true, Ask::Forced, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskBench b(976773168, 512, false);
    ASSERT_LT(b.x, b.sectors) << "without a reserved area the firmware area lies among the user's blocks";
    if (c.ask == Ask::AnsweredYes) b.shell.answers.push_back(true);
    app::EngineeringOptions o = c.erase ? b.Erase() : b.Program(Pattern(0x8000, 4));
    o.forceUserArea = c.ask == Ask::Forced;
    const app::EngineeringOutcome out = b.Run(o);
    const bool asked = !b.shell.messages.empty() && b.shell.messages[0].caption == "Warning" &&
                       b.shell.messages[0].text.find("last partition") != std::string::npos;
    EXPECT_EQ(asked, c.ask != Ask::Forced);
    if (!c.written) {
      EXPECT_EQ(out.code(), app::OutcomeCode::BadInput);
      EXPECT_EQ(b.ctx.form.StatusEdit.text, "Firmware area in user data, nothing written!");
      EXPECT_NE(out.outcome.reason.find("--force-user-area"), std::string::npos);
      EXPECT_TRUE(b.Disk().writeLog().empty());
      EXPECT_EQ(b.Area(kSpan), b.before);
      EXPECT_TRUE(out.recoveryFile.empty());
    } else {
      EXPECT_TRUE(IsSuccess(out));
      ASSERT_FALSE(b.Disk().writeLog().empty());
      EXPECT_EQ(b.Disk().writeLog()[0].lba, b.x);
      EXPECT_EQ(ReadFile(out.recoveryFile), std::vector<uint8_t>(b.before.begin(), b.before.begin() + 0x10000));
    }
  }
}

TEST(DiskFirmware, AnAreaBelowBlock0OrAnUnknownCapacityIsNeverWritten) {
  struct Case {
    const char* name;
    bool reserved;
    const char* status;
  };
  // With READ CAPACITY and IDENTIFY refused, the capacity reads as 0 blocks: without a reserved
  // area the start would wrap below block 0; with one, the user area cannot be told apart.
  for (const Case& c : {Case{"no reserved area", false, "Firmware area address error!!"},
                        Case{"reserved area", true, "Read HDD capacity fail!!"}}) {
    SCOPED_TRACE(c.name);
    DiskBench b(976773168, 512, c.reserved);
    b.FailAlways(0, {0x9E});
    b.FailAlways(0, {0xA1});
    app::EngineeringOptions o = b.Program(Pattern(0x10000, 2));
    o.forceUserArea = true;
    const app::EngineeringOutcome out = b.Run(o);
    EXPECT_EQ(out.code(), app::OutcomeCode::Failed);
    EXPECT_EQ(b.ctx.form.StatusEdit.text, c.status);
    EXPECT_TRUE(b.Disk().writeLog().empty());
  }
}

// A fault at every command of programming and erasing: the user's blocks are never written, the
// area is changed only after its recovery copy was kept (equal to the area as it was), and a run
// that reports success left the area holding what it should.
void DiskCampaign(sim::Fault::Kind kind, bool erase, uint64_t sectors, uint32_t sectorSize) {
  const std::vector<uint8_t> image = Pattern(0x18000, 7);
  auto make = [&] { return std::make_unique<DiskBench>(sectors, sectorSize, true); };
  auto run = [&](DiskBench& b) { return b.Run(erase ? b.Erase() : b.Program(image)); };
  int withCopy = 0;
  const testing::CampaignFigures figures = testing::FaultAtEveryCommand(
      kind, make, run,
      [&](DiskBench& b, const app::EngineeringOutcome& out, uint64_t i) {
        ASSERT_TRUE(b.WroteOnlyPastTheCapacity()) << "command " << i;
        if (out.outcome.Succeeded()) {
          ASSERT_EQ(kind, sim::Fault::Kind::FailCommand) << "unplugged at command " << i;
          if (erase) {
            std::vector<uint8_t> want(0x10000, 0);
            std::copy_n(b.before.begin() + 150, 6, want.begin() + 150);
            ASSERT_EQ(b.Area(0x10000), want) << "command " << i;
          } else {
            ASSERT_EQ(b.Area(0x20000), WithMarker(image, b.marker)) << "command " << i;
          }
        }
        if (!out.recoveryFile.empty()) {
          ++withCopy;
          const std::vector<uint8_t> kept = ReadFile(out.recoveryFile);
          ASSERT_EQ(kept, std::vector<uint8_t>(b.before.begin(), b.before.begin() + kept.size())) << "command " << i;
        } else {
          ASSERT_TRUE(b.Disk().writeLog().empty()) << "written without a recovery copy, command " << i;
        }
        EXPECT_EQ(b.ctx.criticalDepth, 0);
      });
  EXPECT_GT(figures.commands, 10u);
  EXPECT_EQ(figures.faulted, figures.commands) << "every command";
  EXPECT_GT(withCopy, 0);
  std::printf("[ campaign ] %llu commands, %llu faulted runs, %d with a recovery copy\n",
              static_cast<unsigned long long>(figures.commands), static_cast<unsigned long long>(figures.faulted), withCopy);
}

TEST(DiskCampaign, UnplugWhileProgramming) { DiskCampaign(sim::Fault::Kind::Unplug, false, 976773168, 512); }
TEST(DiskCampaign, UnplugWhileErasing) { DiskCampaign(sim::Fault::Kind::Unplug, true, kAbove2To32, 4096); }
TEST(DiskCampaign, RefusalWhileProgramming) { DiskCampaign(sim::Fault::Kind::FailCommand, false, kAbove2To32, 512); }
TEST(DiskCampaign, RefusalWhileErasing) { DiskCampaign(sim::Fault::Kind::FailCommand, true, 244190646, 4096); }

}  // namespace
}  // namespace qvfw::flash
