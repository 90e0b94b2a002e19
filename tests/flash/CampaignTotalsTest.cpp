// The unplug campaign over every operation of the flash-programming procedures in one table (erase,
// backup and program of erase-on-write over USB and IEEE 1394, whole-image, stepwise and its
// page-program variant) and over the dual-bank repair, with totals per row: runs, false
// successes, crashes (an exception out of the operation), recovery or backup files that differ
// from the flash as it was, and flash changed without a recovery copy. Every count but the runs
// must be 0.
//
// In the suite each operation is sampled (see Campaign.h's choice: every command of the first
// and last 16, every command near a change of opcode, every 50th elsewhere); QVFW_CAMPAIGN_FULL=1
// in the environment runs every command index, for the figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/ImageChecksum.h"
#include "flash/FlashBench.h"

namespace qvfw::flash::bench {
namespace {

bool Full() {
  const char* v = std::getenv("QVFW_CAMPAIGN_FULL");
  return v != nullptr && std::string(v) == "1";
}

struct Totals {
  uint64_t runs = 0, falseSuccesses = 0, crashes = 0, differing = 0, changedWithoutCopy = 0;
  void Print(const std::string& name, uint64_t commands) const {
    std::printf("[ campaign ] %-44s %5llu commands %5llu runs: %llu false successes, %llu crashes, %llu files "
                "differing, %llu changed without a copy\n",
                name.c_str(), static_cast<unsigned long long>(commands), static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(falseSuccesses), static_cast<unsigned long long>(crashes),
                static_cast<unsigned long long>(differing), static_cast<unsigned long long>(changedWithoutCopy));
  }
  void Expect() const {
    EXPECT_GT(runs, 0u);
    EXPECT_EQ(falseSuccesses, 0u);
    EXPECT_EQ(crashes, 0u);
    EXPECT_EQ(differing, 0u);
    EXPECT_EQ(changedWithoutCopy, 0u);
  }
};

enum class Op { Erase, Backup, Program };

struct Row {
  const char* name;
  uint8_t chip;
  const char* maker;
  uint32_t kib;
  platform::Bus bus;
  bool sst25;
  uint32_t imageSize;
};

struct BenchOf : Bench {
  explicit BenchOf(const Row& r) : Bench(r.chip, r.maker, r.kib, r.bus) {
    if (r.sst25) ctx.state.Sst25Flag = 1;
  }
  bool crashed = false;  // the operation ended in an exception
};

TEST(CampaignTotals, UnplugAtEveryCommandOfEveryOperation) {
  const Row rows[] = {
      {"erase-on-write QVS876", 13, "MXIC", 64, platform::Bus::Usb, false, 0xC000},
      {"erase-on-write QVS812", 15, "WINBOND", 128, platform::Bus::Usb, false, 0xC000},
      {"erase-on-write 1394 QVB787", 8, "WINBOND", 64, platform::Bus::Ieee1394, false, 0x8000},
      {"whole-image QV40778", 1, "WINBOND", 64, platform::Bus::Usb, false, 0x5000},
      {"stepwise QVB784", 7, "WINBOND", 64, platform::Bus::Usb, false, 0x5000},
      {"stepwise-page QV40778", 1, "WINBOND", 64, platform::Bus::Usb, true, 0x5000},
  };
  const uint64_t stride = Full() ? 1 : 50;
  Totals all;
  for (const Row& row : rows) {
    for (Op op : {Op::Erase, Op::Backup, Op::Program}) {
      const std::string name = std::string(op == Op::Erase ? "erase " : op == Op::Backup ? "backup " : "program ") + row.name;
      SCOPED_TRACE(name);
      auto run = [&](BenchOf& b) {
        app::EngineeringOptions o = op == Op::Program ? b.Program(Pattern(row.imageSize, 9)) : b.Options();
        o.eraseOnly = op == Op::Erase;
        o.backupOnly = op == Op::Backup;
        if (op == Op::Backup) o.backupFile = (b.dir.path() / "backup.bin").string();
        app::EngineeringOutcome out;
        try {
          out = b.Run(o);
        } catch (const std::exception& e) {
          b.crashed = true;
          out.outcome.reason = e.what();
        }
        return out;
      };
      Totals t;
      const testing::CampaignFigures figures = testing::FaultAtEveryCommand(
          sim::Fault::Kind::Unplug,
          [&] { return std::make_unique<BenchOf>(row); }, run,
          [&](BenchOf& b, const app::EngineeringOutcome& out, uint64_t i) {
            ++t.runs;
            if (b.crashed) {
              ++t.crashes;
              ADD_FAILURE() << "crashed, command " << i << ": " << out.outcome.reason;
            }
            if (out.outcome.Succeeded()) {
              ++t.falseSuccesses;
              ADD_FAILURE() << "success though unplugged at command " << i << ": " << out.outcome.statusText;
            }
            if (!out.recoveryFile.empty() && ReadFile(out.recoveryFile) != b.before) {
              ++t.differing;
              ADD_FAILURE() << "the recovery copy differs from the flash as it was, command " << i;
            }
            if (!out.backupFile.empty() && std::filesystem::exists(out.backupFile)) {
              const std::vector<uint8_t> kept = ReadFile(out.backupFile);
              if (kept != std::vector<uint8_t>(b.before.begin(), b.before.begin() + std::min(kept.size(), b.before.size()))) {
                ++t.differing;
                ADD_FAILURE() << "the backup file differs from the flash, command " << i;
              }
            }
            if (out.recoveryFile.empty() && b.Flash().data() != b.before) {
              ++t.changedWithoutCopy;
              ADD_FAILURE() << "changed without a recovery copy, command " << i;
            }
            EXPECT_EQ(b.ctx.criticalDepth, 0);
          },
          stride);
      EXPECT_EQ(t.runs, figures.faulted);
      t.Expect();
      t.Print(name, figures.commands);
      all.runs += t.runs;
      all.falseSuccesses += t.falseSuccesses;
      all.crashes += t.crashes;
      all.differing += t.differing;
      all.changedWithoutCopy += t.changedWithoutCopy;
    }
  }
  all.Print(Full() ? "all operations (every command)" : "all operations (sampled)", 0);
}

// A bank that passes the validity check: signature block at 0xBFF0 and the checksum.
std::vector<uint8_t> ValidBank(uint8_t seed) {
  std::vector<uint8_t> bank = Pattern(0x10000, seed);
  const uint8_t block[] = {0x55, 0xAA, 0xAA, 0x55, '8', '7', '6', 0, 0, 0};
  std::copy(std::begin(block), std::end(block), bank.begin() + 0xBFF0);
  codec::StoreImageChecksum(bank, 0xC000);
  return bank;
}

// The dual-bank repair the check runs on a QVS876 with one valid bank, unplugged at every command
// of the check: the valid bank is never touched, a changed flash always has its recovery copy
// (equal to the flash as it was), and "FW Recovery successful!!" means both banks hold the valid
// one. Every command (the check is short).
TEST(CampaignTotals, UnplugAtEveryCommandOfTheBankRepair) {
  const std::vector<uint8_t> valid = ValidBank(3), blank(0x10000, 0xFF);
  for (const bool validFirst : {true, false}) {
    SCOPED_TRACE(validFirst ? "bank 1 blank" : "bank 0 blank");
    struct Rig : EmulatedApp {
      Rig(const std::vector<uint8_t>& bank0, const std::vector<uint8_t>& bank1) {
        sim::BridgeConfig config = sim::FamilyConfig(13);
        config.bootCheck = false;
        AddBridge(config, sim::FlashPreset("MXIC", 128));
        std::copy(bank0.begin(), bank0.end(), Flash().data().begin());
        std::copy(bank1.begin(), bank1.end(), Flash().data().begin() + 0x10000);
        before = Flash().data();
      }
      std::vector<uint8_t> Bank(uint32_t at) {
        return {Flash().data().begin() + at, Flash().data().begin() + at + 0x10000};
      }
      bool Told() const {
        for (const auto& n : shell.notices)
          if (n.control == "StatusEdit" && n.text == "FW Recovery successful!!") return true;
        return false;
      }
      std::vector<uint8_t> before;
    };
    const std::vector<uint8_t>& bank0 = validFirst ? valid : blank;
    const std::vector<uint8_t>& bank1 = validFirst ? blank : valid;
    const uint32_t source = validFirst ? 0 : 0x10000, target = validFirst ? 0x10000 : 0;
    uint64_t commands = 0;
    {
      Rig clean(bank0, bank1);
      clean.Start();
      ASSERT_TRUE(clean.Told());
      ASSERT_EQ(clean.Bank(target), valid);
      commands = clean.machine.CommandCount(0);
    }
    Totals t;
    for (uint64_t i = 0; i < commands; ++i) {
      Rig rig(bank0, bank1);
      sim::Fault unplug;
      unplug.kind = sim::Fault::Kind::Unplug;
      unplug.atCommand = i;
      rig.machine.AddFault(0, unplug);
      ++t.runs;
      try {
        rig.Start();
      } catch (const std::exception& e) {
        ++t.crashes;
        ADD_FAILURE() << "crashed, command " << i << ": " << e.what();
      }
      if (rig.Told() && rig.Bank(target) != valid) {
        ++t.falseSuccesses;
        ADD_FAILURE() << "told success, command " << i;
      }
      if (rig.Bank(source) != valid) {
        ++t.changedWithoutCopy;
        ADD_FAILURE() << "the valid bank was changed, command " << i;
      }
      bool copy = false;
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(rig.ctx.stateDirectory, ec)) {
        copy = true;
        if (ReadFile(e.path()) != rig.before) {
          ++t.differing;
          ADD_FAILURE() << "the recovery copy differs from the flash as it was, command " << i;
        }
      }
      if (!copy && rig.Flash().data() != rig.before) {
        ++t.changedWithoutCopy;
        ADD_FAILURE() << "changed without a recovery copy, command " << i;
      }
      EXPECT_EQ(rig.ctx.criticalDepth, 0);
    }
    t.Expect();
    t.Print(validFirst ? "bank repair QVS876 (bank 1 blank)" : "bank repair QVS876 (bank 0 blank)", commands);
  }
}

}  // namespace
}  // namespace qvfw::flash::bench
