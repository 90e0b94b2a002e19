// Chip identification and admission against emulated bridges: every route by which a family
// makes itself known, and which disks discovery lets through.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "device/ChipIdentify.h"
#include "device/Discovery.h"
#include "support/EmulatedRig.h"

namespace qvfw::device {
namespace {

using platform::Bus;
using sim::BridgeConfig;
using sim::FamilyConfig;
using testing::EmulatedRig;

// The chip information bytes 8..11 as given (a QVS812 otherwise reports its running image's).
void SetInfoKey(BridgeConfig& c, const char* key4) {
  c.versionFromImage = false;
  c.bootCheck = false;
  for (int i = 0; i < 4; ++i) c.chipInfo[8 + i] = static_cast<uint8_t>(key4[i]);
}

struct Route {
  const char* name;
  std::function<BridgeConfig()> config;
  std::function<void(EmulatedRig&, size_t)> faults;  // may be empty
  uint8_t type, revision;
  bool chipInfoFailed = false;
};

BridgeConfig NoChipId(uint8_t family) {
  BridgeConfig c = FamilyConfig(family);
  c.inquiryChipId.clear();
  c.modelText.clear();
  c.bootCheck = false;  // a QVS812 with a blank flash would only answer from its boot ROM
  c.versionFromImage = false;
  return c;
}

TEST(IdentifyOnEmulator, EveryRouteOfEveryFamily) {
  const std::vector<Route> routes = {
      // The INQUIRY chip id.
      {"inquiry key 771", [] { return FamilyConfig(2); }, {}, 2, 0},
      {"inquiry key 812", [] { return FamilyConfig(15); }, {}, 15, 0},
      {"inquiry key 779 without model text stays 3", [] { auto c = FamilyConfig(3); c.modelText.clear(); return c; }, {}, 3, 0},
      {"inquiry key 773 is the first row with it", [] { auto c = FamilyConfig(32); c.inquiryChipId = "q773"; return c; }, {}, 32, 0},
      {"q788 is 9 and the chip information block is not consulted",
       [] { auto c = FamilyConfig(9); SetInfoKey(c, "8127"); return c; }, {}, 9, 0},
      {"an unknown INQUIRY key falls through to the block",
       [] { auto c = FamilyConfig(15); c.inquiryChipId = "q999"; SetInfoKey(c, "8173"); return c; }, {}, 17, 3},
      {"a failed INQUIRY skips the block",
       [] { auto c = NoChipId(15); return c; }, [](EmulatedRig& r, size_t d) { r.FailAlways(d, {0x12}); }, 0, 0},
      {"a failed INQUIRY still reads the model text",
       [] { auto c = NoChipId(15); c.modelText = "q47892ab"; return c; },
       [](EmulatedRig& r, size_t d) { r.FailAlways(d, {0x12}); }, 11, 3},
      // The chip information block.
      {"block key and revision digit", [] { auto c = NoChipId(15); SetInfoKey(c, "8123"); return c; }, {}, 15, 3},
      {"block key 788", [] { auto c = NoChipId(9); SetInfoKey(c, "7882"); return c; }, {}, 9, 2},
      {"block with an unknown key keeps its revision digit",
       [] { auto c = NoChipId(15); SetInfoKey(c, "9994"); return c; }, {}, 0, 4},
      {"284D/4771 is 35 without revision",
       [] { auto c = NoChipId(35); SetInfoKey(c, "7717"); c.vid = 0x284D; c.pid = 0x4771; return c; }, {}, 35, 0},
      {"product 0477 is not 4771",
       [] { auto c = NoChipId(35); SetInfoKey(c, "7717"); c.vid = 0x284D; c.pid = 0x0477; return c; }, {}, 2, 7},
      {"no F4 E7, probe bits 0", [] { auto c = NoChipId(31); c.probeByte0 = 0x00; return c; }, {}, 31, 0},
      {"no F4 E7, probe bits 1", [] { auto c = NoChipId(31); c.probeByte0 = 0x20; return c; }, {}, 32, 0},
      {"no F4 E7, probe bits 2", [] { auto c = NoChipId(31); c.probeByte0 = 0x40; return c; }, {}, 33, 0},
      {"no F4 E7, probe 0xBF counts bits 5..6 only", [] { auto c = NoChipId(31); c.probeByte0 = 0xBF; return c; }, {}, 32, 0},
      {"no F4 E7, probe 0x60", [] { auto c = NoChipId(31); c.probeByte0 = 0x60; return c; }, {}, 34, 0},
      {"failed probe: no block, no model text",
       [] { auto c = NoChipId(15); SetInfoKey(c, "8123"); return c; },
       [](EmulatedRig& r, size_t d) { r.FailAlways(d, {0xDF, 0x10, 0x00, 0x00, 0x02}); }, 0, 0},
      {"failed block read",
       [] { auto c = NoChipId(15); SetInfoKey(c, "8123"); return c; },
       [](EmulatedRig& r, size_t d) { r.FailAlways(d, {0xE0, 0xF4, 0xE7}); }, 0, 0},
      // The model text.
      {"q778C with '1' gives revision 2", [] { auto c = FamilyConfig(1, 2); c.modelText = "q778C100"; return c; }, {}, 1, 2},
      {"code 1 without a model text is revision 1", [] { auto c = FamilyConfig(1); c.modelText.clear(); return c; }, {}, 1, 1},
      {"q779A3 turns 3 into 4", [] { return FamilyConfig(4); }, {}, 4, 0},
      {"q776C", [] { auto c = FamilyConfig(5); c.modelText = "q776C200"; return c; }, {}, 5, 3},
      {"q776E: character plus one", [] { auto c = FamilyConfig(30); c.modelText = "q776E300"; return c; }, {}, 30, '3' + 1},
      {"q826A", [] { auto c = FamilyConfig(28); c.modelText = "q826A000"; return c; }, {}, 28, 1},
      {"q784 with a zero at position 5", [] { auto c = FamilyConfig(7); c.modelText = std::string("q784A\0\0\0", 8); return c; }, {}, 7, 1},
      {"q784 with '3' at position 5", [] { auto c = FamilyConfig(7); c.modelText = "q784A300"; return c; }, {}, 7, 4},
      {"q4789", [] { auto c = FamilyConfig(11); c.modelText = "q4789000"; return c; }, {}, 11, 1},
      {"a model text for code 0 identifies the chip", [] { auto c = NoChipId(15); c.chipInfoSignature = true;
         SetInfoKey(c, "9990"); c.modelText = "q826A400"; return c; }, {}, 28, 5},
      {"an unlisted model text changes nothing", [] { auto c = FamilyConfig(5); c.modelText = "q999X900"; return c; }, {}, 5, 0},
      {"code 2 never reads the model text", [] { auto c = FamilyConfig(2); c.modelText = "q778C100"; return c; }, {}, 2, 0},
      // Code 8.
      {"code 8 revision 1", [] { auto c = FamilyConfig(8); c.chipInfo[11] = '1'; return c; }, {}, 8, 1},
      {"code 8 revision 2", [] { auto c = FamilyConfig(8); c.chipInfo[11] = '2'; return c; }, {}, 8, 2},
      {"code 8 with another digit", [] { auto c = FamilyConfig(8); c.chipInfo[11] = '3'; return c; }, {}, 8, 0, true},
      {"code 8 without F4 E7", [] { auto c = FamilyConfig(8); c.chipInfoSignature = false; return c; }, {}, 8, 0, true},
      {"code 8 whose block fails", [] { return FamilyConfig(8); },
       [](EmulatedRig& r, size_t d) { r.FailAlways(d, {0xE0, 0xF4, 0xE7}); }, 8, 0, true},
      // Code 12.
      {"code 12 answering the RAM buffer is 26", [] { return FamilyConfig(26); }, {}, 26, 0},
      {"code 12 with 0xFDB0 at 0xB4 is revision 5", [] { return FamilyConfig(12, 5); }, {}, 12, 5},
      {"code 12 otherwise", [] { return FamilyConfig(12); }, {}, 12, 0},
  };
  for (const Route& r : routes) {
    SCOPED_TRACE(r.name);
    EmulatedRig rig;
    const size_t d = rig.AddBridge(r.config());
    if (r.faults) r.faults(rig, d);
    const ChipIdentification id = IdentifyChip(rig.Dev(d));
    EXPECT_EQ(chips::Code(id.id.type), r.type);
    EXPECT_EQ(id.id.revision, r.revision);
    EXPECT_EQ(id.chipInfoFailed, r.chipInfoFailed);
  }
}

TEST(IdentifyOnEmulator, EveryGeneratedFamilyIdentifiesAsItself) {
  // The reserved codes and the ones only a model text or a probe reaches are left out.
  for (uint8_t t : {1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 14, 15, 16, 17, 18, 26, 27, 28, 29, 31, 32, 33, 34, 35}) {
    SCOPED_TRACE(static_cast<int>(t));
    EmulatedRig rig;
    const size_t d = rig.AddBridge(FamilyConfig(t, 1));
    EXPECT_EQ(chips::Code(IdentifyChip(rig.Dev(d)).id.type), t);
  }
}

TEST(AdmissionOnEmulator, ProbesAndBusFilters) {
  EmulatedRig rig;
  const size_t keyed = rig.AddBridge(FamilyConfig(15));                   // "q812": INQUIRY alone
  rig.FailAlways(keyed, {0xDF});
  const size_t probed = rig.AddBridge(NoChipId(15));                      // no chip id: the DF probe
  const size_t plain = rig.AddPlainDisk();                                // rejects the DF probe
  const size_t q8 = rig.AddBridge(FamilyConfig(12));                      // "q882"
  const size_t firewire = rig.AddBridge(FamilyConfig(8), sim::FlashPreset("WINBOND", 512), Bus::Ieee1394);
  const size_t uasp = rig.AddBridge(FamilyConfig(16), sim::FlashPreset("WINBOND", 512), Bus::Uasp);
  const size_t other = rig.AddBridge(FamilyConfig(15), sim::FlashPreset("WINBOND", 512), Bus::Other);
  auto q9 = FamilyConfig(15);
  q9.inquiryChipId = "q912";
  const size_t notBridgeId = rig.AddBridge(q9);
  rig.FailAlways(notBridgeId, {0xDF});

  auto paths = [&](bool include1394) {
    std::vector<std::string> out;
    for (const auto& disk : EnumerateBridgeDevices(rig.machine, rig.transport, include1394)) out.push_back(disk.disk.path);
    return out;
  };
  const std::vector<std::string> without = paths(false);
  const uint64_t keyedCommands = rig.machine.CommandCount(keyed);
  const std::vector<std::string> with = paths(true);

  auto at = [&](size_t d) { return rig.machine.CurrentPath(d); };
  EXPECT_EQ(without, (std::vector<std::string>{at(keyed), at(probed), at(q8), at(uasp)}));
  EXPECT_EQ(with, (std::vector<std::string>{at(keyed), at(probed), at(q8), at(firewire), at(uasp)}));
  EXPECT_EQ(keyedCommands, 1u) << "a disk with a chip id is admitted by its INQUIRY alone";
  EXPECT_EQ(rig.machine.CommandCount(other), 0u) << "a disk on another bus is never asked";
  EXPECT_EQ(rig.machine.CommandCount(plain), 4u) << "INQUIRY, then the DF probe, once per enumeration";
  EXPECT_EQ(rig.machine.CommandCount(firewire), 1u) << "the 1394 disk is asked only when 1394 is included";
}

}  // namespace
}  // namespace qvfw::device
