// One fault at every identification and inspection command, for each bridge of the `families`
// machine (one per procedure family) and each of erase, backup and program: the command refused
// once, ended in a transport error once, and answered with one bit turned. The commands are those
// of the start-up (discovery, identification, the firmware-choice check) and of the check the run
// makes of the device just before it starts.
//
// Every run is judged against a run without a fault: a success must leave what that run left
// (the flash, or the firmware area on the disk, and the backup file); a failure must leave the
// device as it was, or changed only where a recovery copy that equals the device as it was
// covers it. The totals per row go to the test's output.
//
// The turned bit is tried, in the suite, at the reply bytes identification reads most (0, 1, 2:
// flash maker code, JEDEC id; 9, 11: the chip information's model and revision; 37, 39: the
// INQUIRY chip id); QVFW_CAMPAIGN_FULL=1 in the environment tries every byte of every reply up to
// 64, for the figures.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/DeviceFacts.h"
#include "app/Engineering.h"
#include "flash/FlashBench.h"
#include "sim/FirmwareImage.h"
#include "sim/Scenario.h"

namespace qvfw::flash::bench {
namespace {

using nlohmann::json;

bool Full() {
  const char* v = std::getenv("QVFW_CAMPAIGN_FULL");
  return v != nullptr && std::string(v) == "1";
}

enum class Op { Erase, Backup, Program };
const char* OpName(Op op) { return op == Op::Erase ? "erase" : op == Op::Backup ? "backup" : "program"; }

// The disk of the `families` machine named `name`, alone on a machine of its own.
std::string FamilyMachine(const std::string& name) {
  const json preset = json::parse(sim::PresetScenarioJson("families"));
  for (const json& d : preset["disks"])
    if (d["name"] == name) return json{{"disks", json::array({d})}}.dump();
  ADD_FAILURE() << "no disk " << name << " in the families machine";
  return {};
}

using Sectors = std::map<uint64_t, std::vector<uint8_t>>;

// One bridge of the families machine as the application starts on it, and what it holds.
struct Rig : testing::AppRig {
  explicit Rig(const std::string& scenario) : AppRig(scenario) {}
  sim::Bridge& Bridge() { return *machine.BridgeAt(0); }
  bool HasFlash() { return Bridge().flash() != nullptr; }
  std::vector<uint8_t> FlashBytes() { return HasFlash() ? Bridge().flash()->data() : std::vector<uint8_t>{}; }
  Sectors DiskSectors() { return Bridge().disk().sectors(); }
};

struct Row {
  const char* disk;     // its name in the families machine
  uint32_t imageSize;   // of the image `program` writes
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.disk; }

struct Totals {
  uint64_t runs = 0, successes = 0, falseSuccesses = 0, changedOutside = 0, withCopy = 0;
  void Add(const Totals& t) {
    runs += t.runs;
    successes += t.successes;
    falseSuccesses += t.falseSuccesses;
    changedOutside += t.changedOutside;
    withCopy += t.withCopy;
  }
  void Print(const std::string& name, uint64_t commands) const {
    std::printf("[ campaign ] %-24s %3llu commands %5llu runs: %4llu successes, %llu false successes, %4llu failures "
                "with a recovery copy, %llu bytes changed outside a recovery copy\n",
                name.c_str(), static_cast<unsigned long long>(commands), static_cast<unsigned long long>(runs),
                static_cast<unsigned long long>(successes), static_cast<unsigned long long>(falseSuccesses),
                static_cast<unsigned long long>(withCopy), static_cast<unsigned long long>(changedOutside));
  }
};

// The block a recovery file of the disk area starts at: its name ends "-<block in hex>.bin".
uint64_t CopyAddress(const std::string& file) {
  const size_t dash = file.rfind('-'), dot = file.rfind(".bin");
  return std::stoull(file.substr(dash + 1, dot - dash - 1), nullptr, 16);
}

// Bytes of the device that differ from `before` and that no recovery copy equal to `before`
// covers. `copy` empty: no copy was kept.
uint64_t ChangedOutsideCopy(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                            const std::vector<uint8_t>& copy) {
  uint64_t n = 0;
  for (size_t i = 0; i < after.size(); ++i)
    if (after[i] != before[i] && (i >= copy.size() || copy[i] != before[i])) ++n;
  return n;
}

uint64_t ChangedOutsideCopy(const Sectors& before, const Sectors& after, const std::vector<uint8_t>& copy,
                            uint64_t copyBlock, uint32_t sectorSize) {
  auto bytesOf = [&](const Sectors& s, uint64_t lba) {
    const auto it = s.find(lba);
    return it == s.end() ? std::vector<uint8_t>(sectorSize, 0) : it->second;
  };
  std::map<uint64_t, bool> touched;
  for (const auto& [lba, bytes] : before) touched[lba] = true;
  for (const auto& [lba, bytes] : after) touched[lba] = true;
  uint64_t n = 0;
  for (const auto& [lba, ignored] : touched) {
    const std::vector<uint8_t> was = bytesOf(before, lba), is = bytesOf(after, lba);
    for (uint32_t i = 0; i < sectorSize; ++i) {
      if (was[i] == is[i]) continue;
      const uint64_t at = (lba - copyBlock) * sectorSize + i;
      const bool covered = lba >= copyBlock && at < copy.size() && copy[at] == was[i];
      if (!covered) ++n;
    }
  }
  return n;
}

class IdentificationCampaign : public ::testing::TestWithParam<Row> {};

TEST_P(IdentificationCampaign, NoFaultOfIdentificationMakesAWrongResultASuccess) {
  const Row& row = GetParam();
  Totals all;
  {
    const std::string scenario = FamilyMachine(row.disk);
    for (const Op op : {Op::Erase, Op::Backup, Op::Program}) {
      const std::string name = std::string(OpName(op)) + " " + row.disk;
      SCOPED_TRACE(name);
      testing::TempDir files;
      std::string image;
      // A fresh machine, the application started on it (with `fault` at its command), the run.
      struct Ran {
        std::unique_ptr<Rig> rig;
        app::EngineeringOutcome out;
        std::vector<uint8_t> flashBefore;
        Sectors diskBefore;
      };
      auto run = [&](std::optional<sim::Fault> fault) {
        Ran r;
        r.rig = std::make_unique<Rig>(scenario);
        Rig& b = *r.rig;
        r.flashBefore = b.FlashBytes();
        r.diskBefore = b.DiskSectors();
        if (fault) b.machine.AddFault(0, *fault);
        b.Start();
        if (b.ctx.scan.devices.empty()) {
          r.out.outcome.code = app::OutcomeCode::NoDevice;
          return r;
        }
        app::EngineeringOptions o;
        o.stateDirectory = b.ctx.stateDirectory;
        o.eraseOnly = op == Op::Erase;
        o.backupOnly = op == Op::Backup;
        o.backupFile = (b.dir.path() / "backup.bin").string();
        o.firmwareFile = image;
        r.out = app::RunEngineering(b.ctx, 0, o);
        return r;
      };

      // The run without a fault, and how many commands identify and inspect the device.
      uint64_t startCommands = 0, checkCommands = 0;
      std::vector<uint8_t> cleanFlash, cleanBackup;
      Sectors cleanDisk;
      std::vector<testing::TappedRequest> requests;
      {
        Rig probe(scenario);
        const chips::ChipId chip{chips::ChipTypeOf(probe.Bridge().config().chipType), probe.Bridge().config().revision};
        const std::vector<uint8_t> generated = sim::GenerateFirmwareImage({chips::Code(chip.type), chip.revision, "1302",
                                                                          row.imageSize, 7});
        image = files.Write("image.bin", std::string(generated.begin(), generated.end())).string();
        probe.Start();
        ASSERT_FALSE(probe.ctx.scan.devices.empty());
        ASSERT_TRUE(probe.ctx.facts && probe.ctx.facts->Complete());
        startCommands = probe.machine.CommandCount(0);
        ASSERT_EQ(app::ConfirmIdentity(probe.ctx, *probe.ctx.facts), "");
        const bool onDisk = !probe.HasFlash();
        if (op != Op::Backup && !onDisk) {
          ASSERT_TRUE(app::WholeFlashKiB(probe.ctx, *probe.ctx.facts));
        }
        checkCommands = probe.machine.CommandCount(0) - startCommands;
        requests = probe.tap.requests;
      }
      {
        Ran clean = run(std::nullopt);
        ASSERT_TRUE(IsSuccess(clean.out));
        cleanFlash = clean.rig->FlashBytes();
        cleanDisk = clean.rig->DiskSectors();
        if (op == Op::Backup) cleanBackup = ReadFile(clean.out.backupFile);
        if (op == Op::Erase || op == Op::Program) {
          EXPECT_FALSE(clean.out.recoveryFile.empty());
          if (clean.rig->HasFlash()) {
            EXPECT_EQ(ReadFile(clean.out.recoveryFile), clean.flashBefore) << "the recovery copy is the whole flash";
          }
        }
      }
      const uint64_t commands = startCommands + checkCommands;
      ASSERT_LE(commands, requests.size());

      Totals t;
      auto judge = [&](Ran& r, const std::string& fault) {
        ++t.runs;
        Rig& b = *r.rig;
        const bool success = r.out.code() == app::OutcomeCode::Success;
        if (success) {
          ++t.successes;
          bool same = b.FlashBytes() == cleanFlash && b.DiskSectors() == cleanDisk;
          if (op == Op::Backup) same = same && ReadFile(r.out.backupFile) == cleanBackup;
          if (!same) {
            ++t.falseSuccesses;
            ADD_FAILURE() << fault << ": a success that differs from the run without a fault";
          }
          return;
        }
        std::vector<uint8_t> copy;
        if (!r.out.recoveryFile.empty()) {
          ++t.withCopy;
          copy = ReadFile(r.out.recoveryFile);
        }
        const uint64_t outside =
            b.HasFlash() ? ChangedOutsideCopy(r.flashBefore, b.FlashBytes(), copy)
                         : ChangedOutsideCopy(r.diskBefore, b.DiskSectors(), copy,
                                              copy.empty() ? 0 : CopyAddress(r.out.recoveryFile),
                                              b.Bridge().disk().config().logicalSectorSize);
        if (outside) {
          t.changedOutside += outside;
          ADD_FAILURE() << fault << ": " << outside << " bytes changed outside a recovery copy ("
                        << r.out.outcome.statusText << " / " << r.out.outcome.reason << ")";
        }
      };

      for (uint64_t i = 0; i < commands; ++i) {
        for (const sim::Fault::Kind kind : {sim::Fault::Kind::FailCommand, sim::Fault::Kind::TransportError}) {
          sim::Fault f;
          f.kind = kind;
          f.atCommand = i;
          Ran r = run(f);
          judge(r, std::string(kind == sim::Fault::Kind::FailCommand ? "refused" : "transport error") +
                       " at command " + std::to_string(i));
        }
        const testing::TappedRequest& asked = requests[i];
        if (!asked.dataIn) continue;
        std::vector<uint32_t> offsets;
        if (Full()) {
          for (uint32_t k = 0; k < std::min<uint32_t>(asked.transferred, 64); ++k) offsets.push_back(k);
        } else {
          for (uint32_t k : {0u, 1u, 2u, 9u, 11u, 37u, 39u})
            if (k < asked.transferred) offsets.push_back(k);
        }
        for (const uint32_t k : offsets) {
          sim::Fault f;
          f.kind = sim::Fault::Kind::FlipReply;
          f.atCommand = i;
          f.address = k;
          f.mask = static_cast<uint8_t>(1u << ((i + k) % 8));
          Ran r = run(f);
          judge(r, "bit turned in byte " + std::to_string(k) + " of command " + std::to_string(i));
        }
        if (::testing::Test::HasFatalFailure()) return;
      }
      t.Print(name, commands);
      all.Add(t);
    }
  }
  all.Print(std::string(row.disk) + (Full() ? " (every byte)" : " (sampled bytes)"), 0);
  EXPECT_EQ(all.falseSuccesses, 0u);
  EXPECT_EQ(all.changedOutside, 0u);
}

// One bridge of each procedure family of the `families` machine, and the size of the image
// `program` writes to it.
INSTANTIATE_TEST_SUITE_P(Families, IdentificationCampaign,
                         ::testing::Values(Row{"buffer15", 0xC000}, Row{"storage13", 0xC000}, Row{"erase9", 0x10000},
                                           Row{"whole1", 0x5000}, Row{"step7", 0x5000}, Row{"loader26", 0x40000},
                                           Row{"disk30", 0x10000}),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.disk); });

}  // namespace
}  // namespace qvfw::flash::bench
